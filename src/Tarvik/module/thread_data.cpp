#include "module/thread_data.h"

namespace tarvik::detail {

constinit thread_local ThreadData* current_thread_data = nullptr;

namespace {

// ThreadState holds over a megabyte of fixed tables, so the data lives on
// the heap; its owner, made with it, deletes it at thread exit.
struct ThreadDataOwner {
    ThreadData* data = nullptr;
    ~ThreadDataOwner() {
        current_thread_data = nullptr;
        delete data;
    }
};

}  // namespace

ThreadData* make_thread_data() {
    thread_local ThreadDataOwner owner;
    owner.data = new ThreadData;
    current_thread_data = owner.data;
    return owner.data;
}

}  // namespace tarvik::detail
