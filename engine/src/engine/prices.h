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

inline constexpr PriceTypeInfo kPriceTypes[kPriceTypeCount] = {
    {1, 0},          {10, 1},          {100, 2},        {1000, 3},     {10000, 4},  {100000, 5},
    {1000000, 6},    {10000000, 7},    {100000000, 8},  {1000000000, 9},
    {2, 1},          {4, 2},           {8, 3},          {16, 4},       {32, 5},     {64, 6},
    {128, 7},        {256, 8},
};

// The price type's denominator and exact decimal places; unknown types
// give {1, 0}. Inline: the columnar reads convert every price.
inline PriceTypeInfo price_type_info(uint8_t price_type) {
    return price_type < kPriceTypeCount ? kPriceTypes[price_type] : PriceTypeInfo{1, 0};
}

inline double price_to_double(int32_t price, uint8_t price_type) {
    return static_cast<double>(price) / static_cast<double>(price_type_info(price_type).denominator);
}

// The price in the new type, rounded half away from zero, clamped to the
// 32-bit range.
int32_t price_convert(int32_t price, uint8_t price_type, uint8_t new_price_type);

// Writes the decimal text into `buffer` (at most `buffer_size` bytes, NUL
// included), right-aligned to `min_width` characters with spaces, with a
// comma between thousands when `commas` is set. Answers the text length.
int32_t price_format(char* buffer, std::size_t buffer_size, int32_t price, uint8_t price_type, int32_t min_width,
                     bool commas);

}  // namespace tarvik::engine
