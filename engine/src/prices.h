// Price types: how an integer price becomes a decimal price. Types 0 to 9
// have that many decimal places; types 10 to 17 are binary fractions 1/2 to
// 1/256. Any other type reads as a plain integer (docs/price-types.md).
#pragma once

#include <cstddef>
#include <cstdint>

namespace tarvik::engine {

struct PriceTypeInfo {
    int64_t denominator;  // the integer counts units of 1/denominator
    uint8_t decimals;     // decimal places that show it exactly
};

inline constexpr int kPriceTypeCount = 18;

// The price type's denominator and exact decimal places; unknown types
// give {1, 0}.
PriceTypeInfo price_type_info(uint8_t price_type);

double price_to_double(int32_t price, uint8_t price_type);

// The price in the new type, rounded half away from zero, clamped to the
// 32-bit range.
int32_t price_convert(int32_t price, uint8_t price_type, uint8_t new_price_type);

// Writes the decimal text into `buffer` (at most `buffer_size` bytes, NUL
// included), right-aligned to `min_width` characters with spaces, with a
// comma between thousands when `commas` is set. Answers the text length.
int32_t price_format(char* buffer, std::size_t buffer_size, int32_t price, uint8_t price_type, int32_t min_width,
                     bool commas);

}  // namespace tarvik::engine
