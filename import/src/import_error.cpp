#include "import_error.h"

#include <cstdio>

#include "engine/utf8_text.h"

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

const char* name_fault(std::string_view name) {
    if (name.find('\0') != std::string_view::npos) return " holds a NUL byte";
    if (!engine::valid_utf8(name)) return " is not UTF-8 text";
    return nullptr;
}

std::string quoted(std::string_view value) {
    constexpr std::size_t kLimit = 60;
    std::string out = "'";
    for (std::size_t i = 0; i < value.size() && i < kLimit; ++i) {
        const unsigned char c = static_cast<unsigned char>(value[i]);
        if (c >= 0x80) {  // a whole UTF-8 character, or its bytes escaped
            const int n = engine::utf8_sequence_length(reinterpret_cast<const unsigned char*>(value.data()) + i,
                                                       value.size() - i);
            if (n > 1) {
                out.append(value.substr(i, static_cast<std::size_t>(n)));
                i += static_cast<std::size_t>(n) - 1;
                continue;
            }
        }
        if (c < 0x20 || c >= 0x7f) {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02x", c);
            out += hex;
        } else if (c == '\'' || c == '\\') {  // so that the quote ends only at its end
            out += '\\';
            out += static_cast<char>(c);
        } else {
            out += static_cast<char>(c);
        }
    }
    if (value.size() > kLimit) out += "...";
    return out + "'";
}

}  // namespace tarvik::import
