// The POSIX environment, for real: the manual-reset event and its timed wait, the thread and
// its joins (also from its own thread), the local clock against the C library's calendar
// fields, and sleeps. Times are only bounded from below, or from above with a wide margin, so
// a loaded machine cannot fail them.
#include <time.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cmath>

#include "platform/Env.h"

namespace n95 {
namespace {

using Clock = std::chrono::steady_clock;

double MsSince(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

TEST(PosixEnvTest, EventIsManualReset) {
    auto event = Env::Default()->NewEvent();
    EXPECT_EQ(event->Wait(0), Event::WaitResult::TimedOut) << "created not signalled";
    event->Set();
    EXPECT_EQ(event->Wait(0), Event::WaitResult::Signalled);
    EXPECT_EQ(event->Wait(0), Event::WaitResult::Signalled) << "a wait does not reset it";
    event->Reset();
    EXPECT_EQ(event->Wait(0), Event::WaitResult::TimedOut);
}

TEST(PosixEnvTest, RealTimeWaitLastsItsTimeoutUnlessSet) {
    auto event = Env::Default()->NewEvent();
    auto start = Clock::now();
    EXPECT_EQ(event->Wait(60), Event::WaitResult::TimedOut);
    EXPECT_GE(MsSince(start), 60.0);

    // Set from another thread wakes a long wait long before its timeout.
    auto thread = Env::Default()->StartThread([&] {
        Env::Default()->Sleep(30);
        event->Set();
    });
    start = Clock::now();
    EXPECT_EQ(event->Wait(60000), Event::WaitResult::Signalled);
    EXPECT_LT(MsSince(start), 30000.0);
    thread->Join();
}

TEST(PosixEnvTest, RealTimeSleepBlocksForItsTime) {
    const auto start = Clock::now();
    Env::Default()->Sleep(50);
    EXPECT_GE(MsSince(start), 50.0);
}

TEST(PosixEnvTest, JoinWaitsForTheFunctionAndIsIdempotent) {
    std::atomic<int> steps{0};
    auto thread = Env::Default()->StartThread([&] {
        Env::Default()->Sleep(20);
        steps = 1;
    });
    thread->Join();
    EXPECT_EQ(steps.load(), 1);
    thread->Join();
    thread.reset();

    // Destroying an unjoined thread joins it.
    auto unjoined = Env::Default()->StartThread([&] {
        Env::Default()->Sleep(20);
        steps = 2;
    });
    unjoined.reset();
    EXPECT_EQ(steps.load(), 2);
}

TEST(PosixEnvTest, JoinFromItsOwnThreadDoesNotDeadlock) {
    std::unique_ptr<Thread> thread;
    auto go = Env::Default()->NewEvent();
    auto joined = Env::Default()->NewEvent();
    thread = Env::Default()->StartThread([&] {
        go->Wait(60000);
        thread->Join();  // its own thread: returns at once
        joined->Set();
    });
    go->Set();
    ASSERT_EQ(joined->Wait(60000), Event::WaitResult::Signalled) << "self-join deadlocked";
    thread.reset();  // the thread has let go of itself: nothing left to join
}

// The local time as a day-based date-time, by another route: the calendar fields of
// localtime_r, not the UTC offset that the environment adds.
TDateTime LocalNowFromCalendar() {
    const time_t now = ::time(nullptr);
    tm local{};
    ::localtime_r(&now, &local);
    const int64_t days = DaysFromCivil(local.tm_year + 1900, static_cast<unsigned>(local.tm_mon + 1),
                                       static_cast<unsigned>(local.tm_mday));
    const double seconds = (local.tm_hour * 60.0 + local.tm_min) * 60.0 + local.tm_sec;
    return kUnixEpochInDays + static_cast<double>(days) + seconds / kSecondsPerDay;
}

TEST(PosixEnvTest, NowIsTheLocalTimeInDays) {
    const TDateTime reference = LocalNowFromCalendar();
    const TDateTime now = Env::Default()->Now();
    EXPECT_LT(std::fabs(now - reference) * kSecondsPerDay, 5.0)
        << "now " << now << " reference " << reference;
    // Sub-second resolution: a 50 ms sleep shows.
    const TDateTime before = Env::Default()->Now();
    Env::Default()->Sleep(50);
    EXPECT_GE((Env::Default()->Now() - before) * kSecondsPerDay * 1000.0, 40.0);
}

}  // namespace
}  // namespace n95
