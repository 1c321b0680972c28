#include "host/formats/Track.h"

#include <cerrno>
#include <cmath>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string_view>

#include "host/common/Diagnostics.h"
#include "host/formats/Gpx.h"
#include "host/formats/Nmea.h"

namespace n95::host {

namespace {

// An RMC and a GGA sentence of one epoch carry the same time to the centisecond.
constexpr double kSameEpoch = 0.001 / kSecondsPerDay;

}  // namespace

void TTrack::AddProblem(uint64_t line, std::string message) {
    ++Skipped;
    if (FirstProblems.size() < kReportedProblems)
        FirstProblems.push_back({line, std::move(message)});
}

bool TTrack::AddFix(const TGpsPoint& fix, uint64_t line) {
    if (!Fixes.empty()) {
        const double last = Fixes.back().Time;
        if (std::fabs(fix.Time - last) < kSameEpoch)
            return false;
        if (fix.Time < last) {
            AddProblem(line, "fix time goes back; fix skipped");
            return false;
        }
    }
    Fixes.push_back(fix);
    return true;
}

bool IsValidPosition(double lon, double lat) {
    return std::isfinite(lon) && std::isfinite(lat) && std::fabs(lat) <= 90.0 &&
           std::fabs(lon) <= 180.0;
}

bool LoadTrack(const std::string& path, TTrack& track, std::string* error) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        *error = SystemError("cannot open track " + path, errno);
        return false;
    }
    // GPX is XML: its first non-blank byte is '<' (or a UTF-8 byte order mark).
    bool isXml = false;
    for (char c; in.get(c);) {
        if (c == ' ' || c == '\t' || c == '\r' || c == '\n')
            continue;
        isXml = c == '<' || c == '\xEF';
        break;
    }
    in.clear();
    in.seekg(0);

    if (isXml) {
        // pugixml builds the document in memory; a GPX track is parsed whole.
        std::ostringstream content;
        content << in.rdbuf();
        const std::string text = content.str();
        std::string parseError;
        if (!ParseGpx(text.data(), text.size(), track, &parseError)) {
            *error = "track " + path + " " + parseError;
            return false;
        }
    } else {
        // An NMEA log is read line by line. Lines end in LF or CR LF; a lone CR inside a
        // line (old Mac line ends) also ends a line.
        TNmeaReader reader(track);
        std::string line;
        while (std::getline(in, line)) {
            std::string_view rest = line;
            if (!rest.empty() && rest.back() == '\r')
                rest.remove_suffix(1);
            for (std::size_t cr; (cr = rest.find('\r')) != std::string_view::npos;) {
                reader.Line(rest.substr(0, cr));
                rest.remove_prefix(cr + 1);
            }
            reader.Line(rest);
        }
    }
    if (in.bad()) {
        *error = SystemError("cannot read track " + path, errno);
        return false;
    }
    if (track.Fixes.empty()) {
        *error = "track " + path + " (" + track.Format + ") holds no usable fix (" +
                 std::to_string(track.Entries) + " " + (isXml ? "track points" : "lines") + ", " +
                 std::to_string(track.Skipped) + " skipped)";
        return false;
    }
    return true;
}

bool TTrack::HasFeedPoints() const {
    if (Fixes.empty() || FeedBefore.size() != Fixes.size())
        return false;
    for (const int64_t chunk : FeedBefore)
        if (chunk < 0)
            return false;
    return true;
}

}  // namespace n95::host
