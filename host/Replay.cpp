#include "host/Replay.h"

#include <exception>

#include "host/TraceFrame.h"

namespace n95::host {

namespace {

void CopyStats(const TDecoderSession& session, TReplayResult& result) {
    const TRecordStats& stats = session.Stats();
    result.Records = stats.Records;
    result.RecordsWithPosition = stats.RecordsWithPosition;
    result.RecordsNotCopied = stats.RecordsNotCopied;
    result.RecordsByClass = stats.RecordsByClass;
    result.FixesFed = stats.FixesFed;
    result.DecodedBytes = stats.DecodedBytes;
    result.FirstRecordTime = stats.FirstRecordTime;
    result.LastRecordTime = stats.LastRecordTime;
    result.MaxRecordsKept = session.MaxKept();
}

}  // namespace

bool RunReplay(const TPlugin& plugin, TCaptureReader& capture, const TReplayOptions& options,
               const std::function<void(const TRecordRow&)>& sink, TReplayResult& result,
               std::string* error) {
    result = TReplayResult();
    // Declared before the session, whose decoder points at it.
    TReplayPort port;
    TDecoderSession session(sink);

    const std::vector<TGpsPoint> noFixes;
    const std::vector<TGpsPoint>& fixes = options.Track ? options.Track->Fixes : noFixes;
    std::size_t nextFix = 0;

    try {
        if (!session.Create(plugin, port,
                            options.ReplayName.empty() ? "replay" : options.ReplayName,
                            options.FrameLogPath, error))
            return false;
        THandSetDecode& decoder = session.Decoder();
        decoder.StartTest();

        for (;;) {
            if (options.StopRequested != nullptr && *options.StopRequested) {
                result.Interrupted = true;
                break;
            }
            const TCaptureReader::TStatus status = capture.Next();
            if (status == TCaptureReader::TStatus::Damaged) {
                result.Damaged = true;
                result.DamageMessage = capture.DamageMessage();
            }
            if (status != TCaptureReader::TStatus::Chunk)
                break;

            const TDateTime now = CaptureTimeToDateTime(capture.Time());
            if (result.Chunks == 0)
                result.FirstChunkTime = now;
            result.LastChunkTime = now;
            ++result.Chunks;
            result.ChunkBytes += capture.Size();
            if (capture.Size() < capture.OriginalSize())
                ++result.CutChunks;
            const TChunkScan scan = ScanChunk(capture.Data(), capture.Size());
            result.Frames += scan.Frames;
            result.AlignedChunks += scan.Aligned ? 1 : 0;
            result.AtReplyChunks += scan.AtReply ? 1 : 0;

            // Fixes up to the chunk's time; each releases what it made final.
            while (nextFix < fixes.size() && fixes[nextFix].Time <= now)
                session.FeedFix(fixes[nextFix++]);

            port.Now = now;
            session.Feed(capture.Data(), capture.Size());

            // No fix will come any more: nothing can change these records' positions.
            if (nextFix == fixes.size())
                session.ReleaseAll();
            if (options.Progress != nullptr)
                options.Progress->Update(capture.Offset());
        }

        if (!result.Interrupted) {
            while (nextFix < fixes.size())
                session.FeedFix(fixes[nextFix++]);
        }
        decoder.StopTest();
        result.PortWrites = port.Writes;
        // Closing the log makes every line reach the file before the caller renames it.
        session.Finish();
    } catch (const std::exception& e) {
        *error = std::string("the replay stopped: ") + e.what();
        CopyStats(session, result);
        return false;
    }
    if (!result.Interrupted)
        session.ReleaseAll();
    CopyStats(session, result);
    return true;
}

std::string ExplainNoRecords(const TReplayResult& result) {
    if (result.Chunks == 0)
        return "The capture holds no chunk: there was nothing to decode.";
    if (result.AtReplyChunks == result.Chunks)
        return "The capture holds only AT replies (\"OK\"), no trace frame: the handset's "
               "trace was never switched on while it was recorded.";
    if (result.AlignedChunks == 0)
        return "No chunk starts with whole trace frames. The plug-in starts afresh at every "
               "chunk, so a capture must keep the chunks exactly as they were read from the "
               "port; this one does not (or it is not a trace at all).";
    return std::to_string(result.AlignedChunks) +
           " chunks hold whole trace frames, but the WCDMA decoder library accepted none of "
           "them: the trace was never decoded (for example every frame carries fewer than 4 "
           "payload bytes).";
}

}  // namespace n95::host
