#include "host/Replay.h"

#include <algorithm>
#include <exception>
#include <limits>
#include <stdexcept>

#include "host/TraceFrame.h"

namespace n95::host {

namespace {

int32_t StoreCount(void* self, int32_t tag) {
    if (tag != kRecordCallbackTag)
        return 0;
    const int64_t count = static_cast<TRecordStore*>(self)->Count();
    return static_cast<int32_t>(std::min<int64_t>(count, std::numeric_limits<int32_t>::max()));
}

TTestRecord* StoreGet(void* self, int32_t tag, int32_t index) {
    if (tag != kRecordCallbackTag)
        return nullptr;
    return static_cast<TRecordStore*>(self)->Get(index);
}

}  // namespace

TRecordStore::~TRecordStore() {
    for (TTestRecord* record : Records)
        FreeTestRecord(record);
}

void TRecordStore::Add(TTestRecord* record) {
    try {
        Records.push_back(record);
    } catch (...) {
        FreeTestRecord(record);
        throw;
    }
    PeakKept = std::max(PeakKept, Records.size());
}

TTestRecord* TRecordStore::Get(int64_t index) const {
    if (index < Base || index >= Count())
        return nullptr;
    return Records[static_cast<std::size_t>(index - Base)];
}

void TRecordStore::Release(int64_t end,
                           const std::function<void(int64_t, const TTestRecord&)>& sink) {
    while (!Records.empty() && Base < end) {
        TTestRecord* record = Records.front();
        Records.pop_front();
        const int64_t index = Base++;
        // Release even if the sink throws, so each record is freed exactly once.
        struct TFree {
            TTestRecord* Record;
            ~TFree() { FreeTestRecord(Record); }
        } release{record};
        sink(index, *record);
    }
}

TRecordCountEvent TRecordStore::CountEvent() {
    TRecordCountEvent event;
    event.Code = &StoreCount;
    event.Data = this;
    return event;
}

TGetRecordEvent TRecordStore::GetEvent() {
    TGetRecordEvent event;
    event.Code = &StoreGet;
    event.Data = this;
    return event;
}

bool RunReplay(const TPlugin& plugin, TCaptureReader& capture, const TReplayOptions& options,
               const std::function<void(const TRecordRow&)>& sink, TReplayResult& result,
               std::string* error) {
    result = TReplayResult();
    // Declared before the decoder so that the decoder, which points at them, goes first.
    TReplayPort port;
    int32_t fixCounter = 0;
    TGpsPoint currentFix{n95::RecordNoValue, n95::RecordNoValue, 0.0};
    const std::string replayName = options.ReplayName.empty() ? "replay" : options.ReplayName;
    THostContext context{nullptr, replayName.c_str(), 0, 0, &fixCounter, &currentFix};
    TRecordStore store;

    const auto emit = [&](int64_t index, const TTestRecord& record) {
        const TRecordRow row = DescribeRecord(index, record);
        if (row.HasPosition())
            ++result.RecordsWithPosition;
        ++result
              .RecordsByClass[row.MessageClass >= 0 && row.MessageClass < 4 ? row.MessageClass : 4];
        sink(row);
    };

    const std::vector<TGpsPoint> noFixes;
    const std::vector<TGpsPoint>& fixes = options.Track ? options.Track->Fixes : noFixes;
    std::size_t nextFix = 0;

    try {
        TDecoderPtr decoder = plugin.NewDecoder(&port, &context);
        if (!decoder) {
            *error = "the plug-in gave no decoder";
            return false;
        }
        decoder->SetCallbackTag(kRecordCallbackTag);
        decoder->SetOnRecordCount(store.CountEvent());
        decoder->SetOnGetRecord(store.GetEvent());
        decoder->SetRecordBase(-1);
        if (!options.FrameLogPath.empty()) {
            decoder->SetLogFileName(options.FrameLogPath);
            decoder->SetLogEnabled(true);
        }
        decoder->StartTest();

        const auto feedFix = [&](const TGpsPoint& fix) {
            ++fixCounter;
            currentFix = fix;
            decoder->UpdatePosition(fix);
            ++result.FixesFed;
        };

        std::string text;
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

            // Fixes up to the chunk's time, then release what they made final.
            if (nextFix < fixes.size() && fixes[nextFix].Time <= now) {
                while (nextFix < fixes.size() && fixes[nextFix].Time <= now)
                    feedFix(fixes[nextFix++]);
                store.Release(decoder->GetLastTaggedIndex() + 1, emit);
            }

            port.Now = now;
            text.clear();
            decoder->DecodeData(capture.Data(), static_cast<int32_t>(capture.Size()), text);
            result.DecodedBytes += text.size();

            // Hand-over: copy each queued record into the store, then let the plug-in free it.
            const int32_t count = decoder->GetRecordCount();
            int32_t i = 0;
            try {
                for (; i < count; ++i) {
                    const TTestRecord* queued = decoder->GetRecord(i);
                    if (queued != nullptr) {
                        if (store.Count() == std::numeric_limits<int32_t>::max())
                            throw std::length_error(
                                "more records than the plug-in's 32-bit record index can reach");
                        TTestRecord* copy = CopyTestRecord(queued);
                        if (copy != nullptr) {
                            if (result.Records == 0)
                                result.FirstRecordTime = copy->TestTime;
                            result.LastRecordTime = copy->TestTime;
                            store.Add(copy);
                            ++result.Records;
                        } else {
                            ++result.RecordsNotCopied;
                        }
                    }
                    decoder->FreeRecord(i);
                }
            } catch (...) {
                // The plug-in's copies are released even when the hand-over fails.
                for (; i < count; ++i)
                    decoder->FreeRecord(i);
                decoder->ClearRecords();
                throw;
            }
            if (count > 0)
                decoder->ClearRecords();

            // No fix will come any more: nothing can change these records' positions.
            if (nextFix == fixes.size())
                store.Release(store.Count(), emit);
            if (options.Progress != nullptr)
                options.Progress->Update(capture.Offset());
        }

        if (!result.Interrupted) {
            while (nextFix < fixes.size())
                feedFix(fixes[nextFix++]);
        }
        decoder->StopTest();
        result.PortWrites = port.Writes;
        // Closing the log (an empty name) makes every line reach the file before the caller
        // renames it.
        if (!options.FrameLogPath.empty())
            decoder->SetLogFileName("");
        decoder.reset();
    } catch (const std::exception& e) {
        *error = std::string("the replay stopped: ") + e.what();
        result.MaxRecordsKept = store.MaxKept();
        return false;
    }
    if (!result.Interrupted)
        store.Release(store.Count(), emit);
    result.MaxRecordsKept = store.MaxKept();
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
