// Test doubles for decoder tests: the host-side doubles, plus an environment whose sleeps go
// into the same journal as the port's calls.
#pragma once

#include "platform/Env.h"
#include "tests/decoder/HostDoubles.h"

namespace n95::test {

// Sleeps are journalled and advance the clock; events and threads are real, with timed waits
// divided by WaitDivisor so the 5 s watcher interval can run in a few milliseconds.
class JournalEnv final : public Env {
public:
    explicit JournalEnv(Journal* journal) : journal_(journal) {}

    void Sleep(uint32_t ms) override {
        journal_->Add("Sleep(" + std::to_string(ms) + ")");
        std::lock_guard<std::mutex> lock(mutex_);
        now_ += SecondsToDays(ms / 1000.0);
    }
    TDateTime Now() override {
        std::lock_guard<std::mutex> lock(mutex_);
        return now_;
    }
    void ShowMessage(const std::string& text) override { journal_->Add("Message(" + text + ")"); }
    std::unique_ptr<Event> NewEvent() override;
    std::unique_ptr<Thread> StartThread(std::function<void()> body) override {
        return Env::Default()->StartThread(std::move(body));
    }

    void SetNow(TDateTime now) {
        std::lock_guard<std::mutex> lock(mutex_);
        now_ = now;
    }
    void AdvanceSeconds(double seconds) {
        std::lock_guard<std::mutex> lock(mutex_);
        now_ += SecondsToDays(seconds);
    }

    uint32_t WaitDivisor = 1000;

private:
    Journal* journal_;
    std::mutex mutex_;
    TDateTime now_ = 46000.25;
};

class ScaledEvent final : public Event {
public:
    ScaledEvent(std::unique_ptr<Event> inner, uint32_t divisor) : inner_(std::move(inner)), divisor_(divisor) {}
    void Set() override { inner_->Set(); }
    void Reset() override { inner_->Reset(); }
    WaitResult Wait(uint32_t timeoutMs) override { return inner_->Wait(timeoutMs / divisor_); }

private:
    std::unique_ptr<Event> inner_;
    uint32_t divisor_;
};

inline std::unique_ptr<Event> JournalEnv::NewEvent() {
    return std::make_unique<ScaledEvent>(Env::Default()->NewEvent(), WaitDivisor == 0 ? 1 : WaitDivisor);
}

}  // namespace n95::test
