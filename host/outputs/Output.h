// One kind of output of a run (the CSV, the GeoJSON, the map, the report, ...): what it needs
// and how it is made. TOutputSet drives every output the run asked for through this
// interface, in the order of the registry (OutputRegistry.h), and does the rest alike for all
// of them: the rows' delivery (as they come, or kept in a spool until the counts and the
// track are complete), thinning, stop requests, and publication all or nothing.
//
// The life of an output:
//   Open(path)        before the run: an unwritable path fails at once;
//   Begin(facts)      once, before the first row; `facts` has what Needs() promises then;
//   Add(row) ...      the rows its Needs() asks for, in index order;
//   Make(facts)       at the end: completes the file's content (facts complete now); the set
//                     then syncs and publishes File() with the others;
//   Discard()         at any time: removes what was written (closes a straight output).
//
// An output is owned by one TOutputSet and used from one thread at a time.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "host/common/OutputFile.h"
#include "host/outputs/RecordRow.h"

namespace n95::host {

// A moment of a run that the report marks on its plots (a live run's reconnects, a restart
// of the test, a GPS or trace gap).
struct TRunEvent {
    TDateTime Time = 0.0;  // UTC
    std::string Handset;   // the handset's label; empty for the run as a whole
    std::string What;      // "reconnect", "GPS lost", ...
    double Seconds = 0.0;  // how long it lasted, for a gap; 0 for a moment
};

// What an output may know of the run besides its rows. At Begin, the counts are complete
// only when the output's needs asked for them (kCountsFirst) and the track only when it asked
// for the complete track (kTrackFirst); at Make everything is complete.
struct TOutputFacts {
    const std::vector<TGpsPoint>* Track = nullptr;  // never nil; may be empty
    std::string Title, Subtitle;                    // the heading lines of the map, KML, report
    std::array<uint64_t, kClassBuckets> RecordsByClass{};
    uint64_t Records = 0;       // every record of the run
    uint64_t WithPosition = 0;  // records with a position
    uint64_t Shown = 0;         // of those, how many the point layers keep (thinning)
    uint64_t MaxPoints = 0;     // the point layers' cap asked for; 0: all
    // The run's text summary, line by line, as the program prints it (for the report); set
    // by the program before Commit.
    std::vector<std::string> SummaryLines;
    // The run's events in time order (a live run's reconnects and gaps); empty for a replay.
    std::vector<TRunEvent> Events;
    // The outputs written with this one, as the summary names them.
    std::vector<std::string> Outputs;
};

// Which rows an output takes, and what it must know before the first.
enum TOutputNeeds : unsigned {
    kNoRows = 0,
    kEveryRow = 1u << 0,         // every record's row, with or without a position
    kShownRows = 1u << 1,        // only the rows with a position that thinning keeps
    kCountsFirst = 1u << 2,      // the counts complete at Begin (they head the file)
    kTrackFirst = 1u << 3,       // the complete track at Begin (a projection fitted to it)
    kWrittenByPlugin = 1u << 4,  // the plug-in writes it by name (the frame log)
    kPointLayer = 1u << 5,       // a point layer: thinned to MaxPoints, counts first when thinned
};

class IOutput {
public:
    virtual ~IOutput() = default;

    // Opens `path` (see TOutputFile). False, with a message naming it, when it cannot be.
    virtual bool Open(const std::string& path, std::string* error) = 0;
    virtual void Begin(const TOutputFacts& facts) { (void)facts; }
    virtual void Add(const TRecordRow& row) { (void)row; }
    // Completes the content; the file is then synced and published by the set.
    virtual bool Make(const TOutputFacts& facts, std::string* error) = 0;
    // The file the set flushes, syncs and publishes.
    virtual TOutputFile& File() = 0;
    // Removes what was written; closes a straight output.
    virtual void Discard() { File().Discard(); }
};

// A kind of output, as the registry lists it.
struct TOutputKind {
    const char* Name;    // the key of TOutputPaths and of the JSON summary: "csv", "kml", ...
    const char* Option;  // its option: "--csv"
    const char* Value;   // the option's value in the help: "FILE"
    // Its name under -o DIR: DIR/<stem><Suffix>; nil when -o does not write it.
    const char* Suffix;
    const char* Help;  // the option's help
    unsigned Needs;    // TOutputNeeds
    std::unique_ptr<IOutput> (*Create)();
};

}  // namespace n95::host
