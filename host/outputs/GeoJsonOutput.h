// The GeoJSON output, streamed like the CSV: the track first, then a feature per record
// with a position as it is added.
//
// Not thread-safe; one owner.
#pragma once

#include <string>
#include <vector>

#include "host/common/AtomicFile.h"
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
    // Removes the temporary file.
    void Discard() { File.Discard(); }
    const std::string& Path() const { return File.Path(); }

private:
    TAtomicFile File;
    std::string Text;
    bool First = true;
};

}  // namespace n95::host
