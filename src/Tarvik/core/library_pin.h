// LibraryPin: holds the library in memory while a call into it may call
// back into Python. A callable that unloads or reloads the library there
// releases the thread's handle, and without the pin the library's code that
// the callback returns to would be unmapped.
#pragma once

#include <dlfcn.h>

namespace tarvik {

class LibraryPin {
public:
    // `entry_point`: any entry point of the library to hold.
    template <typename Function>
    explicit LibraryPin(Function* entry_point) {
        Dl_info info;
        if (dladdr(reinterpret_cast<void*>(entry_point), &info) != 0 && info.dli_fname != nullptr) {
            handle_ = dlopen(info.dli_fname, RTLD_NOW | RTLD_NOLOAD);
        }
    }
    LibraryPin(const LibraryPin&) = delete;
    LibraryPin& operator=(const LibraryPin&) = delete;
    ~LibraryPin() {
        if (handle_ != nullptr) dlclose(handle_);
    }

private:
    void* handle_ = nullptr;
};

}  // namespace tarvik
