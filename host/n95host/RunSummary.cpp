#include "host/n95host/RunSummary.h"

#include <cstdio>
#include <utility>

#include "host/common/DateTimeText.h"
#include "host/common/Progress.h"
#include "host/common/SystemCalls.h"

namespace n95::host {

namespace {

unsigned long long U(uint64_t value) {
    return static_cast<unsigned long long>(value);
}

bool IsGap(const TRunEvent& event) {
    return event.What == "GPS lost" || event.What == "trace lost";
}

// How many gaps of `what`, and their length in all.
std::pair<uint64_t, double> GapTotal(const std::vector<TRunEvent>& events, const char* what) {
    std::pair<uint64_t, double> total{0, 0.0};
    for (const TRunEvent& event : events)
        if (event.What == what) {
            ++total.first;
            total.second += event.Seconds;
        }
    return total;
}

// The most memory the process has held so far, in MiB; 0 when the system cannot tell.
double PeakMegabytes() {
    TProcessUsage usage;
    return System().ProcessUsage(usage) == 0 ? usage.PeakResidentBytes / 1048576.0 : 0.0;
}

}  // namespace

void PrintGaps(FILE* out, const std::vector<TRunEvent>& events) {
    const auto gps = GapTotal(events, "GPS lost"), trace = GapTotal(events, "trace lost");
    std::fprintf(out, "  gaps            GPS lost %llu (%.1f s), trace lost %llu (%.1f s)\n",
                 U(gps.first), gps.second, U(trace.first), trace.second);
    std::size_t listed = 0, gaps = 0;
    for (const TRunEvent& event : events) {
        if (!IsGap(event))
            continue;
        if (++gaps > kMaxGapLines)
            continue;
        ++listed;
        std::fprintf(out, "                  %-10s at %s for %.1f s\n", event.What.c_str(),
                     FormatIso8601(event.Time).c_str(), event.Seconds);
    }
    if (gaps > listed)
        std::fprintf(out, "                  (and %llu more)\n", U(gaps - listed));
}

void WriteGapsJson(TJsonWriter& json, const std::vector<TRunEvent>& events) {
    for (const auto& [key, what] :
         {std::pair{"gps_lost", "GPS lost"}, std::pair{"trace_lost", "trace lost"}}) {
        const auto total = GapTotal(events, what);
        json.OpenObject(key);
        json.Number("count", total.first);
        json.Number("seconds", total.second, 1);
        json.CloseObject();
    }
    json.OpenArray("gaps");
    for (const TRunEvent& event : events) {
        if (!IsGap(event))
            continue;
        json.OpenObject();
        json.String("what", event.What);
        json.String("start", FormatIso8601(event.Time));
        json.Number("seconds", event.Seconds, 1);
        json.CloseObject();
    }
    json.CloseArray();
}

void PrintRunCounts(FILE* out, const TRunStats& stats, const std::string& bytesRead) {
    const TChunkTally& c = stats.Chunks;
    const TRecordStats& r = stats.Records;
    std::fprintf(out, "  chunks          %llu (%llu of whole frames, %llu AT replies)\n",
                 U(c.Chunks), U(c.Aligned), U(c.AtReplyLines));
    std::fprintf(out, "  bytes           %s; %llu decoded\n", bytesRead.c_str(), U(r.DecodedBytes));
    std::fprintf(out, "  frames          %llu whole frames at chunk starts\n", U(c.Frames));
    std::fprintf(out, "  records         %llu: %llu with a position, %llu without\n", U(r.Records),
                 U(r.RecordsWithPosition), U(r.Records - r.RecordsWithPosition));
    std::fprintf(out, "  by class        0: %llu, 1: %llu, 2: %llu, 3: %llu, no class: %llu\n",
                 U(r.RecordsByClass[0]), U(r.RecordsByClass[1]), U(r.RecordsByClass[2]),
                 U(r.RecordsByClass[3]), U(r.RecordsByClass[kNoClassBucket]));
    if (c.Chunks > 0) {
        const double span = c.SpanSeconds();
        std::fprintf(out, "  time span       %s .. %s (%.1f s)\n",
                     FormatIso8601(CaptureTimeToDateTime(c.First)).c_str(),
                     FormatIso8601(CaptureTimeToDateTime(c.Last)).c_str(), span);
        std::fprintf(out, "  mean data rate  %s\n",
                     span > 0 ? FormatRate(c.Bytes / span).c_str() : "n/a (one instant)");
    }
}

void PrintMisalignedChunks(FILE* out, const TChunkTally& chunks, TChunkSource source) {
    if (chunks.Misaligned() == 0 && chunks.CutAtEnd == 0)
        return;
    std::fprintf(out,
                 "  misaligned      %llu chunks do not start with a whole trace frame, %llu more "
                 "end inside one:\n",
                 U(chunks.Misaligned()), U(chunks.CutAtEnd));
    if (source == TChunkSource::Capture)
        std::fprintf(out,
                     "                  the plug-in starts afresh at every chunk, so those frames "
                     "are lost (a capture\n"
                     "                  must keep the chunks exactly as they were read from the "
                     "port)\n");
    else
        std::fprintf(out,
                     "                  bytes were lost at the port before them (the host fell "
                     "behind for longer\n"
                     "                  than the port's buffer lasts, or the line garbled them), "
                     "and their frames with them\n");
}

std::string SkippedKinds(const TTrack& track) {
    return track.Skipped == 0 ? "" : " (" + track.CountsByKind() + ")";
}

void PrintNotCopied(FILE* out, const TRecordStats& records) {
    if (records.RecordsNotCopied > 0)
        std::fprintf(out, "  not copied      %llu records the host could not copy\n",
                     U(records.RecordsNotCopied));
}

void PrintShownPoints(FILE* out, const TOutputSet& outputs) {
    const TOutputSet::TPointCounts points = outputs.Points();
    if (points.Shown < points.WithPosition)
        std::fprintf(out,
                     "  thinned         %llu of %llu records with a position in the GeoJSON "
                     "and KML (--max-points %llu; 'all' keeps every one)\n",
                     U(points.Shown), U(points.WithPosition), U(outputs.MaxPointsAsked()));
}

void PrintKeptAndOutputs(FILE* out, std::size_t maxRecordsKept,
                         const std::vector<std::string>& outputs) {
    std::fprintf(out, "  records kept    at most %zu at once; peak resident memory %.1f MB\n",
                 maxRecordsKept, PeakMegabytes());
    std::string list;
    for (const std::string& o : outputs)
        list += (list.empty() ? "" : ", ") + o;
    std::fprintf(out, "  outputs         %s\n", list.empty() ? "none" : list.c_str());
}

std::string MapSubtitle(const TRunStats& stats, std::size_t fixes) {
    if (stats.Chunks.Chunks == 0)
        return "";
    return FormatIso8601(CaptureTimeToDateTime(stats.Chunks.First)) + " .. " +
           FormatIso8601(CaptureTimeToDateTime(stats.Chunks.Last)) + "  -  " +
           std::to_string(stats.Records.Records) + " records, " + std::to_string(fixes) +
           " GPS fixes";
}

void WriteRunCountsJson(TJsonWriter& json, const TRunStats& stats) {
    const TChunkTally& c = stats.Chunks;
    const TRecordStats& r = stats.Records;
    json.OpenObject("chunks");
    json.Number("total", c.Chunks);
    json.Number("whole_frames_at_start", c.Aligned);
    json.Number("at_reply_lines", c.AtReplyLines);
    json.Number("misaligned", c.Misaligned());
    json.Number("cut_at_end", c.CutAtEnd);
    json.Number("time_going_back", c.Backwards);
    json.CloseObject();
    json.OpenObject("bytes");
    json.Number("in_chunks", c.Bytes);
    json.Number("decoded", r.DecodedBytes);
    json.CloseObject();
    json.Number("frames", c.Frames);
    json.OpenObject("records");
    json.Number("total", r.Records);
    json.Number("with_position", r.RecordsWithPosition);
    json.Number("without_position", r.Records - r.RecordsWithPosition);
    json.Number("not_copied", r.RecordsNotCopied);
    json.OpenObject("by_class");
    for (int bucket = 0; bucket < kNoClassBucket; ++bucket)
        json.Number(std::to_string(bucket), r.RecordsByClass[bucket]);
    json.Number("none", r.RecordsByClass[kNoClassBucket]);
    json.CloseObject();
    json.CloseObject();
    if (c.Chunks == 0) {
        json.Null("time_span");
        json.Null("mean_data_rate");
        return;
    }
    const double span = c.SpanSeconds();
    json.OpenObject("time_span");
    json.String("first", FormatIso8601(CaptureTimeToDateTime(c.First)));
    json.String("last", FormatIso8601(CaptureTimeToDateTime(c.Last)));
    json.Number("seconds", span, 3);
    json.CloseObject();
    if (span > 0)
        json.Number("mean_data_rate", c.Bytes / span, 1);
    else
        json.Null("mean_data_rate");
}

void WriteShownPointsJson(TJsonWriter& json, const TOutputSet& outputs) {
    const TOutputSet::TPointCounts points = outputs.Points();
    if (points.Shown >= points.WithPosition) {
        json.Null("thinned");
        return;
    }
    json.OpenObject("thinned");
    json.Number("records_with_position", points.WithPosition);
    json.Number("records_shown", points.Shown);
    json.Number("max_points", outputs.MaxPointsAsked());
    json.CloseObject();
}

void WriteKeptAndOutputsJson(TJsonWriter& json, std::size_t maxRecordsKept,
                             const std::vector<std::string>& outputs) {
    json.Number("max_records_kept", static_cast<uint64_t>(maxRecordsKept));
    json.Number("peak_memory_mb", PeakMegabytes(), 1);
    json.OpenArray("outputs");
    for (const std::string& o : outputs)
        json.String("", o);
    json.CloseArray();
}

}  // namespace n95::host
