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

std::string quoted(std::string_view value) {
    constexpr std::size_t kLimit = 60;
    std::string out = "'";
    for (std::size_t i = 0; i < value.size() && i < kLimit; ++i) {
        const unsigned char c = static_cast<unsigned char>(value[i]);
        if (c < 0x20 || c == 0x7f) {
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
