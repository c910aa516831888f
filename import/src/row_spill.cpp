#include "row_spill.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "import_error.h"
#include "temp_file.h"

namespace tarvik::import {

RowSpill::RowSpill(const std::string& temp_dir, bool wide)
    : dir_(temp_dir.empty() ? std::string("/tmp") : temp_dir), fd_(unnamed_temp_file(temp_dir, "the import")), wide_(wide) {
    try {
        writer_ = std::thread([this] { run(); });
    } catch (...) {
        ::close(fd_);
        throw;
    }
}

RowSpill::~RowSpill() {
    stop_writing();
    if (fd_ >= 0) ::close(fd_);
}

void RowSpill::stop_writing() {
    {
        std::lock_guard lock(mutex_);
        stop_ = true;
    }
    changed_.notify_all();
    if (writer_.joinable()) writer_.join();
}

void RowSpill::run() {
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
            if (error_ == nullptr) write_rows(rows);
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

void RowSpill::write_bytes(const void* data, std::size_t size) {
    const auto* p = static_cast<const unsigned char*>(data);
    while (size > 0) {
        const ssize_t n = ::write(fd_, p, size);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0)
            throw ImportError("the import: cannot write its temporary file in " + dir_ + ": " +
                              std::strerror(n < 0 ? errno : ENOSPC));
        p += n;
        size -= static_cast<std::size_t>(n);
    }
}

void RowSpill::write_rows(const std::vector<ConvertedRow>& rows) {
    if (wide_) {
        write_bytes(rows.data(), rows.size() * kWideRowBytes);
        return;
    }
    narrow_.resize(rows.size() * kNarrowRowBytes);
    for (std::size_t k = 0; k < rows.size(); ++k)
        std::memcpy(narrow_.data() + k * kNarrowRowBytes, &rows[k], kNarrowRowBytes);
    write_bytes(narrow_.data(), narrow_.size());
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
    stop_writing();
    spare_.clear();
    if (::lseek(fd_, 0, SEEK_SET) != 0)
        throw ImportError("the import: cannot read its temporary file in " + dir_ + ": " + std::strerror(errno));
    narrow_ = std::vector<unsigned char>();
    read_rows_ = 0;
}

bool RowSpill::read(std::vector<ConvertedRow>& out, std::size_t max) {
    const uint64_t left = rows_ - read_rows_;
    const std::size_t count = left < max ? static_cast<std::size_t>(left) : max;
    out.resize(count);
    if (count == 0) return false;
    const std::size_t row_bytes = wide_ ? kWideRowBytes : kNarrowRowBytes;
    unsigned char* into = wide_ ? reinterpret_cast<unsigned char*>(out.data()) : nullptr;
    if (!wide_) {
        narrow_.resize(count * kNarrowRowBytes);
        into = narrow_.data();
    }
    std::size_t got = 0;
    const std::size_t want = count * row_bytes;
    while (got < want) {
        const ssize_t n = ::read(fd_, into + got, want - got);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0)
            throw ImportError("the import: cannot read its temporary file in " + dir_ + ": " +
                              (n < 0 ? std::strerror(errno) : "it ended early"));
        got += static_cast<std::size_t>(n);
    }
    if (!wide_)
        for (std::size_t k = 0; k < count; ++k) {
            std::memcpy(&out[k], narrow_.data() + k * kNarrowRowBytes, kNarrowRowBytes);
            out[k].exchange_micros = 0;
            out[k].fraction = 0;
        }
    read_rows_ += count;
    return true;
}

}  // namespace tarvik::import
