// Allocation fault injection for tests: one countdown shared by the record heap (the library's
// record alloc/free hooks) and, where the test program replaces them (FailingNew.cpp), the
// global operator new/delete. Arming it makes the n-th allocation from then on, counted over
// both, fail: the record heap returns nil (which the library turns into std::bad_alloc) and
// operator new throws std::bad_alloc.
//
// The record heap also tracks every live record block, so a test can prove that nothing
// leaked and nothing was released twice.
//
// Threading: the countdown is per thread (only allocations of the arming thread are
// counted); the record heap is process-wide and must be used by one test at a time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <set>

#include "records/DataAccessAPIUnit.h"

namespace n95::test {

// True when this program's replacement of operator new (FailingNew.cpp) is in force, so
// that operator new takes part in the countdown. Disarms the countdown.
bool FailingNewInstalled();

// Arms the countdown: the n-th allocation (from 1) of this thread fails; 0 disarms.
// Returns how many allocations were counted since the previous arming.
uint64_t ArmAllocationFailure(uint64_t n);
// Counts one allocation of this thread; true when it is the one that must fail (which also
// disarms the countdown). Allocations made while a TUncountedScope is active are not counted.
bool AllocationMustFail();

// While it lives, this thread's allocations are neither counted nor failed: the test
// machinery's own bookkeeping (such as the record heap's set of live blocks) stays out of
// the sweep.
class TUncountedScope {
public:
    TUncountedScope();
    ~TUncountedScope();
    TUncountedScope(const TUncountedScope&) = delete;
    TUncountedScope& operator=(const TUncountedScope&) = delete;
};

// Installs record alloc/free hooks that obey the countdown and track every live block.
// Blocks come from the C heap: one released through the hooks that the heap did not hand out
// (such as a blob the stand-in decoder allocated with std::malloc) is released too and
// counted as foreign. One instance at a time.
class TFaultyRecordHeap {
public:
    TFaultyRecordHeap();
    ~TFaultyRecordHeap();
    TFaultyRecordHeap(const TFaultyRecordHeap&) = delete;
    TFaultyRecordHeap& operator=(const TFaultyRecordHeap&) = delete;

    // A tracked, zero-filled block for building records by hand (never fails).
    void* Allocate(std::size_t size);

    std::set<void*> Live;
    uint64_t Allocations = 0;  // blocks handed out through the hooks
    uint64_t Failures = 0;     // allocations refused
    uint64_t ForeignFrees = 0;

private:
    static void* AllocHook(std::size_t count, std::size_t size, bool zero);
    static void FreeHook(void* block);

    static TFaultyRecordHeap* Current;
    TAllocHook PreviousAlloc;
    TFreeHook PreviousFree;
};

}  // namespace n95::test
