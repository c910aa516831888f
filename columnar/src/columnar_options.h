// What a columnar read of a tape is asked for: the kinds of message, the
// symbols, a time window and the shape of the batches. The same for
// read_tape and iter_tape in Python, which pass it as JSON.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

namespace tarvik::columnar {

enum class TapeKind : int { Trades, Quotes, MMQuotes, SymbolChanges, Categories };
inline constexpr int kTapeKindCount = 5;


// One end of the time window: an instant (microseconds since the Unix
// epoch), a wall-clock time in the tape's time zone (microseconds since
// 1970-01-01 local), or a time of day on any day (microseconds).
struct TimeBound {
    enum class Type { None, Epoch, Local, OfDay } type = Type::None;
    int64_t micros = 0;
};

struct ColumnarOptions {
    std::string path;
    bool kinds[kTapeKindCount] = {true, true, false, false, false};
    bool symbol_filter = false;
    std::vector<std::string> symbols;  // symbol texts (an option's root), any listed exchange
    TimeBound start;                   // inclusive
    TimeBound end;                     // exclusive
    bool nbbo = true;
    bool fractional_sizes = false;  // trades carry their extension's fractional size and volume
    std::string time_zone;  // of the time column; empty: the tape's own offset
    int64_t batch_rows = 1'000'000;
};

class ColumnarUsageError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Throws ColumnarUsageError.
ColumnarOptions columnar_options_from_json(const std::string& json);

}  // namespace tarvik::columnar
