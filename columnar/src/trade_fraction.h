// A trade's fractional size and running volume, as its message's
// extension carries them, on their way from the replay to the columns.
#pragma once

#include <cstdint>

namespace tarvik::columnar {

// Six implied decimals; `given` false for a message without the extension.
struct TradeFraction {
    bool given = false;
    uint64_t size = 0;
    uint64_t total_volume = 0;
};

}  // namespace tarvik::columnar
