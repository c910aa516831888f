// libFuzzer target: any bytes as a vendor CSV file of quotes or trades,
// imported into a tape. Bad input must end in an ImportError or an
// ImportUsageError and leave nothing behind in the output's folder; good
// input must give tapes that the engine's reader reads to the end, with
// every event the import counted.
//
// The first byte chooses the import's options, the rest is the file:
//   bit 0      trades (else quotes)
//   bit 1      time zone America/New_York (else UTC)
//   bit 2      --sort
//   bit 3      --allow-empty
//   bit 4      vendor column names (kRename) and --ignore-extra-columns
//   bit 5      one tape per day ("{date}" in the output name)
//   bits 6, 7  the --date of times of day (kDates)
// A seed in fuzz/corpus/import/ starts with that byte, printable, and a
// newline, which the CSV reader skips as a blank line.
#include <dirent.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "import_error.h"
#include "import_options.h"
#include "importer.h"
#include "engine/tape_reader.h"

namespace {

namespace import = tarvik::import;
namespace engine = tarvik::engine;

// The epoch's day, an ordinary Friday, and the days of 2024 on which New
// York's clocks go forward and back.
constexpr const char* kDates[4] = {"1970-01-01", "2024-03-15", "2024-03-10", "2024-11-03"};

// Names vendors give to the columns, as --rename maps them.
const std::vector<std::pair<std::string, std::string>> kRename = {
    {"ts", "time"},          {"sym", "symbol"},        {"ex", "exchange"},  {"px", "price"},
    {"qty", "size"},         {"cond", "conditions"},   {"bid_px", "bid"},   {"ask_px", "ask"},
    {"bid_qty", "bid_size"}, {"ask_qty", "ask_size"},  {"seq", "sequence"}, {"xt", "exchange_time"}};

[[noreturn]] void fault(const std::string& what) {
    std::fprintf(stderr, "csv_import_fuzz: %s\n", what.c_str());
    std::abort();
}

// The private folder every input is imported in, made once, and the
// input file's path in it.
struct Workspace {
    std::string dir;
    std::string csv;

    Workspace() {
        const char* tmp = std::getenv("TMPDIR");
        std::string pattern = std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/tarvik-csv-fuzz-XXXXXX";
        if (::mkdtemp(pattern.data()) == nullptr) fault("cannot make a folder from " + pattern);
        dir = pattern;
        csv = dir + "/input.csv";
    }

    ~Workspace() {
        for (const std::string& name : names()) std::remove((dir + "/" + name).c_str());
        ::rmdir(dir.c_str());
    }

    std::set<std::string> names() const {
        std::set<std::string> out;
        DIR* d = ::opendir(dir.c_str());
        if (d == nullptr) fault("cannot list " + dir);
        while (const dirent* e = ::readdir(d))
            if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0) out.insert(e->d_name);
        ::closedir(d);
        return out;
    }

    void write_input(const uint8_t* data, std::size_t size) const {
        std::FILE* f = std::fopen(csv.c_str(), "wb");
        if (f == nullptr || std::fwrite(data, 1, size, f) != size || std::fclose(f) != 0) fault("cannot write " + csv);
    }
};

Workspace& workspace() {
    static Workspace w;
    return w;
}

std::string base_name(const std::string& path) { return path.substr(path.rfind('/') + 1); }

// Nothing but the input and the tapes named in `tapes` may be left.
void expect_only(const Workspace& w, const std::vector<std::string>& tapes, const char* after) {
    std::set<std::string> allowed = {base_name(w.csv)};
    for (const std::string& t : tapes) allowed.insert(base_name(t));
    for (const std::string& name : w.names())
        if (allowed.count(name) == 0) fault(std::string("left behind after ") + after + ": " + w.dir + "/" + name);
}

// Reads the whole tape and answers its event count.
uint64_t read_tape(const std::string& path, std::size_t& symbols) {
    engine::TapeBytes bytes;
    engine::TapeTables tables;
    engine::TapeReader reader;
    int32_t result = bytes.map_file(path.c_str());
    if (result == 0) result = reader.open(bytes.data(), bytes.size(), true, tables);
    uint64_t events = 0;
    engine::EventBlock block;
    while (result == 0) {
        const int32_t got = reader.next_block(block);
        if (got <= 0) {
            result = got;
            break;
        }
        events += block.count;
    }
    if (result != 0)
        fault(path + ": the import wrote a tape the reader refuses (result code " + std::to_string(result) + ")");
    symbols = tables.symbols.size();
    return events;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    const uint8_t options = data[0];
    ++data;
    --size;
    // A file that starts as Parquet goes to Arrow's Parquet reader: not
    // this target's business.
    if (size >= 4 && std::memcmp(data, "PAR1", 4) == 0) return -1;

    Workspace& w = workspace();
    w.write_input(data, size);

    import::ImportOptions o;
    import::ImportInput input;
    input.kind = options & 1 ? import::InputKind::Trades : import::InputKind::Quotes;
    input.path = w.csv;
    input.name = w.csv;
    o.inputs.push_back(std::move(input));
    o.output = w.dir + (options & 32 ? "/day-{date}.tape" : "/day.tape");
    o.time_zone = options & 2 ? "America/New_York" : "UTC";
    o.sort = (options & 4) != 0;
    o.allow_empty = (options & 8) != 0;
    if (options & 16) {
        o.rename = kRename;
        o.ignore_extra_columns = true;
    }
    o.date_ndays = import::parse_date(kDates[options >> 6]);

    import::ImportResult result;
    try {
        result = import::run_import(std::move(o));
    } catch (const import::ImportError&) {
        expect_only(w, {}, "an ImportError");
        return 0;
    } catch (const import::ImportUsageError&) {
        expect_only(w, {}, "an ImportUsageError");
        return 0;
    } catch (const std::exception& e) {
        fault(std::string("the import threw something else: ") + e.what());
    }

    if (result.tapes.empty()) fault("the import succeeded without writing a tape");
    expect_only(w, result.tapes, "a successful import");
    uint64_t events = 0;
    for (const std::string& tape : result.tapes) {
        std::size_t symbols = 0;
        events += read_tape(tape, symbols);
        if (symbols != result.instruments)
            fault(tape + ": " + std::to_string(symbols) + " symbols, the import counted " +
                  std::to_string(result.instruments));
        if (std::remove(tape.c_str()) != 0) fault("cannot remove " + tape);
    }
    if (events != result.events)
        fault(std::to_string(events) + " events on the tapes, the import counted " + std::to_string(result.events));
    return 0;
}
