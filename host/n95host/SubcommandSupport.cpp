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
    if (track.Skipped == 0)
        return;
    // gpsd's problems are numbered by its position reports, the files' by their lines.
    const bool gpsd = track.Format == "gpsd";
    std::string text = "track " + path + ": " + std::to_string(track.Skipped) + " " +
                       (gpsd                    ? "reports"
                        : track.Format == "GPX" ? "track points"
                                                : "lines") +
                       " skipped";
    for (const TTrackProblem& problem : track.FirstProblems)
        text += std::string("\n  ") + (gpsd ? "report " : "line ") + std::to_string(problem.Line) +
                ": " + problem.Message;
    if (track.Skipped > track.FirstProblems.size())
        text += "\n  (and " + std::to_string(track.Skipped - track.FirstProblems.size()) + " more)";
    PrintWarning(text);
}

}  // namespace n95::host
