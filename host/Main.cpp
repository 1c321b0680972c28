// n95host: the reference host tool. Drives a handset on a serial port through the plug-in,
// replays a captured drive through it, prints the AT command lines of a test action, and
// shows what the plug-in says about itself.
#include <sys/resource.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "host/AtLines.h"
#include "host/AtomicFile.h"
#include "host/DateTimeText.h"
#include "host/ExitStatus.h"
#include "host/Live.h"
#include "host/OutputSet.h"
#include "host/Outputs.h"
#include "host/PcapCapture.h"
#include "host/PluginHost.h"
#include "host/Progress.h"
#include "host/Replay.h"
#include "host/SerialPort.h"
#include "host/Track.h"

namespace n95::host {
namespace {

volatile std::sig_atomic_t gStopRequested = 0;

void RequestStop(int) {
    gStopRequested = 1;
}

// SIGINT and SIGTERM ask the run to stop. Without SA_RESTART, so that a wait in poll ends at
// once.
void InstallStopHandlers() {
    struct sigaction action {};
    action.sa_handler = RequestStop;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
}

void PrintError(const std::string& message) {
    std::fprintf(stderr, "n95host: %s\n", message.c_str());
}

bool LoadPlugin(TPlugin& plugin, const std::string& path) {
    std::string error;
    if (plugin.Load(path.empty() ? DefaultPluginPath() : path, &error))
        return true;
    PrintError(error);
    return false;
}

// ---------------------------------------------------------------------------------------
// replay

struct TReplayArgs {
    std::string Capture;
    std::string Gps;
    std::string Csv, GeoJson, Map, FrameLog;
    std::string OutDir;
    bool NoProgress = false;
};

std::string Stem(const std::string& path) {
    std::filesystem::path p(path);
    return p.stem().string();
}

void ReportTrack(const std::string& path, const TTrack& track) {
    if (track.Skipped == 0)
        return;
    std::fprintf(stderr, "n95host: warning: track %s: %llu %s skipped\n", path.c_str(),
                 static_cast<unsigned long long>(track.Skipped),
                 track.Format == "GPX" ? "track points" : "lines");
    for (const TTrackProblem& problem : track.FirstProblems)
        std::fprintf(stderr, "  line %llu: %s\n", static_cast<unsigned long long>(problem.Line),
                     problem.Message.c_str());
    if (track.Skipped > track.FirstProblems.size())
        std::fprintf(stderr, "  (and %llu more)\n",
                     static_cast<unsigned long long>(track.Skipped - track.FirstProblems.size()));
}

// The last lines of both summaries: records held at once, peak memory, the outputs written.
void PrintKeptAndOutputs(std::size_t maxRecordsKept, const std::vector<std::string>& outputs) {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    std::printf("  records kept    at most %zu at once; peak resident memory %.1f MB\n",
                maxRecordsKept, usage.ru_maxrss / 1024.0);
    std::string list;
    for (const std::string& o : outputs)
        list += (list.empty() ? "" : ", ") + o;
    std::printf("  outputs         %s\n", list.empty() ? "none" : list.c_str());
}


void PrintSummary(const TReplayArgs& args, const TPlugin& plugin, const TCaptureReader& capture,
                  const TTrack* track, const TReplayResult& r,
                  const std::vector<std::string>& outputs) {
    const auto u = [](uint64_t v) { return static_cast<unsigned long long>(v); };
    std::printf("Replay of %s through %s (%s)\n", args.Capture.c_str(), plugin.DeviceName().c_str(),
                plugin.Path().c_str());
    std::printf("  chunks          %llu (%llu of whole frames, %llu AT replies)\n", u(r.Chunks),
                u(r.AlignedChunks), u(r.AtReplyChunks));
    std::printf("  bytes           %llu in chunks, %llu in the file; %llu decoded\n",
                u(r.ChunkBytes), u(capture.FileSize()), u(r.DecodedBytes));
    std::printf("  frames          %llu whole frames at chunk starts\n", u(r.Frames));
    std::printf("  records         %llu: %llu with a position, %llu without\n", u(r.Records),
                u(r.RecordsWithPosition), u(r.Records - r.RecordsWithPosition));
    std::printf("  by class        0: %llu, 1: %llu, 2: %llu, 3: %llu, no class: %llu\n",
                u(r.RecordsByClass[0]), u(r.RecordsByClass[1]), u(r.RecordsByClass[2]),
                u(r.RecordsByClass[3]), u(r.RecordsByClass[4]));
    const double span = (r.LastChunkTime - r.FirstChunkTime) * 86400.0;
    if (r.Chunks > 0) {
        std::printf("  time span       %s .. %s (%.1f s)\n",
                    FormatIso8601(r.FirstChunkTime).c_str(), FormatIso8601(r.LastChunkTime).c_str(),
                    span);
        std::printf("  mean data rate  %s\n",
                    span > 0 ? FormatRate(r.ChunkBytes / span).c_str() : "n/a (one instant)");
    }
    if (track != nullptr)
        std::printf("  track           %s (%s): %zu fixes, %llu fed, %llu entries skipped\n",
                    args.Gps.c_str(), track->Format.c_str(), track->Fixes.size(), u(r.FixesFed),
                    u(track->Skipped));
    else
        std::printf("  track           none (records carry no position)\n");
    if (r.RecordsNotCopied > 0)
        std::printf("  not copied      %llu records the host could not copy\n",
                    u(r.RecordsNotCopied));
    if (r.CutChunks > 0)
        std::printf("  cut chunks      %llu chunks were cut by the capture's snapshot length\n",
                    u(r.CutChunks));
    PrintKeptAndOutputs(r.MaxRecordsKept, outputs);
    if (r.Records == 0)
        std::printf("\nNo record came out. %s\n", ExplainNoRecords(r).c_str());
    std::fflush(stdout);
}

int RunReplayCommand(TReplayArgs args, const std::string& pluginPath) {
    // Inputs first: a bad input writes nothing.
    TCaptureReader capture;
    std::string error;
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

    TOutputPaths paths{args.Csv, args.GeoJson, args.Map, args.FrameLog};
    if (!args.OutDir.empty() && !ApplyOutDir(args.OutDir, Stem(args.Capture), paths, &error)) {
        PrintError(error);
        return kExitOutputError;
    }
    // Every output is opened (as a temporary file) before the replay, so an unwritable path
    // fails at once rather than after a long run.
    static const std::vector<TGpsPoint> kNoFixes;
    const std::vector<TGpsPoint>& fixes = track ? track->Fixes : kNoFixes;
    TOutputSet outputs;
    if (!outputs.Open(paths, fixes, true, &error)) {
        PrintError(error);
        return kExitOutputError;
    }

    InstallStopHandlers();
    TProgress progress(capture.FileSize(), !args.NoProgress && isatty(STDERR_FILENO));
    TReplayOptions options;
    options.Track = track ? &*track : nullptr;
    options.ReplayName = args.Capture;
    options.FrameLogPath = outputs.FrameLogTempPath();
    options.Progress = &progress;
    options.StopRequested = &gStopRequested;

    TReplayResult result;
    const bool ok = RunReplay(
        plugin, capture, options, [&](const TRecordRow& row) { outputs.Add(row); }, result, &error);
    progress.Finish();
    if (!ok) {
        PrintError(error);
        return kExitOutputError;
    }
    if (result.Interrupted) {
        PrintError("interrupted; no output was written");
        return kExitInterrupted;
    }

    if (outputs.WantsMap()) {
        std::string subtitle;
        if (result.Chunks > 0)
            subtitle = FormatIso8601(result.FirstChunkTime) + " .. " +
                       FormatIso8601(result.LastChunkTime) + "  -  " +
                       std::to_string(result.Records) + " records, " +
                       std::to_string(fixes.size()) + " GPS fixes";
        outputs.SetMapTitle(
            "N95 drive replay: " + std::filesystem::path(args.Capture).filename().string(),
            subtitle);
    }
    if (!outputs.Commit(&error)) {
        PrintError(error);
        return kExitOutputError;
    }

    if (result.Damaged)
        std::fprintf(stderr,
                     "n95host: warning: %s; the %llu complete chunks before it were replayed\n",
                     result.DamageMessage.c_str(), static_cast<unsigned long long>(result.Chunks));
    PrintSummary(args, plugin, capture, track ? &*track : nullptr, result, outputs.Paths());
    if (result.Records == 0)
        std::fprintf(stderr, "n95host: no record came out of %s\n", args.Capture.c_str());
    return result.Damaged || result.Records == 0 ? kExitIncomplete : kExitOk;
}

// ---------------------------------------------------------------------------------------
// live

struct TLiveArgs {
    std::string Device;
    int Baud = 115200;
    double Duration = 0.0;
    std::string Capture;
    std::string Gps;
    int GpsBaud = 4800;
    std::string Csv, GeoJson, Map, FrameLog;
    std::string OutDir;
    double TraceWait = kTraceConfirmSeconds;
    int ReconnectTries = 5;
    double ReconnectPause = 2.0;
    int IdleGapMs = 10;
    bool NoStatus = false;
};

// "live-20240514T092000Z": the stem of a live run's outputs when no capture names them.
std::string LiveStem() {
    const std::string iso = FormatIso8601(CaptureTimeToDateTime(CaptureTimeNow()));
    std::string stem = "live-";
    for (const char c : iso.substr(0, 19))
        if (c != '-' && c != ':')
            stem.push_back(c);
    return stem + "Z";
}

void PrintLiveSummary(const TLiveArgs& args, const TPlugin& plugin, const TLiveResult& r,
                      const TLiveOptions& options, const TGpsFeed* gps,
                      const std::vector<std::string>& outputs) {
    const auto u = [](uint64_t v) { return static_cast<unsigned long long>(v); };
    const TRecordStats& s = r.Records;
    std::printf("Live run on %s (%d baud) through %s (%s)\n", args.Device.c_str(), args.Baud,
                plugin.DeviceName().c_str(), plugin.Path().c_str());
    if (r.Tested)
        std::printf("  trace           confirmed %.2f s after Connect\n", r.ConfirmSeconds);
    else
        std::printf("  trace           not confirmed\n");
    std::printf("  end             %s\n", DescribeEnd(r, options).c_str());
    std::printf("  chunks          %llu (%llu of whole frames, %llu AT replies)\n", u(r.Chunks),
                u(r.AlignedChunks), u(r.AtReplyChunks));
    std::printf("  bytes           %llu read; %llu decoded\n", u(r.ChunkBytes), u(s.DecodedBytes));
    std::printf("  frames          %llu whole frames at chunk starts\n", u(r.Frames));
    std::printf("  records         %llu: %llu with a position, %llu without\n", u(s.Records),
                u(s.RecordsWithPosition), u(s.Records - s.RecordsWithPosition));
    std::printf("  by class        0: %llu, 1: %llu, 2: %llu, 3: %llu, no class: %llu\n",
                u(s.RecordsByClass[0]), u(s.RecordsByClass[1]), u(s.RecordsByClass[2]),
                u(s.RecordsByClass[3]), u(s.RecordsByClass[4]));
    if (r.Chunks > 0) {
        const TDateTime first = CaptureTimeToDateTime(r.FirstChunkTime);
        const TDateTime last = CaptureTimeToDateTime(r.LastChunkTime);
        const double span = (last - first) * 86400.0;
        std::printf("  time span       %s .. %s (%.1f s)\n", FormatIso8601(first).c_str(),
                    FormatIso8601(last).c_str(), span);
        std::printf("  mean data rate  %s\n",
                    span > 0 ? FormatRate(r.ChunkBytes / span).c_str() : "n/a (one instant)");
    }
    if (gps != nullptr)
        std::printf("  gps             %s (NMEA): %llu fixes read, %llu fed, %llu lines skipped\n",
                    args.Gps.c_str(), u(r.FixesRead), u(s.FixesFed), u(gps->Track().Skipped));
    else
        std::printf("  gps             none (records carry no position)\n");
    std::printf("  port            %llu lost, %llu reconnected\n", u(r.PortLosses),
                u(r.Reconnects));
    if (s.RecordsNotCopied > 0)
        std::printf("  not copied      %llu records the host could not copy\n",
                    u(s.RecordsNotCopied));
    PrintKeptAndOutputs(r.MaxRecordsKept, outputs);
    std::fflush(stdout);
}

int RunLiveCommand(TLiveArgs args, const std::string& pluginPath) {
    if (!IsSupportedBaud(args.Baud)) {
        PrintError("--baud " + std::to_string(args.Baud) + " is not a standard baud rate");
        return kExitUsage;
    }
    TPlugin plugin;
    if (!LoadPlugin(plugin, pluginPath))
        return kExitPluginError;
    std::string error;
    std::optional<TGpsFeed> gps;
    if (!args.Gps.empty()) {
        gps.emplace();
        if (!gps->Open(args.Gps, args.GpsBaud, &error)) {
            PrintError(error);
            return kExitInputError;
        }
    }

    const std::string stem = args.Capture.empty() ? LiveStem() : Stem(args.Capture);
    TOutputPaths paths{args.Csv, args.GeoJson, args.Map, args.FrameLog};
    if (!args.OutDir.empty()) {
        if (!ApplyOutDir(args.OutDir, stem, paths, &error)) {
            PrintError(error);
            return kExitOutputError;
        }
        if (args.Capture.empty())
            args.Capture = (std::filesystem::path(args.OutDir) / (stem + ".pcap")).string();
    }
    // Outputs and capture exist (as temporary files) before the handset is touched.
    static const std::vector<TGpsPoint> kNoFixes;
    const std::vector<TGpsPoint>& fixes = gps ? gps->Track().Fixes : kNoFixes;
    TOutputSet outputs;
    TCaptureWriter capture;
    if (!outputs.Open(paths, fixes, false, &error) ||
        (!args.Capture.empty() && !capture.Open(args.Capture, &error))) {
        PrintError(error);
        return kExitOutputError;
    }

    TSerialOptions serial;
    serial.Baud = args.Baud;
    serial.IdleGapMs = args.IdleGapMs;
    TSerialPort port(args.Device, serial);
    if (!port.OpenPort(&error)) {
        PrintError(error);
        return kExitDeviceError;
    }

    InstallStopHandlers();
    TStatusLine status(!args.NoStatus && isatty(STDERR_FILENO));
    TLiveOptions options;
    options.DurationSeconds = args.Duration;
    options.TraceWaitSeconds = args.TraceWait;
    options.FrameLogPath = outputs.FrameLogTempPath();
    options.Capture = args.Capture.empty() ? nullptr : &capture;
    options.Gps = gps ? &*gps : nullptr;
    options.ReconnectTries = args.ReconnectTries;
    options.ReconnectPauseSeconds = args.ReconnectPause;
    options.StopRequested = &gStopRequested;
    options.Status = &status;

    std::fprintf(stderr, "n95host: switching the trace on at %s (%d baud)\n", args.Device.c_str(),
                 args.Baud);
    TLiveResult result;
    const bool ok = RunLive(
        plugin, port, options, [&](const TRecordRow& row) { outputs.Add(row); }, result, &error);
    port.Close();
    status.Clear();
    if (!ok)
        PrintError(error);
    if (gps && !gps->Track().FirstProblems.empty())
        ReportTrack(args.Gps, gps->Track());

    // What was read is kept in every case: the capture, and the outputs once the test ran.
    std::vector<std::string> written;
    int exitStatus = kExitOk;
    if (!args.Capture.empty()) {
        if (capture.Commit(&error))
            written.push_back(args.Capture);
        else {
            PrintError(error);
            exitStatus = kExitOutputError;
        }
    }
    if (result.Tested) {
        if (outputs.WantsMap()) {
            std::string subtitle;
            if (result.Chunks > 0)
                subtitle = FormatIso8601(CaptureTimeToDateTime(result.FirstChunkTime)) + " .. " +
                           FormatIso8601(CaptureTimeToDateTime(result.LastChunkTime)) + "  -  " +
                           std::to_string(result.Records.Records) + " records, " +
                           std::to_string(fixes.size()) + " GPS fixes";
            outputs.SetMapTitle("N95 live drive: " + args.Device, subtitle);
        }
        std::vector<std::string> errors;
        for (const std::string& path : outputs.CommitEach(&errors))
            written.push_back(path);
        for (const std::string& e : errors) {
            PrintError(e);
            exitStatus = kExitOutputError;
        }
    } else {
        outputs.Discard();
    }

    const std::string end = DescribeEnd(result, options);
    if (result.Tested)
        std::fprintf(stderr, "n95host: %s\n", end.c_str());
    else
        PrintError(end + (written.empty() ? "" : "; the capture is kept"));
    PrintLiveSummary(args, plugin, result, options, gps ? &*gps : nullptr, written);

    if (!ok || exitStatus != kExitOk)
        return kExitOutputError;
    if (!result.Tested)
        return result.End == TLiveEnd::Stopped ? kExitInterrupted : kExitDeviceError;
    if (result.End == TLiveEnd::PortLost)
        return kExitIncomplete;
    if (result.Records.Records == 0) {
        std::fprintf(stderr, "n95host: no record came out of the handset's trace\n");
        return kExitIncomplete;
    }
    return kExitOk;
}

// ---------------------------------------------------------------------------------------
// commands

const std::map<std::string, int32_t>& ActionNames() {
    static const std::map<std::string, int32_t> names = {
        {"dial", 0},
        {"hangup", 1},
        {"answer", 2},
        {"system-lock", 520},
        {"sector-lock", 521},
        {"sector-unlock", 522},
        {"channel-lock", 523},
        {"channel-unlock", 524},
        {"vt-dial", 532},
        {"vt-answer", 533},
        {"vt-hangup", 534},
        {"geran-hoprms-1", 542},
        {"geran-hoprms-off", 543},
        {"geran-hoprms-2", 544},
        {"wran-hoprms-1", 546},
        {"wran-hoprms-off", 547},
        {"wran-hoprms-2", 548},
        {"audio-test-1", 550},
        {"audio-test-2", 551},
        {"ba-lock", 580},
        {"ba-unlock", 581},
        {"gsm-scan", 590},
        {"gsm-scan-stop", 591},
        {"wcdma-scan", 592},
        {"wcdma-scan-stop", 593},
    };
    return names;
}

std::string ActionHelp() {
    std::string text = "Action names (or give the numeric code):\n";
    for (const auto& [name, code] : ActionNames())
        text += "  " + name + std::string(18 - std::min<std::size_t>(17, name.size()), ' ') +
                std::to_string(code) + "\n";
    return text;
}

bool ParseAction(const std::string& text, int32_t& action) {
    const auto found = ActionNames().find(text);
    if (found != ActionNames().end()) {
        action = found->second;
        return true;
    }
    if (text.empty())
        return false;
    char* end = nullptr;
    errno = 0;
    const long value = std::strtol(text.c_str(), &end, 10);
    if (*end != '\0' || errno != 0 || value < INT32_MIN || value > INT32_MAX)
        return false;
    action = static_cast<int32_t>(value);
    return true;
}

int RunCommandsCommand(const std::string& actionText, const std::vector<std::string>& params,
                       const std::optional<std::string>& text, bool raw,
                       const std::string& pluginPath) {
    int32_t action;
    if (!ParseAction(actionText, action)) {
        PrintError("unknown action \"" + actionText + "\" (a number or a name; see --help)");
        return kExitUsage;
    }
    if (text && !params.empty()) {
        PrintError("give NAME=VALUE parameters or --text, not both");
        return kExitUsage;
    }
    std::string paramText = text.value_or("");
    for (const std::string& p : params) {
        if (p.find('=') == std::string::npos) {
            PrintError("parameter \"" + p + "\" is not NAME=VALUE");
            return kExitUsage;
        }
        if (!paramText.empty())
            paramText += "\r\n";
        paramText += p;
    }
    TPlugin plugin;
    if (!LoadPlugin(plugin, pluginPath))
        return kExitPluginError;
    TReplayPort port;
    int32_t fixCounter = 0;
    TGpsPoint fix{};
    THostContext context{nullptr, "commands", 0, 0, &fixCounter, &fix};
    std::vector<std::string> lines;
    {
        TDecoderPtr decoder = plugin.NewDecoder(&port, &context);
        TCommandParams commandParams{0, paramText.c_str()};
        lines = decoder->BuildTestCommands(action, &commandParams);
    }
    if (lines.empty()) {
        PrintError("action " + std::to_string(action) +
                   " gives no command line (an unknown code, or a required parameter text is "
                   "empty)");
        return kExitIncomplete;
    }
    for (const std::string& line : lines) {
        if (raw)
            std::fwrite(line.data(), 1, line.size(), stdout);
        else
            std::printf("%s\n", VisibleText(line).c_str());
    }
    return kExitOk;
}

// ---------------------------------------------------------------------------------------
// info

int RunInfoCommand(const std::string& pluginPath) {
    TPlugin plugin;
    if (!LoadPlugin(plugin, pluginPath))
        return kExitPluginError;
    std::printf("plug-in    %s\n", plugin.Path().c_str());
    std::printf("name       %s\n", plugin.DeviceName().c_str());
    std::printf("type       %s\n", plugin.DeviceType() ? "true" : "false");
    std::printf("frequency  %u\n", static_cast<unsigned>(plugin.DeviceFrequency()));
    return kExitOk;
}

int Main(int argc, char** argv) {
    CLI::App app{
        "Reference host of the N95 handset plug-in: drives a handset live, replays "
        "captured drives through it.",
        "n95host"};
    app.require_subcommand(1);
    app.fallthrough();
    app.footer(kExitStatusHelp);
    std::string pluginPath;
    app.add_option("--plugin", pluginPath,
                   "The plug-in library to load (default: libN95.so beside this program)");

    TReplayArgs replayArgs;
    CLI::App* replay = app.add_subcommand(
        "replay",
        "Replay a capture through the plug-in, tag records with a GPS track, write outputs");
    replay->footer(kExitStatusHelp);
    replay->add_option("capture", replayArgs.Capture, "Capture file (pcap, link type 147)")
        ->required();
    replay->add_option("--gps", replayArgs.Gps, "GPS track: NMEA 0183 log or GPX 1.1 file");
    replay->add_option("--csv", replayArgs.Csv, "Write one CSV row per record");
    replay->add_option("--geojson", replayArgs.GeoJson,
                       "Write the records and the track as GeoJSON");
    replay->add_option("--map", replayArgs.Map, "Write an SVG map of the track and the records");
    replay->add_option("--frame-log", replayArgs.FrameLog,
                       "Have the plug-in log every decoded frame");
    replay->add_option("-o,--out-dir", replayArgs.OutDir,
                       "Write CAPTURE-NAME.csv, .geojson and .svg into this folder (created if "
                       "missing); --csv, --geojson and --map override single names");
    replay->add_flag("--no-progress", replayArgs.NoProgress, "No progress bar on standard error");

    TLiveArgs liveArgs;
    CLI::App* live = app.add_subcommand(
        "live",
        "Drive a handset on a serial port: switch its trace on, decode it, tag records with "
        "live GPS, write outputs and a capture; stop with Ctrl-C (or --duration)");
    live->footer(kExitStatusHelp);
    live->add_option("--device", liveArgs.Device,
                     "The handset's port, e.g. /dev/ttyACM0 (the N95's USB modem)")
        ->required();
    live->add_option("--baud", liveArgs.Baud, "Line speed")->capture_default_str();
    live->add_option("--duration", liveArgs.Duration,
                     "Stop after this many seconds of test (default: until Ctrl-C)")
        ->check(CLI::Range(0.0, 1e9));
    live->add_option("--capture", liveArgs.Capture,
                     "Write every chunk read to this capture (pcap; n95host replay reads it)");
    live->add_option("--gps", liveArgs.Gps,
                     "Live GPS: a receiver's serial device, or an NMEA file that another "
                     "program appends to");
    live->add_option("--gps-baud", liveArgs.GpsBaud, "Line speed of a GPS receiver")
        ->capture_default_str();
    live->add_option("--csv", liveArgs.Csv, "Write one CSV row per record");
    live->add_option("--geojson", liveArgs.GeoJson, "Write the records and the track as GeoJSON");
    live->add_option("--map", liveArgs.Map, "Write an SVG map of the track and the records");
    live->add_option("--frame-log", liveArgs.FrameLog, "Have the plug-in log every decoded frame");
    live->add_option("-o,--out-dir", liveArgs.OutDir,
                     "Write NAME.csv, .geojson, .svg and .pcap into this folder (created if "
                     "missing), NAME being the capture's name or live-<UTC time>; single "
                     "options override");
    live->add_option("--trace-wait", liveArgs.TraceWait,
                     "Give up when no trace frame comes within this many seconds of Connect")
        ->capture_default_str()
        ->check(CLI::Range(0.1, kTraceConfirmSeconds));
    live->add_option("--reconnect-tries", liveArgs.ReconnectTries,
                     "Reconnect attempts after the port is lost")
        ->capture_default_str()
        ->check(CLI::Range(0, 1000));
    live->add_option("--reconnect-pause", liveArgs.ReconnectPause,
                     "Seconds to wait before each reconnect attempt")
        ->capture_default_str()
        ->check(CLI::Range(0.0, 3600.0));
    live->add_option("--idle-gap", liveArgs.IdleGapMs,
                     "A burst read from the port ends after this many milliseconds of silence")
        ->capture_default_str()
        ->check(CLI::Range(1, 1000));
    live->add_flag("--no-status", liveArgs.NoStatus, "No status line on standard error");

    std::string actionText;
    std::vector<std::string> params;
    std::string commandText;
    bool raw = false;
    CLI::App* commands = app.add_subcommand(
        "commands", "Print the AT command lines the plug-in builds for a test action");
    commands->footer(ActionHelp() + "\n" + kExitStatusHelp);
    commands->add_option("action", actionText, "Action code or name")->required();
    commands->add_option("params", params, "Parameters NAME=VALUE (for example UARFCN=10713)");
    CLI::Option* textOption =
        commands->add_option("--text", commandText, "Parameter text used as it is (a dial string)");
    commands->add_flag("--raw", raw,
                       "Write the lines' bytes as they are (carriage returns, no newline)");

    CLI::App* info = app.add_subcommand("info", "Show the plug-in's name, type and frequency code");
    info->footer(kExitStatusHelp);

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        return app.exit(e) == 0 ? kExitOk : kExitUsage;
    }
    if (*replay)
        return RunReplayCommand(replayArgs, pluginPath);
    if (*live)
        return RunLiveCommand(liveArgs, pluginPath);
    if (*commands) {
        std::optional<std::string> text;
        if (textOption->count() > 0)
            text = commandText;
        return RunCommandsCommand(actionText, params, text, raw, pluginPath);
    }
    if (*info)
        return RunInfoCommand(pluginPath);
    return kExitUsage;
}

}  // namespace
}  // namespace n95::host

int main(int argc, char** argv) {
    return n95::host::Main(argc, argv);
}
