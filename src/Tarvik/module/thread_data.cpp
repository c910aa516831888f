#include "module/thread_data.h"

#include <memory>

namespace tarvik {

ThreadData& thread_data() {
    // ThreadState holds over a megabyte of fixed tables, so the data lives
    // on the heap and the thread-local slot only points to it.
    thread_local std::unique_ptr<ThreadData> data;
    if (!data) [[unlikely]] data = std::make_unique<ThreadData>();
    return *data;
}

}  // namespace tarvik
