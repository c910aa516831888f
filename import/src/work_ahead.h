// Work done a few items ahead on a thread of its own. The import reads and
// parses a file's batches on one such thread and turns them into events on
// another, so that the thread writing the tape only merges and writes.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <exception>
#include <functional>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

namespace tarvik::import {

template <typename Item>
class WorkAhead {
public:
    // `produce` fills the item it is given (an empty one, or one handed back
    // by next() whose storage it may reuse) and answers false at the end.
    // It runs on the thread, at most `depth` items ahead of next().
    WorkAhead(std::function<bool(Item&)> produce, std::size_t depth)
        : produce_(std::move(produce)), depth_(depth), thread_([this] { run(); }) {}

    ~WorkAhead() {
        {
            std::lock_guard lock(mutex_);
            stop_ = true;
        }
        changed_.notify_all();
        thread_.join();
    }

    WorkAhead(const WorkAhead&) = delete;
    WorkAhead& operator=(const WorkAhead&) = delete;

    // Swaps the next item into `item` and answers true, or answers false at
    // the end. What `produce` threw is thrown here, after the items made
    // before it.
    bool next(Item& item) {
        std::unique_lock lock(mutex_);
        changed_.wait(lock, [this] { return !ready_.empty() || done_; });
        if (ready_.empty()) {
            if (error_) std::rethrow_exception(std::exchange(error_, nullptr));
            return false;
        }
        std::swap(item, ready_.front());
        spare_.push_back(std::move(ready_.front()));
        ready_.pop_front();
        changed_.notify_all();
        return true;
    }

private:
    void run() {
        for (;;) {
            Item item;
            {
                std::lock_guard lock(mutex_);
                if (!spare_.empty()) {
                    item = std::move(spare_.back());
                    spare_.pop_back();
                }
            }
            bool more = false;
            std::exception_ptr error;
            try {
                more = produce_(item);
            } catch (...) {
                error = std::current_exception();
            }
            std::unique_lock lock(mutex_);
            changed_.wait(lock, [this] { return stop_ || ready_.size() < depth_; });
            if (stop_) return;
            if (more) {
                ready_.push_back(std::move(item));
            } else {
                done_ = true;
                error_ = std::move(error);
            }
            changed_.notify_all();
            if (done_) return;
        }
    }

    std::function<bool(Item&)> produce_;
    std::size_t depth_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<Item> ready_;
    std::vector<Item> spare_;
    bool done_ = false;
    bool stop_ = false;
    std::exception_ptr error_;
    std::thread thread_;  // last: it starts once the rest is made
};

}  // namespace tarvik::import
