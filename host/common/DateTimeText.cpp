#include "host/common/DateTimeText.h"

#include <cmath>
#include <cstring>

namespace n95::host {

TDateTime MakeDateTime(int64_t y, unsigned m, unsigned d, unsigned hour, unsigned minute,
                       double second) {
    const double dayCount = static_cast<double>(DaysFromCivil(y, m, d)) + kUnixEpochInDays;
    return dayCount + (hour * 3600.0 + minute * 60.0 + second) / kSecondsPerDay;
}

namespace {

bool ReadNumber(std::string_view text, std::size_t& pos, int digits, int& value) {
    if (pos + digits > text.size())
        return false;
    value = 0;
    for (int i = 0; i < digits; ++i) {
        const char c = text[pos + i];
        if (c < '0' || c > '9')
            return false;
        value = value * 10 + (c - '0');
    }
    pos += digits;
    return true;
}

bool Expect(std::string_view text, std::size_t& pos, char c) {
    if (pos >= text.size() || text[pos] != c)
        return false;
    ++pos;
    return true;
}

}  // namespace

bool SplitMilliseconds(TDateTime t, int64_t& days, int64_t& msOfDay) {
    if (t == -9999.0 || !std::isfinite(t) || t < -693593.0 || t >= 2958466.0)
        return false;
    constexpr int64_t kMsPerDay = static_cast<int64_t>(kSecondsPerDay) * 1000;
    const auto ms = static_cast<int64_t>(std::llround((t - kUnixEpochInDays) * kMsPerDay));
    days = ms >= 0 ? ms / kMsPerDay : -((-ms + kMsPerDay - 1) / kMsPerDay);
    msOfDay = ms - days * kMsPerDay;
    return true;
}

namespace {

// Writes `value` as exactly `width` digits (value < 10^width) and returns the end.
char* PutDigits(char* out, int64_t value, int width) {
    for (int i = width - 1; i >= 0; --i) {
        out[i] = static_cast<char>('0' + value % 10);
        value /= 10;
    }
    return out + width;
}

// "YYYY-MM-DDT" of a day (from 1970-01-01) in the years 1..9999: 11 chars.
char* PutDate(char* out, int64_t days) {
    int64_t y;
    unsigned m, d;
    CivilFromDays(days, y, m, d);
    out = PutDigits(out, y, 4);
    *out++ = '-';
    out = PutDigits(out, m, 2);
    *out++ = '-';
    out = PutDigits(out, d, 2);
    *out++ = 'T';
    return out;
}

// "HH:MM:SS.mmmZ": 13 chars.
char* PutTimeOfDay(char* out, int64_t msOfDay) {
    out = PutDigits(out, msOfDay / 3600000, 2);
    *out++ = ':';
    out = PutDigits(out, msOfDay / 60000 % 60, 2);
    *out++ = ':';
    out = PutDigits(out, msOfDay / 1000 % 60, 2);
    *out++ = '.';
    out = PutDigits(out, msOfDay % 1000, 3);
    *out++ = 'Z';
    return out;
}

}  // namespace

void AppendIso8601(std::string& out, TDateTime t) {
    int64_t days, msOfDay;
    if (!SplitMilliseconds(t, days, msOfDay))
        return;
    char text[kIso8601Size];
    char* end = PutTimeOfDay(PutDate(text, days), msOfDay);
    out.append(text, end);
}

char* TIso8601Column::Put(char* out, TDateTime t) {
    // Compared bit for bit, so that a NaN repeats too (and -0.0 is not taken for 0.0).
    if (std::memcmp(&t, &LastTime, sizeof t) != 0) {
        LastTime = t;
        LastSize = 0;
        int64_t days, msOfDay;
        if (SplitMilliseconds(t, days, msOfDay)) {
            if (days != LastDay) {
                LastDay = days;
                PutDate(DateText, days);
            }
            std::memcpy(LastText, DateText, sizeof DateText);
            LastSize = static_cast<std::size_t>(PutTimeOfDay(LastText + sizeof DateText, msOfDay) -
                                                LastText);
        }
    }
    std::memcpy(out, LastText, LastSize);
    return out + LastSize;
}

std::string FormatIso8601(TDateTime t) {
    std::string out;
    AppendIso8601(out, t);
    return out;
}

bool ParseIso8601(std::string_view text, TDateTime& out) {
    std::size_t pos = 0;
    int year, month, day, hour, minute, second;
    if (!ReadNumber(text, pos, 4, year) || !Expect(text, pos, '-') ||
        !ReadNumber(text, pos, 2, month) || !Expect(text, pos, '-') ||
        !ReadNumber(text, pos, 2, day) || !Expect(text, pos, 'T') ||
        !ReadNumber(text, pos, 2, hour) || !Expect(text, pos, ':') ||
        !ReadNumber(text, pos, 2, minute) || !Expect(text, pos, ':') ||
        !ReadNumber(text, pos, 2, second))
        return false;
    if (month < 1 || month > 12 || day < 1 || day > 31 || hour > 23 || minute > 59 || second > 60)
        return false;
    // The day must exist in its month: round-trip it through the day count.
    int64_t y;
    unsigned m, d;
    CivilFromDays(DaysFromCivil(year, month, day), y, m, d);
    if (y != year || static_cast<int>(m) != month || static_cast<int>(d) != day)
        return false;

    double fraction = 0.0;
    if (pos < text.size() && text[pos] == '.') {
        ++pos;
        double scale = 0.1;
        const std::size_t start = pos;
        while (pos < text.size() && text[pos] >= '0' && text[pos] <= '9') {
            fraction += (text[pos] - '0') * scale;
            scale /= 10;
            ++pos;
        }
        if (pos == start)
            return false;
    }
    int offsetMinutes = 0;
    if (pos < text.size()) {
        if (text[pos] == 'Z') {
            ++pos;
        } else if (text[pos] == '+' || text[pos] == '-') {
            const int sign = text[pos] == '-' ? -1 : 1;
            ++pos;
            int oh, om;
            if (!ReadNumber(text, pos, 2, oh) || !Expect(text, pos, ':') ||
                !ReadNumber(text, pos, 2, om) || oh > 23 || om > 59)
                return false;
            offsetMinutes = sign * (oh * 60 + om);
        } else {
            return false;
        }
    }
    if (pos != text.size())
        return false;
    out = MakeDateTime(year, month, day, hour, minute, second + fraction) -
          offsetMinutes / (24.0 * 60.0);
    return true;
}

}  // namespace n95::host
