// n95sim: writes synthetic drives (a capture and its GPS track) for samples, tests and
// benchmarks.
#include <CLI/CLI.hpp>
#include <cctype>
#include <cstdio>
#include <string>

#include "host/DateTimeText.h"
#include "host/DriveGenerator.h"
#include "host/ExitStatus.h"

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

int Main(int argc, char** argv) {
    CLI::App app{"Synthetic drives for the N95 plug-in: a trace capture and its GPS track.",
                 "n95sim"};
    app.require_subcommand(1);
    app.footer(
        "Exit status: 0 ok; 2 usage error; 5 an output cannot be written (nothing is left "
        "behind).");

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

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        return app.exit(e) == 0 ? kExitOk : kExitUsage;
    }
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
