#include "block_codec.h"

#include <cstring>
#include <new>
#include <zstd.h>

namespace tarvik::engine {
namespace {

// Records of Size bytes with the u64 times at kTimes: the times become
// differences from the record before (modulo 2^64), then the bytes become
// planes. `planes` takes count * Size bytes.
template <std::size_t Size, std::size_t... kTimes>
void to_planes(const void* records, uint32_t count, unsigned char* planes) {
    const auto* in = static_cast<const unsigned char*>(records);
    uint64_t previous[sizeof...(kTimes)] = {};
    unsigned char record[Size];
    for (uint32_t i = 0; i < count; ++i) {
        std::memcpy(record, in + std::size_t{i} * Size, Size);
        std::size_t t = 0;
        for (const std::size_t at : {kTimes...}) {
            uint64_t time;
            std::memcpy(&time, record + at, sizeof time);
            const uint64_t delta = time - previous[t];
            previous[t++] = time;
            std::memcpy(record + at, &delta, sizeof delta);
        }
        for (std::size_t b = 0; b < Size; ++b) planes[b * count + i] = record[b];
    }
}

// The reverse of to_planes.
template <std::size_t Size, std::size_t... kTimes>
void from_planes(const unsigned char* planes, uint32_t count, void* records) {
    auto* out = static_cast<unsigned char*>(records);
    // Sixteen records at a time, so that each plane is read in runs.
    constexpr uint32_t kRun = 16;
    unsigned char run[kRun][Size];
    uint64_t previous[sizeof...(kTimes)] = {};
    for (uint32_t first = 0; first < count; first += kRun) {
        const uint32_t n = count - first < kRun ? count - first : kRun;
        for (std::size_t b = 0; b < Size; ++b) {
            const unsigned char* plane = planes + b * count + first;
            for (uint32_t k = 0; k < n; ++k) run[k][b] = plane[k];
        }
        for (uint32_t k = 0; k < n; ++k) {
            std::size_t t = 0;
            for (const std::size_t at : {kTimes...}) {
                uint64_t delta;
                std::memcpy(&delta, run[k] + at, sizeof delta);
                previous[t] += delta;
                std::memcpy(run[k] + at, &previous[t++], sizeof delta);
            }
        }
        std::memcpy(out + std::size_t{first} * Size, run, std::size_t{n} * Size);
    }
}

constexpr std::size_t kEventTime = offsetof(TapeEvent, micros);
constexpr std::size_t kExtTimes[] = {offsetof(TapeExt, micros_src), offsetof(TapeExt, micros_ptp1),
                                     offsetof(TapeExt, micros_ptp2)};

void events_to_planes(const TapeEvent* events, uint32_t count, unsigned char* planes) {
    to_planes<sizeof(TapeEvent), kEventTime>(events, count, planes);
}
void ext_to_planes(const TapeExt* ext, uint32_t count, unsigned char* planes) {
    to_planes<sizeof(TapeExt), kExtTimes[0], kExtTimes[1], kExtTimes[2]>(ext, count, planes);
}
void events_from_planes(const unsigned char* planes, uint32_t count, unsigned char* out) {
    from_planes<sizeof(TapeEvent), kEventTime>(planes, count, out);
}
void ext_from_planes(const unsigned char* planes, uint32_t count, unsigned char* out) {
    from_planes<sizeof(TapeExt), kExtTimes[0], kExtTimes[1], kExtTimes[2]>(planes, count, out);
}

}  // namespace

BlockInflater::~BlockInflater() { ZSTD_freeDCtx(context_); }

const unsigned char* BlockInflater::inflate(const unsigned char* frame, std::size_t size, uint32_t count,
                                            uint32_t ext_count) {
    if (count > kEventsPerBlock || ext_count > count) return nullptr;
    if (context_ == nullptr) {
        try {
            planes_.resize(kMaxBlockEventBytes / sizeof(uint64_t));
            room_.resize(kMaxBlockEventBytes / sizeof(uint64_t));
        } catch (const std::bad_alloc&) {
            return nullptr;
        }
        context_ = ZSTD_createDCtx();
        if (context_ == nullptr) return nullptr;
    }
    const std::size_t events_bytes = std::size_t{count} * sizeof(TapeEvent);
    const std::size_t raw = events_bytes + std::size_t{ext_count} * sizeof(TapeExt);
    // The frame must say how much it holds, and hold just that.
    if (ZSTD_getFrameContentSize(frame, size) != raw) return nullptr;
    auto* planes = reinterpret_cast<unsigned char*>(planes_.data());
    const std::size_t got = ZSTD_decompressDCtx(context_, planes, raw, frame, size);
    if (ZSTD_isError(got) || got != raw) return nullptr;
    auto* out = reinterpret_cast<unsigned char*>(room_.data());
    events_from_planes(planes, count, out);
    ext_from_planes(planes + events_bytes, ext_count, out + events_bytes);
    return out;
}

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
    events_to_planes(events, count, planes);
    ext_to_planes(ext, ext_count, planes + events_bytes);
    const std::size_t got = ZSTD_compressCCtx(context_, frame_.data(), frame_.size(), planes, raw, kLevel);
    return ZSTD_isError(got) ? 0 : got;
}

}  // namespace tarvik::engine
