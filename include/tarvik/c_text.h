// Texts handed across the C boundary of the libraries Python loads with
// ctypes (import, columnar reads, tape info): copied with malloc, released
// by the caller through the library's own free function.
#pragma once

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <new>
#include <string>
#include <system_error>

namespace tarvik {

// The text as a NUL-terminated copy, or null when no memory could be had.
inline char* c_text_copy(const std::string& text) {
    char* out = static_cast<char*>(std::malloc(text.size() + 1));
    if (out != nullptr) std::memcpy(out, text.c_str(), text.size() + 1);
    return out;
}

// Failures of the system's resources rather than of the input: memory
// that could not be had, a thread that could not be started (std::thread's
// EAGAIN). Callers in Python raise MemoryError and RuntimeError for them.
enum class ResourceFailure { None, Memory, Thread };

inline ResourceFailure resource_failure(const std::exception& e) {
    if (dynamic_cast<const std::bad_alloc*>(&e) != nullptr) return ResourceFailure::Memory;
    if (const auto* s = dynamic_cast<const std::system_error*>(&e);
        s != nullptr && s->code() == std::errc::resource_unavailable_try_again)
        return ResourceFailure::Thread;
    return ResourceFailure::None;
}

// What an exception says to a user: "out of memory", "cannot start a
// thread: Resource temporarily unavailable", else its own text.
inline std::string failure_text(const std::exception& e) {
    switch (resource_failure(e)) {
        case ResourceFailure::Memory: return "out of memory";
        case ResourceFailure::Thread: return std::string("cannot start a thread: ") + std::strerror(EAGAIN);
        case ResourceFailure::None: break;
    }
    return e.what();
}

}  // namespace tarvik
