#include "importer.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <map>
#include <memory>
#include <tuple>
#include <unordered_map>

#include "batch_source.h"
#include "columns.h"
#include "converted_row.h"
#include "engine/dates.h"
#include "engine/output_file.h"
#include "engine/prices.h"
#include "event_order.h"
#include "import_error.h"
#include "instruments.h"
#include "recycled_memory.h"
#include "row_spill.h"
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
constexpr Decimal kUnitSize{1, 0};  // the size multiplier of an instrument the symbols file gives none
constexpr std::size_t kConverters = 2;      // threads reading each input's batches ahead of the bookkeeping
constexpr std::size_t kConvertedAhead = 2;  // batches ready ahead of the one taking them, per input
constexpr std::size_t kSpillReadRows = 32 * 1024;  // rows a converting thread takes from the spills at once
constexpr std::size_t kSpillReadRowsLeast = 1024;   // ... from each, however many inputs
constexpr std::size_t kSpillBytes = std::size_t{24} << 20;  // the blocks of every input's spill at once

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

// A whole number as a float column writes it to CSV ("12.0": pandas keeps
// an integer column with a gap as floats) as its digits ("12"), which is
// how a typed float cell reads; any other text as it is.
std::string_view without_zero_fraction(std::string_view s) {
    const std::size_t point = s.find('.');
    if (point == std::string_view::npos || point == 0 || point + 1 == s.size()) return s;
    if (!all_digits(s.substr(0, point))) return s;
    for (char c : s.substr(point + 1))
        if (c != '0') return s;
    return s.substr(0, point);
}

// What converting rows needs of its own on each thread that converts: the
// zone's offset window, the time parser and the conditions' scratch (kept
// for their capacity).
struct RowContext {
    TimeZone zone;
    TimeParser parser;
    std::vector<std::string_view> condition_tokens;
    std::string condition_storage;
    bool condition_letters;

    RowContext(const TimeZone& z, const ImportOptions& o)
        : zone(z), parser(zone, o.date_ndays, o.time_unit, o.date_order), condition_letters(o.condition_letters) {}
    RowContext(const RowContext&) = delete;  // the parser refers to the zone
    RowContext& operator=(const RowContext&) = delete;
};

// A thread that reads an input's batches ahead: its row context and its
// view of the batch it reads.
struct BatchReader {
    RowContext row;
    BatchCells cells;
    BatchReader(const TimeZone& zone, const ImportOptions& o, const ColumnMap& map, const BatchSource& source)
        : row(zone, o), cells(map, source.name(), source.first_row()) {}
};

// One reader for each thread of a WorkAhead.
std::vector<std::unique_ptr<BatchReader>> batch_readers(const TimeZone& zone, const ImportOptions& o,
                                                        const ColumnMap& map, const BatchSource& source,
                                                        std::size_t threads) {
    std::vector<std::unique_ptr<BatchReader>> readers;
    for (std::size_t k = 0; k < threads; ++k) readers.push_back(std::make_unique<BatchReader>(zone, o, map, source));
    return readers;
}

// What the thread that keeps the tables made of each entry of a
// dictionary-encoded column (an instrument, an exchange's number, a trade's
// conditions) in the batch at hand, so that the rows of one entry are
// looked up once. Empty for other columns: every row is then looked up.
class EntryMemo {
public:
    void reset(int64_t entries) { made_.assign(static_cast<std::size_t>(entries), kUnmade); }
    // What `make` makes of row i, made the first time its entry is seen.
    template <typename Make>
    uint32_t get(const BatchCells& cells, Field f, int64_t i, Make make) {
        if (made_.empty()) return make();
        const int64_t k = cells.dictionary_entry(f, i);
        if (k < 0) return make();
        uint64_t& made = made_[static_cast<std::size_t>(k)];
        if (made == kUnmade) made = make();  // nothing is kept of a row that fails
        return static_cast<uint32_t>(made);
    }

private:
    static constexpr uint64_t kUnmade = UINT64_MAX;
    std::vector<uint64_t> made_;
};

// What was made of the short texts of a plain text column (a CSV file's
// trade conditions: a handful of texts over millions of rows), by the text:
// a row whose text was seen makes nothing again. The texts' meaning never
// changes within an import, and nothing is kept of a text that fails.
class ShortTextMemo {
public:
    template <typename Make>
    uint32_t get(std::string_view text, Make make) {
        if (text.size() > sizeof(uint64_t)) return make();
        uint64_t bytes = 0;
        std::memcpy(&bytes, text.data(), text.size());
        const auto size = static_cast<uint8_t>(text.size());
        Slot& slot = slots_[((bytes * 0x9E3779B97F4A7C15ull) >> 56 ^ size) & (kSlots - 1)];
        if (slot.used && slot.bytes == bytes && slot.size == size) return slot.value;
        const uint32_t value = make();
        slot = Slot{bytes, value, size, true};
        return value;
    }

private:
    struct Slot {
        uint64_t bytes = 0;
        uint32_t value = 0;
        uint8_t size = 0;
        bool used = false;
    };
    static constexpr std::size_t kSlots = 256;
    std::array<Slot, kSlots> slots_{};
};

struct DataInput {
    std::unique_ptr<BatchSource> source;
    std::unique_ptr<ColumnMap> map;
    uint32_t rank = 0;
    uint64_t rows = 0;
    // The number of the first row: a CSV file's rows are its lines, after the header.
    uint64_t first_row() const { return source->first_row(); }
    std::unique_ptr<RowSpill> spill;
};

// A float price with no decimal of at most 9 decimals, read no further
// until its instrument's price type is known.
inline constexpr Decimal kLongFloat{0, -1};

// What a row's cells say that needs none of the importer's tables, read
// ahead on the converting threads: the time and its local day, the prices
// as decimals; read_rest also fills the row's sizes, codes and exchange
// time. A part that cannot be read is left unread, and the thread that
// keeps the tables reads it again and reports it in its turn.
struct RowCells {
    Decimal prices[2];
    int64_t local_day;
    int64_t offset;  // local time minus GMT at the row's time, microseconds
    bool time_read;
    bool sub_milli;
    bool rest_read;
    // A quote's condition: none, a number (in the row's code), or a name
    // that the thread that keeps the tables numbers.
    enum class Condition : uint8_t { None, Number, Name } condition;
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
    // The one read of a data input: its rows become ConvertedRows in the
    // input's spill, and the importer learns the instruments, their prices,
    // the days and the names. Converting threads read the cells that need
    // no table (read_time, read_rest); this thread does the rest, row by
    // row, in the input's order.
    void read(DataInput& input);
    std::vector<std::pair<std::string, std::string>> constant_columns() const;
    std::string offset_mismatch(int64_t offset, int64_t day_offset, uint32_t day) const;
    void refuse_input_as_output(const std::string& tape) const;
    void read_time(RowContext& row, const BatchCells& cells, int64_t i, ConvertedRow& out, RowCells& read) const;
    // Whether a one-sided quote has no bid or ask: an empty or null cell,
    // or, in fixed-point prices, the largest int64, which vendors of such
    // prices write for a side with no price.
    bool side_missing(const BatchCells& cells, int64_t i, Field f) const;
    // A quote's bid or ask: none (0) for a missing side of a one-sided quote.
    void quote_side(const BatchCells& cells, int64_t i, Field f, Decimal& out) const;
    // A price's cell as a decimal; kLongFloat for a float that needs more
    // than 9 decimals, which only a given price type reads (float_price).
    void price_cell(const BatchCells& cells, int64_t i, Field f, Decimal& out) const;
    int32_t float_price(const BatchCells& cells, int64_t i, Field f, double value, int bits,
                        uint8_t price_type, const Instrument& inst) const;
    void read_rest(RowContext& row, const DataInput& input, const BatchCells& cells, int64_t i, ConvertedRow& out,
                   RowCells& read) const;
    void build_tables();
    // The input's spilled rows as events, in its order (sorted with --sort),
    // made on threads of its own: they only read the importer.
    std::unique_ptr<EventStream> events_of(DataInput& input);
    void finalize(RowContext& row, const DataInput& input, const ConvertedRow& r, uint64_t index,
                  StagedEvent& out) const;
    int32_t spilled_price(const DataInput& input, const ConvertedRow& r, int p, uint64_t index, uint8_t chosen) const;
    ImportResult write();

    uint32_t instrument(const BatchCells& cells, int64_t i, Field symbol);
    uint16_t exchange(const BatchCells& cells, int64_t i, Field f);
    int32_t price(const BatchCells& cells, int64_t i, Field f, const Decimal& d, uint8_t price_type,
                  const Instrument& inst) const;
    uint32_t size(const BatchCells& cells, int64_t i, Field f, const Decimal& multiplier, uint64_t max,
                  uint64_t* fraction) const;
    // A quote's two sizes or a trade's size (and fraction), scaled by the
    // instrument's multiplier.
    void sizes(const BatchCells& cells, int64_t i, InputKind kind, const Decimal& multiplier, ConvertedRow& out) const;
    void conditions(RowContext& row, const BatchCells& cells, int64_t i, uint8_t (&out)[4]);
    uint8_t quote_condition(const BatchCells& cells, int64_t i, bool name, uint8_t number);
    // The text's index in the tape's texts. The text must outlive the
    // building of the tables (an instrument's, an option's, a maker's).
    uint32_t text_index(std::string_view text);

    ImportOptions o_;
    TimeZone zone_;
    RowContext first_;  // of the thread that keeps the tables
    std::vector<DataInput> inputs_;
    Instruments instruments_;
    // The option contracts of the symbols files by their terms (listed
    // exchange, root, expiration, strike, put or call), with their symbol.
    std::map<std::tuple<uint16_t, std::string, uint32_t, int32_t, uint8_t>, std::string> contracts_;
    RecentInstruments recent_;  // the answers of instruments_, for the thread that keeps the tables
    NameCodes exchange_names_{"exchange", 65535};
    NameCodes condition_names_{"condition", 254};
    NameCodes quote_condition_names_{"quote condition", 255};
    Codes exchange_codes_ = Codes::Unknown;
    Codes condition_codes_ = Codes::Unknown;
    Codes quote_condition_codes_ = Codes::Unknown;
    TextMap<uint32_t> maker_ids_;           // market maker -> its number, in order of first appearance
    std::vector<std::string> maker_names_;  // by number
    std::vector<uint32_t> maker_texts_;     // by number: the text index, once the tables are built
    std::vector<uint8_t> chosen_types_;     // by instrument: its price type, once the tables are built
    bool sizes_ahead_ = true;  // no size multipliers: converting threads read the sizes
    tsl::robin_map<std::string_view, uint32_t, TextHash, std::equal_to<>,
                   std::allocator<std::pair<std::string_view, uint32_t>>, true>
        text_index_;
    bool carry_ext_ = false;
    std::vector<uint32_t> days_;  // sorted
    struct InputFile {
        dev_t device;
        ino_t inode;
        std::string path;
    };
    std::vector<InputFile> input_files_;  // the inputs that are files
    uint64_t rows_ = 0;
    uint64_t sorted_rows_ = 0;  // by --sort, of every input so far
    engine::TapeTables tables_;
};

// The folder the rows wait in and runs are sorted in, by default: the
// output's, or where the days' names part (-o 'days/{date}/t.tape': days);
// for a device or a pipe, the system's temporary folder.
std::string default_temp_dir(const std::string& output) {
    if (engine::is_stream_output(output)) {
        const char* tmp = std::getenv("TMPDIR");
        return tmp != nullptr && *tmp != '\0' ? tmp : "/tmp";
    }
    return engine::folder_of(output.substr(0, output.find("{date}")));
}

// A tape that could not go into place would be known only once written:
// its folder must be there, and its name no folder's.
void check_output_place(const std::string& tape) {
    if (engine::is_stream_output(tape)) return;
    const std::string folder = engine::folder_of(tape);
    struct stat st {};
    int err = 0;
    if (::stat(folder.c_str(), &st) != 0) err = errno;
    else if (!S_ISDIR(st.st_mode)) err = ENOTDIR;
    else if (::stat(tape.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) err = EISDIR;
    else if (engine::links_loop(tape)) err = ELOOP;
    if (err != 0) throw ImportError(tape + ": cannot be written: " + std::strerror(err));
}

// A day's folder that {date} names is made when missing: an import's days
// are known only once read. Only folders below the one the name starts in
// above its first {date} are made (a misspelt folder stays an error); what
// was made is kept in `made`, to be taken away on failure.
void make_day_folder(const std::string& pattern, const std::string& tape, std::vector<std::string>& made) {
    const std::size_t at = pattern.find("{date}");
    if (at == std::string::npos || engine::folder_of(pattern).find("{date}") == std::string::npos) return;
    const std::string base = engine::folder_of(pattern.substr(0, at));
    std::vector<std::string> missing;
    struct stat st {};
    for (std::string f = engine::folder_of(tape); f.size() > base.size() && ::stat(f.c_str(), &st) != 0 && errno == ENOENT;
         f = engine::folder_of(f))
        missing.push_back(f);
    for (auto f = missing.rbegin(); f != missing.rend(); ++f) {
        if (::mkdir(f->c_str(), 0777) != 0 && errno != EEXIST)
            throw ImportError(tape + ": cannot be written: its folder " + *f + " cannot be made: " + std::strerror(errno));
        made.push_back(*f);
    }
}

Importer::Importer(ImportOptions options)
    : o_(std::move(options)), zone_(o_.time_zone), first_(zone_, o_) {
    if (o_.output.empty()) throw ImportUsageError("no output tape given");
    if (o_.temp_dir.empty()) o_.temp_dir = default_temp_dir(o_.output);
    carry_ext_ = o_.fractional_sizes;
    // A rename maps onto one of our names: a misspelt one would only show
    // as a missing column. A vendor's name is renamed once: which of two
    // renames of it was meant, no rule could tell.
    for (std::size_t k = 0; k < o_.rename.size(); ++k)
        for (std::size_t j = 0; j < k; ++j)
            if (same_name(trim(o_.rename[j].first), trim(o_.rename[k].first)))
                throw ImportUsageError("rename: '" + o_.rename[k].first + "' is renamed twice (" + o_.rename[j].first +
                                       "=" + o_.rename[j].second + ", " + o_.rename[k].first + "=" +
                                       o_.rename[k].second + ")");
    for (const auto& [from, to] : o_.rename) {
        std::string ours(trim(to));
        for (char& c : ours)
            if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
        bool known = false;
        std::string names;
        for (int f = 0; f < kFieldCount; ++f) {
            known = known || ours == field_name(static_cast<Field>(f));
            names += (f == 0 ? "" : ", ") + std::string(field_name(static_cast<Field>(f)));
        }
        if (!known)
            throw ImportUsageError("rename " + from + "=" + to + ": '" + to + "' is not a column name (" + names + ")");
    }
    for (const ImportInput& in : o_.inputs) {
        struct stat st{};
        if (!in.path.empty() && ::stat(in.path.c_str(), &st) == 0) input_files_.push_back({st.st_dev, st.st_ino, in.path});
    }
    if (o_.output.back() == '/') throw ImportUsageError(o_.output + ": names a folder; -o names the tape");
    // {date} is the one placeholder, written YYYY-MM-DD: a formatted one
    // ({date:%Y%m%d}) would otherwise be taken as part of the name.
    for (std::size_t at = o_.output.find("{date"); at != std::string::npos; at = o_.output.find("{date", at + 1))
        if (o_.output.compare(at, 6, "{date}") != 0)
            throw ImportUsageError(o_.output + ": the day goes into a name as {date} (YYYY-MM-DD), with no format");
    if (o_.output.find("{date}") == std::string::npos) {
        refuse_input_as_output(o_.output);
        check_output_place(o_.output);
    } else {
        // The days are known only once read; the folder their names start
        // in is known now, and must be there.
        const std::string folder = engine::folder_of(o_.output.substr(0, o_.output.find("{date}")));
        struct stat st{};
        int err = 0;
        if (::stat(folder.c_str(), &st) != 0) err = errno;
        else if (!S_ISDIR(st.st_mode)) err = ENOTDIR;
        if (err != 0) throw ImportError(o_.output + ": cannot be written: " + folder + ": " + std::strerror(err));
    }
}

// A tape written over an input would destroy it: the tape replaces the
// file it is written to once whole.
void Importer::refuse_input_as_output(const std::string& tape) const {
    struct stat st{};
    if (::stat(tape.c_str(), &st) != 0) return;
    for (const InputFile& in : input_files_)
        if (in.device == st.st_dev && in.inode == st.st_ino)
            throw ImportUsageError(tape + ": the output is the input " + in.path + ", which the tape would replace");
}

// ---------------------------------------------------------------------------
// Tables given beside the data
// ---------------------------------------------------------------------------

template <typename Row>
void Importer::for_each_row(BatchSource& source, Row row) {
    const ColumnMap map(*source.schema(), source.kind(), source.name(), o_.rename, o_.ignore_extra_columns);
    BatchCells cells(map, source.name(), source.first_row());
    source.start(map.all_columns());
    uint64_t before = 0;
    while (auto batch = source.next()) {
        cells.bind(*batch, before);
        for (int64_t i = 0; i < cells.rows(); ++i) row(map, cells, i);
        before += static_cast<uint64_t>(cells.rows());
    }
}

namespace {

// A name the tape keeps (a symbol, a root, a market maker, a condition).
void check_name(const BatchCells& cells, int64_t i, Field f, std::string_view text) {
    if (const char* fault = name_fault(text)) cells.fail(f, i, quoted(text) + fault);
}

}  // namespace

void Importer::load_conditions(BatchSource& source) {
    condition_names_.given_table();
    for_each_row(source, [this](const ColumnMap&, const BatchCells& cells, int64_t i) {
        const std::string_view text = cells.text(kCondition, i);
        check_name(cells, i, kCondition, text);
        const int64_t code = cells.integer(kCode, i, 0, 254);
        if (condition_names_.find(text) != NameCodes::kNone) cells.fail(kCondition, i, quoted(text) + " is listed twice");
        condition_names_.give(std::string(text), static_cast<uint32_t>(code));
    });
}

void Importer::load_symbols(BatchSource& source) {
    for_each_row(source, [this, &source](const ColumnMap& map, const BatchCells& cells, int64_t i) {
        const std::string text(cells.text(kSymbol, i));
        check_name(cells, i, kSymbol, text);
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
            inst.size_multiplier = std::make_unique<Decimal>(cells.decimal(kSizeMultiplier, i));
            if (inst.size_multiplier->units <= 0) cells.fail(kSizeMultiplier, i, "must be above 0");
        }
        if (cells.present(kPrevClose, i)) {
            const Place where =
                Instruments::place(instruments_.column(source.name(), map.shown_name(kPrevClose), field_name(kPrevClose)), cells.row_number(i));
            // A float in a given price type is read as its nearest price,
            // as the data's prices are; otherwise as its shortest decimal.
            const std::optional<uint8_t> given = inst.price_type ? inst.price_type : o_.price_type;
            double value;
            const int bits = cells.float_cell(kPrevClose, i, value);
            if (given && bits != 0) {
                inst.prev_close = std::make_unique<PlacedPrice>(
                    PlacedPrice{Decimal{}, where, float_price(cells, i, kPrevClose, value, bits, *given, inst)});
            } else {
                inst.prev_close = std::make_unique<PlacedPrice>(PlacedPrice{cells.decimal(kPrevClose, i), where});
                if (!inst.price_type) inst.note_price(inst.prev_close->value, [&] { return inst.prev_close->where; });
            }
        }
        const bool option = cells.present(kRoot, i) || cells.present(kUnderlying, i) ||
                            cells.present(kExpiration, i) || cells.present(kStrike, i) ||
                            cells.present(kPutCall, i) || cells.present(kContractUnit, i);
        if (!option) return;
        for (const Field f : {kRoot, kExpiration, kStrike, kPutCall})
            if (!map.has(f))
                throw ImportError(source.name() + ":" + std::to_string(cells.row_number(i)) +
                                  ": an option contract's terms need the columns root, expiration, strike and "
                                  "put_call; there is no column '" + field_name(f) + "'");
        OptionTerms terms;
        terms.root = std::string(cells.text(kRoot, i));
        check_name(cells, i, kRoot, terms.root);
        terms.underlying = cells.present(kUnderlying, i) ? std::string(cells.text(kUnderlying, i)) : terms.root;
        check_name(cells, i, kUnderlying, terms.underlying);
        if (const std::optional<int64_t> days = cells.typed_date(kExpiration, i)) {
            const int64_t ndays = *days + engine::kUnixEpochNDays;
            if (!tape_day(ndays)) cells.fail(kExpiration, i, "outside the days a tape holds (1883-01-01 to 9999-12-31)");
            terms.expiration_ndays = static_cast<uint32_t>(ndays);
        } else {
            const std::string_view expiration = cells.text(kExpiration, i);
            const char* why = nullptr;
            if (const std::optional<uint32_t> day = parse_day(std::string(expiration), why))
                terms.expiration_ndays = *day;
            else
                cells.fail(kExpiration, i, std::string(why) + ", got " + quoted(expiration));
        }
        const Decimal strike_value = cells.decimal(kStrike, i);
        const auto strike = encode_price(strike_value, 3);
        if (!strike || *strike < 0) {
            char digits[48];
            const std::string shown(format_decimal(strike_value, digits));
            cells.fail(kStrike, i, strike_value.units < 0 ? "a strike is not below 0, got " + shown
                                                          : "the strike " + shown + price_refusal(strike_value, 3) +
                                                                " (thousandths, 32 bits)");
        }
        terms.strike = *strike;
        const std::string_view pc = cells.text(kPutCall, i);
        if (pc == "P" || pc == "p" || pc == "put" || pc == "PUT" || pc == "Put" || pc == "1") terms.put_call = 1;
        else if (pc == "C" || pc == "c" || pc == "call" || pc == "CALL" || pc == "Call" || pc == "0") terms.put_call = 0;
        else cells.fail(kPutCall, i, "expected P or C, got " + quoted(pc));
        if (cells.present(kContractUnit, i))
            terms.contract_unit = static_cast<uint16_t>(cells.integer(kContractUnit, i, 0, 65535));
        // One contract, one instrument: the engine finds a contract by its
        // terms, so a second of the same terms could never be asked for.
        const auto [at, added] = contracts_.try_emplace(
            std::make_tuple(listed, terms.root, terms.expiration_ndays, terms.strike, terms.put_call), text);
        if (!added)
            cells.fail(kSymbol, i, "the contract of " + quoted(text) + " (" + terms.root + " " +
                                       engine::ymd_text(terms.expiration_ndays) + " " + (terms.put_call ? "P" : "C") +
                                       " " + std::string(cells.text(kStrike, i)) + " on listed exchange " +
                                       std::to_string(listed) + ") is listed already as " + quoted(at->second));
        inst.option = std::make_unique<OptionTerms>(std::move(terms));
    });
}

// ---------------------------------------------------------------------------
// Cells
// ---------------------------------------------------------------------------

// An exchange or condition written as a number, or nullopt for a name.
// Numbers past `max` are an error naming the row.
std::optional<uint32_t> code_number(const BatchCells& cells, int64_t i, Field f, std::string_view given, uint32_t max,
                                    const char* what) {
    const std::string_view text = without_zero_fraction(given);
    if (!all_digits(text)) return std::nullopt;
    uint32_t value = 0;
    for (std::size_t k = 0; k < text.size() && value <= max; ++k) value = value * 10 + static_cast<uint32_t>(text[k] - '0');
    if (value > max)
        cells.fail(f, i, std::string(what) + quoted(given) + " is out of range (0 to " + std::to_string(max) + ")");
    return value;
}

constexpr const char* kOneKindOfExchange =
    " (the exchange and listed_exchange columns of every input are all numbers or all names)";

uint16_t Importer::exchange(const BatchCells& cells, int64_t i, Field f) {
    const std::string_view text = cells.text(f, i);
    std::optional<uint32_t> number = code_number(cells, i, f, text, 65535, "");
    if (Decimal d; !number && parse_decimal(text, d)) {
        // A number written otherwise than in digits: "2.0" (as a float
        // column holding a gap is written to CSV) is 2; "-1", "2.5" are no
        // exchange.
        const auto value = whole(d);
        if (!value) cells.fail(f, i, "exchange " + quoted(text) + " is not a whole number");
        if (*value < 0 || *value > 65535) cells.fail(f, i, "exchange " + quoted(text) + " is out of range (0 to 65535)");
        number = static_cast<uint32_t>(*value);
    }
    if (number) {
        if (exchange_codes_ == Codes::Names)
            cells.fail(f, i, "exchange " + quoted(text) + " is a number, but other exchanges of the import are names" +
                                 kOneKindOfExchange);
        exchange_codes_ = Codes::Numbers;
        return static_cast<uint16_t>(*number);
    }
    if (exchange_codes_ == Codes::Numbers)
        cells.fail(f, i, "exchange " + quoted(text) + " is a name, but other exchanges of the import are numbers" +
                             kOneKindOfExchange);
    exchange_codes_ = Codes::Names;
    std::string why;
    const uint32_t code = exchange_names_.code(text, why);
    if (code == NameCodes::kNone) cells.fail(f, i, why);
    return static_cast<uint16_t>(code);
}

uint32_t Importer::instrument(const BatchCells& cells, int64_t i, Field symbol) {
    const std::string_view text = cells.text(symbol, i);
    std::optional<uint16_t> listed;
    if (cells.present(kListedExchange, i)) listed = exchange(cells, i, kListedExchange);
    else if (instruments_.ambiguous(text, o_.listed_exg))
        cells.fail(symbol, i, quoted(text) + " is on several listed exchanges in the symbols file, not on " +
                                  std::to_string(o_.listed_exg) + " (--listed-exg); give listed_exchange");
    const uint32_t known = instruments_.size();
    const uint32_t id = instruments_.find_or_add(text, listed, o_.listed_exg, recent_);
    if (id >= known) check_name(cells, i, symbol, text);
    return id;
}

int32_t Importer::price(const BatchCells& cells, int64_t i, Field f, const Decimal& d, uint8_t price_type,
                        const Instrument& inst) const {
    const auto p = encode_price(d, price_type);
    if (!p) {
        char text[48];
        cells.fail(f, i, std::string(format_decimal(d, text)) + price_refusal(d, price_type) + " of " +
                             std::string(inst.text));
    }
    return *p;
}

uint32_t Importer::size(const BatchCells& cells, int64_t i, Field f, const Decimal& multiplier, uint64_t max,
                        uint64_t* fraction) const {
    uint64_t count = 0;
    if (fraction == nullptr && multiplier == kUnitSize && cells.plain_count(f, i, count) && count <= max)
        return static_cast<uint32_t>(count);
    Decimal d;
    cells.decimal(f, i, d);
    char text[48];
    if (d.units < 0) cells.fail(f, i, std::string(format_decimal(d, text)) + " is below 0");
    const bool scaling = !(multiplier == kUnitSize);
    const Decimal given = d;
    if (scaling) {
        const auto scaled = multiply(d, multiplier);
        if (!scaled) cells.fail(f, i, std::string(format_decimal(d, text)) + " is out of range after the size multiplier");
        d = *scaled;
    }
    // The size as the file gives it, and what the multiplier made of it.
    const auto shown = [&] {
        std::string s(format_decimal(given, text));
        if (scaling) {
            s += " (";
            s += format_decimal(d, text);
            s += " after the size multiplier ";
            s += format_decimal(multiplier, text);
            s += ")";
        }
        return s;
    };
    if (fraction != nullptr) {
        const auto m = millionths(d);
        if (!m) cells.fail(f, i, shown() + " has more than six decimals");
        *fraction = *m;
        const uint64_t whole_part = *m / 1'000'000;
        if (whole_part > max) cells.fail(f, i, shown() + " is out of range (0 to " + std::to_string(max) + ")");
        return static_cast<uint32_t>(whole_part);
    }
    const std::string range = " is out of range (0 to " + std::to_string(max) + ")";
    const auto w = whole(d);
    if (!w && d.decimals == 0) cells.fail(f, i, shown() + range);
    if (!w)
        cells.fail(f, i, shown() +
                             " is not a whole number (a symbols file's size_multiplier scales decimal sizes; "
                             "--fractional-sizes keeps a trade's fraction)");
    if (static_cast<uint64_t>(*w) > max) cells.fail(f, i, shown() + range);
    return static_cast<uint32_t>(*w);
}

void Importer::sizes(const BatchCells& cells, int64_t i, InputKind kind, const Decimal& multiplier,
                     ConvertedRow& out) const {
    if (kind == InputKind::Trades) {
        out.size[0] = size(cells, i, kSize, multiplier, std::numeric_limits<uint32_t>::max(),
                           o_.fractional_sizes ? &out.fraction : nullptr);
        return;
    }
    constexpr uint64_t kMaxQuoteSize = std::numeric_limits<int32_t>::max();
    const Field sides[2][2] = {{kBid, kBidSize}, {kAsk, kAskSize}};
    for (int k = 0; k < 2; ++k) {
        const auto [price, size_field] = sides[k];
        if (o_.one_sided_quotes && side_missing(cells, i, price)) {
            // No side: its size, when given, must say none too.
            if (cells.present(size_field, i) && size(cells, i, size_field, multiplier, kMaxQuoteSize, nullptr) != 0)
                cells.fail(size_field, i, "a size without its price (" + std::string(field_name(price)) + " is empty)");
            out.size[k] = 0;
            continue;
        }
        out.size[k] = size(cells, i, size_field, multiplier, kMaxQuoteSize, nullptr);
    }
}

bool Importer::side_missing(const BatchCells& cells, int64_t i, Field f) const {
    if (!cells.present(f, i)) return true;
    if (o_.price_scale == 0) return false;
    double value;
    // In a float column (an integer column with a gap, as pandas keeps
    // it) the largest int64 is 2^63.
    if (cells.float_cell(f, i, value) != 0) return value == 9223372036854775808.0;
    Decimal d;
    cells.decimal(f, i, d);
    return d == Decimal{std::numeric_limits<int64_t>::max(), 0};
}

void Importer::quote_side(const BatchCells& cells, int64_t i, Field f, Decimal& out) const {
    if (o_.one_sided_quotes && side_missing(cells, i, f)) {
        out = Decimal{};
        return;
    }
    price_cell(cells, i, f, out);
}

void Importer::price_cell(const BatchCells& cells, int64_t i, Field f, Decimal& out) const {
    double value;
    const int bits = cells.float_cell(f, i, value);
    if (bits == 0) {
        cells.decimal(f, i, out);
    } else if (o_.price_scale != 0) {
        // Units as the float writes them, however large ("1.75e+19").
        char text[48];
        const auto r = bits == 32 ? std::to_chars(text, text + sizeof text, static_cast<float>(value))
                                  : std::to_chars(text, text + sizeof text, value);
        if (!parse_decimal(std::string_view(text, static_cast<std::size_t>(r.ptr - text)), out))
            cells.fail(f, i, "expected a number, got " + cells.shown_text(f, i));
    } else if (!cells.short_float(f, i, out)) {
        out = kLongFloat;
    }
    if (o_.price_scale != 0) {
        // Fixed-point units: the value read, moved down by the scale.
        if (out == kLongFloat || out.decimals != 0)
            cells.fail(f, i, "expected a whole number of 10^-" + std::to_string(o_.price_scale) +
                                 " units (--price-scale), got " + cells.shown_text(f, i));
        if (!decimal_from_any_scale(out.units, o_.price_scale, out))
            cells.fail(f, i, "out of range, got " + cells.shown_text(f, i));
    }
}

// A float read as the nearest price of the type: a float holds a decimal
// only to within its rounding (171.1 + 0.2 is 171.29999999999998), so the
// nearest price is the float's when it lies within a few of the float's
// steps (64 for a double, that of arithmetic on it; 2 for a float32, that
// of its conversion) and otherwise is no price of the type at all.
int32_t Importer::float_price(const BatchCells& cells, int64_t i, Field f, double value, int bits,
                              uint8_t price_type, const Instrument& inst) const {
    const double denominator = price_type <= kMaxDecimals ? static_cast<double>(pow10(price_type))
                                                          : static_cast<double>(engine::price_type_info(price_type).denominator);
    const double scaled = value * denominator;
    const bool fits = std::fabs(scaled) <= 2147483647.5;  // false for NaN too
    const double units = fits ? std::nearbyint(scaled) : 0;
    const double back = units / denominator;  // both exact: rounded once
    const bool near = bits == 32 ? std::fabs(static_cast<float>(back) - static_cast<float>(value)) <=
                                       2 * (std::nextafter(std::fabs(static_cast<float>(value)), INFINITY) -
                                            std::fabs(static_cast<float>(value)))
                                 : std::fabs(back - value) <=
                                       64 * (std::nextafter(std::fabs(value), INFINITY) - std::fabs(value));
    if (fits && near && units >= INT32_MIN && units <= INT32_MAX) return static_cast<int32_t>(units);
    char text[32];
    const auto end = bits == 32 ? std::to_chars(text, text + sizeof text, static_cast<float>(value)).ptr
                                : std::to_chars(text, text + sizeof text, value).ptr;
    cells.fail(f, i, "the float " + std::string(text, end) +
                         (fits ? " cannot be written exactly in price type " : " does not fit 32 bits in price type ") +
                         std::to_string(price_type) + " of " + std::string(inst.text));
}

// Whether a trade's conditions are letters, a condition each: with
// --condition-letters, in a text column; a list's items and a number
// column's numbers are read as they are.
bool condition_letters(const RowContext& row, const BatchCells& cells) {
    return row.condition_letters && cells.text_typed(kConditions);
}

// A trade's conditions as texts: a list column's items, or the cell's text
// split at blanks and separators, or into its letters (a UTF-8 character
// each).
const std::vector<std::string_view>& condition_texts(RowContext& row, const BatchCells& cells, int64_t i) {
    std::vector<std::string_view>& tokens = row.condition_tokens;
    tokens.clear();
    if (!cells.list_items(kConditions, i, tokens, row.condition_storage)) {
        const std::string_view s = cells.optional_text(kConditions, i);  // lives with the batch
        std::size_t at = 0;
        const bool letters = condition_letters(row, cells);
        while (letters && at < s.size()) {
            const auto lead = static_cast<unsigned char>(s[at]);
            const std::size_t n = lead < 0x80 ? 1 : (lead & 0xE0) == 0xC0 ? 2 : (lead & 0xF0) == 0xE0 ? 3
                                                : (lead & 0xF8) == 0xF0 ? 4 : 1;
            const char c = s[at];
            if (c != ' ' && c != ';' && c != '|' && c != ',' && c != '\t') tokens.push_back(s.substr(at, n));
            at += n;
        }
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

// A trade's conditions into `out`, unused slots kNoCondition: a text a
// given table lists by the table (TAQ's "4" is a condition of its own),
// other numbers as they are (after `on_number`), names by `on_name`.
template <typename OnNumber, typename OnName>
void fill_conditions(RowContext& row, const BatchCells& cells, int64_t i, uint8_t (&out)[4], const NameCodes& table,
                     OnNumber on_number, OnName on_name) {
    std::memset(out, kNoCondition, 4);
    if (!cells.present(kConditions, i)) return;
    const std::vector<std::string_view>& tokens = condition_texts(row, cells, i);
    for (std::size_t k = 0; k < tokens.size(); ++k) {
        const std::string_view t = tokens[k];
        if (table.given()) {
            // "4.0" is the table's "4", as the same float column read typed is.
            uint32_t code = table.find(t);
            if (const std::string_view number = without_zero_fraction(t); code == NameCodes::kNone && number != t)
                code = table.find(number);
            if (code != NameCodes::kNone) {
                out[k] = static_cast<uint8_t>(code);
                continue;
            }
        }
        // A letter is a text, a digit too: TAQ's "4" is a condition of its own.
        if (const auto number = condition_letters(row, cells)
                                    ? std::nullopt
                                    : code_number(cells, i, kConditions, t, 254, "condition ")) {
            on_number(t, *number);
            out[k] = static_cast<uint8_t>(*number);
        } else {
            out[k] = static_cast<uint8_t>(on_name(t));
        }
    }
}

// A quote's condition: a number read ahead (`number`, kept), or a name numbered from 1
// in order of first appearance; one import gives numbers or names.
uint8_t Importer::quote_condition(const BatchCells& cells, int64_t i, bool name, uint8_t number) {
    const Codes kind = name ? Codes::Names : Codes::Numbers;
    if (quote_condition_codes_ != Codes::Unknown && quote_condition_codes_ != kind)
        cells.fail(kCondition, i, "condition " + quoted(cells.optional_text(kCondition, i)) +
                                      (name ? " is text, but other rows give condition numbers"
                                            : " is a number, but other rows give text conditions"));
    quote_condition_codes_ = kind;
    if (!name) return number;
    std::string why;
    const uint32_t code = quote_condition_names_.code(cells.text(kCondition, i), why);
    if (code == NameCodes::kNone) cells.fail(kCondition, i, why);
    return static_cast<uint8_t>(code);
}

void Importer::conditions(RowContext& row, const BatchCells& cells, int64_t i, uint8_t (&out)[4]) {
    fill_conditions(
        row, cells, i, out, condition_names_,
        [&](std::string_view t, uint32_t number) {
            if (condition_codes_ == Codes::Names && !condition_names_.given())
                cells.fail(kConditions, i, "condition " + quoted(t) +
                                               " is a number, but other rows give text conditions; a --conditions "
                                               "table lets both be used");
            // Kept as it is, it would read back as the table's text.
            if (const std::string* name = condition_names_.given_name(number))
                cells.fail(kConditions, i, "condition " + quoted(t) + " is not in the conditions table, and its number is the code of " +
                                               quoted(*name) + " there");
            condition_codes_ = Codes::Numbers;
        },
        [&](std::string_view t) {
            if (condition_codes_ == Codes::Numbers && !condition_names_.given())
                cells.fail(kConditions, i, "condition " + quoted(t) +
                                               " is text, but other rows give condition numbers; a --conditions "
                                               "table lets both be used");
            condition_codes_ = Codes::Names;
            std::string why;
            const uint32_t code = condition_names_.code(t, why);
            if (code == NameCodes::kNone) cells.fail(kConditions, i, why);
            return code;
        });
}

// ---------------------------------------------------------------------------
// Reading
// ---------------------------------------------------------------------------

void Importer::read_time(RowContext& row, const BatchCells& cells, int64_t i, ConvertedRow& out,
                         RowCells& read) const {
    ParsedTime t;
    // A date column gives the day of a time of day, in place of --date; a
    // time that holds its own day must fall on the row's date.
    std::optional<uint32_t> date;
    if (cells.has(kDate) && cells.present(kDate, i)) date = cells.day(kDate, i, o_.date_order);
    cells.time(kTime, i, row.parser, date, t);
    out.epoch_micros = t.epoch_micros;
    read.sub_milli = t.sub_milli;
    const LocalTime local = row.zone.to_local(t.epoch_micros);
    if (date && local.ndays != *date)
        cells.fail(kDate, i, "the row's time " + cells.shown_text(kTime, i) + " falls on " + engine::ymd_text(local.ndays) +
                                 " in " + row.zone.name() + ", not on its date " + engine::ymd_text(*date));
    read.local_day = local.ndays;
    read.offset = (local.ndays - engine::kUnixEpochNDays) * kMicrosPerDay + static_cast<int64_t>(local.micros) -
                  t.epoch_micros;
    read.time_read = true;
}

namespace {

// An offset to GMT as -5:00 or +5:30.
std::string offset_text(int64_t micros) {
    const int64_t minutes = (micros < 0 ? -micros : micros) / 60'000'000;
    char text[16];
    std::snprintf(text, sizeof text, "%c%lld:%02lld", micros < 0 ? '-' : '+', static_cast<long long>(minutes / 60),
                  static_cast<long long>(minutes % 60));
    return text;
}

}  // namespace

// A tape gives its times as times of day, and its header one offset to GMT
// for the day in whole hours: a time at another offset (clocks changed that
// day, or a zone of half hours) could not be told as the instant it is.
std::string Importer::offset_mismatch(int64_t offset, int64_t day_offset, uint32_t day) const {
    return "at this time " + zone_.name() + " is " + offset_text(offset) + " from GMT, but the tape of " +
           engine::ymd_text(day) + " holds one offset in whole hours for the day, " + offset_text(day_offset) +
           (offset % 3'600'000'000 != 0 ? "" : " (its clocks change that day)") +
           ", so the time could not be told as the instant it is: import with --time-zone UTC";
}

void Importer::read_rest(RowContext& row, const DataInput& input, const BatchCells& cells, int64_t i,
                         ConvertedRow& out, RowCells& read) const {
    const InputKind kind = input.source->kind();
    switch (kind) {
        case InputKind::Quotes:
        case InputKind::MMQuotes:
            quote_side(cells, i, kBid, read.prices[0]);
            quote_side(cells, i, kAsk, read.prices[1]);
            if (sizes_ahead_) sizes(cells, i, kind, kUnitSize, out);
            read.condition = RowCells::Condition::None;
            if (cells.present(kCondition, i)) {
                // A number (typed, or digits such as "12" and "12.0") is
                // kept; any other text is a name (TAQ's "R").
                Decimal d;
                if (cells.text_typed(kCondition) && !parse_decimal(cells.optional_text(kCondition, i), d)) {
                    read.condition = RowCells::Condition::Name;
                } else {
                    out.code = static_cast<uint8_t>(cells.integer(kCondition, i, 0, 255));
                    read.condition = RowCells::Condition::Number;
                }
            }
            break;
        case InputKind::Trades:
            price_cell(cells, i, kPrice, read.prices[0]);
            if (sizes_ahead_) sizes(cells, i, kind, kUnitSize, out);
            if (cells.present(kSequence, i))
                out.extra = static_cast<uint32_t>(cells.integer(kSequence, i, 0, UINT32_MAX));
            if (cells.present(kPriceFlags, i)) {
                // What the exchange says of the trade; the engine earns the others itself.
                constexpr int64_t kTold = TqTPF_EXGINSERT | TqTPF_EXGCANCEL | TqTPF_SETTLEMENT;
                const int64_t flags = cells.integer(kPriceFlags, i, 0, 255);
                if ((flags & ~kTold) != 0)
                    cells.fail(kPriceFlags, i, std::to_string(flags) + " holds flags other than 16 (an insert), 32 (a cancel) "
                                                "and 64 (a settlement)");
                out.code = static_cast<uint8_t>(flags);
            }
            break;
        case InputKind::Changes: {
            const std::string_view action = cells.text(kAction, i);
            const auto is = [action](std::string_view word) { return same_name(action, word); };  // any letter case
            const std::string_view number = without_zero_fraction(action);
            if (is("add") || number == "0") out.code = TqSS_ADD;
            else if (is("del") || is("delete") || number == "1") out.code = TqSS_DEL;
            else if (is("mod") || is("rename") || number == "2") out.code = TqSS_MOD;
            else cells.fail(kAction, i, "expected add, del or mod, got " + quoted(action));
            break;
        }
        default:
            break;
    }
    if (cells.present(kExchangeTime, i)) {
        ParsedTime x;
        cells.time(kExchangeTime, i, row.parser, static_cast<uint32_t>(read.local_day), x);
        // The participant's instant on the clock of the event's day (the
        // tape keeps one offset a day: on a day the clocks change, a time
        // read at its own offset would be an hour off the event's). A tape
        // keeps the time of day only: a time a day or more away would show
        // as a wrong time on the event's day.
        const int64_t wall = x.epoch_micros + read.offset;
        const int64_t event_wall = out.epoch_micros + read.offset;
        if (wall - event_wall >= kMicrosPerDay || event_wall - wall >= kMicrosPerDay)
            cells.fail(kExchangeTime, i, "a day or more away from the row's time (another unit, or another day?)");
        out.exchange_micros = static_cast<uint64_t>((wall % kMicrosPerDay + kMicrosPerDay) % kMicrosPerDay);
    }
    read.rest_read = true;
}

void Importer::read(DataInput& input) {
    BatchSource& source = *input.source;
    const ColumnMap& map = *input.map;
    const InputKind kind = source.kind();
    source.start(map.all_columns());
    if (map.has(kExchangeTime)) carry_ext_ = true;
    // Every input's spill is read at once: many inputs take smaller blocks.
    const std::size_t block_bytes = std::min(RowSpill::kBlockBytes, kSpillBytes / (3 * inputs_.size()));
    input.spill =
        std::make_unique<RowSpill>(o_.temp_dir, map.has(kExchangeTime) || o_.fractional_sizes, block_bytes);

    const Field price_fields[2] = {kind == InputKind::Trades ? kPrice : kBid, kAsk};
    const uint16_t price_columns[2] = {instruments_.column(source.name(), map.shown_name(price_fields[0]),
                                                           field_name(price_fields[0])),
                                       instruments_.column(source.name(), map.shown_name(price_fields[1]),
                                                           field_name(price_fields[1]))};
    const int prices = kind == InputKind::Trades ? 1 : kind == InputKind::Changes ? 0 : 2;
    struct Work {
        std::shared_ptr<arrow::RecordBatch> batch;
        uint64_t rows_before = 0;
        std::vector<ConvertedRow> rows;
        std::vector<RowCells> cells;
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
        // `kind` by value: the thread that keeps the tables writes its own
        // locals beside it, and a row read through a reference waited for
        // that cache line to cross between the cores.
        [&, kind](std::size_t worker, Work& work) {
            BatchReader& r = *readers[worker];
            r.cells.bind(*work.batch, work.rows_before);
            const auto n = static_cast<std::size_t>(r.cells.rows());
            work.rows.resize(n);
            work.cells.resize(n);
            for (std::size_t k = 0; k < n; ++k) {
                ConvertedRow& out = work.rows[k];
                RowCells& read = work.cells[k];
                out = ConvertedRow{};
                out.extra = kind == InputKind::Changes ? engine::kNone : 0;
                read.time_read = read.rest_read = false;
                try {
                    read_time(r.row, r.cells, static_cast<int64_t>(k), out, read);
                    read_rest(r.row, input, r.cells, static_cast<int64_t>(k), out, read);
                } catch (const ImportError&) {
                }
            }
        },
        kConverters, kConvertedAhead);

    BatchCells cells(map, source.name(), source.first_row());
    int64_t last_time = std::numeric_limits<int64_t>::min();
    uint64_t last_row = 0;
    std::optional<uint32_t> last_day;
    int64_t day_offset = 0;  // of last_day's tape: whole hours
    Work work;
    EntryMemo symbols, exchanges, conditions_made;
    ShortTextMemo condition_texts_made;
    while (ahead.next(work)) {
        cells.bind(*work.batch, work.rows_before);
        symbols.reset(map.has(kListedExchange) ? 0 : cells.dictionary_entries(kSymbol));
        exchanges.reset(cells.dictionary_entries(kExchange));
        conditions_made.reset(kind == InputKind::Trades ? cells.dictionary_entries(kConditions) : 0);
        const bool condition_texts = kind == InputKind::Trades && cells.plain_text(kConditions);
        for (int64_t i = 0; i < cells.rows(); ++i) {
            ConvertedRow& out = work.rows[static_cast<std::size_t>(i)];
            RowCells& read = work.cells[static_cast<std::size_t>(i)];
            if (!read.time_read) read_time(first_, cells, i, out, read);
            if (out.epoch_micros < last_time && !o_.sort)
                cells.fail(kTime, i, "out of time order: earlier than row " + std::to_string(last_row) +
                                         " (inputs must be in time order; --sort sorts them)");
            last_time = out.epoch_micros;
            last_row = cells.row_number(i);
            carry_ext_ = carry_ext_ || read.sub_milli;
            if (!tape_day(read.local_day))
                cells.fail(kTime, i, "outside the days a tape holds (1883-01-01 to 9999-12-31 in " + zone_.name() + ")");
            const auto day = static_cast<uint32_t>(read.local_day);
            if (day != last_day) {
                const auto at = std::lower_bound(days_.begin(), days_.end(), day);
                if (at == days_.end() || *at != day) days_.insert(at, day);
                last_day = day;
                day_offset = int64_t{zone_.header_hours(day)} * 3'600'000'000;
            }
            if (read.offset != day_offset) cells.fail(kTime, i, offset_mismatch(read.offset, day_offset, day));
            const uint32_t id = symbols.get(cells, kSymbol, i, [&] { return instrument(cells, i, kSymbol); });
            out.symbol = id;
            if (kind == InputKind::Changes) {
                if (!read.rest_read) read_rest(first_, input, cells, i, out, read);
                if (cells.present(kOldSymbol, i)) {
                    if (out.code != TqSS_MOD)
                        cells.fail(kOldSymbol, i, "only a rename (mod) has an old symbol; an add or a delete has none");
                    // The instrument before the rename: on the row's listed
                    // exchange when it gives one, else found as a data
                    // row's symbol is (the symbols file's one listing of
                    // the text, else the default), so that a rename is of
                    // the instrument the rows before it traded.
                    const std::string_view old = cells.text(kOldSymbol, i);
                    std::optional<uint16_t> listed;
                    if (cells.present(kListedExchange, i)) listed = instruments_[id].listed;
                    else if (instruments_.ambiguous(old, o_.listed_exg))
                        cells.fail(kOldSymbol, i, quoted(old) + " is on several listed exchanges in the symbols file, not on " +
                                                      std::to_string(o_.listed_exg) + " (--listed-exg); give listed_exchange");
                    const uint32_t known = instruments_.size();
                    out.extra = instruments_.find_or_add(old, listed, o_.listed_exg, recent_);
                    if (out.extra >= known) check_name(cells, i, kOldSymbol, old);
                    if (out.extra == id) cells.fail(kOldSymbol, i, "a rename of " + quoted(old) + " to itself");
                    // A contract's terms come from the symbols file alone:
                    // renamed to a name it does not list, the contract would
                    // go on as a stock.
                    if (instruments_[out.extra].option && !instruments_[id].option)
                        cells.fail(kSymbol, i, "the option contract " + quoted(old) + " is renamed to " +
                                                   quoted(instruments_[id].text) +
                                                   ", which the symbols file does not list as a contract");
                } else if (out.code == TqSS_MOD) {
                    cells.fail(kAction, i, "a rename needs old_symbol, the symbol it renames");
                }
                continue;
            }
            out.exchange = static_cast<uint16_t>(
                exchanges.get(cells, kExchange, i, [&] { return uint32_t{exchange(cells, i, kExchange)}; }));
            if (!read.rest_read) read_rest(first_, input, cells, i, out, read);
            if (kind != InputKind::Trades && read.condition != RowCells::Condition::None)
                out.code = quote_condition(cells, i, read.condition == RowCells::Condition::Name, out.code);
            Instrument& inst = instruments_[id];
            const std::optional<uint8_t> given = inst.price_type ? inst.price_type : o_.price_type;
            for (int p = 0; p < prices; ++p) {
                const Field f = price_fields[p];
                const Decimal& d = read.prices[p];
                if (given) {  // written now, in the given type
                    double value;
                    const int bits = cells.float_cell(f, i, value);
                    out.price[p] = bits != 0 && o_.price_scale == 0 ? float_price(cells, i, f, value, bits, *given, inst)
                                                                    : price(cells, i, f, d, *given, inst);
                    set_price_form(out, p, kEncodedPrice);
                    continue;
                }
                if (d == kLongFloat) {  // no type to read it in: its own error
                    Decimal again;
                    cells.decimal(f, i, again);
                }
                if (d.decimals > kMaxDecimals) {
                    char text[48];
                    cells.fail(f, i, std::string(format_decimal(d, text)) +
                                         " has more than 9 decimals: no price type writes it exactly");
                }
                inst.note_price(d, [&] { return Instruments::place(price_columns[p], cells.row_number(i)); });
                // A price past 64 bits fits no price type: choosing the
                // types fails on it before any is written.
                const bool fits = d.units >= std::numeric_limits<int64_t>::min() &&
                                  d.units <= std::numeric_limits<int64_t>::max();
                out.price[p] = fits ? static_cast<int64_t>(d.units) : 0;
                set_price_form(out, p, static_cast<uint8_t>(d.decimals));
            }
            if (!sizes_ahead_) sizes(cells, i, kind, inst.size_multiplier ? *inst.size_multiplier : kUnitSize, out);
            if (kind == InputKind::Trades) {
                const auto make = [&] {
                    uint8_t made[4];
                    conditions(first_, cells, i, made);
                    uint32_t packed;
                    std::memcpy(&packed, made, 4);
                    return packed;
                };
                const uint32_t codes = conditions_made.get(cells, kConditions, i, [&] {
                    return condition_texts ? condition_texts_made.get(cells.optional_text(kConditions, i), make)
                                           : make();
                });
                std::memcpy(out.conditions, &codes, 4);
            }
            if (kind == InputKind::MMQuotes) {
                const std::string_view maker = cells.text(kMarketMaker, i);
                auto it = maker_ids_.find(maker);
                if (it == maker_ids_.end()) {
                    check_name(cells, i, kMarketMaker, maker);
                    it = maker_ids_.emplace(std::string(maker), static_cast<uint32_t>(maker_names_.size())).first;
                    maker_names_.emplace_back(maker);
                }
                out.extra = it->second;
            }
        }
        input.spill->append(work.rows);  // written on the spill's thread; the item gets spare storage
        if (o_.progress)
            o_.progress(ImportStage::Reading, rows_ + work.rows_before + static_cast<uint64_t>(cells.rows()), 0);
        work.batch.reset();  // the item goes back to the readers: it keeps no batch alive
    }
    input.spill->finish();  // its writing thread ends with the read
    input.rows = taken_rows;
    rows_ += taken_rows;
}

// ---------------------------------------------------------------------------
// The tables
// ---------------------------------------------------------------------------

uint32_t Importer::text_index(std::string_view text) {
    auto [it, added] = text_index_.try_emplace(text, static_cast<uint32_t>(tables_.texts.size()));
    if (added) tables_.texts.emplace_back(text);
    return it->second;
}

void Importer::build_tables() {
    instruments_.choose_price_types(o_.price_type, o_.price_scale != 0);
    chosen_types_.resize(instruments_.size());
    text_index_.reserve(instruments_.size() + maker_names_.size());
    tables_.texts.reserve(instruments_.size() + maker_names_.size());
    for (uint32_t id = 0; id < instruments_.size(); ++id) chosen_types_[id] = instruments_[id].chosen;
    std::memcpy(tables_.header.permission_set, "AA", 2);
    tables_.header.display = o_.display;
    if (!exchange_names_.empty()) tables_.defined[TqST_EXCHANGE] = exchange_names_.table();
    if (!condition_names_.empty()) tables_.defined[TqST_TRADECONDITION] = condition_names_.table();
    if (!quote_condition_names_.empty()) tables_.defined[TqST_QUOTECONDITION] = quote_condition_names_.table();
    for (uint32_t id = 0; id < instruments_.size(); ++id) {
        const Instrument& inst = instruments_[id];
        engine::SymbolEntry e;
        e.text = text_index(inst.option ? inst.option->root : inst.text);
        e.listed_exg = inst.listed;
        e.price_type = inst.chosen;
        e.atom = id + 1;
        if (inst.prev_close && inst.prev_close->written) {
            e.prev_close = *inst.prev_close->written;
        } else if (inst.prev_close) {
            const auto p = encode_price(inst.prev_close->value, inst.chosen);
            if (!p) {
                char text[48];
                throw ImportError(instruments_.text(inst.prev_close->where) + ": the previous close " +
                                  std::string(format_decimal(inst.prev_close->value, text)) +
                                  price_refusal(inst.prev_close->value, inst.chosen) + " of " + std::string(inst.text));
            }
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
            // The underlying's own listing where the import holds it (a
            // stock and its options are listed on exchanges of their own).
            e.option.exg_underlying = instruments_.listed_of(t.underlying, o_.listed_exg).value_or(o_.listed_exg);
            e.option.contract_unit = t.contract_unit;
            e.option.strike = t.strike;
            e.option.put_call = t.put_call;
            e.option.expiration_ndays = t.expiration_ndays;
        }
        tables_.symbols.push_back(e);
    }
    // Market makers' texts in name order, after the instruments'.
    std::vector<uint32_t> by_name(maker_names_.size());
    for (uint32_t k = 0; k < by_name.size(); ++k) by_name[k] = k;
    std::sort(by_name.begin(), by_name.end(), [this](uint32_t a, uint32_t b) { return maker_names_[a] < maker_names_[b]; });
    maker_texts_.assign(maker_names_.size(), 0);
    for (const uint32_t k : by_name) maker_texts_[k] = text_index(maker_names_[k]);
}

// ---------------------------------------------------------------------------
// Writing
// ---------------------------------------------------------------------------

int32_t Importer::spilled_price(const DataInput& input, const ConvertedRow& r, int p, uint64_t index,
                                uint8_t chosen) const {
    const uint8_t form = price_form(r, p);
    if (form == kEncodedPrice) return static_cast<int32_t>(r.price[p]);
    // The type was chosen to write every price of the instrument exactly,
    // in 32 bits: the units only gain the decimals they lack.
    static constexpr int64_t kTens[kMaxDecimals + 1] = {
        1, 10, 100, 1'000, 10'000, 100'000, 1'000'000, 10'000'000, 100'000'000, 1'000'000'000};
    if (chosen <= kMaxDecimals && form <= chosen && r.price[p] >= INT32_MIN && r.price[p] <= INT32_MAX) {
        const int64_t units = r.price[p] * kTens[chosen - form];
        if (units >= INT32_MIN && units <= INT32_MAX) return static_cast<int32_t>(units);
    }
    const Decimal d{r.price[p], form};
    if (const auto encoded = encode_price(d, chosen)) return *encoded;
    const Field f = input.source->kind() == InputKind::Trades ? kPrice : p == 0 ? kBid : kAsk;
    char text[48];
    fail_at(CellPlace{input.source->name(), input.first_row() + index, input.map->shown_name(f), field_name(f)},
            std::string(format_decimal(d, text)) + price_refusal(d, chosen) + " of " +
                std::string(instruments_[r.symbol].text));
}

void Importer::finalize(RowContext& row, const DataInput& input, const ConvertedRow& r, uint64_t index,
                        StagedEvent& out) const {
    const InputKind kind = input.source->kind();
    std::memset(&out, 0, sizeof out);
    const LocalTime local = row.zone.to_local(r.epoch_micros);
    out.epoch_micros = r.epoch_micros;
    out.seq = input.first_row() + index;
    out.rank = input.rank;
    out.ndays = static_cast<uint32_t>(local.ndays);  // checked by the read
    engine::TapeEvent& e = out.event;
    e.micros = local.micros;
    e.permission_id = o_.permission_id;
    e.market_maker = engine::kNone;
    // The instruments' types from a table of their own: an instrument is
    // large, and reading its type there missed the cache once an event.
    const uint8_t chosen = chosen_types_[r.symbol];
    e.symbol = r.symbol;
    e.price_type = chosen;
    if (carry_ext_) {
        e.flags = engine::kEventHasExt;
        out.ext.micros_src = local.micros;
        out.ext.micros_ptp1 = r.exchange_micros;
    }
    switch (kind) {
        case InputKind::Quotes:
        case InputKind::MMQuotes:
            e.kind = kind == InputKind::Quotes ? TqMSG_EXGQUOTE : TqMSG_MMQUOTE;
            e.reporting_exg = r.exchange;
            e.quote.bid = spilled_price(input, r, 0, index, chosen);
            e.quote.ask = spilled_price(input, r, 1, index, chosen);
            e.quote.bid_size = static_cast<int32_t>(r.size[0]);
            e.quote.ask_size = static_cast<int32_t>(r.size[1]);
            e.quote.quote_condition = r.code;
            if (kind == InputKind::MMQuotes) e.market_maker = maker_texts_[r.extra];
            break;
        case InputKind::Trades:
            e.kind = TqMSG_TRADE;
            e.reporting_exg = r.exchange;
            e.trade.price = spilled_price(input, r, 0, index, chosen);
            e.trade.size = r.size[0];
            out.ext.fractional_size = o_.fractional_sizes ? r.fraction : uint64_t{r.size[0]} * 1'000'000;
            std::memcpy(e.trade.ext_conditions, r.conditions, 4);
            e.trade.trade_condition = r.conditions[0] == kNoCondition ? 0 : r.conditions[0];
            e.trade.exg_sequence = r.extra;
            e.trade.price_flags = r.code;
            break;
        case InputKind::Changes: {
            e.kind = TqMSG_SYMBOLCHANGE;
            e.symbol_change.status = r.code;
            // A rename (and only a rename) has its old instrument.
            e.symbol_change.old_symbol = r.extra;
            e.symbol_change.old_listed_exg = r.extra != engine::kNone ? instruments_[r.extra].listed : 0;
            break;
        }
        default:
            break;
    }
}

std::unique_ptr<EventStream> Importer::events_of(DataInput& input) {
    // Every input is merged at once: many inputs take fewer rows each.
    const std::size_t take_rows = std::max(kSpillReadRowsLeast, kSpillReadRows / inputs_.size());
    struct Work {
        std::vector<ConvertedRow> rows;
        uint64_t first_index = 0;
        std::vector<StagedEvent> events;
    };
    auto rows = std::make_shared<std::vector<std::unique_ptr<RowContext>>>();
    for (std::size_t k = 0; k < kConverters; ++k) rows->push_back(std::make_unique<RowContext>(zone_, o_));
    auto read_rows = std::make_shared<uint64_t>(0);
    auto ahead = std::make_shared<WorkAhead<Work>>(
        [&input, read_rows, take_rows](Work& work) {
            if (!input.spill->read(work.rows, take_rows)) return false;
            work.first_index = *read_rows;
            *read_rows += work.rows.size();
            return true;
        },
        [this, &input, rows](std::size_t worker, Work& work) {
            RowContext& row = *(*rows)[worker];
            work.events.resize(work.rows.size());
            for (std::size_t k = 0; k < work.rows.size(); ++k)
                finalize(row, input, work.rows[k], work.first_index + k, work.events[k]);
        },
        kConverters, kConvertedAhead);
    auto taken = std::make_shared<Work>();
    auto next = [ahead, taken](std::vector<StagedEvent>& out) {
        if (!ahead->next(*taken)) return false;
        std::swap(out, taken->events);
        return true;
    };
    if (!o_.sort) return std::make_unique<BatchedStream>(next);
    // Every input is sorted before the first event is written: the progress
    // line shows the rows sorted, and a stop is heard between batches.
    auto report = [this] {
        if (o_.progress) o_.progress(ImportStage::Sorting, sorted_rows_, rows_);
    };
    auto sorted = std::make_unique<SortedStream>(o_.temp_dir, sort_run_events(), report);
    std::vector<StagedEvent> batch;
    while (next(batch)) {
        for (const StagedEvent& e : batch) sorted->add(e);
        sorted_rows_ += batch.size();
        report();
    }
    sorted->finish();
    return sorted;
}

// What names one file however a path reaches it: the file's device and
// inode where it exists, else the real path of its folder and its name.
std::string file_identity(const std::string& target) {
    struct stat st {};
    if (::stat(target.c_str(), &st) == 0) return std::to_string(st.st_dev) + ":" + std::to_string(st.st_ino);
    const std::string folder = engine::folder_of(target);
    const std::size_t slash = target.rfind('/');
    char* real = ::realpath(folder.c_str(), nullptr);
    std::string out = (real != nullptr ? std::string(real) : folder) + "/" +
                      target.substr(slash == std::string::npos ? 0 : slash + 1);
    std::free(real);
    return out;
}

// Moves complete tapes onto their names, all or none: a file already at a
// name is kept under a second name until every tape is in place, and put
// back if one cannot be. An empty temporary name
// is a tape written straight into a device or a pipe: nothing to move, and
// no undoing it.
void put_in_place(const std::vector<std::string>& temps, const std::vector<std::string>& tapes) {
    const std::string kept_suffix = ".replaced." + engine::unique_tag();
    std::vector<std::string> kept(tapes.size());  // the earlier entry's second name, or empty
    std::size_t placed = 0;
    auto undo = [&] {
        for (std::size_t k = placed; k-- > 0;) {
            if (!kept[k].empty()) std::rename(kept[k].c_str(), tapes[k].c_str());
            else if (!temps[k].empty()) std::remove(tapes[k].c_str());
        }
    };
    for (; placed < tapes.size(); ++placed) {
        const std::string& tape = tapes[placed];
        if (temps[placed].empty()) continue;
        struct stat st {};
        if (::lstat(tape.c_str(), &st) == 0 && !S_ISDIR(st.st_mode)) {
            // A second link keeps the earlier entry while the new tape replaces
            // it under its name in one step; where links are not allowed, a
            // rename.
            const std::string second = tape + kept_suffix + "." + std::to_string(placed);
            std::remove(second.c_str());
            if (::link(tape.c_str(), second.c_str()) != 0 && std::rename(tape.c_str(), second.c_str()) != 0) {
                const int err = errno;
                undo();
                throw ImportError(tape + ": cannot be replaced: " + std::strerror(err));
            }
            kept[placed] = second;
        }
        if (std::rename(temps[placed].c_str(), tape.c_str()) != 0) {
            const int err = errno;
            if (!kept[placed].empty()) {
                std::rename(kept[placed].c_str(), tape.c_str());
                kept[placed].clear();
            }
            undo();
            throw ImportError(tape + ": cannot be written: " + std::strerror(err));
        }
    }
    for (const std::string& second : kept)
        if (!second.empty()) std::remove(second.c_str());
}

ImportResult Importer::write() {
    std::vector<std::unique_ptr<EventStream>> streams;
    for (DataInput& input : inputs_) streams.push_back(events_of(input));
    MergedStream merged(std::move(streams));

    ImportResult result;
    std::vector<std::string> temps;    // complete tapes not yet in place
    std::vector<std::string> targets;  // where they go: through symbolic links, the files they lead to
    std::vector<std::string> identities;  // of the files they lead to (file_identity)
    std::vector<std::string> made;     // days' folders made, outermost first
    const std::string suffix = ".importing." + engine::unique_tag();
    auto discard = [&temps, &made] {
        for (const std::string& t : temps)
            if (!t.empty()) std::remove(t.c_str());
        for (auto f = made.rbegin(); f != made.rend(); ++f) ::rmdir(f->c_str());  // only if empty
    };
    try {
        std::unique_ptr<engine::TapeWriter> writer;
        uint32_t day = 0;
        std::string error;
        auto open = [&](uint32_t ndays) {
            day = ndays;
            tables_.header.date_ndays = ndays;
            tables_.header.time_zone = zone_.header_hours(ndays);
            const std::string path = tape_path_for_day(o_.output, ndays);
            if (std::find(result.tapes.begin(), result.tapes.end(), path) != result.tapes.end())
                throw ImportError(path + ": two days would be written to one tape");
            // Two names may lead to one file through symbolic links.
            const std::string identity =
                file_identity(engine::is_stream_output(path) ? path : engine::output_target(path));
            const auto same = std::find(identities.begin(), identities.end(), identity);
            if (same != identities.end())
                throw ImportError(path + ": two days would be written to one tape (" +
                                  result.tapes[static_cast<std::size_t>(same - identities.begin())] +
                                  " leads to the same file)");
            identities.push_back(identity);
            refuse_input_as_output(path);
            make_day_folder(o_.output, path, made);
            check_output_place(path);
            result.tapes.push_back(path);
            // A device or a pipe is written into as the tape comes; a file
            // is whole under a temporary name until every day's tape is.
            const bool stream = engine::is_stream_output(path);
            targets.push_back(stream ? path : engine::output_target(path));
            temps.push_back(stream ? std::string() : targets.back() + suffix);
            writer = std::make_unique<engine::TapeWriter>(o_.compress ? engine::TapeEncoding::Packed
                                                                      : engine::TapeEncoding::Plain);
            if (!writer->open_file(stream ? path : temps.back(), tables_, error, path)) throw ImportError(error);
            struct stat earlier {};
            writer->will_replace(!stream && ::stat(targets.back().c_str(), &earlier) == 0);
        };
        auto finish = [&] {
            if (!writer->finish(error)) throw ImportError(error);
        };
        while (const StagedEvent* e = merged.next()) {
            if (writer && e->ndays != day) finish();
            if (!writer || e->ndays != day) open(e->ndays);
            writer->add(e->event, carry_ext_ ? &e->ext : nullptr);
            if (++result.events % 65536 == 0 && o_.progress) o_.progress(ImportStage::Writing, result.events, rows_);
        }
        if (!writer) open(o_.date_ndays ? *o_.date_ndays : days_.front());
        finish();
        // The last word of a caller that stops the import: past it, the
        // tapes go into place.
        if (o_.progress) o_.progress(ImportStage::Writing, result.events, result.events);
        put_in_place(temps, targets);
        temps.clear();
    } catch (...) {
        discard();
        throw;
    }
    result.instruments = instruments_.size();
    return result;
}

// The constant columns by our names (trimmed, lower case), each taken by a
// kind of data input that the import has.
std::vector<std::pair<std::string, std::string>> Importer::constant_columns() const {
    std::vector<std::pair<std::string, std::string>> out;
    for (const auto& [given, text] : o_.constants) {
        std::string name(trim(given));
        for (char& c : name)
            if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
        if (trim(text).empty()) throw ImportUsageError("constant column '" + name + "': an empty text");
        // "symbol=BTCUSDT,exchange=3" is two constants given as one.
        for (int f = 0; f < kFieldCount; ++f)
            if (text.find("," + std::string(field_name(static_cast<Field>(f))) + "=") != std::string::npos)
                throw ImportUsageError("constant column '" + name + "': '" + text + "' holds the constant of " +
                                       field_name(static_cast<Field>(f)) + " too; give each column its own --constant");
        bool taken = false;
        for (const ImportInput& in : o_.inputs)
            taken = taken || (in.kind != InputKind::Symbols && in.kind != InputKind::Conditions && kind_takes(in.kind, name));
        if (!taken) throw ImportUsageError("constant column '" + name + "': no quotes, trades, market-maker quotes or "
                                           "symbol changes of this import take it");
        for (const auto& [seen, _] : out)
            if (seen == name) throw ImportUsageError("constant column '" + name + "' given twice");
        out.emplace_back(std::move(name), text);
    }
    return out;
}

ImportResult Importer::run() {
    // Tables first, then the data inputs in the order given. The tables are
    // files of their own making: the data's delimiter is theirs only where
    // their header holds it.
    for (ImportInput& in : o_.inputs) {
        if (in.kind == InputKind::Conditions) {
            BatchSource source(std::move(in), o_.delimiter, true, BatchSource::Delimiter::WhereHeld);
            load_conditions(source);
        }
    }
    for (ImportInput& in : o_.inputs) {
        if (in.kind == InputKind::Symbols) {
            BatchSource source(std::move(in), o_.delimiter, true, BatchSource::Delimiter::WhereHeld);
            load_symbols(source);
        }
    }
    const std::vector<std::pair<std::string, std::string>> constants = constant_columns();
    uint32_t order = 0;
    for (ImportInput& in : o_.inputs) {
        if (in.kind == InputKind::Symbols || in.kind == InputKind::Conditions) continue;
        DataInput input;
        input.rank = kind_rank(in.kind) << 16 | order++;
        input.source = std::make_unique<BatchSource>(std::move(in), o_.delimiter, o_.header);
        std::vector<std::pair<std::string, std::string>> taken;
        for (const auto& constant : constants)
            if (kind_takes(input.source->kind(), constant.first)) taken.push_back(constant);
        input.source->add_constants(taken);
        input.map = std::make_unique<ColumnMap>(*input.source->schema(), input.source->kind(), input.source->name(),
                                                o_.rename, o_.ignore_extra_columns, input.source->constant_columns(),
                                                input.source->named_by_position());
        inputs_.push_back(std::move(input));
    }
    if (inputs_.empty()) throw ImportUsageError("no quotes, trades, market-maker quotes or symbol changes to import");
    for (const auto& [name, text] : constants) {
        bool used = false;
        for (const DataInput& input : inputs_)
            for (int f = 0; f < kFieldCount; ++f)
                used = used || (input.map->constant(static_cast<Field>(f)) && name == field_name(static_cast<Field>(f)));
        if (!used) throw ImportUsageError("constant column '" + name + "': every input that takes it has it");
    }
    for (uint32_t id = 0; id < instruments_.size(); ++id)
        if (instruments_[id].size_multiplier && !(*instruments_[id].size_multiplier == kUnitSize)) sizes_ahead_ = false;
    for (DataInput& input : inputs_) read(input);
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
    // However the import ends, the batches' buffers it kept go back.
    struct Release {
        ~Release() { release_batch_memory(); }
    } release;
    Importer importer(std::move(options));
    return importer.run();
}

}  // namespace tarvik::import
