#include "import_error.h"

#include <cstdio>

namespace tarvik::import {

void fail_at(const CellPlace& place, const std::string& message) {
    std::string text(place.source);
    text += ':' + std::to_string(place.row) + ": column '";
    text += place.column;
    text += '\'';
    if (!place.canonical.empty() && place.canonical != place.column) {
        text += " (";
        text += place.canonical;
        text += ')';
    }
    text += ": " + message;
    throw ImportError(text);
}

namespace {

// The length of the UTF-8 sequence at `at`, or 0 where none starts: a
// stray continuation byte, a cut sequence, an overlong form, a surrogate
// or a code point past U+10FFFF.
std::size_t utf8_sequence(std::string_view s, std::size_t at) {
    const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(s[at + k]); };
    const unsigned char c = byte(0);
    if (c < 0x80) return 1;
    std::size_t n = 0;
    unsigned char lo = 0x80, hi = 0xbf;  // the second byte's range
    if (c >= 0xc2 && c <= 0xdf) n = 2;
    else if (c == 0xe0) n = 3, lo = 0xa0;
    else if (c == 0xed) n = 3, hi = 0x9f;
    else if (c >= 0xe1 && c <= 0xef) n = 3;
    else if (c == 0xf0) n = 4, lo = 0x90;
    else if (c >= 0xf1 && c <= 0xf3) n = 4;
    else if (c == 0xf4) n = 4, hi = 0x8f;
    else return 0;
    if (at + n > s.size() || byte(1) < lo || byte(1) > hi) return 0;
    for (std::size_t k = 2; k < n; ++k)
        if ((byte(k) & 0xc0) != 0x80) return 0;
    return n;
}

}  // namespace

const char* name_fault(std::string_view name) {
    if (name.find('\0') != std::string_view::npos) return " holds a NUL byte";
    for (std::size_t at = 0; at < name.size();) {
        const std::size_t n = utf8_sequence(name, at);
        if (n == 0) return " is not UTF-8 text";
        at += n;
    }
    return nullptr;
}

std::string quoted(std::string_view value) {
    constexpr std::size_t kLimit = 60;
    std::string out = "'";
    for (std::size_t i = 0; i < value.size() && i < kLimit; ++i) {
        const unsigned char c = static_cast<unsigned char>(value[i]);
        if (c >= 0x80) {  // a whole UTF-8 character, or its bytes escaped
            const std::size_t n = utf8_sequence(value, i);
            if (n > 1) {
                out.append(value.substr(i, n));
                i += n - 1;
                continue;
            }
        }
        if (c < 0x20 || c >= 0x7f) {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02x", c);
            out += hex;
        } else {
            out += static_cast<char>(c);
        }
    }
    if (value.size() > kLimit) out += "...";
    return out + "'";
}

}  // namespace tarvik::import
