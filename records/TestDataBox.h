// The decoder's record queue: the record copies waiting for the host, in insertion order.
#pragma once

#include <cstdint>
#include <vector>

#include "records/DataAccessAPIUnit.h"

// The lower bound of a valid queue index: an index i is valid when
// RecordIndexFloor < i < RecordCount().
constexpr int32_t RecordIndexFloor = -1;

// A list of record pointers. The box owns the list but never the records: neither Clear
// nor destruction releases them; whoever queued them (the decoder, on the host's request)
// releases each one with FreeTestRecord and then clears its entry with ClearEntry, so that a
// later RecordAt of that index finds nil instead of a released record.
//
// Not thread-safe: the caller serialises every call.
class TTstDataBox {
public:
    TTstDataBox() = default;
    TTstDataBox(const TTstDataBox&) = delete;
    TTstDataBox& operator=(const TTstDataBox&) = delete;
    ~TTstDataBox() = default;

    // Appends Rec (nil is queued as it is) and returns its index: 0 for the first record
    // after construction or Clear, then 1, 2, ... Throws std::bad_alloc when the list
    // cannot grow; the box is then unchanged.
    int32_t AddRecord(TTestRecord* Rec);

    // The number of queued pointers, released or cleared entries included.
    int32_t RecordCount() const;

    // True when RecordIndexFloor < Index < RecordCount().
    bool IsValidIndex(int32_t Index) const;

    // The pointer at Index, or nil when the index is not valid (never throws).
    TTestRecord* RecordAt(int32_t Index) const;

    // Sets the entry at Index to nil, keeping the count and the other indices. Does nothing
    // for an invalid index. The record itself is not released.
    void ClearEntry(int32_t Index);

    // Empties the list and releases its storage, sets Tally to 0 and returns true. The
    // records are not released.
    bool Clear();

    // Set to 0 by Clear; nothing else in this library reads or writes it.
    int32_t Tally = 0;

private:
    std::vector<TTestRecord*> Records;
};
