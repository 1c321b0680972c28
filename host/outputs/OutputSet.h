// The outputs of a run, as the replay and the live run name them: CSV, GeoJSON, SVG map and
// the plug-in's frame log, each optional, each written to a temporary file beside its
// destination and renamed into place when the run is over (see TAtomicFile).
//
// Every output is opened before the run starts, so an unwritable path fails at once rather
// than after a long run. The GeoJSON and the map need the GPS track: when it is known
// before the run (a replay) they are written as records come; when it is still growing (a
// live run) the records' rows are kept in an anonymous spool file and the two are made from
// it at Commit, once the track is complete. Memory stays bounded either way.
//
// Not thread-safe; one owner.
#pragma once

#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "decoder/HostObjects.h"
#include "host/common/AtomicFile.h"
#include "host/outputs/CsvOutput.h"
#include "host/outputs/GeoJsonOutput.h"
#include "host/outputs/SvgMap.h"

namespace n95::host {

// The outputs asked for; an empty path means none.
struct TOutputPaths {
    std::string Csv, GeoJson, Map, FrameLog;
};

// -o DIR: creates DIR (with its parents) and fills the CSV, GeoJSON and map paths that are
// not given as DIR/<stem>.csv, .geojson and .svg. False, with a message, when DIR cannot be
// created.
bool ApplyOutDir(const std::string& dir, const std::string& stem, TOutputPaths& paths,
                 std::string* error);

class TOutputSet {
public:
    TOutputSet() = default;
    TOutputSet(const TOutputSet&) = delete;
    TOutputSet& operator=(const TOutputSet&) = delete;
    ~TOutputSet();

    // Opens the outputs of `paths` as temporary files. `track` must outlive this object;
    // with `trackComplete` false it may still grow until Commit. The frame log's temporary
    // file is created empty and closed: the plug-in writes it by name (FrameLogTempPath).
    // False, with a message naming the path, when one cannot be created.
    bool Open(const TOutputPaths& paths, const std::vector<TGpsPoint>& track, bool trackComplete,
              std::string* error);

    // Where the plug-in is to write the frame log; empty when none was asked for.
    std::string FrameLogTempPath() const;

    // One record, in index order.
    void Add(const TRecordRow& row);

    // The map's heading lines (kept for Commit).
    void SetMapTitle(std::string title, std::string subtitle);

    // Finishes and renames every output. Stops at the first failure, which removes that
    // output and leaves the others to be discarded: a replay leaves no output behind when one
    // fails. False, with its message.
    bool Commit(std::string* error);

    // Finishes and renames every output it can; a live run keeps whatever could be written.
    // Returns the paths written, in the order of Paths(); the messages of the failures go to
    // *errors.
    std::vector<std::string> CommitEach(std::vector<std::string>* errors);

    // Removes the temporary files.
    void Discard();

    // The outputs asked for, in the order CSV, GeoJSON, map, frame log.
    std::vector<std::string> Paths() const;
    bool WantsMap() const { return !Names.Map.empty(); }

private:
    // Writes the spooled rows into the GeoJSON and the map (live run).
    bool Unspool(std::string* error);
    bool CommitOne(int which, std::string* error);

    TOutputPaths Names;
    const std::vector<TGpsPoint>* Track = nullptr;
    bool Deferred = false;  // the GeoJSON and map are made at Commit from the spool
    TCsvOutput Csv;
    TGeoJsonOutput GeoJson;
    TAtomicFile MapFile, FrameLogFile;
    std::unique_ptr<TSvgMap> Map;
    std::string MapTitle, MapSubtitle;
    FILE* Spool = nullptr;
    bool SpoolFailed = false;
};

}  // namespace n95::host
