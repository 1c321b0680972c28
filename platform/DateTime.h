// The day-based date-time shared with the host: days since 1899-12-30, 1 s = 1/86400 day.
#pragma once

#include <cstdint>

using TDateTime = double;

namespace n95 {

inline constexpr double kSecondsPerDay = 86400.0;

// Seconds as a date-time span (days).
constexpr TDateTime SecondsToDays(double seconds) { return seconds / kSecondsPerDay; }

// Days since 1970-01-01 of the day-based epoch 1899-12-30.
inline constexpr double kUnixEpochInDays = 25569.0;

// A Unix time (seconds since 1970-01-01) as a day-based date-time.
constexpr TDateTime UnixSecondsToDateTime(double unixSeconds) {
    return kUnixEpochInDays + unixSeconds / kSecondsPerDay;
}

// A day-based date-time as Unix seconds.
constexpr double DateTimeToUnixSeconds(TDateTime t) { return (t - kUnixEpochInDays) * kSecondsPerDay; }

}  // namespace n95
