// The engine's own version, as sTarvikAPIVersion reports it.
#pragma once

#include <cstdint>

namespace tarvik::engine {

// Four bytes, most significant first: major, minor, then a 16-bit build.
constexpr int32_t make_version(int major, int minor, int build) {
    return static_cast<int32_t>((static_cast<uint32_t>(major) << 24) | (static_cast<uint32_t>(minor) << 16) |
                                static_cast<uint32_t>(build & 0xFFFF));
}

constexpr int32_t kEngineVersion =
    make_version(TARVIK_ENGINE_VERSION_MAJOR, TARVIK_ENGINE_VERSION_MINOR, TARVIK_ENGINE_VERSION_BUILD);

}  // namespace tarvik::engine
