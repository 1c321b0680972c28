#include "host/session/Replay.h"

#include <exception>
#include <limits>

#include "host/session/CaptureReadAhead.h"

namespace n95::host {

namespace {

// Hands the track's fixes to the session in the replay's order: before each chunk, those up
// to the chunk's time, or, for a track a live run wrote with its feed points, those it fed
// before that chunk, with the events it marked among them (a reconnect, ...), each asked of
// the decoder where the live run asked it.
class TFixFeeder {
public:
    explicit TFixFeeder(const TTrack* track)
        : Fixes(track != nullptr ? track->Fixes : NoFixes),
          FeedBefore(track != nullptr && track->HasFeedPoints() ? &track->FeedBefore : nullptr),
          Markers(track != nullptr && (FeedBefore != nullptr || track->Fixes.empty())
                      ? track->Markers
                      : NoMarkers) {}

    // Feeds what comes before chunk `chunkIndex`, read at `time`; each fix releases what it
    // made final.
    void BeforeChunk(TDecoderSession& session, int64_t chunkIndex, TDateTime time) {
        for (;;) {
            const bool fixDue =
                Next < Fixes.size() && (FeedBefore != nullptr ? (*FeedBefore)[Next] <= chunkIndex
                                                              : Fixes[Next].Time <= time);
            const bool markerDue =
                NextMarker < Markers.size() && Markers[NextMarker].Chunk <= chunkIndex;
            // A marker comes before the fixes fed after it; one whose fix count runs ahead of
            // the fixes due (a log cut short) still comes before its chunk.
            if (markerDue && (!fixDue || Markers[NextMarker].FixesBefore <= Next))
                AskDecoder(session.Decoder(), Markers[NextMarker++].Kind);
            else if (fixDue)
                session.FeedFix(Fixes[Next++]);
            else
                break;
        }
    }
    void Rest(TDecoderSession& session) {
        BeforeChunk(session, std::numeric_limits<int64_t>::max(),
                    std::numeric_limits<double>::infinity());
    }
    // No fix will come any more.
    bool Done() const { return Next == Fixes.size(); }
    uint64_t MarkersApplied() const { return NextMarker; }

private:
    static inline const std::vector<TGpsPoint> NoFixes;
    static inline const std::vector<TRunMarker> NoMarkers;
    const std::vector<TGpsPoint>& Fixes;
    const std::vector<int64_t>* FeedBefore;
    const std::vector<TRunMarker>& Markers;
    std::size_t Next = 0;
    std::size_t NextMarker = 0;
};

// Counts `rows` as before, inside or after the track's time span.
void PlaceAgainstTrack(std::span<const TRecordRow> rows, const std::vector<TGpsPoint>& fixes,
                       TReplayResult& result) {
    if (fixes.empty())
        return;
    const TDateTime first = fixes.front().Time, last = fixes.back().Time;
    for (const TRecordRow& row : rows) {
        if (row.TestTime < first)
            ++result.RecordsBeforeTrack;
        else if (row.TestTime > last)
            ++result.RecordsAfterTrack;
        else
            ++result.RecordsInTrack;
    }
}

// True, with the reason in `result`, when the replay is to stop before its next chunk: a
// stop request, or an output that failed.
bool StopBeforeNextChunk(const TReplayOptions& options, TReplayResult& result) {
    if (options.StopRequested != nullptr && *options.StopRequested) {
        result.Interrupted = true;
        return true;
    }
    if (options.OutputFailed != nullptr && options.OutputFailed->load(std::memory_order_relaxed)) {
        result.StoppedByOutput = true;
        return true;
    }
    return false;
}

}  // namespace

bool RunReplay(const TPlugin& plugin, TCaptureReader& capture, const TReplayOptions& options,
               const TDecoderSession::TBatchSink& sink, TReplayResult& result, std::string* error) {
    result = TReplayResult();
    TFixFeeder feeder(options.Track);
    static const std::vector<TGpsPoint> kNoFixes;
    const std::vector<TGpsPoint>& fixes = options.Track ? options.Track->Fixes : kNoFixes;

    // Each record is placed against the track's time span as it goes to the sink.
    auto placedSink = [&](std::span<const TRecordRow> rows) {
        PlaceAgainstTrack(rows, fixes, result);
        sink(rows);
    };
    // Declared before the session, whose decoder points at it.
    TReplayPort port;
    TDecoderSession session{TDecoderSession::TBatchSink(placedSink)};

    bool ok = true;
    try {
        if (!session.Create(plugin, port,
                            options.ReplayName.empty() ? "replay" : options.ReplayName,
                            options.FrameLogPath, error))
            return false;
        THandSetDecode& decoder = session.Decoder();
        decoder.StartTest();
        TCaptureReadAhead ahead(capture);

        while (!StopBeforeNextChunk(options, result)) {
            const TCaptureReadAhead::TChunk* chunk = ahead.Next();
            if (chunk == nullptr) {
                if (ahead.Status() == TCaptureReader::TStatus::Damaged) {
                    result.Damaged = true;
                    result.DamageMessage = ahead.DamageMessage();
                }
                // A stop while a pipe's bytes were waited for.
                result.Interrupted = ahead.Status() == TCaptureReader::TStatus::Stopped;
                break;
            }

            const TDateTime now = CaptureTimeToDateTime(chunk->Time);
            const auto chunkIndex = static_cast<int64_t>(result.Stats.Chunks.Chunks);
            result.Stats.Chunks.Add(chunk->Size, chunk->Time, chunk->Scan);
            if (chunk->Size < chunk->OriginalSize)
                ++result.CutChunks;

            feeder.BeforeChunk(session, chunkIndex, now);

            port.Now = now;
            session.Feed(chunk->Data, chunk->Size);

            // No fix will come any more: nothing can change these records' positions.
            if (feeder.Done())
                session.ReleaseAll();
            if (options.Progress != nullptr)
                options.Progress->Update(chunk->StoredOffset);
        }

        const bool stopped = result.Interrupted || result.StoppedByOutput;
        if (!stopped)
            feeder.Rest(session);
        decoder.StopTest();
        result.MarkersReplayed = feeder.MarkersApplied();
        result.PortWrites = port.Writes;
        // Closing the log makes every line reach the file before the caller renames it.
        session.Finish();
        if (!stopped)
            session.ReleaseAll();
    } catch (const std::exception& e) {
        *error = std::string("the replay stopped: ") + e.what();
        ok = false;
    }
    result.Stats.Records = session.Stats();
    result.Stats.MaxRecordsKept = session.MaxKept();
    return ok;
}

std::string ExplainNoRecords(const TReplayResult& result) {
    const TChunkTally& chunks = result.Stats.Chunks;
    if (chunks.Chunks == 0)
        return "The capture holds no chunk: there was nothing to decode.";
    if (chunks.AtReplies == chunks.Chunks)
        return "The capture holds only AT replies (\"OK\"), no trace frame: the handset's "
               "trace was never switched on while it was recorded.";
    if (chunks.Aligned == 0)
        return "No chunk starts with whole trace frames. The plug-in starts afresh at every "
               "chunk, so a capture must keep the chunks exactly as they were read from the "
               "port; this one does not (or it is not a trace at all).";
    return std::to_string(chunks.Aligned) +
           " chunks hold whole trace frames, but the WCDMA decoder library accepted none of "
           "them: the trace was never decoded (for example every frame carries fewer than 4 "
           "payload bytes).";
}

bool MostChunksMisaligned(const TChunkTally& chunks) {
    return chunks.Misaligned() * 2 > chunks.Chunks - chunks.AtReplies;
}

}  // namespace n95::host
