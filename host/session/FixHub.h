// One GPS source shared by the handsets of a rig: the rig's thread polls the source and
// publishes what it gained; each handset's thread reads its own view of it, a TFixSource
// that hands the published fixes to that handset's run in order.
//
// A view copies the fixes it has not yet had when its run polls it, so that each run feeds
// them between its own chunks (and its fix log says before which of them) as it does with
// a source of its own; no view waits for another. Memory: the source's own track is the one
// whole copy (the outputs need it at the end); the hub keeps only the fixes some view has
// not copied yet, and a view only those its run has not fed yet (see
// TFixSource::ForgetFixes), and its last. The source's notices (gpsd lost, back again) are
// the rig's to print once, not each view's.
//
// Threading: Publish on the rig's thread only, which owns the source; NewView on that thread
// before the handsets start; each view is used by one handset's thread. Views must not
// outlive the hub.
#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "host/devices/FixSource.h"

namespace n95::host {

class TFixHub {
public:
    // `source` must outlive the hub; only the rig's thread touches it.
    explicit TFixHub(TFixSource& source);
    TFixHub(const TFixHub&) = delete;
    TFixHub& operator=(const TFixHub&) = delete;

    // Polls the source and publishes the fixes its track gained and whether it is lost.
    // Returns what the source had to say, for the caller to print.
    std::vector<TFixNotice> Poll();

    // A source for one handset's run; the caller owns it.
    std::unique_ptr<TFixSource> NewView();

private:
    class TView;

    // Drops the fixes every view has copied. Lock held.
    void Trim();

    TFixSource& Source;
    std::string Name;  // the source's, fixed when the hub is made
    mutable std::mutex Lock;
    // Guarded by Lock: what the views copy. Fixes holds the source's fixes from the
    // FirstFix-th on: those that some view has not copied yet. Copied[v]: how many view v has.
    std::deque<TGpsPoint> Fixes;
    uint64_t FirstFix = 0;
    uint64_t Published = 0;  // the source's fixes published so far
    std::vector<uint64_t> Copied;
    std::string LostText;
    uint64_t LossCount = 0, RecoveryCount = 0;
};

}  // namespace n95::host
