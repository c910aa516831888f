// Arrow's "out of memory" is the system's failure, not the input's: it is
// thrown as std::bad_alloc, which the import's callers tell as such
// ("out of memory", MemoryError) instead of as a fault of the file.
#pragma once

#include <arrow/status.h>

#include <new>

namespace tarvik::import {

inline void throw_if_out_of_memory(const arrow::Status& status) {
    if (status.IsOutOfMemory()) throw std::bad_alloc();
}

}  // namespace tarvik::import
