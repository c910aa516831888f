// Work done a few items ahead on threads of its own. The import reads and
// parses a file's batches on one such thread and turns them into events on
// two more, so that the thread writing the tape only merges and writes.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <thread>
#include <utility>
#include <vector>

namespace tarvik::import {

template <typename Item>
class WorkAhead {
public:
    // `take` fills the item it is given (an empty one, or one handed back by
    // next() whose storage it may reuse) with the next piece of work and
    // answers false at the end; the workers call it in turn, one at a time.
    // `make` then does the work, on every worker at once. Items come out of
    // next() in the order `take` gave them, at most about `depth` ahead.
    using Take = std::function<bool(Item&)>;
    using Make = std::function<void(std::size_t worker, Item&)>;

    WorkAhead(Take take, Make make, std::size_t workers, std::size_t depth)
        : take_(std::move(take)), make_(std::move(make)), depth_(depth) {
        try {
            for (std::size_t w = 0; w < workers; ++w) threads_.emplace_back([this, w] { run(w); });
        } catch (...) {
            stop_all();  // the workers that started
            throw;
        }
    }

    ~WorkAhead() { stop_all(); }

    WorkAhead(const WorkAhead&) = delete;
    WorkAhead& operator=(const WorkAhead&) = delete;

    // Swaps the next item into `item` and answers true, or answers false at
    // the end. What `take` or `make` threw is thrown here, in its turn.
    bool next(Item& item) {
        std::unique_lock lock(mutex_);
        changed_.wait(lock, [this] { return done_.contains(delivered_) || (end_ && delivered_ >= *end_); });
        const auto it = done_.find(delivered_);
        if (it == done_.end()) {
            if (end_error_) std::rethrow_exception(std::exchange(end_error_, nullptr));
            return false;
        }
        Done d = std::move(it->second);
        done_.erase(it);
        ++delivered_;
        changed_.notify_all();
        if (d.error) std::rethrow_exception(d.error);
        std::swap(item, d.item);
        spare_.push_back(std::move(d.item));
        return true;
    }

private:
    void stop_all() {
        {
            std::lock_guard lock(mutex_);
            stop_ = true;
        }
        changed_.notify_all();
        for (std::thread& t : threads_) t.join();
    }

    struct Done {
        Item item;
        std::exception_ptr error;
    };

    void run(std::size_t worker) {
        for (;;) {
            Item item;
            uint64_t turn = 0;
            std::unique_lock taking(take_mutex_);
            {
                std::unique_lock lock(mutex_);
                changed_.wait(lock, [this] { return stop_ || end_ || taken_ < delivered_ + depth_; });
                if (stop_ || end_) return;
                turn = taken_++;
                if (!spare_.empty()) {
                    item = std::move(spare_.back());
                    spare_.pop_back();
                }
            }
            std::exception_ptr error;
            bool more = false;
            try {
                more = take_(item);
            } catch (...) {
                error = std::current_exception();
            }
            if (!more) {
                std::lock_guard lock(mutex_);
                end_ = turn;
                end_error_ = std::move(error);
                changed_.notify_all();
                return;
            }
            taking.unlock();
            try {
                make_(worker, item);
            } catch (...) {
                error = std::current_exception();
            }
            std::lock_guard lock(mutex_);
            done_.emplace(turn, Done{std::move(item), std::move(error)});
            changed_.notify_all();
        }
    }

    Take take_;
    Make make_;
    std::size_t depth_;
    std::mutex take_mutex_;  // one take at a time, in turn order
    std::mutex mutex_;       // the rest
    std::condition_variable changed_;
    uint64_t taken_ = 0;      // turns handed out
    uint64_t delivered_ = 0;  // turns given to next()
    std::optional<uint64_t> end_;  // the turn that found the end
    std::exception_ptr end_error_;
    std::map<uint64_t, Done> done_;  // made, by turn, waiting for next()
    std::vector<Item> spare_;
    bool stop_ = false;
    std::vector<std::thread> threads_;  // last: they start once the rest is made
};

}  // namespace tarvik::import
