#include "host/session/RecordStore.h"

#include <algorithm>
#include <cstring>
#include <limits>

#include "host/outputs/RecordRow.h"

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

// The first ring, in records; enough for a few seconds of a busy trace between two fixes.
constexpr std::size_t kFirstRing = 1024;

}  // namespace

bool TRecordStore::Accepts(const TTestRecord* queued) {
    return IsTestRecord(queued) && (queued->KindWord & KindWordCompactBody) == 0;
}

void TRecordStore::Add(const TTestRecord& queued) {
    if (Size == Ring.size())
        Grow();
    TStoredRecord& slot = Ring[(Head + Size) & (Ring.size() - 1)];
    std::memcpy(&slot.Header, &queued, sizeof(TTestRecord));
    slot.Header.KindWord = slot.Header.KindWord | KindWordBorrowed;
    slot.Header.Body = nullptr;
    slot.PayloadLength = PayloadLengthOf(queued);
    ++Size;
    PeakKept = std::max(PeakKept, Size);
}

void TRecordStore::Grow() {
    // Unrolled into the new ring from index Base on, so that Head restarts at 0.
    std::vector<TStoredRecord> bigger(Ring.empty() ? kFirstRing : Ring.size() * 2);
    for (std::size_t i = 0; i < Size; ++i)
        bigger[i] = Ring[(Head + i) & (Ring.size() - 1)];
    Ring.swap(bigger);
    Head = 0;
}

TTestRecord* TRecordStore::Get(int64_t index) {
    if (index < Base || index >= Count())
        return nullptr;
    return &Ring[(Head + static_cast<std::size_t>(index - Base)) & (Ring.size() - 1)].Header;
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
