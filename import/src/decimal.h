// Exact decimal numbers as vendor files write them, and their encoding as
// the engine's 32-bit prices. A decimal is kept as integer units of
// 10^-decimals with the fewest decimals that write it exactly, so "65432.10"
// needs one decimal, not two.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace tarvik::import {

inline constexpr int kMaxDecimals = 9;  // price types 0 to 9
// A float at or past this size is no number a column holds (it is whole,
// but past what 64-bit units hold).
inline constexpr double kFloatLimit = 9.2e18;

// 10^n, for n of 0 to 38.
inline constexpr std::array<__int128, 39> kPowersOf10 = [] {
    std::array<__int128, 39> p{};
    p[0] = 1;
    for (std::size_t i = 1; i < p.size(); ++i) p[i] = p[i - 1] * 10;
    return p;
}();
constexpr __int128 pow10(int n) { return kPowersOf10[static_cast<std::size_t>(n)]; }

struct Decimal {
    __int128 units = 0;  // value * 10^decimals
    int decimals = 0;    // 0 to 38, the fewest that write the value exactly

    bool operator==(const Decimal&) const = default;
};

// "12.50", "-3", "+0.001", ".5", "1e-3", "1.5E+2". Nullopt for anything
// else, or for more than 38 significant digits.
std::optional<Decimal> parse_decimal(std::string_view text);
// The same into `out` (false for anything else). Rows are read this way:
// a Decimal handed back by value is copied 16 bytes at once from the two
// 8-byte halves just written, which stalls the processor every time.
bool parse_decimal(std::string_view text, Decimal& out);

// An integer as a decimal.
Decimal decimal_from_integer(int64_t value);

// A decimal of `scale` decimals (a Parquet decimal column), reduced.
Decimal decimal_from_scaled(__int128 units, int scale);
// The same for a scale of any sign and size (an Arrow decimal column's):
// false when the value needs more than 38 decimals or its units pass 128
// bits.
bool decimal_from_any_scale(__int128 units, int scale, Decimal& out);

// A float64 read as the nearest decimal with the fewest decimals (at most
// kMaxDecimals) that rounds back to the same double. Nullopt when no such
// decimal exists, or for NaN and infinities.
bool decimal_from_double(double value, Decimal& out);
// The same, faster for a column of values of like decimals: `hint` holds
// the decimals of the value before (0 at first), and is kept up.
bool decimal_from_double(double value, Decimal& out, int& hint);
// The same for a float32, which rounds back to the same float: a float
// column's 170.26 is 170.26, not the 170.25999450683594 it holds.
bool decimal_from_float(float value, Decimal& out);

// The value exactly in the price type's units (its denominator: 10^n for
// types 0 to 9, 2^n for 10 to 17). Nullopt when it is not a whole number
// of units or does not fit 32 bits.
std::optional<int32_t> encode_price(const Decimal& value, uint8_t price_type);
// Why encode_price refused the value: " cannot be written exactly in price
// type N" or, for a value exact in the type but past 32 bits, " does not
// fit 32 bits in price type N".
std::string price_refusal(const Decimal& value, uint8_t price_type);

// a * b, exactly (nullopt past 38 digits).
std::optional<Decimal> multiply(const Decimal& a, const Decimal& b);

// The whole value, when it has no fraction and fits 64 bits.
std::optional<int64_t> whole(const Decimal& value);

// The value in millionths, when it has at most six decimals and fits.
std::optional<uint64_t> millionths(const Decimal& value);

// The decimal as text, for messages.
std::string_view format_decimal(const Decimal& value, char (&buffer)[48]);

}  // namespace tarvik::import
