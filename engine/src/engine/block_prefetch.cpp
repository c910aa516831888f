#include "engine/block_prefetch.h"

#include <cstdlib>
#include <cstring>
#include <new>
#include <system_error>

namespace tarvik::engine {

int32_t BlockPrefetch::next_block(TapeReader& reader, EventBlock& block) {
    if (no_thread_) return reader.next_block(block);
    const std::size_t position = reader.position();
    if (position != expected_) {
        stop();
        start(reader, position);
        if (no_thread_) return reader.next_block(block);
    }
    std::unique_lock lock(mutex_);
    if (holding_) {
        ++released_;
        holding_ = false;
        emptied_.notify_one();
    }
    filled_.wait(lock, [this] { return read_ > released_; });
    holding_ = true;
    const Slot& slot = slots_[released_ % kSlots];
    lock.unlock();
    if (slot.result != 1) {
        // The thread has stopped at the end or at a bad block; asking again
        // reads afresh.
        expected_ = SIZE_MAX;
        return slot.result;
    }
    block = slot.block;
    expected_ = slot.next;
    reader.seek(slot.next);
    return 1;
}

namespace {

// TARVIK_INFLATE_AHEAD=0 reads and inflates on the replay's own thread:
// for machines where every core already replays a day of its own (many
// days at once).
bool inflate_ahead() {
    const char* text = std::getenv("TARVIK_INFLATE_AHEAD");
    return text == nullptr || std::strcmp(text, "0") != 0;
}

}  // namespace

void BlockPrefetch::start(const TapeReader& reader, std::size_t position) {
    read_ = released_ = 0;
    holding_ = stopping_ = false;
    if (!inflate_ahead()) {
        no_thread_ = true;
        return;
    }
    try {
        // Only a packed block is inflated into a room of its own.
        if (reader.packed() && rooms_.empty()) rooms_.resize(kSlots * kMaxBlockEventBytes / sizeof(uint64_t));
        thread_ = std::thread(&BlockPrefetch::read_ahead, this, &reader, position);
        expected_ = position;
    } catch (const std::bad_alloc&) {
        no_thread_ = true;
    } catch (const std::system_error&) {
        no_thread_ = true;
    }
}

void BlockPrefetch::stop() {
    if (!thread_.joinable()) return;
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    emptied_.notify_one();
    thread_.join();
    expected_ = SIZE_MAX;
}

void BlockPrefetch::read_ahead(const TapeReader* reader, std::size_t position) {
    for (uint64_t n = 0;; ++n) {
        {
            std::unique_lock lock(mutex_);
            emptied_.wait(lock, [this, n] { return stopping_ || n - released_ < kSlots; });
            if (stopping_) return;
        }
        Slot& slot = slots_[n % kSlots];
        unsigned char* into = rooms_.empty() ? nullptr : room(n % kSlots);
        slot.result = reader->read_block_from(position, slot.block, slot.next, inflater_, into);
        {
            std::lock_guard lock(mutex_);
            read_ = n + 1;
        }
        filled_.notify_one();
        if (slot.result != 1) return;
        position = slot.next;
    }
}

}  // namespace tarvik::engine
