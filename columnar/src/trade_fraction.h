// A trade's fractional size and running volume, as its message's
// extension carries them, on their way from the replay to the columns.
#pragma once

#include <cstdint>

namespace tarvik::columnar {

// Six implied decimals; size kNone for a message without the extension.
// No member initializers: the hand-off's chunks hold a fraction in each of
// their rows, and are to be left untouched until a row is written.
struct TradeFraction {
    static constexpr uint64_t kNone = UINT64_MAX;
    uint64_t size;
    uint64_t total_volume;
    static constexpr TradeFraction none() { return {kNone, 0}; }
    bool given() const { return size != kNone; }
};

}  // namespace tarvik::columnar
