// The memory the columns of a batch are built in. A batch of a million rows
// holds columns of megabytes each; taken from the usual allocators, each
// column is faulted in 4 KB at a time and copied whenever it grows. Here a
// column of 1 MB or more is a mapping of its own, asked to be backed by
// huge pages, that grows and shrinks in place (mremap) without a copy.
// Mappings the program lets go of are kept, up to 256 MB, for the next
// batches, whose pages the kernel then need not clear again. Smaller
// buffers come from the system allocator.
#pragma once

#include <arrow/memory_pool.h>

namespace tarvik::columnar {

// The pool every column builder of the columnar reader uses. It lives as
// long as the library: batches handed to Python free into it at any time.
arrow::MemoryPool* batch_memory_pool();

}  // namespace tarvik::columnar
