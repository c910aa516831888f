#include "importer.h"

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <unordered_map>

#include "batch_source.h"
#include "columns.h"
#include "engine/dates.h"
#include "event_order.h"
#include "import_error.h"
#include "instruments.h"
#include "engine/tape_writer.h"
#include "work_ahead.h"

namespace tarvik::import {
namespace {

constexpr std::size_t kSortRunEvents = 512 * 1024;  // about 50 MB a run

// Events in one sorted run: TARVIK_IMPORT_RUN_EVENTS sets it for tests,
// which need many runs from small inputs.
std::size_t sort_run_events() {
    const char* text = std::getenv("TARVIK_IMPORT_RUN_EVENTS");
    if (text == nullptr) return kSortRunEvents;
    const long long n = std::atoll(text);
    return n > 0 ? static_cast<std::size_t>(n) : kSortRunEvents;
}
constexpr uint32_t kNoCondition = 255;
constexpr std::size_t kConverters = 2;      // threads reading each input's batches ahead of the bookkeeping
constexpr std::size_t kConvertedAhead = 2;  // batches ready ahead of the one taking them, per input

uint32_t kind_rank(InputKind kind) {
    switch (kind) {
        case InputKind::Changes: return 0;
        case InputKind::Quotes: return 1;
        case InputKind::MMQuotes: return 2;
        default: return 3;
    }
}

bool all_digits(std::string_view s) {
    if (s.empty()) return false;
    for (char c : s)
        if (c < '0' || c > '9') return false;
    return true;
}

// What converting rows needs of its own on each thread that converts: the
// zone's offset window, the time parser, the recent instruments and the
// conditions' scratch (kept for their capacity).
struct RowContext {
    TimeZone zone;
    TimeParser parser;
    RecentInstruments recent;
    std::vector<std::string_view> condition_tokens;
    std::string condition_storage;

    RowContext(const TimeZone& z, const ImportOptions& o) : zone(z), parser(zone, o.date_ndays, o.time_unit) {}
    RowContext(const RowContext&) = delete;  // the parser refers to the zone
    RowContext& operator=(const RowContext&) = delete;
};

// A thread that reads an input's batches ahead: its row context and its
// view of the batch it reads.
struct BatchReader {
    RowContext row;
    BatchCells cells;
    BatchReader(const TimeZone& zone, const ImportOptions& o, const ColumnMap& map, const BatchSource& source)
        : row(zone, o), cells(map, source.name(), source.rows_are_lines()) {}
};

// One reader for each thread of a WorkAhead.
std::vector<std::unique_ptr<BatchReader>> batch_readers(const TimeZone& zone, const ImportOptions& o,
                                                        const ColumnMap& map, const BatchSource& source,
                                                        std::size_t threads) {
    std::vector<std::unique_ptr<BatchReader>> readers;
    for (std::size_t k = 0; k < threads; ++k) readers.push_back(std::make_unique<BatchReader>(zone, o, map, source));
    return readers;
}

struct DataInput {
    std::unique_ptr<BatchSource> source;
    std::unique_ptr<ColumnMap> map;
    uint32_t rank = 0;
    uint64_t rows = 0;
};

class Importer {
public:
    explicit Importer(ImportOptions options);
    ImportResult run();

private:
    enum class Codes { Unknown, Numbers, Names };

    // Reads a table given beside the data, row by row.
    template <typename Row>
    void for_each_row(BatchSource& source, Row row);
    void load_conditions(BatchSource& source);
    void load_symbols(BatchSource& source);
    void scan(DataInput& input);
    void build_tables();
    std::unique_ptr<EventStream> events_of(DataInput& input);
    // The second pass converts on threads of each input's own: it reads
    // what the first pass made and changes nothing of the importer.
    void convert(RowContext& row, BatchCells& cells, const DataInput& input, const arrow::RecordBatch& batch,
                 uint64_t rows_before, std::vector<StagedEvent>& out) const;
    void stage(RowContext& row, const DataInput& input, const BatchCells& cells, int64_t i, StagedEvent& out) const;
    ImportResult write();

    // The first pass meets names not seen before and learns whether
    // exchanges and conditions are numbers or names; the second pass's
    // known_* only read.
    uint32_t instrument(RowContext& row, const BatchCells& cells, int64_t i, Field symbol);
    uint32_t known_instrument(RowContext& row, const BatchCells& cells, int64_t i, Field symbol) const;
    uint16_t exchange(const BatchCells& cells, int64_t i, Field f);
    uint16_t known_exchange(const BatchCells& cells, int64_t i, Field f) const;
    int32_t price(const BatchCells& cells, int64_t i, Field f, const Instrument& inst) const;
    uint64_t size(const BatchCells& cells, int64_t i, Field f, const Instrument& inst, uint64_t max,
                  uint64_t* fraction) const;
    void conditions(RowContext& row, const BatchCells& cells, int64_t i, uint8_t (&out)[4]);
    void known_conditions(RowContext& row, const BatchCells& cells, int64_t i, uint8_t (&out)[4]) const;
    uint32_t text_index(const std::string& text);

    ImportOptions o_;
    TimeZone zone_;
    RowContext first_;  // the first pass's
    std::vector<DataInput> inputs_;
    Instruments instruments_;
    NameCodes exchange_names_{"exchange", 65535};
    NameCodes condition_names_{"condition", 254};
    Codes exchange_codes_ = Codes::Unknown;
    Codes condition_codes_ = Codes::Unknown;
    TextMap<uint32_t> market_makers_;  // name -> text index, once built
    std::unordered_map<std::string, uint32_t> text_index_;
    bool carry_ext_ = false;
    std::vector<uint32_t> days_;  // sorted
    uint64_t rows_ = 0;
    engine::TapeTables tables_;
};

Importer::Importer(ImportOptions options)
    : o_(std::move(options)), zone_(o_.time_zone), first_(zone_, o_) {
    if (o_.output.empty()) throw ImportUsageError("no output tape given");
    if (o_.temp_dir.empty()) {
        const std::size_t slash = o_.output.rfind('/');
        o_.temp_dir = slash == std::string::npos ? "." : slash == 0 ? "/" : o_.output.substr(0, slash);
    }
    carry_ext_ = o_.fractional_sizes;
}

// ---------------------------------------------------------------------------
// Tables given beside the data
// ---------------------------------------------------------------------------

template <typename Row>
void Importer::for_each_row(BatchSource& source, Row row) {
    const ColumnMap map(*source.schema(), source.kind(), source.name(), o_.rename, o_.ignore_extra_columns);
    BatchCells cells(map, source.name(), source.rows_are_lines());
    source.start(1, map.all_columns());
    uint64_t before = 0;
    while (auto batch = source.next()) {
        cells.bind(*batch, before);
        for (int64_t i = 0; i < cells.rows(); ++i) row(map, cells, i);
        before += static_cast<uint64_t>(cells.rows());
    }
}

void Importer::load_conditions(BatchSource& source) {
    for_each_row(source, [this](const ColumnMap&, const BatchCells& cells, int64_t i) {
        const std::string_view text = cells.text(kCondition, i);
        const int64_t code = cells.integer(kCode, i, 0, 254);
        if (condition_names_.find(text)) cells.fail(kCondition, i, quoted(text) + " is listed twice");
        condition_names_.give(std::string(text), static_cast<uint32_t>(code));
    });
}

void Importer::load_symbols(BatchSource& source) {
    for_each_row(source, [this, &source](const ColumnMap& map, const BatchCells& cells, int64_t i) {
        const std::string text(cells.text(kSymbol, i));
        const uint16_t listed =
            cells.present(kListedExchange, i) ? exchange(cells, i, kListedExchange) : o_.listed_exg;
        const uint32_t before_count = instruments_.size();
        const uint32_t id = instruments_.add_listed(text, listed);
        if (id < before_count)
            cells.fail(kSymbol, i, quoted(text) + " on listed exchange " + std::to_string(listed) +
                                       " is listed twice");
        Instrument& inst = instruments_[id];
        if (cells.present(kPriceType, i)) inst.price_type = static_cast<uint8_t>(cells.integer(kPriceType, i, 0, 255));
        if (cells.present(kSizeMultiplier, i)) {
            inst.size_multiplier = cells.decimal(kSizeMultiplier, i);
            if (inst.size_multiplier.units <= 0) cells.fail(kSizeMultiplier, i, "must be above 0");
        }
        if (cells.present(kPrevClose, i)) {
            inst.prev_close = cells.decimal(kPrevClose, i);
            inst.prev_close_where = source.name() + ":" + std::to_string(cells.row_number(i)) + ": column '" +
                                    map.file_name(kPrevClose) + "'";
            if (!inst.price_type) inst.note_price(*inst.prev_close, [&] { return inst.prev_close_where; });
        }
        const bool option = cells.present(kRoot, i) || cells.present(kExpiration, i) ||
                            cells.present(kStrike, i) || cells.present(kPutCall, i);
        if (!option) return;
        OptionTerms terms;
        terms.root = std::string(cells.text(kRoot, i));
        terms.underlying = cells.present(kUnderlying, i) ? std::string(cells.text(kUnderlying, i)) : terms.root;
        const std::string_view expiration = cells.text(kExpiration, i);
        try {
            terms.expiration_ndays = parse_date(std::string(expiration));
        } catch (const ImportUsageError&) {
            cells.fail(kExpiration, i, "expected YYYY-MM-DD, got " + quoted(expiration));
        }
        const auto strike = encode_price(cells.decimal(kStrike, i), 3);
        if (!strike || *strike < 0) cells.fail(kStrike, i, "expected a strike of at most three decimals");
        terms.strike = *strike;
        const std::string_view pc = cells.text(kPutCall, i);
        if (pc == "P" || pc == "p" || pc == "put" || pc == "PUT" || pc == "Put" || pc == "1") terms.put_call = 1;
        else if (pc == "C" || pc == "c" || pc == "call" || pc == "CALL" || pc == "Call" || pc == "0") terms.put_call = 0;
        else cells.fail(kPutCall, i, "expected P or C, got " + quoted(pc));
        if (cells.present(kContractUnit, i))
            terms.contract_unit = static_cast<uint16_t>(cells.integer(kContractUnit, i, 0, 65535));
        inst.option = std::move(terms);
    });
}

// ---------------------------------------------------------------------------
// Cells
// ---------------------------------------------------------------------------

// An exchange or condition written as a number, or nullopt for a name.
// Numbers past `max` are an error naming the row.
std::optional<uint32_t> code_number(const BatchCells& cells, int64_t i, Field f, std::string_view text, uint32_t max,
                                    const char* what) {
    if (!all_digits(text)) return std::nullopt;
    uint32_t value = 0;
    for (std::size_t k = 0; k < text.size() && value <= max; ++k) value = value * 10 + static_cast<uint32_t>(text[k] - '0');
    if (value > max)
        cells.fail(f, i, std::string(what) + quoted(text) + " is out of range (0 to " + std::to_string(max) + ")");
    return value;
}

uint16_t Importer::exchange(const BatchCells& cells, int64_t i, Field f) {
    const std::string_view text = cells.text(f, i);
    if (const auto number = code_number(cells, i, f, text, 65535, "")) {
        if (exchange_codes_ == Codes::Names)
            cells.fail(f, i, "exchange " + quoted(text) + " is a number, but other rows name exchanges by name");
        exchange_codes_ = Codes::Numbers;
        return static_cast<uint16_t>(*number);
    }
    if (exchange_codes_ == Codes::Numbers)
        cells.fail(f, i, "exchange " + quoted(text) + " is a name, but other rows give exchange numbers");
    exchange_codes_ = Codes::Names;
    std::string why;
    const auto code = exchange_names_.code(text, why);
    if (!code) cells.fail(f, i, why);
    return static_cast<uint16_t>(*code);
}

uint16_t Importer::known_exchange(const BatchCells& cells, int64_t i, Field f) const {
    const std::string_view text = cells.text(f, i);
    if (const auto number = code_number(cells, i, f, text, 65535, "")) return static_cast<uint16_t>(*number);
    const auto code = exchange_names_.find(text);
    if (!code) cells.fail(f, i, "unknown exchange " + quoted(text));
    return static_cast<uint16_t>(*code);
}

uint32_t Importer::instrument(RowContext& row, const BatchCells& cells, int64_t i, Field symbol) {
    const std::string_view text = cells.text(symbol, i);
    std::optional<uint16_t> listed;
    if (cells.present(kListedExchange, i)) listed = exchange(cells, i, kListedExchange);
    else if (instruments_.ambiguous(text))
        cells.fail(symbol, i, quoted(text) + " is on several listed exchanges in the symbols file; give listed_exchange");
    return instruments_.find_or_add(text, listed, o_.listed_exg, row.recent);
}

uint32_t Importer::known_instrument(RowContext& row, const BatchCells& cells, int64_t i, Field symbol) const {
    const std::string_view text = cells.text(symbol, i);
    std::optional<uint16_t> listed;
    if (cells.present(kListedExchange, i)) listed = known_exchange(cells, i, kListedExchange);
    return instruments_.find_known(text, listed, o_.listed_exg, row.recent);
}

int32_t Importer::price(const BatchCells& cells, int64_t i, Field f, const Instrument& inst) const {
    const Decimal d = cells.decimal(f, i);
    const auto p = encode_price(d, inst.chosen);
    if (!p) {
        char text[48];
        cells.fail(f, i, std::string(format_decimal(d, text)) + " cannot be written exactly in price type " +
                             std::to_string(inst.chosen) + " of " + inst.text);
    }
    return *p;
}

uint64_t Importer::size(const BatchCells& cells, int64_t i, Field f, const Instrument& inst, uint64_t max,
                        uint64_t* fraction) const {
    Decimal d = cells.decimal(f, i);
    char text[48];
    if (d.units < 0) cells.fail(f, i, std::string(format_decimal(d, text)) + " is below 0");
    if (!(inst.size_multiplier == Decimal{1, 0})) {
        const auto scaled = multiply(d, inst.size_multiplier);
        if (!scaled) cells.fail(f, i, std::string(format_decimal(d, text)) + " is out of range");
        d = *scaled;
    }
    if (fraction != nullptr) {
        const auto m = millionths(d);
        if (!m)
            cells.fail(f, i, std::string(format_decimal(d, text)) +
                                 " has more than six decimals after the size multiplier");
        *fraction = *m;
        const uint64_t whole_part = *m / 1'000'000;
        if (whole_part > max) cells.fail(f, i, std::string(format_decimal(d, text)) + " is out of range");
        return whole_part;
    }
    const auto w = whole(d);
    if (!w)
        cells.fail(f, i, std::string(format_decimal(d, text)) +
                             " is not a whole number (a symbols file's size_multiplier scales decimal sizes; "
                             "--fractional-sizes keeps a trade's fraction)");
    if (static_cast<uint64_t>(*w) > max) cells.fail(f, i, std::string(format_decimal(d, text)) + " is out of range");
    return static_cast<uint64_t>(*w);
}

// A trade's conditions as texts: a list column's items, or the cell's text
// split at blanks and separators.
const std::vector<std::string_view>& condition_texts(RowContext& row, const BatchCells& cells, int64_t i) {
    std::vector<std::string_view>& tokens = row.condition_tokens;
    tokens.clear();
    if (!cells.list_items(kConditions, i, tokens, row.condition_storage)) {
        const std::string_view s = cells.optional_text(kConditions, i);  // lives with the batch
        std::size_t at = 0;
        while (at < s.size()) {
            const std::size_t end = s.find_first_of(" ;|,\t", at);
            const std::size_t stop = end == std::string_view::npos ? s.size() : end;
            if (stop > at) tokens.push_back(s.substr(at, stop - at));
            at = stop + 1;
        }
    }
    if (tokens.size() > 4) cells.fail(kConditions, i, "at most four conditions, got " + std::to_string(tokens.size()));
    return tokens;
}

// A trade's conditions into `out`, unused slots kNoCondition: numbers as
// they are (after `on_number`), names by `on_name`.
template <typename OnNumber, typename OnName>
void fill_conditions(RowContext& row, const BatchCells& cells, int64_t i, uint8_t (&out)[4], OnNumber on_number,
                     OnName on_name) {
    std::memset(out, kNoCondition, 4);
    if (!cells.present(kConditions, i)) return;
    const std::vector<std::string_view>& tokens = condition_texts(row, cells, i);
    for (std::size_t k = 0; k < tokens.size(); ++k) {
        const std::string_view t = tokens[k];
        if (const auto number = code_number(cells, i, kConditions, t, 254, "condition ")) {
            on_number(t);
            out[k] = static_cast<uint8_t>(*number);
        } else {
            out[k] = static_cast<uint8_t>(on_name(t));
        }
    }
}

void Importer::conditions(RowContext& row, const BatchCells& cells, int64_t i, uint8_t (&out)[4]) {
    fill_conditions(
        row, cells, i, out,
        [&](std::string_view t) {
            if (condition_codes_ == Codes::Names && !condition_names_.given())
                cells.fail(kConditions, i, "condition " + quoted(t) +
                                               " is a number, but other rows give text conditions; a --conditions "
                                               "table lets both be used");
            condition_codes_ = Codes::Numbers;
        },
        [&](std::string_view t) {
            if (condition_codes_ == Codes::Numbers && !condition_names_.given())
                cells.fail(kConditions, i, "condition " + quoted(t) +
                                               " is text, but other rows give condition numbers; a --conditions "
                                               "table lets both be used");
            condition_codes_ = Codes::Names;
            std::string why;
            const auto code = condition_names_.code(t, why);
            if (!code) cells.fail(kConditions, i, why);
            return *code;
        });
}

void Importer::known_conditions(RowContext& row, const BatchCells& cells, int64_t i, uint8_t (&out)[4]) const {
    fill_conditions(
        row, cells, i, out, [](std::string_view) {},
        [&](std::string_view t) {
            const auto code = condition_names_.find(t);
            if (!code) cells.fail(kConditions, i, "unknown condition " + quoted(t));
            return *code;
        });
}

// ---------------------------------------------------------------------------
// First pass
// ---------------------------------------------------------------------------

// A row of the first pass as far as it can be read without the importer's
// tables: its time and day, and the prices that choose the price types.
// A cell that could not be read is read again by the first pass itself,
// which then reports it in its turn.
struct ScannedRow {
    int64_t epoch_micros;
    int64_t local_day;
    Decimal prices[2];
    bool time_read;
    bool sub_milli;
    bool price_read[2];
};

void Importer::scan(DataInput& input) {
    BatchSource& source = *input.source;
    const ColumnMap& map = *input.map;
    const InputKind kind = source.kind();
    std::vector<std::string> columns =
        map.columns({kSymbol, kTime, kListedExchange, kExchange, kConditions, kMarketMaker, kOldSymbol, kAction});
    if (!o_.price_type)  // prices choose the price types
        for (const std::string& c : map.columns({kBid, kAsk, kPrice})) columns.push_back(c);
    source.start(1, columns);
    if (map.has(kExchangeTime)) carry_ext_ = true;

    // Times and prices are read ahead on two threads; what needs the
    // tables (instruments, names, the order) is done here, row by row.
    const Field price_fields[2] = {kind == InputKind::Trades ? kPrice : kBid, kAsk};
    const int prices = kind == InputKind::Trades ? 1 : kind == InputKind::Changes || o_.price_type ? 0 : 2;
    struct Work {
        std::shared_ptr<arrow::RecordBatch> batch;
        uint64_t rows_before = 0;
        std::vector<ScannedRow> rows;
    };
    const std::vector<std::unique_ptr<BatchReader>> readers = batch_readers(zone_, o_, map, source, kConverters);
    uint64_t taken_rows = 0;
    WorkAhead<Work> ahead(
        [&source, &taken_rows](Work& work) {
            work.batch = source.next();
            if (!work.batch) return false;
            work.rows_before = taken_rows;
            taken_rows += static_cast<uint64_t>(work.batch->num_rows());
            return true;
        },
        [&](std::size_t worker, Work& work) {
            BatchReader& r = *readers[worker];
            r.cells.bind(*work.batch, work.rows_before);
            work.rows.resize(static_cast<std::size_t>(r.cells.rows()));
            for (int64_t i = 0; i < r.cells.rows(); ++i) {
                ScannedRow& out = work.rows[static_cast<std::size_t>(i)];
                try {
                    const ParsedTime t = r.cells.time(kTime, i, r.row.parser, std::nullopt);
                    out.epoch_micros = t.epoch_micros;
                    out.sub_milli = t.sub_milli;
                    out.local_day = r.row.zone.to_local(t.epoch_micros).ndays;
                    out.time_read = true;
                } catch (const ImportError&) {
                    out.time_read = false;
                }
                for (int p = 0; p < prices; ++p) {
                    try {
                        out.prices[p] = r.cells.decimal(price_fields[p], i);
                        out.price_read[p] = true;
                    } catch (const ImportError&) {
                        out.price_read[p] = false;
                    }
                }
            }
        },
        kConverters, kConvertedAhead);

    BatchCells cells(map, source.name(), source.rows_are_lines());
    int64_t last_time = std::numeric_limits<int64_t>::min();
    uint64_t last_row = 0;
    std::optional<uint32_t> last_day;
    uint8_t scratch[4];
    Work work;
    while (ahead.next(work)) {
        cells.bind(*work.batch, work.rows_before);
        for (int64_t i = 0; i < cells.rows(); ++i) {
            const ScannedRow& read = work.rows[static_cast<std::size_t>(i)];
            const ParsedTime t = read.time_read ? ParsedTime{read.epoch_micros, read.sub_milli}
                                                : cells.time(kTime, i, first_.parser, std::nullopt);
            if (t.epoch_micros < last_time && !o_.sort)
                cells.fail(kTime, i, "out of time order: earlier than row " + std::to_string(last_row) +
                                         " (inputs must be in time order; --sort sorts them)");
            last_time = t.epoch_micros;
            last_row = cells.row_number(i);
            carry_ext_ = carry_ext_ || t.sub_milli;
            const int64_t local_day = read.time_read ? read.local_day : first_.zone.to_local(t.epoch_micros).ndays;
            if (!tape_day(local_day))
                cells.fail(kTime, i, "outside the days a tape holds (1883-01-01 to 9999-12-31 in " + zone_.name() + ")");
            const auto day = static_cast<uint32_t>(local_day);
            if (day != last_day) {
                const auto at = std::lower_bound(days_.begin(), days_.end(), day);
                if (at == days_.end() || *at != day) days_.insert(at, day);
                last_day = day;
            }
            const uint32_t id = instrument(first_, cells, i, kSymbol);
            if (kind == InputKind::Changes) {
                if (cells.present(kOldSymbol, i)) {
                    const std::string_view old = cells.text(kOldSymbol, i);
                    const std::optional<uint16_t> listed =
                        cells.present(kListedExchange, i) ? std::optional<uint16_t>(instruments_[id].listed)
                                                          : std::nullopt;
                    instruments_.find_or_add(old, listed, o_.listed_exg, first_.recent);
                }
                continue;
            }
            exchange(cells, i, kExchange);
            Instrument& inst = instruments_[id];
            auto note = [&](int p) {
                if (inst.price_type || o_.price_type) return;  // given: the second pass checks each price
                const Field f = price_fields[p];
                const Decimal d = read.price_read[p] ? read.prices[p] : cells.decimal(f, i);
                if (d.decimals > kMaxDecimals) {
                    char text[48];
                    cells.fail(f, i, std::string(format_decimal(d, text)) +
                                         " has more than 9 decimals: no price type writes it exactly");
                }
                inst.note_price(d, [&] {
                    return source.name() + ":" + std::to_string(cells.row_number(i)) + ": column '" +
                           map.file_name(f) + "'";
                });
            };
            if (kind == InputKind::Trades) {
                note(0);
                conditions(first_, cells, i, scratch);
            } else {
                note(0);
                note(1);
            }
            if (kind == InputKind::MMQuotes) {
                const std::string_view maker = cells.text(kMarketMaker, i);
                if (market_makers_.find(maker) == market_makers_.end()) market_makers_.emplace(std::string(maker), 0);
            }
        }
        if (o_.progress)
            o_.progress(ImportStage::Reading, rows_ + work.rows_before + static_cast<uint64_t>(cells.rows()), 0);
        work.batch.reset();  // the item goes back to the readers: it keeps no batch alive
    }
    input.rows = taken_rows;
    rows_ += taken_rows;
}

// ---------------------------------------------------------------------------
// The tables
// ---------------------------------------------------------------------------

uint32_t Importer::text_index(const std::string& text) {
    auto [it, added] = text_index_.try_emplace(text, static_cast<uint32_t>(tables_.texts.size()));
    if (added) tables_.texts.push_back(text);
    return it->second;
}

void Importer::build_tables() {
    instruments_.choose_price_types(o_.price_type);
    std::memcpy(tables_.header.permission_set, "AA", 2);
    tables_.header.display = o_.display;
    if (!exchange_names_.empty()) tables_.defined[TqST_EXCHANGE] = exchange_names_.table();
    if (!condition_names_.empty()) tables_.defined[TqST_TRADECONDITION] = condition_names_.table();
    for (uint32_t id = 0; id < instruments_.size(); ++id) {
        const Instrument& inst = instruments_[id];
        engine::SymbolEntry e;
        e.text = text_index(inst.option ? inst.option->root : inst.text);
        e.listed_exg = inst.listed;
        e.price_type = inst.chosen;
        e.atom = id + 1;
        if (inst.prev_close) {
            const auto p = encode_price(*inst.prev_close, inst.chosen);
            if (!p)
                throw ImportError(inst.prev_close_where + ": the previous close cannot be written exactly in price type " +
                                  std::to_string(inst.chosen));
            e.prev_close = *p;
        }
        if (inst.option) {
            const OptionTerms& t = *inst.option;
            e.is_option = true;
            e.option.underlying = text_index(t.underlying);
            e.option.series_chain = text_index(t.root);
            TqDateRecord date{};
            date.NDays = t.expiration_ndays;
            engine::date_from_ndays(date);
            // Expiration code: calls A to L, puts M to X by month; strike
            // code: A to T for strikes of 5 to 100 in steps of 5, repeating.
            e.option.date_and_strike[0] = static_cast<char>((t.put_call ? 'M' : 'A') + date.Month - 1);
            const int32_t dollars = t.strike / 1000;
            e.option.date_and_strike[1] =
                t.strike % 5000 == 0 && dollars > 0 ? static_cast<char>('A' + (dollars / 5 - 1) % 20) : 'A';
            e.option.exg_underlying = o_.listed_exg;
            e.option.contract_unit = t.contract_unit;
            e.option.strike = t.strike;
            e.option.put_call = t.put_call;
            e.option.expiration_ndays = t.expiration_ndays;
        }
        tables_.symbols.push_back(e);
    }
    std::vector<std::string> names;
    names.reserve(market_makers_.size());
    for (const auto& [name, index] : market_makers_) names.push_back(name);
    std::sort(names.begin(), names.end());
    for (const std::string& name : names) market_makers_[name] = text_index(name);
}

// ---------------------------------------------------------------------------
// Second pass
// ---------------------------------------------------------------------------

void Importer::stage(RowContext& row, const DataInput& input, const BatchCells& cells, int64_t i,
                     StagedEvent& out) const {
    const InputKind kind = input.source->kind();
    std::memset(&out, 0, sizeof out);
    const ParsedTime t = cells.time(kTime, i, row.parser, std::nullopt);
    const LocalTime local = row.zone.to_local(t.epoch_micros);
    out.epoch_micros = t.epoch_micros;
    out.seq = cells.row_number(i);
    out.rank = input.rank;
    out.ndays = static_cast<uint32_t>(local.ndays);  // checked by the first pass
    engine::TapeEvent& e = out.event;
    e.micros = local.micros;
    e.permission_id = o_.permission_id;
    e.market_maker = engine::kNone;
    const uint32_t id = known_instrument(row, cells, i, kSymbol);
    const Instrument& inst = instruments_[id];
    e.symbol = id;
    e.price_type = inst.chosen;
    if (carry_ext_) {
        e.flags = engine::kEventHasExt;
        out.ext.micros_src = local.micros;
        if (cells.present(kExchangeTime, i)) {
            const ParsedTime x = cells.time(kExchangeTime, i, row.parser, local.ndays);
            out.ext.micros_ptp1 = row.zone.to_local(x.epoch_micros).micros;
        }
    }
    switch (kind) {
        case InputKind::Quotes:
        case InputKind::MMQuotes: {
            e.kind = kind == InputKind::Quotes ? TqMSG_EXGQUOTE : TqMSG_MMQUOTE;
            e.reporting_exg = known_exchange(cells, i, kExchange);
            e.quote.bid = price(cells, i, kBid, inst);
            e.quote.ask = price(cells, i, kAsk, inst);
            constexpr uint64_t kMax = std::numeric_limits<int32_t>::max();
            e.quote.bid_size = static_cast<int32_t>(size(cells, i, kBidSize, inst, kMax, nullptr));
            e.quote.ask_size = static_cast<int32_t>(size(cells, i, kAskSize, inst, kMax, nullptr));
            if (cells.present(kCondition, i))
                e.quote.quote_condition = static_cast<uint8_t>(cells.integer(kCondition, i, 0, 255));
            if (kind == InputKind::MMQuotes)
                e.market_maker = market_makers_.find(cells.text(kMarketMaker, i))->second;
            break;
        }
        case InputKind::Trades: {
            e.kind = TqMSG_TRADE;
            e.reporting_exg = known_exchange(cells, i, kExchange);
            e.trade.price = price(cells, i, kPrice, inst);
            uint64_t fraction = 0;
            e.trade.size = static_cast<uint32_t>(size(cells, i, kSize, inst, std::numeric_limits<uint32_t>::max(),
                                                      o_.fractional_sizes ? &fraction : nullptr));
            out.ext.fractional_size = o_.fractional_sizes ? fraction : uint64_t{e.trade.size} * 1'000'000;
            known_conditions(row, cells, i, e.trade.ext_conditions);
            e.trade.trade_condition = e.trade.ext_conditions[0] == kNoCondition ? 0 : e.trade.ext_conditions[0];
            if (cells.present(kSequence, i))
                e.trade.exg_sequence = static_cast<uint32_t>(cells.integer(kSequence, i, 0, UINT32_MAX));
            break;
        }
        case InputKind::Changes: {
            e.kind = TqMSG_SYMBOLCHANGE;
            const std::string_view action = cells.text(kAction, i);
            if (action == "add" || action == "ADD" || action == "0") e.symbol_change.status = TqSS_ADD;
            else if (action == "del" || action == "delete" || action == "DEL" || action == "1")
                e.symbol_change.status = TqSS_DEL;
            else if (action == "mod" || action == "rename" || action == "MOD" || action == "2")
                e.symbol_change.status = TqSS_MOD;
            else cells.fail(kAction, i, "expected add, del or mod, got " + quoted(action));
            e.symbol_change.old_symbol = engine::kNone;
            e.symbol_change.old_listed_exg = inst.listed;
            if (cells.present(kOldSymbol, i)) {
                const auto old = instruments_.find(cells.text(kOldSymbol, i), inst.listed);
                if (old) e.symbol_change.old_symbol = *old;
            }
            break;
        }
        default:
            break;
    }
}

void Importer::convert(RowContext& row, BatchCells& cells, const DataInput& input, const arrow::RecordBatch& batch,
                       uint64_t rows_before, std::vector<StagedEvent>& out) const {
    cells.bind(batch, rows_before);
    out.resize(static_cast<std::size_t>(cells.rows()));
    for (int64_t i = 0; i < cells.rows(); ++i) stage(row, input, cells, i, out[static_cast<std::size_t>(i)]);
}

std::unique_ptr<EventStream> Importer::events_of(DataInput& input) {
    input.source->start(2, input.map->all_columns());
    // The input's batches become events on threads of their own, ahead of
    // the merge that takes them, in the order of the input.
    struct Work {
        std::shared_ptr<arrow::RecordBatch> batch;
        uint64_t rows_before = 0;
        std::vector<StagedEvent> events;
    };
    auto converters = std::make_shared<std::vector<std::unique_ptr<BatchReader>>>(
        batch_readers(zone_, o_, *input.map, *input.source, kConverters));
    auto rows = std::make_shared<uint64_t>(0);
    auto ahead = std::make_shared<WorkAhead<Work>>(
        [&input, rows](Work& work) {
            work.batch = input.source->next();
            if (!work.batch) return false;
            work.rows_before = *rows;
            *rows += static_cast<uint64_t>(work.batch->num_rows());
            return true;
        },
        [this, &input, converters](std::size_t worker, Work& work) {
            BatchReader& c = *(*converters)[worker];
            convert(c.row, c.cells, input, *work.batch, work.rows_before, work.events);
            work.batch.reset();
        },
        kConverters, kConvertedAhead);
    auto taken = std::make_shared<Work>();
    auto next = [ahead, taken](std::vector<StagedEvent>& out) {
        if (!ahead->next(*taken)) return false;
        std::swap(out, taken->events);
        return true;
    };
    if (!o_.sort) return std::make_unique<BatchedStream>(next);
    auto sorted = std::make_unique<SortedStream>(o_.temp_dir, sort_run_events());
    std::vector<StagedEvent> batch;
    while (next(batch))
        for (const StagedEvent& e : batch) sorted->add(e);
    sorted->finish();
    return sorted;
}

ImportResult Importer::write() {
    std::vector<std::unique_ptr<EventStream>> streams;
    for (DataInput& input : inputs_) streams.push_back(events_of(input));
    MergedStream merged(std::move(streams));

    ImportResult result;
    std::vector<std::string> temps;  // complete tapes not yet in place
    const std::string suffix = ".importing." + std::to_string(::getpid());
    auto discard = [&temps] {
        for (const std::string& t : temps) std::remove(t.c_str());
    };
    try {
        std::unique_ptr<engine::TapeWriter> writer;
        uint32_t day = 0;
        std::string error;
        auto open = [&](uint32_t ndays) {
            if (writer && !writer->finish(error)) throw ImportError(error);
            day = ndays;
            tables_.header.date_ndays = ndays;
            tables_.header.time_zone = zone_.header_hours(ndays);
            const std::string path = tape_path_for_day(o_.output, ndays);
            if (std::find(result.tapes.begin(), result.tapes.end(), path) != result.tapes.end())
                throw ImportError(path + ": two days would be written to one tape");
            result.tapes.push_back(path);
            temps.push_back(path + suffix);
            writer = std::make_unique<engine::TapeWriter>(o_.compress ? engine::TapeEncoding::Packed
                                                                      : engine::TapeEncoding::Plain);
            if (!writer->open_file(temps.back(), tables_, error)) throw ImportError(error);
        };
        while (const StagedEvent* e = merged.next()) {
            if (!writer || e->ndays != day) open(e->ndays);
            writer->add(e->event, carry_ext_ ? &e->ext : nullptr);
            if (++result.events % 65536 == 0 && o_.progress) o_.progress(ImportStage::Writing, result.events, rows_);
        }
        if (!writer) open(o_.date_ndays ? *o_.date_ndays : days_.front());
        if (!writer->finish(error)) throw ImportError(error);
        for (std::size_t k = 0; k < temps.size(); ++k)
            if (std::rename(temps[k].c_str(), result.tapes[k].c_str()) != 0)
                throw ImportError(result.tapes[k] + ": cannot be written: " + std::strerror(errno));
    } catch (...) {
        discard();
        throw;
    }
    result.instruments = instruments_.size();
    return result;
}

ImportResult Importer::run() {
    // Tables first, then the data inputs in the order given.
    for (ImportInput& in : o_.inputs) {
        if (in.kind == InputKind::Conditions) {
            BatchSource source(std::move(in), o_.temp_dir, o_.delimiter);
            load_conditions(source);
        }
    }
    for (ImportInput& in : o_.inputs) {
        if (in.kind == InputKind::Symbols) {
            BatchSource source(std::move(in), o_.temp_dir, o_.delimiter);
            load_symbols(source);
        }
    }
    uint32_t order = 0;
    for (ImportInput& in : o_.inputs) {
        if (in.kind == InputKind::Symbols || in.kind == InputKind::Conditions) continue;
        DataInput input;
        input.rank = kind_rank(in.kind) << 16 | order++;
        input.source = std::make_unique<BatchSource>(std::move(in), o_.temp_dir, o_.delimiter);
        input.map = std::make_unique<ColumnMap>(*input.source->schema(), input.source->kind(), input.source->name(),
                                                o_.rename, o_.ignore_extra_columns);
        inputs_.push_back(std::move(input));
    }
    if (inputs_.empty()) throw ImportUsageError("no quotes, trades, market-maker quotes or symbol changes to import");
    for (DataInput& input : inputs_) scan(input);
    if (rows_ == 0 && !o_.allow_empty) {
        std::string names;
        for (const DataInput& input : inputs_) names += (names.empty() ? "" : ", ") + input.source->name();
        throw ImportError(names + ": no rows to import (--allow-empty writes an empty tape)");
    }
    if (rows_ == 0 && !o_.date_ndays) throw ImportUsageError("an empty import needs --date for its tape");
    const bool per_day = o_.output.find("{date}") != std::string::npos;
    if (days_.size() > 1 && !per_day)
        throw ImportError("the input spans " + std::to_string(days_.size()) + " session days (" +
                          engine::ymd_text(days_.front()) + " to " + engine::ymd_text(days_.back()) + " in " + zone_.name() +
                          "); put {date} in the output name to write one tape per day");
    build_tables();
    return write();
}

}  // namespace

std::string tape_path_for_day(const std::string& pattern, uint32_t ndays) {
    std::string out = pattern;
    const std::string text = engine::ymd_text(ndays);
    for (std::size_t at = out.find("{date}"); at != std::string::npos; at = out.find("{date}", at + text.size()))
        out.replace(at, 6, text);
    return out;
}

ImportResult run_import(ImportOptions options) {
    Importer importer(std::move(options));
    return importer.run();
}

}  // namespace tarvik::import
