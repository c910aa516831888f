#include "engine/block_codec.h"

#include <cstring>
#include <new>
#include <zstd.h>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif
#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace tarvik::engine {
namespace {

constexpr std::size_t kTile = 16;

// Moves a 16 x 16 tile of bytes: byte j of source row i (rows `from_stride`
// apart) becomes byte i of destination row j (rows `to_stride` apart).
void transpose_tile(const unsigned char* from, std::size_t from_stride, unsigned char* to, std::size_t to_stride) {
#if defined(__SSE2__)
    __m128i r[kTile];
    for (std::size_t i = 0; i < kTile; ++i) r[i] = _mm_loadu_si128(reinterpret_cast<const __m128i*>(from + i * from_stride));
    // Four rounds of interleaving rows i and i + 8 give the transpose.
    for (int round = 0; round < 4; ++round) {
        __m128i t[kTile];
        for (std::size_t i = 0; i < kTile / 2; ++i) {
            t[2 * i] = _mm_unpacklo_epi8(r[i], r[i + kTile / 2]);
            t[2 * i + 1] = _mm_unpackhi_epi8(r[i], r[i + kTile / 2]);
        }
        for (std::size_t i = 0; i < kTile; ++i) r[i] = t[i];
    }
    for (std::size_t j = 0; j < kTile; ++j) _mm_storeu_si128(reinterpret_cast<__m128i*>(to + j * to_stride), r[j]);
#else
    for (std::size_t i = 0; i < kTile; ++i)
        for (std::size_t j = 0; j < kTile; ++j) to[j * to_stride + i] = from[i * from_stride + j];
#endif
}

#if defined(__x86_64__)
// Two 16 x 16 tiles side by side, where the processor has AVX2: 32 columns
// of the 16 source rows, so that each of the same unpacking rounds moves
// twice the bytes. Destination rows 0 to 15 come from the first 16 columns,
// 16 to 31 from the next.
__attribute__((target("avx2"))) void transpose_tile_pair(const unsigned char* from, std::size_t from_stride,
                                                         unsigned char* to, std::size_t to_stride) {
    __m256i r[kTile];
    for (std::size_t i = 0; i < kTile; ++i)
        r[i] = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(from + i * from_stride));
    for (int round = 0; round < 4; ++round) {
        __m256i t[kTile];
        for (std::size_t i = 0; i < kTile / 2; ++i) {
            t[2 * i] = _mm256_unpacklo_epi8(r[i], r[i + kTile / 2]);
            t[2 * i + 1] = _mm256_unpackhi_epi8(r[i], r[i + kTile / 2]);
        }
        for (std::size_t i = 0; i < kTile; ++i) r[i] = t[i];
    }
    for (std::size_t j = 0; j < kTile; ++j) {
        _mm_storeu_si128(reinterpret_cast<__m128i*>(to + j * to_stride), _mm256_castsi256_si128(r[j]));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(to + (j + kTile) * to_stride), _mm256_extracti128_si256(r[j], 1));
    }
}

bool cpu_has_avx2() {
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx2");
}
#endif

// Replaces the u64 times at `times` in `count` records of Size bytes by
// their differences from the record before (modulo 2^64).
template <std::size_t Size, std::size_t N>
void to_deltas(unsigned char* records, uint32_t count, const std::size_t (&times)[N], uint64_t (&previous)[N]) {
    for (uint32_t i = 0; i < count; ++i) {
        for (std::size_t t = 0; t < N; ++t) {
            unsigned char* at = records + std::size_t{i} * Size + times[t];
            uint64_t time;
            std::memcpy(&time, at, sizeof time);
            const uint64_t delta = time - previous[t];
            previous[t] = time;
            std::memcpy(at, &delta, sizeof delta);
        }
    }
}

// Records of Size bytes (a multiple of 16) with u64 times at `times`: the
// times become differences from the record before, then the bytes become
// planes. `planes` takes count * Size bytes.
template <std::size_t Size, std::size_t N>
void to_planes(const void* records, uint32_t count, const std::size_t (&times)[N], unsigned char* planes) {
    static_assert(Size % kTile == 0);
    const auto* in = static_cast<const unsigned char*>(records);
    uint64_t previous[N] = {};
    unsigned char tile[kTile * Size];
    uint32_t first = 0;
#if defined(__x86_64__)
    static const bool avx2 = cpu_has_avx2();
    if (avx2) {
        for (; first + kTile <= count; first += kTile) {
            std::memcpy(tile, in + std::size_t{first} * Size, sizeof tile);
            to_deltas<Size>(tile, kTile, times, previous);
            std::size_t b = 0;
            for (; b + 2 * kTile <= Size; b += 2 * kTile)
                transpose_tile_pair(tile + b, Size, planes + b * count + first, count);
            for (; b < Size; b += kTile) transpose_tile(tile + b, Size, planes + b * count + first, count);
        }
    }
#endif
    for (; first + kTile <= count; first += kTile) {
        std::memcpy(tile, in + std::size_t{first} * Size, sizeof tile);
        to_deltas<Size>(tile, kTile, times, previous);
        for (std::size_t b = 0; b < Size; b += kTile) transpose_tile(tile + b, Size, planes + b * count + first, count);
    }
    for (; first < count; ++first) {
        std::memcpy(tile, in + std::size_t{first} * Size, Size);
        to_deltas<Size>(tile, 1, times, previous);
        for (std::size_t b = 0; b < Size; ++b) planes[b * count + first] = tile[b];
    }
}

// The reverse of to_planes, into `records`.
template <std::size_t Size, std::size_t N>
void from_planes(const unsigned char* planes, uint32_t count, const std::size_t (&times)[N], unsigned char* records) {
    uint32_t first = 0;
#if defined(__x86_64__)
    static const bool avx2 = cpu_has_avx2();
    if (avx2) {
        for (; first + 2 * kTile <= count; first += 2 * kTile)
            for (std::size_t b = 0; b < Size; b += kTile)
                transpose_tile_pair(planes + b * count + first, count, records + std::size_t{first} * Size + b, Size);
    }
#endif
    for (; first + kTile <= count; first += kTile)
        for (std::size_t b = 0; b < Size; b += kTile)
            transpose_tile(planes + b * count + first, count, records + std::size_t{first} * Size + b, Size);
    for (; first < count; ++first)
        for (std::size_t b = 0; b < Size; ++b) records[std::size_t{first} * Size + b] = planes[b * count + first];
    uint64_t previous[N] = {};
    for (uint32_t i = 0; i < count; ++i) {
        for (std::size_t t = 0; t < N; ++t) {
            unsigned char* at = records + std::size_t{i} * Size + times[t];
            uint64_t delta;
            std::memcpy(&delta, at, sizeof delta);
            previous[t] += delta;
            std::memcpy(at, &previous[t], sizeof delta);
        }
    }
}

constexpr std::size_t kEventTimes[] = {offsetof(TapeEvent, micros)};
constexpr std::size_t kExtTimes[] = {offsetof(TapeExt, micros_src), offsetof(TapeExt, micros_ptp1),
                                     offsetof(TapeExt, micros_ptp2)};

}  // namespace

BlockInflater::~BlockInflater() { ZSTD_freeDCtx(context_); }

const unsigned char* BlockInflater::inflate(const unsigned char* frame, std::size_t size, uint32_t count,
                                            uint32_t ext_count, unsigned char* room) {
    if (count > kEventsPerBlock || ext_count > count) return nullptr;
    auto* planes = block_room(planes_);
    auto* out = this->room(room);
    if (planes == nullptr || out == nullptr) return nullptr;
    if (context_ == nullptr) context_ = ZSTD_createDCtx();
    if (context_ == nullptr) {
        out_of_memory_ = true;
        return nullptr;
    }
    const std::size_t events_bytes = std::size_t{count} * sizeof(TapeEvent);
    const std::size_t raw = events_bytes + std::size_t{ext_count} * sizeof(TapeExt);
    // The frame must say how much it holds, and hold just that.
    if (ZSTD_getFrameContentSize(frame, size) != raw) return nullptr;
    const std::size_t got = ZSTD_decompressDCtx(context_, planes, raw, frame, size);
    if (ZSTD_isError(got) || got != raw) return nullptr;
    from_planes<sizeof(TapeEvent)>(planes, count, kEventTimes, out);
    from_planes<sizeof(TapeExt)>(planes + events_bytes, ext_count, kExtTimes, out + events_bytes);
    return out;
}

unsigned char* BlockInflater::block_room(std::vector<uint64_t>& room) {
    try {
        if (room.empty()) room.resize(kMaxBlockEventBytes / sizeof(uint64_t));
    } catch (const std::bad_alloc&) {
        out_of_memory_ = true;
        return nullptr;
    }
    return reinterpret_cast<unsigned char*>(room.data());
}

unsigned char* BlockInflater::room(unsigned char* given) { return given != nullptr ? given : block_room(room_); }

unsigned char* BlockInflater::frame_room() { return block_room(frame_); }

BlockPacker::~BlockPacker() { ZSTD_freeCCtx(context_); }

std::size_t BlockPacker::pack(const TapeEvent* events, uint32_t count, const TapeExt* ext, uint32_t ext_count) {
    if (count > kEventsPerBlock || ext_count > count) return 0;
    if (context_ == nullptr) {
        planes_.resize(kMaxBlockEventBytes / sizeof(uint64_t));
        frame_.resize(ZSTD_compressBound(kMaxBlockEventBytes));
        context_ = ZSTD_createCCtx();
        if (context_ == nullptr) return 0;
    }
    const std::size_t events_bytes = std::size_t{count} * sizeof(TapeEvent);
    const std::size_t raw = events_bytes + std::size_t{ext_count} * sizeof(TapeExt);
    auto* planes = reinterpret_cast<unsigned char*>(planes_.data());
    to_planes<sizeof(TapeEvent)>(events, count, kEventTimes, planes);
    to_planes<sizeof(TapeExt)>(ext, ext_count, kExtTimes, planes + events_bytes);
    const std::size_t got = ZSTD_compressCCtx(context_, frame_.data(), frame_.size(), planes, raw, kLevel);
    return ZSTD_isError(got) ? 0 : got;
}

}  // namespace tarvik::engine
