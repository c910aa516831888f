// The converted rows of one input, kept in an unnamed temporary file
// between the import's read of the input and the writing of the tapes, so
// that memory stays bounded by a batch whatever the size of the input. A
// narrow spill keeps the first kNarrowRowBytes of each row. Rows are
// written on a thread of the spill's own, while the reader converts more.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <exception>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "converted_row.h"

namespace tarvik::import {

class RowSpill {
public:
    // Throws ImportError when no temporary file can be made in `temp_dir`.
    RowSpill(const std::string& temp_dir, bool wide);
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

private:
    void write_rows(const std::vector<ConvertedRow>& rows);
    void write_bytes(const void* data, std::size_t size);
    void run();
    void stop_writing();

    std::string dir_;
    int fd_ = -1;
    bool wide_;
    uint64_t rows_ = 0;
    uint64_t read_rows_ = 0;
    std::vector<unsigned char> narrow_;  // narrow rows on their way in and out

    static constexpr std::size_t kQueued = 2;  // batches waiting for the writer
    std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<std::vector<ConvertedRow>> queue_;
    std::vector<std::vector<ConvertedRow>> spare_;
    std::exception_ptr error_;
    bool busy_ = false;  // the writer holds a batch
    bool stop_ = false;
    std::thread writer_;
};

}  // namespace tarvik::import
