#include <filesystem>

#include "host/common/Diagnostics.h"
#include "host/n95host/Subcommands.h"

namespace n95::host {

void AddOutputOptions(CLI::App& command, std::string& csv, std::string& geoJson, std::string& map,
                      std::string& frameLog) {
    command.add_option("--csv", csv, "Write one CSV row per record")->check(kNonEmpty);
    command.add_option("--geojson", geoJson, "Write the records and the track as GeoJSON")
        ->check(kNonEmpty);
    command.add_option("--map", map, "Write an SVG map of the track and the records")
        ->check(kNonEmpty);
    command.add_option("--frame-log", frameLog, "Have the plug-in log every decoded frame")
        ->check(kNonEmpty);
}

bool LoadPlugin(TPlugin& plugin, const std::string& path) {
    std::string error;
    if (plugin.Load(path.empty() ? DefaultPluginPath() : path, &error))
        return true;
    PrintError(error);
    return false;
}

std::string Stem(const std::string& path) {
    return std::filesystem::path(path).stem().string();
}

void ReportTrack(const std::string& path, const TTrack& track) {
    if (track.Skipped > 0)
        PrintWarning("track " + path + ": " + track.DescribeProblems());
}

}  // namespace n95::host
