// The memory of an import's batches. A CSV block, a Parquet column chunk
// and the columns parsed from them are megabytes each, made for every few
// thousand rows and let go of a moment later on another thread. The system
// allocator hands such sizes to the kernel and takes them back afresh, so
// the kernel clears their pages again for every batch: half of a CSV
// import's page faults, and a sixth of its time for quotes. Large
// buffers let go of are kept here instead, for the next ones of their size,
// up to a bound; smaller ones are the system allocator's as before.
// (Arrow's default allocator, mimalloc, keeps memory per thread, and a
// 100 M-row CSV import grew to twice the memory with it.)
#pragma once

#include <arrow/memory_pool.h>

namespace tarvik::import {

// The pool every input of an import reads into; it lives as long as the
// process, since a batch may be let go of after its import returned.
arrow::MemoryPool* batch_memory();

// Gives the kept buffers back to the system: at the end of an import, so
// that a program that imports once holds none of it afterwards. Another
// import running meanwhile only finds fewer buffers to reuse.
void release_batch_memory();

}  // namespace tarvik::import
