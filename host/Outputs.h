// The output files of a run: CSV, GeoJSON and an SVG map, each written to a temporary file
// and renamed into place by Commit (see TAtomicFile), so a failed run leaves none of them
// half-written.
//
// CSV and GeoJSON are streamed: a record is written when it is added and not kept. The map
// keeps at most one dot per two-pixel cell of the canvas and message class, so its memory
// is bounded by the picture, not by the number of records.
//
// Not thread-safe; one owner per object.
#pragma once

#include <array>
#include <cstdint>
#include <cstdio>
#include <limits>
#include <string>
#include <vector>

#include "decoder/HostObjects.h"
#include "host/AtomicFile.h"
#include "records/DataAccessAPIUnit.h"

namespace n95::host {

// What the outputs show of one host-side record.
struct TRecordRow {
    int64_t Index = 0;  // position in the host's store, from 0
    TDateTime TestTime = 0.0;
    TDateTime StampTime = 0.0;
    double X = n95::RecordNoValue;  // longitude
    double Y = n95::RecordNoValue;  // latitude
    uint32_t MessageCode = 0;
    int MessageClass = -1;       // 0..3, or -1: the code has no class
    int32_t PayloadLength = -1;  // bytes of the decoded payload, -1 when the record has none

    bool HasPosition() const { return X != n95::RecordNoValue && Y != n95::RecordNoValue; }
};

// The row of a record: its fields, the class of its normalised message code (as the plug-in
// classifies it) and the length of its body's payload copy.
TRecordRow DescribeRecord(int64_t index, const TTestRecord& record);

// index,test_time,stamp_time,longitude,latitude,message_code,message_class,payload_length
class TCsvOutput {
public:
    bool Open(const std::string& path, std::string* error);
    void Add(const TRecordRow& row);
    bool Commit(std::string* error);
    // Removes the temporary file.
    void Discard() { File.Discard(); }
    const std::string& Path() const { return File.Path(); }

private:
    void AppendTime(TDateTime t);

    TAtomicFile File;
    std::string Line;
    // The last time stamp formatted, and its text.
    TDateTime CachedTime = std::numeric_limits<double>::quiet_NaN();
    std::string CachedText;
};

// A FeatureCollection: the track as a LineString (a Point for a single fix), then one Point
// per record that has a position, with the record's fields as properties.
class TGeoJsonOutput {
public:
    // Creates the (temporary) file; Begin writes the collection's head and the track.
    bool Open(const std::string& path, std::string* error);
    // Once, after Open and before the first Add.
    void Begin(const std::vector<TGpsPoint>& track);
    // Open and Begin.
    bool Open(const std::string& path, const std::vector<TGpsPoint>& track, std::string* error);
    void Add(const TRecordRow& row);
    bool Commit(std::string* error);
    // Removes the temporary file.
    void Discard() { File.Discard(); }
    const std::string& Path() const { return File.Path(); }

private:
    TAtomicFile File;
    std::string Text;
    bool First = true;
};

// The map: the track, the records as dots coloured by message class (each class in its own
// lane beside the track, so that none hides another), a legend with the counts, a scale bar
// and a north arrow. The projection is fitted to the track, which must
// outlive the map; records lie on it (they are placed between its fixes).
class TSvgMap {
public:
    static constexpr int kWidth = 1000;
    static constexpr int kHeight = 720;
    static constexpr int kClassCount = 5;  // classes 0..3 and "no class"

    explicit TSvgMap(const std::vector<TGpsPoint>& track);
    void Add(const TRecordRow& row);
    // The heading lines.
    void SetTitle(std::string title, std::string subtitle);
    std::string Render() const;
    // Writes the picture into `file` (opened by the caller, early, so that an unwritable
    // path fails before a long replay) and commits it.
    bool Commit(TAtomicFile& file, std::string* error) const;

    // Dots kept for drawing (for tests of the bound). Records outside the canvas are
    // counted in the legend but not drawn.
    std::size_t DotCount() const;

private:
    struct TPixel {
        float X, Y;
    };
    bool Project(double lon, double lat, double& x, double& y) const;

    const std::vector<TGpsPoint>& Track;
    std::string Title, Subtitle;
    bool HasProjection = false;
    double LonMin = 0, LatMin = 0, MetresPerDegreeLon = 0, MetresPerDegreeLat = 0;
    double Scale = 1, OffsetX = 0, OffsetY = 0;              // pixels per metre, pixel origin
    double LastX = 0, LastY = 0, AcrossX = 0, AcrossY = -1;  // lane direction (pixels)
    std::array<uint64_t, kClassCount> Counts{};
    uint64_t WithoutPosition = 0;
    std::array<std::vector<TPixel>, kClassCount> Dots;
    // One bit per two-pixel cell of the canvas and class: a dot is already drawn there.
    std::vector<uint64_t> Cells;

    // Writes the picture into `s`; with `out`, flushes `s` to it as it grows.
    void Emit(std::string& s, FILE* out) const;
};

}  // namespace n95::host
