#include "host/common/StopSignals.h"

#include <utility>

#include "host/common/SystemCalls.h"

namespace n95::host {

namespace {

volatile std::sig_atomic_t gStopRequested = 0;

void RequestStop() {
    gStopRequested = 1;
}

}  // namespace

const volatile std::sig_atomic_t* InstallStopHandlers() {
    // Nothing to report when it fails: the run then simply cannot be stopped gently.
    System().CatchStopRequests(RequestStop);
    return &gStopRequested;
}

bool StopRequested() {
    return gStopRequested != 0;
}

std::unique_ptr<n95::Thread> StartThreadWithStopsBlocked(std::function<void()> body) {
    // A new thread inherits its creator's mask: block, start, restore.
    TSystemCalls& system = System();
    struct TRestore {
        TSystemCalls& System;
        TStopMask Previous;
        ~TRestore() { System.RestoreStopRequests(Previous); }
    } restore{system, system.BlockStopRequests()};
    return n95::Env::Default()->StartThread(std::move(body));
}

}  // namespace n95::host
