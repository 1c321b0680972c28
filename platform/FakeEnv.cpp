#include "platform/FakeEnv.h"

namespace n95 {

void FakeEnv::Sleep(uint32_t ms) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        sleeps_.push_back(ms);
        if (AdvanceOnSleep)
            now_ += SecondsToDays(ms / 1000.0);
    }
    if (OnRecord)
        OnRecord("Sleep(" + std::to_string(ms) + ")");
}

TDateTime FakeEnv::Now() {
    std::lock_guard<std::mutex> lock(mutex_);
    return now_;
}

void FakeEnv::ShowMessage(const std::string& text) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        messages_.push_back(text);
    }
    if (OnRecord)
        OnRecord("Message(" + text + ")");
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
