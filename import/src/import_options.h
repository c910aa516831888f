// What an import is asked to do: the same for the command line
// (tarvik-tape import) and for Python (tarvik_engine.write_tape), which both
// fill this struct, the latter from JSON (docs/import.md).
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "time_parse.h"

struct ArrowArrayStream;

namespace tarvik::import {

// What a file holds. Data inputs give events; the others give tables.
enum class InputKind { Quotes, Trades, MMQuotes, Changes, Symbols, Conditions };

const char* input_kind_name(InputKind kind);  // "quotes", "trades", "mm_quotes", ...
std::optional<InputKind> input_kind_from_name(const std::string& name);

struct ImportInput {
    InputKind kind = InputKind::Quotes;
    std::string path;  // a CSV (.csv, .gz, .zst) or Parquet file; empty for a stream
    std::string name;  // how errors name it: the path, or the Python argument
    // A stream (Arrow's C stream interface) instead of a file, read once.
    // The import releases it.
    ArrowArrayStream* first = nullptr;
};

// How far an import is, for a progress line: the rows read (no total
// yet), with --sort the rows sorted of those, then the events written.
enum class ImportStage { Reading, Sorting, Writing };
using ImportProgress = std::function<void(ImportStage stage, uint64_t done, uint64_t total)>;

struct ImportOptions {
    std::vector<ImportInput> inputs;  // data inputs, symbols, conditions
    std::string output;               // the tape; "{date}" in it writes one tape per day
    std::vector<std::pair<std::string, std::string>> rename;  // vendor name, our name
    // Columns the data inputs lack, each of one text in every row: our
    // column name, its text. Every input of a kind that takes the column
    // and lacks it gets it.
    std::vector<std::pair<std::string, std::string>> constants;
    bool ignore_extra_columns = false;
    // CSV files start with a header line; without one their columns are
    // named by position, "1" on, for --rename to map.
    bool header = true;
    bool sort = false;
    bool allow_empty = false;
    bool fractional_sizes = false;
    // An empty bid or ask (its size empty or 0) is no bid or ask: price
    // and size 0, as one-sided quotes are written by some vendors.
    bool one_sided_quotes = false;
    // Each character of a trade's conditions is a condition of its own, as
    // TAQ packs them ("@FTI"); blanks and separators are none.
    bool condition_letters = false;
    std::optional<TimeUnit> time_unit;
    std::string time_zone = "UTC";
    std::optional<uint32_t> date_ndays;
    DateOrder date_order = DateOrder::Unknown;  // of a date column's dates with the year last
    std::optional<uint8_t> price_type;  // every instrument's, instead of the automatic choice
    // The data's prices (price, bid, ask) are in units of 10^-price_scale:
    // vendors' fixed-point integers (1e-9 units: 9).
    int price_scale = 0;
    uint16_t listed_exg = 1;
    uint16_t permission_id = 1;
    std::string display = "Imported";
    char delimiter = 0;  // of CSV fields; 0: a comma, or what the header shows
    std::string temp_dir;  // for the converted rows and sorted runs; default beside the output
    // Told once a batch read or sorted and every 65,536 events written or
    // merged by --sort; may be empty. What it throws ends the import.
    ImportProgress progress;
    bool compress = true;  // packed tapes (version 2), or plain ones
};

// A day as YYYY-MM-DD, to days since 1883-01-01. Throws ImportUsageError.
uint32_t parse_date(const std::string& text);
// The same for a cell: nullopt with what is wrong in `why`.
std::optional<uint32_t> parse_day(const std::string& text, const char*& why);

// A CSV delimiter as given: one character (not '"' nor a line end), or
// "tab" or "\t". Throws ImportUsageError.
char parse_delimiter(const std::string& text);

// Options from a JSON object (the Python face). Streams are attached by
// the caller. Throws ImportUsageError.
ImportOptions options_from_json(const std::string& json);

}  // namespace tarvik::import
