// The environment double the decoder's tests run on: its clock moves only when told (or by
// the time slept, when asked), sleeps and messages are recorded in order and journalled, and
// its events are real ones whose timed waits are shortened.
#include "platform/FakeEnv.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>

namespace n95 {
namespace {

TEST(FakeEnvTest, TheClockMovesOnlyWhenToldOrBySleepsWhenAsked) {
    FakeEnv env;
    const TDateTime start = env.Now();
    env.Sleep(1000);
    EXPECT_EQ(env.Now(), start) << "a sleep leaves the clock by default";
    env.AdvanceOnSleep = true;
    env.Sleep(1500);
    // Days of about 46000 keep a second to within a microsecond.
    EXPECT_NEAR(DateTimeToUnixSeconds(env.Now()) - DateTimeToUnixSeconds(start), 1.5, 1e-6);
    env.AdvanceSeconds(-0.5);
    EXPECT_NEAR(DateTimeToUnixSeconds(env.Now()) - DateTimeToUnixSeconds(start), 1.0, 1e-6);
    env.SetNow(45000.25);
    EXPECT_EQ(env.Now(), 45000.25);
}

TEST(FakeEnvTest, SleepsAndMessagesAreRecordedAndJournalledInOrder) {
    FakeEnv env;
    env.Sleep(50);
    env.ShowMessage("before the journal");
    std::vector<std::string> journal;
    env.OnRecord = [&](const std::string& entry) { journal.push_back(entry); };
    env.Sleep(20);
    env.ShowMessage("trace limit");
    env.Sleep(0);
    EXPECT_EQ(env.Sleeps(), (std::vector<uint32_t>{50, 20, 0}));
    EXPECT_EQ(env.Messages(), (std::vector<std::string>{"before the journal", "trace limit"}));
    EXPECT_EQ(journal, (std::vector<std::string>{"Sleep(20)", "Message(trace limit)", "Sleep(0)"}));
    env.ClearRecords();
    EXPECT_TRUE(env.Sleeps().empty());
    EXPECT_TRUE(env.Messages().empty());
    EXPECT_EQ(journal.size(), 3u) << "the journal is the test's";
}

TEST(FakeEnvTest, EventsAreRealAndTheirWaitsAreShortened) {
    struct Case {
        uint32_t Divisor;
        uint32_t WaitMs;
    };
    // A divisor of 0 is taken as 1; a wait of an hour divided by a million is a few ms.
    const Case cases[] = {{1, 0}, {0, 0}, {1000000, 3600000}};
    for (const Case& c : cases) {
        FakeEnv env;
        env.WaitDivisor = c.Divisor;
        auto event = env.NewEvent();
        EXPECT_EQ(event->Wait(c.WaitMs), Event::WaitResult::TimedOut) << c.Divisor;
        std::atomic<bool> ran{false};
        auto thread = env.StartThread([&] {
            ran = true;
            event->Set();
        });
        // Joined first: a wait shortened to a few milliseconds may end before a slow system
        // (Wine) has started the thread at all; the event stays set until Reset.
        thread->Join();
        EXPECT_TRUE(ran.load());
        EXPECT_EQ(event->Wait(3600000), Event::WaitResult::Signalled) << c.Divisor;
        event->Reset();
        EXPECT_EQ(event->Wait(c.WaitMs), Event::WaitResult::TimedOut) << c.Divisor;
    }
}

}  // namespace
}  // namespace n95
