// compress and decompress: a tape copied block for block into the other
// encoding, tables and block boundaries kept, so that converting back gives
// the same bytes.
#pragma once

#include <string>

#include "tape_writer.h"

namespace tarvik::tool {

// Copies the tape at `in` to `out` in `encoding`. Throws InputError naming
// the file and the offset of a section that cannot be read; `out` is
// written through a temporary file, so a failure leaves it as it was.
void convert_tape(const std::string& in, const std::string& out, engine::TapeEncoding encoding);

}  // namespace tarvik::tool
