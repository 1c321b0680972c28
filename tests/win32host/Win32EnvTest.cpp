// The Win32 environment: the manual-reset event and its timed wait, the thread and its join
// (also from its own thread), the local clock against the system's own conversion, and the
// message box that must never block a test run.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cmath>

#include "platform/Env.h"

namespace n95 {
namespace {

// Milliseconds on the performance counter.
double NowMs() {
    LARGE_INTEGER count, frequency;
    ::QueryPerformanceCounter(&count);
    ::QueryPerformanceFrequency(&frequency);
    return 1000.0 * static_cast<double>(count.QuadPart) / static_cast<double>(frequency.QuadPart);
}

// The local time as a day-based date-time, by the system's own route: FILETIME counts 100 ns
// since 1601-01-01, which is 109205 days before 1899-12-30.
TDateTime LocalNowFromFileTime() {
    FILETIME utc, local;
    ::GetSystemTimeAsFileTime(&utc);
    ::FileTimeToLocalFileTime(&utc, &local);
    const uint64_t ticks = (uint64_t{local.dwHighDateTime} << 32) | local.dwLowDateTime;
    return static_cast<double>(ticks) / (kSecondsPerDay * 1e7) - 109205.0;
}

TEST(Win32EnvTest, DefaultIsOneObject) {
    EXPECT_NE(Env::Default(), nullptr);
    EXPECT_EQ(Env::Default(), Env::Default());
}

TEST(Win32EnvTest, EventIsManualReset) {
    auto event = Env::Default()->NewEvent();
    EXPECT_EQ(event->Wait(0), Event::WaitResult::TimedOut) << "created not signalled";
    event->Set();
    EXPECT_EQ(event->Wait(0), Event::WaitResult::Signalled);
    EXPECT_EQ(event->Wait(0), Event::WaitResult::Signalled) << "a wait does not reset it";
    event->Reset();
    EXPECT_EQ(event->Wait(0), Event::WaitResult::TimedOut);
}

TEST(Win32EnvTest, RealTimeWaitLastsItsTimeoutUnlessSet) {
    auto event = Env::Default()->NewEvent();
    double start = NowMs();
    EXPECT_EQ(event->Wait(60), Event::WaitResult::TimedOut);
    EXPECT_GE(NowMs() - start, 40.0);  // the system timer may round a little

    // Set from another thread wakes a long wait at once.
    std::atomic<bool> started{false};
    auto thread = Env::Default()->StartThread([&] {
        started = true;
        ::Sleep(30);
        event->Set();
    });
    start = NowMs();
    EXPECT_EQ(event->Wait(10000), Event::WaitResult::Signalled);
    EXPECT_LT(NowMs() - start, 5000.0);
    thread->Join();
    EXPECT_TRUE(started);
}

TEST(Win32EnvTest, JoinWaitsForTheFunctionAndIsIdempotent) {
    std::atomic<int> steps{0};
    auto thread = Env::Default()->StartThread([&] {
        ::Sleep(30);
        steps = 1;
    });
    thread->Join();
    EXPECT_EQ(steps.load(), 1);
    thread->Join();
    thread.reset();  // the destructor joins again: nothing left to wait for

    // Destroying an unjoined thread joins it.
    auto unjoined = Env::Default()->StartThread([&] {
        ::Sleep(30);
        steps = 2;
    });
    unjoined.reset();
    EXPECT_EQ(steps.load(), 2);
}

TEST(Win32EnvTest, JoinFromItsOwnThreadDoesNotDeadlock) {
    std::unique_ptr<Thread> thread;
    auto ready = Env::Default()->NewEvent();
    auto joined = Env::Default()->NewEvent();
    thread = Env::Default()->StartThread([&] {
        ready->Wait(10000);
        thread->Join();  // its own thread: returns at once
        joined->Set();
    });
    ready->Set();
    ASSERT_EQ(joined->Wait(10000), Event::WaitResult::Signalled) << "self-join deadlocked";
    thread->Join();  // the owner's join still waits for the end
    thread.reset();

    // A thread that destroys its own Thread object runs on to its end.
    std::unique_ptr<Thread> self;
    auto done = Env::Default()->NewEvent();
    auto go = Env::Default()->NewEvent();
    self = Env::Default()->StartThread([&] {
        go->Wait(10000);
        self.reset();
        done->Set();
    });
    go->Set();
    EXPECT_EQ(done->Wait(10000), Event::WaitResult::Signalled);
}

TEST(Win32EnvTest, ExceptionInTheThreadEndsOnlyTheThread) {
    auto thread = Env::Default()->StartThread([] { throw std::runtime_error("boom"); });
    thread->Join();
    SUCCEED();
}

TEST(Win32EnvTest, NowIsTheLocalTimeInDays) {
    const TDateTime reference = LocalNowFromFileTime();
    const TDateTime now = Env::Default()->Now();
    EXPECT_LT(std::fabs(now - reference) * kSecondsPerDay, 2.0)
        << "now " << now << " reference " << reference;
    // Milliseconds are kept: a 50 ms sleep shows.
    const TDateTime before = Env::Default()->Now();
    Env::Default()->Sleep(50);
    const double elapsedMs = (Env::Default()->Now() - before) * kSecondsPerDay * 1000.0;
    EXPECT_GE(elapsedMs, 30.0);
    EXPECT_LT(elapsedMs, 5000.0);
}

TEST(Win32EnvTest, RealTimeSleepBlocksForItsTime) {
    const double start = NowMs();
    Env::Default()->Sleep(50);
    EXPECT_GE(NowMs() - start, 40.0);
}

TEST(Win32EnvTest, MessageGoesToStandardErrorWhenBoxesAreOff) {
    char previous[16];
    const bool had = ::GetEnvironmentVariableA("N95_NO_MESSAGE_BOX", previous, sizeof previous) > 0;
    ::SetEnvironmentVariableA("N95_NO_MESSAGE_BOX", "1");
    testing::internal::CaptureStderr();
    Env::Default()->ShowMessage("Please Set the LogFileName First !!!");
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "Please Set the LogFileName First !!!\n");
    if (!had)
        ::SetEnvironmentVariableA("N95_NO_MESSAGE_BOX", nullptr);
}

}  // namespace
}  // namespace n95
