#include "engine/kept_mappings.h"

#include "engine/huge_pages.h"

#include <pthread.h>
#include <sys/mman.h>

#include <atomic>
#include <new>

namespace tarvik::engine {
namespace {

std::atomic<KeptMappings*> g_instances{nullptr};
KeptMappings* g_locked = nullptr;  // the instances a fork locked
std::once_flag g_fork_handlers;

}  // namespace

KeptMappings::KeptMappings(std::size_t limit) : limit_(limit), next_(g_instances.load()) {
    while (!g_instances.compare_exchange_weak(next_, this)) {}
    // A fork waits for every lock, so that the child never starts with one
    // held by a thread it does not have.
    std::call_once(g_fork_handlers, [] { ::pthread_atfork(lock_all, unlock_all, unlock_all); });
}

void KeptMappings::lock_all() {
    g_locked = g_instances.load();
    for (KeptMappings* k = g_locked; k != nullptr; k = k->next_) k->mutex_.lock();
}

void KeptMappings::unlock_all() {
    for (KeptMappings* k = g_locked; k != nullptr; k = k->next_) k->mutex_.unlock();
}

uint8_t* KeptMappings::map(std::size_t length) {
    std::size_t have = 0;
    uint8_t* p = nullptr;
    {
        std::lock_guard lock(mutex_);
        auto it = kept_.lower_bound(length);
        if (it != kept_.end()) {
            have = it->first;
            p = it->second;
            kept_.erase(it);
            bytes_ -= have;
        }
    }
    if (p == nullptr) return map_on_huge_pages(length);
    if (have > length) ::munmap(p + length, have - length);
    return p;
}

void KeptMappings::give(uint8_t* p, std::size_t length) {
    {
        std::lock_guard lock(mutex_);
        if (bytes_ + length <= limit_) {
            try {
                kept_.emplace(length, p);
                bytes_ += length;
                return;
            } catch (const std::bad_alloc&) {
                // no room to note it: unmapped
            }
        }
    }
    ::munmap(p, length);
}

}  // namespace tarvik::engine
