// The real-time stream: a tape that another process is still writing. Its
// tables are read once they are complete, then its event blocks one at a
// time as they arrive; a block is used only when all of it is there and it
// passes its checks, and the End section closes the day.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "tape_reader.h"

namespace tarvik::engine {

class LiveTape {
public:
    LiveTape() = default;
    LiveTape(const LiveTape&) = delete;
    LiveTape& operator=(const LiveTape&) = delete;
    ~LiveTape();

    // Opens the tape at `path` and waits for its tables, which `reader`
    // then reads into `tables`. 0 or a result code (docs/engine.md).
    int32_t open(const char* path, std::chrono::milliseconds idle_limit, bool check_crc, TapeReader& reader,
                 TapeTables& tables);

    // As TapeReader::next_block, waiting for the block to be written: a
    // result code only when nothing new has come for the idle limit. A
    // packed block is inflated here, as it arrives.
    int32_t next_block(EventBlock& block);

    std::size_t position() const { return pos_; }
    void rewind() { pos_ = first_block_; }

private:
    bool read_at(std::size_t pos, void* out, std::size_t size) const;
    // Sleeps a moment; false once nothing has arrived for the idle limit.
    bool wait();

    int fd_ = -1;
    const TapeReader* reader_ = nullptr;
    std::vector<uint64_t> tables_bytes_;  // 8-aligned, as the reader wants
    std::vector<uint64_t> block_bytes_;
    BlockInflater inflater_;  // packed blocks: their events live here
    std::size_t first_block_ = 0;
    std::size_t pos_ = 0;
    std::chrono::milliseconds idle_limit_{0};
    std::chrono::steady_clock::time_point last_progress_;
};

}  // namespace tarvik::engine
