#include "module/thread_data.h"

namespace tarvik {

namespace {

// ThreadState holds over a megabyte of fixed tables, so the data lives on
// the heap. The hot path reads a plain pointer (no guard, no destructor);
// the owner, made on the slow path, deletes the data at thread exit.
thread_local ThreadData* current = nullptr;

struct ThreadDataOwner {
    ThreadData* data = nullptr;
    ~ThreadDataOwner() {
        current = nullptr;
        delete data;
    }
};

[[gnu::noinline]] ThreadData* make_thread_data() {
    thread_local ThreadDataOwner owner;
    owner.data = new ThreadData;
    current = owner.data;
    return current;
}

}  // namespace

ThreadData& thread_data() {
    ThreadData* data = current;
    if (data == nullptr) [[unlikely]] data = make_thread_data();
    return *data;
}

}  // namespace tarvik
