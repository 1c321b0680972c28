#include "decoder/MSWatcher.h"

#include "decoder/NokiaMSN95Decode.h"

TMSWatcher::TMSWatcher(TNokiaMSN95Decode* owner, n95::Env* env)
    : owner_(owner), wakeEvent_(env->NewEvent()) {
    thread_ = env->StartThread([this] { Execute(); });
}

TMSWatcher::~TMSWatcher() {
    Stop();
    thread_->Join();
}

void TMSWatcher::SetOnFixLag(TWatcherEvent handler) {
    // Data first, code last: the thread reads the code first and only then its receiver.
    handlerData_.store(handler.Data, std::memory_order_relaxed);
    handlerCode_.store(handler.Code, std::memory_order_release);
}

void TMSWatcher::Wake() {
    wakeEvent_->Set();
}

void TMSWatcher::Stop() {
    terminated_.store(true, std::memory_order_release);
    Wake();
}

void TMSWatcher::Execute() {
    try {
        while (!terminated_.load(std::memory_order_acquire)) {
            switch (wakeEvent_->Wait(static_cast<uint32_t>(kInterval))) {
                case n95::Event::WaitResult::Signalled:
                    wakeEvent_->Reset();
                    break;
                case n95::Event::WaitResult::TimedOut:
                    CheckFixLag();
                    break;
                case n95::Event::WaitResult::Failed:
                    return;
            }
        }
    } catch (...) {
        // A context that is gone or a failing handler ends the thread, as a normal end would.
    }
}

void TMSWatcher::CheckFixLag() {
    if (terminated_.load(std::memory_order_acquire))
        return;  // stopped while the wait timed out
    // Signed difference of two 32-bit counters, computed wide so that it cannot overflow.
    const int64_t lead = int64_t{GetFixCount(owner_->GetContext())} - owner_->FixCountForWatcher();
    auto code = handlerCode_.load(std::memory_order_acquire);
    if (lead >= kThreshold && code != nullptr)
        code(handlerData_.load(std::memory_order_relaxed), this);
}
