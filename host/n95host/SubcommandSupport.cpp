#include <cctype>
#include <filesystem>

#include "host/common/Diagnostics.h"
#include "host/n95host/Subcommands.h"

namespace n95::host {

void AddOutputOptions(CLI::App& command, TOutputPaths& paths, uint64_t& maxPoints) {
    command.add_option("--csv", paths.Csv, "Write one CSV row per record")->check(kNonEmpty);
    command
        .add_option("--geojson", paths.GeoJson,
                    "Write the records with a position as GeoJSON points; NAME.geojson also "
                    "gives the track as NAME.track.geojson")
        ->check(kNonEmpty);
    command
        .add_option("--track-geojson", paths.TrackGeoJson,
                    "Write the GPS track as a GeoJSON line here (default: beside --geojson)")
        ->check(kNonEmpty);
    command
        .add_option("--kml", paths.Kml,
                    "Write a KML document (Google Earth): the track, the records styled by "
                    "class with their times, a summary")
        ->check(kNonEmpty);
    command.add_option("--map", paths.Map, "Write an SVG map of the track and the records")
        ->check(kNonEmpty);
    command.add_option("--frame-log", paths.FrameLog, "Have the plug-in log every decoded frame")
        ->check(kNonEmpty);
    // "all" is stored as 0: the output set keeps every record then.
    command
        .add_option_function<std::string>(
            "--max-points",
            [&maxPoints](const std::string& text) {
                maxPoints = text == "all" ? 0 : std::stoull(text);
            },
            "Keep at most this many records with a position, evenly spread, in the GeoJSON and "
            "the KML, so that Google Earth and a GIS can open them; 'all' keeps every one (the "
            "CSV always does)")
        ->default_str(std::to_string(kDefaultMaxPoints))
        ->check(CLI::Validator(
            [](std::string& text) -> std::string {
                if (text == "all")
                    return std::string();
                const bool digits = !text.empty() && text.size() <= 19 &&
                                    text.find_first_not_of("0123456789") == std::string::npos;
                if (!digits || std::stoull(text) == 0)
                    return text + " is neither a count from 1 nor 'all'";
                return std::string();
            },
            "COUNT|all", "PointCount"));
}

bool LoadPlugin(TPlugin& plugin, const std::string& path) {
    std::string error;
    if (!plugin.Load(path.empty() ? DefaultPluginPath() : path, &error)) {
        PrintError(error);
        return false;
    }
    // Asked now, before any file is opened or a handset touched, so that an export that fails
    // stops the run at once (Main reports it) and the summaries never call it again.
    plugin.Identify();
    return true;
}

std::string Stem(const std::string& path) {
    return std::filesystem::path(path).stem().string();
}

std::string CaptureStem(const std::string& capture) {
    if (capture == "-")
        return "stdin";
    const std::filesystem::path path(capture);
    std::string extension = path.extension().string();
    for (char& c : extension)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return Stem(extension == ".gz" ? path.stem().string() : capture);
}

void ReportTrack(const std::string& path, const TTrack& track) {
    if (track.Skipped > 0)
        PrintWarning("track " + path + ": " + track.DescribeProblems());
}

}  // namespace n95::host
