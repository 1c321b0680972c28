#include "host/formats/Track.h"

#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <filesystem>
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

const char* TrackProblemName(TTrackProblemKind kind) {
    switch (kind) {
        case TTrackProblemKind::NotNmea:
            return "not NMEA";
        case TTrackProblemKind::BadChecksum:
            return "bad checksum";
        case TTrackProblemKind::Malformed:
            return "malformed";
        case TTrackProblemKind::OutOfRange:
            return "out of range";
        case TTrackProblemKind::NoFix:
            return "no fix";
        case TTrackProblemKind::NoDate:
            return "no date";
        case TTrackProblemKind::NoTime:
            return "no time";
        case TTrackProblemKind::TooLong:
            return "too long";
        case TTrackProblemKind::TimeBack:
            return "time goes back";
    }
    return "?";
}

void TTrack::AddProblem(uint64_t line, TTrackProblemKind kind, std::string message) {
    ++Skipped;
    ++ProblemCounts[static_cast<std::size_t>(kind)];
    if (FirstProblems.size() < kReportedProblems)
        FirstProblems.push_back({line, kind, std::move(message)});
}

std::string TTrack::CountsByKind() const {
    std::string text;
    for (std::size_t k = 0; k < kTrackProblemKinds; ++k) {
        if (ProblemCounts[k] == 0)
            continue;
        text += (text.empty() ? "" : ", ") + std::to_string(ProblemCounts[k]) + " " +
                TrackProblemName(static_cast<TTrackProblemKind>(k));
    }
    return text;
}

std::string TTrack::FirstProblemLines() const {
    std::string text;
    for (const TTrackProblem& problem : FirstProblems)
        text += "\n  line " + std::to_string(problem.Line) + ": " + problem.Message;
    if (Skipped > FirstProblems.size())
        text += "\n  (and " + std::to_string(Skipped - FirstProblems.size()) + " more)";
    return text;
}

std::string TTrack::DescribeProblems() const {
    if (Skipped == 0)
        return {};
    const char* entries = Format == "GPX" ? (Skipped == 1 ? "track point" : "track points")
                                          : (Skipped == 1 ? "line" : "lines");
    return std::to_string(Skipped) + " " + entries + " skipped (" + CountsByKind() + ")" +
           FirstProblemLines();
}

bool TTrack::AddFix(const TGpsPoint& fix, uint64_t line) {
    if (!Fixes.empty()) {
        const double last = Fixes.back().Time;
        if (std::fabs(fix.Time - last) < kSameEpoch)
            return false;
        if (fix.Time < last) {
            AddProblem(line, TTrackProblemKind::TimeBack, "fix time goes back; fix skipped");
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

void ShiftTrack(TTrack& track, double seconds) {
    const double days = seconds / kSecondsPerDay;
    for (TGpsPoint& fix : track.Fixes)
        fix.Time += days;
}

namespace {

bool HasGpxExtension(const std::string& path) {
    std::string extension = std::filesystem::path(path).extension().string();
    for (char& c : extension)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return extension == ".gpx";
}

}  // namespace

bool LoadTrack(const std::string& path, TTrack& track, std::string* error,
               const TNmeaDefaultDate& defaultDate) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        *error = SystemError("cannot open track " + path, errno);
        return false;
    }
    // GPX is XML: its first non-blank byte is '<' (or a UTF-8 byte order mark).
    bool isXml = false, blank = true;
    for (char c; in.get(c);) {
        if (c == ' ' || c == '\t' || c == '\r' || c == '\n')
            continue;
        isXml = c == '<' || c == '\xEF';
        blank = false;
        break;
    }
    if (in.bad()) {
        *error = SystemError("cannot read track " + path, errno);
        return false;
    }
    if (blank) {
        // Nothing to tell the format by but the name.
        track.Format = HasGpxExtension(path) ? "GPX" : "NMEA";
        *error = "track " + path + " (" + track.Format + ") is empty: it holds no fix";
        return false;
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
        // An NMEA log is streamed: the reader holds at most one line.
        TNmeaReader reader(track, defaultDate);
        char buffer[65536];
        while (in.read(buffer, sizeof buffer) || in.gcount() > 0)
            reader.Take(buffer, static_cast<std::size_t>(in.gcount()));
        reader.Finish();
    }
    if (in.bad()) {
        *error = SystemError("cannot read track " + path, errno);
        return false;
    }
    if (track.Fixes.empty()) {
        *error = "track " + path + " (" + track.Format + ") holds no usable fix (" +
                 std::to_string(track.Entries) + " " + (isXml ? "track points" : "lines") + ", " +
                 std::to_string(track.Skipped) + " skipped)";
        if (track.Skipped > 0)
            *error += ": " + track.CountsByKind() + track.FirstProblemLines();
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
