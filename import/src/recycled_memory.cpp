#include "recycled_memory.h"

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstring>
#include <map>
#include <mutex>
#include <vector>

namespace tarvik::import {
namespace {

constexpr int64_t kKeptFrom = int64_t{64} << 10;            // smaller buffers: the system allocator's
constexpr int64_t kKeptBytes = int64_t{64} << 20;           // at most kept at once
constexpr int64_t kAlignment = arrow::kDefaultBufferAlignment;

// The capacity a buffer of `size` bytes is made with: a quarter-step of
// its power of two, so that a buffer fits any later one of its class and
// a class wastes at most a fifth of what it holds.
int64_t capacity_of(int64_t size) {
    const auto step = static_cast<int64_t>(std::bit_floor(static_cast<uint64_t>(size)) / 4);
    return (size + step - 1) / step * step;
}

class RecycledMemory final : public arrow::MemoryPool {
public:
    arrow::Status Allocate(int64_t size, int64_t alignment, uint8_t** out) override {
        if (size < 0) return arrow::Status::Invalid("negative allocation size");
        if (!kept_size(size, alignment)) return counted(system()->Allocate(size, alignment, out), size);
        const int64_t capacity = capacity_of(size);
        if (uint8_t* p = take(capacity)) {
            *out = p;
            return counted(arrow::Status::OK(), size);
        }
        return counted(system()->Allocate(capacity, kAlignment, out), size);
    }

    arrow::Status Reallocate(int64_t old_size, int64_t new_size, int64_t alignment, uint8_t** ptr) override {
        if (new_size < 0) return arrow::Status::Invalid("negative allocation size");
        const bool old_kept = kept_size(old_size, alignment), new_kept = kept_size(new_size, alignment);
        if (!old_kept && !new_kept) return moved(system()->Reallocate(old_size, new_size, alignment, ptr), old_size, new_size);
        if (old_kept && new_kept && capacity_of(old_size) == capacity_of(new_size)) {
            return moved(arrow::Status::OK(), old_size, new_size);  // it fits its capacity
        }
        uint8_t* fresh = nullptr;
        ARROW_RETURN_NOT_OK(Allocate(new_size, alignment, &fresh));
        std::memcpy(fresh, *ptr, static_cast<std::size_t>(std::min(old_size, new_size)));
        Free(*ptr, old_size, alignment);
        *ptr = fresh;
        return arrow::Status::OK();
    }

    void Free(uint8_t* buffer, int64_t size, int64_t alignment) override {
        stats_.DidFreeBytes(size);
        if (!kept_size(size, alignment)) return system()->Free(buffer, size, alignment);
        const int64_t capacity = capacity_of(size);
        if (!keep(buffer, capacity)) system()->Free(buffer, capacity, kAlignment);
    }

    void release() {
        std::map<int64_t, std::vector<uint8_t*>> kept;
        {
            std::lock_guard lock(mutex_);
            kept.swap(kept_);
            kept_bytes_ = 0;
        }
        for (const auto& [capacity, buffers] : kept)
            for (uint8_t* p : buffers) system()->Free(p, capacity, kAlignment);
    }

    int64_t bytes_allocated() const override { return stats_.bytes_allocated(); }
    int64_t max_memory() const override { return stats_.max_memory(); }
    int64_t total_bytes_allocated() const override { return stats_.total_bytes_allocated(); }
    int64_t num_allocations() const override { return stats_.num_allocations(); }
    std::string backend_name() const override { return "tarvik-import"; }

private:
    static arrow::MemoryPool* system() { return arrow::system_memory_pool(); }
    static bool kept_size(int64_t size, int64_t alignment) { return size >= kKeptFrom && alignment <= kAlignment; }

    uint8_t* take(int64_t capacity) {
        std::lock_guard lock(mutex_);
        auto at = kept_.find(capacity);
        if (at == kept_.end() || at->second.empty()) return nullptr;
        uint8_t* p = at->second.back();
        at->second.pop_back();
        kept_bytes_ -= capacity;
        return p;
    }

    bool keep(uint8_t* p, int64_t capacity) {
        std::lock_guard lock(mutex_);
        if (kept_bytes_ + capacity > kKeptBytes) return false;
        try {
            kept_[capacity].push_back(p);
        } catch (const std::bad_alloc&) {
            return false;  // no room to note it: let it go
        }
        kept_bytes_ += capacity;
        return true;
    }

    arrow::Status counted(arrow::Status status, int64_t size) {
        if (status.ok()) stats_.DidAllocateBytes(size);
        return status;
    }
    arrow::Status moved(arrow::Status status, int64_t old_size, int64_t new_size) {
        if (status.ok()) stats_.DidReallocateBytes(old_size, new_size);
        return status;
    }

    std::mutex mutex_;
    std::map<int64_t, std::vector<uint8_t*>> kept_;  // by capacity
    int64_t kept_bytes_ = 0;
    arrow::internal::MemoryPoolStats stats_;
};

RecycledMemory& recycled() {
    // Never destroyed: a batch may be let go of while the process exits.
    static auto* pool = new RecycledMemory();
    return *pool;
}

}  // namespace

arrow::MemoryPool* batch_memory() { return &recycled(); }

void release_batch_memory() { recycled().release(); }

}  // namespace tarvik::import
