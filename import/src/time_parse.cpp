#include "time_parse.h"

#include <cstring>

#include "decimal.h"
#include "engine/dates.h"

namespace tarvik::import {
namespace {

// Eight ASCII digits at once (the epoch integers of vendor files have 13 to
// 19): whether all eight bytes are digits, and their value.
bool eight_digits(const char* p) {
    uint64_t w;
    std::memcpy(&w, p, 8);
    return (((w & 0xF0F0F0F0F0F0F0F0) | (((w + 0x0606060606060606) & 0xF0F0F0F0F0F0F0F0) >> 4)) ==
            0x3333333333333333);
}

uint64_t eight_digits_value(const char* p) {
    uint64_t w;
    std::memcpy(&w, p, 8);
    w -= 0x3030303030303030;
    w = (w * 10) + (w >> 8);
    w = (((w & 0x000000FF000000FF) * (100 + (1000000ULL << 32))) +
         (((w >> 16) & 0x000000FF000000FF) * (1 + (10000ULL << 32)))) >> 32;
    return w;
}

bool digits(std::string_view s, std::size_t at, std::size_t n, int& out) {
    if (at + n > s.size()) return false;
    int v = 0;
    for (std::size_t i = at; i < at + n; ++i) {
        if (s[i] < '0' || s[i] > '9') return false;
        v = v * 10 + (s[i] - '0');
    }
    out = v;
    return true;
}

// HH:MM[:SS[.f...]] at `at`; advances `at` past it.
bool clock_part(std::string_view s, std::size_t& at, int64_t& micros, bool& sub_milli) {
    int h, m, sec = 0;
    if (!digits(s, at, 2, h) || at + 2 >= s.size() || s[at + 2] != ':' || !digits(s, at + 3, 2, m)) return false;
    at += 5;
    if (at < s.size() && s[at] == ':') {
        if (!digits(s, at + 1, 2, sec)) return false;
        at += 3;
    }
    if (h > 23 || m > 59 || sec > 60) return false;  // 60: a leap second, read as :59.999999
    int64_t fraction = 0;
    if (at < s.size() && (s[at] == '.' || s[at] == ',')) {
        ++at;
        std::size_t n = 0;
        for (; at < s.size() && s[at] >= '0' && s[at] <= '9'; ++at, ++n) {
            if (n < 6) fraction = fraction * 10 + (s[at] - '0');
            else if (s[at] != '0') sub_milli = true;
            if (n >= 3 && n < 6 && s[at] != '0') sub_milli = true;
        }
        if (n == 0) return false;
        for (; n < 6; ++n) fraction *= 10;
    }
    if (sec == 60) {
        sec = 59;
        fraction = 999'999;
    }
    micros = ((int64_t{h} * 60 + m) * 60 + sec) * 1'000'000 + fraction;
    return true;
}

}  // namespace

std::optional<TimeUnit> parse_time_unit(std::string_view text) {
    if (text == "s") return TimeUnit::Seconds;
    if (text == "ms") return TimeUnit::Millis;
    if (text == "us") return TimeUnit::Micros;
    if (text == "ns") return TimeUnit::Nanos;
    if (text == "s-of-day") return TimeUnit::SecondsOfDay;
    if (text == "ms-of-day") return TimeUnit::MillisOfDay;
    if (text == "us-of-day") return TimeUnit::MicrosOfDay;
    if (text == "ns-of-day") return TimeUnit::NanosOfDay;
    if (text == "hhmmss") return TimeUnit::ClockDigits;
    return std::nullopt;
}

std::optional<TimeUnit> TimeParser::unit_for(int64_t value, std::string& why) const {
    if (unit_) return unit_;
    // Each unit covers the years 1973 to 2200 with numbers of its own
    // length, so the size of the number tells the unit. A number below 0
    // is before 1970 in any unit: none is told.
    const uint64_t v = value < 0 ? 0 : static_cast<uint64_t>(value);
    if (v >= 100'000'000'000'000'000 && v < 7'300'000'000'000'000'000) return TimeUnit::Nanos;
    if (v >= 100'000'000'000'000 && v < 7'300'000'000'000'000) return TimeUnit::Micros;
    if (v >= 100'000'000'000 && v < 7'300'000'000'000) return TimeUnit::Millis;
    if (v >= 100'000'000 && v < 7'300'000'000) return TimeUnit::Seconds;
    why = "the unit of the time " + std::to_string(value) + " since the epoch cannot be told; give --time-unit";
    // Seconds or microseconds since midnight, as some feeds count: no
    // unit makes them a day of the tapes.
    if (value >= 0 && v < 100'000'000) why += " (a number since midnight reads with --time-unit s-of-day, or ms-, us-, ns-of-day)";
    return std::nullopt;
}

namespace {

// The unit since the epoch a unit since midnight counts in.
std::optional<TimeUnit> epoch_unit_of_day(TimeUnit unit) {
    switch (unit) {
        case TimeUnit::SecondsOfDay: return TimeUnit::Seconds;
        case TimeUnit::MillisOfDay: return TimeUnit::Millis;
        case TimeUnit::MicrosOfDay: return TimeUnit::Micros;
        case TimeUnit::NanosOfDay: return TimeUnit::Nanos;
        default: return std::nullopt;
    }
}

}  // namespace

std::optional<ParsedTime> TimeParser::integer(int64_t value, std::optional<TimeUnit> unit, std::optional<uint32_t> day,
                                              std::string& why) {
    if (!unit) unit = unit_for(value, why);
    if (!unit) return std::nullopt;
    if (const std::optional<TimeUnit> base = epoch_unit_of_day(*unit)) {
        // Counted as from the epoch, then taken as the time since midnight.
        std::optional<ParsedTime> t = integer(value, base, std::nullopt, why);
        if (!t) return t;
        return time_of_day(t->epoch_micros, t->sub_milli, day, why);
    }
    ParsedTime t;
    switch (*unit) {
        case TimeUnit::ClockDigits:
            // A number has lost the hour's leading zero: 9:30 and 93:00
            // cannot be told apart.
            why = "--time-unit hhmmss reads times written as text with a two-digit hour (093000123456789), not numbers";
            return std::nullopt;
        case TimeUnit::Seconds:
            if (value > INT64_MAX / 1'000'000 || value < INT64_MIN / 1'000'000) {
                why = "time out of range";
                return std::nullopt;
            }
            t.epoch_micros = value * 1'000'000;
            break;
        case TimeUnit::Millis:
            if (value > INT64_MAX / 1000 || value < INT64_MIN / 1000) {
                why = "time out of range";
                return std::nullopt;
            }
            t.epoch_micros = value * 1000;
            break;
        case TimeUnit::Micros:
            t.epoch_micros = value;
            t.sub_milli = value % 1000 != 0;
            break;
        case TimeUnit::Nanos:
            t.epoch_micros = floor_div(value, 1000);
            t.sub_milli = value % 1'000'000 != 0;
            break;
        default:
            break;
    }
    return t;
}

std::optional<ParsedTime> TimeParser::fractional(bool negative, uint64_t whole, std::string_view fraction,
                                                 std::optional<uint32_t> day, std::string& why) {
    if (whole > static_cast<uint64_t>(INT64_MAX)) {
        why = "time out of range";
        return std::nullopt;
    }
    const int64_t signed_whole = negative ? -static_cast<int64_t>(whole) : static_cast<int64_t>(whole);
    std::optional<TimeUnit> unit = unit_for(signed_whole, why);
    if (!unit) return std::nullopt;
    const std::optional<TimeUnit> of_day = epoch_unit_of_day(*unit);
    if (of_day) unit = of_day;
    std::optional<ParsedTime> t = integer(signed_whole, unit, std::nullopt, why);
    if (!t) return t;
    // Digits of the fraction down to the microsecond count; those below
    // the millisecond make the time a sub-millisecond one.
    const int micro_digits = *unit == TimeUnit::Seconds ? 6 : *unit == TimeUnit::Millis ? 3 : 0;
    const int milli_digits = *unit == TimeUnit::Seconds ? 3 : 0;
    int64_t micros = 0;
    for (int d = 0; d < micro_digits; ++d)
        micros = micros * 10 + (static_cast<std::size_t>(d) < fraction.size() ? fraction[d] - '0' : 0);
    for (std::size_t d = static_cast<std::size_t>(milli_digits); d < fraction.size(); ++d)
        t->sub_milli = t->sub_milli || fraction[d] != '0';
    // Truncated to the microsecond at or before the time: before the epoch,
    // a part of a microsecond reaches back to the one before.
    bool below_micros = false;
    for (std::size_t d = static_cast<std::size_t>(micro_digits); d < fraction.size(); ++d)
        below_micros = below_micros || fraction[d] != '0';
    if (negative && below_micros) ++micros;
    t->epoch_micros += negative ? -micros : micros;
    if (of_day) return time_of_day(t->epoch_micros, t->sub_milli, day, why);
    return t;
}

ParsedTime TimeParser::local(int64_t local_micros, bool sub_milli) {
    return {zone_.from_local(local_micros), sub_milli};
}

std::optional<ParsedTime> TimeParser::time_of_day(int64_t micros, bool sub_milli, std::optional<uint32_t> day,
                                                  std::string& why) {
    const std::optional<uint32_t> date = day ? day : date_;
    if (!date) {
        why = "a time of day needs --date, or a day in the row's date column";
        return std::nullopt;
    }
    if (micros < 0 || micros >= kMicrosPerDay) {
        why = "time of day out of range";
        return std::nullopt;
    }
    const int64_t wall = (static_cast<int64_t>(*date) - engine::kUnixEpochNDays) * kMicrosPerDay + micros;
    return local(wall, sub_milli);
}

std::optional<ParsedTime> TimeParser::clock(std::string_view s, std::optional<uint32_t> day, std::string& why) {
    // "9:30:00", as some exporters write the hours before ten, is 09:30:00.
    char padded[40];
    if (s.size() >= 2 && s.size() < sizeof padded && s[1] == ':' && s[0] >= '0' && s[0] <= '9') {
        padded[0] = '0';
        std::memcpy(padded + 1, s.data(), s.size());
        s = std::string_view(padded, s.size() + 1);
    }
    std::size_t at = 0;
    int64_t micros = 0;
    bool sub_milli = false;
    if (!clock_part(s, at, micros, sub_milli) || at != s.size()) {
        why = "expected a time: an integer since the epoch, ISO 8601 or HH:MM:SS[.ffffff]";
        return std::nullopt;
    }
    return time_of_day(micros, sub_milli, day, why);
}

std::optional<ParsedTime> TimeParser::clock_digits(std::string_view s, std::optional<uint32_t> day,
                                                   std::string& why) {
    int h, m, sec;
    bool all_digits = s.size() >= 6 && s.size() <= 15;
    for (char c : s) all_digits = all_digits && c >= '0' && c <= '9';
    if (!all_digits || !digits(s, 0, 2, h) || !digits(s, 2, 2, m) || !digits(s, 4, 2, sec) || h > 23 || m > 59 ||
        sec > 60) {
        why = "expected a time of day as HHMMSS and up to nine digits of a second (093000123456789)";
        return std::nullopt;
    }
    int64_t fraction = 0;
    bool sub_milli = false;
    for (std::size_t k = 6; k < 12; ++k) {
        const int digit = k < s.size() ? s[k] - '0' : 0;
        fraction = fraction * 10 + digit;
        sub_milli = sub_milli || (k >= 9 && digit != 0);
    }
    for (std::size_t k = 12; k < s.size(); ++k) sub_milli = sub_milli || s[k] != '0';
    if (sec == 60) {  // a leap second, read as :59.999999
        sec = 59;
        fraction = 999'999;
    }
    return time_of_day(((int64_t{h} * 60 + m) * 60 + sec) * 1'000'000 + fraction, sub_milli, day, why);
}

std::optional<ParsedTime> TimeParser::iso(std::string_view s, std::string& why) {
    int y, mo, d;
    const char* expected = "expected an ISO 8601 time such as 2024-03-15T09:30:00.123456Z";
    if (!digits(s, 0, 4, y) || s[4] != '-' || !digits(s, 5, 2, mo) || s.size() < 10 || s[7] != '-' ||
        !digits(s, 8, 2, d)) {
        why = expected;
        return std::nullopt;
    }
    if (!engine::valid_ymd(y, mo, d)) {
        // A date of the calendar (y is 0 to 9999 here) before the tape's days.
        const bool calendar = mo >= 1 && mo <= 12 && d >= 1 && d <= 31 && y < 1883;
        why = calendar ? "outside the days a tape holds (1883-01-01 to 9999-12-31)" : expected;
        return std::nullopt;
    }
    const int64_t days = static_cast<int64_t>(engine::ndays_from_ymd(y, mo, d)) - engine::kUnixEpochNDays;
    std::size_t at = 10;
    int64_t micros = 0;
    bool sub_milli = false;
    if (at < s.size()) {
        if (s[at] != 'T' && s[at] != 't' && s[at] != ' ') {
            why = expected;
            return std::nullopt;
        }
        ++at;
        if (!clock_part(s, at, micros, sub_milli)) {
            why = expected;
            return std::nullopt;
        }
    }
    const int64_t wall = days * kMicrosPerDay + micros;
    if (at == s.size()) return local(wall, sub_milli);
    // The zone may follow a space, and be named UTC or GMT, as database
    // exports write it ("2024-03-15 13:30:00.123456 UTC").
    if (s[at] == ' ' && at + 1 < s.size()) ++at;
    int64_t offset = 0;
    if (!utc_offset(s.substr(at), offset)) {
        why = expected;
        return std::nullopt;
    }
    return ParsedTime{wall - offset, sub_milli};
}

std::optional<DateOrder> parse_date_order(std::string_view text) {
    if (text == "mdy") return DateOrder::MonthFirst;
    if (text == "dmy") return DateOrder::DayFirst;
    return std::nullopt;
}

std::optional<uint32_t> calendar_day(std::string_view s, DateOrder order, std::string& why) {
    // A midnight after the date: " 00:00:00.000", "T00:00".
    if (const std::size_t at = s.find_first_of(" T"); at != std::string_view::npos) {
        std::size_t k = at + 1;
        int64_t micros = -1;
        bool sub_milli = false;
        if (clock_part(s, k, micros, sub_milli) && k == s.size() && micros == 0) s = s.substr(0, at);
    }
    // Three numbers and the one separator between them.
    int parts[3] = {0, 0, 0};
    int widths[3] = {0, 0, 0};
    char separator = 0;
    int part = 0;
    for (char c : s) {
        if (c >= '0' && c <= '9') {
            if (widths[part] == 8) {
                part = -1;
                break;
            }
            parts[part] = parts[part] * 10 + (c - '0');
            ++widths[part];
        } else if ((c == '-' || c == '/' || c == '.') && part < 2 && widths[part] > 0 &&
                   (separator == 0 || c == separator)) {
            separator = c;
            ++part;
        } else {
            part = -1;
            break;
        }
    }
    int y = 0, m = 0, d = 0;
    const bool year_last = part == 2 && widths[0] <= 2 && widths[1] <= 2 && widths[2] == 4;
    // 20240315, or 20240315.0 as a float column with a gap is written to CSV
    if (widths[0] == 8 && (part == 0 || (part == 1 && separator == '.' && widths[1] > 0 && parts[1] == 0))) {
        y = parts[0] / 10000, m = parts[0] / 100 % 100, d = parts[0] % 100;
    } else if (part == 2 && widths[0] == 4 && widths[1] <= 2 && widths[2] >= 1 && widths[2] <= 2) {  // 2024-03-15
        y = parts[0], m = parts[1], d = parts[2];
    } else if (year_last && order != DateOrder::Unknown) {  // 03/15/2024, 15.03.2024
        y = parts[2];
        m = order == DateOrder::MonthFirst ? parts[0] : parts[1];
        d = order == DateOrder::MonthFirst ? parts[1] : parts[0];
    } else if (year_last) {
        why = "a date with the year last reads month first (03/15/2024) or day first (15/03/2024), as vendors "
              "write it: give --date-order mdy or --date-order dmy";
        return std::nullopt;
    } else {
        why = "expected a date: YYYY-MM-DD, YYYYMMDD, or with the year last and --date-order (MM/DD/YYYY, DD.MM.YYYY)";
        return std::nullopt;
    }
    if (engine::valid_ymd(y, m, d)) return engine::ndays_from_ymd(y, m, d);
    const bool calendar = m >= 1 && m <= 12 && d >= 1 && d <= 31 && y < 1883;
    why = calendar ? "outside the days a tape holds (1883-01-01 to 9999-12-31)"
          : year_last ? std::string("not a day of the calendar, read ") +
                            (order == DateOrder::MonthFirst ? "month first (--date-order mdy)" : "day first (--date-order dmy)")
                      : "not a day of the calendar";
    return std::nullopt;
}

bool utc_offset(std::string_view zone, int64_t& micros) {
    if (zone == "Z" || zone == "z" || zone == "UTC" || zone == "GMT") {
        micros = 0;
        return true;
    }
    int hours, minutes = 0;
    if (zone.empty() || (zone[0] != '+' && zone[0] != '-') || !digits(zone, 1, 2, hours)) return false;
    std::size_t at = 3;
    if (at < zone.size() && zone[at] == ':') ++at;
    if (at < zone.size()) {
        if (!digits(zone, at, 2, minutes)) return false;
        at += 2;
    }
    if (at != zone.size() || hours > 23 || minutes > 59) return false;
    micros = (zone[0] == '-' ? -1 : 1) * (int64_t{hours} * 60 + minutes) * 60'000'000;
    return true;
}

std::optional<ParsedTime> TimeParser::iso_basic(std::string_view s, std::string& why) {
    // "20240315T093000.123456-0400" is read as "2024-03-15T09:30:00.123456-0400".
    char extended[64];
    std::size_t n = 0;
    const auto copy = [&](std::size_t from, std::size_t count) {
        for (std::size_t k = from; k < from + count && k < s.size(); ++k) extended[n++] = s[k];
    };
    std::size_t clock_digits = 9;
    while (clock_digits < s.size() && s[clock_digits] >= '0' && s[clock_digits] <= '9') ++clock_digits;
    clock_digits -= 9;
    if (s.size() > 40 || (clock_digits != 4 && clock_digits != 6)) {
        why = "expected an ISO 8601 time such as 2024-03-15T09:30:00.123456Z";
        return std::nullopt;
    }
    copy(0, 4);
    extended[n++] = '-';
    copy(4, 2);
    extended[n++] = '-';
    copy(6, 3);  // the day and the T
    copy(9, 2);
    extended[n++] = ':';
    copy(11, 2);
    if (clock_digits == 6) {
        extended[n++] = ':';
        copy(13, 2);
    }
    copy(9 + clock_digits, s.size() - 9 - clock_digits);
    return iso(std::string_view(extended, n), why);
}

bool TimeParser::date_and_clock(std::string_view s, std::optional<ParsedTime>& out, std::string& why) {
    const std::size_t blank = s.find(' ');
    if (blank < 8 || blank > 10) return false;
    const std::string_view date = s.substr(0, blank);
    // Written as a date: digits and two of one separator, or eight digits.
    const std::size_t first = date.find_first_not_of("0123456789");
    const char separator = first == std::string_view::npos ? 0 : date[first];
    if (separator != 0 && separator != '-' && separator != '/' && separator != '.') return false;
    int separators = 0, digit_count = 0;
    for (char c : date) {
        if (c >= '0' && c <= '9') ++digit_count;
        else if (c == separator) ++separators;
        else return false;
    }
    if (!((separators == 2 && digit_count >= 6) || (separators == 0 && digit_count == 8))) return false;
    out = std::nullopt;
    const std::optional<uint32_t> day = calendar_day(date, order_, why);
    if (!day) {
        why += ", in a date and a time of day";
        return true;
    }
    std::size_t at = blank;
    while (at < s.size() && s[at] == ' ') ++at;
    // The time of day as HH:MM:SS[.fff] in a buffer of its own:
    // 090000637 as 09:00:00.637, 093000.5 as 09:30:00.5, 9:30:00 as 09:30:00.
    char clock[48];
    std::size_t n = 0;
    std::size_t digits_end = at;
    while (digits_end < s.size() && s[digits_end] >= '0' && s[digits_end] <= '9') ++digits_end;
    if (digits_end - at >= 6 && digits_end - at <= 15 && (digits_end == s.size() || s[digits_end] != ':')) {
        for (std::size_t k = at; k < digits_end; ++k) {
            if (k - at == 2 || k - at == 4) clock[n++] = ':';
            if (k - at == 6) clock[n++] = '.';
            clock[n++] = s[k];
        }
        at = digits_end;
        if (n == 8 && at < s.size() && (s[at] == '.' || s[at] == ',')) clock[n++] = s[at++];  // 093000.5
    } else if (digits_end - at == 1) {
        clock[n++] = '0';
    }
    while (at < s.size() && n < sizeof clock && ((s[at] >= '0' && s[at] <= '9') || s[at] == ':' || s[at] == '.' ||
                                                 s[at] == ','))
        clock[n++] = s[at++];
    const std::string_view clock_text(clock, n);
    std::size_t k = 0;
    int64_t micros = 0;
    bool sub_milli = false;
    int64_t offset = 0;
    std::string_view zone = s.substr(at);
    if (!zone.empty() && zone[0] == ' ' && zone.size() > 1) zone.remove_prefix(1);
    if (!clock_part(clock_text, k, micros, sub_milli) || k != n || (!zone.empty() && !utc_offset(zone, offset))) {
        why = "expected a date and a time of day such as 2024-03-15 09:30:00.123456 (15.03.2024 09:30:00.123 with "
              "--date-order)";
        return true;
    }
    const int64_t wall = (static_cast<int64_t>(*day) - engine::kUnixEpochNDays) * kMicrosPerDay + micros;
    out = zone.empty() ? local(wall, sub_milli) : ParsedTime{wall - offset, sub_milli};
    return true;
}

std::optional<ParsedTime> TimeParser::text(std::string_view s, std::optional<uint32_t> day, std::string& why) {
    if (s.empty()) {
        why = "empty";
        return std::nullopt;
    }
    // A date and a time of day, 15.03.2024 09:30:00.242: the blank after
    // the date is told before anything else is read.
    std::optional<ParsedTime> dated;
    if (s.size() >= 13 && (s[8] == ' ' || s[9] == ' ' || s[10] == ' ') &&
        !(s[4] == '-' && s[7] == '-') && date_and_clock(s, dated, why))
        return dated;
    if (unit_ == TimeUnit::ClockDigits) return clock_digits(s, day, why);
    const std::size_t i = s[0] == '-' ? 1 : 0;
    std::size_t k = i;
    uint64_t v = 0;  // up to 19 digits fit
    while (s.size() - k >= 8 && k - i <= 11 && eight_digits(s.data() + k)) {
        v = v * 100'000'000 + eight_digits_value(s.data() + k);
        k += 8;
    }
    for (; k < s.size() && k - i < 19 && s[k] >= '0' && s[k] <= '9'; ++k) v = v * 10 + static_cast<uint64_t>(s[k] - '0');
    if (k == s.size() && k > i) {
        if (v > static_cast<uint64_t>(INT64_MAX)) {
            why = "time out of range";
            return std::nullopt;
        }
        return integer(i ? -static_cast<int64_t>(v) : static_cast<int64_t>(v), std::nullopt, day, why);
    }
    if (k - i == 19 && k < s.size() && s[k] >= '0' && s[k] <= '9') {
        why = "time out of range";
        return std::nullopt;
    }
    if (k > i && k < s.size() && s[k] == '.') {
        // "1710509400.123456": a number since the epoch with a fraction.
        std::size_t f = k + 1;
        while (f < s.size() && s[f] >= '0' && s[f] <= '9') ++f;
        if (f == s.size() && f > k + 1) return fractional(i != 0, v, s.substr(k + 1), day, why);
    }
    if (k > i && k < s.size() && (s[k] == '.' || s[k] == 'e' || s[k] == 'E') &&
        s.find_first_of("eE", k) != std::string_view::npos) {
        // "1.7105094001234568e+18", as pandas writes a float column of
        // epoch times: read as the number it writes.
        Decimal d;
        char plain[48];
        if (parse_decimal(s, d) && d.decimals <= 9) {
            const std::string_view written = format_decimal(d, plain);
            if (written.find_first_of("eE") == std::string_view::npos) return text(written, day, why);
        }
    }
    if (s.size() >= 10 && s[4] == '-') {
        // 2024-03-5 09:30:00, 2024-03-15 093000: not ISO 8601, but a date
        // and a time of day.
        std::optional<ParsedTime> t = iso(s, why);
        std::string dated_why;
        if (!t && date_and_clock(s, dated, dated_why) && dated) return dated;
        return t;
    }
    if (s.size() >= 13 && s[8] == 'T' && k - i == 8) return iso_basic(s, why);
    return clock(s, day, why);
}


}  // namespace tarvik::import
