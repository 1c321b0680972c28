// n95sim serve: a simulated N95 on a pseudo-terminal, for the live run without a handset.
#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>

#include "host/common/Diagnostics.h"
#include "host/common/ExitStatus.h"
#include "host/common/StopSignals.h"
#include "host/n95sim/Subcommands.h"
#include "host/sim/DriveGenerator.h"
#include "host/sim/HandsetSim.h"

namespace n95::host::sim {

namespace {

struct TServeArgs {
    std::string Capture;
    uint64_t Seed = 1;
    TSimOptions Options;
};

// The frames of a generated drive: written to a scratch folder, read back, removed.
bool GeneratedFrames(uint64_t seed, std::vector<std::string>& frames, std::string* error) {
    std::string folder = (std::filesystem::temp_directory_path() / "n95sim-XXXXXX").string();
    if (mkdtemp(folder.data()) == nullptr) {
        *error = "cannot create a scratch folder for the generated drive";
        return false;
    }
    TDriveOptions drive;
    drive.Seed = seed;
    drive.DurationSeconds = 60;
    TDriveStats stats;
    const std::string stem = folder + "/drive";
    const bool ok = GenerateDrive(drive, stem + ".pcap", stem + ".nmea", nullptr, stats, error) &&
                    LoadCaptureFrames(stem + ".pcap", frames, error);
    std::error_code ec;
    std::filesystem::remove_all(folder, ec);
    return ok;
}

int RunServe(const TServeArgs& args) {
    if (args.Options.ReplugSeconds >= 0 && args.Options.LinkPath.empty()) {
        PrintError("--replug needs --link (the host reopens the link)");
        return kExitUsage;
    }
    if (args.Options.HangupEvery > 0 && args.Options.ReplugSeconds < 0) {
        PrintError("--hangup-every needs --replug (without one the first hang-up ends the run)");
        return kExitUsage;
    }
    std::string error;
    if (!args.Options.LinkPath.empty() && !LinkPathIsFree(args.Options.LinkPath, &error)) {
        PrintError(error);
        return kExitUsage;
    }
    std::vector<std::string> frames;
    if (!args.Capture.empty() ? !LoadCaptureFrames(args.Capture, frames, &error)
                              : !GeneratedFrames(args.Seed, frames, &error)) {
        PrintError(error);
        return args.Capture.empty() ? kExitOutputError : kExitInputError;
    }
    const volatile std::sig_atomic_t* stopRequested = InstallStopHandlers();

    THandsetSim sim(std::move(frames), args.Options);
    std::string path;
    if (!sim.Start(&path, &error)) {
        PrintError(error);
        return kExitOutputError;
    }
    // The first line of standard output: the port for the host to open.
    std::printf("%s\n", path.c_str());
    std::fflush(stdout);
    const bool ok = sim.Run(stopRequested, &error);
    const TSimStats& stats = sim.Stats();
    std::printf("frames sent %llu (%llu bytes), garbage runs %llu, AT lines %llu, hang-ups %llu\n",
                static_cast<unsigned long long>(stats.FramesSent),
                static_cast<unsigned long long>(stats.FrameBytesSent),
                static_cast<unsigned long long>(stats.GarbageRuns),
                static_cast<unsigned long long>(stats.AtLines),
                static_cast<unsigned long long>(stats.HangUps));
    std::fflush(stdout);
    if (!ok) {
        PrintError(error);
        return kExitOutputError;
    }
    return kExitOk;
}

}  // namespace

TSubcommand AddServeCommand(CLI::App& app) {
    auto args = std::make_shared<TServeArgs>();
    TSimOptions& sim = args->Options;
    auto pty = std::make_shared<bool>(true);
    CLI::App* serve = app.add_subcommand(
        "serve",
        "Play a simulated N95 on a pseudo-terminal: prints the port's path, answers AT lines "
        "with OK, streams trace frames after the trace switch-on line");
    serve->add_flag("--pty", *pty, "Serve on a pseudo-terminal (the only transport)");
    CLI::Option* captureOption =
        serve->add_option("--capture", args->Capture, "Stream the frames of this capture");
    auto generated = std::make_shared<bool>(false);
    serve
        ->add_flag("--generate", *generated, "Stream the frames of a generated drive (the default)")
        ->excludes(captureOption);
    serve->add_option("--seed", args->Seed, "Seed of the generated drive")->capture_default_str();
    serve->add_option("--rate", sim.FramesPerSecond, "Frames per second")
        ->capture_default_str()
        ->check(FiniteRange(0.1, 100000.0));
    serve->add_option("--count", sim.Count, "Stream this many frames in all (default: no limit)")
        ->check(CLI::Range(int64_t{0}, int64_t{1} << 50));
    serve->add_option("--at-log", sim.AtLogPath,
                      "Record every AT line received (one per line, <CR> for carriage returns)");
    serve->add_option("--sent-log", sim.SentLogPath,
                      "Record every byte written to the port, write by write, with the ports "
                      "and hang-ups (n95sim compare checks a capture against it)");
    serve
        ->add_option("--link", sim.LinkPath,
                     "Keep a symbolic link to the port here (and print it instead); never "
                     "over anything but such a link")
        ->check(kNonEmpty);
    serve
        ->add_option("--start-delay", sim.StartDelaySeconds,
                     "Seconds from the switch-on line's OK to the first frame")
        ->capture_default_str()
        ->check(FiniteRange(0.0, 60.0));
    serve->add_option("--garbage-every", sim.GarbageEvery,
                      "Fault: garbage bytes before every Nth frame");
    serve->add_option("--hangup-after", sim.HangupAfter,
                      "Fault: hang up (close the port) after this many frames");
    serve
        ->add_option("--hangup-every", sim.HangupEvery,
                     "Fault: hang up after every this many frames (needs --replug)")
        ->check(CLI::Range(uint64_t{1}, uint64_t{1} << 50));
    serve
        ->add_option("--replug", sim.ReplugSeconds,
                     "After each hang-up, a new port appears at --link this many seconds later")
        ->check(FiniteRange(0.0, 3600.0));
    serve
        ->add_option("--slow-line", sim.SlowLineBaud, "Fault: frames trickle out at this baud rate")
        ->check(CLI::Range(50, 4000000));
    return {serve, [args, pty, generated] { return RunServe(*args); }};
}

}  // namespace n95::host::sim
