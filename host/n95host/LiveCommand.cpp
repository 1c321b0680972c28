// n95host live: a handset on a serial port driven through the plug-in, live GPS, a capture
// of everything read, outputs written when the run ends.
#include <unistd.h>

#include <filesystem>
#include <memory>
#include <optional>

#include "host/common/DateTimeText.h"
#include "host/common/Diagnostics.h"
#include "host/common/ExitStatus.h"
#include "host/common/OutputFile.h"
#include "host/common/StopSignals.h"
#include "host/n95host/RunSummary.h"
#include "host/n95host/Subcommands.h"
#include "host/outputs/OutputSet.h"
#include "host/session/Live.h"

namespace n95::host {

namespace {

struct TLiveArgs {
    std::string Device;
    int Baud = 115200;
    double Duration = 0.0;
    std::string Capture;
    std::string Gps;
    int GpsBaud = 4800;
    TOutputPaths Outputs;    // as the options give them
    uint64_t MaxPoints = 0;  // --max-points; 0: all
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

void PrintSummary(FILE* out, const TLiveArgs& args, const TPlugin& plugin, const TLiveResult& r,
                  const TLiveOptions& options, const TFixSource* gps, const TOutputSet& outputSet,
                  const std::vector<std::string>& outputs) {
    const auto u = [](uint64_t v) { return static_cast<unsigned long long>(v); };
    std::fprintf(out, "Live run on %s (%d baud) through %s (%s)\n", args.Device.c_str(), args.Baud,
                 plugin.DeviceName().c_str(), plugin.Path().c_str());
    if (r.Tested)
        std::fprintf(out, "  trace           confirmed %.2f s after Connect\n", r.ConfirmSeconds);
    else
        std::fprintf(out, "  trace           not confirmed\n");
    std::fprintf(out, "  end             %s\n", DescribeEnd(r, options).c_str());
    PrintRunCounts(out, r.Stats, std::to_string(r.Stats.Chunks.Bytes) + " read");
    if (gps != nullptr)
        std::fprintf(out, "  gps             %s: %llu fixes read, %llu fed, %llu %s skipped%s\n",
                     gps->Name().c_str(), u(r.FixesRead), u(r.Stats.Records.FixesFed),
                     u(gps->Track().Skipped), gps->EntryName(),
                     gps->Losses() == 0 ? ""
                                        : (", connection lost " + std::to_string(gps->Losses()) +
                                           ", regained " + std::to_string(gps->Recoveries()))
                                              .c_str());
    else
        std::fprintf(out, "  gps             none (records carry no position)\n");
    std::fprintf(out, "  port            %llu lost, %llu reconnected\n", u(r.PortLosses),
                 u(r.Reconnects));
    PrintNotCopied(out, r.Stats.Records);
    PrintShownPoints(out, outputSet);
    PrintKeptAndOutputs(out, r.Stats.MaxRecordsKept, outputs);
    std::fflush(out);
}

// The exit status of a run that wrote what it had to.
int StatusOfTheRun(const TLiveResult& result) {
    if (!result.Tested)
        return result.End == TLiveEnd::Stopped ? kExitInterrupted : kExitDeviceError;
    if (result.End == TLiveEnd::PortLost)
        return kExitIncomplete;
    if (result.Stats.Records.Records == 0) {
        PrintError("no record came out of the handset's trace");
        return kExitIncomplete;
    }
    return kExitOk;
}

// The fixes a run fed go beside its capture, NAME.nmea, unless that would be the GPS source
// itself (a log that another program appends to) or the capture: then NAME.fixes.nmea. None
// when the capture goes to standard output or there is no capture or no GPS.
std::string FixLogPath(const std::string& capture, const std::string& gps) {
    if (capture.empty() || capture == "-" || gps.empty())
        return "";
    std::filesystem::path path(capture);
    path.replace_extension(".nmea");
    std::error_code ec;
    if (path == std::filesystem::path(capture) || path == std::filesystem::path(gps) ||
        std::filesystem::equivalent(path, gps, ec))
        path.replace_extension(".fixes.nmea");
    return path.string();
}

// Names the outputs, the capture and the fix log: as given, and by -o after the capture or
// live-<UTC time>. Then no output may be an input (the device, the GPS) or another output.
// False, having said why, when one is.
bool NameFiles(TLiveArgs& args, TOutputPaths& paths, std::string& fixLog) {
    paths = args.Outputs;
    const bool captureGiven = !args.Capture.empty();
    const std::string stem = args.Capture.empty() ? LiveStem() : Stem(args.Capture);
    NameOutputs(args.OutDir, stem, paths);
    if (!args.OutDir.empty() && args.Capture.empty())
        args.Capture = (std::filesystem::path(args.OutDir) / (stem + ".pcap")).string();
    std::vector<TNamedFile> inputs = {{"--device", args.Device}};
    if (!args.Gps.empty())
        inputs.push_back({"--gps", args.Gps});
    std::vector<TNamedFile> outputs = NamedOutputs(paths, args.Outputs);
    if (!args.Capture.empty())
        outputs.push_back({captureGiven ? "--capture" : "-o", args.Capture});
    fixLog = FixLogPath(args.Capture, args.Gps);
    if (!fixLog.empty())
        outputs.push_back({"the fix log", fixLog});
    std::string error;
    if (!CheckDistinctFiles(inputs, outputs, &error)) {
        PrintError(error);
        return false;
    }
    return true;
}

// Opens the outputs and the capture before the handset is touched (creating the -o
// folder). The capture keeps a hidden temporary name while it is written: a killed run
// leaves it behind, readable up to its last flush. False, having said why, when one cannot
// be opened.
bool OpenFiles(const TLiveArgs& args, const TOutputPaths& paths, const std::string& fixLogPath,
               const std::vector<TGpsPoint>& fixes, TOutputSet& outputs, TCaptureWriter& capture,
               TOutputFile& fixLog) {
    std::string error;
    if (!args.OutDir.empty() && !CreateOutDir(args.OutDir, &error)) {
        PrintError(error);
        return false;
    }
    outputs.SetMaxPoints(args.MaxPoints);
    if (!outputs.Open(paths, fixes, false, &error) ||
        (!args.Capture.empty() && !capture.Open(args.Capture, &error, true)) ||
        (!fixLogPath.empty() && !fixLog.Open(fixLogPath, &error))) {
        PrintError(error);
        return false;
    }
    return true;
}

// What was read is kept in every case: the capture, and the outputs and the fix log once the
// test ran. Appends the paths written to `written`; false, having said why, when one could
// not be.
bool KeepWhatWasRead(const TLiveArgs& args, const TLiveResult& result, std::size_t fixes,
                     TOutputSet& outputs, TCaptureWriter& capture, TOutputFile& fixLog,
                     std::vector<std::string>& written) {
    bool ok = true;
    std::string error;
    if (!args.Capture.empty()) {
        if (capture.Commit(&error)) {
            written.push_back(OutputDisplayName(args.Capture));
        } else {
            PrintError(error);
            ok = false;
        }
    }
    if (!result.Tested) {
        outputs.Discard();
        fixLog.Discard();
        return ok;
    }
    if (fixLog.IsOpen()) {
        const std::string name = fixLog.Name();
        if (fixLog.Commit(&error)) {
            written.push_back(name);
        } else {
            PrintError(error);
            ok = false;
        }
    }
    outputs.SetTitle("N95 live drive: " + args.Device, MapSubtitle(result.Stats, fixes));
    std::vector<std::string> errors;
    for (const std::string& path : outputs.CommitEach(&errors))
        written.push_back(path);
    for (const std::string& e : errors) {
        PrintError(e);
        ok = false;
    }
    return ok;
}

int RunLiveCommand(TLiveArgs args, const std::string& pluginPath) {
    if (!IsSupportedBaud(args.Baud)) {
        PrintError("--baud " + std::to_string(args.Baud) + " is not a standard baud rate");
        return kExitUsage;
    }
    TOutputPaths paths;
    std::string fixLogPath;
    if (!NameFiles(args, paths, fixLogPath))
        return kExitUsage;
    TPlugin plugin;
    if (!LoadPlugin(plugin, pluginPath))
        return kExitPluginError;
    std::string error;
    std::unique_ptr<TFixSource> gps;
    if (!args.Gps.empty()) {
        gps = OpenFixSource(args.Gps, args.GpsBaud, &error);
        if (!gps) {
            PrintError(error);
            return kExitInputError;
        }
    }

    static const std::vector<TGpsPoint> kNoFixes;
    const std::vector<TGpsPoint>& fixes = gps ? gps->Track().Fixes : kNoFixes;
    TOutputSet outputs;
    TCaptureWriter capture;
    TOutputFile fixLog;
    if (!OpenFiles(args, paths, fixLogPath, fixes, outputs, capture, fixLog))
        return kExitOutputError;

    TSerialOptions serial;
    serial.Baud = args.Baud;
    serial.IdleGapMs = args.IdleGapMs;
    TSerialPort port(args.Device, serial);
    if (!port.OpenPort(&error)) {
        PrintError(error);
        return kExitDeviceError;
    }

    TStatusLine status(!args.NoStatus && isatty(STDERR_FILENO));
    TLiveOptions options;
    options.DurationSeconds = args.Duration;
    options.TraceWaitSeconds = args.TraceWait;
    options.FrameLogPath = outputs.FrameLogWritePath();
    options.Capture = args.Capture.empty() ? nullptr : &capture;
    options.Gps = gps.get();
    options.ReconnectTries = args.ReconnectTries;
    options.ReconnectPauseSeconds = args.ReconnectPause;
    options.StopRequested = InstallStopHandlers();
    options.Status = &status;
    options.FixLog = fixLog.File();

    PrintNote("switching the trace on at " + args.Device + " (" + std::to_string(args.Baud) +
              " baud)");
    TLiveResult result;
    const bool ok = RunLive(
        plugin, port, options, [&](const TRecordRow& row) { outputs.Add(row); }, result, &error);
    port.Close();
    status.Clear();
    if (!ok)
        PrintError(outputs.NameFrameLog(error));
    if (gps && !gps->Track().FirstProblems.empty())
        ReportTrack(gps->Name(), gps->Track());

    std::vector<std::string> written;
    const bool writeFailed =
        !KeepWhatWasRead(args, result, fixes.size(), outputs, capture, fixLog, written);

    const std::string end = DescribeEnd(result, options);
    if (result.Tested)
        PrintNote(end);
    else
        PrintError(end + (written.empty() ? "" : "; the capture is kept"));
    // Standard output may carry an output: the summary then goes with the messages.
    PrintSummary(outputs.UsesStandardOutput() || args.Capture == "-" ? stderr : stdout, args,
                 plugin, result, options, gps.get(), outputs, written);

    if (!ok || writeFailed)
        return kExitOutputError;
    return StatusOfTheRun(result);
}

}  // namespace

TSubcommand AddLiveCommand(CLI::App& app, const std::string& pluginPath) {
    auto args = std::make_shared<TLiveArgs>();
    CLI::App* live = app.add_subcommand(
        "live",
        "Drive a handset on a serial port: switch its trace on, decode it, tag records with "
        "live GPS, write outputs and a capture; stop with Ctrl-C (or --duration)");
    live->footer(kLiveExitHelp);
    live->add_option("--device", args->Device,
                     "The handset's port, e.g. /dev/ttyACM0 (the N95's USB modem)")
        ->required()
        ->check(kNonEmpty);
    live->add_option("--baud", args->Baud, "Line speed")->capture_default_str();
    live->add_option("--duration", args->Duration,
                     "Stop after this many seconds of test (default: until Ctrl-C)")
        ->check(CLI::Range(0.0, 1e9));
    live->add_option("--capture", args->Capture,
                     "Write every chunk read to this capture (pcap; n95host replay reads it)")
        ->check(kNonEmpty);
    live->add_option("--gps", args->Gps,
                     "Live GPS: a receiver's serial device, an NMEA file that another "
                     "program appends to, or gpsd: 'gpsd' (localhost:2947) or "
                     "gpsd://HOST:PORT")
        ->check(kNonEmpty);
    live->add_option("--gps-baud", args->GpsBaud, "Line speed of a GPS receiver")
        ->capture_default_str();
    AddOutputOptions(*live, args->Outputs, args->MaxPoints);
    live->add_option("-o,--out-dir", args->OutDir,
                     "Write NAME.csv, .geojson, .track.geojson, .kml, .svg and .pcap into this "
                     "folder (created if missing), NAME being the capture's name or "
                     "live-<UTC time>; single options override")
        ->check(kNonEmpty);
    live->add_option("--trace-wait", args->TraceWait,
                     "Give up when no trace frame comes within this many seconds of Connect")
        ->capture_default_str()
        ->check(CLI::Range(0.1, kTraceConfirmSeconds));
    live->add_option("--reconnect-tries", args->ReconnectTries,
                     "Reconnect attempts after the port is lost")
        ->capture_default_str()
        ->check(CLI::Range(0, 1000));
    live->add_option("--reconnect-pause", args->ReconnectPause,
                     "Seconds to wait before each reconnect attempt")
        ->capture_default_str()
        ->check(CLI::Range(0.0, 3600.0));
    live->add_option("--idle-gap", args->IdleGapMs,
                     "A burst read from the port ends after this many milliseconds of silence")
        ->capture_default_str()
        ->check(CLI::Range(1, 1000));
    live->add_flag("--no-status", args->NoStatus, "No status line on standard error");
    return {live, [args, &pluginPath] { return RunLiveCommand(*args, pluginPath); }};
}

}  // namespace n95::host
