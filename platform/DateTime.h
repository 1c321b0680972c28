// The day-based date-time shared with the host: days since 1899-12-30, 1 s = 1/86400 day.
#pragma once

#include <cstdint>

using TDateTime = double;

namespace n95 {

inline constexpr double kSecondsPerDay = 86400.0;

// Seconds as a date-time span (days).
constexpr TDateTime SecondsToDays(double seconds) {
    return seconds / kSecondsPerDay;
}

// Days since 1970-01-01 of the day-based epoch 1899-12-30.
inline constexpr double kUnixEpochInDays = 25569.0;

// A Unix time (seconds since 1970-01-01) as a day-based date-time.
constexpr TDateTime UnixSecondsToDateTime(double unixSeconds) {
    return kUnixEpochInDays + unixSeconds / kSecondsPerDay;
}

// A day-based date-time as Unix seconds.
constexpr double DateTimeToUnixSeconds(TDateTime t) {
    return (t - kUnixEpochInDays) * kSecondsPerDay;
}

// Civil-calendar conversions in the proleptic Gregorian calendar, after H. Hinnant's
// public-domain algorithms: eras of 400 years that start on 1 March, so that the leap day is
// the last day of a year. Exact for every date whose day count fits in an int64_t; pure, so
// safe from any thread.

// Days since 1970-01-01 of the date y-m-d (m 1..12, d 1..31; not range-checked).
constexpr int64_t DaysFromCivil(int64_t y, unsigned m, unsigned d) {
    y -= m <= 2 ? 1 : 0;
    const int64_t era = (y >= 0 ? y : y - 399) / 400;
    const auto yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<int64_t>(doe) - 719468;
}

// The date y-m-d of a day count since 1970-01-01.
constexpr void CivilFromDays(int64_t days, int64_t& y, unsigned& m, unsigned& d) {
    days += 719468;
    const int64_t era = (days >= 0 ? days : days - 146096) / 146097;
    const auto doe = static_cast<unsigned>(days - era * 146097);
    const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const unsigned mp = (5 * doy + 2) / 153;
    d = doy - (153 * mp + 2) / 5 + 1;
    m = mp < 10 ? mp + 3 : mp - 9;
    y = static_cast<int64_t>(yoe) + era * 400 + (m <= 2 ? 1 : 0);
}

// The day-based epoch is 1899-12-30.
static_assert(DaysFromCivil(1899, 12, 30) == -static_cast<int64_t>(kUnixEpochInDays));

}  // namespace n95
