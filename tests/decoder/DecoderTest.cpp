// The decoder's sequences towards the handset, its state table, stored values and the
// record hand-over.
#include <gtest/gtest.h>

#include <chrono>

#include "control/TestCommands.h"
#include "decoder/NokiaMSN95Decode.h"
#include "records/DataAccessAPIUnit.h"
#include "tests/decoder/DecoderTestSupport.h"

namespace n95::test {
namespace {

using Lines = std::vector<std::string>;

// Installs a record allocation hook for one scope.
class TAllocHookGuard {
public:
    explicit TAllocHookGuard(n95::TAllocHook hook)
        : previous_(n95::SetRecordAllocHookForTesting(hook)) {}
    ~TAllocHookGuard() { n95::SetRecordAllocHookForTesting(previous_); }

private:
    n95::TAllocHook previous_;
};

const std::string kTraceOn = GetTraceCommand(true);
const std::string kTraceOff = GetTraceCommand(false);

class DecoderTest : public ::testing::Test {
protected:
    Journal journal;
    JournalEnv env{&journal};
    ScopedEnv scopedEnv{&env};
    RecordingPort port{&journal};
    TestContext context;

    std::unique_ptr<TNokiaMSN95Decode> Make(THostPort* p, THostContext* c) {
        return std::make_unique<TNokiaMSN95Decode>(p, c);
    }
    std::unique_ptr<TNokiaMSN95Decode> Make() { return Make(&port, &context.Context); }
};

// The host knows the states by number; status lines show their names.
TEST(RunStateTest, NumbersAndNames) {
    const struct {
        TRunState State;
        int Number;
        const char* Name;
    } cases[] = {{rsStopped, 0, "stopped"},
                 {rsAwaitingTrace, 1, "awaiting trace"},
                 {rsIdle, 2, "idle"},
                 {rsTesting, 3, "testing"}};
    for (const auto& c : cases) {
        EXPECT_EQ(c.State, c.Number);
        EXPECT_STREQ(RunStateName(static_cast<uint8_t>(c.Number)), c.Name);
    }
    for (int other : {4, 200, 255})
        EXPECT_STREQ(RunStateName(static_cast<uint8_t>(other)), "state ?");
}

TEST_F(DecoderTest, NewDecoderDefaults) {
    auto d = Make();
    EXPECT_EQ(d->GetState(), rsIdle);
    EXPECT_EQ(d->GetRecordCount(), 0);
    EXPECT_FALSE(d->GetRecordsReady());
    EXPECT_FALSE(d->GetConnected());
    TGpsPoint p = d->GetPosition();
    EXPECT_EQ(Value(p.X), 0.0);
    EXPECT_EQ(Value(p.Y), 0.0);
    EXPECT_EQ(Value(p.Time), 0.0);
    EXPECT_EQ(d->GetDeviceKind(), 2);
    EXPECT_EQ(d->GetHandsetCode(), 24);
    EXPECT_FALSE(d->GetLogEnabled());
    EXPECT_EQ(d->GetLogFileName(), "");
    EXPECT_EQ(d->GetLastTaggedIndex(), -1);
    EXPECT_EQ(d->GetPort(), &port);
    EXPECT_EQ(d->GetContext(), &context.Context);
    EXPECT_FALSE(d->HasWatcher());
    EXPECT_TRUE(journal.Entries().empty()) << "the constructor must not touch the port";
}

TEST_F(DecoderTest, ReplayContextStartsConnectedAndSendsNothing) {
    TestContext replay("drive.pcap");
    auto d = Make(&port, &replay.Context);
    EXPECT_TRUE(d->GetConnected());
    d->Connect(false);
    EXPECT_EQ(journal.Entries(),
              (Lines{"IsOpen", "Open(1)", "Setting1(16)", "Setting2(10)", "Setting3(10)"}));
    EXPECT_EQ(d->GetState(), rsAwaitingTrace);
    EXPECT_FALSE(d->GetConnected());
    journal.Clear();
    d->Disconnect();
    d->StopTest();
    EXPECT_EQ(journal.Entries(), (Lines{"PurgeInput", "PurgeOutput", "Sleep(20)"}))
        << "no 100 ms pause in Disconnect and no AT line while replaying";
    EXPECT_EQ(d->GetState(), rsStopped);
}

TEST_F(DecoderTest, ConnectSequences) {
    const Lines traceOn = {"Write:ATE0\r", "Sleep(50)", "Write:" + kTraceOff, "Sleep(50)",
                           "Write:" + kTraceOn};
    struct Case {
        bool open;
        Lines expected;
    };
    Lines closedStart = {"IsOpen", "Open(1)", "Setting1(16)", "Setting2(10)", "Setting3(10)"};
    Lines openStart = {"IsOpen", "Setting1(16)", "Setting2(10)", "Setting3(10)"};
    closedStart.insert(closedStart.end(), traceOn.begin(), traceOn.end());
    openStart.insert(openStart.end(), traceOn.begin(), traceOn.end());
    for (const Case& c : {Case{false, closedStart}, Case{true, openStart}}) {
        journal.Clear();
        port.Opened = c.open;
        auto d = Make();
        d->Connect(false);
        EXPECT_EQ(journal.Entries(), c.expected) << "port open: " << c.open;
        EXPECT_EQ(d->GetState(), rsAwaitingTrace);
        EXPECT_FALSE(d->GetConnected());
    }
}

TEST_F(DecoderTest, ConnectSkippingHandshakeOnlyConnects) {
    auto d = Make();
    d->SetState(rsTesting);
    d->Connect(true);
    EXPECT_TRUE(d->GetConnected());
    EXPECT_EQ(d->GetState(), rsTesting);
    EXPECT_TRUE(journal.Entries().empty());
}

TEST_F(DecoderTest, StopRestartReconnectSequences) {
    const Lines traceOn = {"Write:ATE0\r", "Sleep(50)", "Write:" + kTraceOff, "Sleep(50)",
                           "Write:" + kTraceOn};
    auto concat = [](Lines a, const Lines& b) {
        a.insert(a.end(), b.begin(), b.end());
        return a;
    };
    struct Case {
        const char* name;
        void (TNokiaMSN95Decode::*op)();
        Lines expected;
        uint8_t state;
    };
    const Case cases[] = {
        {"StopTest",
         &TNokiaMSN95Decode::StopTest,
         {"PurgeInput", "PurgeOutput", "Sleep(20)", "Write:" + kTraceOff, "Sleep(50)",
          "Write:AT*NTESTSYSTEM=0\r"},
         rsStopped},
        {"RestartTest", &TNokiaMSN95Decode::RestartTest,
         concat({"PurgeInput", "PurgeOutput"}, traceOn), rsTesting},
        {"Reconnect", &TNokiaMSN95Decode::Reconnect,
         concat({"Close", "Sleep(20)", "Open(1)", "PurgeInput", "PurgeOutput"}, traceOn),
         rsTesting},
        {"Disconnect", &TNokiaMSN95Decode::Disconnect, {"Sleep(100)"}, rsIdle},
        {"StartTest", &TNokiaMSN95Decode::StartTest, {}, rsTesting},
        {"StopDecoding", &TNokiaMSN95Decode::StopDecoding, {}, rsStopped},
    };
    for (const Case& c : cases) {
        auto d = Make();
        d->SetState(rsAwaitingTrace);
        journal.Clear();
        ((*d).*c.op)();
        EXPECT_EQ(journal.Entries(), c.expected) << c.name;
        EXPECT_EQ(d->GetState(), c.state) << c.name;
    }
}

TEST_F(DecoderTest, FailingWritesCloseThePortOncePerLineAndTheSequenceGoesOn) {
    // Fail every write, then each single write of the sequence in turn.
    std::vector<std::vector<int>> failures = {{1, 2, 3}, {1}, {2}, {3}};
    for (const auto& fail : failures) {
        journal.Clear();
        port.WriteCount = 0;
        port.FailWriteNumbers = fail;
        port.Opened = true;
        auto d = Make();
        ASSERT_NO_THROW(d->Connect(false));
        Lines entries = journal.Entries();
        int closes = 0, writes = 0, failed = 0;
        for (std::size_t i = 0; i < entries.size(); ++i) {
            if (entries[i] == "Close") {
                ++closes;
                ASSERT_GT(i, 0u);
                EXPECT_EQ(entries[i - 1].rfind("WriteFailed:", 0), 0u)
                    << "Close follows a failed write";
            }
            if (entries[i].rfind("Write:", 0) == 0)
                ++writes;
            if (entries[i].rfind("WriteFailed:", 0) == 0)
                ++failed;
        }
        EXPECT_EQ(closes, static_cast<int>(fail.size()));
        EXPECT_EQ(failed, static_cast<int>(fail.size()));
        EXPECT_EQ(writes + failed, 3) << "every line is still attempted";
        EXPECT_EQ(std::count(entries.begin(), entries.end(), "Sleep(50)"), 2);
    }
}

TEST_F(DecoderTest, NilPortSkipsPortCallsAndRunsTheRest) {
    auto d = Make(nullptr, &context.Context);
    d->Connect(false);
    EXPECT_EQ(d->GetState(), rsAwaitingTrace);
    d->StartTest();
    EXPECT_EQ(d->GetState(), rsTesting);
    EXPECT_TRUE(d->HasWatcher());
    d->RestartTest();
    d->Reconnect();
    EXPECT_EQ(d->GetState(), rsTesting);
    d->StopTest();
    EXPECT_EQ(d->GetState(), rsStopped);
    EXPECT_FALSE(d->HasWatcher());
    for (const std::string& e : journal.Entries())
        EXPECT_EQ(e.rfind("Sleep(", 0), 0u) << e;
}

TEST_F(DecoderTest, NilContextActsAsLiveWithoutWatcher) {
    auto d = Make(&port, nullptr);
    EXPECT_FALSE(d->GetConnected());
    d->StartTest();
    EXPECT_EQ(d->GetState(), rsTesting);
    EXPECT_FALSE(d->HasWatcher());
    journal.Clear();
    d->StopTest();
    EXPECT_EQ(journal.Entries().back(), "Write:AT*NTESTSYSTEM=0\r");
    d->SetContext(&context.Context);
    d->SetContext(nullptr);
    journal.Clear();
    d->Disconnect();
    EXPECT_EQ(journal.Entries(), (Lines{"Sleep(100)"}));
    d->UpdatePosition(TGpsPoint{1.0, 2.0, 46000.0});
    EXPECT_FALSE(d->GetPositionUpdated());
}

TEST_F(DecoderTest, StartTestTwiceLeavesOneWatcherAndResetsState) {
    auto d = Make();
    d->SetTestFlag(true);
    d->SetPosition(TGpsPoint{1.0, 2.0, 3.0});
    d->StartTest();
    EXPECT_TRUE(d->HasWatcher());
    EXPECT_FALSE(d->GetTestFlag());
    TGpsPoint p = d->GetPosition();
    EXPECT_EQ(Value(p.X), -9999.0);
    EXPECT_EQ(Value(p.Y), -9999.0);
    EXPECT_EQ(Value(p.Time), 0.0);
    d->StartTest();
    EXPECT_TRUE(d->HasWatcher());
    d->StopTest();
    EXPECT_FALSE(d->HasWatcher());
}

TEST_F(DecoderTest, SetStateThreeStartsNoWatcherAndResetsNothing) {
    auto d = Make();
    d->SetTestFlag(true);
    d->SetState(rsTesting);
    EXPECT_FALSE(d->HasWatcher());
    EXPECT_TRUE(d->GetTestFlag());
}

TEST_F(DecoderTest, StoredValuesComeBackExactly) {
    auto d = Make();
    d->SetOptionFlag(true);
    EXPECT_TRUE(d->GetOptionFlag());
    d->SetOptionRecord(TOptionRecord{-7, 0x7FFFFFFF});
    EXPECT_EQ(Value(d->GetOptionRecord().Word1), -7);
    EXPECT_EQ(Value(d->GetOptionRecord().Word2), 0x7FFFFFFF);
    d->SetStatusValue(-9999);
    EXPECT_EQ(d->GetStatusValue(), -9999);
    d->SetOptionValue(42);
    EXPECT_EQ(d->GetOptionValue(), 42);
    d->SetCallbackTag(77);
    EXPECT_EQ(d->GetCallbackTag(), 77);
    d->SetRecordBase(5);
    EXPECT_EQ(d->GetRecordBase(), 5);
    d->SetMessageClass(3);
    EXPECT_EQ(d->GetMessageClass(), 3);
    d->SetState(200);
    EXPECT_EQ(d->GetState(), 200);

    int receiver = 0;
    auto count = +[](void*, int32_t) -> int32_t { return 0; };
    auto get = +[](void*, int32_t, int32_t) -> TTestRecord* { return nullptr; };
    auto notify = +[](void*, void*) {};
    d->SetOnRecordCount(TRecordCountEvent{count, &receiver});
    d->SetOnGetRecord(TGetRecordEvent{get, &receiver});
    d->SetOnNotify(TNotifyEvent{notify, &receiver});
    EXPECT_EQ(d->GetOnRecordCount().Code, count);
    EXPECT_EQ(d->GetOnRecordCount().Data, &receiver);
    EXPECT_EQ(d->GetOnGetRecord().Code, get);
    EXPECT_EQ(d->GetOnGetRecord().Data, &receiver);
    EXPECT_EQ(d->GetOnNotify().Code, notify);
    EXPECT_EQ(d->GetOnNotify().Data, &receiver);

    RecordingPort other(&journal);
    d->SetPort(&other);
    EXPECT_EQ(d->GetPort(), &other);
    TGpsPoint fix{11.5, 48.25, 46000.75};
    d->SetPosition(fix);
    EXPECT_EQ(Value(d->GetPosition().X), 11.5);
    EXPECT_EQ(Value(d->GetPosition().Time), 46000.75);
}

TEST_F(DecoderTest, AbstractOperationsThrowAbstractError) {
    auto d = Make();
    THandSetDecode* h = d.get();
    void (THandSetDecode::*ops[])() = {
        &THandSetDecode::ReservedAbstract1, &THandSetDecode::ReservedAbstract2,
        &THandSetDecode::ReservedAbstract3, &THandSetDecode::ReservedAbstract4,
        &THandSetDecode::ReservedAbstract5};
    for (auto op : ops) {
        try {
            (h->*op)();
            ADD_FAILURE() << "no exception";
        } catch (const EAbstractError& e) {
            EXPECT_STREQ(e.what(), "Abstract Error");
        }
    }
}

TEST_F(DecoderTest, DoNothingOperationsChangeNothing) {
    auto d = Make();
    d->Reserved1(1, 2);
    d->Reserved2(3, 4);
    d->Reserved3(5);
    d->Reserved4(6);
    d->Reserved5(7);
    d->Reserved6(8);
    EXPECT_FALSE(d->Unsupported1());
    EXPECT_FALSE(d->Unsupported2());
    EXPECT_FALSE(d->Unsupported3());
    EXPECT_EQ(d->GetState(), rsIdle);
    EXPECT_TRUE(journal.Entries().empty());
}

TEST_F(DecoderTest, BuildTestCommandsReadsTheParameterText) {
    auto d = Make();
    TCommandParams params{12345, "UARFCN=10713\nPSC=276"};
    EXPECT_EQ(d->BuildTestCommands(521, &params), MakeTestCommands(521, "UARFCN=10713\nPSC=276"));
    EXPECT_EQ(d->BuildTestCommands(520, nullptr), MakeTestCommands(520, ""));
    TCommandParams nilText{0, nullptr};
    EXPECT_EQ(d->BuildTestCommands(0, &nilText), (Lines{"ATD;\r"}));
}

TEST_F(DecoderTest, LogEnabledNeedsAFileName) {
    auto d = Make();
    d->SetLogEnabled(true);
    EXPECT_FALSE(d->GetLogEnabled());
    EXPECT_EQ(journal.Entries(), (Lines{"Message(Please Set the LogFileName First !!!)"}));
}

// A host store of plain records reached through the two callbacks.
struct PlainHostStore {
    std::vector<TTestRecord> records;
    static int32_t Count(void* self, int32_t) {
        return static_cast<int32_t>(static_cast<PlainHostStore*>(self)->records.size());
    }
    static TTestRecord* Get(void* self, int32_t, int32_t index) {
        return &static_cast<PlainHostStore*>(self)->records.at(static_cast<std::size_t>(index));
    }
    void Attach(THandSetDecode& d) {
        d.SetOnRecordCount(TRecordCountEvent{&PlainHostStore::Count, this});
        d.SetOnGetRecord(TGetRecordEvent{&PlainHostStore::Get, this});
    }
};

TEST_F(DecoderTest, RestartTestClearsTheTaggedCountAndReconnectKeepsIt) {
    PlainHostStore store;
    store.records.resize(3);
    struct Case {
        void (TNokiaMSN95Decode::*op)();
        int32_t lastTagged;
    };
    for (Case c :
         {Case{&TNokiaMSN95Decode::RestartTest, -1}, Case{&TNokiaMSN95Decode::Reconnect, 2}}) {
        auto d = Make();
        store.Attach(*d);
        d->StartTest();
        d->StopTest();  // skips the three pending host records
        EXPECT_TRUE(d->GetPositionUpdated());
        EXPECT_EQ(d->GetLastTaggedIndex(), 2);
        EXPECT_FALSE(d->GetPositionUpdated());
        ((*d).*c.op)();
        EXPECT_EQ(d->GetLastTaggedIndex(), c.lastTagged);
    }
}

TEST_F(DecoderTest, StartTestHidesRecordsStillQueued) {
    auto d = Make(nullptr, nullptr);
    d->StartTest();
    std::string frame = MakeFrame(0x22, 0, 0, CodePayload(5));
    std::string text;
    d->DecodeData(frame.data(), static_cast<int32_t>(frame.size()), text);
    EXPECT_EQ(d->GetRecordCount(), 1);
    d->StartTest();
    EXPECT_FALSE(d->GetRecordsReady());
    EXPECT_EQ(d->GetRecordCount(), 0) << "the count needs the ready flag";
    EXPECT_NE(d->GetRecord(0), nullptr) << "the copy is still queued";
    d->FreeRecord(0);
    d->ClearRecords();
}

TEST_F(DecoderTest, CommitRecordFlagCopiesTheFlag) {
    auto d = Make();
    TTestRecord* current = d->CurrentRecordForTesting();
    for (uint8_t flag : {uint8_t{7}, uint8_t{0}, uint8_t{255}}) {
        current->RecordFlag = flag;
        d->CommitRecordFlag(-1);
        EXPECT_EQ(Value(current->CommittedFlag), flag);
    }
}

TEST_F(DecoderTest, StartTestWithoutContextStopsTheRunningWatcher) {
    auto d = Make();
    d->StartTest();
    EXPECT_TRUE(d->HasWatcher());
    d->SetContext(nullptr);
    d->StartTest();
    EXPECT_FALSE(d->HasWatcher());
}

TEST_F(DecoderTest, ConstructorOutOfMemoryReleasesWhatItBuilt) {
    auto failing = +[](std::size_t, std::size_t, bool) -> void* { return nullptr; };
    TAllocHookGuard guard(failing);
    EXPECT_THROW(TNokiaMSN95Decode(&port, &context.Context), std::bad_alloc);
}

TEST_F(DecoderTest, RealTimeTraceOnLinesAreAtLeast50msApart) {
    ScopedEnv realEnv(nullptr);
    using Clock = std::chrono::steady_clock;
    struct TimedPort final : public NullHostPort {
        std::vector<Clock::time_point> writes;
        void WriteData(const void*, int32_t) override { writes.push_back(Clock::now()); }
    } timed;
    TNokiaMSN95Decode d(&timed, &context.Context);
    d.Connect(false);
    ASSERT_EQ(timed.writes.size(), 3u);
    for (int i = 1; i < 3; ++i) {
        EXPECT_GE(timed.writes[i] - timed.writes[i - 1], std::chrono::milliseconds(50));
    }
}

}  // namespace
}  // namespace n95::test
