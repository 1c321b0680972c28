#include <cctype>
#include <filesystem>

#include "host/common/Diagnostics.h"
#include "host/n95host/Subcommands.h"

namespace n95::host {

void AddOutputOptions(CLI::App& command, TOutputPaths& paths, uint64_t& maxPoints) {
    const auto kinds = OutputKinds();
    for (std::size_t i = 0; i < kinds.size(); ++i)
        command.add_option(kinds[i]->Option, paths.At(i), kinds[i]->Help)
            ->type_name(kinds[i]->Value)
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

std::vector<std::string> LinesOf(const std::function<void(FILE*)>& print) {
    std::vector<std::string> lines;
    FILE* text = std::tmpfile();
    if (text == nullptr)
        return lines;
    print(text);
    std::rewind(text);
    std::string line;
    for (int c = std::fgetc(text); c != EOF; c = std::fgetc(text)) {
        if (c != '\n') {
            line.push_back(static_cast<char>(c));
            continue;
        }
        lines.push_back(std::move(line));
        line.clear();
    }
    std::fclose(text);
    return lines;
}

void ReportTrack(const std::string& path, const TTrack& track) {
    if (track.Skipped > 0)
        PrintWarning("track " + path + ": " + track.DescribeProblems());
}

}  // namespace n95::host
