// Large anonymous mappings let go of and kept for the next ones. The
// kernel clears every page a process touches for the first time, on the
// thread that touches it: for the state tables of a day of 63,000
// instruments, or a batch of a million quotes' columns, tens of megabytes
// each time. A process that replays or reads one day after another reuses
// the pages of the last instead. What is kept is bounded; the rest is
// unmapped as usual. Kept pages hold what their last owner left: every
// user writes its memory before it reads it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <mutex>

namespace tarvik::engine {

class KeptMappings {
public:
    // Lives as long as the process (made with new and never destroyed):
    // mappings are let go of up to the process's end.
    explicit KeptMappings(std::size_t limit);
    KeptMappings(const KeptMappings&) = delete;
    KeptMappings& operator=(const KeptMappings&) = delete;

    // A mapping of `length` bytes (a multiple of the huge page): a kept
    // one (the tail of a longer one unmapped), else a fresh one on huge
    // pages (huge_pages.h); null when there is neither.
    uint8_t* map(std::size_t length);
    // Keeps the mapping if there is room, else unmaps it.
    void give(uint8_t* p, std::size_t length);

private:
    static void lock_all();
    static void unlock_all();

    const std::size_t limit_;
    std::mutex mutex_;
    std::multimap<std::size_t, uint8_t*> kept_;
    std::size_t bytes_ = 0;
    KeptMappings* next_;  // every instance, for a fork
};

}  // namespace tarvik::engine
