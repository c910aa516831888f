// The import: vendor files or Arrow streams of quotes, trades,
// market-maker quotes and symbol changes into one tape per session day
// (docs/import.md). Each input is read once: its rows are converted and
// kept in a temporary file while the import learns the instruments, their
// prices, the days and the names a tape lists, and checks the order; then
// the kept rows are merged and written. Each tape is written beside its
// name and renamed into place only when every tape is complete, so a
// failed import leaves no partial tape and keeps any tape that was there.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "import_options.h"

namespace tarvik::import {

struct ImportResult {
    std::vector<std::string> tapes;  // the tapes written, in day order
    uint64_t events = 0;
    uint32_t instruments = 0;
};

// Throws ImportError for bad input, ImportUsageError for a bad request.
ImportResult run_import(ImportOptions options);

// "{date}" in a tape path, replaced by the day as YYYY-MM-DD.
std::string tape_path_for_day(const std::string& pattern, uint32_t ndays);

}  // namespace tarvik::import
