// A test double for the environment: a settable clock, recorded sleeps and messages.
//
// Sleeps return at once and, when AdvanceOnSleep is set, move the clock forward by the
// time slept. Events and threads are real (from the default Env) but every timed wait is
// divided by WaitDivisor, so a 5000 ms watcher interval can run in 5 ms. OnRecord, when
// set, also receives every sleep ("Sleep(50)") and message ("Message(text)") in order, so a
// test can journal them beside other calls.
#pragma once

#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "platform/Env.h"

namespace n95 {

// An event whose timed waits are divided by a constant.
class ScaledEvent final : public Event {
public:
    ScaledEvent(std::unique_ptr<Event> inner, uint32_t divisor)
        : inner_(std::move(inner)), divisor_(divisor == 0 ? 1 : divisor) {}
    void Set() override { inner_->Set(); }
    void Reset() override { inner_->Reset(); }
    WaitResult Wait(uint32_t timeoutMs) override { return inner_->Wait(timeoutMs / divisor_); }

private:
    std::unique_ptr<Event> inner_;
    uint32_t divisor_;
};

class FakeEnv : public Env {
public:
    FakeEnv() = default;

    void Sleep(uint32_t ms) override;
    TDateTime Now() override;
    void ShowMessage(const std::string& text) override;
    std::unique_ptr<Event> NewEvent() override;
    std::unique_ptr<Thread> StartThread(std::function<void()> body) override;

    void SetNow(TDateTime now);
    void AdvanceSeconds(double seconds);
    std::vector<uint32_t> Sleeps() const;
    std::vector<std::string> Messages() const;
    void ClearRecords();

    bool AdvanceOnSleep = false;
    uint32_t WaitDivisor = 1;
    std::function<void(const std::string&)> OnRecord;

private:
    mutable std::mutex mutex_;
    TDateTime now_ = 46000.5;  // 2025-12-09 12:00, an arbitrary fixed local time
    std::vector<uint32_t> sleeps_;
    std::vector<std::string> messages_;
};

}  // namespace n95
