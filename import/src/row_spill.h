// The converted rows of one input, kept in an unnamed temporary file
// between the import's read of the input and the writing of the tapes, so
// that memory stays bounded by a batch whatever the size of the input. A
// narrow spill keeps the first kNarrowRowBytes of each row.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
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

    void append(const ConvertedRow* rows, std::size_t count);
    // Ends the writing; reading starts at the first row.
    void finish();
    // The next rows, at most `max`, into `out`; false at the end.
    bool read(std::vector<ConvertedRow>& out, std::size_t max);
    uint64_t rows() const { return rows_; }

private:
    void write_bytes(const void* data, std::size_t size);

    std::string dir_;
    int fd_ = -1;
    bool wide_;
    uint64_t rows_ = 0;
    uint64_t read_rows_ = 0;
    std::vector<unsigned char> narrow_;  // narrow rows on their way in and out
};

}  // namespace tarvik::import
