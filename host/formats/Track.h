// A GPS track: the fixes that the replay hands to the plug-in, read from an NMEA 0183 log or
// a GPX 1.1 file.
//
// Fixes are TGpsPoint values: X longitude and Y latitude in decimal degrees (east and north
// positive), Time the fix's UTC date-time. A track holds them in strictly increasing time;
// input entries that cannot be used are skipped, counted, and the first few described with
// their line numbers.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "decoder/HostObjects.h"

namespace n95::host {

// One skipped input entry, for the report.
struct TTrackProblem {
    uint64_t Line = 0;  // 1-based line of the input
    std::string Message;
};

struct TTrack {
    // How many skipped entries are described in FirstProblems.
    static constexpr std::size_t kReportedProblems = 5;

    std::string Format;            // "NMEA" or "GPX"
    std::vector<TGpsPoint> Fixes;  // strictly increasing Time
    uint64_t Entries = 0;          // lines (NMEA) or track points (GPX) examined
    uint64_t Skipped = 0;          // entries that failed a check or did not parse
    std::vector<TTrackProblem> FirstProblems;
    // For a track that a live run wrote beside its capture: FeedBefore[i] is the number of
    // the capture's chunk (from 0) before which the run fed Fixes[i]. Empty for other
    // tracks; see HasFeedPoints.
    std::vector<int64_t> FeedBefore;

    // True when every fix has its feed point: the replay then feeds the fixes where the
    // live run did, rather than by their times, and gives the live run's positions exactly.
    bool HasFeedPoints() const;

    // Counts a skipped entry and keeps its description while fewer than
    // kReportedProblems are kept.
    void AddProblem(uint64_t line, std::string message);

    // Appends a fix in time order. A fix at the same time as the previous one (within a
    // millisecond: an RMC and a GGA sentence of one epoch) is dropped quietly and false is
    // returned; an earlier one is a problem (counted, described) and also returns false.
    bool AddFix(const TGpsPoint& fix, uint64_t line);
};

// True when (lon, lat) is a usable position: finite, |lat| <= 90, |lon| <= 180.
bool IsValidPosition(double lon, double lat);

// Reads a track file, NMEA or GPX, told apart by its content (GPX is XML: its first
// non-blank character is '<'). False, with one message naming the path in *error, when the
// file is missing, unreadable or not parseable as a whole, or yields no usable fix. Skipped
// entries alone are no failure: they are reported through the track.
bool LoadTrack(const std::string& path, TTrack& track, std::string* error);

}  // namespace n95::host
