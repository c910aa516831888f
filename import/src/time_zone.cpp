#include "time_zone.h"

#include <chrono>

#include "engine/dates.h"
#include "import_error.h"

namespace tarvik::import {

bool tape_day(int64_t ndays) {
    static const int64_t last = engine::ndays_from_ymd(engine::kLastYear, 12, 31);
    return ndays >= 0 && ndays <= last;
}

TimeZone::TimeZone(const std::string& name) : name_(name) {
    if (name == "UTC" || name == "Etc/UTC" || name == "Z") return;
#if defined(__cpp_lib_chrono) && __cpp_lib_chrono >= 201907L
    try {
        zone_ = std::chrono::locate_zone(name);
    } catch (const std::exception&) {
        throw ImportUsageError("unknown time zone '" + name +
                               "' (an IANA name such as America/New_York, or UTC)");
    }
    begin_ = end_ = 0;  // no window yet
#else
    throw ImportUsageError("this build knows only the UTC time zone (its C++ library has no time-zone database)");
#endif
}

void TimeZone::find_window(int64_t epoch_micros) {
#if defined(__cpp_lib_chrono) && __cpp_lib_chrono >= 201907L
    using namespace std::chrono;
    const sys_seconds at{seconds{floor_div(epoch_micros, 1'000'000)}};
    const sys_info info = zone_->get_info(at);
    offset_ = duration_cast<microseconds>(info.offset).count();
    begin_ = info.begin <= sys_seconds{seconds{INT64_MIN / 1'000'000}}
                 ? INT64_MIN
                 : duration_cast<microseconds>(info.begin.time_since_epoch()).count();
    end_ = info.end >= sys_seconds{seconds{INT64_MAX / 1'000'000}}
               ? INT64_MAX
               : duration_cast<microseconds>(info.end.time_since_epoch()).count();
    prev_offset_ = begin_ == INT64_MIN ? offset_
                                       : duration_cast<microseconds>(zone_->get_info(info.begin - seconds{1}).offset).count();
#else
    (void)epoch_micros;
#endif
}

LocalTime TimeZone::to_local(int64_t epoch_micros) {
    if (zone_ != nullptr && (epoch_micros < begin_ || epoch_micros >= end_)) find_window(epoch_micros);
    const int64_t local = epoch_micros + offset_;
    const int64_t days = floor_div(local, kMicrosPerDay);
    return {days + engine::kUnixEpochNDays, static_cast<uint64_t>(local - days * kMicrosPerDay)};
}

int64_t TimeZone::from_local(int64_t local_micros) {
    if (zone_ == nullptr) return local_micros;
    const int64_t guess = local_micros - offset_;
    // In the window, unless clocks went back at its start and the time is
    // also one of the window before: an hour told twice is its first.
    if (guess >= begin_ && guess < end_ && !(prev_offset_ > offset_ && local_micros - prev_offset_ < begin_))
        return guess;
#if defined(__cpp_lib_chrono) && __cpp_lib_chrono >= 201907L
    using namespace std::chrono;
    const local_seconds at{seconds{floor_div(local_micros, 1'000'000)}};
    const local_info info = zone_->get_info(at);
    const int64_t offset = duration_cast<microseconds>(info.first.offset).count();
    const int64_t epoch = local_micros - offset;
    find_window(epoch);
    return epoch;
#else
    return guess;
#endif
}

int8_t TimeZone::header_hours(uint32_t ndays) {
    const int64_t noon = (static_cast<int64_t>(ndays) - engine::kUnixEpochNDays) * kMicrosPerDay + kMicrosPerDay / 2;
    const int64_t epoch = from_local(noon);
    return static_cast<int8_t>((noon - epoch) / 3'600'000'000);
}

}  // namespace tarvik::import
