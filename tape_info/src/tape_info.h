// Tape info: what a tape holds (its date, time zone, symbols, events and
// their span), read cheaply from its section heads, and a full check of
// every byte. A problem is a value that names the file, the section, the
// byte offset and the reason (docs/tape-tool.md).
#pragma once

#include <cstdint>
#include <string>

namespace tarvik::tape_info {

struct TapeInfo {
    std::string path;
    uint64_t size = 0;  // bytes
    uint32_t format_version = 0;
    uint32_t date_ndays = 0;  // days since 1883-01-01
    int time_zone = 0;        // hours to GMT
    std::string display;
    uint32_t symbols = 0;  // directory entries that are not option contracts
    uint32_t options = 0;  // option contracts
    uint64_t events = 0;
    uint32_t blocks = 0;        // Events sections
    // First and last event, microseconds since midnight; both 0 without
    // events, kUnknownTime where the block holding one cannot be read.
    static constexpr uint64_t kUnknownTime = UINT64_MAX;
    uint64_t first_micros = 0;
    uint64_t last_micros = 0;
    bool complete = false;      // the End section is there
};

struct TapeProblem {
    int32_t code = 0;  // the result code a run of this tape gives (TqAPIERR_*)
    std::string path;
    int section = 0;           // 1 for the first section after the preamble; 0: the file as a whole
    std::string section_name;  // "Header", ..., "Events block 3", "End"
    uint64_t offset = 0;       // where the problem is
    std::string reason;

    // "PATH: section 9 (Events block 3) at byte 4096: CRC mismatch ..."
    std::string message() const;
};

enum class Scope {
    Heads,       // the preamble, the tables and the section heads: cheap
    Everything,  // every CRC and every index, as a run checks them
};

// Answers true with `info`, or false with `problem`. With Scope::Heads a
// tape that ends cleanly after a whole section (a live tape still being
// written) is no problem: `info.complete` is false.
bool inspect_tape(const std::string& path, Scope scope, TapeInfo& info, TapeProblem& problem);

// 1234567 as "1,234,567".
std::string grouped(uint64_t n);

// Microseconds since midnight as HH:MM:SS.ffffff.
std::string time_of_day_text(uint64_t micros);

}  // namespace tarvik::tape_info
