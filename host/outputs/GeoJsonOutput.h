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
#include "host/outputs/Output.h"
#include "host/outputs/RecordRow.h"

namespace n95::host {

// One Point per record that has a position, with the record's fields as properties. Rows
// without a position are skipped.
class TGeoJsonOutput : public IOutput {
public:
    // Creates the (temporary) file; Begin writes the collection's head.
    bool Open(const std::string& path, std::string* error) override;
    // Once, after Open and before the first Add.
    void Begin();
    void Begin(const TOutputFacts&) override { Begin(); }
    void Add(const TRecordRow& row) override;
    // Before Commit, when the records were thinned: the collection then says so in a member
    // of its own, "thinned", beside "features" (a GIS ignores it; a reader of the file sees
    // that records are missing, how many and why).
    void SetThinned(uint64_t shown, uint64_t withPosition) {
        Shown = shown;
        WithPosition = withPosition;
    }
    // Writes the collection's tail (with "thinned" when SetThinned said so).
    void Finish();
    bool Make(const TOutputFacts& facts, std::string* error) override;
    // Finish, then commits the file.
    bool Commit(std::string* error);
    TOutputFile& File() override { return Out; }

private:
    TOutputFile Out;
    std::string Text;
    bool First = true;
    uint64_t Shown = 0, WithPosition = 0;
};

// The track's GeoJSON as an output of its own: made from the complete track at the end.
class TTrackGeoJsonOutput : public IOutput {
public:
    bool Open(const std::string& path, std::string* error) override {
        return Out.Open(path, error);
    }
    bool Make(const TOutputFacts& facts, std::string* error) override;
    TOutputFile& File() override { return Out; }

private:
    TOutputFile Out;
};

// --geojson, and NAME.geojson under -o: the records with a position (a point layer).
extern const TOutputKind kGeoJsonOutputKind;
// --track-geojson, NAME.track.geojson beside --geojson, and under -o.
extern const TOutputKind kTrackGeoJsonOutputKind;

// The track's FeatureCollection: one LineString through the fixes (a Point for a single fix)
// with the fix count and the first and last fix times as properties; no feature when the
// track has no fix.
std::string TrackGeoJson(const std::vector<TGpsPoint>& track);

// The track file's name beside the records' GeoJSON: NAME.geojson gives NAME.track.geojson.
// Empty for any other name ("-", a device): the track then needs a name of its own.
std::string TrackGeoJsonBeside(const std::string& geoJsonPath);

}  // namespace n95::host
