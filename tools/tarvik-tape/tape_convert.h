// compress and decompress: a tape copied block for block into the other
// encoding, tables and block boundaries kept, so that converting back gives
// the same bytes.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "engine/tape_writer.h"

namespace tarvik::tool {

// Copies the tape at `in` to `out` in `encoding`. Throws InputError naming
// the file and the offset of a section that cannot be read; `out` is
// written through a temporary file, so a failure leaves it as it was.
// `progress`, when given, is told after each block how many of the input's
// bytes are read, of how many.
void convert_tape(const std::string& in, const std::string& out, engine::TapeEncoding encoding,
                  const std::function<void(uint64_t done, uint64_t total)>& progress = {});

}  // namespace tarvik::tool
