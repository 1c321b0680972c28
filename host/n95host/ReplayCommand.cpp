// n95host replay: a capture through the plug-in, records tagged from a GPS track, outputs
// written when the replay is complete.
#include <cmath>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>

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
    std::string Capture;
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
// logger's clock: less the offset). Unset when neither is known.
void ChooseTrackDate(const TReplayArgs& args, TDateTime gpsDate, TTrackDate& date) {
    if (!args.GpsDate.empty()) {
        // Noon: every time of that day lies within 12 hours of it.
        date.Date = {true, gpsDate + 0.5};
        date.Source = "--gps-date " + args.GpsDate;
        return;
    }
    TCaptureReader first;
    std::string error;
    if (first.Open(args.Capture, &error) && first.Next() == TCaptureReader::TStatus::Chunk) {
        const TDateTime stamp = CaptureTimeToDateTime(first.Time());
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

void PrintSummary(FILE* out, const TReplayArgs& args, const TPlugin& plugin,
                  const TCaptureReader& capture, const TTrack* track, const TTrackDate& date,
                  const TReplayResult& r, const TOutputSet& outputs) {
    const auto u = [](uint64_t v) { return static_cast<unsigned long long>(v); };
    std::fprintf(out, "Replay of %s through %s (%s)\n", args.Capture.c_str(),
                 plugin.DeviceName().c_str(), plugin.Path().c_str());
    PrintRunCounts(out, r.Stats,
                   std::to_string(r.Stats.Chunks.Bytes) + " in chunks, " +
                       std::to_string(capture.FileSize()) + " in the file");
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
    json.Number("file_bytes", capture.FileSize());
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

// The command line's values, before anything is read: the --gps-date, and the outputs'
// names (no output may be an input or another output). False, having said why, when one
// is wrong.
bool CheckCommandLine(const TReplayArgs& args, TDateTime& gpsDate, TOutputPaths& paths) {
    if (args.TrackOptionsGiven && args.Gps.empty()) {
        const auto names = TrackNamesBeside(args.Capture);
        PrintError(
            "--gps-offset and --gps-date need a track: give --gps, or put one beside the "
            "capture (" +
            names[0] + ", " + names[1] + " or " + names[2] + ")");
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
    NameOutputs(args.OutDir, Stem(args.Capture), paths);
    std::vector<TNamedFile> inputs = {{"the capture", args.Capture}};
    if (!args.Gps.empty())
        inputs.push_back(
            {args.TrackFound ? "the track found beside the capture" : "--gps", args.Gps});
    std::vector<TNamedFile> outputs = NamedOutputs(paths, args.Outputs);
    if (!args.SummaryJson.empty())
        outputs.push_back({"--summary-json", args.SummaryJson});
    std::string error;
    if (!CheckDistinctFiles(inputs, outputs, &error)) {
        PrintError(error);
        return false;
    }
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

// `openSummary` opens the JSON summary (when asked for) once the command line is known to be
// right, and says why when it cannot; RunReplayCommand then fails with status 5.
int RunReplayCommand(const TReplayArgs& given, const std::string& pluginPath, TJsonWriter& json,
                     const std::function<bool(const TReplayArgs&)>& openSummary) {
    const TReplayArgs args = WithTrackFound(given);
    TDateTime gpsDate = 0.0;
    TOutputPaths paths;
    if (!CheckCommandLine(args, gpsDate, paths))
        return kExitUsage;
    if (!openSummary(args))
        return kExitOutputError;
    std::string error;

    // Inputs next: a bad input writes nothing.
    TCaptureReader capture;
    if (!capture.Open(args.Capture, &error)) {
        PrintError(error);
        return kExitInputError;
    }
    std::optional<TTrack> track;
    TTrackDate trackDate;
    if (!args.Gps.empty()) {
        ChooseTrackDate(args, gpsDate, trackDate);
        track.emplace();
        // Ctrl-C while a big track loads stops the load.
        const volatile std::sig_atomic_t* stop = InstallStopHandlers();
        if (!LoadTrack(args.Gps, *track, &error, trackDate.Date, stop)) {
            PrintError(*stop ? InterruptedMessage(args)
                       : args.TrackFound
                           ? error + "\n  (found beside the capture; --no-gps replays without it)"
                           : error);
            return *stop ? kExitInterrupted : kExitInputError;
        }
        ReportTrack(args.Gps, *track);
        ShiftTrack(*track, args.GpsOffset);
    }
    TPlugin plugin;
    if (!LoadPlugin(plugin, pluginPath))
        return kExitPluginError;

    if (!args.OutDir.empty() && !ApplyOutDir(args.OutDir, Stem(args.Capture), paths, &error)) {
        PrintError(error);
        return kExitOutputError;
    }
    // Every output is opened before the replay, so an unwritable path fails at once rather
    // than after a long run.
    static const std::vector<TGpsPoint> kNoFixes;
    const std::vector<TGpsPoint>& fixes = track ? track->Fixes : kNoFixes;
    TOutputSet outputs;
    outputs.SetMaxPoints(args.MaxPoints);
    if (!outputs.Open(paths, fixes, true, &error)) {
        // A stop while an output waited (a FIFO without a reader) is a stop.
        const bool stopped = StopRequested();
        PrintError(stopped ? InterruptedMessage(args) : error);
        return stopped ? kExitInterrupted : kExitOutputError;
    }

    TProgress progress(capture.FileSize(),
                       !args.NoProgress && !args.Quiet && System().IsTerminal(2) == 0);
    TReplayOptions options;
    options.Track = track ? &*track : nullptr;
    options.ReplayName = args.Capture;
    options.FrameLogPath = outputs.FrameLogWritePath();
    options.Progress = &progress;
    options.StopRequested = InstallStopHandlers();

    // The rows are formatted and written on a thread of their own; the outputs are this
    // thread's again once it has finished.
    TReplayResult result;
    TOutputWriter writer(outputs);
    options.OutputFailed = &writer.Failed();
    // With no output but the frame log (the plug-in's) the rows go nowhere.
    const bool rowsWanted = outputs.Paths().size() > (paths.FrameLog.empty() ? 0u : 1u);
    const bool ok = RunReplay(
        plugin, capture, options,
        [&](std::span<const TRecordRow> rows) {
            if (rowsWanted)
                writer.Add(rows);
        },
        result, &error);
    writer.Finish();
    progress.Finish();
    if (!ok) {
        PrintError(outputs.NameFrameLog(error));
        return kExitOutputError;
    }
    // A write failed (the replay stopped early, unless it had ended): the outputs say why.
    if (writer.Failed()) {
        if (outputs.Flush(&error))
            error = writer.Failure().empty() ? "cannot write the outputs" : writer.Failure();
        PrintError(error);
        outputs.Discard();
        return kExitOutputError;
    }
    if (result.Interrupted) {
        // A write to a FIFO or pipe whose reader went away stops the run too (SIGPIPE).
        if (!outputs.Flush(&error)) {
            PrintError(error);
            return kExitOutputError;
        }
        PrintError(InterruptedMessage(args));
        return kExitInterrupted;
    }

    outputs.SetTitle("N95 drive replay: " + std::filesystem::path(args.Capture).filename().string(),
                     MapSubtitle(result.Stats, fixes.size()));
    outputs.SetStopFlag(options.StopRequested);
    if (!outputs.Commit(&error)) {
        if (outputs.Stopped()) {
            PrintError(InterruptedMessage(args));
            return kExitInterrupted;
        }
        PrintError(error);
        return kExitOutputError;
    }

    WarnAboutTheCapture(result);
    // Standard output may carry an output: the summary then goes with the messages.
    if (!args.Quiet)
        PrintSummary(outputs.UsesStandardOutput() || WritesStandardOutput(args.SummaryJson)
                         ? stderr
                         : stdout,
                     args, plugin, capture, track ? &*track : nullptr, trackDate, result, outputs);
    WriteSummaryJson(json, args, plugin, capture, track ? &*track : nullptr, trackDate, result,
                     outputs);
    return StatusOfTheReplay(args, result, track ? &*track : nullptr);
}

}  // namespace

TSubcommand AddReplayCommand(CLI::App& app, const std::string& pluginPath) {
    auto args = std::make_shared<TReplayArgs>();
    CLI::App* replay = app.add_subcommand(
        "replay",
        "Replay a capture through the plug-in, tag records with a GPS track, write outputs");
    replay->footer(kReplayExitHelp);
    replay->add_option("capture", args->Capture, "Capture file (pcap or pcapng, link type 147)")
        ->required();
    CLI::Option* gps = replay
                           ->add_option("--gps", args->Gps,
                                        "GPS track: NMEA 0183 log or GPX 1.1 file (default: "
                                        "NAME.fixes.nmea, NAME.nmea or NAME.gpx beside the "
                                        "capture NAME.pcap, the first there is)")
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
        ->add_option("-o,--out-dir", args->OutDir,
                     "Write CAPTURE-NAME.csv, .geojson, .track.geojson, .kml and .svg into this "
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
    return {replay, [args, offset, date, &pluginPath] {
                args->TrackOptionsGiven = offset->count() > 0 || date->count() > 0;
                SetQuiet(args->Quiet);
                TJsonWriter json;
                json.OpenObject();
                json.String("command", "replay");
                json.String("version", VersionText());
                // Opened once the command line is right (a usage error writes nothing), and
                // before any input is read, so that a run that fails later says why in it.
                TOutputFile summary;
                std::string error;
                const auto openSummary = [&](const TReplayArgs& a) {
                    if (a.SummaryJson.empty())
                        return true;
                    // The summary may live in the -o folder, made now rather than after the
                    // inputs were read.
                    if ((!a.OutDir.empty() && !CreateOutDir(a.OutDir, &error)) ||
                        !summary.Open(a.SummaryJson, &error)) {
                        PrintError(error);
                        return false;
                    }
                    return true;
                };
                int status = kExitOutputError;
                try {
                    status = RunReplayCommand(*args, pluginPath, json, openSummary);
                } catch (const EPluginError& e) {
                    // The plug-in failed where nothing else was to be kept (its names asked
                    // before the run): the summary still tells.
                    PrintError(e.what());
                }
                if (!summary.IsOpen())
                    return status;
                json.OpenArray("messages");
                for (const std::string& message : RecordedMessages())
                    json.String("", message);
                json.CloseArray();
                json.Number("exit_status", status);
                json.CloseObject();
                const std::string& text = json.Text();
                if (std::fwrite(text.data(), 1, text.size(), summary.File()) != text.size() ||
                    std::fputc('\n', summary.File()) == EOF || !summary.Commit(&error)) {
                    PrintError(error.empty() ? "cannot write " + args->SummaryJson : error);
                    return static_cast<int>(kExitOutputError);
                }
                return status;
            }};
}

}  // namespace n95::host
