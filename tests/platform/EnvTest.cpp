// What every environment must do, checked for real on the one the build chose (POSIX here,
// Win32 in the MinGW build under Wine): the manual-reset event and its timed wait, sleeps,
// the thread and its joins (also from its own thread). Times are bounded from below with a
// little room for a system timer's rounding, and from above only with a wide margin, so a
// loaded machine cannot fail them. Each environment's own file checks its clock.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>

#include "platform/Env.h"

namespace n95 {
namespace {

using Clock = std::chrono::steady_clock;

double MsSince(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

TEST(EnvTest, DefaultIsOneObject) {
    EXPECT_NE(Env::Default(), nullptr);
    EXPECT_EQ(Env::Default(), Env::Default());
}

TEST(EnvTest, EventIsManualReset) {
    auto event = Env::Default()->NewEvent();
    EXPECT_EQ(event->Wait(0), Event::WaitResult::TimedOut) << "created not signalled";
    event->Set();
    EXPECT_EQ(event->Wait(0), Event::WaitResult::Signalled);
    EXPECT_EQ(event->Wait(0), Event::WaitResult::Signalled) << "a wait does not reset it";
    event->Reset();
    EXPECT_EQ(event->Wait(0), Event::WaitResult::TimedOut);
}

TEST(EnvTest, RealTimeWaitLastsItsTimeoutUnlessSet) {
    auto event = Env::Default()->NewEvent();
    auto start = Clock::now();
    EXPECT_EQ(event->Wait(60), Event::WaitResult::TimedOut);
    EXPECT_GE(MsSince(start), 40.0);

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

TEST(EnvTest, RealTimeSleepBlocksForItsTime) {
    const auto start = Clock::now();
    Env::Default()->Sleep(50);
    EXPECT_GE(MsSince(start), 40.0);
}

TEST(EnvTest, JoinWaitsForTheFunctionAndIsIdempotent) {
    std::atomic<int> steps{0};
    auto thread = Env::Default()->StartThread([&] {
        Env::Default()->Sleep(20);
        steps = 1;
    });
    thread->Join();
    EXPECT_EQ(steps.load(), 1);
    thread->Join();
    thread.reset();  // the destructor joins again: nothing left to wait for

    // Destroying an unjoined thread joins it.
    auto unjoined = Env::Default()->StartThread([&] {
        Env::Default()->Sleep(20);
        steps = 2;
    });
    unjoined.reset();
    EXPECT_EQ(steps.load(), 2);
}

TEST(EnvTest, JoinFromItsOwnThreadDoesNotDeadlock) {
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
    thread->Join();  // the owner's join still waits for the end
    thread.reset();
}

}  // namespace
}  // namespace n95
