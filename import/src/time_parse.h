// Event times as vendor files write them, to microseconds since the Unix
// epoch:
//   - numbers since the epoch in seconds, milliseconds, microseconds or
//     nanoseconds (the unit given, or told by the size of the whole part),
//     whole or with a fraction ("1710509400.123456");
//   - ISO 8601: 2024-03-15T09:30:00.123456Z, with "Z" or an offset such as
//     -04:00 or +0530; without either the time is local to the time zone;
//   - a time of day, HH:MM:SS[.fffffffff], local to the time zone on the
//     day given;
//   - with a unit "-of-day", a time of day as a number since midnight
//     (LOBSTER's seconds, 34200.121711783; ITCH's nanoseconds);
//   - with the unit "hhmmss", a time of day as digits alone,
//     HHMMSS[fffffffff] (NYSE TAQ files write 093000123456789);
//   - a date as a date column is written, a space, and a time of day as
//     HH:MM:SS[.fff] or HHMMSS[fff] (15.03.2024 09:30:00.242, 20240308
//     090000637), then the zone ISO 8601 allows, if any.
// Digits past the microsecond are dropped (the time is truncated).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "time_zone.h"

namespace tarvik::import {

// The unit of numbers since the epoch; the same units since midnight
// (times of day as LOBSTER's seconds and ITCH's nanoseconds count them);
// or ClockDigits: times of day written as digits alone.
enum class TimeUnit {
    Seconds, Millis, Micros, Nanos, SecondsOfDay, MillisOfDay, MicrosOfDay, NanosOfDay, ClockDigits
};

// "s", "ms", "us", "ns", the same with "-of-day", "hhmmss"; nullopt for
// anything else.
std::optional<TimeUnit> parse_time_unit(std::string_view text);

// How a date with the year last reads: vendors write 03/15/2024 (US) and
// 15/03/2024 or 15.03.2024 alike, and the 3rd of April is 04/03 or 03/04.
// Unknown: such a date is an error, never a guess.
enum class DateOrder { Unknown, MonthFirst, DayFirst };

// "mdy", "dmy"; nullopt for anything else.
std::optional<DateOrder> parse_date_order(std::string_view text);

// A calendar day as vendor files write a date column beside times of day:
// 2024-03-15, 2024/03/15, 2024.03.15, 20240315, or with the year last in the
// order given (03/15/2024, 15.03.2024, 15-03-2024); the month and the day
// may have one digit but in 20240315. A midnight after it (" 00:00:00",
// as databases export dates) is read too. The day as the tape counts
// days; nullopt with the reason in `why`.
std::optional<uint32_t> calendar_day(std::string_view s, DateOrder order, std::string& why);

// An offset from UTC as ISO 8601 writes it ("Z", "+hh", "+hhmm", "+hh:mm";
// also "UTC" and "GMT"), local time minus UTC, in microseconds.
bool utc_offset(std::string_view zone, int64_t& micros);

struct ParsedTime {
    int64_t epoch_micros = 0;
    bool sub_milli = false;  // the time has digits below the millisecond
};

class TimeParser {
public:
    TimeParser(TimeZone& zone, std::optional<uint32_t> date_ndays, std::optional<TimeUnit> unit,
               DateOrder order = DateOrder::Unknown)
        : zone_(zone), date_(date_ndays), unit_(unit), order_(order) {}

    // A time written as text. `day` is the local day a time of day falls on
    // (the row's date); nullopt: the date given for every row, if any, else
    // a time of day is an error. On failure answers nullopt and says why in
    // `why`.
    std::optional<ParsedTime> text(std::string_view s, std::optional<uint32_t> day, std::string& why);
    // An integer since the epoch, or since midnight on `day` (as text());
    // `unit` overrides the parser's.
    std::optional<ParsedTime> integer(int64_t value, std::optional<TimeUnit> unit, std::optional<uint32_t> day,
                                      std::string& why);
    // A local wall-clock time (a typed timestamp without a time zone).
    ParsedTime local(int64_t local_micros, bool sub_milli);
    // A time of day (a typed time column) on `day`, else the given date.
    std::optional<ParsedTime> time_of_day(int64_t micros, bool sub_milli, std::optional<uint32_t> day,
                                          std::string& why);

    TimeZone& zone() { return zone_; }

private:
    std::optional<ParsedTime> iso(std::string_view s, std::string& why);
    // ISO 8601's basic format (no separators): 20240315T093000[.ffffff][Z|+-hhmm].
    std::optional<ParsedTime> iso_basic(std::string_view s, std::string& why);
    std::optional<ParsedTime> fractional(bool negative, uint64_t whole, std::string_view fraction,
                                         std::optional<uint32_t> day, std::string& why);
    // The unit given, or the one the size of the number tells.
    std::optional<TimeUnit> unit_for(int64_t value, std::string& why) const;
    std::optional<ParsedTime> clock(std::string_view s, std::optional<uint32_t> day, std::string& why);
    std::optional<ParsedTime> clock_digits(std::string_view s, std::optional<uint32_t> day, std::string& why);
    // A date as a date column is written, blanks, and a time of day. False
    // where `s` is not written so (it is read another way); else true,
    // with the time in `out`, or nullopt and the reason in `why`.
    bool date_and_clock(std::string_view s, std::optional<ParsedTime>& out, std::string& why);

    TimeZone& zone_;
    std::optional<uint32_t> date_;
    std::optional<TimeUnit> unit_;
    DateOrder order_;
};

}  // namespace tarvik::import
