#include "host/common/RunClock.h"

#include <chrono>
#include <cmath>
#include <thread>

#include "host/common/SystemCalls.h"

namespace n95::host {

namespace {

// At most the run's port and its GPS are waited on.
constexpr std::size_t kMaxWaited = 4;

// Waits through the system's own calls, not the installed ones: the clock's waits are not
// the file and port calls that a test double counts and fails.
int WaitOn(const std::vector<int>& fds, int ms) {
    TPollEntry polled[kMaxWaited];
    int count = 0;
    for (const int fd : fds)
        if (fd >= 0 && count < static_cast<int>(kMaxWaited))
            polled[count++] = {fd, kPollIn, 0};
    return TSystemCalls::Default().Poll(polled, count, ms);
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
        WaitOn(fds, ms);  // a signal or an error ends it early: harmless
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
    if (WaitOn(fds, 0) <= 0)
        Elapsed += ms / 1000.0;
}

}  // namespace n95::host
