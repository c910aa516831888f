// Outputs that are not files: a device (/dev/null, a tape drive), a pipe a
// reader waits on, or a descriptor of the process (/dev/stdout) open on
// whatever it is. Written into as they are; a finished output is never
// renamed over one, which would put a file where the device or pipe was.
// An output named through symbolic links goes to the file they lead to.
#pragma once

#include <string>

namespace tarvik::engine {

// The path exists and is neither a regular file nor a folder (symbolic
// links followed), or it names one of the process's descriptors.
bool is_stream_output(const std::string& path);

// The folder a path names its file in ("." for a bare name).
std::string folder_of(const std::string& path);

// The path an output named `path` is written to: the target its symbolic
// links lead to (which need not exist yet), so that a link stays a link;
// `path` itself when it is no link.
std::string output_target(const std::string& path);

// The path's symbolic links lead round in a loop (or past the system's
// limit): no file can be written through it.
bool links_loop(const std::string& path);

// "PID.N": a name part no other writer of this process (another thread,
// an earlier output) nor of another process has, for the temporary files
// an output is made in beside its name.
std::string unique_tag();

// Has the file's contents reach the disk (fdatasync), so that a file
// renamed over an earlier one is never found empty after a crash: false
// with the reason in `why` when it cannot.
bool sync_file(const std::string& path, std::string& why);

}  // namespace tarvik::engine
