// The GeoJSON output, streamed like the CSV: the track first, then a feature per record
// with a position as it is added.
//
// Not thread-safe; one owner.
#pragma once

#include <string>
#include <vector>

#include "host/common/OutputFile.h"
#include "host/outputs/RecordRow.h"

namespace n95::host {

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
    // The file being written (to flush it, or to see whether it is written straight).
    TOutputFile& Output() { return File; }
    // Removes the temporary file (closes a straight output).
    void Discard() { File.Discard(); }

private:
    TOutputFile File;
    std::string Text;
    bool First = true;
};

}  // namespace n95::host
