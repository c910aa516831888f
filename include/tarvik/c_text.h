// Texts handed across the C boundary of the libraries Python loads with
// ctypes (import, columnar reads, tape info): copied with malloc, released
// by the caller through the library's own free function.
#pragma once

#include <cstdlib>
#include <cstring>
#include <string>

namespace tarvik {

// The text as a NUL-terminated copy, or null when no memory could be had.
inline char* c_text_copy(const std::string& text) {
    char* out = static_cast<char*>(std::malloc(text.size() + 1));
    if (out != nullptr) std::memcpy(out, text.c_str(), text.size() + 1);
    return out;
}

}  // namespace tarvik
