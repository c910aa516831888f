// An allocator for the run's large per-symbol tables. A message reaches
// its symbol's entries at no order, so on a day of many instruments each
// one would miss the TLB as well as the cache: tables of a megabyte or more
// are mapped on their own, on huge-page bounds, and asked to be backed by
// huge pages. Such a table let go of is kept for the next run's tables
// (kept_mappings.h), so that a process replaying one day after another
// does not have the kernel clear its tables' pages every time. Smaller
// tables come from the heap as usual.
#pragma once

#include <cstddef>
#include <cstdint>
#include <new>

namespace tarvik::engine {

inline constexpr std::size_t kHugePageThreshold = std::size_t{1} << 20;
inline constexpr std::size_t kHugePage = std::size_t{2} << 20;

// The length a mapping of `bytes` takes: whole huge pages.
inline std::size_t huge_page_length(std::size_t bytes) { return (bytes + kHugePage - 1) & ~(kHugePage - 1); }

// A fresh mapping of `length` bytes (a multiple of kHugePage) that starts
// on a huge page and is asked to be backed by huge pages, or null.
uint8_t* map_on_huge_pages(std::size_t length);

// A table's mapping: a kept one, else a fresh one; null when neither.
uint8_t* map_table(std::size_t bytes);
void unmap_table(void* p, std::size_t bytes);

template <typename T>
struct HugePageAllocator {
    using value_type = T;

    HugePageAllocator() = default;
    template <typename U>
    HugePageAllocator(const HugePageAllocator<U>&) noexcept {}

    T* allocate(std::size_t n) {
        const std::size_t bytes = n * sizeof(T);
        if (bytes < kHugePageThreshold) return static_cast<T*>(::operator new(bytes, std::align_val_t{alignof(T)}));
        uint8_t* p = map_table(bytes);
        if (p == nullptr) throw std::bad_alloc();
        return reinterpret_cast<T*>(p);
    }
    void deallocate(T* p, std::size_t n) noexcept {
        const std::size_t bytes = n * sizeof(T);
        if (bytes < kHugePageThreshold) {
            ::operator delete(p, std::align_val_t{alignof(T)});
            return;
        }
        unmap_table(p, bytes);
    }

    template <typename U>
    bool operator==(const HugePageAllocator<U>&) const noexcept { return true; }
};

}  // namespace tarvik::engine
