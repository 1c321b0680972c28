// n95host replay: a capture through the plug-in, records tagged from a GPS track, outputs
// written when the replay is complete.
#include <unistd.h>

#include <filesystem>
#include <memory>
#include <optional>

#include "host/common/Diagnostics.h"
#include "host/common/ExitStatus.h"
#include "host/common/Progress.h"
#include "host/common/StopSignals.h"
#include "host/n95host/RunSummary.h"
#include "host/n95host/Subcommands.h"
#include "host/outputs/OutputSet.h"
#include "host/session/Replay.h"

namespace n95::host {

namespace {

struct TReplayArgs {
    std::string Capture;
    std::string Gps;
    std::string Csv, GeoJson, Map, FrameLog;
    std::string OutDir;
    bool NoProgress = false;
};

void PrintSummary(FILE* out, const TReplayArgs& args, const TPlugin& plugin,
                  const TCaptureReader& capture, const TTrack* track, const TReplayResult& r,
                  const std::vector<std::string>& outputs) {
    const auto u = [](uint64_t v) { return static_cast<unsigned long long>(v); };
    std::fprintf(out, "Replay of %s through %s (%s)\n", args.Capture.c_str(),
                 plugin.DeviceName().c_str(), plugin.Path().c_str());
    PrintRunCounts(out, r.Stats,
                   std::to_string(r.Stats.Chunks.Bytes) + " in chunks, " +
                       std::to_string(capture.FileSize()) + " in the file");
    if (track != nullptr)
        std::fprintf(out, "  track           %s (%s): %zu fixes, %llu fed, %llu entries skipped\n",
                     args.Gps.c_str(), track->Format.c_str(), track->Fixes.size(),
                     u(r.Stats.Records.FixesFed), u(track->Skipped));
    else
        std::fprintf(out, "  track           none (records carry no position)\n");
    PrintNotCopied(out, r.Stats.Records);
    if (r.CutChunks > 0)
        std::fprintf(out,
                     "  cut chunks      %llu chunks were cut by the capture's snapshot length\n",
                     u(r.CutChunks));
    PrintKeptAndOutputs(out, r.Stats.MaxRecordsKept, outputs);
    if (r.Stats.Records.Records == 0)
        std::fprintf(out, "\nNo record came out. %s\n", ExplainNoRecords(r).c_str());
    std::fflush(out);
}

int RunReplayCommand(const TReplayArgs& args, const std::string& pluginPath) {
    std::string error;
    // The command line first: no output may be an input or another output.
    const TOutputPaths given{args.Csv, args.GeoJson, args.Map, args.FrameLog};
    TOutputPaths paths = given;
    if (!args.OutDir.empty())
        NameOutDirOutputs(args.OutDir, Stem(args.Capture), paths);
    std::vector<TNamedFile> inputs = {{"the capture", args.Capture}};
    if (!args.Gps.empty())
        inputs.push_back({"--gps", args.Gps});
    if (!CheckDistinctFiles(inputs, NamedOutputs(paths, given), &error)) {
        PrintError(error);
        return kExitUsage;
    }

    // Inputs next: a bad input writes nothing.
    TCaptureReader capture;
    if (!capture.Open(args.Capture, &error)) {
        PrintError(error);
        return kExitInputError;
    }
    std::optional<TTrack> track;
    if (!args.Gps.empty()) {
        track.emplace();
        if (!LoadTrack(args.Gps, *track, &error)) {
            PrintError(error);
            return kExitInputError;
        }
        ReportTrack(args.Gps, *track);
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
    if (!outputs.Open(paths, fixes, true, &error)) {
        PrintError(error);
        return kExitOutputError;
    }

    TProgress progress(capture.FileSize(), !args.NoProgress && isatty(STDERR_FILENO));
    TReplayOptions options;
    options.Track = track ? &*track : nullptr;
    options.ReplayName = args.Capture;
    options.FrameLogPath = outputs.FrameLogWritePath();
    options.Progress = &progress;
    options.StopRequested = InstallStopHandlers();

    TReplayResult result;
    const bool ok = RunReplay(
        plugin, capture, options, [&](const TRecordRow& row) { outputs.Add(row); }, result, &error);
    progress.Finish();
    if (!ok) {
        PrintError(outputs.NameFrameLog(error));
        return kExitOutputError;
    }
    if (result.Interrupted) {
        // A write to a FIFO or pipe whose reader went away stops the run too (SIGPIPE).
        if (!outputs.Flush(&error)) {
            PrintError(error);
            return kExitOutputError;
        }
        PrintError("interrupted; no output file was written");
        return kExitInterrupted;
    }

    if (outputs.WantsMap())
        outputs.SetMapTitle(
            "N95 drive replay: " + std::filesystem::path(args.Capture).filename().string(),
            MapSubtitle(result.Stats, fixes.size()));
    if (!outputs.Commit(&error)) {
        PrintError(error);
        return kExitOutputError;
    }

    if (result.Damaged)
        PrintWarning(result.DamageMessage + "; the " + std::to_string(result.Stats.Chunks.Chunks) +
                     " complete chunks before it were replayed");
    // Standard output may carry an output: the summary then goes with the messages.
    PrintSummary(outputs.UsesStandardOutput() ? stderr : stdout, args, plugin, capture,
                 track ? &*track : nullptr, result, outputs.Paths());
    if (result.Stats.Records.Records == 0)
        PrintError("no record came out of " + args.Capture);
    return result.Damaged || result.Stats.Records.Records == 0 ? kExitIncomplete : kExitOk;
}

}  // namespace

TSubcommand AddReplayCommand(CLI::App& app, const std::string& pluginPath) {
    auto args = std::make_shared<TReplayArgs>();
    CLI::App* replay = app.add_subcommand(
        "replay",
        "Replay a capture through the plug-in, tag records with a GPS track, write outputs");
    replay->footer(kExitStatusHelp);
    replay->add_option("capture", args->Capture, "Capture file (pcap, link type 147)")->required();
    replay->add_option("--gps", args->Gps, "GPS track: NMEA 0183 log or GPX 1.1 file");
    replay->add_option("--csv", args->Csv, "Write one CSV row per record");
    replay->add_option("--geojson", args->GeoJson, "Write the records and the track as GeoJSON");
    replay->add_option("--map", args->Map, "Write an SVG map of the track and the records");
    replay->add_option("--frame-log", args->FrameLog, "Have the plug-in log every decoded frame");
    replay->add_option("-o,--out-dir", args->OutDir,
                       "Write CAPTURE-NAME.csv, .geojson and .svg into this folder (created if "
                       "missing); --csv, --geojson and --map override single names");
    replay->add_flag("--no-progress", args->NoProgress, "No progress bar on standard error");
    return {replay, [args, &pluginPath] { return RunReplayCommand(*args, pluginPath); }};
}

}  // namespace n95::host
