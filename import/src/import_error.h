// Errors of an import. An ImportError is bad input: it names the file, the
// row and the column ("file:row: column 'name': what is wrong"). An
// ImportUsageError is a bad request: an unknown option, a missing input.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>

namespace tarvik::import {

class ImportError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

class ImportUsageError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// The caller stopped the import (its progress callback said so): nothing
// is written, and a tape already at the output is kept.
class ImportStopped : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Where a value came from: the source's name, its row (a CSV file's line,
// else the 1-based row) and the column as the file names it.
struct CellPlace {
    std::string_view source;
    uint64_t row = 0;
    std::string_view column;     // the name in the file
    std::string_view canonical;  // our name for it, when renamed
};

[[noreturn]] void fail_at(const CellPlace& place, const std::string& message);

// Quotes a value for a message, cut at 60 bytes and with control bytes
// and bytes that are no UTF-8 escaped, so that one bad cell cannot flood
// the terminal or spoil the message's text.
std::string quoted(std::string_view value);

// What is wrong with a name a tape keeps (a symbol, an exchange, a
// condition): " holds a NUL byte" or " is not UTF-8 text" (a stray, cut or
// overlong byte); null for a sound one.
const char* name_fault(std::string_view name);

}  // namespace tarvik::import
