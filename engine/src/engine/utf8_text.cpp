#include "engine/utf8_text.h"

namespace tarvik::engine {

int utf8_sequence_length(const unsigned char* s, std::size_t n) {
    const unsigned char lead = s[0];
    if (lead < 0x80) return 1;
    int need;
    unsigned char lo = 0x80, hi = 0xBF;  // the range of the second byte
    if (lead >= 0xC2 && lead <= 0xDF) need = 1;
    else if (lead == 0xE0) need = 2, lo = 0xA0;
    else if ((lead >= 0xE1 && lead <= 0xEC) || lead == 0xEE || lead == 0xEF) need = 2;
    else if (lead == 0xED) need = 2, hi = 0x9F;
    else if (lead == 0xF0) need = 3, lo = 0x90;
    else if (lead >= 0xF1 && lead <= 0xF3) need = 3;
    else if (lead == 0xF4) need = 3, hi = 0x8F;
    else return -1;
    for (int k = 1; k <= need; ++k) {
        if (static_cast<std::size_t>(k) >= n) return -k;
        const unsigned char c = s[k];
        if (k == 1 ? (c < lo || c > hi) : (c < 0x80 || c > 0xBF)) return -k;
    }
    return need + 1;
}

bool valid_utf8(std::string_view text) {
    const auto* s = reinterpret_cast<const unsigned char*>(text.data());
    for (std::size_t i = 0; i < text.size();) {
        const int length = utf8_sequence_length(s + i, text.size() - i);
        if (length < 0) return false;
        i += static_cast<std::size_t>(length);
    }
    return true;
}

std::string utf8_text(std::string_view text) {
    if (valid_utf8(text)) return std::string(text);
    const auto* s = reinterpret_cast<const unsigned char*>(text.data());
    std::string out;
    out.reserve(text.size() + 8);
    for (std::size_t i = 0; i < text.size();) {
        const int length = utf8_sequence_length(s + i, text.size() - i);
        if (length > 0) {
            out.append(text.data() + i, static_cast<std::size_t>(length));
            i += static_cast<std::size_t>(length);
        } else {
            out += "\xEF\xBF\xBD";
            i += static_cast<std::size_t>(-length);
        }
    }
    return out;
}

}  // namespace tarvik::engine
