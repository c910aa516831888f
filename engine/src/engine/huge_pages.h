// An allocator for the run's large per-symbol tables. A message reaches
// its symbol's entries at no order, so on a day of many instruments each
// one would miss the TLB as well as the cache: tables of a megabyte or more
// are mapped on their own and asked to be backed by huge pages. Smaller
// ones come from the heap as usual.
#pragma once

#include <cstddef>
#include <new>

#include <sys/mman.h>

namespace tarvik::engine {

inline constexpr std::size_t kHugePageThreshold = std::size_t{1} << 20;

template <typename T>
struct HugePageAllocator {
    using value_type = T;

    HugePageAllocator() = default;
    template <typename U>
    HugePageAllocator(const HugePageAllocator<U>&) noexcept {}

    T* allocate(std::size_t n) {
        const std::size_t bytes = n * sizeof(T);
        if (bytes < kHugePageThreshold) return static_cast<T*>(::operator new(bytes, std::align_val_t{alignof(T)}));
        void* p = ::mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (p == MAP_FAILED) throw std::bad_alloc();
        ::madvise(p, bytes, MADV_HUGEPAGE);  // advice only: small pages still work
        return static_cast<T*>(p);
    }
    void deallocate(T* p, std::size_t n) noexcept {
        const std::size_t bytes = n * sizeof(T);
        if (bytes < kHugePageThreshold) {
            ::operator delete(p, std::align_val_t{alignof(T)});
            return;
        }
        ::munmap(p, bytes);
    }

    template <typename U>
    bool operator==(const HugePageAllocator<U>&) const noexcept { return true; }
};

}  // namespace tarvik::engine
