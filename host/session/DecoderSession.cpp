#include "host/session/DecoderSession.h"

#include <algorithm>
#include <atomic>
#include <limits>
#include <stdexcept>

namespace n95::host {

TDecoderSession::TDecoderSession(TSink sink)
    : Sink([rowSink = std::move(sink)](std::span<const TRecordRow> rows) {
          for (const TRecordRow& row : rows)
              rowSink(row);
      }) {}

TDecoderSession::TDecoderSession(TBatchSink sink) : Sink(std::move(sink)) {}

TDecoderSession::~TDecoderSession() {
    DecoderPtr.reset();
}

bool TDecoderSession::Create(const TPlugin& plugin, THostPort& port, const std::string& replayName,
                             const std::string& frameLogPath, std::string* error) {
    DecoderPtr.reset();
    ReplayName = replayName;
    Context = THostContext{nullptr, ReplayName.c_str(), 0, 0, &FixCounter, &CurrentFix};
    try {
        DecoderPtr = plugin.NewDecoder(&port, &Context);
    } catch (const EPluginError& e) {
        *error = e.what();
        return false;
    }
    DecoderPtr->SetCallbackTag(kRecordCallbackTag);
    DecoderPtr->SetOnRecordCount(Store.CountEvent());
    DecoderPtr->SetOnGetRecord(Store.GetEvent());
    DecoderPtr->SetRecordBase(-1);
    FrameLog = !frameLogPath.empty();
    if (FrameLog) {
        DecoderPtr->SetLogFileName(frameLogPath);
        DecoderPtr->SetLogEnabled(true);
    }
    return true;
}

void TDecoderSession::Release(int64_t end) {
    Rows.clear();
    Store.Release(end, [this](int64_t index, const TStoredRecord& record) {
        const TRecordRow& row =
            Rows.emplace_back(DescribeRecord(index, record.Header, record.PayloadLength));
        if (row.HasPosition())
            ++Totals.RecordsWithPosition;
        ++Totals.RecordsByClass[ClassBucket(row.MessageClass)];
        if (Rows.size() == kMaxBatchRows) {
            Sink(Rows);
            Rows.clear();
        }
    });
    if (!Rows.empty())
        Sink(Rows);
    Rows.clear();
}

void TDecoderSession::FeedFix(const TGpsPoint& fix) {
    // The plug-in's watcher thread reads the counter (atomically) while this thread counts.
    std::atomic_ref<int32_t>(FixCounter).fetch_add(1, std::memory_order_relaxed);
    CurrentFix = fix;
    DecoderPtr->UpdatePosition(fix);
    ++Totals.FixesFed;
    Release(DecoderPtr->GetLastTaggedIndex() + 1);
}

std::size_t TDecoderSession::Feed(const void* data, std::size_t size) {
    Text.clear();
    DecoderPtr->DecodeData(data, static_cast<int32_t>(size), Text);
    Totals.DecodedBytes += Text.size();
    HandOver();
    return Text.size();
}

void TDecoderSession::HandOver() {
    THandSetDecode& decoder = *DecoderPtr;
    const int32_t count = decoder.GetRecordCount();
    int32_t i = 0;
    try {
        for (; i < count; ++i) {
            const TTestRecord* queued = decoder.GetRecord(i);
            if (queued != nullptr) {
                if (Store.Count() == std::numeric_limits<int32_t>::max())
                    throw std::length_error(
                        "more records than the plug-in's 32-bit record index can reach");
                if (TRecordStore::Accepts(queued)) {
                    Store.Add(*queued);
                    if (Totals.Records == 0)
                        Totals.FirstRecordTime = queued->TestTime;
                    Totals.LastRecordTime = queued->TestTime;
                    ++Totals.Records;
                } else {
                    ++Totals.RecordsNotCopied;
                }
            }
            decoder.FreeRecord(i);
        }
    } catch (...) {
        // The plug-in's copies are released even when the hand-over fails, each on its own:
        // a release that fails too (the plug-in's FreeRecord may look the record up again)
        // neither skips the others nor hides the failure that stopped the hand-over.
        for (; i < count; ++i) {
            try {
                decoder.FreeRecord(i);
            } catch (...) {
            }
        }
        try {
            decoder.ClearRecords();
        } catch (...) {
        }
        throw;
    }
    if (count > 0)
        decoder.ClearRecords();
}

void TDecoderSession::ReleaseAll() {
    Release(Store.Count());
}

void TDecoderSession::Finish() {
    if (!DecoderPtr)
        return;
    if (FrameLog)
        DecoderPtr->SetLogFileName("");
    DecoderPtr.reset();
}

void AskDecoder(THandSetDecode& decoder, TRunMarkerKind kind) {
    switch (kind) {
        case TRunMarkerKind::Reconnect:
            decoder.Reconnect();
            break;
        case TRunMarkerKind::RestartTest:
            decoder.RestartTest();
            break;
        case TRunMarkerKind::StopDecoding:
            decoder.StopDecoding();
            break;
        case TRunMarkerKind::StartTest:
            decoder.StartTest();
            break;
    }
}

}  // namespace n95::host
