#include "row_handoff.h"

#include <exception>
#include <system_error>

namespace tarvik::columnar {
namespace {

// Chunks in all: one being written, one being filled, one waiting, so that
// neither side waits on the other while both keep pace.
constexpr std::size_t kChunks = 3;

// The rows put() streamed are in memory before the chunk is handed over:
// streamed stores are not ordered by the lock that hands it over.
void streamed_rows_fence() {
#if defined(__SSE2__)
    _mm_sfence();
#endif
}

}  // namespace

RowHandoff::RowHandoff(std::function<bool(RowChunk&)> fill, bool threaded) : fill_(std::move(fill)) {
    if (!threaded) return;
    for (std::size_t i = 0; i < kChunks; ++i) {
        chunks_.emplace_back(new RowChunk);  // its rows are written before they are read
        free_.push_back(chunks_.back().get());
    }
    scratch_.reset(new RowChunk);  // untouched unless a stop comes
    current_ = free_.back();
    free_.pop_back();
    try {
        thread_ = std::thread([this] { work(); });
    } catch (const std::system_error&) {
        current_ = nullptr;  // the caller fills rows itself
    }
}

RowHandoff::~RowHandoff() { finish(); }

bool RowHandoff::fill_now(RowChunk& chunk) {
    bool go = false;
    try {
        go = fill_(chunk);
    } catch (const std::exception&) {
        failure_ = std::current_exception();
    }
    chunk.clear();
    return go;
}

bool RowHandoff::hand_over() {
    if (stopped_.load(std::memory_order_relaxed)) {
        current_->clear();
        return false;
    }
    streamed_rows_fence();
    std::unique_lock lock(mutex_);
    waiting_.push_back(current_);
    filled_.notify_one();
    emptied_.wait(lock, [this] { return !free_.empty() || stopped_; });
    if (stopped_) {
        current_ = scratch_.get();
        current_->clear();
        return false;
    }
    current_ = free_.back();
    free_.pop_back();
    return true;
}

void RowHandoff::work() {
    std::unique_lock lock(mutex_);
    for (;;) {
        filled_.wait(lock, [this] { return !waiting_.empty() || ended_; });
        if (waiting_.empty()) return;
        RowChunk* chunk = waiting_.front();
        waiting_.pop_front();
        lock.unlock();
        // Once stopped, what is left is let go unfilled.
        bool go = false;
        if (!stopped_.load(std::memory_order_relaxed)) go = fill_now(*chunk);
        else chunk->clear();
        lock.lock();
        if (!go) stopped_ = true;
        free_.push_back(chunk);
        emptied_.notify_one();
    }
}

void RowHandoff::finish() {
    if (!thread_.joinable()) return;
    {
        streamed_rows_fence();
        std::lock_guard lock(mutex_);
        if (current_->count > 0 && !stopped_) waiting_.push_back(current_);
        ended_ = true;
    }
    filled_.notify_one();
    thread_.join();
    current_ = nullptr;
}

}  // namespace tarvik::columnar
