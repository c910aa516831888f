// Stable storage for the string records of a run: a record never moves
// once made, so its address names the string for the whole run.
#pragma once

#include <cstdint>
#include <memory>
#include <string_view>
#include <vector>

#include "tarvik/library.h"

namespace tarvik::engine {

class StringArena {
public:
    // A new record holding `text` (cut at its first NUL), the atom, and
    // user-data words of zero.
    TqStringRecord* make(std::string_view text, uint16_t atom);

private:
    static constexpr std::size_t kChunkSize = 64 * 1024;
    std::vector<std::unique_ptr<uint64_t[]>> chunks_;
    std::size_t used_ = kChunkSize;  // bytes used in the last chunk
};

// The 16-bit atom of a 32-bit atom: TqATOM_MAX_16BIT when it does not fit.
inline uint16_t atom16(uint32_t atom) { return atom >= TqATOM_MAX_16BIT ? TqATOM_MAX_16BIT : static_cast<uint16_t>(atom); }

}  // namespace tarvik::engine
