#include "engine/output_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace tarvik::engine {
namespace {

constexpr int kMostLinks = 40;  // as the kernel follows

// `path` and each path its symbolic links lead to, the last one no link
// (or the one where following them stopped).
std::vector<std::string> link_chain(const std::string& path) {
    std::vector<std::string> chain{path};
    char target[4096];
    for (int k = 0; k < kMostLinks; ++k) {
        const std::string& at = chain.back();
        const ssize_t n = ::readlink(at.c_str(), target, sizeof target - 1);
        if (n <= 0) break;
        const std::string next(target, static_cast<std::size_t>(n));
        chain.push_back(next.front() == '/' ? next : folder_of(at) + "/" + next);
    }
    return chain;
}

bool names_a_descriptor(const std::string& path) {
    return path.rfind("/dev/fd/", 0) == 0 ||
           (path.rfind("/proc/", 0) == 0 && path.find("/fd/") != std::string::npos);
}

}  // namespace

std::string folder_of(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
}

bool is_stream_output(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0 || S_ISDIR(st.st_mode)) return false;
    if (!S_ISREG(st.st_mode)) return true;
    const std::vector<std::string> chain = link_chain(path);
    return std::any_of(chain.begin(), chain.end(), names_a_descriptor);
}

std::string output_target(const std::string& path) { return link_chain(path).back(); }

bool links_loop(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) != 0 && errno == ELOOP;
}

std::string unique_tag() {
    static std::atomic<uint64_t> made{0};
    return std::to_string(::getpid()) + "." + std::to_string(made.fetch_add(1, std::memory_order_relaxed));
}

bool sync_file(const std::string& path, std::string& why) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0 || ::fdatasync(fd) != 0) {
        why = std::strerror(errno);
        if (fd >= 0) ::close(fd);
        return false;
    }
    ::close(fd);
    return true;
}

}  // namespace tarvik::engine
