// Sizes of the per-thread tables indexed by a library number: one slot per
// listed exchange (8 bits) or per symbol atom (16 bits).
#pragma once

#include <cstddef>

namespace tarvik {

inline constexpr std::size_t kAtomSlots = 65536;
inline constexpr int kExchangeSlots = 256;

}  // namespace tarvik
