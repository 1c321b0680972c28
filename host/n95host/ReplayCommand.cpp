// n95host replay: a capture through the plug-in, records tagged from a GPS track, outputs
// written when the replay is complete.
#include <algorithm>
#include <atomic>
#include <cmath>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>

#include "host/common/DateTimeText.h"
#include "host/common/Diagnostics.h"
#include "host/common/ExitStatus.h"
#include "host/common/Progress.h"
#include "host/common/StopSignals.h"
#include "host/common/SystemCalls.h"
#include "host/common/Version.h"
#include "host/n95host/RunSummary.h"
#include "host/n95host/Subcommands.h"
#include "host/n95host/SummaryJson.h"
#include "host/outputs/OutputSet.h"
#include "host/outputs/OutputWriter.h"
#include "host/session/Replay.h"

namespace n95::host {

namespace {

struct TReplayArgs {
    std::vector<std::string> Captures;  // as given
    std::string Capture;                // the one this replay reads
    std::string Gps;
    double GpsOffset = 0.0;  // seconds added to every fix time
    std::string GpsDate;     // YYYY-MM-DD: the date of GGA fixes without an RMC sentence
    TOutputPaths Outputs;    // as the options give them
    uint64_t MaxPoints = kDefaultMaxPoints;  // --max-points; 0: all
    std::string OutDir;
    bool NoProgress = false;
    bool NoGps = false;              // --no-gps: no track, not even one beside the capture
    bool TrackFound = false;         // Gps was found beside the capture, not given
    bool TrackOptionsGiven = false;  // --gps-offset or --gps-date
    std::string SummaryJson;         // --summary-json
    bool Quiet = false;              // -q
    unsigned Jobs = 0;               // -j: captures replayed at once; 0: one per core
};

// What an interrupted replay says: no output is written, but for the JSON summary, which
// records the interruption.
std::string InterruptedMessage(const TReplayArgs& args) {
    return args.SummaryJson.empty() ? "interrupted; no output file was written"
                                    : "interrupted; no output file was written but the summary";
}

// Without --gps (and without --no-gps), the track beside the capture, if there is one.
TReplayArgs WithTrackFound(TReplayArgs args) {
    if (args.Gps.empty() && !args.NoGps) {
        args.Gps = FindTrackBeside(args.Capture);
        args.TrackFound = !args.Gps.empty();
    }
    return args;
}

// Where the GGA fixes without an RMC date took theirs from, for the summary.
struct TTrackDate {
    TNmeaDefaultDate Date;
    std::string Source;
};

// The date of GGA-only fixes: --gps-date, or else the capture's first time stamp (in the
// logger's clock: less the offset), which the opened reader knows. Unset when neither is known.
void ChooseTrackDate(const TReplayArgs& args, TDateTime gpsDate, const TCaptureReader& capture,
                     TTrackDate& date) {
    if (!args.GpsDate.empty()) {
        // Noon: every time of that day lies within 12 hours of it.
        date.Date = {true, gpsDate + 0.5};
        date.Source = "--gps-date " + args.GpsDate;
        return;
    }
    if (const std::optional<TCaptureTime>& first = capture.FirstTime()) {
        const TDateTime stamp = CaptureTimeToDateTime(*first);
        date.Date = {true, stamp - args.GpsOffset / kSecondsPerDay};
        date.Source = "the capture's first time stamp (" + FormatIso8601(stamp) + ")";
    }
}

void PrintTrackLines(FILE* out, const TTrack& track, const TTrackDate& date,
                     const TReplayArgs& args, const TReplayResult& r) {
    const auto u = [](uint64_t v) { return static_cast<unsigned long long>(v); };
    std::fprintf(out, "  track           %s (%s%s): %zu fixes, %llu fed, %llu entries skipped%s\n",
                 args.Gps.c_str(), track.Format.c_str(),
                 args.TrackFound ? ", found beside the capture; --no-gps goes without" : "",
                 track.Fixes.size(), u(r.Stats.Records.FixesFed), u(track.Skipped),
                 SkippedKinds(track).c_str());
    const TDateTime first = track.Fixes.front().Time, last = track.Fixes.back().Time;
    std::fprintf(out, "  track span      %s .. %s (%.1f s)", FormatIso8601(first).c_str(),
                 FormatIso8601(last).c_str(), (last - first) * kSecondsPerDay);
    if (args.GpsOffset != 0.0)
        std::fprintf(out, ", shifted by %+g s", args.GpsOffset);
    std::fprintf(out, "\n");
    if (track.DefaultDated > 0)
        std::fprintf(
            out, "  track dates     %llu GGA fixes without an RMC date took their date from %s\n",
            u(track.DefaultDated), date.Source.c_str());
    std::fprintf(out, "  outside track   %llu records before its first fix, %llu after its last\n",
                 u(r.RecordsBeforeTrack), u(r.RecordsAfterTrack));
}

// The capture's bytes as stored: "N in the file", with what a gzip file decompressed to, or
// the bytes read from a pipe or standard input.
std::string StoredBytes(const TCaptureReader& capture) {
    std::string text = std::to_string(capture.FileSize()) +
                       (capture.IsStream() ? " read from the pipe" : " in the file");
    if (capture.IsCompressed())
        text += " (gzip, " + std::to_string(capture.Offset()) + " decompressed)";
    return text;
}

void PrintSummary(FILE* out, const TReplayArgs& args, const TPlugin& plugin,
                  const TCaptureReader& capture, const TTrack* track, const TTrackDate& date,
                  const TReplayResult& r, const TOutputSet& outputs) {
    const auto u = [](uint64_t v) { return static_cast<unsigned long long>(v); };
    std::fprintf(out, "Replay of %s through %s (%s)\n", args.Capture.c_str(),
                 plugin.DeviceName().c_str(), plugin.Path().c_str());
    PrintRunCounts(out, r.Stats,
                   std::to_string(r.Stats.Chunks.Bytes) + " in chunks, " + StoredBytes(capture));
    PrintMisalignedChunks(out, r.Stats.Chunks, TChunkSource::Capture);
    if (track != nullptr)
        PrintTrackLines(out, *track, date, args, r);
    else if (args.NoGps)
        std::fprintf(out, "  track           none (--no-gps: records carry no position)\n");
    else
        std::fprintf(out,
                     "  track           none (records carry no position): no --gps, and no "
                     "track beside the capture\n");
    PrintNotCopied(out, r.Stats.Records);
    if (r.CutChunks > 0)
        std::fprintf(out,
                     "  cut chunks      %llu chunks were cut by the capture's snapshot length\n",
                     u(r.CutChunks));
    PrintShownPoints(out, outputs);
    PrintKeptAndOutputs(out, r.Stats.MaxRecordsKept, outputs.Paths());
    if (r.Stats.Records.Records == 0)
        std::fprintf(out, "\nNo record came out. %s\n", ExplainNoRecords(r).c_str());
    std::fflush(out);
}

// The replay's figures, as PrintSummary prints them, into the JSON summary's object.
void WriteSummaryJson(TJsonWriter& json, const TReplayArgs& args, const TPlugin& plugin,
                      const TCaptureReader& capture, const TTrack* track, const TTrackDate& date,
                      const TReplayResult& r, const TOutputSet& outputs) {
    json.OpenObject("capture");
    json.String("path", args.Capture);
    // As stored (compressed for gzip; what was read, for a pipe).
    json.Number("file_bytes", capture.FileSize());
    json.Bool("gzip", capture.IsCompressed());
    json.Bool("stream", capture.IsStream());
    json.Number("decompressed_bytes", capture.Offset());
    json.Number("cut_chunks", r.CutChunks);
    json.Bool("damaged", r.Damaged);
    json.CloseObject();
    json.OpenObject("plugin");
    json.String("name", plugin.DeviceName());
    json.String("path", plugin.Path());
    json.CloseObject();
    WriteRunCountsJson(json, r.Stats);
    if (track == nullptr) {
        json.Null("track");
    } else {
        json.OpenObject("track");
        json.String("path", args.Gps);
        json.String("format", track->Format);
        json.Bool("found_beside_capture", args.TrackFound);
        json.Number("fixes", static_cast<uint64_t>(track->Fixes.size()));
        json.Number("fed", r.Stats.Records.FixesFed);
        json.Number("skipped", track->Skipped);
        json.String("first", FormatIso8601(track->Fixes.front().Time));
        json.String("last", FormatIso8601(track->Fixes.back().Time));
        json.Number("offset_seconds", args.GpsOffset, 3);
        json.Number("default_dated", track->DefaultDated);
        if (track->DefaultDated > 0)
            json.String("default_date_from", date.Source);
        json.Number("records_before", r.RecordsBeforeTrack);
        json.Number("records_after", r.RecordsAfterTrack);
        json.CloseObject();
    }
    WriteShownPointsJson(json, outputs);
    WriteKeptAndOutputsJson(json, r.Stats.MaxRecordsKept, outputs.Paths());
}

// The track's fixes and the records do not overlap in time (a track one day or a few hours
// off: a logger set to local time): every record takes the first or the last fix.
void WarnTrackMissesRecords(const TTrack& track, const TRecordStats& records) {
    const TDateTime first = track.Fixes.front().Time, last = track.Fixes.back().Time;
    const double lag = (first - records.FirstRecordTime) * kSecondsPerDay;
    char text[80];
    std::snprintf(text, sizeof text, ", starting %.1f s %s the first record", std::fabs(lag),
                  lag >= 0 ? "after" : "before");
    std::string hint = "\n  a track logged in local time is shifted with --gps-offset SECONDS";
    // Time zones differ by whole quarter hours.
    const double guess = std::round(-lag / 900.0) * 900.0;
    if (guess != 0.0)
        hint += " (here perhaps " + std::to_string(static_cast<long long>(guess)) + ")";
    PrintStatusWarning(
        "no record lies inside the track's time span, so no record has a position "
        "from the drive:\n  records " +
        FormatIso8601(records.FirstRecordTime) + " .. " + FormatIso8601(records.LastRecordTime) +
        "\n  track   " + FormatIso8601(first) + " .. " + FormatIso8601(last) + text + hint);
}

// The command line's values for one capture, before anything is read: the --gps-date, and
// the outputs' names, with the inputs and outputs for CheckDistinctFiles. False, having said
// why, when one is wrong.
bool NameFiles(const TReplayArgs& args, TDateTime& gpsDate, TOutputPaths& paths,
               std::vector<TNamedFile>& inputs, std::vector<TNamedFile>& outputs) {
    if (args.TrackOptionsGiven && args.Gps.empty()) {
        // NAME.fixes.nmea, NAME.nmea, NAME.gpx, each also as .gz; none beside standard input.
        const auto names = TrackNamesBeside(args.Capture);
        PrintError(names.size() < 6
                       ? "--gps-offset and --gps-date need a track: give --gps (a capture read "
                         "from standard input has no track beside it)"
                       : "--gps-offset and --gps-date need a track: give --gps, or put one "
                         "beside the capture (" +
                             names[0] + ", " + names[2] + " or " + names[4] + ", or one gzipped)");
        return false;
    }
    if (!std::isfinite(args.GpsOffset)) {
        PrintError("--gps-offset must be a finite number of seconds");
        return false;
    }
    if (!args.GpsDate.empty() &&
        (args.GpsDate.size() != 10 || !ParseIso8601(args.GpsDate + "T00:00:00Z", gpsDate))) {
        PrintError("--gps-date " + args.GpsDate + " is not a date YYYY-MM-DD");
        return false;
    }
    paths = args.Outputs;
    NameOutputs(args.OutDir, CaptureStem(args.Capture), paths);
    const std::string of = args.Captures.size() > 1 ? " (" + args.Capture + ")" : "";
    // Standard input is told apart from the outputs as the file it is.
    inputs.push_back(
        {"the capture" + of, args.Capture == "-" ? std::string("/dev/stdin") : args.Capture});
    if (!args.Gps.empty())
        inputs.push_back(
            {(args.TrackFound ? "the track found beside the capture" : "--gps") + of, args.Gps});
    for (TNamedFile& output : NamedOutputs(paths, args.Outputs))
        outputs.push_back({output.Role + of, output.Path});
    return true;
}

// What the capture itself got wrong, said before the summary.
void WarnAboutTheCapture(const TReplayResult& result) {
    if (result.Damaged)
        PrintStatusWarning(result.DamageMessage + "; the " +
                           std::to_string(result.Stats.Chunks.Chunks) +
                           " complete chunks before it were replayed");
    if (result.Stats.Chunks.Backwards > 0)
        PrintWarning("the capture's time stamps go backwards at " +
                     std::to_string(result.Stats.Chunks.Backwards) +
                     " chunks: records keep the capture's order, so their times go back too and "
                     "their positions may be off");
}

// The status of a replay that wrote its outputs: 1 when the result is not what was asked for
// (a damaged capture, no record, chunks that lost their boundaries, a track that misses the
// capture), with a message saying why.
int StatusOfTheReplay(const TReplayArgs& args, const TReplayResult& result, const TTrack* track) {
    const TRunStats& stats = result.Stats;
    bool incomplete = result.Damaged;
    if (stats.Records.Records == 0) {
        PrintError("no record came out of " + args.Capture);
        incomplete = true;
    } else if (MostChunksMisaligned(stats.Chunks)) {
        PrintStatusWarning(
            std::to_string(stats.Chunks.Misaligned()) + " of " +
            std::to_string(stats.Chunks.Chunks - stats.Chunks.AtReplies) +
            " chunks (AT replies aside) do not start with a whole trace frame: the "
            "capture did not keep the chunks as they were read, and their frames were "
            "lost");
        incomplete = true;
    }
    // A track of one fix spans no time: every record takes that fix, as it should.
    if (track && track->Fixes.size() > 1 && stats.Records.Records > 0 &&
        result.RecordsInTrack == 0) {
        WarnTrackMissesRecords(*track, stats.Records);
        incomplete = true;
    }
    return incomplete ? kExitIncomplete : kExitOk;
}

// The plug-in, loaded by the first replay that needs it (after its own inputs were read, so
// that a bad input is reported as such) and shared by all: each replay makes its own decoder
// on its own thread, as a rig of handsets does. Thread-safe.
class TSharedPlugin {
public:
    explicit TSharedPlugin(std::string path) : Path(std::move(path)) {}

    // The plug-in; nil when it cannot be loaded (the first caller said why). Throws
    // EPluginError to the first caller when an export raised an exception.
    const TPlugin* Get() {
        std::lock_guard<std::mutex> lock(Lock);
        if (!Tried) {
            Tried = true;
            Loaded = LoadPlugin(Plugin, Path);
        } else if (!Loaded) {
            PrintError("the plug-in could not be loaded (see above)");
        }
        return Loaded ? &Plugin : nullptr;
    }

private:
    std::mutex Lock;
    std::string Path;
    TPlugin Plugin;
    bool Tried = false, Loaded = false;
};

// Several captures print their summaries one at a time.
std::mutex gSummaryLock;

// One capture's replay, from its inputs to its outputs and its summary. Runs on one thread;
// several run at once, each with its own decoder and outputs.
class TReplayJob {
public:
    TReplayJob(const TReplayArgs& args, TDateTime gpsDate, TOutputPaths paths,
               TSharedPlugin& plugin)
        : Args(args), GpsDate(gpsDate), Paths(std::move(paths)), SharedPlugin(plugin) {}

    // Replays the capture; the exit status. With `progress`, a bar on a terminal.
    int Run(bool progress) {
        ShowProgress = progress;
        TMessageScope scope(Args.Captures.size() > 1 ? Args.Capture + ": " : "");
        try {
            Status = RunSteps(progress);
        } catch (const EPluginError& e) {
            // The plug-in failed where nothing else was to be kept (its names asked before
            // the run): the summary still tells.
            PrintError(e.what());
            Status = kExitOutputError;
        }
        Messages = scope.Messages();
        if (Args.Captures.size() > 1)
            LetGo();
        return Status;
    }

    // A capture not replayed, the run having been stopped before its turn.
    void Skip() {
        Status = kExitInterrupted;
        Messages = {"interrupted before its turn; no output file was written"};
        LetGo();
    }

    // The object of a replay of several captures' JSON summary, and its line of the last
    // summary; empty until it has run.
    const std::string& JsonObject() const { return JsonText; }
    const std::string& SummaryLine() const { return LineText; }

    // The replay's members of the JSON summary: its figures (when it got that far), the
    // messages and the exit status.
    void WriteJson(TJsonWriter& json) const {
        if (Summarised) {
            WriteSummaryJson(json, Args, *Plugin, Capture, TrackOrNil(), TrackDate, Result,
                             Outputs);
        } else {
            json.OpenObject("capture");  // which capture failed, before its figures
            json.String("path", Args.Capture);
            json.CloseObject();
        }
        WriteMessagesAndStatus(json, Messages, Status);
    }

    int ExitStatus() const { return Status; }

    // One line of a replay of several captures' last summary.
    std::string Line() const {
        std::string line = "  " + Args.Capture + ": status " + std::to_string(Status);
        if (Summarised)
            line += ", " + std::to_string(Result.Stats.Records.Records) + " records, " +
                    std::to_string(Outputs.Paths().size()) + " outputs";
        else if (!Messages.empty())
            line += ": " + Messages.front();
        return line;
    }

private:
    static constexpr int kGoOn = -1;

    // Renders the JSON object and the summary line, then lets go of the state.
    void LetGo() {
        TJsonWriter json;
        json.OpenObject();
        WriteJson(json);
        json.CloseObject();
        JsonText = json.Text();
        LineText = Line();
        State.reset();
    }

    int RunSteps(bool progress) {
        int status = ReadInputs();
        if (status == kGoOn)
            status = OpenOutputs();
        if (status == kGoOn)
            status = Replay(progress);
        if (status == kGoOn)
            status = MakeOutputs();
        if (status != kGoOn)
            return status;
        Summarised = true;
        WarnAboutTheCapture(Result);
        // Standard output may carry an output: the summary then goes with the messages.
        if (!Args.Quiet) {
            FILE* out = Outputs.UsesStandardOutput() || WritesStandardOutput(Args.SummaryJson)
                            ? stderr
                            : stdout;
            std::lock_guard<std::mutex> lock(gSummaryLock);
            PrintSummary(out, Args, *Plugin, Capture, TrackOrNil(), TrackDate, Result, Outputs);
        }
        return StatusOfTheReplay(Args, Result, TrackOrNil());
    }

    const TTrack* TrackOrNil() const { return Track ? &*Track : nullptr; }

    // The capture, the track and the plug-in: a bad input writes nothing.
    int ReadInputs() {
        std::string error;
        // Ctrl-C ends a wait for a pipe's first bytes, and the load of a big track.
        const volatile std::sig_atomic_t* stop = InstallStopHandlers();
        if (!Capture.Open(Args.Capture, &error, stop)) {
            PrintError(*stop ? InterruptedMessage(Args) : error);
            return *stop ? kExitInterrupted : kExitInputError;
        }
        if (!Args.Gps.empty()) {
            ChooseTrackDate(Args, GpsDate, Capture, TrackDate);
            Track.emplace();
            if (!LoadTrack(Args.Gps, *Track, &error, TrackDate.Date, stop)) {
                PrintError(*stop ? InterruptedMessage(Args)
                           : Args.TrackFound
                               ? error +
                                     "\n  (found beside the capture; --no-gps replays without it)"
                               : error);
                return *stop ? kExitInterrupted : kExitInputError;
            }
            ReportTrack(Args.Gps, *Track);
            ShiftTrack(*Track, Args.GpsOffset);
        }
        Plugin = SharedPlugin.Get();
        return Plugin == nullptr ? kExitPluginError : kGoOn;
    }

    // Every output is opened before the replay, so an unwritable path fails at once rather
    // than after a long run.
    int OpenOutputs() {
        std::string error;
        if (!Args.OutDir.empty() && !CreateOutDir(Args.OutDir, &error)) {
            PrintError(error);
            return kExitOutputError;
        }
        Outputs.SetMaxPoints(Args.MaxPoints);
        if (!Outputs.Open(Paths, Track ? Track->Fixes : NoFixes, true, &error)) {
            // A stop while an output waited (a FIFO without a reader) is a stop.
            const bool stopped = StopRequested();
            PrintError(stopped ? InterruptedMessage(Args) : error);
            return stopped ? kExitInterrupted : kExitOutputError;
        }
        return kGoOn;
    }

    // The capture through the plug-in; the rows are formatted and written on a thread of
    // their own, and the outputs are this thread's again once it has finished.
    int Replay(bool showProgress) {
        // A pipe's size is not known: its progress shows the bytes read.
        TProgress progress(Capture.SizeKnown() ? Capture.FileSize() : 0, showProgress);
        TReplayOptions options;
        options.Track = TrackOrNil();
        options.ReplayName = Args.Capture;
        options.FrameLogPath = Outputs.FrameLogWritePath();
        options.Progress = &progress;
        options.StopRequested = InstallStopHandlers();
        TOutputWriter writer(Outputs);
        options.OutputFailed = &writer.Failed();
        // With no output but the frame log (the plug-in's) the rows go nowhere.
        const bool rowsWanted = Outputs.WantsRows();
        std::string error;
        const bool ok = RunReplay(
            *Plugin, Capture, options,
            [&](std::span<const TRecordRow> rows) {
                if (rowsWanted)
                    writer.Add(rows);
            },
            Result, &error);
        writer.Finish();
        progress.Finish();
        if (!ok) {
            PrintError(Outputs.NameFrameLog(error));
            return kExitOutputError;
        }
        // A write failed (the replay stopped early, unless it had ended): the outputs say
        // why.
        if (writer.Failed()) {
            if (Outputs.Flush(&error))
                error = writer.Failure().empty() ? "cannot write the outputs" : writer.Failure();
            PrintError(error);
            Outputs.Discard();
            return kExitOutputError;
        }
        if (Result.Interrupted) {
            // A write to a FIFO or pipe whose reader went away stops the run too (SIGPIPE).
            if (!Outputs.Flush(&error)) {
                PrintError(error);
                return kExitOutputError;
            }
            PrintError(InterruptedMessage(Args));
            return kExitInterrupted;
        }
        return kGoOn;
    }

    // The outputs, all or nothing; the report gets the summary as it will be printed.
    int MakeOutputs() {
        const std::vector<TGpsPoint>& fixes = Track ? Track->Fixes : NoFixes;
        Outputs.SetTitle(
            "N95 drive replay: " + (Args.Capture == "-"
                                        ? std::string("standard input")
                                        : std::filesystem::path(Args.Capture).filename().string()),
            MapSubtitle(Result.Stats, fixes.size()));
        Outputs.SetSummaryMaker([this] {
            return LinesOf([this](FILE* out) {
                PrintSummary(out, Args, *Plugin, Capture, TrackOrNil(), TrackDate, Result, Outputs);
            });
        });
        Outputs.SetStopFlag(InstallStopHandlers());
        TProgress progress(0, ShowProgress, stderr, "outputs");
        Outputs.SetProgress([&progress](uint64_t done, uint64_t total) {
            progress.SetTotal(total);
            progress.Update(done);
        });
        std::string error;
        const bool made = Outputs.Commit(&error);
        progress.Finish();
        if (made)
            return kGoOn;
        if (Outputs.Stopped()) {
            PrintError(InterruptedMessage(Args));
            return kExitInterrupted;
        }
        PrintError(error);
        return kExitOutputError;
    }

    const TReplayArgs Args;
    const TDateTime GpsDate;
    const TOutputPaths Paths;
    TSharedPlugin& SharedPlugin;
    const TPlugin* Plugin = nullptr;
    // What the replay holds open and in memory, let go of once it has finished when several
    // captures are replayed (a run of a thousand captures holds no thousand files open).
    struct TState {
        TCaptureReader Capture;
        std::optional<TTrack> Track;
        TTrackDate TrackDate;
        const std::vector<TGpsPoint> NoFixes{};  // the outputs' track without --gps
        TOutputSet Outputs;
        TReplayResult Result;
    };
    std::unique_ptr<TState> State = std::make_unique<TState>();
    // State's members by name; not used once State is let go of.
    TCaptureReader& Capture = State->Capture;
    std::optional<TTrack>& Track = State->Track;
    TTrackDate& TrackDate = State->TrackDate;
    const std::vector<TGpsPoint>& NoFixes = State->NoFixes;
    TOutputSet& Outputs = State->Outputs;
    TReplayResult& Result = State->Result;
    std::string JsonText, LineText;  // rendered before State is let go of
    int Status = kExitOutputError;
    bool Summarised = false;  // the replay got to its summary
    bool ShowProgress = false;
    std::vector<std::string> Messages;
};

// The most severe of two exit statuses, in the order 130, 5, 4, 3, 1, 0 (6 and 2 do not
// arise once the captures are replayed).
int MostSevere(int a, int b) {
    constexpr int kOrder[] = {kExitInterrupted, kExitOutputError, kExitPluginError,
                              kExitInputError,  kExitIncomplete,  kExitOk};
    for (const int status : kOrder)
        if (a == status || b == status)
            return status;
    return std::max(a, b);
}

// The captures' own arguments, their outputs named and checked: no output may be an input
// or another output, of any capture. False, having said why.
bool PlanReplays(const TReplayArgs& given, std::vector<std::unique_ptr<TReplayJob>>& jobs,
                 TSharedPlugin& plugin) {
    std::vector<TNamedFile> inputs, outputs;
    if (!given.SummaryJson.empty())
        outputs.push_back({"--summary-json", given.SummaryJson});
    for (const std::string& capture : given.Captures) {
        if (std::count(given.Captures.begin(), given.Captures.end(), capture) > 1) {
            PrintError("the capture " + capture + " is given twice");
            return false;
        }
        TReplayArgs args = given;
        args.Capture = capture;
        args = WithTrackFound(args);
        TDateTime gpsDate = 0.0;
        TOutputPaths paths;
        if (!NameFiles(args, gpsDate, paths, inputs, outputs))
            return false;
        jobs.push_back(std::make_unique<TReplayJob>(args, gpsDate, std::move(paths), plugin));
    }
    std::string error;
    if (!CheckDistinctFiles(inputs, outputs, &error)) {
        PrintError(error);
        return false;
    }
    return true;
}

// Runs the replays, `jobs` at a time; the run's status.
int RunReplays(const TReplayArgs& args, std::vector<std::unique_ptr<TReplayJob>>& jobs) {
    if (jobs.size() == 1)
        return jobs[0]->Run(!args.NoProgress && !args.Quiet && System().IsTerminal(2) == 0);
    const unsigned workers = std::min<std::size_t>(
        jobs.size(), args.Jobs > 0 ? args.Jobs : std::max(1u, std::thread::hardware_concurrency()));
    InstallStopHandlers();  // once, here, before the workers look at the flag
    std::atomic<std::size_t> next{0};
    std::vector<std::thread> threads;
    // The stop requests reach this thread, which only waits: a worker's write to a pipe whose
    // reader has gone fails with EPIPE for that capture alone, rather than stopping them all.
    const TStopMask mask = System().BlockStopRequests();
    for (unsigned i = 0; i < workers; ++i)
        threads.emplace_back([&] {
            for (std::size_t job = next++; job < jobs.size(); job = next++) {
                if (StopRequested())
                    jobs[job]->Skip();
                else
                    jobs[job]->Run(false);
            }
        });
    System().RestoreStopRequests(mask);
    for (std::thread& thread : threads)
        thread.join();
    int status = kExitOk;
    std::string lines = "Replay of " + std::to_string(jobs.size()) + " captures:\n";
    for (const auto& job : jobs) {
        status = MostSevere(status, job->ExitStatus());
        lines += job->SummaryLine() + "\n";
    }
    if (!args.Quiet)
        std::fputs(lines.c_str(), WritesStandardOutput(args.SummaryJson) ? stderr : stdout);
    return status;
}

// The JSON summary: one capture's members in the top object; several captures each in an
// object of their own under "captures", the run's status last.
void WriteRunJson(TJsonWriter& json, const std::vector<std::unique_ptr<TReplayJob>>& jobs,
                  int status) {
    if (jobs.size() == 1) {
        jobs[0]->WriteJson(json);
        return;
    }
    json.OpenArray("captures");
    for (const auto& job : jobs)
        json.Raw("", job->JsonObject());
    json.CloseArray();
    WriteMessagesAndStatus(json, RecordedMessages(), status);
}

int RunReplayCommand(const TReplayArgs& args, const std::string& pluginPath) {
    TSharedPlugin plugin(pluginPath);
    std::vector<std::unique_ptr<TReplayJob>> jobs;
    if (!PlanReplays(args, jobs, plugin))
        return kExitUsage;
    TOutputFile summary;
    if (!OpenJsonSummary(args.SummaryJson, args.OutDir, summary))
        return kExitOutputError;
    const int status = RunReplays(args, jobs);
    if (!summary.IsOpen())
        return status;
    TJsonWriter json;
    json.OpenObject();
    json.String("command", "replay");
    json.String("version", VersionText());
    WriteRunJson(json, jobs, status);
    json.CloseObject();
    return CommitJsonSummary(json, args.SummaryJson, summary) ? status : kExitOutputError;
}

}  // namespace

TSubcommand AddReplayCommand(CLI::App& app, const std::string& pluginPath) {
    auto args = std::make_shared<TReplayArgs>();
    CLI::App* replay = app.add_subcommand(
        "replay",
        "Replay a capture through the plug-in, tag records with a GPS track, write outputs");
    replay->footer(kReplayExitHelp);
    replay
        ->add_option("capture", args->Captures,
                     "Captures (pcap or pcapng, link type 147): files, '-' for standard input, "
                     "pipes or FIFOs, each also gzip-compressed (outputs of '-' are named "
                     "stdin); several are replayed each into its own outputs")
        ->required();
    CLI::Option* gps = replay
                           ->add_option("--gps", args->Gps,
                                        "GPS track: NMEA 0183 log or GPX 1.1 file, also "
                                        "gzip-compressed, or a pipe (default: NAME.fixes.nmea, "
                                        "NAME.nmea or NAME.gpx beside the capture NAME.pcap or "
                                        "NAME.pcap.gz, each also as .gz, the first there is)")
                           ->check(kNonEmpty);
    CLI::Option* noGps = replay->add_flag("--no-gps", args->NoGps,
                                          "Replay without a track, even one beside the capture");
    noGps->excludes(gps);
    CLI::Option* offset =
        replay
            ->add_option("--gps-offset", args->GpsOffset,
                         "Seconds added to every fix time of the track (negative allowed, "
                         "fractions too): -7200 for a logger that wrote local time two hours "
                         "ahead of UTC")
            ->check(FiniteRange(-1e9, 1e9))
            ->excludes(noGps);
    CLI::Option* date =
        replay
            ->add_option("--gps-date", args->GpsDate,
                         "YYYY-MM-DD: the date of GGA fixes that no RMC sentence dates (a log of "
                         "GGA sentences only); default: the date of the capture's first time "
                         "stamp")
            ->excludes(noGps);
    AddOutputOptions(*replay, args->Outputs, args->MaxPoints);
    replay
        ->add_option(
            "-o,--out-dir", args->OutDir,
            "Write CAPTURE-NAME.csv, .geojson, .track.geojson, .kml, .svg and .html into this "
            "folder (created if missing); single options override single names")
        ->check(kNonEmpty);
    replay->add_flag("--no-progress", args->NoProgress, "No progress bar on standard error");
    replay
        ->add_option("--summary-json", args->SummaryJson,
                     "Write the summary's figures, the outputs written, the messages and the exit "
                     "status as one JSON object here ('-': standard output), even when the run "
                     "fails (not for a usage error)")
        ->check(kNonEmpty);
    replay->add_flag("-q,--quiet", args->Quiet,
                     "Print nothing but errors and the warnings that explain a non-zero status");
    replay
        ->add_option("-j,--jobs", args->Jobs,
                     "Replay this many captures at once (default: one per core)")
        ->check(CLI::Range(1u, 256u));
    return {replay, [args, offset, date, &pluginPath] {
                args->TrackOptionsGiven = offset->count() > 0 || date->count() > 0;
                SetQuiet(args->Quiet);
                return RunReplayCommand(*args, pluginPath);
            }};
}

}  // namespace n95::host
