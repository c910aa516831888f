// The converted rows of one input, kept in an unnamed temporary file
// between the import's read of the input and the writing of the tapes, so
// that memory stays bounded by a batch whatever the size of the input. A
// narrow spill keeps the first kNarrowRowBytes of each row.
//
// The file is written and read in blocks of whole rows, on a thread of the
// spill's own while the import converts more (writing) or turns rows into
// events (reading ahead). Where the file system allows it the blocks go
// straight to and from the disk (O_DIRECT): the rows are read back once,
// so they are not kept in the page cache, whose fresh pages cost more to
// fill than the disk's transfer does.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <deque>
#include <exception>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "converted_row.h"

namespace tarvik::import {

class RowSpill {
public:
    // Blocks of about `block_bytes` (rounded to whole pages, at least
    // kLeastBlockBytes); a spill holds three at most. Throws ImportError when
    // no temporary file can be made in `temp_dir`.
    RowSpill(const std::string& temp_dir, bool wide, std::size_t block_bytes = kBlockBytes);
    ~RowSpill();
    RowSpill(const RowSpill&) = delete;
    RowSpill& operator=(const RowSpill&) = delete;

    // Takes the rows (leaving `rows` empty, with storage to reuse). Throws
    // ImportError when an earlier write failed.
    void append(std::vector<ConvertedRow>& rows);
    // Ends the writing; reading starts at the first row.
    void finish();
    // The next rows, at most `max`, into `out`; false at the end.
    bool read(std::vector<ConvertedRow>& out, std::size_t max);

    static constexpr std::size_t kBlockBytes = std::size_t{1} << 20;
    static constexpr std::size_t kLeastBlockBytes = std::size_t{64} << 10;

private:
    struct FreeBytes {
        void operator()(unsigned char* p) const { std::free(p); }
    };
    using Bytes = std::unique_ptr<unsigned char[], FreeBytes>;
    Bytes new_block() const;

    struct Block {
        Bytes bytes;
        std::size_t rows = 0;
    };

    // The writing thread.
    void write_loop();
    void pack(const std::vector<ConvertedRow>& rows);
    void write_block();
    // The reading thread.
    void read_loop();
    void read_block(Block& block, uint64_t index);

    void transfer(bool writing, unsigned char* data, std::size_t size, uint64_t offset);
    [[noreturn]] void fail(bool writing, const std::string& why) const;
    void stop_thread();

    std::string dir_;
    int fd_ = -1;
    bool wide_;
    bool direct_ = false;  // blocks bypass the page cache
    std::size_t row_bytes_;
    std::size_t block_bytes_;
    std::size_t block_rows_;  // rows a block holds
    uint64_t rows_ = 0;
    uint64_t blocks_ = 0;  // written
    Block filling_;        // the writing thread's

    static constexpr std::size_t kQueued = 2;  // batches waiting for the writer, blocks read ahead
    std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<std::vector<ConvertedRow>> queue_;
    std::vector<std::vector<ConvertedRow>> spare_;
    std::deque<Block> ready_;   // read ahead, in order
    std::vector<Bytes> empty_;  // read blocks' storage, for the next ones
    std::exception_ptr error_;
    bool busy_ = false;  // the writer holds a batch
    bool stop_ = false;
    std::thread thread_;

    Block reading_;              // the block read() takes rows from
    std::size_t reading_at_ = 0;  // its next row
    uint64_t read_rows_ = 0;
};

}  // namespace tarvik::import
