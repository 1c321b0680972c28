#include "host/formats/Gpx.h"

#include <pugixml.hpp>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <string_view>

#include "host/common/DateTimeText.h"

namespace n95::host {

namespace {

// The element name without a namespace prefix ("gpx:trkpt" -> "trkpt").
std::string_view LocalName(const pugi::xml_node& node) {
    std::string_view name = node.name();
    const std::size_t colon = name.find(':');
    return colon == std::string_view::npos ? name : name.substr(colon + 1);
}

pugi::xml_node Child(const pugi::xml_node& node, std::string_view name) {
    for (pugi::xml_node child : node.children())
        if (child.type() == pugi::node_element && LocalName(child) == name)
            return child;
    return {};
}

uint64_t LineOf(const char* data, std::size_t size, std::ptrdiff_t offset) {
    if (offset < 0)
        return 0;
    const auto end = data + std::min<std::size_t>(size, static_cast<std::size_t>(offset));
    return 1 + static_cast<uint64_t>(std::count(data, end, '\n'));
}

bool ParseAttributeNumber(const pugi::xml_node& node, const char* name, double& value) {
    const pugi::xml_attribute attribute = node.attribute(name);
    if (!attribute)
        return false;
    const char* text = attribute.value();
    char* end = nullptr;
    value = std::strtod(text, &end);
    return end != text && *end == '\0';
}

void CollectPoints(const pugi::xml_node& node, const char* data, std::size_t size, TTrack& track) {
    for (pugi::xml_node child : node.children()) {
        if (child.type() != pugi::node_element)
            continue;
        if (LocalName(child) != "trkpt") {
            CollectPoints(child, data, size, track);
            continue;
        }
        ++track.Entries;
        const uint64_t line = LineOf(data, size, child.offset_debug());
        double lat, lon;
        if (!ParseAttributeNumber(child, "lat", lat) || !ParseAttributeNumber(child, "lon", lon)) {
            track.AddProblem(line, TTrackProblemKind::Malformed, "trkpt without a numeric lat/lon");
            continue;
        }
        if (!IsValidPosition(lon, lat)) {
            track.AddProblem(line, TTrackProblemKind::OutOfRange, "trkpt lat/lon out of range");
            continue;
        }
        const pugi::xml_node timeNode = Child(child, "time");
        if (!timeNode) {
            track.AddProblem(line, TTrackProblemKind::NoTime, "trkpt without <time>");
            continue;
        }
        std::string_view timeText = timeNode.child_value();
        while (!timeText.empty() && std::isspace(static_cast<unsigned char>(timeText.front())))
            timeText.remove_prefix(1);
        while (!timeText.empty() && std::isspace(static_cast<unsigned char>(timeText.back())))
            timeText.remove_suffix(1);
        TDateTime time;
        if (!ParseIso8601(timeText, time)) {
            track.AddProblem(line, TTrackProblemKind::Malformed,
                             "trkpt <time> is not an ISO 8601 date-time");
            continue;
        }
        track.AddFix({lon, lat, time}, line);
    }
}

}  // namespace

bool ParseGpx(const char* data, std::size_t size, TTrack& track, std::string* error) {
    track.Format = "GPX";
    pugi::xml_document document;
    const pugi::xml_parse_result result = document.load_buffer(data, size);
    if (!result) {
        *error = std::string("is not XML: ") + result.description() + " at line " +
                 std::to_string(LineOf(data, size, result.offset));
        return false;
    }
    const pugi::xml_node root = document.document_element();
    if (!root || LocalName(root) != "gpx") {
        *error = "is XML but not GPX (its root element is <" + std::string(root.name()) + ">)";
        return false;
    }
    CollectPoints(root, data, size, track);
    return true;
}

std::string GpxTrackHead(const std::string& creator, const std::string& name) {
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<gpx version=\"1.1\" creator=\"" + creator +
           "\" xmlns=\"http://www.topografix.com/GPX/1/1\">\n<trk><name>" + name +
           "</name><trkseg>\n";
}

void AppendGpxPoint(std::string& out, const TGpsPoint& fix) {
    char buffer[96];
    std::snprintf(buffer, sizeof buffer, "<trkpt lat=\"%.7f\" lon=\"%.7f\"><time>", fix.Y, fix.X);
    out += buffer;
    AppendIso8601(out, fix.Time);
    out += "</time></trkpt>\n";
}

}  // namespace n95::host
