// n95host: the reference host tool. Replays a captured drive through the plug-in, prints the
// AT command lines of a test action, and shows what the plug-in says about itself.
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

#include "host/AtomicFile.h"
#include "host/DateTimeText.h"
#include "host/ExitStatus.h"
#include "host/Outputs.h"
#include "host/PcapCapture.h"
#include "host/PluginHost.h"
#include "host/Progress.h"
#include "host/Replay.h"
#include "host/Track.h"

namespace n95::host {
namespace {

volatile std::sig_atomic_t gStopRequested = 0;

void RequestStop(int) {
    gStopRequested = 1;
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

std::string FormatRate(double bytesPerSecond) {
    char buffer[48];
    if (bytesPerSecond >= 1e6)
        std::snprintf(buffer, sizeof buffer, "%.2f MB/s", bytesPerSecond / 1e6);
    else if (bytesPerSecond >= 1e3)
        std::snprintf(buffer, sizeof buffer, "%.1f kB/s", bytesPerSecond / 1e3);
    else
        std::snprintf(buffer, sizeof buffer, "%.0f B/s", bytesPerSecond);
    return buffer;
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
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    std::printf("  records kept    at most %zu at once; peak resident memory %.1f MB\n",
                r.MaxRecordsKept, usage.ru_maxrss / 1024.0);
    std::string list;
    for (const std::string& o : outputs)
        list += (list.empty() ? "" : ", ") + o;
    std::printf("  outputs         %s\n", list.empty() ? "none" : list.c_str());
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

    if (!args.OutDir.empty()) {
        std::error_code ec;
        std::filesystem::create_directories(args.OutDir, ec);
        if (ec) {
            PrintError("cannot create folder " + args.OutDir + ": " + ec.message());
            return kExitOutputError;
        }
        const std::string base = (std::filesystem::path(args.OutDir) / Stem(args.Capture)).string();
        if (args.Csv.empty())
            args.Csv = base + ".csv";
        if (args.GeoJson.empty())
            args.GeoJson = base + ".geojson";
        if (args.Map.empty())
            args.Map = base + ".svg";
    }

    // Every output is opened (as a temporary file) before the replay, so an unwritable path
    // fails at once rather than after a long run.
    static const std::vector<TGpsPoint> kNoFixes;
    const std::vector<TGpsPoint>& fixes = track ? track->Fixes : kNoFixes;
    TCsvOutput csv;
    TGeoJsonOutput geoJson;
    TAtomicFile mapFile, frameLog;
    std::optional<TSvgMap> map;
    if ((!args.Csv.empty() && !csv.Open(args.Csv, &error)) ||
        (!args.GeoJson.empty() && !geoJson.Open(args.GeoJson, fixes, &error)) ||
        (!args.Map.empty() && !mapFile.Open(args.Map, &error)) ||
        (!args.FrameLog.empty() && !frameLog.Open(args.FrameLog, &error))) {
        PrintError(error);
        return kExitOutputError;
    }
    if (!args.Map.empty())
        map.emplace(fixes);
    if (!args.FrameLog.empty())
        std::fclose(frameLog.Detach());  // the plug-in writes it by name

    std::signal(SIGINT, RequestStop);
    std::signal(SIGTERM, RequestStop);
    TProgress progress(capture.FileSize(), !args.NoProgress && isatty(STDERR_FILENO));
    TReplayOptions options;
    options.Track = track ? &*track : nullptr;
    options.ReplayName = args.Capture;
    options.FrameLogPath = args.FrameLog.empty() ? "" : frameLog.TempPath();
    options.Progress = &progress;
    options.StopRequested = &gStopRequested;

    TReplayResult result;
    const bool ok = RunReplay(
        plugin, capture, options,
        [&](const TRecordRow& row) {
            if (!args.Csv.empty())
                csv.Add(row);
            if (!args.GeoJson.empty())
                geoJson.Add(row);
            if (map)
                map->Add(row);
        },
        result, &error);
    progress.Finish();
    if (!ok) {
        PrintError(error);
        return kExitOutputError;
    }
    if (result.Interrupted) {
        PrintError("interrupted; no output was written");
        return kExitInterrupted;
    }

    std::vector<std::string> outputs;
    if (map) {
        std::string subtitle;
        if (result.Chunks > 0)
            subtitle = FormatIso8601(result.FirstChunkTime) + " .. " +
                       FormatIso8601(result.LastChunkTime) + "  -  " +
                       std::to_string(result.Records) + " records, " +
                       std::to_string(fixes.size()) + " GPS fixes";
        map->SetTitle(
            "N95 drive replay: " + std::filesystem::path(args.Capture).filename().string(),
            subtitle);
    }
    if ((!args.Csv.empty() && !csv.Commit(&error)) ||
        (!args.GeoJson.empty() && !geoJson.Commit(&error)) ||
        (map && !map->Commit(mapFile, &error)) ||
        (!args.FrameLog.empty() && !frameLog.Commit(&error))) {
        PrintError(error);
        return kExitOutputError;
    }
    for (const std::string* path : {&args.Csv, &args.GeoJson, &args.Map, &args.FrameLog})
        if (!path->empty())
            outputs.push_back(*path);

    if (result.Damaged)
        std::fprintf(stderr,
                     "n95host: warning: %s; the %llu complete chunks before it were replayed\n",
                     result.DamageMessage.c_str(), static_cast<unsigned long long>(result.Chunks));
    PrintSummary(args, plugin, capture, track ? &*track : nullptr, result, outputs);
    if (result.Records == 0)
        std::fprintf(stderr, "n95host: no record came out of %s\n", args.Capture.c_str());
    return result.Damaged || result.Records == 0 ? kExitIncomplete : kExitOk;
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

// The line with its carriage return (and any other control byte) shown visibly.
std::string Visible(const std::string& line) {
    std::string out;
    for (const char c : line) {
        const auto byte = static_cast<unsigned char>(c);
        if (c == '\r')
            out += "<CR>";
        else if (c == '\n')
            out += "<LF>";
        else if (byte < 0x20 || byte == 0x7F) {
            char buffer[8];
            std::snprintf(buffer, sizeof buffer, "<%02X>", byte);
            out += buffer;
        } else
            out.push_back(c);
    }
    return out;
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
            std::printf("%s\n", Visible(line).c_str());
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
    CLI::App app{"Reference host of the N95 handset plug-in: replays captured drives through it.",
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
