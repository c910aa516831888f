// Copies out of a file's mapping that another program may cut short
// meanwhile: a page past the file's new end faults (SIGBUS) when it is
// read, and a copy that meets one answers false instead, the process going
// on. The tape reader reads a mapped tape's blocks only through here.
//
// The first copy installs a SIGBUS handler for the process. A fault outside
// a copy goes on to the handler that was there before (or ends the process
// as it would have); the library's unloading puts that handler back.
#pragma once

#include <cstddef>

namespace tarvik::engine {

bool copy_mapped(void* to, const void* from, std::size_t size);

}  // namespace tarvik::engine
