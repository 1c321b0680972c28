// The watcher: while a test runs, a background thread checks every Interval whether the
// host's GPS fix counter has run Threshold or more fixes ahead of the last fix the decoder
// accepted, and if so calls its handler (on the watcher thread).
//
// Ownership and threading: the decoder owns its watcher. Stop() only requests the end and
// wakes the thread (it may be called from any thread); the owner then destroys the watcher,
// which joins the thread. Since Stop wakes the thread, the join waits for at most one
// check, and once the destructor returns the watcher touches nothing of the decoder.
// The thread reads the decoder only through TNokiaMSN95Decode's thread-safe accessors
// GetContext() and FixCountForWatcher().
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>

#include "platform/Env.h"
#include "platform/Method.h"

class TNokiaMSN95Decode;
class TMSWatcher;

using TWatcherEvent = TMethod<void (*)(void* Self, TMSWatcher* Sender)>;

class TMSWatcher {
public:
    static constexpr int32_t kInterval = 5000;  // ms per wait
    static constexpr int32_t kThreshold = 5;    // fixes by which the host's counter must lead

    // Starts the thread at once. `owner` must outlive the watcher.
    TMSWatcher(TNokiaMSN95Decode* owner, n95::Env* env);
    ~TMSWatcher();  // Stop, then join
    TMSWatcher(const TMSWatcher&) = delete;
    TMSWatcher& operator=(const TMSWatcher&) = delete;

    // Set by the owner right after construction; called on the watcher thread.
    void SetOnFixLag(TWatcherEvent handler);
    void Wake();
    void Stop();

private:
    void Execute();
    void CheckFixLag();

    TNokiaMSN95Decode* const owner_;
    std::unique_ptr<n95::Event> wakeEvent_;
    std::atomic<bool> terminated_{false};
    std::atomic<void (*)(void*, TMSWatcher*)> handlerCode_{nullptr};
    std::atomic<void*> handlerData_{nullptr};
    std::unique_ptr<n95::Thread> thread_;  // last: started after everything it reads exists
};
