#include "tests/faults/AllocFaults.h"

#include <cstdlib>

namespace n95::test {

namespace {

// 0 = disarmed; otherwise the number of allocations left until (and including) the failing one.
thread_local uint64_t countdown = 0;
thread_local uint64_t counted = 0;
thread_local int uncounted = 0;

}  // namespace

#if defined(N95_NO_FAILING_NEW)
bool FailingNewInstalled() {
    return false;
}
#endif

uint64_t ArmAllocationFailure(uint64_t n) {
    const uint64_t previous = counted;
    counted = 0;
    countdown = n;
    return previous;
}

TUncountedScope::TUncountedScope() {
    ++uncounted;
}
TUncountedScope::~TUncountedScope() {
    --uncounted;
}

bool AllocationMustFail() {
    if (uncounted > 0)
        return false;
    ++counted;
    if (countdown == 0)
        return false;
    if (--countdown == 0)
        return true;
    return false;
}

TFaultyRecordHeap* TFaultyRecordHeap::Current = nullptr;

TFaultyRecordHeap::TFaultyRecordHeap() {
    Current = this;
    PreviousAlloc = SetRecordAllocHookForTesting(&AllocHook);
    PreviousFree = SetRecordFreeHookForTesting(&FreeHook);
}

TFaultyRecordHeap::~TFaultyRecordHeap() {
    SetRecordAllocHookForTesting(PreviousAlloc);
    SetRecordFreeHookForTesting(PreviousFree);
    Current = nullptr;
    // Whatever a failed test left behind is released here, so one failure does not cascade.
    for (void* block : Live)
        std::free(block);
}

void* TFaultyRecordHeap::Allocate(std::size_t size) {
    TUncountedScope bookkeeping;
    void* block = std::calloc(1, size);
    if (block == nullptr)
        std::abort();
    Live.insert(block);
    return block;
}

void* TFaultyRecordHeap::AllocHook(std::size_t count, std::size_t size, bool zero) {
    TFaultyRecordHeap& heap = *Current;
    if (AllocationMustFail()) {
        ++heap.Failures;
        return nullptr;
    }
    TUncountedScope bookkeeping;
    void* block = zero ? std::calloc(count, size) : std::malloc(count * size);
    if (block != nullptr) {
        heap.Live.insert(block);
        ++heap.Allocations;
    }
    return block;
}

void TFaultyRecordHeap::FreeHook(void* block) {
    TFaultyRecordHeap& heap = *Current;
    if (heap.Live.erase(block) == 0)
        ++heap.ForeignFrees;
    std::free(block);
}

}  // namespace n95::test
