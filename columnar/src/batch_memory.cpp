#include "batch_memory.h"

#include <sys/mman.h>

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
        stats_.DidFreeBytes(size);
    }

    int64_t bytes_allocated() const override { return stats_.bytes_allocated(); }
    int64_t max_memory() const override { return stats_.max_memory(); }
    int64_t total_bytes_allocated() const override { return stats_.total_bytes_allocated(); }
    int64_t num_allocations() const override { return stats_.num_allocations(); }
    std::string backend_name() const override { return "tarvik-columns"; }

private:
    static arrow::MemoryPool* system() { return arrow::system_memory_pool(); }

    arrow::Status counted(arrow::Status status, int64_t size) {
        if (status.ok()) stats_.DidAllocateBytes(size);
        return status;
    }
    arrow::Status moved(arrow::Status status, int64_t old_size, int64_t new_size) {
        if (status.ok()) stats_.DidReallocateBytes(old_size, new_size);
        return status;
    }

    arrow::internal::MemoryPoolStats stats_;
};

}  // namespace

arrow::MemoryPool* batch_memory_pool() {
    // Never destroyed: buffers handed to Python may be freed at any time,
    // even while the process exits.
    static auto* pool = new BatchMemoryPool();
    return pool;
}

}  // namespace tarvik::columnar
