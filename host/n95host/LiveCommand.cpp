// n95host live: a handset on a serial port driven through the plug-in, live GPS, a capture
// of everything read, outputs written when the run ends.
#include <algorithm>
#include <cctype>
#include <filesystem>
#include <memory>
#include <optional>

#include "host/common/DateTimeText.h"
#include "host/common/Diagnostics.h"
#include "host/common/ExitStatus.h"
#include "host/common/GrowingFile.h"
#include "host/common/OutputTarget.h"
#include "host/common/StopSignals.h"
#include "host/common/SystemCalls.h"
#include "host/common/Version.h"
#include "host/n95host/RunSummary.h"
#include "host/n95host/Subcommands.h"
#include "host/outputs/OutputSet.h"
#include "host/session/Live.h"
#include "host/session/LiveRig.h"

namespace n95::host {

namespace {

struct TLiveArgs {
    std::vector<std::string> Devices;  // PATH or LABEL=PATH, as given
    int Baud = 115200;
    double Duration = 0.0;
    std::string Capture;
    std::string Gps;
    int GpsBaud = 4800;
    TOutputPaths Outputs;                    // as the options give them
    uint64_t MaxPoints = kDefaultMaxPoints;  // --max-points; 0: all
    std::string OutDir;
    double TraceWait = kTraceConfirmSeconds;
    double GpsTimeout = 10.0;
    double TraceTimeout = 10.0;
    int ReconnectTries = 5;
    double ReconnectPause = 2.0;
    int IdleGapMs = 10;
    bool NoStatus = false;
    bool Quiet = false;       // -q
    std::string SummaryJson;  // --summary-json
};

// A handset of the run: its device, and the label that names its outputs and messages.
struct TDeviceArg {
    std::string Label, Path;
};

// One handset's files, as the command names them.
struct THandsetFiles {
    TDeviceArg Device;
    bool Labelled = false;  // several handsets: the names carry the label
    TOutputPaths Given;     // the output options, labelled
    TOutputPaths Paths;     // with those that -o names
    std::string Capture;    // "" = none
    bool CaptureGiven = false;
    std::string FixLog;  // "" = none
};

// What one handset writes, opened before any handset is touched.
struct THandsetOutputs {
    THandsetFiles Files;
    TOutputSet Outputs;
    TCaptureWriter Capture;
    TGrowingFile FixLog;  // grows as fixes are fed, like the capture
    std::unique_ptr<TSerialPort> Port;
    std::string Json;  // the handset's object of the JSON summary, once it has finished

    // A fix log still open here was not kept (the run never got to it): it goes if it holds
    // nothing, as an unused capture does.
    ~THandsetOutputs() {
        if (FixLog.IsOpen() && FixLog.Size() == 0)
            FixLog.Remove();
    }
};

constexpr std::size_t kMaxLabel = 32;

bool IsLabel(const std::string& text) {
    return !text.empty() && text.size() <= kMaxLabel &&
           std::all_of(text.begin(), text.end(), [](char c) {
               return std::isalnum(static_cast<unsigned char>(c)) != 0 || c == '_' || c == '-';
           });
}

// The label of a device given without one: its file name ("ttyACM0"), or with its folder's
// name before it when the name is a bare number ("/dev/pts/3": "pts3"); characters that
// cannot stand in a file name's label become '_'.
std::string DefaultLabel(const std::string& device) {
    const std::filesystem::path path(device);
    std::string name = path.filename().string();
    if (!name.empty() && std::all_of(name.begin(), name.end(), [](char c) {
            return std::isdigit(static_cast<unsigned char>(c));
        }))
        name = path.parent_path().filename().string() + name;
    for (char& c : name)
        if (!(std::isalnum(static_cast<unsigned char>(c)) != 0 || c == '_' || c == '-'))
            c = '_';
    if (name.size() > kMaxLabel)
        name.resize(kMaxLabel);
    return name.empty() ? "handset" : name;
}

// "LABEL=PATH" or "PATH": text before the first '=' is a label when it holds no '/'.
bool ParseDevice(const std::string& text, TDeviceArg& device, std::string* error) {
    const std::size_t equals = text.find('=');
    if (equals == std::string::npos || text.substr(0, equals).find('/') != std::string::npos) {
        device = {DefaultLabel(text), text};
        return true;
    }
    device = {text.substr(0, equals), text.substr(equals + 1)};
    if (!IsLabel(device.Label)) {
        *error = "--device " + text + ": a label is 1 to " + std::to_string(kMaxLabel) +
                 " letters, digits, '_' or '-' (a device whose name holds '=' is given with "
                 "its folder, ./" +
                 text + ")";
        return false;
    }
    if (device.Path.empty()) {
        *error = "--device " + text + ": no device after the label";
        return false;
    }
    return true;
}

// The devices, each with a label of its own and none named twice. False, having said why.
bool ParseDevices(const std::vector<std::string>& given, std::vector<TDeviceArg>& devices) {
    std::string error;
    for (const std::string& text : given) {
        TDeviceArg device;
        if (!ParseDevice(text, device, &error)) {
            PrintError(error);
            return false;
        }
        for (const TDeviceArg& other : devices) {
            if (other.Label == device.Label) {
                error = "two devices have the label " + device.Label + " (" + other.Path + " and " +
                        device.Path + "): give each its own, --device LABEL=PATH";
            } else if (other.Path == device.Path || SameExistingFile(other.Path, device.Path)) {
                error = "the device " + device.Path + " is given twice";
            }
            if (!error.empty()) {
                PrintError(error);
                return false;
            }
        }
        devices.push_back(device);
    }
    return true;
}

// The fixes a run fed go beside its capture, NAME.nmea, unless that would be the GPS source
// itself (a log that another program appends to) or the capture: then NAME.fixes.nmea. None
// when the capture goes to standard output or there is no capture or no GPS.
std::string FixLogPath(const std::string& capture, const std::string& gps) {
    if (capture.empty() || DescriptorOfName(capture) >= 0 || gps.empty())
        return "";
    std::filesystem::path path(capture);
    path.replace_extension(".nmea");
    std::error_code ec;
    if (path == std::filesystem::path(capture) || path == std::filesystem::path(gps) ||
        std::filesystem::equivalent(path, gps, ec))
        path.replace_extension(".fixes.nmea");
    return path.string();
}

// Names a handset's outputs, its capture and its fix log: as given (with "-LABEL" before
// the extension when `labelled`), and by -o after the capture or `liveStem`.
THandsetFiles NameHandsetFiles(const TLiveArgs& args, const TDeviceArg& device, bool labelled,
                               const std::string& liveStem) {
    const auto name = [&](const std::string& path) {
        return labelled ? Labelled(path, device.Label) : path;
    };
    THandsetFiles files;
    files.Device = device;
    files.Labelled = labelled;
    files.Given = labelled ? LabelledPaths(args.Outputs, device.Label) : args.Outputs;
    files.Paths = files.Given;
    files.Capture = name(args.Capture);
    files.CaptureGiven = !args.Capture.empty();
    std::string stem = args.Capture.empty() ? liveStem : Stem(args.Capture);
    if (labelled)
        stem += "-" + device.Label;
    NameOutputs(args.OutDir, stem, files.Paths);
    if (!args.OutDir.empty() && files.Capture.empty())
        files.Capture = (std::filesystem::path(args.OutDir) / (stem + ".pcap")).string();
    files.FixLog = FixLogPath(files.Capture, args.Gps);
    return files;
}

// A capture, and the fix log beside it, are the outputs that cannot be made again, so a
// file already at their name is never replaced: the run refuses it, having said so. A device
// or a FIFO is written as ever; a name that cannot be written at all is left for the opening
// to report.
bool RecordIsNew(const std::string& what, const std::string& path) {
    TOutputTarget target;
    std::string error;
    TFileInfo info;
    if (path.empty() || !ResolveOutputTarget(path, target, &error) ||
        target.Kind != TOutputTarget::TKind::File || System().Status(target.Path, info, false) != 0)
        return true;
    PrintError("the " + what + " " + path + " exists already: a live run never writes over a " +
               what + "; remove it, or name another capture");
    return false;
}

// No output may be an input (a device, the GPS) or another output, of any handset. Several
// handsets cannot share standard output. False, having said why.
bool CheckFiles(const TLiveArgs& args, const std::vector<THandsetFiles>& handsets) {
    std::vector<TNamedFile> inputs;
    std::vector<TNamedFile> outputs;
    for (const THandsetFiles& h : handsets) {
        const std::string of = h.Labelled ? " (" + h.Device.Label + ")" : "";
        inputs.push_back({"--device" + of, h.Device.Path});
        for (TNamedFile& output : NamedOutputs(h.Paths, h.Given))
            outputs.push_back({output.Role + of, output.Path});
        if (!h.Capture.empty())
            outputs.push_back({(h.CaptureGiven ? "--capture" : "-o") + of, h.Capture});
        if (!h.FixLog.empty())
            outputs.push_back({"the fix log" + of, h.FixLog});
    }
    if (handsets.size() > 1)
        for (const TNamedFile& output : outputs)
            if (WritesStandardOutput(output.Path)) {
                PrintError(output.Role +
                           ": standard output cannot take the outputs of several "
                           "handsets; name a file");
                return false;
            }
    if (!args.Gps.empty())
        inputs.push_back({"--gps", args.Gps});
    if (!args.SummaryJson.empty())
        outputs.push_back({"--summary-json", args.SummaryJson});
    std::string error;
    for (const THandsetFiles& h : handsets)
        if (!RecordIsNew("capture", h.Capture) || !RecordIsNew("fix log", h.FixLog))
            return false;
    if (!CheckDistinctFiles(inputs, outputs, &error)) {
        PrintError(error);
        return false;
    }
    return true;
}

// Names every handset's files and checks them (see NameHandsetFiles, CheckFiles). False,
// having said why.
bool NameFiles(const TLiveArgs& args, std::vector<THandsetFiles>& handsets) {
    std::vector<TDeviceArg> devices;
    if (!ParseDevices(args.Devices, devices))
        return false;
    const std::string liveStem = LiveStem(CaptureTimeToDateTime(CaptureTimeNow()));
    for (const TDeviceArg& device : devices)
        handsets.push_back(NameHandsetFiles(args, device, devices.size() > 1, liveStem));
    return CheckFiles(args, handsets);
}

// The fix log is a record of what cannot be had again, as the capture is: it grows under
// its own name (never over a file that is there) and must be a regular file.
bool OpenFixLog(const std::string& path, TGrowingFile& log, std::string* error) {
    TOutputTarget target;
    if (!ResolveOutputTarget(path, target, error))
        return false;
    if (target.Kind != TOutputTarget::TKind::File) {
        *error = "cannot write the fix log " + path + ": not a regular file";
        return false;
    }
    return log.Create(target.Path, "", error);
}

// Opens a handset's outputs, capture and fix log (the -o folder exists). The capture grows
// under its own name, every chunk written as it is read (TCaptureMode::Growing). False,
// having said why, when one cannot be opened.
bool OpenFiles(THandsetOutputs& h, const std::vector<TGpsPoint>& fixes, uint64_t maxPoints) {
    std::string error;
    const THandsetFiles& f = h.Files;
    h.Outputs.SetMaxPoints(maxPoints);
    if (!h.Outputs.Open(f.Paths, fixes, false, &error) ||
        (!f.Capture.empty() && !h.Capture.Open(f.Capture, &error, TCaptureMode::Growing)) ||
        (!f.FixLog.empty() && !OpenFixLog(f.FixLog, h.FixLog, &error))) {
        PrintError(error);
        return false;
    }
    return true;
}

// Opens the handset's port. False, having said why.
bool OpenPort(const TLiveArgs& args, THandsetOutputs& h) {
    TSerialOptions serial;
    serial.Baud = args.Baud;
    serial.IdleGapMs = args.IdleGapMs;
    h.Port = std::make_unique<TSerialPort>(h.Files.Device.Path, serial);
    std::string error;
    if (h.Port->OpenPort(&error))
        return true;
    PrintError(error);
    return false;
}

// What was read is kept in every case: the capture, and the outputs and the fix log once the
// test ran. Appends the paths written to `written`; false, having said why, when one could
// not be.
bool KeepWhatWasRead(THandsetOutputs& h, const TLiveResult& result, std::size_t fixes,
                     std::vector<std::string>& written) {
    bool ok = true;
    std::string error;
    if (!h.Files.Capture.empty()) {
        if (h.Capture.Commit(&error)) {
            written.push_back(OutputDisplayName(h.Files.Capture));
        } else {
            PrintError(error);
            ok = false;
        }
    }
    if (!result.Tested) {
        h.Outputs.Discard();
        h.FixLog.Remove();  // no fix was fed before the test
        return ok;
    }
    if (h.FixLog.IsOpen()) {
        if (h.FixLog.Close(&error)) {
            written.push_back(OutputDisplayName(h.Files.FixLog));
        } else {
            PrintError(error);
            ok = false;
        }
    }
    h.Outputs.SetTitle("N95 live drive: " + h.Files.Device.Path, MapSubtitle(result.Stats, fixes));
    std::vector<std::string> errors;
    for (const std::string& path : h.Outputs.CommitEach(&errors))
        written.push_back(path);
    for (const std::string& e : errors) {
        PrintError(e);
        ok = false;
    }
    return ok;
}

void PrintSummary(FILE* out, const TLiveArgs& args, const THandsetFiles& files,
                  const TPlugin& plugin, const TLiveResult& r, const TLiveOptions& options,
                  const TFixSource* gps, const TOutputSet& outputSet,
                  const std::vector<std::string>& outputs) {
    const auto u = [](uint64_t v) { return static_cast<unsigned long long>(v); };
    const std::string device =
        files.Device.Path + (files.Labelled ? " (" + files.Device.Label + ", " : " (");
    std::fprintf(out, "Live run on %s%d baud) through %s (%s)\n", device.c_str(), args.Baud,
                 plugin.DeviceName().c_str(), plugin.Path().c_str());
    if (r.Tested)
        std::fprintf(out, "  trace           confirmed %.2f s after Connect\n", r.ConfirmSeconds);
    else
        std::fprintf(out, "  trace           not confirmed\n");
    std::fprintf(out, "  end             %s\n", DescribeEnd(r, options).c_str());
    PrintRunCounts(out, r.Stats, std::to_string(r.Stats.Chunks.Bytes) + " read");
    PrintMisalignedChunks(out, r.Stats.Chunks, TChunkSource::Port);
    if (gps != nullptr)
        std::fprintf(out, "  gps             %s: %llu fixes read, %llu fed, %llu %s skipped%s%s\n",
                     gps->Name().c_str(), u(r.FixesRead), u(r.Stats.Records.FixesFed),
                     u(gps->Track().Skipped), gps->EntryName(), SkippedKinds(gps->Track()).c_str(),
                     gps->Losses() == 0 ? ""
                                        : (", connection lost " + std::to_string(gps->Losses()) +
                                           ", regained " + std::to_string(gps->Recoveries()))
                                              .c_str());
    else
        std::fprintf(out, "  gps             none (records carry no position)\n");
    std::fprintf(out, "  port            %llu lost, %llu reconnected\n", u(r.PortLosses),
                 u(r.Reconnects));
    if (r.Tested)
        PrintGaps(out, r.Events);
    PrintNotCopied(out, r.Stats.Records);
    PrintShownPoints(out, outputSet);
    PrintKeptAndOutputs(out, r.Stats.MaxRecordsKept, outputs);
    std::fflush(out);
}

// A handset's object of the JSON summary: the figures PrintSummary prints, and its status.
std::string HandsetJson(const TLiveArgs& args, const THandsetFiles& files, const TLiveResult& r,
                        const TLiveOptions& options, const TFixSource* gps,
                        const TOutputSet& outputSet, const std::vector<std::string>& outputs,
                        int status) {
    TJsonWriter json;
    json.OpenObject();
    json.String("device", files.Device.Path);
    json.String("label", files.Device.Label);
    json.Number("baud", args.Baud);
    if (r.Tested)
        json.Number("trace_confirmed_seconds", r.ConfirmSeconds, 2);
    else
        json.Null("trace_confirmed_seconds");
    json.String("end", DescribeEnd(r, options));
    WriteRunCountsJson(json, r.Stats);
    if (gps == nullptr) {
        json.Null("gps");
    } else {
        json.OpenObject("gps");
        json.String("source", gps->Name());
        json.Number("fixes_read", r.FixesRead);
        json.Number("fed", r.Stats.Records.FixesFed);
        json.Number("skipped", gps->Track().Skipped);
        json.Number("connection_lost", gps->Losses());
        json.Number("regained", gps->Recoveries());
        json.CloseObject();
    }
    json.OpenObject("port");
    json.Number("lost", r.PortLosses);
    json.Number("reconnected", r.Reconnects);
    json.CloseObject();
    WriteGapsJson(json, r.Events);
    WriteShownPointsJson(json, outputSet);
    WriteKeptAndOutputsJson(json, r.Stats.MaxRecordsKept, outputs);
    json.Number("exit_status", status);
    json.CloseObject();
    return json.Text();
}

// The exit status of a handset's run that wrote what it had to; `who` names the handset in
// messages ("" when it is the only one).
int StatusOfTheRun(const TLiveResult& result, const std::string& who) {
    if (!result.Tested)
        return result.End == TLiveEnd::Stopped ? kExitInterrupted : kExitDeviceError;
    if (result.End == TLiveEnd::PortLost)
        return kExitIncomplete;
    if (result.Stats.Records.Records == 0) {
        PrintError(who + "no record came out of the handset's trace");
        return kExitIncomplete;
    }
    return kExitOk;
}

// The status of a run of several handsets: the most severe of theirs, in the order 5, 6,
// 130, 1, 0.
int WorstStatus(const std::vector<int>& statuses) {
    static const int kOrder[] = {kExitOutputError, kExitDeviceError, kExitInterrupted,
                                 kExitIncomplete};
    for (const int status : kOrder)
        if (std::find(statuses.begin(), statuses.end(), status) != statuses.end())
            return status;
    return kExitOk;
}

TLiveOptions OptionsFor(const TLiveArgs& args, THandsetOutputs& h) {
    TLiveOptions options;
    options.DurationSeconds = args.Duration;
    options.TraceWaitSeconds = args.TraceWait;
    options.FrameLogPath = h.Outputs.FrameLogWritePath();
    options.Capture = h.Files.Capture.empty() ? nullptr : &h.Capture;
    options.GpsTimeoutSeconds = args.GpsTimeout;
    options.TraceTimeoutSeconds = args.TraceTimeout;
    options.ReconnectTries = args.ReconnectTries;
    options.ReconnectPauseSeconds = args.ReconnectPause;
    options.FixLog = h.FixLog.IsOpen() ? &h.FixLog : nullptr;
    return options;
}

// After a handset's run: its outputs kept, its end told, its summary printed. Returns its
// exit status.
int FinishHandset(const TLiveArgs& args, const TPlugin& plugin, THandsetOutputs& h,
                  const TLiveResult& result, const TLiveOptions& options, bool ok,
                  const std::string& error, const TFixSource* gps) {
    const std::string who = h.Files.Labelled ? h.Files.Device.Label + ": " : "";
    h.Port->Close();
    if (!ok)
        PrintError(who + h.Outputs.NameFrameLog(error));
    std::vector<std::string> written;
    // The report's summary: as printed below, with the capture and the fix log (kept before
    // the outputs are made) among the outputs.
    h.Outputs.SetEvents(result.Events);  // the report marks them on its plots
    h.Outputs.SetSummaryMaker([&] {
        std::vector<std::string> outputs = written;
        for (const std::string& path : h.Outputs.Paths())
            outputs.push_back(path);
        return LinesOf([&](FILE* out) {
            PrintSummary(out, args, h.Files, plugin, result, options, gps, h.Outputs, outputs);
        });
    });
    const bool writeFailed =
        !KeepWhatWasRead(h, result, gps != nullptr ? gps->Track().Fixes.size() : 0, written);
    const std::string end = who + DescribeEnd(result, options);
    if (result.Stats.Chunks.Misaligned() > 0)
        PrintWarning(who + std::to_string(result.Stats.Chunks.Misaligned()) +
                     " chunks read from the port did not start with a whole trace frame: bytes "
                     "were lost before them, and their frames with them (see the summary)");
    if (result.Tested && result.End == TLiveEnd::PortLost)
        PrintStatusWarning(end);  // the reason of status 1: said even with -q
    else if (result.Tested)
        PrintNote(end);
    else
        PrintError(end + (written.empty() ? "" : "; the capture is kept"));
    // Standard output may carry an output: the summary then goes with the messages.
    if (!args.Quiet)
        PrintSummary(h.Outputs.UsesStandardOutput() || WritesStandardOutput(h.Files.Capture) ||
                             WritesStandardOutput(args.SummaryJson)
                         ? stderr
                         : stdout,
                     args, h.Files, plugin, result, options, gps, h.Outputs, written);
    const int status = !ok || writeFailed ? kExitOutputError : StatusOfTheRun(result, who);
    h.Json = HandsetJson(args, h.Files, result, options, gps, h.Outputs, written, status);
    return status;
}

// One handset, driven on this thread as ever.
int RunOne(const TLiveArgs& args, const TPlugin& plugin, THandsetOutputs& h, TFixSource* gps) {
    TStatusLine status(!args.NoStatus && !args.Quiet && System().IsTerminal(2) == 0);
    TLiveOptions options = OptionsFor(args, h);
    options.Gps = gps;
    options.StopRequested = InstallStopHandlers();
    options.Status = &status;
    PrintNote("switching the trace on at " + h.Files.Device.Path + " (" +
              std::to_string(args.Baud) + " baud)");
    TLiveResult result;
    std::string error;
    const bool ok = RunLive(
        plugin, *h.Port, options, [&](const TRecordRow& row) { h.Outputs.Add(row); }, result,
        &error);
    status.Clear();
    if (gps && !gps->Track().FirstProblems.empty())
        ReportTrack(gps->Name(), gps->Track());
    return FinishHandset(args, plugin, h, result, options, ok, error, gps);
}

// Several handsets at once, a thread each (TLiveRig).
int RunMany(const TLiveArgs& args, const TPlugin& plugin,
            std::vector<std::unique_ptr<THandsetOutputs>>& outputs, TFixSource* gps) {
    std::vector<TLiveHandset> handsets(outputs.size());
    for (std::size_t i = 0; i < outputs.size(); ++i) {
        THandsetOutputs& h = *outputs[i];
        handsets[i].Label = h.Files.Device.Label;
        handsets[i].Port = h.Port.get();
        handsets[i].Options = OptionsFor(args, h);
        handsets[i].Sink = [&h](const TRecordRow& row) { h.Outputs.Add(row); };
        PrintNote(h.Files.Device.Label + ": switching the trace on at " + h.Files.Device.Path +
                  " (" + std::to_string(args.Baud) + " baud)");
    }
    TStatusLine status(!args.NoStatus && !args.Quiet && System().IsTerminal(2) == 0);
    TLiveRig(plugin, gps, &status).Run(handsets, InstallStopHandlers());
    if (gps && !gps->Track().FirstProblems.empty())
        ReportTrack(gps->Name(), gps->Track());
    std::vector<int> statuses;
    for (std::size_t i = 0; i < outputs.size(); ++i) {
        const TLiveHandset& r = handsets[i];
        statuses.push_back(
            FinishHandset(args, plugin, *outputs[i], r.Result, r.Options, r.Ok, r.Error, gps));
    }
    return WorstStatus(statuses);
}

// Opens the GPS source, when there is one. False, having said why.
bool OpenGps(const TLiveArgs& args, std::unique_ptr<TFixSource>& gps) {
    if (args.Gps.empty())
        return true;
    std::string error;
    gps = OpenFixSource(args.Gps, args.GpsBaud, &error);
    if (!gps) {
        PrintError(error);
        return false;
    }
    // Silent past the timeout that makes it lost: opened again, as a lost source is.
    gps->SetSilenceTimeout(args.GpsTimeout);
    return true;
}

// Opens every handset's files (creating the -o folder) before any port. False, having said
// why.
bool OpenAllFiles(const TLiveArgs& args, const std::vector<TGpsPoint>& fixes,
                  std::vector<std::unique_ptr<THandsetOutputs>>& outputs) {
    std::string error;
    if (!args.OutDir.empty() && !CreateOutDir(args.OutDir, &error)) {
        PrintError(error);
        return false;
    }
    for (const auto& h : outputs)
        if (!OpenFiles(*h, fixes, args.MaxPoints))
            return false;
    return true;
}

// Runs the handsets; their objects of the JSON summary (when `summary` is asked for) go into
// `handsets`.
int RunLiveCommand(const TLiveArgs& args, const std::string& pluginPath, TOutputFile& summary,
                   std::vector<std::string>& handsets) {
    if (!IsSupportedBaud(args.Baud)) {
        PrintError("--baud " + std::to_string(args.Baud) + " is not a standard baud rate");
        return kExitUsage;
    }
    std::vector<THandsetFiles> files;
    if (!NameFiles(args, files))
        return kExitUsage;
    if (!OpenJsonSummary(args.SummaryJson, args.OutDir, summary))
        return kExitOutputError;
    TPlugin plugin;
    if (!LoadPlugin(plugin, pluginPath))
        return kExitPluginError;
    std::unique_ptr<TFixSource> gps;
    if (!OpenGps(args, gps))
        return kExitInputError;

    static const std::vector<TGpsPoint> kNoFixes;
    std::vector<std::unique_ptr<THandsetOutputs>> outputs;
    for (THandsetFiles& f : files) {
        outputs.push_back(std::make_unique<THandsetOutputs>());
        outputs.back()->Files = std::move(f);
    }
    if (!OpenAllFiles(args, gps ? gps->Track().Fixes : kNoFixes, outputs))
        return kExitOutputError;
    for (const auto& h : outputs)
        if (!OpenPort(args, *h))
            return kExitDeviceError;
    const int status = outputs.size() == 1 ? RunOne(args, plugin, *outputs[0], gps.get())
                                           : RunMany(args, plugin, outputs, gps.get());
    for (const auto& h : outputs)
        handsets.push_back(h->Json);
    return status;
}

// The run, and its JSON summary when asked for: written even when the run fails (not for a
// usage error).
int RunLiveWithSummary(const TLiveArgs& args, const std::string& pluginPath) {
    TOutputFile summary;
    std::vector<std::string> handsets;
    int status = kExitOutputError;
    try {
        status = RunLiveCommand(args, pluginPath, summary, handsets);
    } catch (const EPluginError& e) {
        PrintError(e.what());  // asked before any handset was touched
    }
    if (!summary.IsOpen())
        return status;
    TJsonWriter json;
    json.OpenObject();
    json.String("command", "live");
    json.String("version", VersionText());
    json.OpenArray("handsets");
    for (const std::string& handset : handsets)
        json.Raw("", handset);
    json.CloseArray();
    WriteMessagesAndStatus(json, RecordedMessages(), status);
    json.CloseObject();
    return CommitJsonSummary(json, args.SummaryJson, summary) ? status
                                                              : static_cast<int>(kExitOutputError);
}

}  // namespace

TSubcommand AddLiveCommand(CLI::App& app, const std::string& pluginPath) {
    auto args = std::make_shared<TLiveArgs>();
    CLI::App* live = app.add_subcommand(
        "live",
        "Drive a handset on a serial port: switch its trace on, decode it, tag records with "
        "live GPS, write outputs and a capture; stop with Ctrl-C (or --duration)");
    live->footer(kLiveExitHelp);
    live->add_option("--device", args->Devices,
                     "The handset's port, e.g. /dev/ttyACM0 (the N95's USB modem). Several "
                     "handsets: --device once each, as LABEL=PATH (LABEL: letters, digits, "
                     "'_', '-'; default: the device's name); each writes its own outputs, "
                     "NAME-LABEL.pcap, .csv, ...")
        ->required()
        ->check(kNonEmpty);
    live->add_option("--baud", args->Baud, "Line speed")->capture_default_str();
    live->add_option("--duration", args->Duration,
                     "Stop after this many seconds of test, more than 0 (left out: until "
                     "Ctrl-C or SIGTERM)")
        ->check(FiniteRange(0.0, 1e9, false));
    live->add_option("--capture", args->Capture,
                     "Write every chunk read to this capture (pcap; n95host replay reads it), "
                     "each as it is read; never over an existing file")
        ->check(kNonEmpty);
    live->add_option("--gps", args->Gps,
                     "Live GPS: a receiver's serial device, an NMEA file that another "
                     "program appends to, or gpsd: 'gpsd' (localhost:2947) or "
                     "gpsd://HOST:PORT")
        ->check(kNonEmpty);
    live->add_option("--gps-baud", args->GpsBaud, "Line speed of a GPS receiver")
        ->capture_default_str();
    AddOutputOptions(*live, args->Outputs, args->MaxPoints);
    live->add_option(
            "-o,--out-dir", args->OutDir,
            "Write NAME.csv, .geojson, .track.geojson, .kml, .svg, .html and .pcap into this "
            "folder (created if missing), NAME being the capture's name or "
            "live-<UTC time>; single options override")
        ->check(kNonEmpty);
    live->add_option("--trace-wait", args->TraceWait,
                     "Give up when no trace frame comes within this many seconds of Connect")
        ->capture_default_str()
        ->check(FiniteRange(0.1, kTraceConfirmSeconds));
    live->add_option("--gps-timeout", args->GpsTimeout,
                     "A GPS without a valid fix for longer than this many seconds is lost "
                     "(shown, and counted in the summary) until its next fix")
        ->capture_default_str()
        ->check(FiniteRange(0.1, 86400.0));
    live->add_option("--trace-timeout", args->TraceTimeout,
                     "A handset that sends nothing for longer than this many seconds while "
                     "its port stays open has lost its trace (shown, and counted in the "
                     "summary; the port is not reconnected for it)")
        ->capture_default_str()
        ->check(FiniteRange(0.1, 86400.0));
    live->add_option("--reconnect-tries", args->ReconnectTries,
                     "Reconnect attempts after the port is lost")
        ->capture_default_str()
        ->check(CLI::Range(0, 1000));
    live->add_option("--reconnect-pause", args->ReconnectPause,
                     "Seconds to wait before each reconnect attempt")
        ->capture_default_str()
        ->check(FiniteRange(0.0, 3600.0));
    live->add_option("--idle-gap", args->IdleGapMs,
                     "A burst read from the port ends after this many milliseconds of silence")
        ->capture_default_str()
        ->check(CLI::Range(1, 1000));
    live->add_flag("--no-status", args->NoStatus, "No status line on standard error");
    live->add_flag("-q,--quiet", args->Quiet,
                   "Print nothing but errors and the warnings that explain a non-zero status");
    live->add_option("--summary-json", args->SummaryJson,
                     "Write the summary's figures (an object per handset), the outputs written, "
                     "the messages and the exit status as one JSON object here ('-': standard "
                     "output), even when the run fails (not for a usage error)")
        ->check(kNonEmpty);
    return {live, [args, &pluginPath] {
                SetQuiet(args->Quiet);
                return RunLiveWithSummary(*args, pluginPath);
            }};
}

}  // namespace n95::host
