#include "trace/FrameLog.h"

#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <unistd.h>

namespace n95 {
namespace {

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void WriteFile(const std::string& path, const std::string& content) {
    std::ofstream(path, std::ios::binary) << content;
}

// Frames holding the bytes a text file would mangle: CR, LF, NUL, high bytes.
const std::vector<std::string>& AwkwardFrames() {
    static const std::vector<std::string> frames = {
        std::string("\x01\x00\x40\r\n\x00\x00\x00\x00\x04"
                    "ABCD",
                    14),
        std::string("\n\n\r\r\x00\xFF", 6),
        std::string(),
        std::string(10, '\0'),
    };
    return frames;
}

class FrameLogTest : public testing::Test {
protected:
    void SetUp() override {
        const testing::TestInfo* info = testing::UnitTest::GetInstance()->current_test_info();
        Path = testing::TempDir() + "framelog_" + info->name() + "_" + std::to_string(getpid()) +
               ".log";
    }
    void TearDown() override {
        SetFrameLogWriteFailureForTesting(0);
        std::remove(Path.c_str());
    }

    std::string Path;
};

TEST_F(FrameLogTest, LinesAreFrameBytesThenCrLf) {
    std::string expected;
    {
        TFrameLog log;
        log.Open(Path);
        EXPECT_TRUE(log.IsOpen());
        EXPECT_EQ(log.FileName(), Path);
        for (const std::string& frame : AwkwardFrames()) {
            log.WriteLine(frame);
            expected += frame + "\r\n";
        }
        log.Flush();
        // Flush alone makes the lines visible to a reader.
        EXPECT_EQ(ReadFile(Path), expected);
        log.WriteLine("tail");
        expected += "tail\r\n";
        log.Close();
        EXPECT_FALSE(log.IsOpen());
        EXPECT_EQ(log.FileName(), "");
        log.Close();  // closing a closed log does nothing
    }
    EXPECT_EQ(ReadFile(Path), expected);
}

TEST_F(FrameLogTest, DestructorFlushesAndCloses) {
    {
        TFrameLog log;
        log.Open(Path);
        log.WriteLine("abc");
    }
    EXPECT_EQ(ReadFile(Path), "abc\r\n");
}

TEST_F(FrameLogTest, OpenTruncates) {
    WriteFile(Path, "old content\r\n");
    TFrameLog log;
    log.Open(Path);
    EXPECT_EQ(ReadFile(Path), "");
    log.WriteLine("new");
    // Opening the same name again starts over; the first file's lines were flushed first.
    log.Open(Path);
    log.WriteLine("again");
    log.Close();
    EXPECT_EQ(ReadFile(Path), "again\r\n");
}

TEST_F(FrameLogTest, UncreatableFileRaisesAndLeavesLogClosed) {
    const std::string bad =
        testing::TempDir() + "no_such_dir_" + std::to_string(getpid()) + "/x.log";
    TFrameLog log;
    log.Open(Path);
    log.WriteLine("kept");
    try {
        log.Open(bad);
        FAIL() << "no exception";
    } catch (const EInOutError& e) {
        const std::string message = e.what();
        EXPECT_NE(message.find(bad), std::string::npos) << message;
        EXPECT_NE(message.find(std::strerror(ENOENT)), std::string::npos) << message;
    }
    EXPECT_FALSE(log.IsOpen());
    EXPECT_EQ(log.FileName(), "");
    EXPECT_THROW(log.WriteLine("x"), EInOutError);
    log.Flush();  // nothing buffered: no error
    // The previous file was closed with its line.
    EXPECT_EQ(ReadFile(Path), "kept\r\n");
}

TEST_F(FrameLogTest, FullDeviceRaisesOnFlushOrWrite) {
    if (access("/dev/full", W_OK) != 0)
        GTEST_SKIP() << "no /dev/full";
    const std::string noSpace = std::strerror(ENOSPC);
    {
        TFrameLog log;
        log.Open("/dev/full");
        log.WriteLine("short line");  // buffered
        try {
            log.Flush();
            FAIL() << "no exception";
        } catch (const EInOutError& e) {
            const std::string message = e.what();
            EXPECT_NE(message.find("/dev/full"), std::string::npos) << message;
            EXPECT_NE(message.find(noSpace), std::string::npos) << message;
        }
        EXPECT_TRUE(log.IsOpen());
        try {
            log.Close();
        } catch (const EInOutError&) {
            // Whatever the C library kept buffered may fail again; the log is closed anyway.
        }
        EXPECT_FALSE(log.IsOpen());
    }
    {
        TFrameLog log;
        log.Open("/dev/full");
        // Larger than any stream buffer: the write itself reaches the device.
        EXPECT_THROW(log.WriteLine(std::string(1 << 20, 'x')), EInOutError);
    }  // the destructor swallows the close error
}

TEST_F(FrameLogTest, InjectedWriteFailureHitsTheKthLine) {
    for (int k = 1; k <= 4; ++k) {
        SCOPED_TRACE(k);
        TFrameLog log;
        log.Open(Path);
        SetFrameLogWriteFailureForTesting(k, EACCES);
        std::string expected;
        for (int line = 1; line <= 5; ++line) {
            const std::string frame = "line" + std::to_string(line);
            if (line == k) {
                try {
                    log.WriteLine(frame);
                    ADD_FAILURE() << "line " << line << " did not fail";
                } catch (const EInOutError& e) {
                    const std::string message = e.what();
                    EXPECT_NE(message.find(Path), std::string::npos) << message;
                    EXPECT_NE(message.find(std::strerror(EACCES)), std::string::npos) << message;
                }
            } else {
                EXPECT_NO_THROW(log.WriteLine(frame)) << "line " << line;
                expected += frame + "\r\n";
            }
        }
        EXPECT_TRUE(log.IsOpen());
        log.Close();
        EXPECT_EQ(ReadFile(Path), expected);
    }
}

TEST_F(FrameLogTest, InjectedFailureCanBeSwitchedOff) {
    TFrameLog log;
    log.Open(Path);
    SetFrameLogWriteFailureForTesting(2);
    log.WriteLine("a");
    SetFrameLogWriteFailureForTesting(0);
    log.WriteLine("b");
    log.WriteLine("c");
    log.Close();
    EXPECT_EQ(ReadFile(Path), "a\r\nb\r\nc\r\n");
}

}  // namespace
}  // namespace n95
