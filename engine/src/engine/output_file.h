// Outputs that are not files: a device (/dev/null, a tape drive) or a pipe
// a reader waits on. Written into as they are; a finished output is never
// renamed over one, which would put a file where the device or pipe was.
#pragma once

#include <string>

namespace tarvik::engine {

// The path exists and is neither a regular file nor a folder (symbolic
// links followed: /dev/stdout is the process's own output).
bool is_stream_output(const std::string& path);

}  // namespace tarvik::engine
