#include "engine/prices.h"

#include <cstring>
#include <limits>

namespace tarvik::engine {
namespace {

// 10^n for n = 0..9.
constexpr int64_t kPow10[10] = {1, 10, 100, 1000, 10000, 100000, 1000000, 10000000, 100000000, 1000000000};

}  // namespace

int32_t price_convert(int32_t price, uint8_t price_type, uint8_t new_price_type) {
    const int64_t from = price_type_info(price_type).denominator;
    const int64_t to = price_type_info(new_price_type).denominator;
    const __int128 scaled = static_cast<__int128>(price) * to;
    __int128 q = scaled / from;
    const __int128 r = scaled % from;
    if (2 * (r < 0 ? -r : r) >= from) q += scaled < 0 ? -1 : 1;
    if (q > std::numeric_limits<int32_t>::max()) return std::numeric_limits<int32_t>::max();
    if (q < std::numeric_limits<int32_t>::min()) return std::numeric_limits<int32_t>::min();
    return static_cast<int32_t>(q);
}

int32_t price_format(char* buffer, std::size_t buffer_size, int32_t price, uint8_t price_type, int32_t min_width,
                     bool commas) {
    if (buffer == nullptr || buffer_size == 0) return 0;
    const PriceTypeInfo info = price_type_info(price_type);
    // The exact decimal value: units of 10^-decimals.
    const int64_t scale = kPow10[info.decimals] / info.denominator;  // exact for every type in the table
    const int64_t magnitude = (price < 0 ? -static_cast<int64_t>(price) : price) * scale;
    const int64_t whole = magnitude / kPow10[info.decimals];
    const int64_t fraction = magnitude % kPow10[info.decimals];

    char text[64];
    int n = 0;
    // Integer digits, backwards, with a comma every three.
    char digits[32];
    int d = 0;
    int64_t w = whole;
    do {
        if (commas && d > 0 && d % 4 == 3) digits[d++] = ',';
        digits[d++] = static_cast<char>('0' + w % 10);
        w /= 10;
    } while (w != 0);
    if (price < 0) text[n++] = '-';
    while (d > 0) text[n++] = digits[--d];
    if (info.decimals > 0) {
        text[n++] = '.';
        for (int i = info.decimals - 1; i >= 0; --i) text[n++] = static_cast<char>('0' + fraction / kPow10[i] % 10);
    }

    const int limit = static_cast<int>(buffer_size - 1);
    int width = min_width > n ? min_width : n;
    if (width > limit) width = limit;
    const int pad = width > n ? width - n : 0;
    const int copied = width - pad;
    std::memset(buffer, ' ', static_cast<std::size_t>(pad));
    std::memcpy(buffer + pad, text, static_cast<std::size_t>(copied));
    buffer[width] = '\0';
    return width;
}

}  // namespace tarvik::engine
