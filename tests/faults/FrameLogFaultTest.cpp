// The frame log failing under the decoder: on a full device, and on its k-th write for every
// k. The error reaches the host as EInOutError naming the file, every record queued before
// (and for) the failing frame stays deliverable, and the decoder goes on decoding and logging
// afterwards.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "decoder/NokiaMSN95Decode.h"
#include "tests/decoder/DecoderTestSupport.h"
#include "trace/FrameLog.h"

namespace n95::test {
namespace {

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::string TempPath(const std::string& name) {
    const char* dir = std::getenv("TMPDIR");
    return std::string(dir ? dir : "/tmp") + "/n95-faults-" + std::to_string(::getpid()) + "-" +
           name;
}

// Frame i: ungated key, message code 0x713A0300 + i, a payload of `extra` + 4 bytes.
std::string Frame(uint32_t i, std::size_t extra = 8) {
    return MakeFrame(0x22, static_cast<uint8_t>(i & 0x3F), 0, CodePayload(0x713A0300 + i, extra));
}

class FrameLogFaultTest : public ::testing::Test {
protected:
    void SetUp() override { SetFrameLogWriteFailureForTesting(0); }
    void TearDown() override {
        SetFrameLogWriteFailureForTesting(0);
        d.reset();
        for (const std::string& p : paths)
            std::remove(p.c_str());
    }

    void Start(const std::string& logName) {
        d = std::make_unique<TNokiaMSN95Decode>(&port, nullptr);
        d->SetLogFileName(logName);
        d->SetLogEnabled(true);
        d->StartTest();
    }

    // Feeds one chunk; returns the message of the EInOutError it raised, or "" if none.
    std::string FeedExpectingError(const std::string& chunk) {
        std::string text;
        try {
            d->DecodeData(chunk.data(), static_cast<int32_t>(chunk.size()), text);
        } catch (const EInOutError& e) {
            return e.what();
        }
        return "";
    }

    // Hands every queued record over: their message codes, each released exactly once.
    std::vector<uint32_t> Deliver() {
        std::vector<uint32_t> codes;
        for (int32_t i = 0, n = d->GetRecordCount(); i < n; ++i) {
            const TTestRecord* r = d->GetRecord(i);
            EXPECT_NE(r, nullptr) << i;
            if (r != nullptr)
                codes.push_back(Value(r->MessageCode));
            EXPECT_TRUE(d->FreeRecord(i));
        }
        EXPECT_TRUE(d->ClearRecords());
        return codes;
    }

    static std::vector<uint32_t> Codes(uint32_t from, uint32_t to) {
        std::vector<uint32_t> codes;
        for (uint32_t i = from; i < to; ++i)
            codes.push_back(0x713A0300 + i);
        return codes;
    }

    Journal journal;
    JournalEnv env{&journal};
    ScopedEnv scopedEnv{&env};
    RecordingPort port{&journal};
    std::unique_ptr<TNokiaMSN95Decode> d;
    std::vector<std::string> paths;
};

// Small frames fit the stream's buffer, so the device refuses them when the call flushes at
// its end: every frame of the chunk is queued, and the error still reaches the host.
TEST_F(FrameLogFaultTest, FullDeviceRaisesAtTheFlushAndKeepsEveryRecord) {
    if (access("/dev/full", W_OK) != 0)
        GTEST_SKIP() << "no /dev/full";
    Start("/dev/full");
    for (uint32_t round = 0; round < 3; ++round) {
        std::string chunk;
        for (uint32_t i = 0; i < 5; ++i)
            chunk += Frame(5 * round + i);
        const std::string error = FeedExpectingError(chunk);
        EXPECT_NE(error.find("/dev/full"), std::string::npos) << error;
        EXPECT_EQ(Deliver(), Codes(5 * round, 5 * round + 5)) << "round " << round;
    }
    // A chunk without frames writes nothing and raises nothing.
    EXPECT_EQ(FeedExpectingError("\r\nOK\r\n"), "");
}

// Frames larger than the stream's buffer are written through at once: the first write fails,
// the call ends there, and the frame that failed was queued before its line was written.
TEST_F(FrameLogFaultTest, FullDeviceWithLargeFramesStopsAtTheFirstFailingLine) {
    if (access("/dev/full", W_OK) != 0)
        GTEST_SKIP() << "no /dev/full";
    Start("/dev/full");
    std::string chunk;
    for (uint32_t i = 0; i < 4; ++i)
        chunk += Frame(i, 20000);
    const std::string error = FeedExpectingError(chunk);
    EXPECT_NE(error.find("/dev/full"), std::string::npos) << error;
    const std::vector<uint32_t> codes = Deliver();
    ASSERT_FALSE(codes.empty());
    EXPECT_LT(codes.size(), 4u) << "the rest of the chunk is not parsed";
    EXPECT_EQ(codes, Codes(0, static_cast<uint32_t>(codes.size())));
}

// Lines whose end (CR LF) falls just past the stream's buffer: the frame's bytes are taken,
// the line end is refused. Whichever of the two writes fails, the call raises and the frame
// stays queued.
TEST_F(FrameLogFaultTest, FullDeviceRefusingTheLineEnd) {
    if (access("/dev/full", W_OK) != 0)
        GTEST_SKIP() << "no /dev/full";
    for (std::size_t size = 4090; size <= 4100; ++size) {
        SCOPED_TRACE("frame of " + std::to_string(size) + " bytes");
        Start("/dev/full");
        const std::string frame = Frame(1, size - 14);
        ASSERT_EQ(frame.size(), size);
        EXPECT_NE(FeedExpectingError(frame + Frame(2)), "");
        const std::vector<uint32_t> codes = Deliver();
        ASSERT_FALSE(codes.empty());
        EXPECT_EQ(codes.front(), 0x713A0301u);
    }
}

// The log unit on its own: lines still buffered when the log is closed or destroyed on a
// full device. Close raises the error and leaves the log closed; the destructor swallows it.
TEST_F(FrameLogFaultTest, FullDeviceAtCloseAndDestruction) {
    if (access("/dev/full", W_OK) != 0)
        GTEST_SKIP() << "no /dev/full";
    {
        TFrameLog log;
        log.Open("/dev/full");
        log.WriteLine("buffered line");
        try {
            log.Close();
            ADD_FAILURE() << "no error";
        } catch (const EInOutError& e) {
            EXPECT_NE(std::string(e.what()).find("cannot close"), std::string::npos) << e.what();
            EXPECT_NE(std::string(e.what()).find("/dev/full"), std::string::npos) << e.what();
        }
        EXPECT_FALSE(log.IsOpen());
        EXPECT_EQ(log.FileName(), "");
        EXPECT_NO_THROW(log.Close());
    }
    {
        TFrameLog log;
        log.Open("/dev/full");
        log.WriteLine("buffered line");
        log.WriteLine("another");
    }  // the destructor's close fails and must not throw
    // Reopening after a failed close works.
    TFrameLog log;
    log.Open("/dev/full");
    log.WriteLine("x");
    EXPECT_THROW(log.Open("/dev/null"), EInOutError);
    EXPECT_FALSE(log.IsOpen()) << "an open that first fails to close leaves the log closed";
    EXPECT_NO_THROW(log.Open("/dev/null"));
    EXPECT_TRUE(log.IsOpen());
}

// An injected failure without a system error is reported as an I/O error all the same.
TEST_F(FrameLogFaultTest, InjectedFailureWithoutAnErrorNumber) {
    const std::string path = TempPath("no-errno.log");
    paths.push_back(path);
    Start(path);
    SetFrameLogWriteFailureForTesting(1, 0);
    const std::string error = FeedExpectingError(Frame(0));
    EXPECT_NE(error.find(std::strerror(EIO)), std::string::npos) << error;
    EXPECT_EQ(Deliver(), Codes(0, 1));
}

// The k-th line fails, for every k over two chunks of three frames: the call that writes it
// raises, frames 1..k are queued (the failing one included), the rest of that chunk is
// dropped, and the next chunk is decoded and logged as usual.
TEST_F(FrameLogFaultTest, FailingOnTheKthWriteForEachK) {
    constexpr uint32_t kPerChunk = 3;
    for (uint32_t k = 1; k <= 2 * kPerChunk; ++k) {
        SCOPED_TRACE("failing write " + std::to_string(k));
        const std::string path = TempPath("kth-" + std::to_string(k) + ".log");
        paths.push_back(path);
        Start(path);
        SetFrameLogWriteFailureForTesting(k, ENOSPC);

        std::string expectedLog;
        std::vector<uint32_t> expectedCodes;
        uint32_t written = 0;  // line writes attempted so far
        for (uint32_t c = 0; c < 3; ++c) {
            std::string chunk;
            for (uint32_t i = 0; i < kPerChunk; ++i)
                chunk += Frame(kPerChunk * c + i);
            const bool fails = written < k && k <= written + kPerChunk;
            const std::string error = FeedExpectingError(chunk);
            if (fails) {
                EXPECT_NE(error.find(path), std::string::npos) << error;
                EXPECT_NE(error.find(std::strerror(ENOSPC)), std::string::npos) << error;
                const uint32_t failing = k - written;  // 1-based within the chunk
                for (uint32_t i = 0; i < failing; ++i) {
                    expectedCodes.push_back(0x713A0300 + kPerChunk * c + i);
                    if (i + 1 < failing)
                        expectedLog += Frame(kPerChunk * c + i) + "\r\n";
                }
                written += failing;
            } else {
                EXPECT_EQ(error, "") << "chunk " << c;
                for (uint32_t i = 0; i < kPerChunk; ++i) {
                    expectedCodes.push_back(0x713A0300 + kPerChunk * c + i);
                    expectedLog += Frame(kPerChunk * c + i) + "\r\n";
                }
                written += kPerChunk;
            }
            EXPECT_EQ(Deliver(), expectedCodes) << "chunk " << c;
            expectedCodes.clear();
        }
        d->SetLogFileName("");  // closes the log
        EXPECT_EQ(ReadFile(path), expectedLog);
    }
}

// The log's own state survives a failure: the same decoder keeps logging, a new name opens a
// new file, and an empty name closes it.
TEST_F(FrameLogFaultTest, LogRecoversAfterAFailedWrite) {
    const std::string first = TempPath("recover-1.log");
    const std::string second = TempPath("recover-2.log");
    paths = {first, second};
    Start(first);
    SetFrameLogWriteFailureForTesting(1);
    EXPECT_NE(FeedExpectingError(Frame(0)), "");
    EXPECT_EQ(FeedExpectingError(Frame(1)), "");
    d->SetLogFileName(second);
    EXPECT_EQ(FeedExpectingError(Frame(2)), "");
    d->SetLogFileName("");
    EXPECT_EQ(ReadFile(first), Frame(1) + "\r\n");
    EXPECT_EQ(ReadFile(second), Frame(2) + "\r\n");
    EXPECT_EQ(Deliver(), Codes(0, 3));
}

}  // namespace
}  // namespace n95::test
