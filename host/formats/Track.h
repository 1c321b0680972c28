// A GPS track: the fixes that the replay hands to the plug-in, read from an NMEA 0183 log or
// a GPX 1.1 file.
//
// Fixes are TGpsPoint values: X longitude and Y latitude in decimal degrees (east and north
// positive), Time the fix's UTC date-time. A track holds them in strictly increasing time;
// input entries that give no fix are skipped, counted by kind, and the first few described
// with their line numbers.
#pragma once

#include <array>
#include <csignal>
#include <cstddef>
#include <cstdint>
#include <optional>
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
    TimeBack,     // one of a long stretch of fixes earlier than the track (see TFixFilter)
    TimeOutlier,  // a fix whose time is out of step with the fixes around it (see TFixFilter)
};
inline constexpr std::size_t kTrackProblemKinds = 10;

// "bad checksum", "no date", ...: the words the reports use.
const char* TrackProblemName(TTrackProblemKind kind);

// One skipped input entry, for the report.
struct TTrackProblem {
    uint64_t Line = 0;  // 1-based line of the input
    TTrackProblemKind Kind = TTrackProblemKind::Malformed;
    std::string Message;
};

// A fix on its way into a track, with what its input said about it.
struct TTrackFix {
    TGpsPoint Point;
    uint64_t Line = 0;          // its line (NMEA), track point (GPX) or report (gpsd) number
    int64_t FeedBefore = -1;    // a live run's feed point for it (see TTrack::FeedBefore)
    bool DefaultDated = false;  // a GGA fix dated by the reader's default date
};

// The rule that keeps a fix or two with a wrong time or date (a receiver's glitch: a day
// ahead, a minute back, 23:59:59 in the middle of a drive, a default date of 1980 at start-up)
// from changing the times of the others. Every source of fixes goes through it (the NMEA and
// GPX readers of the replay, the live NMEA feed, gpsd), so a replay with a live run's fix log
// sees the fixes the run fed: the fix log holds the accepted fixes in increasing time, and
// the rule accepts every fix of such a sequence.
//
// A fix "follows" another closely when it is after it by at most kMaxStepSeconds. Fixes are
// taken in input order. With A the last accepted fix:
//  - a fix within kSameEpochSeconds of the newest one is the same epoch (an RMC and a GGA
//    sentence of one second): dropped quietly;
//  - a fix that follows A closely is accepted at once;
//  - a fix further ahead (an outage, or a wrong time) is held, with the fixes that follow
//    it closely, until kConfirmFixes of them in a row confirm it (all are accepted). A fix
//    between A and the held ones refutes them (outliers): so a glitch of up to
//    kConfirmFixes - 1 fixes ahead, an RMC and GGA pair each, is refuted by the first right
//    fix. A fix after the held ones but not closely (a log sparser than kMaxStepSeconds)
//    confirms them as well: the track moved on;
//  - a fix behind A is an outlier; the kBackStretchFixes-th of them in a row makes the whole
//    stretch a track that really goes backwards, counted as "time goes back" instead.
//    With TakeBack (the replay's track loader, which has the whole input before it feeds a
//    fix), a stretch that follows on closely from a time between the last jump's anchor (the
//    accepted fix before a confirmed jump ahead) and the jump re-anchors the track: the
//    fixes accepted since the jump (at most kMaxTakeBackFixes) are taken back as outliers
//    and the stretch is accepted. A live feed has already fed them: there a wrong stretch of
//    kConfirmFixes or more fixes ahead keeps the track, and the right fixes go back;
//  - the first fix has no accepted one before it: it is held until kConfirmFixes fixes
//    follow it closely. A fix that does not follow it closely (behind it, or far ahead of
//    it: the first was wrong, or this one is) starts a rival chain at the start; the first
//    chain to reach kConfirmFixes wins and the other's fixes are outliers. A fix that follows
//    neither closely decides by its time: it keeps what it comes after, and when it comes
//    after neither, the older chain gives way. Two held fixes that follow closely and then a
//    fix far ahead are accepted (an outage after the start).
// A held fix delays the fixes after it (a live run's positions wait for it): by at most
// kConfirmFixes - 1 fixes, two seconds at one fix a second, unless the fixes after it keep
// contradicting one another. A fix wrong by less than kMaxStepSeconds ahead costs the fixes
// of those seconds.
class TFixFilter {
public:
    static constexpr double kSameEpochSeconds = 0.001;
    // Receivers report once a second (some five times, some every five seconds).
    static constexpr double kMaxStepSeconds = 10.0;
    static constexpr std::size_t kConfirmFixes = 3;
    static constexpr uint64_t kBackStretchFixes = 10;
    // A wrong stretch ahead longer than this (an hour at one fix a second) is not taken back.
    static constexpr std::size_t kMaxTakeBackFixes = 3600;

    enum class TVerdict : uint8_t { Accepted, Outlier, GoesBack, Reanchor, TakenBack };
    struct TDecision {
        TVerdict Verdict = TVerdict::Accepted;
        TTrackFix Fix;
        // GoesBack, Reanchor: the outliers of the stretch before this fix are to be counted
        // as going back (GoesBack: set on the fix that makes the stretch long), or not at all
        // (Reanchor: they are accepted next), from this line on.
        uint64_t Recount = 0;
        uint64_t RecountFromLine = 0;
        // Reanchor: how many of the last accepted fixes are taken back; a TakenBack decision
        // for each follows (in input order), then the stretch's fixes, accepted.
        std::size_t TakeBackCount = 0;
    };

    // Whether a stretch behind the track may take back fixes already accepted (see above).
    bool TakeBack = false;

    // Takes the next fix; appends what became final by it to `decisions`, in order (the
    // accepted fixes in increasing time).
    void Take(const TTrackFix& fix, std::vector<TDecision>& decisions);
    // The end of the input: held fixes are accepted (nothing refutes them); at the start, a
    // rival chain that does not come after them is outliers. Fixes may follow: they are
    // taken as after an accepted fix.
    void Finish(std::vector<TDecision>& decisions);

    // What a fix without a date of its own (GGA) is dated near: the last accepted fix, or
    // before any the first held fix; null before any fix.
    const TGpsPoint* Reference() const;

private:
    void TakeAfterAccepted(const TTrackFix& fix, std::vector<TDecision>& out);
    void TakeAtStart(const TTrackFix& fix, std::vector<TDecision>& out);
    // Extends `chain` with `fix` when it follows the chain's last fix closely.
    static bool Extends(std::vector<TTrackFix>& chain, const TTrackFix& fix);
    void AcceptChain(std::vector<TTrackFix>& chain, std::vector<TDecision>& out);
    void Refute(std::vector<TTrackFix>& chain, std::vector<TDecision>& out);
    void Accept(const TTrackFix& fix, std::vector<TDecision>& out);
    void Behind(const TTrackFix& fix, std::vector<TDecision>& out);
    bool Reanchor(std::vector<TDecision>& out);

    std::optional<TTrackFix> Last;  // the last accepted fix
    std::vector<TTrackFix> Held;    // waiting: each fix follows the one before it
    std::vector<TTrackFix> Rival;   // at the start: a chain that contradicts Held
    uint64_t BehindRun = 0;         // outliers behind Last in a row
    uint64_t BehindRunLine = 0;     // the line of the first of them
    // TakeBack: the run behind Last while each of its fixes follows the one before closely;
    // the fixes accepted since the last jump ahead, and the accepted fix before that jump.
    std::vector<TTrackFix> BackStretch;
    bool BackStretchClose = false;
    std::vector<TTrackFix> SinceJump;
    std::optional<TTrackFix> JumpAnchor;
};

// What a live run asked of the plug-in mid-run, besides decoding and feeding fixes; its fix
// log marks each (see NmeaRunMarker) so that a replay asks the same at the same point.
enum class TRunMarkerKind : uint8_t {
    Reconnect,     // Reconnect: the port reopened, the test restarted, the tagging afresh
    RestartTest,   // RestartTest
    StopDecoding,  // StopDecoding
    StartTest,     // StartTest (decoding resumed after StopDecoding)
};

// One marked event: it came before the capture's chunk Chunk (from 0) was decoded, after
// the first FixesBefore fixes of the log had been fed.
struct TRunMarker {
    TRunMarkerKind Kind = TRunMarkerKind::Reconnect;
    int64_t Chunk = 0;
    uint64_t FixesBefore = 0;
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
    // For such a track: the run's events, in the order of the log.
    std::vector<TRunMarker> Markers;

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

    // Takes a fix through the track's TFixFilter: accepted fixes are appended (with their
    // feed points), outliers counted as problems. Returns how many fixes the track gained
    // (held fixes come with the one that confirmed them; with TakeBack, fewer when fixes
    // were taken back, not below 0).
    std::size_t AddFix(const TTrackFix& fix);
    std::size_t AddFix(const TGpsPoint& fix, uint64_t line) { return AddFix({fix, line}); }
    // The end of the input (see TFixFilter::Finish); returns how many fixes the track gained.
    std::size_t FinishFixes();

    TFixFilter Filter;

private:
    std::size_t Apply();
    std::vector<TFixFilter::TDecision> Decisions;  // reused by AddFix
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

// The largest GPX track read (from a file or a pipe): a GPX document is parsed whole.
inline constexpr std::size_t kMaxGpxBytes = std::size_t{1} << 30;

// Reads a track file, NMEA or GPX, told apart by its content (GPX is XML: its first
// non-blank character is '<'; a file with nothing but blanks is told by its extension,
// ".gpx" or ".gpx.gz" or not; the blanks before the first non-blank character are not kept).
// A gzip-compressed track (told by its first bytes: see InputStream.h) is read as its
// decompressed text, also from a pipe. An NMEA log is streamed: at most one line of
// kMaxNmeaLine bytes is held. A GPX document is read whole, up to kMaxGpxBytes of it
// (decompressed): a larger one is refused as soon as it is known to be.
// A pipe or FIFO (also /dev/stdin) is read as it comes, as a file is; a character device
// (a receiver, /dev/zero) is refused, since it never ends.
// False, with one message naming the path in *error, when the file is missing, unreadable,
// a character device, a GPX document over kMaxGpxBytes or not parseable as a whole, or yields no
// usable fix (the message then lists the first problems and a count of each kind). Skipped entries
// alone are no failure: they are reported through the track. `stopRequested` (may be null) is
// looked at between reads and while a GPX document is walked: once it is set the load stops within
// a fraction of a second and returns false; the caller tells that from a failure by the flag.
bool LoadTrack(const std::string& path, TTrack& track, std::string* error,
               const TNmeaDefaultDate& defaultDate = {},
               const volatile std::sig_atomic_t* stopRequested = nullptr);

// The names a replay looks for beside CAPTURE when no track is given, in this order:
// NAME.fixes.nmea, NAME.fixes.nmea.gz, NAME.nmea, NAME.nmea.gz, NAME.gpx, NAME.gpx.gz, where
// NAME is the capture's path without a last ".gz" and then without its extension (".pcap",
// ".pcapng", or any other last one): the fix log a live run writes beside its capture comes
// before a track logged apart, and each name before its compressed form. None for "-"
// (standard input), which has no place beside which a track could lie.
std::vector<std::string> TrackNamesBeside(const std::string& capture);

// The first of TrackNamesBeside(capture) that is a regular file (a link to one counts);
// empty when there is none.
std::string FindTrackBeside(const std::string& capture);

}  // namespace n95::host
