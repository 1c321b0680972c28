#include "platform/FakeEnv.h"

namespace n95 {

namespace {

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

}  // namespace

void FakeEnv::Sleep(uint32_t ms) {
    std::lock_guard<std::mutex> lock(mutex_);
    sleeps_.push_back(ms);
    if (AdvanceOnSleep) now_ += SecondsToDays(ms / 1000.0);
}

TDateTime FakeEnv::Now() {
    std::lock_guard<std::mutex> lock(mutex_);
    return now_;
}

void FakeEnv::ShowMessage(const std::string& text) {
    std::lock_guard<std::mutex> lock(mutex_);
    messages_.push_back(text);
}

std::unique_ptr<Event> FakeEnv::NewEvent() {
    return std::make_unique<ScaledEvent>(Env::Default()->NewEvent(), WaitDivisor);
}

std::unique_ptr<Thread> FakeEnv::StartThread(std::function<void()> body) {
    return Env::Default()->StartThread(std::move(body));
}

void FakeEnv::SetNow(TDateTime now) {
    std::lock_guard<std::mutex> lock(mutex_);
    now_ = now;
}

void FakeEnv::AdvanceSeconds(double seconds) {
    std::lock_guard<std::mutex> lock(mutex_);
    now_ += SecondsToDays(seconds);
}

std::vector<uint32_t> FakeEnv::Sleeps() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return sleeps_;
}

std::vector<std::string> FakeEnv::Messages() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return messages_;
}

void FakeEnv::ClearRecords() {
    std::lock_guard<std::mutex> lock(mutex_);
    sleeps_.clear();
    messages_.clear();
}

}  // namespace n95
