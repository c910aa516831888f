#include "decimal.h"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <limits>
#include <type_traits>

#include "engine/prices.h"

namespace tarvik::import {
namespace {

constexpr int kMaxDigits = 38;

Decimal reduced(__int128 units, int decimals) {
    // Nearly every value fits 64 bits, where division is an instruction
    // rather than a library call.
    if (units >= std::numeric_limits<int64_t>::min() && units <= std::numeric_limits<int64_t>::max()) {
        auto small = static_cast<int64_t>(units);
        while (decimals > 0 && small % 10 == 0) {
            small /= 10;
            --decimals;
        }
        return {small, decimals};
    }
    while (decimals > 0 && units % 10 == 0) {
        units /= 10;
        --decimals;
    }
    return {units, decimals};
}

__int128 magnitude(__int128 v) { return v < 0 ? -v : v; }

}  // namespace

namespace {

// The common case: [-+]digits[.digits] with at most 18 digits, in 64 bits.
bool parse_short_decimal(std::string_view s, Decimal& out) {
    std::size_t i = 0;
    bool negative = false;
    if (i < s.size() && (s[i] == '-' || s[i] == '+')) negative = s[i++] == '-';
    uint64_t units = 0;
    int digits = 0, decimals = 0;
    bool point = false;
    for (; i < s.size(); ++i) {
        const char c = s[i];
        if (c >= '0' && c <= '9') {
            if (++digits > 18) return false;
            units = units * 10 + static_cast<uint64_t>(c - '0');
            decimals += point;
        } else if (c == '.' && !point) {
            point = true;
        } else {
            return false;  // exponents, signs, junk: the full parser decides
        }
    }
    if (digits == 0) return false;
    while (decimals > 0 && units % 10 == 0) {
        units /= 10;
        --decimals;
    }
    const __int128 value = static_cast<__int128>(units);
    out = Decimal{negative ? -value : value, decimals};
    return true;
}

}  // namespace

bool parse_decimal(std::string_view s, Decimal& out) {
    if (parse_short_decimal(s, out)) return true;
    std::size_t i = 0;
    bool negative = false;
    if (i < s.size() && (s[i] == '-' || s[i] == '+')) negative = s[i++] == '-';
    __int128 units = 0;
    int digits = 0;  // significant digits taken
    int decimals = 0;
    bool any = false;
    auto take = [&](char c) {
        if (digits == 0 && c == '0') return true;  // leading zeros cost nothing
        if (++digits > kMaxDigits) return false;
        units = units * 10 + (c - '0');
        return true;
    };
    for (; i < s.size() && s[i] >= '0' && s[i] <= '9'; ++i, any = true)
        if (!take(s[i])) return false;
    if (i < s.size() && s[i] == '.') {
        for (++i; i < s.size() && s[i] >= '0' && s[i] <= '9'; ++i, any = true) {
            if (!take(s[i])) return false;
            ++decimals;
        }
    }
    if (!any) return false;
    if (i < s.size() && (s[i] == 'e' || s[i] == 'E')) {
        ++i;
        bool exp_negative = false;
        if (i < s.size() && (s[i] == '-' || s[i] == '+')) exp_negative = s[i++] == '-';
        int exponent = 0;
        bool exp_any = false;
        for (; i < s.size() && s[i] >= '0' && s[i] <= '9'; ++i, exp_any = true) {
            exponent = exponent * 10 + (s[i] - '0');
            if (exponent > 100) return false;
        }
        if (!exp_any) return false;
        decimals += exp_negative ? exponent : -exponent;
    }
    if (i != s.size()) return false;
    if (decimals < 0) {
        if (digits - decimals > kMaxDigits) return false;
        units *= pow10(-decimals);
        decimals = 0;
    }
    if (decimals > kMaxDigits) {
        // Only zeros can have so many decimals and stay within 38 digits.
        Decimal r = reduced(units, decimals);
        if (r.decimals > kMaxDigits) return false;
        out = Decimal{negative ? -r.units : r.units, r.decimals};
        return true;
    }
    const Decimal r = reduced(units, decimals);
    out = Decimal{negative ? -r.units : r.units, r.decimals};
    return true;
}

std::optional<Decimal> parse_decimal(std::string_view s) {
    Decimal d;
    if (!parse_decimal(s, d)) return std::nullopt;
    return d;
}

Decimal decimal_from_integer(int64_t value) { return {value, 0}; }

Decimal decimal_from_scaled(__int128 units, int scale) {
    if (scale < 0) return {units * pow10(-scale), 0};
    return reduced(units, scale);
}

bool decimal_from_any_scale(__int128 units, int scale, Decimal& out) {
    constexpr int kMostDecimals = 38;
    if (units == 0) {
        out = {0, 0};
        return true;
    }
    if (scale < 0) {
        if (-scale > kMostDecimals) return false;
        const __int128 factor = pow10(-scale);
        const __int128 most = static_cast<__int128>(~static_cast<unsigned __int128>(0) >> 1) / factor;
        if (units > most || units < -most) return false;
        out = {units * factor, 0};
        return true;
    }
    while (scale > kMostDecimals && units % 10 == 0) {
        units /= 10;
        --scale;
    }
    if (scale > kMostDecimals) return false;
    out = reduced(units, scale);
    return true;
}

namespace {

// Powers of ten as doubles (exact up to 10^22).
constexpr double kScales[kMaxDecimals + 1] = {1e0, 1e1, 1e2, 1e3, 1e4, 1e5, 1e6, 1e7, 1e8, 1e9};

// Whether `value` is the Float nearest its nearest decimal of `d`
// decimals, whose units go to `units`. False past 64 bits of units.
template <typename Float>
bool round_trips(Float value, int d, int64_t& units) {
    const double scaled = static_cast<double>(value) * kScales[d];  // a float is a double exactly
    if (std::fabs(scaled) >= kFloatLimit) return false;
    // Rounded to the nearest, ties to even, as nearbyint does but without a
    // library call: adding 2^52 leaves no bits below the unit. From 2^52 on
    // every double is whole already.
    constexpr double kWholeFrom = 4503599627370496.0;
    const double rounded = std::fabs(scaled) >= kWholeFrom ? scaled
                           : scaled < 0                   ? -((-scaled + kWholeFrom) - kWholeFrom)
                                                          : (scaled + kWholeFrom) - kWholeFrom;
    units = static_cast<int64_t>(rounded);
    return static_cast<Float>(static_cast<double>(units) / kScales[d]) == value;
}

// The nearest decimal with the fewest decimals (at most kMaxDecimals) that
// rounds back to `value` as a Float (double or float). `hint` is the
// decimals of the column's value before: a column's values mostly share
// them, and then two tries say it instead of one a number of decimals.
template <typename Float>
bool shortest_decimal(Float value, Decimal& out, int& hint) {
    if (!std::isfinite(value)) return false;
    // Past 2^53 (2^24 for a float) every value of the type is whole.
    constexpr double kWholeAbove = std::is_same_v<Float, float> ? 16777216.0 : 9007199254740992.0;
    const double exact = value;
    if (std::fabs(exact) >= kWholeAbove) {
        if (std::fabs(exact) >= kFloatLimit) return false;
        // Whole, but what was meant is the shortest text that reads back as
        // the value (1.710509400999999e18, epoch nanoseconds in a float64),
        // not its exact binary value (1710509400999998976).
        char text[32];
        const auto written = std::to_chars(text, text + sizeof text, value, std::chars_format::scientific);
        return written.ec == std::errc() && parse_decimal(std::string_view(text, written.ptr - text), out);
    }
    int64_t units = 0;
    // While value * 10^hint stays below 2^50, a decimal that rounds back
    // at d decimals rounds back at every d + 1 up to the hint (the double
    // nearest value * 10^(d+1) is then 10 times its units, exactly): so if
    // it does at the hint and not one below, the hint is the fewest.
    const int g = hint;
    constexpr double kFastBelow = 1125899906842624.0;  // 2^50
    if (std::is_same_v<Float, double> && g > 0 && g <= kMaxDecimals && std::fabs(exact) * kScales[g] < kFastBelow &&
        round_trips(value, g, units)) {
        int64_t fewer;
        if (!round_trips(value, g - 1, fewer)) {
            out = reduced(units, g);
            return true;
        }
    }
    for (int d = 0; d <= kMaxDecimals; ++d) {
        if (round_trips(value, d, units)) {
            hint = d;
            out = reduced(units, d);
            return true;
        }
        if (std::fabs(exact) * kScales[d] >= kFloatLimit) return false;
    }
    return false;
}

}  // namespace

bool decimal_from_double(double value, Decimal& out, int& hint) { return shortest_decimal(value, out, hint); }

bool decimal_from_double(double value, Decimal& out) {
    int hint = 0;
    return shortest_decimal(value, out, hint);
}

bool decimal_from_float(float value, Decimal& out) {
    int hint = 0;
    return shortest_decimal(value, out, hint);
}

std::string price_refusal(const Decimal& value, uint8_t price_type) {
    bool exact = false;
    if (price_type <= kMaxDecimals) {
        exact = value.decimals <= price_type;
    } else if (value.decimals <= kMaxDigits && magnitude(value.units) <= pow10(kMaxDigits - 19)) {
        exact = value.units * engine::price_type_info(price_type).denominator % pow10(value.decimals) == 0;
    }
    return (exact ? " does not fit 32 bits in price type " : " cannot be written exactly in price type ") +
           std::to_string(price_type);
}

std::optional<int32_t> encode_price(const Decimal& value, uint8_t price_type) {
    if (price_type <= kMaxDecimals) {
        // A decimal type: a reduced value of more decimals is no whole
        // number of units; one of fewer is scaled up.
        if (value.decimals > price_type) return std::nullopt;
        if (value.units > std::numeric_limits<int32_t>::max() || value.units < std::numeric_limits<int32_t>::min())
            return std::nullopt;
        static constexpr int64_t kScale[] = {1, 10, 100, 1000, 10000, 100000, 1000000, 10000000, 100000000, 1000000000};
        const int64_t price = static_cast<int64_t>(value.units) * kScale[price_type - value.decimals];
        if (price > std::numeric_limits<int32_t>::max() || price < std::numeric_limits<int32_t>::min())
            return std::nullopt;
        return static_cast<int32_t>(price);
    }
    const engine::PriceTypeInfo info = engine::price_type_info(price_type);
    // value * denominator must be a whole number.
    if (value.decimals > kMaxDigits) return std::nullopt;
    if (magnitude(value.units) > pow10(kMaxDigits - 19)) return std::nullopt;  // far past 32 bits anyway
    const __int128 scaled = value.units * info.denominator;
    const __int128 unit = pow10(value.decimals);
    if (scaled % unit != 0) return std::nullopt;
    const __int128 price = scaled / unit;
    if (price > std::numeric_limits<int32_t>::max() || price < std::numeric_limits<int32_t>::min())
        return std::nullopt;
    return static_cast<int32_t>(price);
}

std::optional<Decimal> multiply(const Decimal& a, const Decimal& b) {
    const __int128 limit = pow10(kMaxDigits - 19);
    if (a.units != 0 && b.units != 0 && (magnitude(a.units) > limit || magnitude(b.units) > limit)) {
        // Check the product against 10^38 by division.
        if (magnitude(a.units) > pow10(kMaxDigits) / magnitude(b.units)) return std::nullopt;
    }
    if (a.decimals + b.decimals > kMaxDigits) return std::nullopt;
    return reduced(a.units * b.units, a.decimals + b.decimals);
}

std::optional<int64_t> whole(const Decimal& value) {
    if (value.decimals != 0) return std::nullopt;
    if (value.units > std::numeric_limits<int64_t>::max() || value.units < std::numeric_limits<int64_t>::min())
        return std::nullopt;
    return static_cast<int64_t>(value.units);
}

std::optional<uint64_t> millionths(const Decimal& value) {
    if (value.decimals > 6 || value.units < 0) return std::nullopt;
    const __int128 m = value.units * pow10(6 - value.decimals);
    if (m > static_cast<__int128>(std::numeric_limits<uint64_t>::max())) return std::nullopt;
    return static_cast<uint64_t>(m);
}

std::string_view format_decimal(const Decimal& value, char (&buffer)[48]) {
    char digits[48];
    int n = 0;
    __int128 u = magnitude(value.units);
    do {
        digits[n++] = static_cast<char>('0' + static_cast<int>(u % 10));
        u /= 10;
    } while (u != 0 || n <= value.decimals);
    int k = 0;
    if (value.units < 0) buffer[k++] = '-';
    for (int i = n - 1; i >= 0; --i) {
        buffer[k++] = digits[i];
        if (i == value.decimals && i != 0) buffer[k++] = '.';
    }
    return {buffer, static_cast<std::size_t>(k)};
}

}  // namespace tarvik::import
