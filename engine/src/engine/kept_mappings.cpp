#include "engine/kept_mappings.h"

#include "engine/huge_pages.h"

#include <pthread.h>
#include <sys/mman.h>

#include <atomic>
#include <iterator>
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
    {
        std::lock_guard lock(mutex_);
        if (const auto it = by_length_.lower_bound(length); it != by_length_.end()) {
            const std::size_t have = it->first;
            uint8_t* const p = it->second;
            forget(by_address_.find(p));
            if (have > length && !keep(p + length, have - length)) ::munmap(p + length, have - length);
            return p;
        }
    }
    return map_on_huge_pages(length);
}

void KeptMappings::give(uint8_t* p, std::size_t length) {
    {
        std::lock_guard lock(mutex_);
        if (bytes_ + length <= limit_ && keep(p, length)) return;
    }
    ::munmap(p, length);
}

void KeptMappings::release() {
    std::lock_guard lock(mutex_);
    for (const auto& [p, length] : by_address_) ::munmap(p, length);
    by_address_.clear();
    by_length_.clear();
    bytes_ = 0;
}

bool KeptMappings::keep(uint8_t* p, std::size_t length) {
    // Noted first, then joined with the ranges it meets by moving the
    // notes' nodes: only the first step allocates, so a failure leaves the
    // kept ranges as they were.
    auto at = by_address_.end();
    try {
        at = by_address_.emplace(p, length).first;
        by_length_.emplace(length, p);
    } catch (const std::bad_alloc&) {
        if (at != by_address_.end()) by_address_.erase(at);
        return false;
    }
    bytes_ += length;
    if (const auto next = std::next(at); next != by_address_.end() && p + length == next->first) {
        const std::size_t more = next->second;
        forget(next);
        stretch(at, length + more);
    }
    if (at != by_address_.begin()) {
        if (const auto before = std::prev(at); before->first + before->second == at->first) {
            const std::size_t joined = before->second + at->second;
            forget(at);
            stretch(before, joined);
        }
    }
    return true;
}

void KeptMappings::stretch(ByAddress::iterator at, std::size_t length) {
    auto by_length = by_length_.extract(find_length(at));
    by_length.key() = length;
    by_length_.insert(std::move(by_length));
    bytes_ += length - at->second;
    at->second = length;
}

KeptMappings::ByLength::iterator KeptMappings::find_length(ByAddress::iterator at) {
    auto it = by_length_.lower_bound(at->second);
    while (it->second != at->first) ++it;
    return it;
}

void KeptMappings::forget(ByAddress::iterator at) {
    by_length_.erase(find_length(at));
    bytes_ -= at->second;
    by_address_.erase(at);
}

}  // namespace tarvik::engine
