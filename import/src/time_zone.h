// A time zone as the import needs it: an instant (microseconds since the
// Unix epoch) to its local day and time of day, and a local wall-clock time
// back to the instant. Zones come from the time-zone database through
// C++20 <chrono>; "UTC" needs no database. The last offset window found is
// kept, so a day of events costs one look-up per offset change.
#pragma once

#include <cstdint>
#include <string>

namespace std::chrono {
class time_zone;
}

namespace tarvik::import {

inline constexpr int64_t kMicrosPerDay = 86'400'000'000;

struct LocalTime {
    int64_t ndays;    // days since 1883-01-01, the engine's day number (may lie outside a tape's days)
    uint64_t micros;  // microseconds since local midnight
};

// The days a tape can hold: 1883-01-01 (day 0) to 9999-12-31.
bool tape_day(int64_t ndays);

class TimeZone {
public:
    // Throws ImportUsageError for a name the database does not know.
    explicit TimeZone(const std::string& name);

    const std::string& name() const { return name_; }
    LocalTime to_local(int64_t epoch_micros);
    // A local wall-clock time, in microseconds since 1970-01-01 00:00 local.
    // A time that occurs twice (clocks set back) is its first occurrence; a
    // time that does not exist (clocks set forward) is read with the offset
    // before the change.
    int64_t from_local(int64_t local_micros);
    // Whole hours to GMT at local noon of the day, for the tape header.
    int8_t header_hours(uint32_t ndays);

private:
    void find_window(int64_t epoch_micros);

    std::string name_;
    const std::chrono::time_zone* zone_ = nullptr;  // null: UTC
    int64_t begin_ = INT64_MIN;  // the window [begin_, end_) of offset_
    int64_t end_ = INT64_MAX;
    int64_t offset_ = 0;  // local minus UTC, microseconds
    int64_t prev_offset_ = 0;  // that of the window before begin_
};

// floor(a / b) for b > 0.
inline int64_t floor_div(int64_t a, int64_t b) { return a / b - ((a % b != 0) && ((a < 0) != (b < 0))); }

}  // namespace tarvik::import
