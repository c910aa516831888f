// Temporary files of an import: made in the directory asked for and
// unlinked at once, so they go with the process whatever happens.
#pragma once

#include <string>

namespace tarvik::import {

// A descriptor open for reading and writing. Throws ImportError, naming
// `what` (the use, for the message) and the directory.
int unnamed_temp_file(const std::string& dir, const char* what);

}  // namespace tarvik::import
