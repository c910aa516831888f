// AddressHash: the hash of the maps keyed by the address of a library
// record or text.
#pragma once

#include <cstddef>
#include <cstdint>

namespace tarvik {

// Library records are 8-byte aligned and lie close together, so the low
// bits of their addresses say little, and a map with a power-of-two table
// keeps only the low bits of a hash. The address is mixed first: the
// multiplication carries every bit upwards, the shift brings the high half
// back down.
struct AddressHash {
    std::size_t operator()(const void* address) const noexcept {
        const uint64_t mixed = static_cast<uint64_t>(reinterpret_cast<uintptr_t>(address)) * 0x9E3779B97F4A7C15ull;
        return static_cast<std::size_t>(mixed ^ (mixed >> 32));
    }
};

}  // namespace tarvik
