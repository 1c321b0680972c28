// The GeoJSON outputs (RFC 7946: WGS 84 longitude and latitude, no "crs"), in two files so
// that a GIS can convert each into one layer of one geometry type (a Shapefile holds points
// or lines, never both):
//   - the records: a FeatureCollection of Points, streamed like the CSV;
//   - the track: a FeatureCollection of its own with one LineString, made once the track is
//     complete.
//
// Not thread-safe; one owner.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "host/common/OutputFile.h"
#include "host/outputs/RecordRow.h"

namespace n95::host {

// One Point per record that has a position, with the record's fields as properties. Rows
// without a position are skipped.
class TGeoJsonOutput {
public:
    // Creates the (temporary) file; Begin writes the collection's head.
    bool Open(const std::string& path, std::string* error);
    // Once, after Open and before the first Add.
    void Begin();
    void Add(const TRecordRow& row);
    // Before Commit, when the records were thinned: the collection then says so in a member
    // of its own, "thinned", beside "features" (a GIS ignores it; a reader of the file sees
    // that records are missing, how many and why).
    void SetThinned(uint64_t shown, uint64_t withPosition) {
        Shown = shown;
        WithPosition = withPosition;
    }
    bool Commit(std::string* error);
    // The file being written (to flush it, or to see whether it is written straight).
    TOutputFile& Output() { return File; }
    // Removes the temporary file (closes a straight output).
    void Discard() { File.Discard(); }

private:
    TOutputFile File;
    std::string Text;
    bool First = true;
    uint64_t Shown = 0, WithPosition = 0;
};

// The track's FeatureCollection: one LineString through the fixes (a Point for a single fix)
// with the fix count and the first and last fix times as properties; no feature when the
// track has no fix.
std::string TrackGeoJson(const std::vector<TGpsPoint>& track);

// The track file's name beside the records' GeoJSON: NAME.geojson gives NAME.track.geojson.
// Empty for any other name ("-", a device): the track then needs a name of its own.
std::string TrackGeoJsonBeside(const std::string& geoJsonPath);

}  // namespace n95::host
