// The summary a replay or a live run prints when it ends (on standard output, or on standard
// error when an output goes to standard output): aligned
// "  label           value" lines. Both runs count alike (TRunStats), so the lines they share
// are printed here once; each run adds its own lines (the capture file, the track or the
// GPS, the port) between them.
#pragma once

#include <cstddef>
#include <cstdio>
#include <string>
#include <vector>

#include "host/formats/Track.h"
#include "host/n95host/SummaryJson.h"
#include "host/outputs/Output.h"
#include "host/outputs/OutputSet.h"
#include "host/session/RunStats.h"

namespace n95::host {

// chunks, bytes (`bytesRead` says where the bytes were counted, then "; N decoded"), frames,
// records, records by class, and the time span and mean data rate when there were chunks.
void PrintRunCounts(FILE* out, const TRunStats& stats, const std::string& bytesRead);

// Where a run's chunks came from, for the words that explain chunks that lost their frames.
enum class TChunkSource { Capture, Port };

// The "misaligned" lines, when chunks do not start with a whole trace frame or end inside
// one: a capture that did not keep the chunks as read, or (a live run) bytes lost at the
// port, as when the host fell behind for longer than the port's buffer lasts.
void PrintMisalignedChunks(FILE* out, const TChunkTally& chunks, TChunkSource source);

// " (2 time outlier, 1 bad checksum)": what the skipped entries of a track were, for its
// summary line; "" when none was skipped.
std::string SkippedKinds(const TTrack& track);

// The "not copied" line, when records could not be copied.
void PrintNotCopied(FILE* out, const TRecordStats& records);

// The "thinned" line, when --max-points left records with a position out of the GeoJSON
// and the KML.
void PrintShownPoints(FILE* out, const TOutputSet& outputs);

// The last lines: records held at once, peak memory, the outputs written.
void PrintKeptAndOutputs(FILE* out, std::size_t maxRecordsKept,
                         const std::vector<std::string>& outputs);

// The same figures as members of the JSON summary's current object: "chunks", "bytes",
// "frames", "records", "time_span" (null without chunks) and "mean_data_rate" (bytes per
// second; null when the chunks span no time).
void WriteRunCountsJson(TJsonWriter& json, const TRunStats& stats);
// "thinned": null, or what the GeoJSON and the KML kept.
void WriteShownPointsJson(TJsonWriter& json, const TOutputSet& outputs);
// "max_records_kept", "peak_memory_mb" and "outputs" (the paths written).
void WriteKeptAndOutputsJson(TJsonWriter& json, std::size_t maxRecordsKept,
                             const std::vector<std::string>& outputs);

// The "gaps" lines of a live run: how many times, and how long in all, the GPS and the
// trace were lost (TLiveResult::Events), then each gap with its start (UTC) and length, the
// first kMaxGapLines of them.
inline constexpr std::size_t kMaxGapLines = 20;
void PrintGaps(FILE* out, const std::vector<TRunEvent>& events);
// The same as members of the JSON summary's current object: "gps_lost" and "trace_lost"
// (each {"count", "seconds"}), and "gaps": every gap as {"what", "start", "seconds"}.
void WriteGapsJson(TJsonWriter& json, const std::vector<TRunEvent>& events);

// The map's second heading line: the time span, the records and the fixes.
std::string MapSubtitle(const TRunStats& stats, std::size_t fixes);

}  // namespace n95::host
