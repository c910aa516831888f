// The real-time stream: a tape that another process is still writing. Its
// tables are read once they are complete, then its event blocks one at a
// time as they arrive; a block is used only when all of it is there and it
// passes its checks, and the End section closes the day.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <ctime>
#include <vector>

#include "engine/tape_reader.h"

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
    // packed block is inflated here, as it arrives. While it waits it comes
    // back with kStillWaiting, at once when the wait starts and then every
    // kWaitNotice, so that the run can tell its client; the next call goes
    // on waiting.
    int32_t next_block(EventBlock& block);
    static constexpr int32_t kStillWaiting = 2;
    static constexpr std::chrono::milliseconds kWaitNotice{20};

    std::size_t position() const { return pos_; }
    void rewind() { pos_ = first_block_; }

private:
    bool read_at(std::size_t pos, void* out, std::size_t size) const;
    // Sleeps a moment; false once nothing has arrived for the idle limit.
    bool wait();
    // Bytes arriving count as progress, as whole blocks do: a slow writer
    // may take longer than the idle limit to put one block on the disk.
    // Bytes written over the zeros a writer extended the file with count
    // too: they change the file's modification time, not its size.
    void note_growth();

    int fd_ = -1;
    const TapeReader* reader_ = nullptr;
    std::vector<uint64_t> tables_bytes_;  // 8-aligned, as the reader wants
    std::vector<uint64_t> block_bytes_;
    BlockInflater inflater_;  // packed blocks: their events live here
    std::size_t first_block_ = 0;
    std::size_t pos_ = 0;
    std::chrono::milliseconds idle_limit_{0};
    std::chrono::steady_clock::time_point last_progress_;
    uint64_t size_seen_ = 0;  // the file's largest size so far
    struct timespec modified_seen_ {};  // and its last modification time
    bool waiting_ = false;
    std::chrono::steady_clock::time_point last_notice_;
};

// The idle limit from the text of TARVIK_REALTIME_IDLE_MS: unset, empty or
// 0 gives `fallback`; a decimal number of milliseconds is taken as it is,
// up to kMaxLiveIdle (anything longer waits that long). False for anything
// else.
inline constexpr std::chrono::milliseconds kMaxLiveIdle{1'000'000'000'000};  // about 31 years
bool parse_idle_limit(const char* text, std::chrono::milliseconds fallback, std::chrono::milliseconds& limit);

}  // namespace tarvik::engine
