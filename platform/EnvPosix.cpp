// The POSIX environment: std::thread, a condition-variable event, clock_gettime.
#include <time.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <thread>

#include "platform/Env.h"

namespace n95 {

namespace {

class PosixEvent final : public Event {
public:
    void Set() override {
        std::lock_guard<std::mutex> lock(mutex_);
        signalled_ = true;
        cond_.notify_all();
    }
    void Reset() override {
        std::lock_guard<std::mutex> lock(mutex_);
        signalled_ = false;
    }
    WaitResult Wait(uint32_t timeoutMs) override {
        std::unique_lock<std::mutex> lock(mutex_);
        bool ok = cond_.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                                 [this] { return signalled_; });
        return ok ? WaitResult::Signalled : WaitResult::TimedOut;
    }

private:
    std::mutex mutex_;
    std::condition_variable cond_;
    bool signalled_ = false;
};

class PosixThread final : public Thread {
public:
    explicit PosixThread(std::function<void()> body) : thread_(std::move(body)) {}
    ~PosixThread() override { Join(); }
    void Join() override {
        if (!thread_.joinable())
            return;
        // A thread cannot wait for itself; let it finish on its own instead.
        if (thread_.get_id() == std::this_thread::get_id()) {
            thread_.detach();
        } else {
            thread_.join();
        }
    }

private:
    std::thread thread_;
};

class PosixEnv final : public Env {
public:
    void Sleep(uint32_t ms) override { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

    TDateTime Now() override {
        timespec ts{};
        clock_gettime(CLOCK_REALTIME, &ts);
        time_t seconds = ts.tv_sec;
        tm local{};
        localtime_r(&seconds, &local);
        double localSeconds = static_cast<double>(ts.tv_sec) +
                              static_cast<double>(local.tm_gmtoff) +
                              static_cast<double>(ts.tv_nsec) / 1e9;
        return UnixSecondsToDateTime(localSeconds);
    }

    void ShowMessage(const std::string& text) override {
        std::fprintf(stderr, "%s\n", text.c_str());
        std::fflush(stderr);
    }

    std::unique_ptr<Event> NewEvent() override { return std::make_unique<PosixEvent>(); }

    std::unique_ptr<Thread> StartThread(std::function<void()> body) override {
        return std::make_unique<PosixThread>(std::move(body));
    }
};

}  // namespace

Env* Env::Default() {
    static PosixEnv env;
    return &env;
}

}  // namespace n95
