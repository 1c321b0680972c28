// The clock and the waiting of a live run, behind one small interface, so that tests of its
// time limits (the trace wait, the duration, reconnect pauses) run on a fake clock instead of
// waiting in real time. The plug-in's own clock is the platform Env; this one is the host's.
//
// Seconds() is monotonic (it never goes back when the system time is set); WallTime() is the
// UTC time stamp given to the chunks read. WaitForInput blocks until one of the descriptors
// has input, `ms` milliseconds have passed, or a signal arrives (a stop request must end the
// wait at once).
//
// The system clock is shared and thread-safe. A fake is used by one thread.
#pragma once

#include <cstdint>
#include <functional>
#include <vector>

#include "host/common/CaptureTime.h"

namespace n95::host {

class TRunClock {
public:
    virtual ~TRunClock() = default;
    virtual double Seconds() = 0;
    virtual TCaptureTime WallTime() = 0;
    virtual void Sleep(int ms) = 0;
    // Descriptors below 0 are ignored.
    virtual void WaitForInput(const std::vector<int>& fds, int ms) = 0;

    // steady_clock, the system's UTC time, sleep_for and the seam's Poll.
    static TRunClock& System();
};

// A clock that moves only when the run waits: Sleep returns at once, having moved the time on
// by the full wait; WaitForInput returns at once too, moving the time on by the full wait
// unless a descriptor has input already. Sleeps are recorded for the tests.
class TFakeRunClock final : public TRunClock {
public:
    explicit TFakeRunClock(TCaptureTime start = {1715678400, 0}) : Start(start) {}
    double Seconds() override { return Elapsed; }
    TCaptureTime WallTime() override;
    void Sleep(int ms) override;
    void WaitForInput(const std::vector<int>& fds, int ms) override;

    // Called first in every WaitForInput with the descriptors waited on: a test plays the
    // other side of the line from here (it writes to a pseudo-terminal, then waits until
    // the bytes can be read, so that the run sees them at this moment of its clock).
    std::function<void(const std::vector<int>& fds)> OnWait;

    void Advance(double seconds) { Elapsed += seconds; }
    // Every Sleep, in milliseconds, in order.
    const std::vector<int>& Sleeps() const { return SleepLog; }

private:
    TCaptureTime Start;
    double Elapsed = 0.0;
    std::vector<int> SleepLog;
};

}  // namespace n95::host
