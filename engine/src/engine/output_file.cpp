#include "engine/output_file.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

namespace tarvik::engine {

bool is_stream_output(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && !S_ISREG(st.st_mode) && !S_ISDIR(st.st_mode);
}

bool copy_into(const std::string& from, const std::string& to, std::string& error) {
    const auto close = [](std::FILE* f) { std::fclose(f); };
    const std::unique_ptr<std::FILE, decltype(close)> in(std::fopen(from.c_str(), "rb"), close);
    if (!in) {
        error = "cannot read " + from + ": " + std::strerror(errno);
        return false;
    }
    std::FILE* out = std::fopen(to.c_str(), "wb");
    if (out == nullptr) {
        error = to + ": cannot be written: " + std::strerror(errno);
        return false;
    }
    char buffer[1 << 16];
    bool ok = true;
    for (std::size_t n; ok && (n = std::fread(buffer, 1, sizeof buffer, in.get())) > 0;)
        ok = std::fwrite(buffer, 1, n, out) == n;
    ok = ok && !std::ferror(in.get());
    const int err = errno;
    if (std::fclose(out) != 0) ok = false;
    if (!ok) error = to + ": cannot be written: " + std::strerror(err != 0 ? err : errno);
    return ok;
}

}  // namespace tarvik::engine
