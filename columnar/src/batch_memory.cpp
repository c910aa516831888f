#include "batch_memory.h"

#include <sys/mman.h>

#include <atomic>
#include <cstdint>
#include <cstring>

#include "engine/huge_pages.h"
#include "engine/kept_mappings.h"

namespace tarvik::columnar {
namespace {

constexpr int64_t kHugePage = static_cast<int64_t>(engine::kHugePage);
constexpr int64_t kMappedFrom = int64_t{1} << 20;

bool mapped(int64_t size) { return size >= kMappedFrom; }
std::size_t mapping_length(int64_t size) { return engine::huge_page_length(static_cast<std::size_t>(size)); }

// Column mappings a program lets go of, kept for the next batches: for a
// batch of a million quotes with the NBBO some 80 MB the kernel need not
// clear again. Room for about three such batches, what an iter_tape loop
// has in flight. (Marking them MADV_FREE, so that the kernel could take
// them back, made reading into them slower than into fresh pages.)
constexpr std::size_t kKeptColumnBytes = std::size_t{256} << 20;

engine::KeptMappings& kept_columns() {
    static auto* kept = new engine::KeptMappings(kKeptColumnBytes);
    return *kept;
}

class BatchMemoryPool final : public arrow::MemoryPool {
public:
    arrow::Status Allocate(int64_t size, int64_t alignment, uint8_t** out) override {
        if (size < 0) return arrow::Status::Invalid("negative allocation size");
        if (!mapped(size) || alignment > kHugePage) return counted(system()->Allocate(size, alignment, out), size);
        uint8_t* p = kept_columns().map(mapping_length(size));
        if (p == nullptr) return arrow::Status::OutOfMemory("cannot map ", size, " bytes for a column");
        *out = p;
        return counted(arrow::Status::OK(), size);
    }

    arrow::Status Reallocate(int64_t old_size, int64_t new_size, int64_t alignment, uint8_t** ptr) override {
        if (new_size < 0) return arrow::Status::Invalid("negative allocation size");
        if (alignment > kHugePage) return moved(system()->Reallocate(old_size, new_size, alignment, ptr), old_size, new_size);
        if (mapped(old_size) && mapped(new_size)) {
            const std::size_t from = mapping_length(old_size), to = mapping_length(new_size);
            if (to < from) {
                // The rest is kept, to be joined again with the rest of the
                // column when the column is let go of.
                kept_columns().give(*ptr + to, from - to);
            } else if (to > from) {
                void* p = ::mremap(*ptr, from, to, MREMAP_MAYMOVE);
                if (p == MAP_FAILED) {
                    // A kept range need not be one mapping of the kernel's,
                    // which mremap asks for: a copy then.
                    uint8_t* fresh = kept_columns().map(to);
                    if (fresh == nullptr) return arrow::Status::OutOfMemory("cannot grow a column to ", new_size, " bytes");
                    std::memcpy(fresh, *ptr, static_cast<std::size_t>(old_size));
                    kept_columns().give(*ptr, from);
                    p = fresh;
                } else {
                    ::madvise(p, to, MADV_HUGEPAGE);
                }
                *ptr = static_cast<uint8_t*>(p);
            }
            return moved(arrow::Status::OK(), old_size, new_size);
        }
        if (!mapped(old_size) && !mapped(new_size))
            return moved(system()->Reallocate(old_size, new_size, alignment, ptr), old_size, new_size);
        // From one kind of memory to the other: a copy of what fits.
        uint8_t* fresh = nullptr;
        ARROW_RETURN_NOT_OK(Allocate(new_size, alignment, &fresh));
        std::memcpy(fresh, *ptr, static_cast<std::size_t>(old_size < new_size ? old_size : new_size));
        Free(*ptr, old_size, alignment);
        *ptr = fresh;
        return arrow::Status::OK();
    }

    void Free(uint8_t* buffer, int64_t size, int64_t alignment) override {
        if (mapped(size) && alignment <= kHugePage) kept_columns().give(buffer, mapping_length(size));
        else system()->Free(buffer, size, alignment);
        bytes_.fetch_sub(size, std::memory_order_relaxed);
    }

    int64_t bytes_allocated() const override { return bytes_.load(std::memory_order_relaxed); }
    int64_t max_memory() const override { return max_.load(std::memory_order_relaxed); }
    int64_t total_bytes_allocated() const override { return total_.load(std::memory_order_relaxed); }
    int64_t num_allocations() const override { return allocations_.load(std::memory_order_relaxed); }
    std::string backend_name() const override { return "tarvik-columns"; }

private:
    static arrow::MemoryPool* system() { return arrow::system_memory_pool(); }

    arrow::Status counted(arrow::Status status, int64_t size) {
        if (!status.ok()) return status;
        allocations_.fetch_add(1, std::memory_order_relaxed);
        total_.fetch_add(size, std::memory_order_relaxed);
        grow(size);
        return status;
    }
    arrow::Status moved(arrow::Status status, int64_t old_size, int64_t new_size) {
        if (!status.ok()) return status;
        if (new_size > old_size) total_.fetch_add(new_size - old_size, std::memory_order_relaxed);
        grow(new_size - old_size);
        return status;
    }
    void grow(int64_t by) {
        const int64_t now = bytes_.fetch_add(by, std::memory_order_relaxed) + by;
        int64_t seen = max_.load(std::memory_order_relaxed);
        while (now > seen && !max_.compare_exchange_weak(seen, now, std::memory_order_relaxed)) {}
    }

    std::atomic<int64_t> bytes_{0}, max_{0}, total_{0}, allocations_{0};
};

}  // namespace

arrow::MemoryPool* batch_memory_pool() {
    // Never destroyed: buffers handed to Python may be freed at any time,
    // even while the process exits.
    static auto* pool = new BatchMemoryPool();
    return pool;
}

}  // namespace tarvik::columnar
