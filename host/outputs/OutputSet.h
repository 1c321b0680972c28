// The outputs of a run, as the replay and the live run name them: every kind the registry
// lists (OutputRegistry.h), each optional. Each writes a TOutputFile: a regular file is
// written without a name in its destination's folder and renamed into place when the run is
// over; "-", a device or a FIFO is written straight.
//
// Every output is opened before the run starts, so an unwritable path fails at once rather
// than after a long run. The rows reach each output as its needs say (Output.h):
//   - as they come, when it needs nothing that only the run's end knows (the CSV; the map
//     and the GeoJSON when the track is known before the run, a replay, and nothing is to be
//     thinned);
//   - otherwise (a live run, whose track is still growing; the KML, which counts every record
//     in its head; --max-points, which must know how many records there are to thin them
//     evenly) the rows are kept in an anonymous spool file, and those outputs get them at
//     Commit.
// Memory stays bounded either way.
//
// The plug-in writes the frame log by name. For a regular file that name is /proc/self/fd/N
// of the unnamed file: the plug-in runs in this process and its fopen of that path reaches
// the file without giving it a name, so a killed run leaves no frame log behind either. Only
// where unnamed files are refused does it get a hidden temporary name.
//
// Not thread-safe; one owner.
#pragma once

#include <array>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "decoder/HostObjects.h"
#include "host/common/OutputFile.h"
#include "host/common/OutputTarget.h"
#include "host/outputs/Output.h"
#include "host/outputs/OutputNames.h"
#include "host/outputs/OutputRegistry.h"

namespace n95::host {

// How many records with a position the GeoJSON and the KML keep unless told otherwise: as
// many as Google Earth and a desktop GIS still open and draw at ease. A drive of a few hours
// has millions; the CSV always keeps every one.
constexpr uint64_t kDefaultMaxPoints = 50000;

// -o DIR: creates DIR with its parents, if missing. False, with a message, when it cannot be.
bool CreateOutDir(const std::string& dir, std::string* error);

// -o DIR: creates DIR (CreateOutDir) and names the outputs (NameOutputs). False, with a
// message, when DIR cannot be created.
bool ApplyOutDir(const std::string& dir, const std::string& stem, TOutputPaths& paths,
                 std::string* error);

class TOutputSet {
public:
    TOutputSet() = default;
    TOutputSet(const TOutputSet&) = delete;
    TOutputSet& operator=(const TOutputSet&) = delete;
    ~TOutputSet();

    // At most this many records in the GeoJSON and the KML, chosen evenly among those with a
    // position (the first always); 0 keeps all. Before Open. The programs set
    // kDefaultMaxPoints unless told otherwise; the object alone keeps all.
    void SetMaxPoints(uint64_t maxPoints) { MaxPoints = maxPoints; }

    // Opens the outputs of `paths` (see TOutputFile). `track` must outlive this object; with
    // `trackComplete` false it may still grow until Commit. The frame log is opened for the
    // plug-in, which writes it by name (FrameLogWritePath). False, with a message naming the
    // path, when one cannot be created.
    bool Open(const TOutputPaths& paths, const std::vector<TGpsPoint>& track, bool trackComplete,
              std::string* error);

    // Where the plug-in is to write the frame log; empty when none was asked for.
    std::string FrameLogWritePath() const;
    // A message of the plug-in about the frame log, with the frame log's own name in place
    // of FrameLogWritePath().
    std::string NameFrameLog(std::string message) const;

    // True when an output goes to standard output ("-"), which the summary must then leave.
    bool UsesStandardOutput() const;
    // True when an output takes the records' rows (not only the frame log was asked for).
    bool WantsRows() const;

    // Pushes what every output has buffered; false, with the first failure's message, when
    // a write failed (a full device, a FIFO whose reader has gone).
    bool Flush(std::string* error);

    // One record, in index order.
    void Add(const TRecordRow& row);

    // The heading lines of the map, the KML document and the report (kept for Commit).
    void SetTitle(std::string title, std::string subtitle);
    // The run's text summary, line by line, and its events, for the report. Before Commit.
    void SetSummaryLines(std::vector<std::string> lines) { Facts.SummaryLines = std::move(lines); }
    void SetEvents(std::vector<TRunEvent> events) { Facts.Events = std::move(events); }
    // Makes the summary lines when Commit has every count (after the spooled rows are given
    // out, before the outputs are made); its lines replace SetSummaryLines'.
    void SetSummaryMaker(std::function<std::vector<std::string>()> maker) {
        SummaryMaker = std::move(maker);
    }

    // The records with a position, and how many of them the GeoJSON and the KML show (fewer
    // when thinned by SetMaxPoints). Complete after Commit.
    struct TPointCounts {
        uint64_t WithPosition = 0, Shown = 0;  // Shown counts only what Unspool wrote
    };
    TPointCounts Points() const {
        return {Facts.WithPosition, ThinsPoints ? Shown : Facts.WithPosition};
    }
    uint64_t MaxPointsAsked() const { return MaxPoints; }

    // Told, while Commit gives the kept rows to the outputs that waited for them, how many of
    // the spool's bytes are done of how many (for a progress bar). Before Commit.
    void SetProgress(std::function<void(uint64_t done, uint64_t total)> progress) {
        Progress = std::move(progress);
    }

    // The flag of a stop request (StopSignals); Commit looks at it while it makes the outputs
    // and before it puts any in place. Before Commit; nil (the default) never stops.
    void SetStopFlag(const volatile std::sig_atomic_t* stop) { Stop = stop; }

    // Finishes every output, all or nothing: everything is flushed, so that a failed write
    // is found before any file is touched; the outputs written straight are finished; every
    // file is completed, synced and given a hidden name; then the files are put in place
    // one by one, and should one fail, those already in place are put back as they were.
    // So a failed or stopped Commit leaves every existing file at every output's name as it
    // was (what went out straight cannot be taken back). False, with the message. One
    // exception: when every output stands but a file one replaced cannot be removed, Commit
    // fails with a message that names where that file was left.
    bool Commit(std::string* error);
    // True when the last Commit failed because a stop was asked for.
    bool Stopped() const { return StoppedByFlag; }

    // Finishes and renames every output it can; a live run keeps whatever could be written.
    // Returns the paths written, in the order of Paths(); the messages of the failures go to
    // *errors.
    std::vector<std::string> CommitEach(std::vector<std::string>* errors);

    // Removes the temporary files (closes the outputs written straight). The outputs asked
    // for are still named by Paths and UsesStandardOutput.
    void Discard();

    // The outputs asked for, in the registry's order ("standard output" for "-").
    std::vector<std::string> Paths() const;

private:
    // An output asked for.
    struct TSlot {
        const TOutputKind* Kind = nullptr;
        std::string Path;
        std::unique_ptr<IOutput> Output;
        bool Spooled = false;  // its rows wait in the spool until Commit
    };

    // Gives the spooled rows to the outputs that wait for them.
    bool Unspool(std::string* error);
    // Whether the next record with a position is shown in the point layers, of `keep`
    // chosen evenly among WithPosition.
    bool ShowNext(uint64_t keep);
    // The facts only the end knows (shown points, the outputs, the summary lines), once the
    // spooled rows are given out; lets go of the callers' callbacks.
    void CompleteFacts();
    // Makes one output and commits its file (held back from publication).
    bool CommitOne(TSlot& slot, std::string* error);
    // Puts every prepared file in place, or none (see Commit).
    bool PublishAll(std::string* error);
    // True, with "interrupted" in *error, when a stop was asked for.
    bool StopAsked(std::string* error);
    // The frame log's slot; nil when none was asked for.
    const TSlot* FrameLog() const;

    std::vector<TSlot> Slots;  // in the registry's order
    TOutputFacts Facts;
    std::function<std::vector<std::string>()> SummaryMaker;
    std::function<void(uint64_t, uint64_t)> Progress;
    uint64_t MaxPoints = 0;
    FILE* Spool = nullptr;  // the rows, for the outputs that get them at Commit
    bool SpoolFailed = false;
    bool ThinsPoints = false;  // point layers are spooled: Shown may be fewer than WithPosition
    uint64_t Shown = 0;        // counted only by Unspool
    uint64_t PositionedSeen = 0, ShowRemainder = 0;  // ShowNext's position and remainder
    const volatile std::sig_atomic_t* Stop = nullptr;
    bool StoppedByFlag = false;
};

}  // namespace n95::host
