#include "row_spill.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <new>

#include "import_error.h"
#include "temp_file.h"

namespace tarvik::import {
namespace {

constexpr std::size_t kAlign = 4096;  // what direct transfers need of buffers, offsets and sizes

std::size_t aligned_up(std::size_t n) { return (n + kAlign - 1) / kAlign * kAlign; }

}  // namespace

RowSpill::Bytes RowSpill::new_block() const {
    auto* p = static_cast<unsigned char*>(std::aligned_alloc(kAlign, block_bytes_));
    if (p == nullptr) throw std::bad_alloc();
    std::memset(p, 0, block_bytes_);  // a block's tail past its rows is written too
    return Bytes(p);
}

RowSpill::RowSpill(const std::string& temp_dir, bool wide, std::size_t block_bytes)
    : dir_(temp_dir.empty() ? std::string("/tmp") : temp_dir),
      fd_(unnamed_temp_file(temp_dir, "the import")),
      wide_(wide),
      row_bytes_(wide ? kWideRowBytes : kNarrowRowBytes),
      block_bytes_(std::max(kLeastBlockBytes, block_bytes / kAlign * kAlign)),
      block_rows_(block_bytes_ / row_bytes_) {
    try {
        filling_.bytes = new_block();
        const int flags = ::fcntl(fd_, F_GETFL);
        direct_ = flags >= 0 && ::fcntl(fd_, F_SETFL, flags | O_DIRECT) == 0;
        thread_ = std::thread([this] { write_loop(); });
    } catch (...) {
        ::close(fd_);
        throw;
    }
}

RowSpill::~RowSpill() {
    stop_thread();
    if (fd_ >= 0) ::close(fd_);
}

void RowSpill::stop_thread() {
    {
        std::lock_guard lock(mutex_);
        stop_ = true;
    }
    changed_.notify_all();
    if (thread_.joinable()) thread_.join();
    stop_ = false;
}

[[noreturn]] void RowSpill::fail(bool writing, const std::string& why) const {
    throw ImportError(std::string("the import: cannot ") + (writing ? "write" : "read") + " its temporary file in " +
                      dir_ + ": " + why);
}

// Moves `size` bytes at `offset`. A file system that turns down a direct
// transfer gets the rest through the page cache.
void RowSpill::transfer(bool writing, unsigned char* data, std::size_t size, uint64_t offset) {
    while (size > 0) {
        const ssize_t n = writing ? ::pwrite(fd_, data, size, static_cast<off_t>(offset))
                                  : ::pread(fd_, data, size, static_cast<off_t>(offset));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno == EINVAL && direct_) {
            const int flags = ::fcntl(fd_, F_GETFL);
            if (flags < 0 || ::fcntl(fd_, F_SETFL, flags & ~O_DIRECT) != 0) fail(writing, std::strerror(errno));
            direct_ = false;
            continue;
        }
        if (n < 0) fail(writing, std::strerror(errno));
        if (n == 0) fail(writing, writing ? std::strerror(ENOSPC) : "it ended early");
        data += n;
        offset += static_cast<uint64_t>(n);
        size -= static_cast<std::size_t>(n);
    }
}

// ---------------------------------------------------------------------------
// Writing
// ---------------------------------------------------------------------------

void RowSpill::write_loop() {
    std::unique_lock lock(mutex_);
    for (;;) {
        changed_.wait(lock, [this] { return !queue_.empty() || stop_; });
        if (queue_.empty()) return;  // stopped, and everything written
        std::vector<ConvertedRow> rows = std::move(queue_.front());
        queue_.pop_front();
        busy_ = true;
        lock.unlock();
        std::exception_ptr error;
        try {
            if (error_ == nullptr) pack(rows);
        } catch (...) {
            error = std::current_exception();
        }
        rows.clear();
        lock.lock();
        if (error && !error_) error_ = error;
        spare_.push_back(std::move(rows));
        busy_ = false;
        changed_.notify_all();
    }
}

void RowSpill::pack(const std::vector<ConvertedRow>& rows) {
    std::size_t at = 0;
    while (at < rows.size()) {
        const std::size_t n = std::min(rows.size() - at, block_rows_ - filling_.rows);
        unsigned char* into = filling_.bytes.get() + filling_.rows * row_bytes_;
        if (wide_) {
            std::memcpy(into, &rows[at], n * kWideRowBytes);
        } else {
            for (std::size_t k = 0; k < n; ++k) std::memcpy(into + k * kNarrowRowBytes, &rows[at + k], kNarrowRowBytes);
        }
        filling_.rows += n;
        at += n;
        if (filling_.rows == block_rows_) write_block();
    }
}

// The filling block at its place; only the last block is short, its size
// rounded up to a whole number of pages.
void RowSpill::write_block() {
    const std::size_t used = filling_.rows * row_bytes_;
    const std::size_t size = filling_.rows == block_rows_ ? block_bytes_ : aligned_up(used);
    std::memset(filling_.bytes.get() + used, 0, size - used);
    transfer(true, filling_.bytes.get(), size, blocks_ * block_bytes_);
    ++blocks_;
    filling_.rows = 0;
}

void RowSpill::append(std::vector<ConvertedRow>& rows) {
    const std::size_t count = rows.size();
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [this] { return queue_.size() < kQueued || error_; });
    if (error_) std::rethrow_exception(error_);
    queue_.push_back(std::move(rows));
    rows = std::vector<ConvertedRow>();
    if (!spare_.empty()) {
        rows = std::move(spare_.back());
        spare_.pop_back();
    }
    rows_ += count;
    changed_.notify_all();
}

void RowSpill::finish() {
    {
        std::unique_lock lock(mutex_);
        changed_.wait(lock, [this] { return (queue_.empty() && !busy_) || error_; });
        if (error_) std::rethrow_exception(error_);
    }
    stop_thread();
    spare_.clear();
    if (filling_.rows > 0) write_block();
    reading_.bytes = std::move(filling_.bytes);  // storage for the first block read
    reading_.rows = reading_at_ = 0;
    read_rows_ = 0;
    thread_ = std::thread([this] { read_loop(); });
}

// ---------------------------------------------------------------------------
// Reading
// ---------------------------------------------------------------------------

void RowSpill::read_block(Block& block, uint64_t index) {
    block.rows = static_cast<std::size_t>(std::min<uint64_t>(block_rows_, rows_ - index * block_rows_));
    transfer(false, block.bytes.get(), aligned_up(block.rows * row_bytes_), index * block_bytes_);
}

void RowSpill::read_loop() {
    for (uint64_t index = 0; index < blocks_; ++index) {
        Block block;
        {
            std::unique_lock lock(mutex_);
            changed_.wait(lock, [this] { return ready_.size() < kQueued || stop_; });
            if (stop_) return;
            if (!empty_.empty()) {
                block.bytes = std::move(empty_.back());
                empty_.pop_back();
            }
        }
        try {
            if (!block.bytes) block.bytes = new_block();
            read_block(block, index);
        } catch (...) {
            std::lock_guard lock(mutex_);
            error_ = std::current_exception();
            changed_.notify_all();
            return;
        }
        std::lock_guard lock(mutex_);
        ready_.push_back(std::move(block));
        changed_.notify_all();
    }
}

bool RowSpill::read(std::vector<ConvertedRow>& out, std::size_t max) {
    const uint64_t left = rows_ - read_rows_;
    const std::size_t count = left < max ? static_cast<std::size_t>(left) : max;
    out.resize(count);
    if (count == 0) return false;
    std::size_t filled = 0;
    while (filled < count) {
        if (reading_at_ == reading_.rows) {
            std::unique_lock lock(mutex_);
            if (reading_.bytes) empty_.push_back(std::move(reading_.bytes));
            changed_.wait(lock, [this] { return !ready_.empty() || error_; });
            if (ready_.empty()) std::rethrow_exception(error_);
            reading_ = std::move(ready_.front());
            ready_.pop_front();
            reading_at_ = 0;
            changed_.notify_all();
        }
        const std::size_t n = std::min(count - filled, reading_.rows - reading_at_);
        const unsigned char* from = reading_.bytes.get() + reading_at_ * row_bytes_;
        if (wide_) {
            std::memcpy(&out[filled], from, n * kWideRowBytes);
        } else {
            for (std::size_t k = 0; k < n; ++k) {
                ConvertedRow& row = out[filled + k];
                std::memcpy(&row, from + k * kNarrowRowBytes, kNarrowRowBytes);
                row.exchange_micros = 0;
                row.fraction = 0;
            }
        }
        filled += n;
        reading_at_ += n;
    }
    read_rows_ += count;
    return true;
}

}  // namespace tarvik::import
