// Where a run's events come from: a mapped tape file, a tape in memory, or
// the real-time stream, with the tables read from its head. A tape's
// blocks are read ahead on a second thread: checked (and a packed one
// inflated) while the replay delivers the block before.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>

#include "engine/block_prefetch.h"
#include "engine/live_tape.h"
#include "engine/tape_format.h"
#include "engine/tape_reader.h"

namespace tarvik::engine {

class TapeSource {
public:
    // 0, or TqAPIERR_OPEN_TAPE_FILE_FAILED. The file may be a tape or a
    // state snapshot; open() reads it as a tape.
    int32_t map_file(const char* path) { return bytes_.map_file(path); }
    void unmap() { bytes_.unmap(); }
    const TapeBytes& bytes() const { return bytes_; }

    // Reads the tables of the mapped file, or of a tape in memory: 0 or a
    // result code (docs/engine.md).
    int32_t open(bool check_crc) { return open_memory(bytes_.data(), bytes_.size(), check_crc); }
    int32_t open_memory(const unsigned char* data, std::size_t size, bool check_crc) {
        return reader_.open(data, size, check_crc, tables_);
    }
    // The real-time stream at `path`: 0 or a result code.
    int32_t open_live(const char* path, std::chrono::milliseconds idle_limit, bool check_crc);

    const TapeTables& tables() const { return tables_; }
    const TapeReader& reader() const { return reader_; }
    bool live() const { return live_ != nullptr; }

    // The tape's full path, empty for the real-time stream or a tape in memory.
    const std::string& path() const { return path_; }
    void set_path(std::string path) { path_ = std::move(path); }

    // As TapeReader::next_block; the live stream may also answer
    // LiveTape::kStillWaiting.
    int32_t next_block(EventBlock& block) {
        if (live_) return live_->next_block(block);
        const int32_t got = prefetch_.next_block(reader_, block);
        // The blocks before this one are read (the read-ahead is past
        // them too) and their bytes copied out.
        if (got == 1) bytes_.release(reader_.first_block(), reader_.position());
        return got;
    }
    std::size_t position() const { return live_ ? live_->position() : reader_.position(); }
    void rewind() {
        if (live_) {
            live_->rewind();
        } else {
            reader_.rewind();
            bytes_.reread_from(reader_.position());
        }
    }
    void seek(std::size_t position) {
        reader_.seek(position);
        bytes_.reread_from(position);
    }

private:
    TapeBytes bytes_;
    TapeReader reader_;
    TapeTables tables_;
    std::unique_ptr<LiveTape> live_;
    BlockPrefetch prefetch_;  // declared after the tape: stops before it goes
    std::string path_;
};

}  // namespace tarvik::engine
