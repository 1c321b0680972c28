#include "host/outputs/SvgMap.h"

#include <algorithm>
#include <cmath>
#include <type_traits>

#include "host/common/Geo.h"
#include "host/outputs/OutputText.h"

namespace n95::host {

namespace {

// The map area and the legend panel, in pixels.
constexpr double kMapLeft = 20, kMapTop = 70, kMapWidth = 720, kMapHeight = 630;
constexpr double kLegendLeft = 760;
// Dots closer than this (pixels) to a kept dot of the same class are not drawn again.
constexpr double kDotCell = 2.0;
constexpr double kMinExtentMetres = 200.0;
constexpr std::size_t kCellsX = static_cast<std::size_t>(TSvgMap::kWidth / kDotCell) + 1;
constexpr std::size_t kCellsY = static_cast<std::size_t>(TSvgMap::kHeight / kDotCell) + 1;
// Flush the SVG text to its file in pieces of about this size.
constexpr std::size_t kFlushBytes = 1 << 16;

// Drawing order: unclassified records underneath, the classes above them.
constexpr int kDrawOrder[kClassBuckets] = {kNoClassBucket, 0, 1, 2, 3};
// Lanes across the track, in lane widths: unclassified records on the track itself.
constexpr double kLaneOffsets[kClassBuckets] = {-2, -1, 1, 2, 0};
constexpr double kLaneWidth = 4.5;

// A pixel coordinate, written with one decimal.
struct TPx {
    double Value;
};

void PutPart(std::string& out, const char* text) {
    out += text;
}
void PutPart(std::string& out, const std::string& text) {
    out += text;
}
void PutPart(std::string& out, TPx pixel) {
    AppendFixed(out, pixel.Value, 1);
}
template <typename T, typename = std::enable_if_t<std::is_integral_v<T>>>
void PutPart(std::string& out, T value) {
    AppendInt(out, static_cast<int64_t>(value));
}

// Appends the parts in order (no temporary strings: SVG text is long).
template <typename... T>
void Put(std::string& out, const T&... parts) {
    (PutPart(out, parts), ...);
}

std::string DistanceLabel(double metres) {
    char buffer[32];
    if (metres >= 1000)
        std::snprintf(buffer, sizeof buffer, "%g km", metres / 1000);
    else
        std::snprintf(buffer, sizeof buffer, "%g m", metres);
    return buffer;
}

// The largest 1, 2 or 5 times a power of ten not above `limit`.
double NiceLength(double limit) {
    double unit = std::pow(10.0, std::floor(std::log10(limit)));
    for (const double step : {5.0, 2.0, 1.0})
        if (step * unit <= limit)
            return step * unit;
    return unit;
}

// With a file to write to, flushes the text written so far once it is long, so that the
// picture never sits in memory whole.
void FlushIfLong(std::string& s, FILE* out) {
    if (out != nullptr && s.size() >= kFlushBytes) {
        std::fwrite(s.data(), 1, s.size(), out);
        s.clear();
    }
}

// Scale bar, bottom left of the map: a round length near 30% of the map's width.
void PutScaleBar(std::string& s, double scale) {
    const double metres = NiceLength(kMapWidth * 0.3 / scale);
    const double length = metres * scale;
    const double bx = kMapLeft + 20, by = kMapTop + kMapHeight - 25;
    Put(s, "<path d=\"M", TPx{bx}, " ", TPx{by - 6}, " V", TPx{by}, " H", TPx{bx + length}, " V",
        TPx{by - 6}, "\" stroke=\"#222\" stroke-width=\"2\" fill=\"none\"/>\n", "<text x=\"",
        TPx{bx + length / 2}, "\" y=\"", TPx{by - 10},
        "\" font-size=\"13\" text-anchor=\"middle\" fill=\"#222\">", DistanceLabel(metres),
        "</text>\n");
}

// North arrow, top right of the map.
void PutNorthArrow(std::string& s) {
    Put(s,
        "<g transform=\"translate(710 100)\"><path d=\"M0 -18 L8 10 L0 4 L-8 10 Z\" "
        "fill=\"#222\"/><text y=\"26\" font-size=\"13\" text-anchor=\"middle\" "
        "fill=\"#222\">N</text></g>\n");
}

}  // namespace

TSvgMap::TSvgMap(const std::vector<TGpsPoint>& track)
    : Track(track), Cells((kClassBuckets * kCellsX * kCellsY + 63) / 64, 0) {
    if (track.empty())
        return;
    double lonMin = track[0].X, lonMax = lonMin, latMin = track[0].Y, latMax = latMin;
    for (const TGpsPoint& p : track) {
        lonMin = std::min(lonMin, p.X);
        lonMax = std::max(lonMax, p.X);
        latMin = std::min(latMin, p.Y);
        latMax = std::max(latMax, p.Y);
    }
    // A local equirectangular projection: metres east and north of the south-west corner.
    MetresPerDegreeLat = kMetresPerDegreeLat;
    MetresPerDegreeLon = n95::host::MetresPerDegreeLon((latMin + latMax) / 2);
    LonMin = lonMin;
    LatMin = latMin;
    const double extentX = std::max((lonMax - lonMin) * MetresPerDegreeLon, kMinExtentMetres);
    const double extentY = std::max((latMax - latMin) * MetresPerDegreeLat, kMinExtentMetres);
    Scale = 0.92 * std::min(kMapWidth / extentX, kMapHeight / extentY);
    const double usedX = (lonMax - lonMin) * MetresPerDegreeLon * Scale;
    const double usedY = (latMax - latMin) * MetresPerDegreeLat * Scale;
    OffsetX = kMapLeft + (kMapWidth - usedX) / 2;
    OffsetY = kMapTop + (kMapHeight + usedY) / 2;
    HasProjection = true;
}

bool TSvgMap::Project(double lon, double lat, double& x, double& y) const {
    if (!HasProjection)
        return false;
    x = OffsetX + (lon - LonMin) * MetresPerDegreeLon * Scale;
    y = OffsetY - (lat - LatMin) * MetresPerDegreeLat * Scale;
    return std::isfinite(x) && std::isfinite(y);
}

void TSvgMap::Add(const TRecordRow& row) {
    const int cls = ClassBucket(row.MessageClass);
    ++Counts[cls];
    if (!row.HasPosition()) {
        ++WithoutPosition;
        return;
    }
    double x, y;
    if (!Project(row.X, row.Y, x, y))
        return;
    // Each class gets its own lane beside the track, so that no class hides another: the
    // dot moves across the direction of travel, taken from the previous record's position.
    const double dx = x - LastX, dy = y - LastY;
    const double step = std::hypot(dx, dy);
    if (step > 1e-6) {
        AcrossX = -dy / step;
        AcrossY = dx / step;
    }
    LastX = x;
    LastY = y;
    x += AcrossX * kLaneOffsets[cls] * kLaneWidth;
    y += AcrossY * kLaneOffsets[cls] * kLaneWidth;
    if (!(x >= 0 && x < kWidth && y >= 0 && y < kHeight))
        return;
    const auto cell = static_cast<std::size_t>(cls) * kCellsX * kCellsY +
                      static_cast<std::size_t>(y / kDotCell) * kCellsX +
                      static_cast<std::size_t>(x / kDotCell);
    uint64_t& word = Cells[cell / 64];
    const uint64_t bit = uint64_t{1} << (cell % 64);
    if ((word & bit) != 0)
        return;
    word |= bit;
    Dots[cls].push_back({static_cast<float>(x), static_cast<float>(y)});
}

void TSvgMap::SetTitle(std::string title, std::string subtitle) {
    Title = std::move(title);
    Subtitle = std::move(subtitle);
}

std::size_t TSvgMap::DotCount() const {
    std::size_t n = 0;
    for (const auto& dots : Dots)
        n += dots.size();
    return n;
}

std::string TSvgMap::Render() const {
    std::string s;
    Emit(s, nullptr);
    return s;
}

void TSvgMap::Emit(std::string& s, FILE* out) const {
    EmitHeading(s);
    if (!HasProjection) {
        Put(s,
            "<text x=\"380\" y=\"385\" font-size=\"16\" fill=\"#777\" text-anchor=\"middle\">"
            "No GPS track: the records carry no position.</text>\n");
    } else {
        EmitTrack(s, out);
        EmitDots(s, out);
        EmitStartAndEnd(s);
        PutScaleBar(s, Scale);
        PutNorthArrow(s);
    }
    EmitLegend(s);
    if (out != nullptr)
        std::fwrite(s.data(), 1, s.size(), out);
}

// The SVG header, the backgrounds of the picture and of the map area, and the two title lines.
void TSvgMap::EmitHeading(std::string& s) const {
    Put(s, "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n",
        "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"", kWidth, "\" height=\"", kHeight,
        "\" viewBox=\"0 0 ", kWidth, " ", kHeight,
        "\" font-family=\"DejaVu Sans, Arial, sans-serif\">\n",
        "<rect width=\"100%\" height=\"100%\" fill=\"#ffffff\"/>\n",
        "<rect x=\"20\" y=\"70\" width=\"720\" height=\"630\" fill=\"#f4f3ee\" "
        "stroke=\"#c8c6bd\"/>\n",
        "<text x=\"20\" y=\"32\" font-size=\"20\" font-weight=\"bold\" fill=\"#222\">");
    AppendXmlText(s, Title);
    Put(s, "</text>\n<text x=\"20\" y=\"55\" font-size=\"13\" fill=\"#555\">");
    AppendXmlText(s, Subtitle);
    Put(s, "</text>\n");
}

// The track, thinned to points at least half a pixel apart.
void TSvgMap::EmitTrack(std::string& s, FILE* out) const {
    Put(s,
        "<polyline fill=\"none\" stroke=\"#4a4a4a\" stroke-opacity=\"0.55\" "
        "stroke-width=\"3\" stroke-linejoin=\"round\" stroke-linecap=\"round\" points=\"");
    double lastX = -1e9, lastY = -1e9;
    for (std::size_t i = 0; i < Track.size(); ++i) {
        double x, y;
        if (!Project(Track[i].X, Track[i].Y, x, y))
            continue;
        if (i + 1 < Track.size() && std::hypot(x - lastX, y - lastY) < 0.5)
            continue;
        Put(s, TPx{x}, ",", TPx{y}, " ");
        FlushIfLong(s, out);
        lastX = x;
        lastY = y;
    }
    Put(s, "\"/>\n");
}

// The kept dots, one group per class in drawing order.
void TSvgMap::EmitDots(std::string& s, FILE* out) const {
    for (const int cls : kDrawOrder) {
        if (Dots[cls].empty())
            continue;
        Put(s, "<g fill=\"", kClassStyles[cls].Colour, "\" fill-opacity=\"0.85\">\n");
        for (const TPixel& dot : Dots[cls]) {
            Put(s, "<circle cx=\"", TPx{dot.X}, "\" cy=\"", TPx{dot.Y}, "\" r=\"2.1\"/>\n");
            FlushIfLong(s, out);
        }
        Put(s, "</g>\n");
    }
}

// Start and end of the drive.
void TSvgMap::EmitStartAndEnd(std::string& s) const {
    double x, y;
    if (Project(Track.front().X, Track.front().Y, x, y))
        Put(s, "<circle cx=\"", TPx{x}, "\" cy=\"", TPx{y},
            "\" r=\"7\" fill=\"#ffffff\" stroke=\"#1a7f37\" stroke-width=\"3\"/>\n");
    if (Project(Track.back().X, Track.back().Y, x, y))
        Put(s, "<rect x=\"", TPx{x - 6}, "\" y=\"", TPx{y - 6},
            "\" width=\"12\" height=\"12\" fill=\"#ffffff\" stroke=\"#222\" "
            "stroke-width=\"3\"/>\n");
}

// Legend: the count of each class, the records without a position, and the symbols of the
// track, the start and the end.
void TSvgMap::EmitLegend(std::string& s) const {
    const int left = static_cast<int>(kLegendLeft);
    Put(s, "<g font-size=\"14\" fill=\"#222\">\n", "<text x=\"", left,
        "\" y=\"90\" font-weight=\"bold\">Records by message class</text>\n");
    int y = 118;
    for (int cls = 0; cls < kClassBuckets; ++cls) {
        Put(s, "<circle cx=\"", left + 8, "\" cy=\"", y - 5, "\" r=\"6\" fill=\"",
            kClassStyles[cls].Colour, "\"/><text x=\"", left + 22, "\" y=\"", y, "\">",
            kClassStyles[cls].Label, "</text><text x=\"980\" y=\"", y, "\" text-anchor=\"end\">",
            Counts[cls], "</text>\n");
        y += 24;
    }
    Put(s, "<text x=\"", left, "\" y=\"", y + 4, "\" fill=\"#555\">without a position</text>",
        "<text x=\"980\" y=\"", y + 4, "\" text-anchor=\"end\" fill=\"#555\">", WithoutPosition,
        "</text>\n");
    y += 40;
    Put(s, "<path d=\"M", left, " ", y - 5,
        " h18\" stroke=\"#4a4a4a\" stroke-opacity=\"0.55\" stroke-width=\"5\" "
        "stroke-linecap=\"round\"/><text x=\"",
        left + 26, "\" y=\"", y, "\">GPS track (", Track.size(), " fixes)</text>\n");
    y += 24;
    Put(s, "<circle cx=\"", left + 8, "\" cy=\"", y - 5,
        "\" r=\"6\" fill=\"#ffffff\" stroke=\"#1a7f37\" stroke-width=\"3\"/><text x=\"", left + 26,
        "\" y=\"", y, "\">start</text>\n");
    y += 24;
    Put(s, "<rect x=\"", left + 3, "\" y=\"", y - 10,
        "\" width=\"10\" height=\"10\" fill=\"#ffffff\" stroke=\"#222\" stroke-width=\"3\"/>"
        "<text x=\"",
        left + 26, "\" y=\"", y, "\">end</text>\n");
    y += 34;
    Put(s, "<text x=\"", left, "\" y=\"", y,
        "\" font-size=\"12\" fill=\"#555\">Each class has its own lane</text>\n<text x=\"", left,
        "\" y=\"", y + 16, "\" font-size=\"12\" fill=\"#555\">beside the track.</text>\n",
        "</g>\n</svg>\n");
}

void TSvgMap::Write(TOutputFile& file) const {
    std::string buffer;
    Emit(buffer, file.File());
}

bool TSvgMap::Commit(TOutputFile& file, std::string* error) const {
    Write(file);
    return file.Commit(error);
}

bool TMapOutput::Make(const TOutputFacts& facts, std::string*) {
    Map->SetTitle(facts.Title, facts.Subtitle);
    Map->Write(Out);
    return true;
}

const TOutputKind kMapOutputKind = {
    .Name = "map",
    .Option = "--map",
    .Value = "FILE",
    .Suffix = ".svg",
    .Help = "Write an SVG map of the track and the records",
    .Needs = kEveryRow | kTrackFirst,
    .Create = [] { return std::unique_ptr<IOutput>(new TMapOutput); },
};

}  // namespace n95::host
