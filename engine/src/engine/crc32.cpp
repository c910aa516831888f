#include "engine/crc32.h"

#include <array>
#include <cstring>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace tarvik::engine {
namespace {

// Slice-by-8 tables: table[0] is the classic byte table, table[k] advances
// a byte that stands k positions further from the end of an 8-byte word.
using Tables = std::array<std::array<uint32_t, 256>, 8>;

constexpr Tables make_tables() {
    Tables t{};
    for (uint32_t i = 0; i < 256; ++i) {
        uint32_t c = i;
        for (int k = 0; k < 8; ++k) c = (c & 1) ? (c >> 1) ^ 0xEDB88320u : c >> 1;
        t[0][i] = c;
    }
    for (uint32_t i = 0; i < 256; ++i) {
        for (int k = 1; k < 8; ++k) t[k][i] = (t[k - 1][i] >> 8) ^ t[0][t[k - 1][i] & 0xFF];
    }
    return t;
}

constexpr Tables kTables = make_tables();

// The table version on the inverted register: the fallback, and the tail
// that the folding version leaves.
uint32_t crc32_tables(const unsigned char* p, std::size_t size, uint32_t crc) {
    while (size >= 8) {
        uint32_t lo;
        uint32_t hi;
        std::memcpy(&lo, p, 4);
        std::memcpy(&hi, p + 4, 4);
        lo ^= crc;
        crc = kTables[7][lo & 0xFF] ^ kTables[6][(lo >> 8) & 0xFF] ^ kTables[5][(lo >> 16) & 0xFF] ^
              kTables[4][lo >> 24] ^ kTables[3][hi & 0xFF] ^ kTables[2][(hi >> 8) & 0xFF] ^
              kTables[1][(hi >> 16) & 0xFF] ^ kTables[0][hi >> 24];
        p += 8;
        size -= 8;
    }
    while (size-- > 0) crc = (crc >> 8) ^ kTables[0][(crc ^ *p++) & 0xFF];
    return crc;
}

#if defined(__x86_64__)

// Carry-less multiplication folding (Intel, "Fast CRC Computation for
// Generic Polynomials Using PCLMULQDQ"), constants for the reflected
// polynomial 0xEDB88320: x^(4*128+32) and x^(4*128-32) mod P for the
// four-lane fold, x^(128+32) and x^(128-32) mod P for the one-lane fold,
// x^64 mod P, and P with its Barrett constant.
alignas(16) constexpr uint64_t kFold4[2] = {0x0154442bd4, 0x01c6e41596};
alignas(16) constexpr uint64_t kFold1[2] = {0x01751997d0, 0x00ccaa009e};
alignas(16) constexpr uint64_t kFold64[2] = {0x0163cd6124, 0};
alignas(16) constexpr uint64_t kBarrett[2] = {0x01db710641, 0x01f7011641};

constexpr std::size_t kFoldMinimum = 64;

#define TARVIK_FOLD_TARGET __attribute__((target("pclmul,sse4.1")))

TARVIK_FOLD_TARGET inline __m128i load(const unsigned char* at) {
    return _mm_loadu_si128(reinterpret_cast<const __m128i*>(at));
}

// x times the two halves of k, added to the next 128 bits.
TARVIK_FOLD_TARGET inline __m128i fold(__m128i x, __m128i k, __m128i next) {
    const __m128i lo = _mm_clmulepi64_si128(x, k, 0x00);
    const __m128i hi = _mm_clmulepi64_si128(x, k, 0x11);
    return _mm_xor_si128(_mm_xor_si128(hi, lo), next);
}

// Folds a multiple of 16 bytes, at least 64, on the inverted register.
TARVIK_FOLD_TARGET uint32_t crc32_fold(const unsigned char* p, std::size_t size, uint32_t crc) {
    __m128i x1 = _mm_xor_si128(load(p), _mm_cvtsi32_si128(static_cast<int>(crc)));
    __m128i x2 = load(p + 16);
    __m128i x3 = load(p + 32);
    __m128i x4 = load(p + 48);
    p += 64;
    size -= 64;

    __m128i k = _mm_load_si128(reinterpret_cast<const __m128i*>(kFold4));
    while (size >= 64) {
        x1 = fold(x1, k, load(p));
        x2 = fold(x2, k, load(p + 16));
        x3 = fold(x3, k, load(p + 32));
        x4 = fold(x4, k, load(p + 48));
        p += 64;
        size -= 64;
    }

    k = _mm_load_si128(reinterpret_cast<const __m128i*>(kFold1));
    x1 = fold(x1, k, x2);
    x1 = fold(x1, k, x3);
    x1 = fold(x1, k, x4);
    while (size >= 16) {
        x1 = fold(x1, k, load(p));
        p += 16;
        size -= 16;
    }

    // 128 bits to 64, then Barrett reduction to 32.
    const __m128i low32 = _mm_setr_epi32(~0, 0, ~0, 0);
    __m128i x = _mm_xor_si128(_mm_srli_si128(x1, 8), _mm_clmulepi64_si128(x1, k, 0x10));
    k = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(kFold64));
    x = _mm_xor_si128(_mm_clmulepi64_si128(_mm_and_si128(x, low32), k, 0x00), _mm_srli_si128(x, 4));

    k = _mm_load_si128(reinterpret_cast<const __m128i*>(kBarrett));
    __m128i t = _mm_clmulepi64_si128(_mm_and_si128(x, low32), k, 0x10);
    t = _mm_clmulepi64_si128(_mm_and_si128(t, low32), k, 0x00);
    return static_cast<uint32_t>(_mm_extract_epi32(_mm_xor_si128(x, t), 1));
}

#undef TARVIK_FOLD_TARGET

bool cpu_can_fold() {
    __builtin_cpu_init();
    return __builtin_cpu_supports("pclmul") && __builtin_cpu_supports("sse4.1");
}

#endif

}  // namespace

uint32_t crc32(const void* data, std::size_t size, uint32_t crc) {
    const auto* p = static_cast<const unsigned char*>(data);
    crc = ~crc;
#if defined(__x86_64__)
    static const bool can_fold = cpu_can_fold();
    if (size >= kFoldMinimum && can_fold) {
        const std::size_t folded = size & ~std::size_t{15};
        crc = crc32_fold(p, folded, crc);
        p += folded;
        size -= folded;
    }
#endif
    return ~crc32_tables(p, size, crc);
}

uint32_t crc32_portable(const void* data, std::size_t size, uint32_t crc) {
    return ~crc32_tables(static_cast<const unsigned char*>(data), size, ~crc);
}

}  // namespace tarvik::engine
