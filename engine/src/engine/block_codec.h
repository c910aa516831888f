// The compression of event blocks (PackedEvents sections). Each block is a
// zstd frame of its own, so that any block can be read without the others.
// Before compression the events are laid out as byte planes (byte 0 of
// every event, then byte 1, ...) with each time replaced by its difference
// from the one before, which lets zstd's fastest level find the repeats
// (docs/tape-format.md). A codec makes its context and its room once;
// packing or inflating a block then allocates nothing.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "engine/tape_format.h"

struct ZSTD_CCtx_s;
struct ZSTD_DCtx_s;

namespace tarvik::engine {

// The events and extensions of one block, as an Events payload holds them
// after its head: the most one block can take.
inline constexpr std::size_t kMaxBlockEventBytes = kEventsPerBlock * (sizeof(TapeEvent) + sizeof(TapeExt));

class BlockInflater {
public:
    BlockInflater() = default;
    BlockInflater(const BlockInflater&) = delete;
    BlockInflater& operator=(const BlockInflater&) = delete;
    ~BlockInflater();

    // Inflates the frame of `size` bytes at `frame` into `count` events
    // followed by `ext_count` extensions, in `room` (8-aligned, at least
    // kMaxBlockEventBytes) or, when it is null, in room of its own: the
    // bytes, or null when the frame is damaged, does not hold exactly that
    // many, or no memory could be had. Its own room is valid until the
    // next call.
    const unsigned char* inflate(const unsigned char* frame, std::size_t size, uint32_t count, uint32_t ext_count,
                                 unsigned char* room = nullptr);
    // Where a block's events go: `room`, or when it is null room of the
    // inflater's own (null when no memory could be had).
    unsigned char* room(unsigned char* given);
    // Room for a frame of up to kMaxBlockEventBytes, to inflate from.
    unsigned char* frame_room();
    // Whether a null answer was for want of memory, not a damaged frame.
    bool out_of_memory() const { return out_of_memory_; }

private:
    // A room of kMaxBlockEventBytes, made the first time (null when no
    // memory could be had).
    unsigned char* block_room(std::vector<uint64_t>& room);

    bool out_of_memory_ = false;
    ZSTD_DCtx_s* context_ = nullptr;
    std::vector<uint64_t> planes_;
    std::vector<uint64_t> room_;
    std::vector<uint64_t> frame_;
};

class BlockPacker {
public:
    BlockPacker() = default;
    BlockPacker(const BlockPacker&) = delete;
    BlockPacker& operator=(const BlockPacker&) = delete;
    ~BlockPacker();

    // Packs `count` events (at most kEventsPerBlock) and `ext_count`
    // extensions into one frame: its length, the frame in frame(); 0 when
    // zstd fails.
    std::size_t pack(const TapeEvent* events, uint32_t count, const TapeExt* ext, uint32_t ext_count);
    const unsigned char* frame() const { return frame_.data(); }

private:
    // zstd's fastest level: on planes it packs nearly as small as level 3.
    static constexpr int kLevel = 1;

    ZSTD_CCtx_s* context_ = nullptr;
    std::vector<uint64_t> planes_;
    std::vector<unsigned char> frame_;
};

}  // namespace tarvik::engine
