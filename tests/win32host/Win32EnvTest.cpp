// What the Win32 environment does beyond every environment's contract (EnvTest.cpp): a
// thread that destroys its own object or throws, the local clock against the system's own
// conversion, and the message box that must never block a test run.
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

// The local time as a day-based date-time, by the system's own route: FILETIME counts 100 ns
// since 1601-01-01, which is 109205 days before 1899-12-30.
TDateTime LocalNowFromFileTime() {
    FILETIME utc, local;
    ::GetSystemTimeAsFileTime(&utc);
    ::FileTimeToLocalFileTime(&utc, &local);
    const uint64_t ticks = (uint64_t{local.dwHighDateTime} << 32) | local.dwLowDateTime;
    return static_cast<double>(ticks) / (kSecondsPerDay * 1e7) - 109205.0;
}

TEST(Win32EnvTest, ThreadThatDestroysItsOwnObjectRunsToItsEnd) {
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
