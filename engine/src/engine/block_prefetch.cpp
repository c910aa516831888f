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
        slots_[released_ % kSlots].ready = false;
        ++released_;
        holding_ = false;
        emptied_.notify_one();
    }
    Slot& slot = slots_[released_ % kSlots];
    while (!slot.ready) {
        if (!can_take()) {
            filled_.wait(lock);
            continue;
        }
        uint64_t n;
        std::size_t at;
        take(reader, n, at);
        lock.unlock();
        read_taken(reader, n, at, replay_inflater_);
        lock.lock();
    }
    holding_ = true;
    lock.unlock();
    if (slot.result != 1) {
        // The taking has stopped at the end or at a bad block; asking
        // again reads afresh.
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
    taken_ = released_ = 0;
    take_at_ = position;
    taking_ = true;
    holding_ = stopping_ = false;
    for (Slot& slot : slots_) slot.ready = false;
    if (!inflate_ahead()) {
        no_thread_ = true;
        return;
    }
    try {
        // Each block read ahead is inflated (or copied) into a room of its own.
        if (rooms_.empty()) rooms_.resize(kSlots * kMaxBlockEventBytes / sizeof(uint64_t));
        thread_ = std::thread(&BlockPrefetch::read_ahead, this, &reader);
    } catch (const std::bad_alloc&) {
        no_thread_ = true;
        return;
    } catch (const std::system_error&) {
        no_thread_ = true;
        return;
    }
    expected_ = position;
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

void BlockPrefetch::take(const TapeReader& reader, uint64_t& n, std::size_t& position) {
    n = taken_++;
    position = take_at_;
    // The next taker may start on the following block at once; a head this
    // one cannot pass (the end, or a damaged tape) ends the taking, and the
    // block here says which it was.
    taking_ = reader.next_position(position, take_at_);
}

void BlockPrefetch::read_taken(const TapeReader& reader, uint64_t n, std::size_t position, BlockInflater& inflater) {
    Slot& slot = slots_[n % kSlots];
    unsigned char* into = rooms_.empty() ? nullptr : room(n % kSlots);
    const int32_t result = reader.read_block_from(position, slot.block, slot.next, inflater, into);
    {
        std::lock_guard lock(mutex_);
        slot.result = result;
        slot.ready = true;
        // A bad block ends the taking; blocks already taken after it are
        // read, never delivered.
        if (result != 1) taking_ = false;
    }
    filled_.notify_one();
}

void BlockPrefetch::read_ahead(const TapeReader* reader) {
    for (;;) {
        uint64_t n;
        std::size_t position;
        {
            std::unique_lock lock(mutex_);
            emptied_.wait(lock, [this] { return stopping_ || can_take(); });
            if (stopping_) return;
            take(*reader, n, position);
        }
        read_taken(*reader, n, position, thread_inflater_);
    }
}

}  // namespace tarvik::engine
