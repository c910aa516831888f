#include "engine/output_file.h"

#include <sys/stat.h>
#include <unistd.h>

#include <functional>

namespace tarvik::engine {
namespace {

constexpr int kMostLinks = 40;  // as the kernel follows

// Calls `seen` with `path` and each path its symbolic links lead to, up to
// the first that is no link (or the first `seen` answers true for).
bool along_links(const std::string& path, const std::function<bool(const std::string&)>& seen,
                 std::string* last = nullptr) {
    std::string at = path;
    for (int k = 0; k <= kMostLinks; ++k) {
        if (seen(at)) return true;
        char target[4096];
        const ssize_t n = ::readlink(at.c_str(), target, sizeof target - 1);
        if (n <= 0) break;
        const std::string next(target, static_cast<std::size_t>(n));
        const std::size_t slash = at.rfind('/');
        at = next.front() == '/' || slash == std::string::npos ? next : at.substr(0, slash + 1) + next;
    }
    if (last != nullptr) *last = at;
    return false;
}

bool names_a_descriptor(const std::string& path) {
    return path.rfind("/dev/fd/", 0) == 0 ||
           (path.rfind("/proc/", 0) == 0 && path.find("/fd/") != std::string::npos);
}

}  // namespace

bool is_stream_output(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0 || S_ISDIR(st.st_mode)) return false;
    return !S_ISREG(st.st_mode) || along_links(path, names_a_descriptor);
}

std::string output_target(const std::string& path) {
    std::string last;
    along_links(path, [](const std::string&) { return false; }, &last);
    return last;
}

}  // namespace tarvik::engine
