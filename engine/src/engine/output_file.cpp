#include "engine/output_file.h"

#include <sys/stat.h>

namespace tarvik::engine {

bool is_stream_output(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && !S_ISREG(st.st_mode) && !S_ISDIR(st.st_mode);
}

}  // namespace tarvik::engine
