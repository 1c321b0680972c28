#include "host/session/RecordStore.h"

#include <algorithm>
#include <limits>

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

}  // namespace n95::host
