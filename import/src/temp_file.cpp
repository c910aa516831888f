#include "temp_file.h"

#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "import_error.h"

namespace tarvik::import {

int unnamed_temp_file(const std::string& dir, const char* what) {
    const std::string pattern = (dir.empty() ? std::string("/tmp") : dir) + "/tarvik-import-XXXXXX";
    std::vector<char> path(pattern.begin(), pattern.end());
    path.push_back('\0');
    const int fd = ::mkstemp(path.data());
    if (fd < 0)
        throw ImportError(std::string(what) + ": cannot create a temporary file in " + pattern + ": " +
                          std::strerror(errno));
    ::unlink(path.data());
    return fd;
}

}  // namespace tarvik::import
