// A GPS track: the fixes that the replay hands to the plug-in, read from an NMEA 0183 log or
// a GPX 1.1 file.
//
// Fixes are TGpsPoint values: X longitude and Y latitude in decimal degrees (east and north
// positive), Time the fix's UTC date-time. A track holds them in strictly increasing time;
// input entries that give no fix are skipped, counted by kind, and the first few described
// with their line numbers.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "decoder/HostObjects.h"

namespace n95::host {

// Why an input entry gave no fix.
enum class TTrackProblemKind : uint8_t {
    NotNmea,      // not an NMEA sentence (no '$', no sentence address)
    BadChecksum,  // no checksum, a checksum that is not hexadecimal, or one that does not match
    Malformed,    // too few fields, or a field that does not parse
    OutOfRange,   // a position outside -90..90 / -180..180, minutes of 60 or more
    NoFix,        // the receiver said it had no fix (RMC status V, GGA quality 0)
    NoDate,       // a GGA fix before any RMC sentence, with no date to take instead
    NoTime,       // a GPX track point without <time>
    TooLong,      // a line longer than kMaxNmeaLine
    TimeBack,     // a fix earlier than the one before it
};
inline constexpr std::size_t kTrackProblemKinds = 9;

// "bad checksum", "no date", ...: the words the reports use.
const char* TrackProblemName(TTrackProblemKind kind);

// One skipped input entry, for the report.
struct TTrackProblem {
    uint64_t Line = 0;  // 1-based line of the input
    TTrackProblemKind Kind = TTrackProblemKind::Malformed;
    std::string Message;
};

struct TTrack {
    // How many skipped entries are described in FirstProblems.
    static constexpr std::size_t kReportedProblems = 5;

    std::string Format;            // "NMEA" or "GPX"
    std::vector<TGpsPoint> Fixes;  // strictly increasing Time
    uint64_t Entries = 0;          // lines (NMEA) or track points (GPX) examined
    uint64_t Skipped = 0;          // entries that gave no fix (the sum of ProblemCounts)
    std::array<uint64_t, kTrackProblemKinds> ProblemCounts{};  // by TTrackProblemKind
    std::vector<TTrackProblem> FirstProblems;
    uint64_t DefaultDated = 0;  // GGA fixes dated by the reader's default date (no RMC before)
    // For a track that a live run wrote beside its capture: FeedBefore[i] is the number of
    // the capture's chunk (from 0) before which the run fed Fixes[i]. Empty for other
    // tracks; see HasFeedPoints.
    std::vector<int64_t> FeedBefore;

    // True when every fix has its feed point: the replay then feeds the fixes where the
    // live run did, rather than by their times, and gives the live run's positions exactly.
    bool HasFeedPoints() const;

    // Counts a skipped entry and keeps its description while fewer than
    // kReportedProblems are kept.
    void AddProblem(uint64_t line, TTrackProblemKind kind, std::string message);

    // What was skipped, for a report: "151 lines skipped (120 no date, 31 no fix)", then a
    // line for each of the first problems ("\n  line 4: checksum mismatch ...") and how many
    // more there were. Empty when nothing was skipped. The two parts on their own:
    std::string DescribeProblems() const;
    std::string CountsByKind() const;       // "120 no date, 31 no fix"
    std::string FirstProblemLines() const;  // "\n  line 1: ...\n  (and 146 more)"

    // Appends a fix in time order. A fix at the same time as the previous one (within a
    // millisecond: an RMC and a GGA sentence of one epoch) is dropped quietly and false is
    // returned; an earlier one is a problem (counted, described) and also returns false.
    bool AddFix(const TGpsPoint& fix, uint64_t line);
};

// True when (lon, lat) is a usable position: finite, |lat| <= 90, |lon| <= 180.
bool IsValidPosition(double lon, double lat);

// Adds `seconds` to the time of every fix (a logger set to local time, a clock that was
// off): the fixes keep their order.
void ShiftTrack(TTrack& track, double seconds);

// What an NMEA log's GGA sentences take as their date when no RMC sentence has given one
// (a log of GGA sentences only). Reference is a date-time in the log's own clock: the first
// such GGA fix lies within 12 hours of it, and each later one follows the fix before it
// (one day later when its time of day is far below that fix's: midnight has passed).
struct TNmeaDefaultDate {
    bool Set = false;
    TDateTime Reference = 0.0;
};

// Reads a track file, NMEA or GPX, told apart by its content (GPX is XML: its first
// non-blank character is '<'; a file with nothing but blanks is told by its extension,
// ".gpx" or not). An NMEA log is streamed: at most one line of kMaxNmeaLine bytes is held.
// False, with one message naming the path in *error, when the file is missing, unreadable
// or not parseable as a whole, or yields no usable fix (the message then lists the first
// problems and a count of each kind). Skipped entries alone are no failure: they are
// reported through the track.
bool LoadTrack(const std::string& path, TTrack& track, std::string* error,
               const TNmeaDefaultDate& defaultDate = {});

}  // namespace n95::host
