// UTF-8 of a tape's texts, which are bytes: whether a text is UTF-8 (the
// import takes only such names), and one from a file of another encoding,
// or a damaged one, as Python shows it through the module
// (bytes.decode(errors="replace")), for Arrow's strings.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace tarvik::engine {

// The length of the well-formed sequence at `s` (at most `n` bytes, n > 0),
// or, negated, of the longest start of one there (at least 1): the part one
// U+FFFD stands for.
int utf8_sequence_length(const unsigned char* s, std::size_t n);

// Whether `text` is well-formed UTF-8.
bool valid_utf8(std::string_view text);

// `text` where it is UTF-8; else with each maximal ill-formed part replaced
// by U+FFFD, as Python's "replace" error handler does.
std::string utf8_text(std::string_view text);

}  // namespace tarvik::engine
