// sTarvikListTapes and sTarvikListAPIDLLs: the tape files and the engine
// library files found in the directories of a search path, one record per
// file to an item callback. Unreadable directories and files are skipped.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "tarvik/library.h"

namespace tarvik::engine {

// The directories of a colon-separated path; `fallback` when it is unset or
// empty.
std::vector<std::string> search_directories(const char* path, const std::string& fallback);

// Tapes, recognised by their header, in the directories of
// TARVIK_TAPE_PATH (default: the current directory).
int32_t list_tapes(int32_t flags, TarvikItemCallback callback);

// Engine libraries, recognised by their identity record, in the
// directories of TARVIK_LIBRARY_PATH (default: `engine_directory`).
int32_t list_engine_libraries(int32_t flags, TarvikItemCallback callback, const std::string& engine_directory);

}  // namespace tarvik::engine
