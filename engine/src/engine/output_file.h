// Outputs that are not files: a device (/dev/null, a tape drive) or a pipe
// a reader waits on. Written into as they are; a finished output is never
// renamed over one, which would put a file where the device or pipe was.
#pragma once

#include <string>

namespace tarvik::engine {

// The path exists and is neither a regular file nor a folder (symbolic
// links followed: /dev/stdout is the process's own output).
bool is_stream_output(const std::string& path);

// Copies the file `from` into the stream output `to`. False, with `error`
// naming the output and why, when it cannot be opened or written.
bool copy_into(const std::string& from, const std::string& to, std::string& error);

}  // namespace tarvik::engine
