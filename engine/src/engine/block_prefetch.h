// Reads the blocks of a tape ahead of the replay, on a thread of its own:
// the CRC, the inflation of a packed block and the index checks of the
// next blocks run there while the replay delivers the events of this one.
// A plain block's events stay in the mapped tape, so that reading also
// takes the page faults of the blocks read. The replay sees the
// same blocks, results and positions as from TapeReader::next_block.
//
// Blocks are taken in turn, each one's place found from the head of the
// block before, and read by whoever took it. A replay that finds its next
// block not yet read takes and reads the next one free itself rather than
// wait: where the replay is quick, as when a run leaves out most of a day,
// one thread could not inflate as fast as it delivers, and a second thread
// of its own would take the core from a busy replay.
#pragma once

#include <array>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <thread>
#include <vector>

#include "engine/block_codec.h"
#include "engine/tape_reader.h"

namespace tarvik::engine {

class BlockPrefetch {
public:
    BlockPrefetch() = default;
    BlockPrefetch(const BlockPrefetch&) = delete;
    BlockPrefetch& operator=(const BlockPrefetch&) = delete;
    ~BlockPrefetch() { stop(); }

    // As reader.next_block(block): the block at reader.position(), after
    // which the reader is moved on. A reader moved elsewhere (a restart, a
    // resumed snapshot) starts the reading ahead again from there. The
    // block's events are valid until the next call.
    int32_t next_block(TapeReader& reader, EventBlock& block);

private:
    // Blocks read ahead, the one being delivered included: some
    // milliseconds of a replay, so that the thread being descheduled for
    // a while on a busy machine does not stop the replay. A packed block's
    // events take its slot's room in rooms_.
    static constexpr std::size_t kSlots = 16;
    struct Slot {
        EventBlock block;
        int32_t result = 0;
        std::size_t next = 0;
        bool ready = false;  // read, not yet handed back by the replay
    };
    unsigned char* room(std::size_t slot) {
        return reinterpret_cast<unsigned char*>(rooms_.data()) + slot * kMaxBlockEventBytes;
    }

    void start(const TapeReader& reader, std::size_t position);
    void stop();
    void read_ahead(const TapeReader* reader);
    // With the lock held: whether a block may be taken now, and taking it
    // (its count and where it starts).
    bool can_take() const { return taking_ && taken_ - released_ < kSlots; }
    void take(const TapeReader& reader, uint64_t& n, std::size_t& position);
    // Without the lock: reads a taken block into its slot.
    void read_taken(const TapeReader& reader, uint64_t n, std::size_t position, BlockInflater& inflater);

    std::array<Slot, kSlots> slots_;
    std::vector<uint64_t> rooms_;
    BlockInflater thread_inflater_;
    BlockInflater replay_inflater_;
    std::mutex mutex_;
    std::condition_variable filled_;
    std::condition_variable emptied_;
    std::thread thread_;
    // Counts of blocks since start(): taken to be read, handed back by the
    // replay. The slot of block n is slots_[n % kSlots].
    uint64_t taken_ = 0;
    uint64_t released_ = 0;
    std::size_t take_at_ = 0;  // where the next block to be taken starts
    bool taking_ = false;      // false once a taker met the end, or a head it could not pass
    bool holding_ = false;     // the replay holds block released_
    bool stopping_ = false;
    std::size_t expected_ = SIZE_MAX;  // where the next block asked for starts, while reading ahead
    bool no_thread_ = false;           // no thread could be had: blocks are read on the replay's own
};

}  // namespace tarvik::engine
