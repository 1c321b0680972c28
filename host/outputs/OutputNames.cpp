#include "host/outputs/OutputNames.h"

#include <cctype>
#include <filesystem>

#include "host/common/DateTimeText.h"
#include "host/outputs/GeoJsonOutput.h"

namespace n95::host {

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

std::string Labelled(const std::string& name, const std::string& label) {
    if (name.empty() || DescriptorOfName(name) >= 0 || name == "/dev/null")
        return name;
    const std::filesystem::path path(name);
    return (path.parent_path() / (path.stem().string() + "-" + label + path.extension().string()))
        .string();
}

TOutputPaths LabelledPaths(const TOutputPaths& paths, const std::string& label) {
    TOutputPaths labelled;
    for (std::size_t i = 0; i < paths.Size(); ++i)
        labelled.At(i) = Labelled(paths.At(i), label);
    return labelled;
}

std::string LiveStem(TDateTime start) {
    const std::string iso = FormatIso8601(start);
    std::string stem = "live-";
    for (const char c : iso.substr(0, 19))
        if (c != '-' && c != ':')
            stem.push_back(c);
    return stem + "Z";
}

void NameOutputs(const std::string& dir, const std::string& stem, TOutputPaths& paths) {
    std::string& track = paths[kTrackGeoJsonOutputKind.Name];
    if (track.empty())
        track = TrackGeoJsonBeside(paths[kGeoJsonOutputKind.Name]);
    if (dir.empty())
        return;
    const std::string base = (std::filesystem::path(dir) / stem).string();
    const auto kinds = OutputKinds();
    for (std::size_t i = 0; i < kinds.size(); ++i)
        if (kinds[i]->Suffix != nullptr && paths.At(i).empty())
            paths.At(i) = base + kinds[i]->Suffix;
}

std::vector<TNamedFile> NamedOutputs(const TOutputPaths& paths, const TOutputPaths& given) {
    std::vector<TNamedFile> named;
    const auto kinds = OutputKinds();
    const std::size_t track = OutputKindIndex(kTrackGeoJsonOutputKind.Name);
    for (std::size_t i = 0; i < kinds.size(); ++i) {
        const std::string& path = paths.At(i);
        if (path.empty())
            continue;
        if (i == track && given.At(i).empty() &&
            path == TrackGeoJsonBeside(given[kGeoJsonOutputKind.Name]))
            named.push_back({"the track beside --geojson", path});
        else
            named.push_back({given.At(i).empty() ? "-o" : kinds[i]->Option, path});
    }
    return named;
}

}  // namespace n95::host
