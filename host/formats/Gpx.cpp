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

// Line numbers of offsets that come in increasing order (the track points, in document
// order), each counted on from the one before: the whole walk reads the document's bytes
// once. Counting every point's line from the start made a track quadratic to load.
class TLineCounter {
public:
    TLineCounter(const char* data, std::size_t size) : Data(data), Size(size) {}

    uint64_t LineOf(std::ptrdiff_t offset) {
        if (offset < 0)
            return 0;
        const std::size_t to = std::min<std::size_t>(Size, static_cast<std::size_t>(offset));
        if (to < At) {  // not in order after all: from the start
            At = 0;
            Line = 1;
        }
        Line += static_cast<uint64_t>(std::count(Data + At, Data + to, '\n'));
        At = to;
        return Line;
    }

private:
    const char* Data;
    std::size_t Size;
    std::size_t At = 0;
    uint64_t Line = 1;
};

bool ParseAttributeNumber(const pugi::xml_node& node, const char* name, double& value) {
    const pugi::xml_attribute attribute = node.attribute(name);
    if (!attribute)
        return false;
    const char* text = attribute.value();
    char* end = nullptr;
    value = std::strtod(text, &end);
    return end != text && *end == '\0';
}

// One <trkpt> into the track, or into its problems.
void TakePoint(const pugi::xml_node& point, uint64_t line, TTrack& track) {
    ++track.Entries;
    double lat, lon;
    if (!ParseAttributeNumber(point, "lat", lat) || !ParseAttributeNumber(point, "lon", lon)) {
        track.AddProblem(line, TTrackProblemKind::Malformed, "trkpt without a numeric lat/lon");
        return;
    }
    if (!IsValidPosition(lon, lat)) {
        track.AddProblem(line, TTrackProblemKind::OutOfRange, "trkpt lat/lon out of range");
        return;
    }
    const pugi::xml_node timeNode = Child(point, "time");
    if (!timeNode) {
        track.AddProblem(line, TTrackProblemKind::NoTime, "trkpt without <time>");
        return;
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
        return;
    }
    track.AddFix({lon, lat, time}, line);
}

// Nodes walked between two looks at the stop flag.
constexpr uint64_t kNodesPerStopCheck = 4096;

// Every <trkpt> under `root`, in document order. The walk is iterative (down to the first
// child, on to the next sibling, up to the parent), so the stack it takes does not grow
// with the document's depth. False when a stop was asked for.
bool CollectPoints(const pugi::xml_node& root, const char* data, std::size_t size, TTrack& track,
                   const volatile std::sig_atomic_t* stopRequested) {
    TLineCounter lines(data, size);
    uint64_t walked = 0;
    pugi::xml_node node = root.first_child();
    while (node) {
        if (++walked % kNodesPerStopCheck == 0 && stopRequested != nullptr && *stopRequested)
            return false;
        if (node.type() == pugi::node_element) {
            if (LocalName(node) == "trkpt") {
                TakePoint(node, lines.LineOf(node.offset_debug()), track);
            } else if (node.first_child()) {
                node = node.first_child();
                continue;
            }
        }
        while (node != root && !node.next_sibling())
            node = node.parent();
        node = node == root ? pugi::xml_node() : node.next_sibling();
    }
    return true;
}

}  // namespace

bool ParseGpx(const char* data, std::size_t size, TTrack& track, std::string* error,
              const volatile std::sig_atomic_t* stopRequested) {
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
    if (!CollectPoints(root, data, size, track, stopRequested)) {
        *error = "interrupted";
        return false;
    }
    track.FinishFixes();
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
