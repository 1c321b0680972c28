#include "host/formats/Track.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <string_view>

#include "host/common/DateTimeText.h"
#include "host/common/Diagnostics.h"
#include "host/common/InputStream.h"
#include "host/common/SystemCalls.h"
#include "host/formats/Gpx.h"
#include "host/formats/Nmea.h"

namespace n95::host {

namespace {

// An RMC and a GGA sentence of one epoch carry the same time to the centisecond.
constexpr double kSameEpoch = TFixFilter::kSameEpochSeconds / kSecondsPerDay;
constexpr double kMaxStep = TFixFilter::kMaxStepSeconds / kSecondsPerDay;

}  // namespace

const TGpsPoint* TFixFilter::Reference() const {
    if (Last)
        return &Last->Point;
    return Held.empty() ? nullptr : &Held.front().Point;
}

void TFixFilter::Take(const TTrackFix& fix, std::vector<TDecision>& out) {
    const double time = fix.Point.Time;
    const auto sameEpoch = [time](const TTrackFix& newest) {
        return std::fabs(time - newest.Point.Time) < kSameEpoch;
    };
    if ((!Rival.empty() && sameEpoch(Rival.back())) || (!Held.empty() && sameEpoch(Held.back())) ||
        (Last && sameEpoch(*Last)) || (BehindRun > 0 && sameEpoch(BackStretch.back())))
        return;
    if (Last)
        TakeAfterAccepted(fix, out);
    else
        TakeAtStart(fix, out);
}

bool TFixFilter::Extends(std::vector<TTrackFix>& chain, const TTrackFix& fix) {
    const double step = fix.Point.Time - chain.back().Point.Time;
    if (step <= 0.0 || step > kMaxStep)
        return false;
    chain.push_back(fix);
    return true;
}

void TFixFilter::TakeAfterAccepted(const TTrackFix& fix, std::vector<TDecision>& out) {
    const double time = fix.Point.Time;
    if (!Held.empty()) {
        if (Extends(Held, fix)) {
            BehindRun = 0;
            if (Held.size() >= kConfirmFixes)
                AcceptChain(Held, out);  // confirmed
            return;
        }
        if (time > Held.back().Point.Time)
            AcceptChain(Held, out);  // a fix far after them: the track moved on
        else if (time > Last->Point.Time)
            Refute(Held, out);  // the track goes on from Last
        else {
            Behind(fix, out);  // says nothing about the held fixes
            return;
        }
    }
    if (time < Last->Point.Time) {
        Behind(fix, out);
        return;
    }
    BehindRun = 0;
    if (time - Last->Point.Time <= kMaxStep)
        Accept(fix, out);
    else
        Held.assign(1, fix);
}

void TFixFilter::TakeAtStart(const TTrackFix& fix, std::vector<TDecision>& out) {
    const double time = fix.Point.Time;
    if (Held.empty()) {
        Held.assign(1, fix);
        return;
    }
    if (Extends(Held, fix)) {
        if (Held.size() >= kConfirmFixes) {
            Refute(Rival, out);
            AcceptChain(Held, out);
        }
        return;
    }
    if (!Rival.empty() && Extends(Rival, fix)) {
        if (Rival.size() >= kConfirmFixes) {
            Refute(Held, out);
            AcceptChain(Rival, out);
        }
        return;
    }
    if (Rival.empty()) {
        if (Held.size() < 2 || time < Held.back().Point.Time) {
            Rival.assign(1, fix);
            return;
        }
        AcceptChain(Held, out);  // fixes that follow closely, then an outage
        TakeAfterAccepted(fix, out);
        return;
    }
    // A fix that follows neither chain closely keeps what it comes after.
    const bool afterHeld = time > Held.back().Point.Time;
    const bool afterRival = time > Rival.back().Point.Time;
    if (afterHeld && afterRival && Rival.front().Point.Time > Held.back().Point.Time) {
        AcceptChain(Held, out);  // both, in time order: a sparse log
        AcceptChain(Rival, out);
    } else if (afterHeld) {
        Refute(Rival, out);
        AcceptChain(Held, out);
    } else if (afterRival) {
        Refute(Held, out);
        AcceptChain(Rival, out);
    } else {
        // Behind both: the older chain gives way, and the two newest wait on.
        Refute(Held, out);
        Held.swap(Rival);
        Rival.assign(1, fix);
        return;
    }
    TakeAfterAccepted(fix, out);
}

void TFixFilter::AcceptChain(std::vector<TTrackFix>& chain, std::vector<TDecision>& out) {
    if (TakeBack && Last && !chain.empty() &&
        chain.front().Point.Time - Last->Point.Time > kMaxStep) {
        JumpAnchor = Last;  // a jump ahead: what a stretch behind may take back
        SinceJump.clear();
    }
    for (const TTrackFix& fix : chain)
        Accept(fix, out);
    chain.clear();
}

void TFixFilter::Refute(std::vector<TTrackFix>& chain, std::vector<TDecision>& out) {
    for (const TTrackFix& fix : chain)
        out.push_back({TVerdict::Outlier, fix});
    chain.clear();
}

void TFixFilter::Accept(const TTrackFix& fix, std::vector<TDecision>& out) {
    out.push_back({TVerdict::Accepted, fix});
    Last = fix;
    BehindRun = 0;
    if (!JumpAnchor)
        return;
    if (SinceJump.size() < kMaxTakeBackFixes) {
        SinceJump.push_back(fix);
    } else {
        JumpAnchor.reset();  // a stretch this long is the track
        SinceJump.clear();
    }
}

void TFixFilter::Behind(const TTrackFix& fix, std::vector<TDecision>& out) {
    if (BehindRun == 0) {
        BackStretch.clear();
        BackStretchClose = true;
    } else if (BackStretchClose) {
        const double step = fix.Point.Time - BackStretch.back().Point.Time;
        BackStretchClose = step > 0.0 && step <= kMaxStep;
    }
    if (BackStretch.size() < kBackStretchFixes)
        BackStretch.push_back(fix);
    else
        BackStretch.back() = fix;
    if (BehindRun++ == 0)
        BehindRunLine = fix.Line;
    if (BehindRun < kBackStretchFixes) {
        out.push_back({TVerdict::Outlier, fix});
        return;
    }
    if (BehindRun == kBackStretchFixes && Reanchor(out))
        return;
    TDecision decision{TVerdict::GoesBack, fix};
    if (BehindRun == kBackStretchFixes) {
        decision.Recount = kBackStretchFixes - 1;
        decision.RecountFromLine = BehindRunLine;
    }
    out.push_back(decision);
}

bool TFixFilter::Reanchor(std::vector<TDecision>& out) {
    if (!TakeBack || !BackStretchClose || !JumpAnchor || SinceJump.empty())
        return false;
    const double from = BackStretch.front().Point.Time;
    if (from <= JumpAnchor->Point.Time || from >= SinceJump.front().Point.Time)
        return false;
    // The stretch goes on from before the jump: the jump and what followed it were wrong.
    Refute(Held, out);
    TDecision reanchor{TVerdict::Reanchor, BackStretch.back()};
    reanchor.Recount = kBackStretchFixes - 1;
    reanchor.RecountFromLine = BehindRunLine;
    reanchor.TakeBackCount = SinceJump.size();
    out.push_back(reanchor);
    for (const TTrackFix& fix : SinceJump)
        out.push_back({TVerdict::TakenBack, fix});
    SinceJump.clear();
    JumpAnchor.reset();
    for (const TTrackFix& fix : BackStretch)
        Accept(fix, out);
    BackStretch.clear();
    return true;
}

void TFixFilter::Finish(std::vector<TDecision>& out) {
    if (!Rival.empty() && !Held.empty() && Rival.front().Point.Time > Held.back().Point.Time) {
        AcceptChain(Held, out);
        AcceptChain(Rival, out);
        return;
    }
    Refute(Rival, out);
    AcceptChain(Held, out);
}

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
        case TTrackProblemKind::TimeOutlier:
            return "time outlier";
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

std::size_t TTrack::AddFix(const TTrackFix& fix) {
    Filter.Take(fix, Decisions);
    return Apply();
}

std::size_t TTrack::FinishFixes() {
    Filter.Finish(Decisions);
    return Apply();
}

std::size_t TTrack::Apply() {
    std::size_t gained = 0;
    for (const TFixFilter::TDecision& d : Decisions) {
        const TTrackFix& fix = d.Fix;
        if (d.Verdict == TFixFilter::TVerdict::Accepted) {
            Fixes.push_back(fix.Point);
            if (fix.FeedBefore >= 0) {
                FeedBefore.resize(Fixes.size(), -1);
                FeedBefore.back() = fix.FeedBefore;
            }
            DefaultDated += fix.DefaultDated ? 1 : 0;
            ++gained;
            continue;
        }
        if (d.Verdict == TFixFilter::TVerdict::Outlier) {
            AddProblem(fix.Line, TTrackProblemKind::TimeOutlier,
                       "fix time " + FormatIso8601(fix.Point.Time) +
                           " is out of step with the fixes around it; fix skipped");
            continue;
        }
        const auto outlier = static_cast<std::size_t>(TTrackProblemKind::TimeOutlier);
        if (d.Verdict == TFixFilter::TVerdict::Reanchor) {
            // The stretch before this fix was counted as outliers: it is accepted next, and the
            // last fixes taken back (their TakenBack decisions follow).
            ProblemCounts[outlier] -= d.Recount;
            Skipped -= d.Recount;
            std::erase_if(FirstProblems, [&d](const TTrackProblem& problem) {
                return problem.Kind == TTrackProblemKind::TimeOutlier &&
                       problem.Line >= d.RecountFromLine;
            });
            Fixes.resize(Fixes.size() - d.TakeBackCount);
            if (FeedBefore.size() > Fixes.size())
                FeedBefore.resize(Fixes.size());
            gained -= std::min(gained, d.TakeBackCount);
            continue;
        }
        if (d.Verdict == TFixFilter::TVerdict::TakenBack) {
            DefaultDated -= fix.DefaultDated ? 1 : 0;
            AddProblem(fix.Line, TTrackProblemKind::TimeOutlier,
                       "fix time " + FormatIso8601(fix.Point.Time) +
                           " is out of step with the fixes after it; fix taken back");
            continue;
        }
        // The stretch before this fix was counted as outliers until it proved long.
        ProblemCounts[outlier] -= d.Recount;
        ProblemCounts[static_cast<std::size_t>(TTrackProblemKind::TimeBack)] += d.Recount;
        for (TTrackProblem& problem : FirstProblems)
            if (d.Recount > 0 && problem.Kind == TTrackProblemKind::TimeOutlier &&
                problem.Line >= d.RecountFromLine) {
                problem.Kind = TTrackProblemKind::TimeBack;
                problem.Message = "fix time goes back; fix skipped";
            }
        AddProblem(fix.Line, TTrackProblemKind::TimeBack, "fix time goes back; fix skipped");
    }
    Decisions.clear();
    return gained;
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

// The name without a last ".gz" (any case).
std::string WithoutGz(const std::string& path) {
    const std::size_t n = path.size();
    if (n > 3 && path[n - 3] == '.' &&
        std::tolower(static_cast<unsigned char>(path[n - 2])) == 'g' &&
        std::tolower(static_cast<unsigned char>(path[n - 1])) == 'z')
        return path.substr(0, n - 3);
    return path;
}

bool HasGpxExtension(const std::string& path) {
    std::string extension = std::filesystem::path(WithoutGz(path)).extension().string();
    for (char& c : extension)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return extension == ".gpx";
}

}  // namespace

namespace {

// The bytes of a track, through the input stream (InputStream.h): a file, a pipe or a FIFO,
// plain or gzip, with a stop (Ctrl-C) ending a wait for a pipe's bytes.
class TTrackInput {
public:
    TTrackInput(const std::string& path, const volatile std::sig_atomic_t* stopRequested)
        : Path(path), StopRequested(stopRequested) {}

    bool Stopped() const { return StopRequested != nullptr && *StopRequested != 0; }

    // Opens the track. A pipe, a FIFO or /dev/stdin is read as it comes, like a file: the
    // NMEA reader streams anyway and a GPX document is read whole either way. A character
    // device (a receiver, /dev/zero) is refused: it never ends, and a receiver's fixes are
    // live ones, for `live --gps`.
    bool Open(std::string* error) {
        if (Stopped()) {
            *error = "interrupted before reading track " + Path;
            return false;
        }
        if (!Input.Open(Path, false, StopRequested)) {
            *error = SystemError("cannot open track " + Path, errno);
            return false;
        }
        if (Input.Kind() == TFileKind::Directory || Input.Kind() == TFileKind::CharDevice) {
            *error = "cannot read track " + Path +
                     (Input.Kind() == TFileKind::Directory
                          ? std::string(": is a directory")
                          : ": is a character device, which never ends (a GPS receiver is read "
                            "live: n95host live --gps DEVICE); a replay reads a file or a pipe");
            return false;
        }
        return true;
    }

    // Up to `size` bytes into `buffer` (decompressed); 0 at the end. False, with a message,
    // when the read fails or a stop was asked for (then Stopped()).
    bool Read(char* buffer, std::size_t size, std::size_t& got, std::string* error) {
        switch (Input.Read(buffer, size, got)) {
            case TInputStream::TResult::Bytes:
                return true;
            case TInputStream::TResult::End:
                got = 0;
                return true;
            case TInputStream::TResult::Stopped:
                *error = "interrupted while reading track " + Path;
                return false;
            case TInputStream::TResult::Failed:
                break;
        }
        *error = "cannot read track " + Path + ": " + Input.Failure();
        return false;
    }

    // A plain regular file's size, known before it is read; 0 for a stream or a gzip file.
    std::size_t SizeHint() const {
        return Input.IsCompressed() ? 0 : static_cast<std::size_t>(Input.StoredSize());
    }

private:
    std::string Path;
    const volatile std::sig_atomic_t* StopRequested;
    TInputStream Input;
};

constexpr std::size_t kTrackReadBytes = 65536;

// The track from its first non-blank byte on, in `head` (the rest of that read), with the
// number of lines the blanks before it ended (CR LF, LF or CR each end one): what tells GPX
// from NMEA. The blanks are not kept, so an endless run of them takes no memory. False on a
// failed read.
bool ReadHead(TTrackInput& input, std::string& head, uint64_t& blankLines, bool& blank, bool& isXml,
              std::string* error) {
    char buffer[kTrackReadBytes];
    bool afterCr = false;
    for (std::size_t got = 1; got > 0;) {
        if (!input.Read(buffer, sizeof buffer, got, error))
            return false;
        for (std::size_t i = 0; i < got; ++i) {
            const char c = buffer[i];
            if (c == '\r' || c == '\n') {
                blankLines += c == '\n' && afterCr ? 0 : 1;
                afterCr = c == '\r';
                continue;
            }
            afterCr = false;
            if (c == ' ' || c == '\t')
                continue;
            // GPX is XML: its first non-blank byte is '<' (or a UTF-8 byte order mark).
            isXml = c == '<' || c == '\xEF';
            blank = false;
            head.assign(buffer + i, got - i);
            return true;
        }
    }
    blank = true;
    return true;
}

std::string GpxTooLarge(const std::string& path) {
    return "track " + path + " (GPX) is larger than " + std::to_string(kMaxGpxBytes >> 20) +
           " MiB: a GPX track is read whole; split it, or convert it to NMEA, which is streamed";
}

bool LoadGpx(TTrackInput& input, uint64_t blankLines, const std::string& head,
             const std::string& path, TTrack& track, std::string* error,
             const volatile std::sig_atomic_t* stopRequested) {
    // pugixml builds the document in memory; a GPX track is parsed whole, up to kMaxGpxBytes.
    if (input.SizeHint() > kMaxGpxBytes || blankLines + head.size() > kMaxGpxBytes) {
        *error = GpxTooLarge(path);
        return false;
    }
    // The blank lines before the document are put back: its line numbers count them.
    std::string text(blankLines, '\n');
    text.reserve(std::min(input.SizeHint(), kMaxGpxBytes) + 1);
    text += head;
    char buffer[kTrackReadBytes];
    for (std::size_t got = 1; got > 0;) {
        if (!input.Read(buffer, sizeof buffer, got, error))
            return false;
        if (text.size() + got > kMaxGpxBytes) {
            *error = GpxTooLarge(path);
            return false;
        }
        text.append(buffer, got);
    }
    std::string parseError;
    if (!ParseGpx(text.data(), text.size(), track, &parseError, stopRequested)) {
        *error = "track " + path + " " + parseError;
        return false;
    }
    return true;
}

bool LoadNmea(TTrackInput& input, uint64_t blankLines, const std::string& head, TTrack& track,
              std::string* error, const TNmeaDefaultDate& defaultDate) {
    // An NMEA log is streamed: the reader holds at most one line.
    TNmeaReader reader(track, defaultDate);
    reader.SkipBlankLines(blankLines);
    reader.Take(head.data(), head.size());
    char buffer[kTrackReadBytes];
    for (std::size_t got = 1; got > 0;) {
        if (!input.Read(buffer, sizeof buffer, got, error))
            return false;
        reader.Take(buffer, got);
    }
    reader.Finish();
    return true;
}

}  // namespace

bool LoadTrack(const std::string& path, TTrack& track, std::string* error,
               const TNmeaDefaultDate& defaultDate,
               const volatile std::sig_atomic_t* stopRequested) {
    TTrackInput input(path, stopRequested);
    if (!input.Open(error))
        return false;
    // The replay has the whole track before it feeds a fix: it can take fixes back.
    track.Filter.TakeBack = true;
    std::string head;
    uint64_t blankLines = 0;
    bool blank = true, isXml = false;
    if (!ReadHead(input, head, blankLines, blank, isXml, error))
        return false;
    if (blank) {
        // Nothing to tell the format by but the name.
        track.Format = HasGpxExtension(path) ? "GPX" : "NMEA";
        *error = "track " + path + " (" + track.Format + ") is empty: it holds no fix";
        return false;
    }
    if (isXml ? !LoadGpx(input, blankLines, head, path, track, error, stopRequested)
              : !LoadNmea(input, blankLines, head, track, error, defaultDate))
        return false;
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

std::vector<std::string> TrackNamesBeside(const std::string& capture) {
    if (capture == "-")
        return {};
    const std::string name = std::filesystem::path(WithoutGz(capture)).replace_extension().string();
    std::vector<std::string> names;
    for (const char* extension : {".fixes.nmea", ".nmea", ".gpx"}) {
        names.push_back(name + extension);
        names.push_back(name + extension + ".gz");
    }
    return names;
}

std::string FindTrackBeside(const std::string& capture) {
    for (const std::string& candidate : TrackNamesBeside(capture)) {
        std::error_code ec;
        if (std::filesystem::is_regular_file(candidate, ec))
            return candidate;
    }
    return std::string();
}

}  // namespace n95::host
