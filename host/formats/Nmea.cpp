#include "host/formats/Nmea.h"

#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include "host/common/DateTimeText.h"

namespace n95::host {

namespace {

constexpr char kHex[] = "0123456789ABCDEF";

int HexValue(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1;
}

std::vector<std::string_view> SplitFields(std::string_view body) {
    std::vector<std::string_view> fields;
    std::size_t start = 0;
    for (;;) {
        const std::size_t comma = body.find(',', start);
        if (comma == std::string_view::npos) {
            fields.push_back(body.substr(start));
            return fields;
        }
        fields.push_back(body.substr(start, comma - start));
        start = comma + 1;
    }
}

// A decimal number with optional sign and fraction, nothing else.
bool ParseDecimal(std::string_view text, double& value) {
    if (text.empty() || text.size() > 30)
        return false;
    std::size_t pos = 0;
    bool negative = false;
    if (text[0] == '-' || text[0] == '+') {
        negative = text[0] == '-';
        pos = 1;
    }
    double result = 0.0;
    bool digits = false;
    for (; pos < text.size() && text[pos] >= '0' && text[pos] <= '9'; ++pos) {
        result = result * 10 + (text[pos] - '0');
        digits = true;
    }
    if (pos < text.size() && text[pos] == '.') {
        double scale = 0.1;
        for (++pos; pos < text.size() && text[pos] >= '0' && text[pos] <= '9'; ++pos) {
            result += (text[pos] - '0') * scale;
            scale /= 10;
            digits = true;
        }
    }
    if (!digits || pos != text.size())
        return false;
    value = negative ? -result : result;
    return true;
}

bool ParseTwoDigits(std::string_view text, std::size_t pos, unsigned& value) {
    if (pos + 2 > text.size())
        return false;
    const char a = text[pos], b = text[pos + 1];
    if (a < '0' || a > '9' || b < '0' || b > '9')
        return false;
    value = static_cast<unsigned>((a - '0') * 10 + (b - '0'));
    return true;
}

// hhmmss[.ss] as seconds of the day.
bool ParseTimeOfDay(std::string_view text, double& seconds) {
    unsigned h, m, s;
    if (text.size() < 6 || !ParseTwoDigits(text, 0, h) || !ParseTwoDigits(text, 2, m) ||
        !ParseTwoDigits(text, 4, s) || h > 23 || m > 59 || s > 60)
        return false;
    double fraction = 0.0;
    if (text.size() > 6) {
        if (text[6] != '.' || !ParseDecimal(text.substr(6), fraction))
            return false;
    }
    seconds = h * 3600.0 + m * 60.0 + s + fraction;
    return true;
}

enum class TCoordinate { Ok, Malformed, OutOfRange };

// (d)ddmm.mmmm and its hemisphere as signed decimal degrees.
TCoordinate ParseCoordinate(std::string_view text, std::string_view hemisphere, bool latitude,
                            double& degrees) {
    const std::size_t dot = text.find('.');
    const std::size_t intDigits = dot == std::string_view::npos ? text.size() : dot;
    if (intDigits != (latitude ? 4u : 5u))
        return TCoordinate::Malformed;
    double value;
    if (!ParseDecimal(text, value) || value < 0)
        return TCoordinate::Malformed;
    if (hemisphere != (latitude ? "S" : "W") && hemisphere != (latitude ? "N" : "E"))
        return TCoordinate::Malformed;
    const double whole = std::floor(value / 100.0);
    const double minutes = value - whole * 100.0;
    if (minutes >= 60.0)
        return TCoordinate::OutOfRange;
    degrees = whole + minutes / 60.0;
    // The range is checked on the size, before the hemisphere gives the sign.
    if (degrees > (latitude ? 90.0 : 180.0))
        return TCoordinate::OutOfRange;
    if (hemisphere == (latitude ? "S" : "W"))
        degrees = -degrees;
    return TCoordinate::Ok;
}

constexpr std::string_view kFeedMarker = "PN95,FEED,";

// A live run's feed marker (see NmeaFeedMarker): true, with its chunk in `chunk`.
bool ParseFeedMarker(std::string_view body, int64_t& chunk) {
    if (body.substr(0, kFeedMarker.size()) != kFeedMarker || body.size() == kFeedMarker.size() ||
        body.size() > kFeedMarker.size() + 18)
        return false;
    int64_t value = 0;
    for (const char c : body.substr(kFeedMarker.size())) {
        if (c < '0' || c > '9')
            return false;
        value = value * 10 + (c - '0');
    }
    chunk = value;
    return true;
}

constexpr TRunMarkerKind kRunMarkerKinds[] = {
    TRunMarkerKind::Reconnect, TRunMarkerKind::RestartTest, TRunMarkerKind::StopDecoding,
    TRunMarkerKind::StartTest};

// A whole decimal number of at most 18 digits.
bool ParseCount(std::string_view text, int64_t& value) {
    if (text.empty() || text.size() > 18)
        return false;
    value = 0;
    for (const char c : text) {
        if (c < '0' || c > '9')
            return false;
        value = value * 10 + (c - '0');
    }
    return true;
}

// A live run's event marker (see NmeaRunMarker): true, with what it says in `marker`.
bool ParseRunMarker(std::string_view body, TRunMarker& marker) {
    constexpr std::string_view kPrefix = "PN95,";
    if (body.substr(0, kPrefix.size()) != kPrefix)
        return false;
    body.remove_prefix(kPrefix.size());
    const std::size_t comma = body.find(',');
    const std::size_t second = comma == std::string_view::npos ? comma : body.find(',', comma + 1);
    if (second == std::string_view::npos)
        return false;
    const std::string_view word = body.substr(0, comma);
    int64_t chunk = 0, fixes = 0;
    if (!ParseCount(body.substr(comma + 1, second - comma - 1), chunk) ||
        !ParseCount(body.substr(second + 1), fixes))
        return false;
    for (const TRunMarkerKind kind : kRunMarkerKinds)
        if (word == RunMarkerWord(kind)) {
            marker = {kind, chunk, static_cast<uint64_t>(fixes)};
            return true;
        }
    return false;
}

// Why a checked sentence gave no fix; an empty message: it gave one, or it is not a
// position sentence.
struct TSentenceProblem {
    TTrackProblemKind Kind = TTrackProblemKind::Malformed;
    std::string Message;
};

TSentenceProblem Malformed(std::string message) {
    return {TTrackProblemKind::Malformed, std::move(message)};
}

// The position of an RMC or GGA sentence (fields `at`..`at + 3`).
TSentenceProblem ParsePosition(const std::vector<std::string_view>& f, std::size_t at,
                               std::string_view kind, double& lon, double& lat) {
    const TCoordinate la = ParseCoordinate(f[at], f[at + 1], true, lat);
    const TCoordinate lo = ParseCoordinate(f[at + 2], f[at + 3], false, lon);
    if (la == TCoordinate::Malformed || lo == TCoordinate::Malformed)
        return Malformed(std::string(kind) + " position does not parse");
    if (la == TCoordinate::OutOfRange || lo == TCoordinate::OutOfRange)
        return {TTrackProblemKind::OutOfRange, std::string(kind) + " position is out of range"};
    return {};
}

// The state carried from line to line: the date of the last RMC sentence, the default
// date of GGA sentences before any, and a feed marker waiting for its fix.
struct TNmeaState {
    bool& HasDate;
    double& DateDays;
    double& DateTimeOfDay;
    const TNmeaDefaultDate& DefaultDate;
    int64_t& PendingFeed;
};

// Hands a fix to the track with the feed marker before it, which it uses up.
void AddFix(TTrack& track, TNmeaState& state, const TGpsPoint& point, uint64_t line,
            bool defaultDated) {
    track.AddFix({point, line, state.PendingFeed, defaultDated});
    state.PendingFeed = -1;
}

// The date (TDateTime of 00:00) that puts `tod` (seconds of the day) within 12 hours of
// `reference`.
double NearestDate(TDateTime reference, double tod) {
    const double days = std::floor(reference);
    const double referenceTod = (reference - days) * kSecondsPerDay;
    if (tod < referenceTod - 43200.0)
        return days + 1.0;
    if (tod > referenceTod + 43200.0)
        return days - 1.0;
    return days;
}

// Parses one checked sentence body.
TSentenceProblem ParseSentence(std::string_view body, TNmeaState& state, TTrack& track,
                               uint64_t line) {
    const std::vector<std::string_view> f = SplitFields(body);
    const std::string_view type = f[0];
    // A proprietary sentence ("$P" and a maker's code: $PN95, $PGRME, $PUBX) has an address
    // of any length; like every other reader, this one passes over those it does not know.
    if (!type.empty() && type[0] == 'P')
        return {};
    if (type.size() != 5)
        return {TTrackProblemKind::NotNmea, "not an NMEA sentence address"};
    const std::string_view talker = type.substr(0, 2);
    const std::string_view kind = type.substr(2);
    const bool known = talker == "GP" || talker == "GN";
    if (!known || (kind != "RMC" && kind != "GGA"))
        return {};  // another sentence: ignored

    if (kind == "RMC") {
        if (f.size() < 10)
            return Malformed("RMC sentence with too few fields");
        if (f[2] == "V")
            return {TTrackProblemKind::NoFix, "RMC status V: the receiver had no fix"};
        if (f[2] != "A")
            return Malformed("RMC status is neither A nor V");
        double tod, lat, lon;
        unsigned day, month, yy;
        if (!ParseTimeOfDay(f[1], tod))
            return Malformed("RMC time does not parse");
        if (TSentenceProblem p = ParsePosition(f, 3, kind, lon, lat); !p.Message.empty())
            return p;
        if (f[9].size() != 6 || !ParseTwoDigits(f[9], 0, day) || !ParseTwoDigits(f[9], 2, month) ||
            !ParseTwoDigits(f[9], 4, yy) || day < 1 || day > 31 || month < 1 || month > 12)
            return Malformed("RMC date does not parse");
        const int64_t year = yy < 80 ? 2000 + yy : 1900 + yy;
        state.HasDate = true;
        state.DateDays = MakeDateTime(year, month, day, 0, 0, 0.0);
        state.DateTimeOfDay = tod;
        AddFix(track, state, {lon, lat, state.DateDays + tod / kSecondsPerDay}, line, false);
        return {};
    }

    if (f.size() < 7)
        return Malformed("GGA sentence with too few fields");
    if (f[6].empty() || f[6] == "0")
        return {TTrackProblemKind::NoFix, "GGA fix quality 0: the receiver had no fix"};
    double tod, lat, lon;
    if (!ParseTimeOfDay(f[1], tod))
        return Malformed("GGA time does not parse");
    if (TSentenceProblem p = ParsePosition(f, 2, kind, lon, lat); !p.Message.empty())
        return p;
    if (!state.HasDate && !state.DefaultDate.Set)
        return {TTrackProblemKind::NoDate,
                "GGA sentence before any RMC sentence: its date is unknown"};
    // GGA carries no date: it takes the one that puts it within 12 hours of the track's last
    // accepted fix (so a log that runs past midnight moves on a day). Never of a fix the
    // track has not accepted: one wrong time (an RMC at 23:59:59 in the morning) would
    // move the date of every GGA after it. Before any fix: the last RMC's date-time, or the
    // reader's default date.
    TDateTime reference = state.HasDate ? state.DateDays + state.DateTimeOfDay / kSecondsPerDay
                                        : state.DefaultDate.Reference;
    if (const TGpsPoint* near = track.Filter.Reference())
        reference = near->Time;
    AddFix(track, state, {lon, lat, NearestDate(reference, tod) + tod / kSecondsPerDay}, line,
           !state.HasDate);
    return {};
}

}  // namespace

uint8_t NmeaChecksum(std::string_view body) {
    uint8_t sum = 0;
    for (const char c : body)
        sum ^= static_cast<uint8_t>(c);
    return sum;
}

std::string NmeaSentence(std::string_view body) {
    const uint8_t sum = NmeaChecksum(body);
    std::string out;
    out.reserve(body.size() + 6);
    out += '$';
    out += body;
    out += '*';
    out += kHex[sum >> 4];
    out += kHex[sum & 15];
    out += "\r\n";
    return out;
}

TNmeaReader::TNmeaReader(TTrack& track, const TNmeaDefaultDate& defaultDate)
    : Track(track), DefaultDate(defaultDate) {
    Track.Format = "NMEA";
    Partial.reserve(kMaxNmeaLine);  // never more
}

void TNmeaReader::Line(std::string_view line) {
    if (line.size() > kMaxNmeaLine) {
        SkipLongLine();
        return;
    }
    ++LineNumber;
    while (!line.empty() && (line.back() == ' ' || line.back() == '\t'))
        line.remove_suffix(1);
    while (!line.empty() && (line.front() == ' ' || line.front() == '\t'))
        line.remove_prefix(1);
    if (line.empty())
        return;
    ++Track.Entries;
    if (line[0] != '$') {
        Track.AddProblem(LineNumber, TTrackProblemKind::NotNmea,
                         "not an NMEA sentence (does not start with '$')");
        return;
    }
    const std::size_t star = line.rfind('*');
    if (star == std::string_view::npos || star + 3 != line.size()) {
        Track.AddProblem(LineNumber, TTrackProblemKind::BadChecksum,
                         "no checksum (\"*hh\" at the end)");
        return;
    }
    const int high = HexValue(line[star + 1]), low = HexValue(line[star + 2]);
    const std::string_view body = line.substr(1, star - 1);
    if (high < 0 || low < 0) {
        Track.AddProblem(LineNumber, TTrackProblemKind::BadChecksum, "checksum is not hexadecimal");
        return;
    }
    const uint8_t written = static_cast<uint8_t>(high * 16 + low);
    const uint8_t computed = NmeaChecksum(body);
    if (written != computed) {
        char message[80];
        std::snprintf(message, sizeof message, "checksum mismatch (computed %02X, written %02X)",
                      computed, written);
        Track.AddProblem(LineNumber, TTrackProblemKind::BadChecksum, message);
        return;
    }
    if (ParseFeedMarker(body, PendingFeed))
        return;
    if (TRunMarker marker; ParseRunMarker(body, marker)) {
        Track.Markers.push_back(marker);
        return;
    }
    TNmeaState state{HasDate, DateDays, DateTimeOfDay, DefaultDate, PendingFeed};
    TSentenceProblem problem = ParseSentence(body, state, Track, LineNumber);
    if (!problem.Message.empty())
        Track.AddProblem(LineNumber, problem.Kind, std::move(problem.Message));
}

std::string NmeaFeedMarker(int64_t chunk) {
    return NmeaSentence(std::string(kFeedMarker) + std::to_string(chunk));
}

const char* RunMarkerWord(TRunMarkerKind kind) {
    switch (kind) {
        case TRunMarkerKind::Reconnect:
            return "RECONNECT";
        case TRunMarkerKind::RestartTest:
            return "RESTART";
        case TRunMarkerKind::StopDecoding:
            return "STOP";
        case TRunMarkerKind::StartTest:
            return "START";
    }
    return "";
}

std::string NmeaRunMarker(const TRunMarker& marker) {
    return NmeaSentence("PN95," + std::string(RunMarkerWord(marker.Kind)) + "," +
                        std::to_string(marker.Chunk) + "," + std::to_string(marker.FixesBefore));
}
void TNmeaReader::Take(const char* data, std::size_t size) {
    for (std::size_t i = 0; i < size; ++i) {
        const char c = data[i];
        if (c == '\r' || c == '\n') {
            // CR LF, LF or CR each end one line.
            if (!(c == '\n' && PendingCr))
                EndLine();
            PendingCr = c == '\r';
            continue;
        }
        PendingCr = false;
        if (TooLong)
            continue;
        if (Partial.size() == kMaxNmeaLine) {
            // Counted now, not at its end: a source of endless bytes without a line end
            // (/dev/zero, a receiver at the wrong speed) shows in the counts while it lasts.
            // The rest of the line is dropped as it comes.
            TooLong = true;
            SkipLongLine();
            Partial.clear();
            continue;
        }
        Partial.push_back(c);
    }
}

void TNmeaReader::SkipLongLine() {
    ++LineNumber;
    ++Track.Entries;
    Track.AddProblem(LineNumber, TTrackProblemKind::TooLong,
                     "line longer than " + std::to_string(kMaxNmeaLine) + " bytes");
}

void TNmeaReader::EndLine() {
    if (!TooLong)
        Line(Partial);
    Partial.clear();
    TooLong = false;
}

void TNmeaReader::Finish() {
    if (!Partial.empty() || TooLong)
        EndLine();
    PendingCr = false;
    Track.FinishFixes();
}

void TNmeaReader::DropPartialLine() {
    Partial.clear();
    PendingCr = false;
    TooLong = false;
}

void ForEachLine(std::string_view text, const std::function<void(std::string_view)>& line) {
    std::size_t pos = 0;
    while (pos < text.size()) {
        std::size_t end = text.find_first_of("\r\n", pos);
        if (end == std::string_view::npos)
            end = text.size();
        line(text.substr(pos, end - pos));
        // One line end: CR LF, LF or CR.
        pos = end;
        if (pos < text.size())
            pos += text[pos] == '\r' && pos + 1 < text.size() && text[pos + 1] == '\n' ? 2 : 1;
    }
}

void ParseNmea(std::string_view text, TTrack& track) {
    TNmeaReader reader(track);
    ForEachLine(text, [&reader](std::string_view line) { reader.Line(line); });
    reader.Finish();
}

namespace {

void AppendCoordinate(std::string& out, double degrees, bool latitude) {
    const char hemisphere = latitude ? (degrees < 0 ? 'S' : 'N') : (degrees < 0 ? 'W' : 'E');
    const double absolute = std::fabs(degrees);
    // Rounded in units of 1e-5 minute so that 59.999995 minutes carries into the degree.
    const auto units = static_cast<int64_t>(std::llround(absolute * 60.0 * 100000.0));
    const int64_t whole = units / (60 * 100000);
    const int64_t minuteUnits = units % (60 * 100000);
    char buffer[40];
    std::snprintf(buffer, sizeof buffer,
                  latitude ? "%02lld%02lld.%05lld,%c" : "%03lld%02lld.%05lld,%c",
                  static_cast<long long>(whole), static_cast<long long>(minuteUnits / 100000),
                  static_cast<long long>(minuteUnits % 100000), hemisphere);
    out += buffer;
}

}  // namespace

std::string FormatNmeaFix(const TGpsPoint& fix, double speedKnots, double courseDegrees) {
    constexpr int64_t kCentisPerDay = static_cast<int64_t>(kSecondsPerDay) * 100;
    const auto centis =
        static_cast<int64_t>(std::llround((fix.Time - kUnixEpochInDays) * kCentisPerDay));
    const int64_t days = centis / kCentisPerDay;
    const int64_t c = centis % kCentisPerDay;
    int64_t y;
    unsigned m, d;
    CivilFromDays(days, y, m, d);
    char timeText[16];
    std::snprintf(timeText, sizeof timeText, "%02lld%02lld%02lld.%02lld",
                  static_cast<long long>(c / 360000), static_cast<long long>(c / 6000 % 60),
                  static_cast<long long>(c / 100 % 60), static_cast<long long>(c % 100));
    char dateText[32];  // room for any value, though a date takes six digits
    std::snprintf(dateText, sizeof dateText, "%02u%02u%02u", d, m, static_cast<unsigned>(y % 100));

    std::string rmc = std::string("GPRMC,") + timeText + ",A,";
    AppendCoordinate(rmc, fix.Y, true);
    rmc += ',';
    AppendCoordinate(rmc, fix.X, false);
    char motion[40];
    std::snprintf(motion, sizeof motion, ",%.1f,%.1f,", speedKnots, courseDegrees);
    rmc += motion;
    rmc += dateText;
    rmc += ",,,A";

    std::string gga = std::string("GPGGA,") + timeText + ",";
    AppendCoordinate(gga, fix.Y, true);
    gga += ',';
    AppendCoordinate(gga, fix.X, false);
    gga += ",1,08,0.9,25.0,M,18.0,M,,";
    return NmeaSentence(rmc) + NmeaSentence(gga);
}

}  // namespace n95::host
