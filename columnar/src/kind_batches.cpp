#include "kind_batches.h"

#include <cinttypes>
#include <cstdio>
#include <cstring>

#include "prices.h"
#include "tarvik/constants.h"

namespace tarvik::columnar {
namespace {

using arrow::field;

std::shared_ptr<arrow::DataType> dictionary_type() { return arrow::dictionary(arrow::int32(), arrow::utf8()); }

double to_double(int32_t price, uint8_t price_type) { return engine::price_to_double(price, price_type); }

template <typename Builder>
std::shared_ptr<arrow::Array> finish_builder(Builder& builder) {
    std::shared_ptr<arrow::Array> out;
    check(builder.Finish(&out));
    return out;
}

std::shared_ptr<arrow::Array> dictionary_array(arrow::Int32Builder& indexes, TextDictionary& texts) {
    auto made = arrow::DictionaryArray::FromArrays(dictionary_type(), finish_builder(indexes), texts.array());
    check(made.status());
    return *made;
}

// The quote columns shared by exchange and market-maker quotes.
struct QuoteColumns {
    arrow::DoubleBuilder bid, ask;
    arrow::Int32Builder bid_raw, ask_raw, bid_size, ask_size;
    arrow::UInt8Builder condition;

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
        bid.UnsafeAppend(to_double(q.BidPrice, q.PriceType));
        bid_raw.UnsafeAppend(q.BidPrice);
        bid_size.UnsafeAppend(q.BidSize);
        ask.UnsafeAppend(to_double(q.AskPrice, q.PriceType));
        ask_raw.UnsafeAppend(q.AskPrice);
        ask_size.UnsafeAppend(q.AskSize);
        condition.UnsafeAppend(q.QuoteCondition);
    }
    arrow::Status reserve(int64_t n) {
        ARROW_RETURN_NOT_OK(bid.Reserve(n));
        ARROW_RETURN_NOT_OK(bid_raw.Reserve(n));
        ARROW_RETURN_NOT_OK(bid_size.Reserve(n));
        ARROW_RETURN_NOT_OK(ask.Reserve(n));
        ARROW_RETURN_NOT_OK(ask_raw.Reserve(n));
        ARROW_RETURN_NOT_OK(ask_size.Reserve(n));
        return condition.Reserve(n);
    }
    void finish(std::vector<std::shared_ptr<arrow::Array>>& out) {
        out.push_back(finish_builder(bid));
        out.push_back(finish_builder(bid_raw));
        out.push_back(finish_builder(bid_size));
        out.push_back(finish_builder(ask));
        out.push_back(finish_builder(ask_raw));
        out.push_back(finish_builder(ask_size));
        out.push_back(finish_builder(condition));
    }
};

class TradeBatch : public KindBatch {
public:
    TradeBatch(std::shared_ptr<arrow::DataType> time_type, TextDictionary& symbols, int64_t rows)
        : KindBatch(time_type, symbols, rows),
          conditions_(arrow::default_memory_pool(), std::make_shared<arrow::UInt8Builder>()) {
        set_schema({field("price", arrow::float64()), field("price_raw", arrow::int32()),
                    field("size", arrow::uint32()), field("conditions", arrow::list(arrow::uint8())),
                    field("sequence", arrow::uint32()), field("open", arrow::float64()),
                    field("high", arrow::float64()), field("low", arrow::float64()),
                    field("total_volume", arrow::uint64()), field("tick", arrow::float64())},
                   time_type);
        start();
    }

private:
    void append_own(const TarvikMessageRecord& m) override {
        const TarvikTradeBody& t = m.coreData.Trade;
        price_.UnsafeAppend(to_double(t.Price, t.PriceType));
        price_raw_.UnsafeAppend(t.Price);
        size_.UnsafeAppend(t.Size);
        check(conditions_.Append());
        auto* values = static_cast<arrow::UInt8Builder*>(conditions_.value_builder());
        for (uint8_t c : t.ExtTradeConditions)
            if (c != kNoTradeCondition) check(values->Append(c));
        sequence_.UnsafeAppend(t.ExgSequence);
        open_.UnsafeAppend(to_double(t.Open, t.PriceType));
        high_.UnsafeAppend(to_double(t.High, t.PriceType));
        low_.UnsafeAppend(to_double(t.Low, t.PriceType));
        volume_.UnsafeAppend(t.TotalVolume);
        tick_.UnsafeAppend(to_double(t.Tick, t.PriceType));
    }
    arrow::Status reserve_own(int64_t n) override {
        ARROW_RETURN_NOT_OK(price_.Reserve(n));
        ARROW_RETURN_NOT_OK(price_raw_.Reserve(n));
        ARROW_RETURN_NOT_OK(size_.Reserve(n));
        ARROW_RETURN_NOT_OK(conditions_.Reserve(n));
        ARROW_RETURN_NOT_OK(sequence_.Reserve(n));
        ARROW_RETURN_NOT_OK(open_.Reserve(n));
        ARROW_RETURN_NOT_OK(high_.Reserve(n));
        ARROW_RETURN_NOT_OK(low_.Reserve(n));
        ARROW_RETURN_NOT_OK(volume_.Reserve(n));
        return tick_.Reserve(n);
    }
    arrow::Status finish_own(std::vector<std::shared_ptr<arrow::Array>>& out) override {
        out.push_back(finish_builder(price_));
        out.push_back(finish_builder(price_raw_));
        out.push_back(finish_builder(size_));
        out.push_back(finish_builder(conditions_));
        out.push_back(finish_builder(sequence_));
        out.push_back(finish_builder(open_));
        out.push_back(finish_builder(high_));
        out.push_back(finish_builder(low_));
        out.push_back(finish_builder(volume_));
        out.push_back(finish_builder(tick_));
        return arrow::Status::OK();
    }

    arrow::DoubleBuilder price_, open_, high_, low_, tick_;
    arrow::Int32Builder price_raw_;
    arrow::UInt32Builder size_, sequence_;
    arrow::ListBuilder conditions_;
    arrow::UInt64Builder volume_;
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
        start();
    }

private:
    void append_own(const TarvikMessageRecord& m) override {
        const TarvikExgQuoteBody& q = m.coreData.ExgQuote;
        quote_.append(q.coreQuote);
        if (!nbbo_) return;
        const uint8_t pt = q.coreQuote.PriceType;
        best_bid_.UnsafeAppend(to_double(q.BestBidPrice, pt));
        best_bid_size_.UnsafeAppend(q.BestBidSize);
        best_bid_exg_.UnsafeAppend(q.BestBidExg);
        best_ask_.UnsafeAppend(to_double(q.BestAskPrice, pt));
        best_ask_size_.UnsafeAppend(q.BestAskSize);
        best_ask_exg_.UnsafeAppend(q.BestAskExg);
    }
    arrow::Status reserve_own(int64_t n) override {
        ARROW_RETURN_NOT_OK(quote_.reserve(n));
        if (!nbbo_) return arrow::Status::OK();
        ARROW_RETURN_NOT_OK(best_bid_.Reserve(n));
        ARROW_RETURN_NOT_OK(best_bid_size_.Reserve(n));
        ARROW_RETURN_NOT_OK(best_bid_exg_.Reserve(n));
        ARROW_RETURN_NOT_OK(best_ask_.Reserve(n));
        ARROW_RETURN_NOT_OK(best_ask_size_.Reserve(n));
        return best_ask_exg_.Reserve(n);
    }
    arrow::Status finish_own(std::vector<std::shared_ptr<arrow::Array>>& out) override {
        quote_.finish(out);
        if (!nbbo_) return arrow::Status::OK();
        out.push_back(finish_builder(best_bid_));
        out.push_back(finish_builder(best_bid_size_));
        out.push_back(finish_builder(best_bid_exg_));
        out.push_back(finish_builder(best_ask_));
        out.push_back(finish_builder(best_ask_size_));
        out.push_back(finish_builder(best_ask_exg_));
        return arrow::Status::OK();
    }

    bool nbbo_;
    QuoteColumns quote_;
    arrow::DoubleBuilder best_bid_, best_ask_;
    arrow::Int32Builder best_bid_size_, best_ask_size_;
    arrow::UInt16Builder best_bid_exg_, best_ask_exg_;
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
        start();
    }

private:
    void append_own(const TarvikMessageRecord& m) override {
        const TarvikMMQuoteBody& q = m.coreData.MMQuote;
        quote_.append(q.coreQuote);
        if (q.ptqStringMarketMaker != nullptr) maker_.UnsafeAppend(makers_.index_of(q.ptqStringMarketMaker));
        else maker_.UnsafeAppendNull();
        maker_type_.UnsafeAppend(q.MarketMakerType);
        quote_type_.UnsafeAppend(q.QuoteType);
    }
    arrow::Status reserve_own(int64_t n) override {
        ARROW_RETURN_NOT_OK(quote_.reserve(n));
        ARROW_RETURN_NOT_OK(maker_.Reserve(n));
        ARROW_RETURN_NOT_OK(maker_type_.Reserve(n));
        return quote_type_.Reserve(n);
    }
    arrow::Status finish_own(std::vector<std::shared_ptr<arrow::Array>>& out) override {
        quote_.finish(out);
        out.push_back(dictionary_array(maker_, makers_));
        out.push_back(finish_builder(maker_type_));
        out.push_back(finish_builder(quote_type_));
        return arrow::Status::OK();
    }

    QuoteColumns quote_;
    TextDictionary makers_;
    arrow::Int32Builder maker_;
    arrow::UInt8Builder maker_type_, quote_type_;
};

class SymbolChangeBatch : public KindBatch {
public:
    SymbolChangeBatch(std::shared_ptr<arrow::DataType> time_type, TextDictionary& symbols, int64_t rows)
        : KindBatch(time_type, symbols, rows), symbols_(symbols) {
        set_schema({field("status", arrow::uint8()), field("status_char", arrow::utf8()),
                    field("symbol_old", dictionary_type()), field("listed_exg_old", arrow::uint16())},
                   time_type);
        start();
    }

private:
    void append_own(const TarvikMessageRecord& m) override {
        const TarvikSymbolChangeBody& c = m.coreData.SymbolChange;
        status_.UnsafeAppend(c.Status);
        check(status_char_.Append(&c.StatusChar, 1));
        if (c.ptqsSymbolOld != nullptr) old_.UnsafeAppend(symbols_.index_of(c.ptqsSymbolOld));
        else old_.UnsafeAppendNull();
        old_listed_.UnsafeAppend(c.ListedExgOld);
    }
    arrow::Status reserve_own(int64_t n) override {
        ARROW_RETURN_NOT_OK(status_.Reserve(n));
        ARROW_RETURN_NOT_OK(old_.Reserve(n));
        return old_listed_.Reserve(n);
    }
    arrow::Status finish_own(std::vector<std::shared_ptr<arrow::Array>>& out) override {
        out.push_back(finish_builder(status_));
        out.push_back(finish_builder(status_char_));
        out.push_back(dictionary_array(old_, symbols_));
        out.push_back(finish_builder(old_listed_));
        return arrow::Status::OK();
    }

    TextDictionary& symbols_;
    arrow::UInt8Builder status_;
    arrow::StringBuilder status_char_;
    arrow::Int32Builder old_;
    arrow::UInt16Builder old_listed_;
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
        start();
    }

private:
    void append_own(const TarvikMessageRecord& m) override {
        const TarvikCategoryBody& c = m.coreData.Category;
        if (c.ptqStringCategory != nullptr) {
            name_.UnsafeAppend(names_.index_of(c.ptqStringCategory));
            id_.UnsafeAppend(c.ptqStringCategory->Atom);
        } else {
            name_.UnsafeAppendNull();
            id_.UnsafeAppend(0);
        }
        check(fields_.Append());
        auto* keys = static_cast<arrow::StringBuilder*>(fields_.key_builder());
        auto* items = static_cast<arrow::StringBuilder*>(fields_.item_builder());
        for (uint16_t i = 0; i < c.NFields && c.ptqFields != nullptr; ++i) {
            const TqCategoryFieldRecord& f = c.ptqFields[i];
            if (!f.Set) continue;
            check(keys->Append(f.FieldName != nullptr ? f.FieldName : ""));
            check(items->Append(field_text(f)));
        }
    }
    arrow::Status reserve_own(int64_t n) override {
        ARROW_RETURN_NOT_OK(name_.Reserve(n));
        return id_.Reserve(n);
    }
    arrow::Status finish_own(std::vector<std::shared_ptr<arrow::Array>>& out) override {
        out.push_back(dictionary_array(name_, names_));
        out.push_back(finish_builder(id_));
        out.push_back(finish_builder(fields_));
        return arrow::Status::OK();
    }

    TextDictionary names_;
    arrow::Int32Builder name_;
    arrow::UInt16Builder id_;
    arrow::MapBuilder fields_;
};

}  // namespace

void check(const arrow::Status& status) {
    if (!status.ok()) throw std::runtime_error("Arrow: " + status.ToString());
}

int32_t TextDictionary::index_of(TqStringRecord* record) {
    if (record->UserData1 <= 0) record->UserData1 = index_of_text(string_text(record)) + 1;
    return record->UserData1 - 1;
}

int32_t TextDictionary::index_of_text(const char* text) {
    auto [it, added] = by_text_.try_emplace(text, static_cast<int32_t>(texts_.size()));
    if (added) texts_.emplace_back(text);
    return it->second;
}

std::shared_ptr<arrow::Array> TextDictionary::array() {
    if (!array_ || array_->length() != static_cast<int64_t>(texts_.size())) {
        arrow::StringBuilder builder;
        for (const std::string& t : texts_) check(builder.Append(t));
        array_ = finish_builder(builder);
    }
    return array_;
}

std::unique_ptr<KindBatch> KindBatch::make(TapeKind kind, const ColumnarOptions& options,
                                           std::shared_ptr<arrow::DataType> time_type, TextDictionary& symbols) {
    const int64_t rows = options.batch_rows;
    switch (kind) {
        case TapeKind::Trades: return std::make_unique<TradeBatch>(time_type, symbols, rows);
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

void KindBatch::start() {
    // Small batches reserve what they need; large ones grow as they fill.
    const int64_t n = batch_rows_ < 65536 ? batch_rows_ : 65536;
    check(time_.Reserve(n));
    check(symbol_.Reserve(n));
    check(listed_.Reserve(n));
    check(reporting_.Reserve(n));
    check(price_type_.Reserve(n));
    check(reserve_own(n));
}

void KindBatch::append(const MessageRow& row) {
    if (rows_ > 0 && rows_ % 65536 == 0) {
        // Room for the next stretch of rows, so the appends below need no checks.
        check(time_.Reserve(65536));
        check(symbol_.Reserve(65536));
        check(listed_.Reserve(65536));
        check(reporting_.Reserve(65536));
        check(price_type_.Reserve(65536));
        check(reserve_own(65536));
    }
    const TarvikMessageRecord& m = *row.message;
    time_.UnsafeAppend(row.time);
    if (row.symbol >= 0) symbol_.UnsafeAppend(row.symbol);
    else symbol_.UnsafeAppendNull();
    listed_.UnsafeAppend(m.coreHeader.ListedExg);
    reporting_.UnsafeAppend(m.coreHeader.ReportingExg);
    uint8_t price_type = 0;
    if (m.MessageType == TqMSG_TRADE) price_type = m.coreData.Trade.PriceType;
    else if (m.MessageType == TqMSG_EXGQUOTE || m.MessageType == TqMSG_MMQUOTE)
        price_type = m.coreData.ExgQuote.coreQuote.PriceType;
    price_type_.UnsafeAppend(price_type);
    append_own(m);
    ++rows_;
}

std::shared_ptr<arrow::RecordBatch> KindBatch::finish() {
    std::vector<std::shared_ptr<arrow::Array>> columns;
    columns.push_back(finish_builder(time_));
    columns.push_back(dictionary_array(symbol_, symbols_));
    columns.push_back(finish_builder(listed_));
    columns.push_back(finish_builder(reporting_));
    columns.push_back(finish_builder(price_type_));
    check(finish_own(columns));
    auto batch = arrow::RecordBatch::Make(schema_, rows_, std::move(columns));
    rows_ = 0;
    start();
    return batch;
}

}  // namespace tarvik::columnar
