#include "dates.h"

#include "constants.h"

namespace tarvik::engine {
namespace {

// Days from 1970-01-01 of a proleptic Gregorian date (H. Hinnant's
// days_from_civil), and back.
constexpr int64_t days_from_civil(int64_t y, unsigned m, unsigned d) {
    y -= m <= 2;
    const int64_t era = (y >= 0 ? y : y - 399) / 400;
    const unsigned yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<int64_t>(doe) - 719468;
}

void civil_from_days(int64_t z, int& year, int& month, int& day) {
    z += 719468;
    const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const unsigned doe = static_cast<unsigned>(z - era * 146097);
    const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const unsigned mp = (5 * doy + 2) / 153;
    day = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
    month = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
    year = static_cast<int>(static_cast<int64_t>(yoe) + era * 400 + (month <= 2));
}

constexpr int64_t kEpoch = days_from_civil(kFirstYear, 1, 1);

bool leap(int y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }

int days_in_month(int y, int m) {
    static constexpr int kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return m == 2 && leap(y) ? 29 : kDays[m - 1];
}

// 0 = Sunday.
int weekday(int y, int m, int d) {
    const int64_t days = days_from_civil(y, static_cast<unsigned>(m), static_cast<unsigned>(d));
    return static_cast<int>(((days % 7) + 7 + 4) % 7);  // 1970-01-01 was a Thursday
}

// Day of month of the n-th (1-based) Sunday of a month; n = -1 the last.
int nth_sunday(int y, int m, int n) {
    if (n < 0) {
        const int last = days_in_month(y, m);
        return last - weekday(y, m, last);
    }
    const int first = 1 + (7 - weekday(y, m, 1)) % 7;
    return first + 7 * (n - 1);
}

void fill_derived(TqDateRecord& date, int y, int m, int d) {
    date.Year = static_cast<uint16_t>(y);
    date.Month = static_cast<uint8_t>(m);
    date.Day = static_cast<uint8_t>(d);
    date.DayOfWeek = static_cast<uint8_t>(weekday(y, m, d));
    set_day_of_year(date, static_cast<int>(ndays_from_ymd(y, m, d) - ndays_from_ymd(y, 1, 1)) + 1);
    date.DSTIndicator = us_dst_indicator(y, m, d);
}

}  // namespace

bool valid_ymd(int year, int month, int day) {
    return year >= kFirstYear && year <= kLastYear && month >= 1 && month <= 12 && day >= 1 &&
           day <= days_in_month(year, month);
}

uint32_t ndays_from_ymd(int year, int month, int day) {
    return static_cast<uint32_t>(days_from_civil(year, static_cast<unsigned>(month), static_cast<unsigned>(day)) -
                                 kEpoch);
}

void set_day_of_year(TqDateRecord& date, int day_of_year) {
    date.DayOfYear = static_cast<uint8_t>(day_of_year & 0xFF);
    date.reserved = static_cast<uint8_t>(day_of_year >> 8);
}

uint8_t us_dst_indicator(int y, int m, int d) {
    int start_month, start_day, end_month, end_day;
    if (y >= 2007) {
        start_month = 3, start_day = nth_sunday(y, 3, 2);
        end_month = 11, end_day = nth_sunday(y, 11, 1);
    } else if (y >= 1987) {
        start_month = 4, start_day = nth_sunday(y, 4, 1);
        end_month = 10, end_day = nth_sunday(y, 10, -1);
    } else if (y >= 1967) {
        start_month = 4, start_day = nth_sunday(y, 4, -1);
        end_month = 10, end_day = nth_sunday(y, 10, -1);
    } else {
        return TqDATE_DST_UNKNOWN;
    }
    const int md = m * 100 + d;
    const int start = start_month * 100 + start_day;
    const int end = end_month * 100 + end_day;
    if (md == start) return TqDATE_DST_ONTODAY;
    if (md == end) return TqDATE_DST_OFFTODAY;
    return md > start && md < end ? TqDATE_DST_ON : TqDATE_DST_OFF;
}

int32_t date_from_ndays(TqDateRecord& date) {
    const uint32_t ndays = date.NDays;
    if (ndays > ndays_from_ymd(kLastYear, 12, 31)) {
        date = TqDateRecord{};
        date.NDays = ndays;
        return TqAPIERR_BAD_PARAMETERS;
    }
    int y, m, d;
    civil_from_days(kEpoch + ndays, y, m, d);
    fill_derived(date, y, m, d);
    return 0;
}

int32_t date_from_ymd(TqDateRecord& date) {
    const int y = date.Year, m = date.Month, d = date.Day;
    if (!valid_ymd(y, m, d)) {
        date.NDays = 0;
        date.DSTIndicator = TqDATE_DST_UNKNOWN;
        date.DayOfWeek = 0;
        set_day_of_year(date, 0);
        return TqAPIERR_BAD_PARAMETERS;
    }
    date.NDays = ndays_from_ymd(y, m, d);
    fill_derived(date, y, m, d);
    return 0;
}

TqTimeRecord time_from_micros(uint64_t micros_of_day, int8_t time_zone) {
    const uint32_t ms = static_cast<uint32_t>(micros_of_day / 1000);
    TqTimeRecord t{};
    t.MsOfDay = ms;
    t.Millisecond = static_cast<uint16_t>(ms % 1000);
    t.Second = static_cast<uint8_t>(ms / 1000 % 60);
    t.Minute = static_cast<uint8_t>(ms / 60000 % 60);
    t.Hour = static_cast<uint8_t>(ms / 3600000);
    t.TimeZone = time_zone;
    t.MsResolution = 1;
    return t;
}

}  // namespace tarvik::engine
