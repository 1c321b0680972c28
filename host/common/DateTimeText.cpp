#include "host/common/DateTimeText.h"

#include <cmath>

namespace n95::host {

TDateTime MakeDateTime(int64_t y, unsigned m, unsigned d, unsigned hour, unsigned minute,
                       double second) {
    const double dayCount = static_cast<double>(DaysFromCivil(y, m, d)) + kUnixEpochInDays;
    return dayCount + (hour * 3600.0 + minute * 60.0 + second) / kSecondsPerDay;
}

namespace {

void AppendDigits(std::string& out, int64_t value, int width) {
    char buffer[24];
    int n = 0;
    do {
        buffer[n++] = static_cast<char>('0' + value % 10);
        value /= 10;
    } while (value > 0 || n < width);
    while (n > 0)
        out.push_back(buffer[--n]);
}

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

void AppendIso8601(std::string& out, TDateTime t) {
    // The no-value marker, and anything outside the years 1..9999.
    if (t == -9999.0 || !std::isfinite(t) || t < -693593.0 || t >= 2958466.0)
        return;
    constexpr int64_t kMsPerDay = static_cast<int64_t>(kSecondsPerDay) * 1000;
    const auto ms = static_cast<int64_t>(std::llround((t - kUnixEpochInDays) * kMsPerDay));
    int64_t days = ms >= 0 ? ms / kMsPerDay : -((-ms + kMsPerDay - 1) / kMsPerDay);
    int64_t msOfDay = ms - days * kMsPerDay;
    int64_t y;
    unsigned m, d;
    CivilFromDays(days, y, m, d);
    AppendDigits(out, y, 4);
    out.push_back('-');
    AppendDigits(out, m, 2);
    out.push_back('-');
    AppendDigits(out, d, 2);
    out.push_back('T');
    AppendDigits(out, msOfDay / 3600000, 2);
    out.push_back(':');
    AppendDigits(out, msOfDay / 60000 % 60, 2);
    out.push_back(':');
    AppendDigits(out, msOfDay / 1000 % 60, 2);
    out.push_back('.');
    AppendDigits(out, msOfDay % 1000, 3);
    out.push_back('Z');
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
