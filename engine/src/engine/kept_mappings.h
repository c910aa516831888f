// Large anonymous mappings let go of and kept for the next ones. The
// kernel clears every page a process touches for the first time, on the
// thread that touches it: for the state tables of a day of 63,000
// instruments, or a batch of a million quotes' columns, tens of megabytes
// each time. A process that replays or reads one day after another reuses
// the pages of the last instead. What is kept is bounded; the rest is
// unmapped as usual. Kept pages hold what their last owner left: every
// user writes its memory before it reads it.
//
// A kept mapping is a range of addresses, not always one whole mapping of
// the kernel's: a longer one is cut to the length asked for and its rest
// kept, a user may give back the tail of what it took, and ranges that
// meet are kept as one. So the columns of a short last batch, cut to their
// rows, are whole again once the batch is let go of, ready for the next
// full one. A user never relies on a range being one kernel mapping
// (mremap may refuse one that is not).
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
    // one (the rest of a longer one kept), else a fresh one on huge pages
    // (huge_pages.h); null when there is neither.
    uint8_t* map(std::size_t length);
    // Keeps the range (whole huge pages) if there is room, else unmaps it.
    void give(uint8_t* p, std::size_t length);
    // Unmaps every kept range; what is given later is kept again.
    void release();

private:
    static void lock_all();
    static void unlock_all();

    using ByAddress = std::map<uint8_t*, std::size_t>;
    using ByLength = std::multimap<std::size_t, uint8_t*>;

    // Under the lock: notes the range, joined with kept ranges it meets;
    // false (nothing noted) when there is no memory to note it.
    bool keep(uint8_t* p, std::size_t length);
    void stretch(ByAddress::iterator at, std::size_t length);
    ByLength::iterator find_length(ByAddress::iterator at);
    void forget(ByAddress::iterator at);

    const std::size_t limit_;
    std::mutex mutex_;
    ByAddress by_address_;  // each kept range once, by where it starts
    ByLength by_length_;    // the same ranges, by length
    std::size_t bytes_ = 0;
    KeptMappings* next_;  // every instance, for a fork
};

}  // namespace tarvik::engine
