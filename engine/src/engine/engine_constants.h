// The library's named values come from the header the engine shares with
// its clients; these are the engine's own.
#pragma once

#include <cstdint>

#include "tarvik/constants.h"

namespace tarvik::engine {

inline constexpr int kStatusCount = TARVIKSTATUS_TAPEOPEN + 1;

// The trade price flags a tape may carry; the engine sets the others.
inline constexpr uint8_t kTapePriceFlags = TqTPF_EXGINSERT | TqTPF_EXGCANCEL | TqTPF_SETTLEMENT;

// Defined-string tables: TqST_PERMID (2) to TqST_SYMBOLTYPES (32).
inline constexpr int kFirstStringTable = TqST_PERMID;
inline constexpr int kLastStringTable = TqST_SYMBOLTYPES;

}  // namespace tarvik::engine
