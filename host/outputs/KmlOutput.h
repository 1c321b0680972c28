// The KML output (KML 2.2), for Google Earth first, and for GDAL and gpsbabel:
//
//   Document   name: the run's title; description: the run's summary with the legend
//     Style    "track", then one per class bucket ("class-0" .. "class-3", "no-class"):
//              the legend, in the map's colours
//     Schema   "record": the records' fields and their types
//     Folder   "Track": one Placemark, a LineString through the fixes (a Point for one)
//     Folder   "Records", holding a Folder per class that has records ("class 0" ..
//              "no class"): one Placemark per record with a position, styled by its class,
//              its test time as a TimeStamp (Google Earth's time slider replays the drive)
//              and its fields as SchemaData of "record"
//
// Nothing in the document refers to the network (no icon addresses): it opens offline.
//
// The document's description comes before its features, and it holds counts known only once
// every record is in: the records reach this writer at the end of a run (see TOutputSet).
// The placemarks come in record order and are sorted into their class's folder as they come:
// each class keeps its text in memory up to a small size, then in an anonymous temporary
// file, and Commit copies the folders into the document one after the other.
//
// Not thread-safe; one owner.
#pragma once

#include <array>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "host/common/OutputFile.h"
#include "host/outputs/Output.h"
#include "host/outputs/RecordRow.h"

namespace n95::host {

// What the document's description says of the run.
struct TKmlSummary {
    std::string Title;                                     // also the document's name
    std::string Subtitle;                                  // a line under it (time span, counts)
    std::array<uint64_t, kClassBuckets> RecordsByClass{};  // every record of the run
    uint64_t WithPosition = 0;                             // records that have a position
    uint64_t Shown = 0;  // placemarks written (fewer than WithPosition when thinned)
};

class TKmlOutput : public IOutput {
public:
    TKmlOutput() = default;
    TKmlOutput(const TKmlOutput&) = delete;
    TKmlOutput& operator=(const TKmlOutput&) = delete;
    ~TKmlOutput() { Discard(); }

    // Creates the (temporary) file.
    bool Open(const std::string& path, std::string* error) override;
    // Once, after Open: the head, the styles, the track, and the start of the records.
    void Begin(const TKmlSummary& summary, const std::vector<TGpsPoint>& track);
    void Begin(const TOutputFacts& facts) override;
    // A placemark for a row with a position; rows without one are skipped.
    void Add(const TRecordRow& row) override;
    // Writes the folders of records and the document's end.
    bool Make(const TOutputFacts& facts, std::string* error) override;
    // Make, then commits the file.
    bool Commit(std::string* error);
    TOutputFile& File() override { return Out; }
    // Removes the temporary files (closes a straight output).
    void Discard() override;

private:
    // The placemarks of one class until Commit.
    struct TClassFolder {
        std::string Text;       // the latest placemarks
        FILE* Spool = nullptr;  // those before, once there were enough of them
        uint64_t Placemarks = 0;
        bool Failed = false;  // the spool could not be written or read: Commit fails
        int Errno = 0;

        // Moves Text to the spool.
        void Spill();
        // Copies the spool to `out`; false (Errno set) when it cannot be read back.
        bool CopyTo(FILE* out);
        void Clear();
    };

    void Write();

    TOutputFile Out;
    std::string Text, Value;
    std::array<TClassFolder, kClassBuckets> Classes;
};

// --kml, and NAME.kml under -o: a point layer whose description counts every record, so
// that its counts come first.
extern const TOutputKind kKmlOutputKind;

}  // namespace n95::host
