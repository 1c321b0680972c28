// n95sim generate: a synthetic drive (a capture and its GPS track), deterministic from a seed.
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>
#include <system_error>

#include "host/common/DateTimeText.h"
#include "host/common/Diagnostics.h"
#include "host/common/ExitStatus.h"
#include "host/n95sim/Subcommands.h"
#include "host/sim/DriveGenerator.h"

namespace n95::host::sim {

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

struct TGenerateArgs {
    std::string Stem;
    TDriveOptions Options;
    std::string SizeText, StartText;
    bool Gpx = false;
};

int RunGenerate(TGenerateArgs& args) {
    std::string& stem = args.Stem;
    TDriveOptions& options = args.Options;
    const bool gpx = args.Gpx;
    if (!args.SizeText.empty() &&
        (!ParseSize(args.SizeText, options.TargetBytes) || options.TargetBytes == 0)) {
        PrintError("--size " + args.SizeText + " is not a size (e.g. 500M, 1G)");
        return kExitUsage;
    }
    if (!args.StartText.empty() && !ParseIso8601(args.StartText, options.Start)) {
        PrintError("--start " + args.StartText + " is not an ISO 8601 date-time");
        return kExitUsage;
    }
    // The NMEA log writes two-digit years, read back as 1980 .. 2079; the drive must lie
    // inside them (a drive of --size has no known end: it must start a year before the end).
    const TDateTime earliest = MakeDateTime(1980, 1, 1, 0, 0, 0.0);
    const TDateTime end = MakeDateTime(2080, 1, 1, 0, 0, 0.0);
    const double length =
        options.TargetBytes > 0 ? 366.0 * kSecondsPerDay : options.DurationSeconds;
    if (!args.StartText.empty() &&
        (options.Start < earliest || options.Start + length / kSecondsPerDay > end)) {
        PrintError("--start " + args.StartText +
                   " is out of range: the drive must lie within 1980-01-01 .. 2079-12-31 (the "
                   "NMEA log's two-digit years)");
        return kExitUsage;
    }
    if (gpx)
        options.GpxPath = stem + ".gpx";
    // Missing folders are created, as replay -o does.
    const std::filesystem::path folder = std::filesystem::path(stem).parent_path();
    std::error_code failed;
    if (!folder.empty() && !std::filesystem::create_directories(folder, failed) && failed) {
        PrintError(SystemError("cannot create folder " + folder.string(), failed.value()));
        return kExitOutputError;
    }

    TDriveStats stats;
    std::string error;
    if (!GenerateDrive(options, stem + ".pcap", stem + ".nmea", nullptr, stats, &error)) {
        PrintError(error);
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

TSubcommand AddGenerateCommand(CLI::App& app) {
    auto args = std::make_shared<TGenerateArgs>();
    CLI::App* generate = app.add_subcommand(
        "generate",
        "Write OUTPUT.pcap (the handset port's chunks, link type 147) and OUTPUT.nmea (the "
        "drive's GPS log), deterministic from the seed");
    generate
        ->add_option("output", args->Stem,
                     "Output path without extension, e.g. samples/drive (missing folders are "
                     "created)")
        ->required()
        ->check(kNonEmpty);
    generate->add_option("--seed", args->Options.Seed, "Random seed")->capture_default_str();
    generate->add_option("--duration", args->Options.DurationSeconds, "Drive length in seconds")
        ->capture_default_str()
        ->check(FiniteRange(1.0, 1e7));
    generate->add_option("--size", args->SizeText,
                         "Drive until the capture holds this many bytes (K, M, G suffixes); "
                         "overrides --duration");
    generate->add_option("--rate", args->Options.FramesPerSecond, "Mean trace frames per second")
        ->capture_default_str()
        ->check(FiniteRange(1.0, 100000.0));
    generate->add_option("--start", args->StartText,
                         "Time of the first fix, ISO 8601 UTC (default 2024-05-14T09:20:00Z); "
                         "the drive must lie within 1980 .. 2079");
    generate->add_option("--lat", args->Options.StartLatitude, "Start latitude")
        ->capture_default_str()
        ->check(FiniteRange(-80.0, 80.0));
    generate->add_option("--lon", args->Options.StartLongitude, "Start longitude")
        ->capture_default_str()
        ->check(FiniteRange(-179.0, 179.0));
    generate->add_flag("--gpx", args->Gpx, "Also write the track as OUTPUT.gpx (GPX 1.1)");
    return {generate, [args] { return RunGenerate(*args); }};
}

}  // namespace n95::host::sim
