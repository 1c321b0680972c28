// n95sim: writes synthetic drives (a capture and its GPS track) for samples, tests and
// benchmarks, and plays a simulated handset on a pseudo-terminal for the live run.
#include <CLI/CLI.hpp>
#include <cctype>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "host/DateTimeText.h"
#include "host/DriveGenerator.h"
#include "host/ExitStatus.h"
#include "host/HandsetSim.h"

namespace n95::host {
namespace {

// "123", "64K", "100M", "1G" (powers of 1024).
bool ParseSize(const std::string& text, uint64_t& bytes) {
    if (text.empty() || !std::isdigit(static_cast<unsigned char>(text[0])))
        return false;
    std::size_t used = 0;
    unsigned long long value;
    try {
        value = std::stoull(text, &used);
    } catch (const std::exception&) {
        return false;
    }
    const std::string suffix = text.substr(used);
    unsigned shift = 0;
    if (suffix == "K" || suffix == "k")
        shift = 10;
    else if (suffix == "M")
        shift = 20;
    else if (suffix == "G")
        shift = 30;
    else if (!suffix.empty())
        return false;
    if (value > (~0ull >> shift))
        return false;
    bytes = value << shift;
    return true;
}

volatile std::sig_atomic_t gStopRequested = 0;

void RequestStop(int) {
    gStopRequested = 1;
}

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

int RunServe(TServeArgs& args) {
    if (args.Options.ReplugSeconds >= 0 && args.Options.LinkPath.empty()) {
        std::fprintf(stderr, "n95sim: --replug needs --link (the host reopens the link)\n");
        return kExitUsage;
    }
    std::vector<std::string> frames;
    std::string error;
    if (!args.Capture.empty() ? !LoadCaptureFrames(args.Capture, frames, &error)
                              : !GeneratedFrames(args.Seed, frames, &error)) {
        std::fprintf(stderr, "n95sim: %s\n", error.c_str());
        return args.Capture.empty() ? kExitOutputError : kExitInputError;
    }
    struct sigaction action {};
    action.sa_handler = RequestStop;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);

    THandsetSim sim(std::move(frames), args.Options);
    std::string path;
    if (!sim.Start(&path, &error)) {
        std::fprintf(stderr, "n95sim: %s\n", error.c_str());
        return kExitOutputError;
    }
    // The first line of standard output: the port for the host to open.
    std::printf("%s\n", path.c_str());
    std::fflush(stdout);
    const bool ok = sim.Run(&gStopRequested, &error);
    const TSimStats& stats = sim.Stats();
    std::printf("frames sent %llu (%llu bytes), garbage runs %llu, AT lines %llu, hang-ups %llu\n",
                static_cast<unsigned long long>(stats.FramesSent),
                static_cast<unsigned long long>(stats.FrameBytesSent),
                static_cast<unsigned long long>(stats.GarbageRuns),
                static_cast<unsigned long long>(stats.AtLines),
                static_cast<unsigned long long>(stats.HangUps));
    std::fflush(stdout);
    if (!ok) {
        std::fprintf(stderr, "n95sim: %s\n", error.c_str());
        return kExitOutputError;
    }
    return kExitOk;
}

int Main(int argc, char** argv) {
    CLI::App app{
        "Synthetic drives for the N95 plug-in (a trace capture and its GPS track), and a "
        "simulated handset on a pseudo-terminal.",
        "n95sim"};
    app.require_subcommand(1);
    app.footer(
        "Exit status: 0 ok; 2 usage error; 3 (serve) the capture cannot be read; 5 an output "
        "cannot be written (nothing is left behind), or the pseudo-terminal cannot be made.");

    std::string stem;
    TDriveOptions options;
    std::string sizeText, startText;
    bool gpx = false;
    CLI::App* generate = app.add_subcommand(
        "generate",
        "Write OUTPUT.pcap (the handset port's chunks, link type 147) and OUTPUT.nmea (the "
        "drive's GPS log), deterministic from the seed");
    generate->add_option("output", stem, "Output path without extension, e.g. samples/drive")
        ->required();
    generate->add_option("--seed", options.Seed, "Random seed")->capture_default_str();
    generate->add_option("--duration", options.DurationSeconds, "Drive length in seconds")
        ->capture_default_str()
        ->check(CLI::Range(1.0, 1e7));
    generate->add_option("--size", sizeText,
                         "Drive until the capture holds this many bytes (K, M, G suffixes); "
                         "overrides --duration");
    generate->add_option("--rate", options.FramesPerSecond, "Mean trace frames per second")
        ->capture_default_str()
        ->check(CLI::Range(1.0, 100000.0));
    generate->add_option("--start", startText,
                         "Time of the first fix, ISO 8601 UTC (default 2024-05-14T09:20:00Z)");
    generate->add_option("--lat", options.StartLatitude, "Start latitude")
        ->capture_default_str()
        ->check(CLI::Range(-80.0, 80.0));
    generate->add_option("--lon", options.StartLongitude, "Start longitude")
        ->capture_default_str()
        ->check(CLI::Range(-179.0, 179.0));
    generate->add_flag("--gpx", gpx, "Also write the track as OUTPUT.gpx (GPX 1.1)");

    TServeArgs serveArgs;
    TSimOptions& sim = serveArgs.Options;
    bool pty = true;
    CLI::App* serve = app.add_subcommand(
        "serve",
        "Play a simulated N95 on a pseudo-terminal: prints the port's path, answers AT lines "
        "with OK, streams trace frames after the trace switch-on line");
    serve->add_flag("--pty", pty, "Serve on a pseudo-terminal (the only transport)");
    CLI::Option* captureOption =
        serve->add_option("--capture", serveArgs.Capture, "Stream the frames of this capture");
    bool generated = false;
    serve->add_flag("--generate", generated, "Stream the frames of a generated drive (the default)")
        ->excludes(captureOption);
    serve->add_option("--seed", serveArgs.Seed, "Seed of the generated drive")
        ->capture_default_str();
    serve->add_option("--rate", sim.FramesPerSecond, "Frames per second")
        ->capture_default_str()
        ->check(CLI::Range(0.1, 100000.0));
    serve->add_option("--count", sim.Count, "Stream this many frames in all (default: no limit)")
        ->check(CLI::Range(int64_t{0}, int64_t{1} << 50));
    serve->add_option("--at-log", sim.AtLogPath,
                      "Record every AT line received (one per line, <CR> for carriage returns)");
    serve->add_option("--link", sim.LinkPath,
                      "Keep a symbolic link to the port here (and print it instead)");
    serve
        ->add_option("--start-delay", sim.StartDelaySeconds,
                     "Seconds from the switch-on line's OK to the first frame")
        ->capture_default_str()
        ->check(CLI::Range(0.0, 60.0));
    serve->add_option("--garbage-every", sim.GarbageEvery,
                      "Fault: garbage bytes before every Nth frame");
    serve->add_option("--hangup-after", sim.HangupAfter,
                      "Fault: hang up (close the port) after this many frames");
    serve
        ->add_option("--replug", sim.ReplugSeconds,
                     "After the hang-up, a new port appears at --link this many seconds later")
        ->check(CLI::Range(0.0, 3600.0));
    serve
        ->add_option("--slow-line", sim.SlowLineBaud, "Fault: frames trickle out at this baud rate")
        ->check(CLI::Range(50, 4000000));

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        return app.exit(e) == 0 ? kExitOk : kExitUsage;
    }
    if (*serve)
        return RunServe(serveArgs);
    if (!sizeText.empty() &&
        (!ParseSize(sizeText, options.TargetBytes) || options.TargetBytes == 0)) {
        std::fprintf(stderr, "n95sim: --size %s is not a size (e.g. 500M, 1G)\n", sizeText.c_str());
        return kExitUsage;
    }
    if (!startText.empty() && !ParseIso8601(startText, options.Start)) {
        std::fprintf(stderr, "n95sim: --start %s is not an ISO 8601 date-time\n",
                     startText.c_str());
        return kExitUsage;
    }
    if (gpx)
        options.GpxPath = stem + ".gpx";

    TDriveStats stats;
    std::string error;
    if (!GenerateDrive(options, stem + ".pcap", stem + ".nmea", nullptr, stats, &error)) {
        std::fprintf(stderr, "n95sim: %s\n", error.c_str());
        return kExitOutputError;
    }
    std::printf("Wrote %s.pcap (%llu bytes, %llu chunks, %llu frames) and %s.nmea (%llu fixes)%s\n",
                stem.c_str(), static_cast<unsigned long long>(stats.CaptureBytes),
                static_cast<unsigned long long>(stats.Chunks),
                static_cast<unsigned long long>(stats.Frames), stem.c_str(),
                static_cast<unsigned long long>(stats.Fixes),
                gpx ? (" and " + stem + ".gpx").c_str() : "");
    std::printf("Drive: %.0f s, %.2f km, seed %llu\n", stats.Seconds, stats.RouteMetres / 1000.0,
                static_cast<unsigned long long>(options.Seed));
    return kExitOk;
}

}  // namespace
}  // namespace n95::host

int main(int argc, char** argv) {
    return n95::host::Main(argc, argv);
}
