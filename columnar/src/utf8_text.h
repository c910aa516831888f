// Texts of a tape as Arrow strings, which must be UTF-8. A tape's texts are
// bytes: one from a file of another encoding, or a damaged one, is shown as
// Python shows it through the module (bytes.decode(errors="replace")).
#pragma once

#include <string>
#include <string_view>

namespace tarvik::columnar {

// Whether `text` is well-formed UTF-8.
bool valid_utf8(std::string_view text);

// `text` where it is UTF-8; else with each maximal ill-formed part replaced
// by U+FFFD, as Python's "replace" error handler does.
std::string utf8_text(std::string_view text);

}  // namespace tarvik::columnar
