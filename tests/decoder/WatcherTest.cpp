// The watcher thread: the fix-lag check per interval, an immediate stop, and lifetimes that
// ThreadSanitizer can check (the tsan build runs these).
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "decoder/MSWatcher.h"
#include "decoder/NokiaMSN95Decode.h"
#include "tests/decoder/DecoderTestSupport.h"

namespace n95::test {
namespace {

using namespace std::chrono_literals;

class WatcherTest : public ::testing::Test {
protected:
    Journal journal;
    JournalEnv env{&journal};  // 5000 ms waits last 5 ms
    ScopedEnv scopedEnv{&env};
    TestContext context;
    std::atomic<int> calls{0};

    static void CountCall(void* self, TMSWatcher*) {
        static_cast<std::atomic<int>*>(self)->fetch_add(1);
    }
    TWatcherEvent Counter() { return TWatcherEvent{&WatcherTest::CountCall, &calls}; }
};

TEST_F(WatcherTest, CallsOncePerIntervalOnlyWhenTheLeadReachesTheThreshold) {
    TNokiaMSN95Decode decoder(nullptr, &context.Context);
    EXPECT_EQ(TMSWatcher::kInterval, 5000);
    EXPECT_EQ(TMSWatcher::kThreshold, 5);
    struct Case {
        int32_t counter;
        bool fires;
    };
    for (Case c : {Case{4, false}, Case{5, true}, Case{-3, false}, Case{1000, true}}) {
        context.FixCounter = c.counter;
        calls = 0;
        {
            TMSWatcher watcher(&decoder, &env);
            watcher.SetOnFixLag(Counter());
            std::this_thread::sleep_for(120ms);  // about 24 intervals of 5 ms
        }
        if (c.fires) {
            EXPECT_GE(calls.load(), 3) << "counter " << c.counter;
            EXPECT_LE(calls.load(), 24) << "at most one call per interval";
        } else {
            EXPECT_EQ(calls.load(), 0) << "counter " << c.counter;
        }
    }
}

// The lead is measured against the fix count of the last accepted fix, not against zero.
TEST_F(WatcherTest, LeadIsCountedFromTheLastAcceptedFix) {
    TNokiaMSN95Decode decoder(nullptr, &context.Context);
    std::vector<TTestRecord> hostRecords(3);
    decoder.SetRecordBase(-1);
    decoder.SetOnRecordCount(TRecordCountEvent{
        [](void* self, int32_t) {
            return static_cast<int32_t>(static_cast<std::vector<TTestRecord>*>(self)->size());
        },
        &hostRecords});
    decoder.StartTest();
    context.FixCounter = 1;
    context.Fix = TGpsPoint{1.0, 2.0, 46000.5};
    decoder.UpdatePosition(context.Fix);
    ASSERT_EQ(decoder.FixCountForWatcher(), 1);
    decoder.StopTest();
    for (int32_t counter : {5, 6}) {
        context.FixCounter = counter;
        calls = 0;
        {
            TMSWatcher watcher(&decoder, &env);
            watcher.SetOnFixLag(Counter());
            std::this_thread::sleep_for(60ms);
        }
        EXPECT_EQ(calls.load() > 0, counter == 6) << "counter " << counter;
    }
}

TEST_F(WatcherTest, StopIsImmediateAndNothingIsCalledAfterIt) {
    env.WaitDivisor = 1;  // a real 5 s interval: only Stop can end the wait early
    TNokiaMSN95Decode decoder(nullptr, &context.Context);
    context.FixCounter = 100;
    auto start = std::chrono::steady_clock::now();
    {
        TMSWatcher watcher(&decoder, &env);
        watcher.SetOnFixLag(Counter());
        watcher.Stop();
    }
    EXPECT_LT(std::chrono::steady_clock::now() - start, 2s);
    EXPECT_EQ(calls.load(), 0);
}

TEST_F(WatcherTest, StoppedWatcherNeverCallsAgain) {
    TNokiaMSN95Decode decoder(nullptr, &context.Context);
    context.FixCounter = 7;
    TMSWatcher watcher(&decoder, &env);
    watcher.SetOnFixLag(Counter());
    std::this_thread::sleep_for(40ms);
    watcher.Stop();
    std::this_thread::sleep_for(10ms);  // a call already past its check may still finish
    int afterStop = calls.load();
    std::this_thread::sleep_for(40ms);
    EXPECT_EQ(calls.load(), afterStop);
}

TEST_F(WatcherTest, ManyStartStopCyclesAndDestructionDuringATest) {
    TNokiaMSN95Decode decoder(nullptr, &context.Context);
    context.FixCounter = 9;
    for (int i = 0; i < 1000; ++i) {
        decoder.StartTest();
        if (i % 2 == 0)
            decoder.StartTest();
        decoder.StopTest();
    }
    EXPECT_FALSE(decoder.HasWatcher());
    for (int i = 0; i < 20; ++i) {
        auto running = std::make_unique<TNokiaMSN95Decode>(nullptr, &context.Context);
        running->StartTest();
        if (i % 2)
            std::this_thread::sleep_for(6ms);
        running.reset();  // destroyed while its watcher runs
    }
}

}  // namespace
}  // namespace n95::test
