#include "engine/dates.h"

#include <cstdio>

#include <array>
#include <chrono>
#include <cstddef>
#include <exception>
#include <version>

#include "engine/engine_constants.h"

// The standard library's time-zone database (std::chrono::locate_zone and
// friends) arrived with this value of the chrono feature macro.
#if defined(__cpp_lib_chrono) && __cpp_lib_chrono >= 201907L
#define TARVIK_HAVE_TZDB 1
#else
#define TARVIK_HAVE_TZDB 0
#endif

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
static_assert(-kEpoch == kUnixEpochNDays);

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

// Daylight saving in New York (US Eastern), from 1967 on: earlier years
// answer TqDATE_DST_UNKNOWN.
constexpr int kFirstDstYear = 1967;

// The changes of one year, as the days of local time on which they happen.
// A day is ON or OFF when daylight time is in effect for all of it or for
// none of it, ONTODAY or OFFTODAY when it starts or ends that day.
struct DstYear {
    struct Change {
        uint16_t month_day;  // month * 100 + day
        bool on;             // daylight time in effect after the change
    };
    bool on_at_new_year = false;
    std::size_t count = 0;
    std::array<Change, 4> changes{};  // in order; New York has two a year
};

uint8_t indicator_on(const DstYear& year, int m, int d) {
    const int month_day = m * 100 + d;
    bool on = year.on_at_new_year;
    for (std::size_t i = 0; i < year.count; ++i) {
        const DstYear::Change& change = year.changes[i];
        if (change.month_day == month_day) return change.on ? TqDATE_DST_ONTODAY : TqDATE_DST_OFFTODAY;
        if (change.month_day > month_day) break;
        on = change.on;
    }
    return on ? TqDATE_DST_ON : TqDATE_DST_OFF;
}

// The US rules written out, for when the time-zone database cannot be
// read: 1967-86, 1987-2006 and from 2007.
DstYear changes_from_rules(int y) {
    int start_month, start_day, end_month, end_day;
    if (y >= 2007) {
        start_month = 3, start_day = nth_sunday(y, 3, 2);
        end_month = 11, end_day = nth_sunday(y, 11, 1);
    } else if (y >= 1987) {
        start_month = 4, start_day = nth_sunday(y, 4, 1);
        end_month = 10, end_day = nth_sunday(y, 10, -1);
    } else {
        start_month = 4, start_day = nth_sunday(y, 4, -1);
        end_month = 10, end_day = nth_sunday(y, 10, -1);
    }
    DstYear year;
    year.count = 2;
    year.changes[0] = {static_cast<uint16_t>(start_month * 100 + start_day), true};
    year.changes[1] = {static_cast<uint16_t>(end_month * 100 + end_day), false};
    return year;
}

#if TARVIK_HAVE_TZDB

// Years read from the database once. The database gives each zone's rules
// after its last listed change as changes on fixed weekdays of fixed months,
// and the calendar repeats every 400 years (146097 days, whole weeks), so a
// later year has the changes of the year a multiple of 400 before it in the
// last 400 years held here.
constexpr int kLastCachedDstYear = 2500;
constexpr int kCalendarCycle = 400;

// The changes of year y in the zone. A change belongs to the day that the
// clock shows just before it (02:00 in New York, both ways). False if the
// year has more changes than DstYear holds.
bool changes_from_zone(const std::chrono::time_zone& zone, int y, DstYear& year) {
    namespace chrono = std::chrono;
    const auto in_daylight = [](const chrono::sys_info& info) { return info.save != chrono::minutes::zero(); };
    // A day before the year's first local midnight, whatever the offset.
    chrono::sys_info info = zone.get_info(chrono::sys_days{chrono::year{y} / 1 / 1} - chrono::days{1});
    year = DstYear{};
    year.on_at_new_year = in_daylight(info);
    while (info.end != chrono::sys_seconds::max()) {
        const chrono::local_seconds clock{info.end.time_since_epoch() + info.offset};
        const chrono::year_month_day day{chrono::floor<chrono::days>(clock)};
        if (static_cast<int>(day.year()) > y) break;
        const chrono::sys_info next = zone.get_info(info.end);
        if (in_daylight(next) != in_daylight(info)) {
            if (static_cast<int>(day.year()) < y) {
                year.on_at_new_year = in_daylight(next);
            } else if (year.count == year.changes.size()) {
                return false;
            } else {
                const unsigned month_day = static_cast<unsigned>(day.month()) * 100 + static_cast<unsigned>(day.day());
                year.changes[year.count++] = {static_cast<uint16_t>(month_day), in_daylight(next)};
            }
        }
        info = next;
    }
    return true;
}

// America/New_York from the time-zone database, read once per process and
// never changed after: every thread reads it without a lock, and nothing
// asks the database again. Not loaded when the database or the zone cannot
// be read.
struct NewYorkDst {
    bool loaded = false;
    std::array<DstYear, kLastCachedDstYear - kFirstDstYear + 1> years{};
};

NewYorkDst load_new_york_dst() noexcept {
    NewYorkDst new_york;
    try {
        const std::chrono::time_zone* zone = std::chrono::locate_zone("America/New_York");
        for (int y = kFirstDstYear; y <= kLastCachedDstYear; ++y) {
            if (!changes_from_zone(*zone, y, new_york.years[static_cast<std::size_t>(y - kFirstDstYear)])) {
                return NewYorkDst{};
            }
        }
    } catch (const std::exception&) {
        return NewYorkDst{};  // no database, or no such zone in it
    }
    new_york.loaded = true;
    return new_york;
}

// The year whose changes stand for year y: y itself, or for a year after
// the last one held the year a whole number of cycles before it.
int cached_dst_year(int y) {
    if (y <= kLastCachedDstYear) return y;
    return y - (y - kLastCachedDstYear + kCalendarCycle - 1) / kCalendarCycle * kCalendarCycle;
}

const NewYorkDst& new_york_dst() {
    static const NewYorkDst new_york = load_new_york_dst();
    return new_york;
}

#endif  // TARVIK_HAVE_TZDB

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
    if (y < kFirstDstYear) return TqDATE_DST_UNKNOWN;
#if TARVIK_HAVE_TZDB
    if (const NewYorkDst& new_york = new_york_dst(); new_york.loaded) {
        return indicator_on(new_york.years[static_cast<std::size_t>(cached_dst_year(y) - kFirstDstYear)], m, d);
    }
#endif
    return indicator_on(changes_from_rules(y), m, d);
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

std::string ymd_text(uint32_t ndays) {
    TqDateRecord d{};
    d.NDays = ndays;
    date_from_ndays(d);
    char text[16];
    std::snprintf(text, sizeof text, "%04u-%02u-%02u", d.Year, d.Month, d.Day);
    return text;
}

bool parse_ymd(std::string_view text, uint32_t& ndays) {
    if (text.size() != 10 || text[4] != '-' || text[7] != '-') return false;
    int parts[3] = {0, 0, 0};
    for (std::size_t i = 0, part = 0; i < text.size(); ++i) {
        if (i == 4 || i == 7) {
            ++part;
            continue;
        }
        if (text[i] < '0' || text[i] > '9') return false;
        parts[part] = parts[part] * 10 + (text[i] - '0');
    }
    if (!valid_ymd(parts[0], parts[1], parts[2])) return false;
    ndays = ndays_from_ymd(parts[0], parts[1], parts[2]);
    return true;
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
