// Position tagging: GPS fixes into the decoder's current record and, by linear
// interpolation, into the records of the host's own store.
//
// The host hands every fix to the decoder. An accepted fix writes its coordinates into the
// decoder's current record (so the record copies queued afterwards carry it), and the
// host-side records added since the previous pass are placed along the straight line from
// the previous fix to the new one, spaced by their position in the host's store (by index,
// not by time). The very first fix of a test has nothing to interpolate from: it tags all
// pending records with itself.
//
// The fix is always read from the host's context object (its current fix and fix counter),
// afresh each time it is needed; the fix passed to UpdatePosition only decides whether an
// update runs.
//
// Host-side records are reached through two host callbacks and touched in place. The host may
// leave a callback unset, return nil for any index, or change its store while a pass runs
// (the callbacks run arbitrary host code): the count is asked again before every fetch, so
// no index at or beyond the current count is ever asked for.
//
// Threading: every method runs on the host's calling thread, except FixCount(), which the
// watcher thread may call at any time.
#pragma once

#include <atomic>
#include <cstdint>

#include "decoder/HostObjects.h"
#include "records/DataAccessAPIUnit.h"

namespace n95 {

// The minimum spacing of accepted fixes: 0.5 s in days (the double nearest to 0.5/86400).
inline constexpr TDateTime kFixSpacing = SecondsToDays(0.5);
// Two fix times closer than this (days) are the same fix.
inline constexpr TDateTime kSameFixTime = 1e-12;

class TPositionTagger {
public:
    // The last accepted fix. All zero at creation; SetPosition/GetPosition use it directly.
    TGpsPoint CurrentFix{0.0, 0.0, 0.0};
    // Number of host-side records already handled = index of the next one to tag.
    int32_t TaggedCount = 0;
    // Set by a fix update or a skip; cleared by LastTaggedIndex and ResetPositionState.
    bool PositionUpdated = false;
    // Host-side records with an index at or below RecordBase are treated as absent.
    int32_t RecordBase = 0;
    // First argument of both host callbacks.
    int32_t CallbackTag = 0;
    // The host's callbacks; either may be unassigned (no records / every index absent).
    TRecordCountEvent OnRecordCount;
    TGetRecordEvent OnGetRecord;

    // 0 = no fix accepted since the test started; after the first accepted fix it mirrors the
    // host context's fix counter. Readable from any thread.
    int32_t FixCount() const { return FixCountValue.load(std::memory_order_relaxed); }
    void SetFixCount(int32_t value) { FixCountValue.store(value, std::memory_order_relaxed); }

    // The host's fix `p`. Nothing happens when p.Time is not positive, or not more than
    // kFixSpacing after CurrentFix.Time (NaN times count as failing both tests). Otherwise
    // the fix update runs, reading the fix from `context`. With a nil `context`, or one whose
    // fix counter or current fix is nil, the fix is ignored and nothing changes.
    //
    // `current` is the decoder's current record; its PosX/PosY receive the fix. It may be
    // nil (then only the host-side records and the fields above are updated). Neither
    // pointer is kept.
    void UpdatePosition(const TGpsPoint& p, const THostContext* context, TTestRecord* current);

    // Start of a test. With a context present: CurrentFix := (-9999, -9999, 0) and
    // FixCount := 0. In every case PositionUpdated := false. (The decoder clears its own
    // RecordsReady flag at the same point.)
    void ResetPositionState(bool hasContext);

    // End of a test: the host-side records not yet tagged are counted as handled without a
    // position (TaggedCount jumps to the host's count; PositionUpdated is set). They keep
    // whatever position they had.
    void SkipPendingRecords();

    // TaggedCount - 1, the index of the last handled host-side record; clears
    // PositionUpdated.
    int32_t LastTaggedIndex();

    // OnRecordCount(CallbackTag) if assigned, else 0. A negative count from the host is
    // read as 0.
    int32_t HostRecordCount() const;

    // The host-side record at `index`, or nil when OnGetRecord is unassigned, `index` is
    // negative or at or below RecordBase, or `index` is at or beyond HostRecordCount() (asked
    // again for every fetch), or the host returns nil or a sentinel. The record belongs to
    // the host.
    TTestRecord* HostRecord(int32_t index) const;

private:
    void UpdateFix(const THostContext* context, TTestRecord* current);
    void TagAllRecords(const THostContext* context);
    void InterpolateRecords(const THostContext* context);
    void TagRemainingRecords(const THostContext* context);

    std::atomic<int32_t> FixCountValue{0};
};

}  // namespace n95
