// Calendar arithmetic and ISO-8601 text for the day-based date-time (TDateTime: days since
// 1899-12-30, UTC throughout this tool).
//
// Pure functions, safe from any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "platform/DateTime.h"

namespace n95::host {

// The calendar itself (DaysFromCivil, CivilFromDays) is the platform's, in platform/DateTime.h.

// The date-time of a UTC calendar date and time of day. No range checks.
TDateTime MakeDateTime(int64_t y, unsigned m, unsigned d, unsigned hour, unsigned minute,
                       double second);

// Splits t, rounded to the millisecond, into its day (from 1970-01-01) and the millisecond
// of that day, as the texts below show it. False for the no-value marker -9999.0 and for a
// value that is not finite or lies outside the years 1..9999.
bool SplitMilliseconds(TDateTime t, int64_t& days, int64_t& msOfDay);

// Appends t as "YYYY-MM-DDTHH:MM:SS.mmmZ", rounded to the millisecond. Appends nothing for
// the no-value marker -9999.0 and for a value that is not finite or lies outside the years
// 1..9999.
void AppendIso8601(std::string& out, TDateTime t);
std::string FormatIso8601(TDateTime t);

// The longest text AppendIso8601 makes.
inline constexpr std::size_t kIso8601Size = 24;

// Writes date-times as AppendIso8601 does, for a column of them: the text of the last value
// is kept, and so is the date part of the last day, so that a row whose time repeats the
// previous one costs a copy, and one on the same day formats only its time of day.
// One owner; not thread-safe.
class TIso8601Column {
public:
    // Writes t's text at `out` (room for kIso8601Size chars) and returns its end.
    char* Put(char* out, TDateTime t);

private:
    TDateTime LastTime = -9999.0;  // the no-value marker: its text is empty
    std::size_t LastSize = 0;
    char LastText[kIso8601Size] = {};
    int64_t LastDay = INT64_MIN;
    char DateText[11] = {};  // "YYYY-MM-DDT" of LastDay
};

// Parses "YYYY-MM-DDTHH:MM:SS[.fraction][Z|+hh:mm|-hh:mm]" (as GPX writes it; no zone means
// UTC). False for anything else, including out-of-range fields.
bool ParseIso8601(std::string_view text, TDateTime& out);

}  // namespace n95::host
