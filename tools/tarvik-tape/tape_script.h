// Tape scripts: a tape written as JSON Lines, one record a line, every
// field of every message explicit or defaulted (docs/tape-tool.md).
#pragma once

#include <istream>
#include <ostream>
#include <stdexcept>
#include <string>
#include <vector>

#include "engine/tape_format.h"
#include "engine/tape_writer.h"

namespace tarvik::tool {

// An error in an input file, naming the line and the field.
class InputError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// A whole tape in memory.
struct TapeContents {
    engine::TapeTables tables;
    std::vector<engine::TapeEvent> events;
    std::vector<engine::TapeExt> ext;  // one per event flagged kEventHasExt, in order
};

// Reads a script; throws InputError naming `source`, the line and the field.
TapeContents compile_script(std::istream& in, const std::string& source);

// Writes a tape as a script that compiles back to the same bytes.
void dump_script(const TapeContents& tape, std::ostream& out);

// Gives every text its index in order of first use (symbols, categories,
// then events) and drops unused texts, so equal contents give equal bytes.
void canonicalize_texts(TapeContents& tape);

// Reads a whole tape file; throws InputError when it cannot be read.
TapeContents read_tape_contents(const std::string& path);

// The error message of a tape the engine could not read (`result`, its
// code): "PATH: no such file", "PATH: section 9 (...) at byte N: ...".
// `otherwise`, when given, is said where the check finds nothing wrong.
std::string unreadable_tape(const std::string& path, int32_t result, const std::string& otherwise = {});

// Writes a tape file; throws InputError when it cannot be written.
void write_tape_contents(const TapeContents& tape, const std::string& path,
                         engine::TapeEncoding encoding = engine::TapeEncoding::Plain);

}  // namespace tarvik::tool
