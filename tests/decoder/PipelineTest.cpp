// Frames through the decoder: the trace check, the decode chain, the queue, the frame log,
// the data rate, and a whole run the way a host drives it.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <fstream>
#include <iterator>

#include "decoder/NokiaMSN95Decode.h"
#include "records/DataAccessAPIUnit.h"
#include "tests/decoder/DecoderTestSupport.h"

namespace n95::test {
namespace {

constexpr double kSecond = 1.0 / kSecondsPerDay;

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::string TempPath(const std::string& name) {
    return ::testing::TempDir() + "n95-" + std::to_string(::getpid()) + "-" + name;
}

class PipelineTest : public ::testing::Test {
protected:
    Journal journal;
    JournalEnv env{&journal};
    ScopedEnv scopedEnv{&env};
    RecordingPort port{&journal};
    TestContext context;
    std::unique_ptr<TNokiaMSN95Decode> d =
        std::make_unique<TNokiaMSN95Decode>(&port, &context.Context);

    std::string Feed(const std::string& chunk) {
        std::string text = "unchanged";
        d->DecodeData(chunk.data(), static_cast<int32_t>(chunk.size()), text);
        return text;
    }
    // Takes every queued copy, checks it, releases it and clears the queue.
    std::vector<uint32_t> Collect() {
        std::vector<uint32_t> codes;
        int32_t n = d->GetRecordCount();
        for (int32_t i = 0; i < n; ++i) {
            // An entry already released by FreeRecord reads as nil.
            if (TTestRecord* r = d->GetRecord(i))
                codes.push_back(Value(r->MessageCode));
            EXPECT_TRUE(d->FreeRecord(i));
        }
        EXPECT_TRUE(d->ClearRecords());
        return codes;
    }
    void TearDown() override {
        if (d)
            Collect();
        d.reset();
    }
};

TEST_F(PipelineTest, TraceIsConfirmedWithinFiftySecondsOnly) {
    // The limit counts from the start of Connect, so the 0.1 s of pauses between its three AT
    // lines count too: a frame 49.85 s after Connect returns arrives 49.95 s after the start.
    const std::string frame = MakeFrame(0x22, 0, 0, CodePayload(0x1234));
    struct Case {
        double after;
        bool confirmed;
    };
    for (Case c : {Case{0.0, true}, Case{49.0, true}, Case{49.85, true}, Case{50.0, false},
                   Case{3600.0, false}}) {
        d->SetStatusValue(7);
        d->Connect(false);
        env.AdvanceSeconds(c.after);
        EXPECT_EQ(Feed(frame), "");
        EXPECT_EQ(d->GetState(), rsStopped) << c.after;
        EXPECT_EQ(d->GetConnected(), c.confirmed) << c.after;
        EXPECT_EQ(d->GetStatusValue(), c.confirmed ? 0 : 7) << c.after;
        EXPECT_EQ(d->GetRecordCount(), 0);
    }
    EXPECT_EQ(std::bit_cast<uint64_t>(TNokiaMSN95Decode::kTraceLimit), 0x3F42F684BDA12F68u);
}

TEST_F(PipelineTest, TheLimitIsComparedExactlyFromConnect) {
    const std::string frame = MakeFrame(0x22, 0, 0, CodePayload(0x1234));
    // From a start of 0 the distance is exactly the limit; from a real date, the nearest.
    for (auto [start, atLimit] : {std::pair{0.0, false}, std::pair{0.0, true},
                                  std::pair{46000.25, false}, std::pair{46000.25, true}}) {
        env.SetNow(start);
        // The first clock reading whose distance from the start reaches the limit, and the one
        // before it.
        TDateTime limit = start + TNokiaMSN95Decode::kTraceLimit;
        while (limit - start < TNokiaMSN95Decode::kTraceLimit)
            limit = std::nextafter(limit, 1e9);
        d->Connect(false);
        env.SetNow(atLimit ? limit : std::nextafter(limit, 0.0));
        Feed(frame);
        EXPECT_EQ(d->GetState(), rsStopped);
        EXPECT_EQ(d->GetConnected(), !atLimit);
    }
}

TEST_F(PipelineTest, NoFrameLeavesTheDecoderAwaitingTrace) {
    d->Connect(false);
    env.AdvanceSeconds(500);
    EXPECT_EQ(Feed("\r\nOK\r\n"), "");
    EXPECT_EQ(d->GetState(), rsAwaitingTrace);
}

TEST_F(PipelineTest, StoppedAndIdleFramesAreOnlyCounted) {
    const std::string frame = MakeFrame(0x22, 0, 0, CodePayload(0x713A0301));
    for (uint8_t state : {rsStopped, rsIdle}) {
        d->SetState(state);
        EXPECT_EQ(Feed(frame + frame), "");
        EXPECT_EQ(d->GetRecordCount(), 0);
        EXPECT_FALSE(d->GetRecordsReady());
        EXPECT_EQ(d->GetMessageClass(), 0);
    }
    EXPECT_EQ(d->GetDataRate(), 0);
    env.AdvanceSeconds(2.0);
    Feed(frame);
    EXPECT_EQ(d->GetDataRate(), static_cast<int32_t>(frame.size() / 2));
}

TEST_F(PipelineTest, TestingStateDecodesQueuesAndReturnsPassedFrames) {
    d->StartTest();
    const std::string a = MakeFrame(0x22, 0, 0, CodePayload(0x713A0301));
    const std::string b = MakeFrame(0x23, 1, 0, CodePayload(0x713A032D, 20));
    const std::string tooShort = MakeFrame(0x24, 0, 0, "abc");  // the decoder rejects it
    port.TimeStamp = 46001.0;
    EXPECT_EQ(Feed(a + tooShort + b), a + b);
    EXPECT_TRUE(d->GetRecordsReady());
    ASSERT_EQ(d->GetRecordCount(), 2);
    EXPECT_EQ(d->GetMessageClass(), 3);
    TTestRecord* r = d->GetRecord(1);
    EXPECT_EQ(Value(r->MessageCode), 0x713A032Du);
    EXPECT_EQ(Value(r->TestTime), 46001.0);
    EXPECT_EQ(Value(r->StampTime), 46001.0);
    EXPECT_EQ(port.TimeStampReads, 4)
        << "two separate reads per decoded frame, none for ungated keys";
    EXPECT_EQ(Value(r->KindWord) & 0x80000000u, 0u);
    EXPECT_EQ(d->GetRecord(2), nullptr);
    EXPECT_EQ(d->GetRecord(-1), nullptr);
    EXPECT_EQ(Collect(), (std::vector<uint32_t>{0x713A0301u, 0x713A032Du}));
    EXPECT_EQ(d->GetRecordCount(), 0);
    EXPECT_FALSE(d->GetRecordsReady());
}

TEST_F(PipelineTest, FreeRecordTwiceIsHarmless) {
    d->StartTest();
    Feed(MakeFrame(0x22, 0, 0, CodePayload(1)));
    ASSERT_EQ(d->GetRecordCount(), 1);
    EXPECT_TRUE(d->FreeRecord(0));
    EXPECT_EQ(d->GetRecord(0), nullptr);
    EXPECT_TRUE(d->FreeRecord(0));
    EXPECT_TRUE(d->FreeRecord(99));
    EXPECT_EQ(d->GetRecordCount(), 1) << "the entry stays until ClearRecords";
}

TEST_F(PipelineTest, ThrottleThroughTheDecoder) {
    d->StartTest();
    struct Step {
        uint8_t b0, b1, b2;
        double at;  // seconds
        bool passes;
        std::string payload;
    };
    const std::string ok = CodePayload(0x00030000);
    const std::vector<Step> steps = {
        {0x01, 0x00, 0x00, 0.0, true, ok},   // key 0x1000 first time
        {0x01, 0x00, 0x00, 0.4, false, ok},  // 0.4 s later: dropped
        {0x11, 0x00, 0x00, 0.6, true, ok},   // high nibble lost: key 0x1000 again, 0.6 s: passes
        {0x01, 0x01, 0x00, 1.0, true, ok},   // key 0x1040
        {0x01, 0x00, 0x40, 1.2, false, ok},  // the same key 0x1040
        {0x03, 0x03, 0x00, 2.0, true, "x"},  // 0x30C0 passes the throttle, the decoder rejects it
        {0x03, 0x03, 0x00, 2.5, false, ok},  // ...but its interval was consumed
        {0x03, 0x02, 0x00, 2.6, true, ok},   // 0x3080 is not affected by 0x30C0
        {0x03, 0x03, 0x00, 3.0, true, ok},   // a second after the rejected frame
        {0x05, 0x00, 0x00, 3.0, true, ok},   // ungated
        {0x05, 0x00, 0x00, 3.0, true, ok},
    };
    const TDateTime base = 46002.0;
    for (std::size_t i = 0; i < steps.size(); ++i) {
        const Step& s = steps[i];
        port.TimeStamp = base + s.at * kSecond;
        std::string frame = MakeFrame(s.b0, s.b1, s.b2, s.payload);
        bool decodable = s.payload.size() >= 4;
        EXPECT_EQ(Feed(frame), s.passes && decodable ? frame : "") << "step " << i;
    }
}

TEST_F(PipelineTest, ClassOnlyChangesForClassifiedCodes) {
    d->StartTest();
    struct Case {
        uint32_t code;
        uint8_t classAfter;
    };
    for (Case c : {Case{0x12340301, 1}, Case{0x00000112, 1}, Case{0x0000068D, 0},
                   Case{0x713A030F, 2}, Case{0x00030000, 2}, Case{0x412F0401, 0}}) {
        Feed(MakeFrame(0x22, 0, 0, CodePayload(c.code)));
        EXPECT_EQ(d->GetMessageClass(), c.classAfter) << std::hex << c.code;
    }
}

TEST_F(PipelineTest, BadBuffersParseNothing) {
    d->StartTest();
    std::string text = "old";
    d->DecodeData(nullptr, 10, text);
    EXPECT_EQ(text, "");
    text = "old";
    const char byte = 0;
    d->DecodeData(&byte, 0, text);
    EXPECT_EQ(text, "");
    d->DecodeData(&byte, -5, text);
    EXPECT_EQ(text, "");
}

TEST_F(PipelineTest, NoPortUsesTheLocalClock) {
    d->SetPort(nullptr);
    d->StartTest();
    env.SetNow(46003.5);
    Feed(MakeFrame(0x01, 0, 0, CodePayload(9)));
    ASSERT_EQ(d->GetRecordCount(), 1);
    EXPECT_EQ(Value(d->GetRecord(0)->TestTime), 46003.5);
}

TEST_F(PipelineTest, FrameLogWritesPassedFramesByteExact) {
    const std::string path = TempPath("log1.txt");
    const std::string other = TempPath("log2.txt");
    d->SetLogFileName(path);
    d->SetLogEnabled(true);
    EXPECT_TRUE(d->GetLogEnabled());
    d->StartTest();
    const std::string a = MakeFrame(0x22, 0, 0, CodePayload(1) + std::string("\r\n\0x", 4));
    const std::string rejected = MakeFrame(0x22, 0, 0, "ab");
    const std::string b = MakeFrame(0x23, 0, 0, CodePayload(2));
    Feed(a + rejected);
    EXPECT_EQ(ReadFile(path), a + "\r\n") << "flushed at the end of each call";
    Feed(b);
    EXPECT_EQ(ReadFile(path), a + "\r\n" + b + "\r\n");
    d->SetLogFileName(path);  // same name: not truncated
    Feed(a);
    EXPECT_EQ(ReadFile(path), a + "\r\n" + b + "\r\n" + a + "\r\n");
    { std::ofstream(other) << "old contents"; }
    d->SetLogFileName(other);  // new name: truncated, logging stays on
    EXPECT_TRUE(d->GetLogEnabled());
    EXPECT_EQ(ReadFile(other), "");
    Feed(b);
    EXPECT_EQ(ReadFile(other), b + "\r\n");
    d->SetLogEnabled(false);
    Feed(a);
    EXPECT_EQ(ReadFile(other), b + "\r\n");
    Collect();
    d.reset();  // closes the log
    std::remove(path.c_str());
    std::remove(other.c_str());
}

TEST_F(PipelineTest, LogThatCannotBeCreatedLeavesNoLog) {
    const std::string bad = "/nonexistent-dir/n95/log.txt";
    try {
        d->SetLogFileName(bad);
        ADD_FAILURE() << "no error";
    } catch (const EInOutError& e) {
        EXPECT_NE(std::string(e.what()).find(bad), std::string::npos) << e.what();
    }
    EXPECT_EQ(d->GetLogFileName(), "");
    EXPECT_FALSE(d->GetLogEnabled());
    d->StartTest();
    Feed(MakeFrame(0x22, 0, 0, CodePayload(3)));
    EXPECT_EQ(d->GetRecordCount(), 1) << "decoding goes on";
}

TEST_F(PipelineTest, FullDiskRaisesTheErrorAndKeepsQueuedRecords) {
    if (access("/dev/full", W_OK) != 0)
        GTEST_SKIP() << "no /dev/full";
    d->SetLogFileName("/dev/full");
    d->SetLogEnabled(true);
    d->StartTest();
    std::string chunk;
    for (uint32_t i = 0; i < 3; ++i)
        chunk += MakeFrame(0x22, 0, 0, CodePayload(i));
    EXPECT_THROW(Feed(chunk), EInOutError);
    EXPECT_EQ(Collect().size(), 3u) << "every queued record stays deliverable";
}

TEST_F(PipelineTest, LogWriteErrorEndsTheCallAfterTheFrameWasQueued) {
    const std::string path = TempPath("log3.txt");
    d->SetLogFileName(path);
    d->SetLogEnabled(true);
    d->StartTest();
    std::string chunk;
    for (uint32_t i = 0; i < 4; ++i)
        chunk += MakeFrame(0x22, 0, 0, CodePayload(i));
    n95::SetFrameLogWriteFailureForTesting(2);
    EXPECT_THROW(Feed(chunk), EInOutError);
    n95::SetFrameLogWriteFailureForTesting(0);
    EXPECT_EQ(Collect(), (std::vector<uint32_t>{0, 1})) << "the rest of the chunk is not parsed";
    d.reset();
    EXPECT_EQ(ReadFile(path), MakeFrame(0x22, 0, 0, CodePayload(0)) + "\r\n");
    std::remove(path.c_str());
}

// A whole run the way a host drives it: connect, confirm, start, chunks with fixes between
// them, hand-over cycles into a host-side store that keeps copies, stop.
class HostStore {
public:
    ~HostStore() {
        for (TTestRecord* r : records)
            FreeTestRecord(r);
    }
    static int32_t Count(void* self, int32_t tag) {
        auto* s = static_cast<HostStore*>(self);
        EXPECT_EQ(tag, 99);
        return static_cast<int32_t>(s->records.size());
    }
    static TTestRecord* Get(void* self, int32_t, int32_t index) {
        return static_cast<HostStore*>(self)->records.at(static_cast<std::size_t>(index));
    }
    std::vector<TTestRecord*> records;
};

TEST_F(PipelineTest, WholeRunTagsHostRecordsAlongTheFixes) {
    HostStore store;
    d->SetCallbackTag(99);
    d->SetRecordBase(-1);
    d->SetOnRecordCount(TRecordCountEvent{&HostStore::Count, &store});
    d->SetOnGetRecord(TGetRecordEvent{&HostStore::Get, &store});

    d->Connect(false);
    env.AdvanceSeconds(2);
    Feed(MakeFrame(0x22, 0, 0, CodePayload(0)));
    ASSERT_TRUE(d->GetConnected());
    d->StartTest();

    // Batches of host records between fixes; fix k is at (k, 2k).
    const std::vector<int> batches = {3, 1, 4, 0, 2};
    std::vector<std::pair<double, double>> expected;
    TDateTime t = 46010.0;
    std::pair<double, double> previous{0, 0};
    for (std::size_t k = 0; k < batches.size(); ++k) {
        std::string chunk;
        for (int i = 0; i < batches[k]; ++i)
            chunk += MakeFrame(0x22, 0, 0, CodePayload(1000 * k + i));
        port.TimeStamp = t;
        Feed(chunk);
        for (int32_t i = 0, n = d->GetRecordCount(); i < n; ++i) {
            store.records.push_back(CopyTestRecord(d->GetRecord(i)));
            d->FreeRecord(i);
        }
        d->ClearRecords();
        t += 2 * kSecond;
        ++context.FixCounter;
        context.Fix = TGpsPoint{double(k + 1), double(2 * (k + 1)), t};
        d->UpdatePosition(context.Fix);
        std::pair<double, double> fix{double(k + 1), double(2 * (k + 1))};
        int n = batches[k];
        for (int m = 0; m < n; ++m) {
            if (k == 0 || n == 1) {
                expected.push_back(fix);
            } else {
                double h = double(m) / (n - 1);
                expected.push_back({previous.first + (fix.first - previous.first) * h,
                                    previous.second + (fix.second - previous.second) * h});
            }
        }
        previous = fix;
    }
    // Records decoded after the last fix are skipped by StopTest and keep the fix they were
    // queued with.
    Feed(MakeFrame(0x22, 0, 0, CodePayload(77)));
    ASSERT_EQ(d->GetRecordCount(), 1);
    EXPECT_EQ(Value(d->GetRecord(0)->PosX), 5.0);
    store.records.push_back(CopyTestRecord(d->GetRecord(0)));
    d->FreeRecord(0);
    d->ClearRecords();
    d->StopTest();
    EXPECT_EQ(d->GetLastTaggedIndex(), static_cast<int32_t>(store.records.size()) - 1);

    ASSERT_EQ(store.records.size(), expected.size() + 1);
    for (std::size_t i = 0; i < expected.size(); ++i) {
        EXPECT_DOUBLE_EQ(Value(store.records[i]->PosX), expected[i].first) << i;
        EXPECT_DOUBLE_EQ(Value(store.records[i]->PosY), expected[i].second) << i;
    }
    EXPECT_EQ(Value(store.records.back()->PosX), 5.0);
}

}  // namespace
}  // namespace n95::test
