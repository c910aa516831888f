// The tape reader: maps a tape, reads and checks its tables, then hands out
// its event blocks one at a time, each checked (CRC and every index it
// holds) before any of its events is used. A tape is only ever read.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>

#include "engine/block_codec.h"
#include "engine/tape_format.h"

namespace tarvik::engine {

// The bytes of a tape: a read-only private mapping of a file, or a range of
// memory owned by the caller. Must start 8-aligned.
class TapeBytes {
public:
    TapeBytes() = default;
    TapeBytes(const TapeBytes&) = delete;
    TapeBytes& operator=(const TapeBytes&) = delete;
    ~TapeBytes();

    // 0, or TqAPIERR_OPEN_TAPE_FILE_FAILED when the file cannot be mapped.
    int32_t map_file(const char* path);
    void unmap();
    void borrow(const unsigned char* data, std::size_t size);

    const unsigned char* data() const { return data_; }
    std::size_t size() const { return size_; }
    // The mapped file's device and inode, taken when it was opened (0 and
    // 0 for borrowed bytes): the file itself, whatever its path names now.
    uint64_t device() const { return device_; }
    uint64_t inode() const { return inode_; }

    // Lets the process's view of the mapped bytes in [from, to) go, in
    // steps of kReleaseStep: a replay that has read them (every block is
    // copied out before it is used) would otherwise keep the whole day
    // resident to its end, which a memory limit watching the process sees.
    // The file's pages stay in the page cache, so whatever reads them again
    // finds them there. Nothing for borrowed bytes.
    void release(std::size_t from, std::size_t to);
    // The replay goes back to `position` (a restart, a restored state): the
    // pages from there on are read again, and let go of again.
    void reread_from(std::size_t position) { released_ = std::min(released_, position); }
    static constexpr std::size_t kReleaseStep = std::size_t{8} << 20;

private:
    const unsigned char* data_ = nullptr;
    std::size_t size_ = 0;
    std::size_t released_ = 0;  // the mapping is let go of up to here
    void* mapping_ = nullptr;
    uint64_t device_ = 0;
    uint64_t inode_ = 0;
};

struct EventBlock {
    const TapeEvent* events = nullptr;
    uint32_t count = 0;
    const TapeExt* ext = nullptr;
    uint32_t ext_count = 0;
};

class TapeReader {
public:
    // Reads the preamble and the tables into `tables`, which must outlive
    // the reader. Answers 0 or a result code (docs/engine.md). The blocks
    // are read out of `data` only by copying (copy_mapped): a file cut
    // short while it is mapped gives a cut block, not a fault.
    int32_t open(const unsigned char* data, std::size_t size, bool check_crc, TapeTables& tables);

    // 1 with the next block, 0 at the end of the tape, or a result code
    // when the block is truncated, fails its CRC, does not inflate or
    // holds a bad index. Its events are a copy (a packed block's inflated),
    // valid until the next call.
    int32_t next_block(EventBlock& block);

    // The same for a block at `at`, of which `available` bytes are there:
    // the live tape reads its blocks itself. `length` gets the bytes the
    // block takes, head and padding included; a packed block is inflated
    // by `inflater` into `room` (as BlockInflater::inflate), and its events
    // live there.
    int32_t read_block_at(const unsigned char* at, std::size_t available, EventBlock& block, std::size_t& length,
                          BlockInflater& inflater, unsigned char* room = nullptr) const;
    // The same for the block at `position` of the opened tape, `next` the
    // position after it. Only reads the reader, so that another thread
    // may read ahead while this one delivers.
    int32_t read_block_from(std::size_t position, EventBlock& block, std::size_t& next, BlockInflater& inflater,
                            unsigned char* room = nullptr) const;

    // Where the section after the block at `position` starts, from the
    // block's head alone (its payload unchecked): false at the End section
    // or where no whole section is. Lets blocks be read ahead out of turn.
    bool next_position(std::size_t position, std::size_t& next) const;

    // A section head of kind End: 0 where it is one a writer writes
    // (empty, its CRC that of nothing), TqAPIERR_EXCEPTION where it is
    // damage, such as the head of a block whose kind lost a bit. The tape
    // ends at an End only when it is whole.
    int32_t end_section(const SectionHead& head) const;

    // After open() refused a table: the section (1 Header to 6
    // CategoryValues) and its byte offset; 0 and 0 where the preamble or no
    // table was at fault.
    int bad_table() const { return bad_table_; }
    std::size_t bad_table_offset() const { return bad_table_offset_; }

    // Version 2 tapes may hold packed blocks.
    bool packed() const { return format_version_ >= kPackedTapeFormatVersion; }
    uint32_t format_version() const { return format_version_; }

    // Back to the first block; position() and seek() let a saved state
    // resume at a block boundary.
    void rewind() { pos_ = first_block_; }
    std::size_t position() const { return pos_; }
    void seek(std::size_t position) { pos_ = position; }
    std::size_t first_block() const { return first_block_; }

    // Whether `position` is the start of a whole section after the tables,
    // found by walking the section heads from the first block; `ordinal`
    // gets its number (0 for the first block). Only the heads are read.
    bool section_ordinal(std::size_t position, uint32_t& ordinal) const;

private:
    int32_t check_block(const EventBlock& block) const;
    // The head of the section at `position`, its payload within the tape.
    bool head_at(std::size_t position, SectionHead& head) const;

    const unsigned char* data_ = nullptr;
    std::size_t size_ = 0;
    std::size_t first_block_ = 0;
    int bad_table_ = 0;
    std::size_t bad_table_offset_ = 0;
    std::size_t pos_ = 0;
    bool check_crc_ = true;
    uint32_t format_version_ = 0;
    const TapeTables* tables_ = nullptr;
    BlockInflater inflater_;
};

// The largest events section a tape may hold (a packed one is smaller than
// its events).
inline constexpr std::size_t kMaxBlockBytes = 16 + kEventsPerBlock * (sizeof(TapeEvent) + sizeof(TapeExt));

// Reads only the preamble and the header section of the tape at `path`:
// the cheap test of whether a file is a tape. Answers 0 or a result code.
int32_t read_tape_header(const char* path, TapeHeader& header);

inline constexpr uint64_t kMicrosPerDay = 86'400'000'000ull;

}  // namespace tarvik::engine
