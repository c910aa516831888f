#include "kind_batches.h"

#include <charconv>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <new>

#include "engine/prices.h"
#include "engine/utf8_text.h"
#include "tarvik/constants.h"

namespace tarvik::columnar {
namespace {

using arrow::field;

std::shared_ptr<arrow::DataType> dictionary_type() { return arrow::dictionary(arrow::int32(), arrow::utf8()); }

double to_double(int32_t price, uint8_t price_type) { return engine::price_to_double(price, price_type); }

// Millionths as the nearest double. Below 2^53 both operands are exact and
// the one division rounds once; a larger count (a running volume) goes
// through its decimal text, which from_chars rounds once too.
double from_millionths(uint64_t millionths) {
    if (millionths < (uint64_t{1} << 53)) return static_cast<double>(millionths) / 1e6;
    char text[32];
    const int n = std::snprintf(text, sizeof text, "%" PRIu64 ".%06" PRIu64, millionths / 1000000,
                                millionths % 1000000);
    double out = 0;
    std::from_chars(text, text + n, out);
    return out;
}

template <typename Builder>
std::shared_ptr<arrow::Array> finish_builder(Builder& builder) {
    std::shared_ptr<arrow::Array> out;
    check(builder.Finish(&out));
    return out;
}


// The quote columns shared by exchange and market-maker quotes.
struct QuoteColumns {
    FixedColumn<double> bid, ask;
    FixedColumn<int32_t> bid_raw, ask_raw, bid_size, ask_size;
    FixedColumn<uint8_t> condition;

    static void fields(std::vector<std::shared_ptr<arrow::Field>>& out) {
        out.push_back(field("bid", arrow::float64()));
        out.push_back(field("bid_raw", arrow::int32()));
        out.push_back(field("bid_size", arrow::int32()));
        out.push_back(field("ask", arrow::float64()));
        out.push_back(field("ask_raw", arrow::int32()));
        out.push_back(field("ask_size", arrow::int32()));
        out.push_back(field("condition", arrow::uint8()));
    }
    void append(const TarvikQuoteRecord& q) {
        bid.append(to_double(q.BidPrice, q.PriceType));
        bid_raw.append(q.BidPrice);
        bid_size.append(q.BidSize);
        ask.append(to_double(q.AskPrice, q.PriceType));
        ask_raw.append(q.AskPrice);
        ask_size.append(q.AskSize);
        condition.append(q.QuoteCondition);
    }
    arrow::Status reserve(int64_t n) {
        ARROW_RETURN_NOT_OK(bid.reserve(n));
        ARROW_RETURN_NOT_OK(bid_raw.reserve(n));
        ARROW_RETURN_NOT_OK(bid_size.reserve(n));
        ARROW_RETURN_NOT_OK(ask.reserve(n));
        ARROW_RETURN_NOT_OK(ask_raw.reserve(n));
        ARROW_RETURN_NOT_OK(ask_size.reserve(n));
        return condition.reserve(n);
    }
    void finish(std::vector<std::shared_ptr<arrow::Array>>& out) {
        out.push_back(bid.finish(arrow::float64()));
        out.push_back(bid_raw.finish(arrow::int32()));
        out.push_back(bid_size.finish(arrow::int32()));
        out.push_back(ask.finish(arrow::float64()));
        out.push_back(ask_raw.finish(arrow::int32()));
        out.push_back(ask_size.finish(arrow::int32()));
        out.push_back(condition.finish(arrow::uint8()));
    }
};

class TradeBatch : public KindBatch {
public:
    TradeBatch(std::shared_ptr<arrow::DataType> time_type, TextDictionary& symbols, int64_t rows, bool fractional)
        : KindBatch(time_type, symbols, rows), fractional_(fractional) {
        std::vector<std::shared_ptr<arrow::Field>> own = {
            field("price", arrow::float64()), field("price_raw", arrow::int32()),
            field("size", arrow::uint32()), field("conditions", arrow::list(arrow::uint8())),
            field("sequence", arrow::uint32()), field("open", arrow::float64()),
            field("high", arrow::float64()), field("low", arrow::float64()),
            field("total_volume", arrow::uint64()), field("tick", arrow::float64()),
            field("trade_condition", arrow::uint8()), field("price_flags", arrow::uint8())};
        if (fractional_) {
            own.push_back(field("fractional_size", arrow::float64()));
            own.push_back(field("fractional_total_volume", arrow::float64()));
        }
        set_schema(std::move(own), time_type);
    }

private:
    uint8_t append_own(const MessageRow& row) override {
        const TarvikMessageBody& m = *row.body;
        const TarvikTradeBody& t = m.Trade;
        price_.append(to_double(t.Price, t.PriceType));
        price_raw_.append(t.Price);
        size_.append(t.Size);
        conditions_.append(t.ExtTradeConditions, [](uint8_t c) { return c != kNoTradeCondition; });
        sequence_.append(t.ExgSequence);
        open_.append(to_double(t.Open, t.PriceType));
        high_.append(to_double(t.High, t.PriceType));
        low_.append(to_double(t.Low, t.PriceType));
        volume_.append(t.TotalVolume);
        tick_.append(to_double(t.Tick, t.PriceType));
        trade_condition_.append(t.TradeCondition);
        price_flags_.append(t.PriceFlags);
        if (fractional_) {
            // Six implied decimals as the nearest double; a trade without
            // the extension has its whole size and volume.
            const TradeFraction& f = row.fraction;
            fractional_size_.append(f.given() ? from_millionths(f.size) : static_cast<double>(t.Size));
            fractional_volume_.append(f.given() ? from_millionths(f.total_volume)
                                                : static_cast<double>(t.TotalVolume));
        }
        return t.PriceType;
    }
    arrow::Status reserve_own(int64_t n) override {
        ARROW_RETURN_NOT_OK(price_.reserve(n));
        ARROW_RETURN_NOT_OK(price_raw_.reserve(n));
        ARROW_RETURN_NOT_OK(size_.reserve(n));
        ARROW_RETURN_NOT_OK(conditions_.reserve(n));
        ARROW_RETURN_NOT_OK(sequence_.reserve(n));
        ARROW_RETURN_NOT_OK(open_.reserve(n));
        ARROW_RETURN_NOT_OK(high_.reserve(n));
        ARROW_RETURN_NOT_OK(low_.reserve(n));
        ARROW_RETURN_NOT_OK(volume_.reserve(n));
        ARROW_RETURN_NOT_OK(trade_condition_.reserve(n));
        ARROW_RETURN_NOT_OK(price_flags_.reserve(n));
        if (fractional_) {
            ARROW_RETURN_NOT_OK(fractional_size_.reserve(n));
            ARROW_RETURN_NOT_OK(fractional_volume_.reserve(n));
        }
        return tick_.reserve(n);
    }
    arrow::Status finish_own(std::vector<std::shared_ptr<arrow::Array>>& out) override {
        out.push_back(price_.finish(arrow::float64()));
        out.push_back(price_raw_.finish(arrow::int32()));
        out.push_back(size_.finish(arrow::uint32()));
        out.push_back(conditions_.finish());
        out.push_back(sequence_.finish(arrow::uint32()));
        out.push_back(open_.finish(arrow::float64()));
        out.push_back(high_.finish(arrow::float64()));
        out.push_back(low_.finish(arrow::float64()));
        out.push_back(volume_.finish(arrow::uint64()));
        out.push_back(tick_.finish(arrow::float64()));
        out.push_back(trade_condition_.finish(arrow::uint8()));
        out.push_back(price_flags_.finish(arrow::uint8()));
        if (fractional_) {
            out.push_back(fractional_size_.finish(arrow::float64()));
            out.push_back(fractional_volume_.finish(arrow::float64()));
        }
        return arrow::Status::OK();
    }

    bool fractional_;
    FixedColumn<double> price_, open_, high_, low_, tick_, fractional_size_, fractional_volume_;
    FixedColumn<int32_t> price_raw_;
    FixedColumn<uint32_t> size_, sequence_;
    ByteListColumn conditions_;
    FixedColumn<uint64_t> volume_;
    FixedColumn<uint8_t> trade_condition_, price_flags_;
};

class QuoteBatch : public KindBatch {
public:
    QuoteBatch(std::shared_ptr<arrow::DataType> time_type, TextDictionary& symbols, int64_t rows, bool nbbo)
        : KindBatch(time_type, symbols, rows), nbbo_(nbbo) {
        std::vector<std::shared_ptr<arrow::Field>> own;
        QuoteColumns::fields(own);
        if (nbbo_) {
            own.push_back(field("nbbo_bid", arrow::float64()));
            own.push_back(field("nbbo_bid_size", arrow::int32()));
            own.push_back(field("nbbo_bid_exchange", arrow::uint16()));
            own.push_back(field("nbbo_ask", arrow::float64()));
            own.push_back(field("nbbo_ask_size", arrow::int32()));
            own.push_back(field("nbbo_ask_exchange", arrow::uint16()));
        }
        set_schema(std::move(own), time_type);
    }

private:
    uint8_t append_own(const MessageRow& row) override {
        const TarvikMessageBody& m = *row.body;
        const TarvikExgQuoteBody& q = m.ExgQuote;
        quote_.append(q.coreQuote);
        const uint8_t pt = q.coreQuote.PriceType;
        if (!nbbo_) return pt;
        best_bid_.append(to_double(q.BestBidPrice, pt));
        best_bid_size_.append(q.BestBidSize);
        best_bid_exg_.append(q.BestBidExg);
        best_ask_.append(to_double(q.BestAskPrice, pt));
        best_ask_size_.append(q.BestAskSize);
        best_ask_exg_.append(q.BestAskExg);
        return pt;
    }
    arrow::Status reserve_own(int64_t n) override {
        ARROW_RETURN_NOT_OK(quote_.reserve(n));
        if (!nbbo_) return arrow::Status::OK();
        ARROW_RETURN_NOT_OK(best_bid_.reserve(n));
        ARROW_RETURN_NOT_OK(best_bid_size_.reserve(n));
        ARROW_RETURN_NOT_OK(best_bid_exg_.reserve(n));
        ARROW_RETURN_NOT_OK(best_ask_.reserve(n));
        ARROW_RETURN_NOT_OK(best_ask_size_.reserve(n));
        return best_ask_exg_.reserve(n);
    }
    arrow::Status finish_own(std::vector<std::shared_ptr<arrow::Array>>& out) override {
        quote_.finish(out);
        if (!nbbo_) return arrow::Status::OK();
        out.push_back(best_bid_.finish(arrow::float64()));
        out.push_back(best_bid_size_.finish(arrow::int32()));
        out.push_back(best_bid_exg_.finish(arrow::uint16()));
        out.push_back(best_ask_.finish(arrow::float64()));
        out.push_back(best_ask_size_.finish(arrow::int32()));
        out.push_back(best_ask_exg_.finish(arrow::uint16()));
        return arrow::Status::OK();
    }

    bool nbbo_;
    QuoteColumns quote_;
    FixedColumn<double> best_bid_, best_ask_;
    FixedColumn<int32_t> best_bid_size_, best_ask_size_;
    FixedColumn<uint16_t> best_bid_exg_, best_ask_exg_;
};

class MMQuoteBatch : public KindBatch {
public:
    MMQuoteBatch(std::shared_ptr<arrow::DataType> time_type, TextDictionary& symbols, int64_t rows)
        : KindBatch(time_type, symbols, rows) {
        std::vector<std::shared_ptr<arrow::Field>> own;
        QuoteColumns::fields(own);
        own.push_back(field("market_maker", dictionary_type()));
        own.push_back(field("market_maker_type", arrow::uint8()));
        own.push_back(field("quote_type", arrow::uint8()));
        set_schema(std::move(own), time_type);
    }

private:
    uint8_t append_own(const MessageRow& row) override {
        const TarvikMessageBody& m = *row.body;
        const TarvikMMQuoteBody& q = m.MMQuote;
        quote_.append(q.coreQuote);
        if (q.ptqStringMarketMaker != nullptr) maker_.append(makers_.index_of(q.ptqStringMarketMaker));
        else maker_.append_null();
        maker_type_.append(q.MarketMakerType);
        quote_type_.append(q.QuoteType);
        return q.coreQuote.PriceType;
    }
    arrow::Status reserve_own(int64_t n) override {
        ARROW_RETURN_NOT_OK(quote_.reserve(n));
        ARROW_RETURN_NOT_OK(maker_.reserve(n));
        ARROW_RETURN_NOT_OK(maker_type_.reserve(n));
        return quote_type_.reserve(n);
    }
    arrow::Status finish_own(std::vector<std::shared_ptr<arrow::Array>>& out) override {
        quote_.finish(out);
        out.push_back(maker_.finish(makers_));
        out.push_back(maker_type_.finish(arrow::uint8()));
        out.push_back(quote_type_.finish(arrow::uint8()));
        return arrow::Status::OK();
    }

    QuoteColumns quote_;
    TextDictionary makers_;
    IndexColumn maker_;
    FixedColumn<uint8_t> maker_type_, quote_type_;
};

class SymbolChangeBatch : public KindBatch {
public:
    SymbolChangeBatch(std::shared_ptr<arrow::DataType> time_type, TextDictionary& symbols, int64_t rows)
        : KindBatch(time_type, symbols, rows), symbols_(symbols) {
        set_schema({field("status", arrow::uint8()), field("status_char", arrow::utf8()),
                    field("symbol_old", dictionary_type()), field("listed_exg_old", arrow::uint16())},
                   time_type);
    }

private:
    uint8_t append_own(const MessageRow& row) override {
        const TarvikMessageBody& m = *row.body;
        const TarvikSymbolChangeBody& c = m.SymbolChange;
        status_.append(c.Status);
        check(status_char_.Append(engine::utf8_text(std::string_view(&c.StatusChar, 1))));
        if (c.ptqsSymbolOld != nullptr) old_.append(symbols_.index_of(c.ptqsSymbolOld));
        else old_.append_null();
        old_listed_.append(c.ListedExgOld);
        return 0;
    }
    arrow::Status reserve_own(int64_t n) override {
        ARROW_RETURN_NOT_OK(status_.reserve(n));
        ARROW_RETURN_NOT_OK(old_.reserve(n));
        return old_listed_.reserve(n);
    }
    arrow::Status finish_own(std::vector<std::shared_ptr<arrow::Array>>& out) override {
        out.push_back(status_.finish(arrow::uint8()));
        out.push_back(finish_builder(status_char_));
        out.push_back(old_.finish(symbols_));
        out.push_back(old_listed_.finish(arrow::uint16()));
        return arrow::Status::OK();
    }

    TextDictionary& symbols_;
    FixedColumn<uint8_t> status_;
    arrow::StringBuilder status_char_;
    IndexColumn old_;
    FixedColumn<uint16_t> old_listed_;
};

// A category field's value as text: numbers in decimal, prices exactly,
// dates as YYYY-MM-DD, times as HH:MM:SS.mmm, string-table items as
// "table:index".
std::string field_text(const TqCategoryFieldRecord& f) {
    char buffer[300];
    switch (f.FieldType) {
        case TqCFT_64BIT:
            std::snprintf(buffer, sizeof buffer, "%" PRIu64, f.value.i64Bit);
            return buffer;
        case TqCFT_32BIT:
            std::snprintf(buffer, sizeof buffer, "%" PRIu32, f.value.i32Bit);
            return buffer;
        case TqCFT_STRINGZ:
            return f.value.StringZ != nullptr ? f.value.StringZ : "";
        case TqCFT_DOUBLE:
            std::snprintf(buffer, sizeof buffer, "%.17g", f.value.Double);
            return buffer;
        case TqCFT_PRICE: {
            const int32_t n = engine::price_format(buffer, sizeof buffer, f.value.tqPrice.Price,
                                                   f.value.tqPrice.PriceType, 0, false);
            return std::string(buffer, static_cast<std::size_t>(n));
        }
        case TqCFT_DATE:
            std::snprintf(buffer, sizeof buffer, "%04u-%02u-%02u", f.value.tqDate.Year, f.value.tqDate.Month,
                          f.value.tqDate.Day);
            return buffer;
        case TqCFT_TIME:
            std::snprintf(buffer, sizeof buffer, "%02u:%02u:%02u.%03u", f.value.tqTime.Hour, f.value.tqTime.Minute,
                          f.value.tqTime.Second, f.value.tqTime.Millisecond);
            return buffer;
        case TqCFT_TqSTRING:
            return f.value.ptqString != nullptr ? string_text(f.value.ptqString) : "";
        case TqCFT_STRING_IDX:
        case TqCFT_STRING_MAP:
            std::snprintf(buffer, sizeof buffer, "%u:%u", f.value.stringTableItem.ixTable,
                          f.value.stringTableItem.idString);
            return buffer;
        default:
            return "";
    }
}

class CategoryBatch : public KindBatch {
public:
    CategoryBatch(std::shared_ptr<arrow::DataType> time_type, TextDictionary& symbols, int64_t rows)
        : KindBatch(time_type, symbols, rows),
          fields_(arrow::default_memory_pool(), std::make_shared<arrow::StringBuilder>(),
                  std::make_shared<arrow::StringBuilder>()) {
        set_schema({field("category", dictionary_type()), field("category_id", arrow::uint16()),
                    field("fields", arrow::map(arrow::utf8(), arrow::utf8()))},
                   time_type);
    }

private:
    uint8_t append_own(const MessageRow& row) override {
        const TarvikMessageBody& m = *row.body;
        const TarvikCategoryBody& c = m.Category;
        if (c.ptqStringCategory != nullptr) {
            name_.append(names_.index_of(c.ptqStringCategory));
            id_.append(c.ptqStringCategory->Atom);
        } else {
            name_.append_null();
            id_.append(0);
        }
        check(fields_.Append());
        auto* keys = static_cast<arrow::StringBuilder*>(fields_.key_builder());
        auto* items = static_cast<arrow::StringBuilder*>(fields_.item_builder());
        for (uint16_t i = 0; i < c.NFields && c.ptqFields != nullptr; ++i) {
            const TqCategoryFieldRecord& f = c.ptqFields[i];
            if (!f.Set) continue;
            check(keys->Append(engine::utf8_text(f.FieldName != nullptr ? f.FieldName : "")));
            check(items->Append(engine::utf8_text(field_text(f))));
        }
        return 0;
    }
    arrow::Status reserve_own(int64_t n) override {
        ARROW_RETURN_NOT_OK(name_.reserve(n));
        return id_.reserve(n);
    }
    arrow::Status finish_own(std::vector<std::shared_ptr<arrow::Array>>& out) override {
        out.push_back(name_.finish(names_));
        out.push_back(id_.finish(arrow::uint16()));
        out.push_back(finish_builder(fields_));
        return arrow::Status::OK();
    }

    TextDictionary names_;
    IndexColumn name_;
    FixedColumn<uint16_t> id_;
    arrow::MapBuilder fields_;
};

}  // namespace

template <typename T>
std::shared_ptr<arrow::Array> FixedColumn<T>::finish(const std::shared_ptr<arrow::DataType>& type) {
    const int64_t n = data_.length();
    std::shared_ptr<arrow::Buffer> values;
    check(data_.Finish(&values));
    return arrow::MakeArray(arrow::ArrayData::Make(type, n, {nullptr, std::move(values)}, 0));
}

arrow::Status ByteListColumn::reserve(int64_t n) {
    if (offsets_.length() == 0) {
        ARROW_RETURN_NOT_OK(offsets_.Reserve(1));
        offsets_.UnsafeAppend(0);
    }
    ARROW_RETURN_NOT_OK(offsets_.Reserve(n));
    return values_.Reserve(4 * n);
}

std::shared_ptr<arrow::Array> ByteListColumn::finish() {
    check(reserve(0));  // the first offset, for a list no row reached
    const int64_t n = offsets_.length() - 1;
    const int64_t items = values_.length();
    std::shared_ptr<arrow::Buffer> offsets, values;
    check(offsets_.Finish(&offsets));
    check(values_.Finish(&values));
    auto items_data = arrow::ArrayData::Make(arrow::uint8(), items, {nullptr, std::move(values)}, 0);
    auto list = arrow::ArrayData::Make(arrow::list(arrow::uint8()), n, {nullptr, std::move(offsets)}, 0);
    list->child_data.push_back(std::move(items_data));
    return arrow::MakeArray(std::move(list));
}

arrow::Status IndexColumn::reserve(int64_t n) {
    ARROW_RETURN_NOT_OK(values_.Reserve(n));
    return nulls_ > 0 ? valid_.Reserve(n) : arrow::Status::OK();
}

void IndexColumn::append_null() {
    if (nulls_ == 0) {
        // Every row so far named its text; the bitmap gets room for as
        // many rows as the indexes have.
        check(valid_.Reserve(values_.capacity()));
        valid_.UnsafeAppend(values_.length(), true);
    }
    values_.UnsafeAppend(0);
    valid_.UnsafeAppend(false);
    ++nulls_;
}

std::shared_ptr<arrow::Array> IndexColumn::finish(TextDictionary& texts) {
    const int64_t n = values_.length();
    std::shared_ptr<arrow::Buffer> values, valid;
    check(values_.Finish(&values));
    if (nulls_ > 0) check(valid_.Finish(&valid));
    auto indexes = arrow::MakeArray(arrow::ArrayData::Make(arrow::int32(), n, {std::move(valid), std::move(values)}, nulls_));
    nulls_ = 0;
    auto made = arrow::DictionaryArray::FromArrays(dictionary_type(), indexes, texts.array());
    check(made.status());
    return *made;
}

void check(const arrow::Status& status) {
    if (status.IsOutOfMemory()) throw std::bad_alloc();  // told as the system's failure, not the tape's
    if (!status.ok()) throw std::runtime_error("Arrow: " + status.ToString());
}

int32_t TextDictionary::index_of(TqStringRecord* record) {
    if (record->UserData1 <= 0) record->UserData1 = index_of_text(string_text(record)) + 1;
    return record->UserData1 - 1;
}

int32_t TextDictionary::index_of_text(const char* text) {
    const std::string_view key(text);
    if (const auto it = by_text_.find(key); it != by_text_.end()) return it->second;
    const std::string_view kept = kept_.keep(key);
    int32_t index;
    if (engine::valid_utf8(kept)) {
        index = static_cast<int32_t>(texts_.size());
        texts_.push_back(kept);
    } else {
        // A text that is no UTF-8 shows with U+FFFD for its bad bytes: texts
        // that show alike are one value of the dictionary, whose values
        // must differ (pandas makes categories of them).
        index = index_of_text(engine::utf8_text(kept).c_str());
    }
    by_text_.emplace(kept, index);
    return index;
}

std::shared_ptr<arrow::Array> TextDictionary::array() {
    if (!array_ || array_->length() != static_cast<int64_t>(texts_.size())) {
        arrow::StringBuilder builder;
        for (const std::string_view t : texts_) check(builder.Append(t));
        array_ = finish_builder(builder);
    }
    return array_;
}

std::unique_ptr<KindBatch> KindBatch::make(TapeKind kind, const ColumnarOptions& options,
                                           std::shared_ptr<arrow::DataType> time_type, TextDictionary& symbols) {
    const int64_t rows = options.batch_rows;
    switch (kind) {
        case TapeKind::Trades: return std::make_unique<TradeBatch>(time_type, symbols, rows, options.fractional_sizes);
        case TapeKind::Quotes: return std::make_unique<QuoteBatch>(time_type, symbols, rows, options.nbbo);
        case TapeKind::MMQuotes: return std::make_unique<MMQuoteBatch>(time_type, symbols, rows);
        case TapeKind::SymbolChanges: return std::make_unique<SymbolChangeBatch>(time_type, symbols, rows);
        case TapeKind::Categories: return std::make_unique<CategoryBatch>(time_type, symbols, rows);
    }
    return nullptr;
}

void KindBatch::set_schema(std::vector<std::shared_ptr<arrow::Field>> own,
                           std::shared_ptr<arrow::DataType> time_type) {
    std::vector<std::shared_ptr<arrow::Field>> fields = {
        field("time", time_type),
        field("symbol", dictionary_type()),
        field("listed_exchange", arrow::uint16()),
        field("reporting_exchange", arrow::uint16()),
        field("price_type", arrow::uint8()),
    };
    for (auto& f : own) fields.push_back(std::move(f));
    schema_ = arrow::schema(std::move(fields));
}

void KindBatch::reserve(int64_t rows) {
    check(time_.reserve(rows));
    check(symbol_.reserve(rows));
    check(listed_.reserve(rows));
    check(reporting_.reserve(rows));
    check(price_type_.reserve(rows));
    check(reserve_own(rows));
}

void KindBatch::append(const MessageRow& row) {
    // Room for a stretch of rows at a time, so the appends need no checks,
    // made when the stretch's first row comes: a batch no row reaches
    // holds no memory. Stretches start small and grow four times over up
    // to kRowsReserved, so that a reader of a small day (or many readers
    // open at once) holds little. Columns of 1 MB or more are mappings
    // (batch_memory.h): a column grows without a copy, and a short last
    // batch gives the rest back.
    if (rows_ == reserved_) {
        const int64_t left = batch_rows_ - rows_;
        const int64_t rows = left < stretch_ ? left : stretch_;
        reserve(rows);
        reserved_ += rows;
        if (stretch_ < kRowsReserved) stretch_ *= 4;
    }
    time_.append(row.time);
    if (row.symbol >= 0) symbol_.append(row.symbol);
    else symbol_.append_null();
    listed_.append(row.listed_exchange);
    reporting_.append(row.reporting_exchange);
    price_type_.append(append_own(row));
    ++rows_;
}

std::shared_ptr<arrow::RecordBatch> KindBatch::finish() {
    std::vector<std::shared_ptr<arrow::Array>> columns;
    columns.push_back(time_.finish(time_type_));
    columns.push_back(symbol_.finish(symbols_));
    columns.push_back(listed_.finish(arrow::uint16()));
    columns.push_back(reporting_.finish(arrow::uint16()));
    columns.push_back(price_type_.finish(arrow::uint8()));
    check(finish_own(columns));
    auto batch = arrow::RecordBatch::Make(schema_, rows_, std::move(columns));
    rows_ = 0;
    reserved_ = 0;  // the stretch stays as grown: the next batch is likely as long
    return batch;
}

}  // namespace tarvik::columnar
