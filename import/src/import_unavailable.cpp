// The import in a build without Apache Arrow C++: it says what it needs.
#include "import_error.h"
#include "importer.h"

namespace tarvik::import {

ImportResult run_import(ImportOptions) {
    throw ImportUsageError(
        "import needs Apache Arrow C++ and Parquet, which this build was made without; install libarrow-dev and "
        "libparquet-dev (Debian) and build again");
}

std::string tape_path_for_day(const std::string& pattern, uint32_t) { return pattern; }

}  // namespace tarvik::import
