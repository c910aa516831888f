// Calendar dates as the library counts them: days since 1883-01-01 (day 0),
// with day of week, day of year and the US daylight-saving indicator.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "tarvik/library.h"

namespace tarvik::engine {

inline constexpr int kFirstYear = 1883;
// 1970-01-01, the Unix epoch, as a day number.
inline constexpr int64_t kUnixEpochNDays = 31'776;
inline constexpr int kLastYear = 9999;

// Fills every field from NDays. Answers 0, or TqAPIERR_BAD_PARAMETERS when
// NDays lies past 9999-12-31: every field but NDays is then zero.
int32_t date_from_ndays(TqDateRecord& date);

// Fills every field from Year, Month and Day. Answers 0, or
// TqAPIERR_BAD_PARAMETERS for a date that does not exist or lies outside
// 1883 to 9999: NDays, DSTIndicator, DayOfWeek and DayOfYear are then zero.
int32_t date_from_ymd(TqDateRecord& date);

// Days since 1883-01-01 of a valid date.
uint32_t ndays_from_ymd(int year, int month, int day);
bool valid_ymd(int year, int month, int day);

// TqDATE_DST_* for a valid date in New York, from the time-zone database's
// America/New_York rules (the US rules written out when the database cannot
// be read); TqDATE_DST_UNKNOWN before 1967.
uint8_t us_dst_indicator(int year, int month, int day);

// The day of year is 1..366; the record holds its low byte in DayOfYear and
// its high byte in the byte after it.
void set_day_of_year(TqDateRecord& date, int day_of_year);

// The day as YYYY-MM-DD.
std::string ymd_text(uint32_t ndays);
// A valid date written YYYY-MM-DD, digits only, to days since 1883-01-01:
// false for any other text.
bool parse_ymd(std::string_view text, uint32_t& ndays);

// A time record for a moment of the day.
TqTimeRecord time_from_micros(uint64_t micros_of_day, int8_t time_zone);

}  // namespace tarvik::engine
