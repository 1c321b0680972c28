#include "host/DecoderSession.h"

#include <algorithm>
#include <limits>
#include <stdexcept>

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

TDecoderSession::TDecoderSession(TSink sink) : Sink(std::move(sink)) {}

TDecoderSession::~TDecoderSession() {
    DecoderPtr.reset();
}

bool TDecoderSession::Create(const TPlugin& plugin, THostPort& port, const std::string& replayName,
                             const std::string& frameLogPath, std::string* error) {
    DecoderPtr.reset();
    ReplayName = replayName;
    Context = THostContext{nullptr, ReplayName.c_str(), 0, 0, &FixCounter, &CurrentFix};
    DecoderPtr = plugin.NewDecoder(&port, &Context);
    if (!DecoderPtr) {
        *error = "the plug-in gave no decoder";
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

void TDecoderSession::Emit(int64_t index, const TTestRecord& record) {
    const TRecordRow row = DescribeRecord(index, record);
    if (row.HasPosition())
        ++Totals.RecordsWithPosition;
    ++Totals.RecordsByClass[row.MessageClass >= 0 && row.MessageClass < 4 ? row.MessageClass : 4];
    Sink(row);
}

void TDecoderSession::FeedFix(const TGpsPoint& fix) {
    ++FixCounter;
    CurrentFix = fix;
    DecoderPtr->UpdatePosition(fix);
    ++Totals.FixesFed;
    Store.Release(DecoderPtr->GetLastTaggedIndex() + 1,
                  [this](int64_t index, const TTestRecord& record) { Emit(index, record); });
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
                TTestRecord* copy = CopyTestRecord(queued);
                if (copy != nullptr) {
                    if (Totals.Records == 0)
                        Totals.FirstRecordTime = copy->TestTime;
                    Totals.LastRecordTime = copy->TestTime;
                    Store.Add(copy);
                    ++Totals.Records;
                } else {
                    ++Totals.RecordsNotCopied;
                }
            }
            decoder.FreeRecord(i);
        }
    } catch (...) {
        // The plug-in's copies are released even when the hand-over fails.
        for (; i < count; ++i)
            decoder.FreeRecord(i);
        decoder.ClearRecords();
        throw;
    }
    if (count > 0)
        decoder.ClearRecords();
}

void TDecoderSession::ReleaseAll() {
    Store.Release(Store.Count(),
                  [this](int64_t index, const TTestRecord& record) { Emit(index, record); });
}

void TDecoderSession::Finish() {
    if (!DecoderPtr)
        return;
    if (FrameLog)
        DecoderPtr->SetLogFileName("");
    DecoderPtr.reset();
}

}  // namespace n95::host
