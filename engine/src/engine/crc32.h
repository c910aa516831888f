// Standard CRC-32 (IEEE 802.3, reflected, polynomial 0xEDB88320), as zlib
// and PNG compute it. Every section of a tape carries one.
#pragma once

#include <cstddef>
#include <cstdint>

namespace tarvik::engine {

// CRC of `size` bytes, continuing from `crc` (0 to start). Folds with
// carry-less multiplication where the processor has it, else uses tables.
uint32_t crc32(const void* data, std::size_t size, uint32_t crc = 0);

// The same CRC from the tables alone, for tests and comparisons.
uint32_t crc32_portable(const void* data, std::size_t size, uint32_t crc = 0);

}  // namespace tarvik::engine
