// Standard CRC-32 (IEEE 802.3, reflected, polynomial 0xEDB88320), as zlib
// and PNG compute it. Every section of a tape carries one.
#pragma once

#include <cstddef>
#include <cstdint>

namespace tarvik::engine {

// CRC of `size` bytes, continuing from `crc` (0 to start).
uint32_t crc32(const void* data, std::size_t size, uint32_t crc = 0);

}  // namespace tarvik::engine
