// The host's store of the record copies it took from the plug-in, which the plug-in reaches
// again through the OnRecordCount and OnGetRecord callbacks to tag their positions.
//
// Indexes run from 0 in the order the records were handed over and are never reused: a
// released record reads as absent to the plug-in, and the count it sees keeps growing. So
// memory holds only the records not yet released, while the plug-in's view of the index
// space stays that of a store holding every record of the run.
//
// Not thread-safe: the plug-in calls the callbacks on the host's thread, inside the
// decoder operations the host makes.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>

#include "decoder/HostObjects.h"
#include "records/DataAccessAPIUnit.h"

namespace n95::host {

// The tag the host gives the decoder for its record callbacks (checked on every call).
inline constexpr int32_t kRecordCallbackTag = 95;

// The host's store of record copies, indexed from 0 in the order they were handed over.
// Owns every record it holds (released with FreeTestRecord, exactly once).
class TRecordStore {
public:
    TRecordStore() = default;
    TRecordStore(const TRecordStore&) = delete;
    TRecordStore& operator=(const TRecordStore&) = delete;
    ~TRecordStore();

    // Takes ownership of `record` (not nil) as the next index.
    void Add(TTestRecord* record);
    // Records ever added: the count the plug-in sees.
    int64_t Count() const { return Base + static_cast<int64_t>(Records.size()); }
    // The record at `index`, or nil when it was released or is out of range.
    TTestRecord* Get(int64_t index) const;
    // Hands the records with index below `end` (and not yet released) to `sink` in index
    // order, then releases them.
    void Release(int64_t end, const std::function<void(int64_t, const TTestRecord&)>& sink);
    // Records held now, and the most ever held at once.
    std::size_t Kept() const { return Records.size(); }
    std::size_t MaxKept() const { return PeakKept; }

    // The callbacks to install in the decoder; their Data is this store.
    TRecordCountEvent CountEvent();
    TGetRecordEvent GetEvent();

private:
    std::deque<TTestRecord*> Records;  // index Base + i
    int64_t Base = 0;
    std::size_t PeakKept = 0;
};

}  // namespace n95::host
