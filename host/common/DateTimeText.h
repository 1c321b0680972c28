// Calendar arithmetic and ISO-8601 text for the day-based date-time (TDateTime: days since
// 1899-12-30, UTC throughout this tool).
//
// Pure functions, safe from any thread.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "platform/DateTime.h"

namespace n95::host {

// The calendar itself (DaysFromCivil, CivilFromDays) is the platform's, in platform/DateTime.h.

// The date-time of a UTC calendar date and time of day. No range checks.
TDateTime MakeDateTime(int64_t y, unsigned m, unsigned d, unsigned hour, unsigned minute,
                       double second);

// Appends t as "YYYY-MM-DDTHH:MM:SS.mmmZ", rounded to the millisecond. Appends nothing for
// the no-value marker -9999.0 and for a value that is not finite or lies outside the years
// 1..9999.
void AppendIso8601(std::string& out, TDateTime t);
std::string FormatIso8601(TDateTime t);

// Parses "YYYY-MM-DDTHH:MM:SS[.fraction][Z|+hh:mm|-hh:mm]" (as GPX writes it; no zone means
// UTC). False for anything else, including out-of-range fields.
bool ParseIso8601(std::string_view text, TDateTime& out);

}  // namespace n95::host
