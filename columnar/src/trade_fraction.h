// A trade's fractional size and running volume, as its message's
// extension carries them, on their way from the replay to the columns.
#pragma once

#include <cstdint>

namespace tarvik::columnar {

// Six implied decimals; size kNone for a message without the extension.
struct TradeFraction {
    static constexpr uint64_t kNone = UINT64_MAX;
    uint64_t size = kNone;
    uint64_t total_volume = 0;
    bool given() const { return size != kNone; }
};

}  // namespace tarvik::columnar
