#include "trace/PositionTagger.h"

#include <cmath>

namespace n95 {

namespace {

// Writes the coordinates of the context's current fix into `rec`.
void TagWithFix(TTestRecord* rec, const THostContext* context) {
    const TFixCoordinates f = GetFixCoordinates(context);
    rec->PosX = f.X;
    rec->PosY = f.Y;
}

}  // namespace

int32_t TPositionTagger::HostRecordCount() const {
    if (!OnRecordCount.Assigned())
        return 0;
    const int32_t count = OnRecordCount.Code(OnRecordCount.Data, CallbackTag);
    return count > 0 ? count : 0;
}

TTestRecord* TPositionTagger::HostRecord(int32_t index) const {
    // Cheap tests first: an index at or below RecordBase never costs a host call.
    if (!OnGetRecord.Assigned() || index < 0 || index <= RecordBase)
        return nullptr;
    if (index >= HostRecordCount())
        return nullptr;
    // A sentinel is the shared format's "no record": it is never written to (the sentinels
    // are constants shared by every holder of their address).
    TTestRecord* record = OnGetRecord.Code(OnGetRecord.Data, CallbackTag, index);
    return IsTestRecord(record) ? record : nullptr;
}

void TPositionTagger::UpdatePosition(const TGpsPoint& p, const THostContext* context,
                                     TTestRecord* current) {
    // Negated comparisons, so that a NaN time is ignored like a stale one.
    if (!(p.Time > 0.0))
        return;
    if (!(p.Time - CurrentFix.Time > kFixSpacing))
        return;
    // The update reads the fix and its counter from the context; without one, or with
    // either reference unset, there is no fix to take.
    if (!HasFixReferences(context))
        return;
    UpdateFix(context, current);
}

void TPositionTagger::UpdateFix(const THostContext* context, TTestRecord* current) {
    SetFixCount(FixCount() == 0 ? 1 : GetFixCount(context));
    if (current != nullptr)
        TagWithFix(current, context);

    // 64-bit: TaggedCount is a public field and need not be in range.
    const int64_t pending = int64_t{HostRecordCount()} - TaggedCount;
    if (FixCount() == 1) {
        // First fix since the test started: nothing to interpolate from.
        if (pending > 0) {
            TagAllRecords(context);
        } else {
            SetFixCount(0);  // so that the next accepted fix is again a first fix
        }
    } else if (pending > 0) {
        InterpolateRecords(context);
    }

    CurrentFix = GetFixPosition(context);
    if (current != nullptr) {
        current->PosX = CurrentFix.X;
        current->PosY = CurrentFix.Y;
    }
    PositionUpdated = true;
}

void TPositionTagger::TagAllRecords(const THostContext* context) {
    const int32_t last = HostRecordCount() - 1;
    for (int32_t index = TaggedCount; index <= last; ++index) {
        if (TTestRecord* rec = HostRecord(index))
            TagWithFix(rec, context);
    }
    TaggedCount = last + 1;
    TagRemainingRecords(context);
}

void TPositionTagger::InterpolateRecords(const THostContext* context) {
    const TGpsPoint previous = CurrentFix;
    const TGpsPoint fix = GetFixPosition(context);
    if (std::fabs(fix.Time - previous.Time) < kSameFixTime) {
        // The host has not advanced its fix: leave the pending records to the next one.
        SetFixCount(GetFixCount(context));
        return;
    }
    const double dX = fix.X - previous.X;
    const double dY = fix.Y - previous.Y;
    const int32_t last = HostRecordCount() - 1;

    // The run starts at the first record that exists; its time stamp is the run's origin.
    int32_t first = -1;
    double t0 = 0.0;
    for (int32_t index = TaggedCount; index <= last; ++index) {
        if (const TTestRecord* rec = HostRecord(index)) {
            first = index;
            t0 = rec->TestTime;
            break;
        }
    }
    if (first < 0)
        return;
    TaggedCount = first;

    for (int32_t index = first; index <= last; ++index) {
        TTestRecord* rec = HostRecord(index);
        // Records stamped before the first one of the run keep their position.
        if (rec == nullptr || !(rec->TestTime - t0 >= 0.0))
            continue;
        if (last > first) {
            const double h = static_cast<double>(index - first) / (last - first);
            rec->PosX = previous.X + dX * h;
            rec->PosY = previous.Y + dY * h;
        } else {
            TagWithFix(rec, context);
        }
    }
    TaggedCount = last + 1;
    TagRemainingRecords(context);
}

void TPositionTagger::TagRemainingRecords(const THostContext* context) {
    // Catches records that the host added while the pass ran.
    const int32_t last = HostRecordCount() - 1;
    for (int32_t index = TaggedCount; index <= last; ++index) {
        if (TTestRecord* rec = HostRecord(index))
            TagWithFix(rec, context);
    }
}

void TPositionTagger::ResetPositionState(bool hasContext) {
    if (hasContext) {
        CurrentFix = TGpsPoint{-9999.0, -9999.0, 0.0};
        SetFixCount(0);
    }
    PositionUpdated = false;
}

void TPositionTagger::SkipPendingRecords() {
    const int32_t count = HostRecordCount();
    if (count - int64_t{TaggedCount} > 0) {
        TaggedCount = count;
        PositionUpdated = true;
    }
}

int32_t TPositionTagger::LastTaggedIndex() {
    PositionUpdated = false;
    return TaggedCount - 1;
}

}  // namespace n95
