// The host's store of the records it took from the plug-in, which the plug-in reaches again
// through the OnRecordCount and OnGetRecord callbacks to tag their positions.
//
// Indexes run from 0 in the order the records were handed over and are never reused: a
// released record reads as absent to the plug-in, and the count it sees keeps growing. So
// memory holds only the records not yet released, while the plug-in's view of the index
// space stays that of a store holding every record of the run.
//
// What is kept of a record: its 49-byte header, which is what the plug-in reads (TestTime)
// and writes (PosX, PosY) when it tags positions, and the length of its body's payload,
// which is all the outputs read of the body. The body itself stays with the plug-in's copy.
// The header the plug-in sees is a valid TTestRecord of the queued record's kind, with a nil
// Body and the Borrowed bit set: it lives in the store's own memory, and neither free
// operation touches it. Records sit in a ring that grows to the most ever held at once and
// is then reused, so a record costs no allocation of its own.
//
// Not thread-safe: the plug-in calls the callbacks on the host's thread, inside the
// decoder operations the host makes.
#pragma once

#include <cstdint>
#include <vector>

#include "decoder/HostObjects.h"
#include "records/DataAccessAPIUnit.h"

namespace n95::host {

// The tag the host gives the decoder for its record callbacks (checked on every call).
inline constexpr int32_t kRecordCallbackTag = 95;

// One record as the store keeps it.
struct TStoredRecord {
    TTestRecord Header;     // Body nil, Borrowed set
    int32_t PayloadLength;  // of the body's payload copy; -1 when the record has none
};

// The host's store of records, indexed from 0 in the order they were handed over.
class TRecordStore {
public:
    TRecordStore() = default;
    TRecordStore(const TRecordStore&) = delete;
    TRecordStore& operator=(const TRecordStore&) = delete;

    // Whether Add takes `queued`: it is a record (not nil or a sentinel) whose body the store
    // can read. A record with the CompactBody bit is refused, as CopyTestRecord refuses it.
    static bool Accepts(const TTestRecord* queued);
    // Keeps what the store keeps of `queued` (Accepts must hold) as the next index. The
    // caller still owns `queued`. Throws std::bad_alloc when the ring cannot grow.
    void Add(const TTestRecord& queued);
    // Records ever added: the count the plug-in sees.
    int64_t Count() const { return Base + static_cast<int64_t>(Size); }
    // The record at `index`, or nil when it was released or is out of range. Valid until
    // the next Add or Release.
    TTestRecord* Get(int64_t index);
    // Hands the records with index below `end` (and not yet released) to `sink` in index
    // order, as sink(index, stored), and releases them. A record is released before the
    // sink sees it, so a sink that throws loses only that record.
    template <typename TSink>
    void Release(int64_t end, TSink&& sink) {
        while (Size > 0 && Base < end) {
            const TStoredRecord& record = Ring[Head];
            Head = (Head + 1) & (Ring.size() - 1);
            --Size;
            sink(Base++, record);
        }
    }
    // Records held now, and the most ever held at once.
    std::size_t Kept() const { return Size; }
    std::size_t MaxKept() const { return PeakKept; }

    // The callbacks to install in the decoder; their Data is this store.
    TRecordCountEvent CountEvent();
    TGetRecordEvent GetEvent();

private:
    void Grow();

    std::vector<TStoredRecord> Ring;  // a power of two in size (or empty)
    std::size_t Head = 0;             // the slot of index Base
    std::size_t Size = 0;
    int64_t Base = 0;
    std::size_t PeakKept = 0;
};

}  // namespace n95::host
