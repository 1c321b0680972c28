#include "host/outputs/OutputRegistry.h"

#include <iterator>

#include "host/outputs/CsvOutput.h"
#include "host/outputs/FrameLogOutput.h"
#include "host/outputs/GeoJsonOutput.h"
#include "host/outputs/GpkgOutput.h"
#include "host/outputs/HtmlReport.h"
#include "host/outputs/KmlOutput.h"
#include "host/outputs/SvgMap.h"

namespace n95::host {

namespace {

// The frame log comes last: the plug-in writes it, and the summary names it after the
// files the host made.
constexpr const TOutputKind* kKinds[] = {
    &kCsvOutputKind,           //
    &kGeoJsonOutputKind,       //
    &kTrackGeoJsonOutputKind,  //
    &kKmlOutputKind,           //
    &kMapOutputKind,           //
    &kReportOutputKind,        //
    &kGpkgOutputKind,          //
    &kFrameLogOutputKind,      //
};

}  // namespace

std::span<const TOutputKind* const> OutputKinds() {
    return kKinds;
}

std::size_t OutputKindIndex(std::string_view name) {
    for (std::size_t i = 0; i < std::size(kKinds); ++i)
        if (name == kKinds[i]->Name)
            return i;
    return std::size(kKinds);
}

}  // namespace n95::host
