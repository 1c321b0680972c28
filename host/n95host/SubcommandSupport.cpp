#include <filesystem>

#include "host/common/Diagnostics.h"
#include "host/n95host/Subcommands.h"

namespace n95::host {

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
