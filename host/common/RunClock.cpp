#include "host/common/RunClock.h"

#include <poll.h>

#include <chrono>
#include <cmath>
#include <thread>

namespace n95::host {

namespace {

// At most the run's port and its GPS are waited on.
constexpr std::size_t kMaxWaited = 4;

nfds_t Polled(const std::vector<int>& fds, pollfd (&polled)[kMaxWaited]) {
    nfds_t count = 0;
    for (const int fd : fds)
        if (fd >= 0 && count < kMaxWaited)
            polled[count++] = {fd, POLLIN, 0};
    return count;
}

class TSystemRunClock final : public TRunClock {
public:
    double Seconds() override {
        return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch())
            .count();
    }
    TCaptureTime WallTime() override { return CaptureTimeNow(); }
    void Sleep(int ms) override { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }
    void WaitForInput(const std::vector<int>& fds, int ms) override {
        pollfd polled[kMaxWaited];
        ::poll(polled, Polled(fds, polled), ms);  // a signal or an error ends it early: harmless
    }
};

}  // namespace

TRunClock& TRunClock::System() {
    static TSystemRunClock clock;
    return clock;
}

TCaptureTime TFakeRunClock::WallTime() {
    const auto nanoseconds = static_cast<int64_t>(std::llround(Elapsed * 1e9));
    return CaptureTimeFromNanoseconds(Start.Seconds * 1000000000 + Start.Nanoseconds + nanoseconds);
}

void TFakeRunClock::Sleep(int ms) {
    SleepLog.push_back(ms);
    Elapsed += ms / 1000.0;
}

void TFakeRunClock::WaitForInput(const std::vector<int>& fds, int ms) {
    if (OnWait)
        OnWait(fds);
    pollfd polled[kMaxWaited];
    if (::poll(polled, Polled(fds, polled), 0) <= 0)
        Elapsed += ms / 1000.0;
}

}  // namespace n95::host
