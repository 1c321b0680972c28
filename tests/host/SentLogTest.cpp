// The simulator's sent log against a capture: what may be missing where, and what may not;
// and n95sim serve's periodic hang-ups with a live run, end to end.
#include <gtest/gtest.h>

#include <csignal>
#include <string>
#include <vector>

#include "host/formats/PcapCapture.h"
#include "host/sim/SentLog.h"
#include "tests/host/HostTestSupport.h"

namespace {

using n95::host::CompareSentLog;
using n95::host::TCaptureTime;
using n95::host::TCaptureWriter;
using n95::host::TSentComparison;
using namespace n95::test;

class SentLogTest : public ScratchDirTest {
protected:
    // Writes `chunks` as a capture, the i-th read at second 100 + i.
    std::string Capture(const std::vector<std::string>& chunks) {
        TCaptureWriter writer;
        std::string error;
        const std::string path = Path("c.pcap");
        EXPECT_TRUE(writer.Open(path, &error)) << error;
        for (std::size_t i = 0; i < chunks.size(); ++i)
            EXPECT_TRUE(writer.Write(TCaptureTime{100 + static_cast<int64_t>(i), 0},
                                     chunks[i].data(), static_cast<uint32_t>(chunks[i].size()),
                                     &error))
                << error;
        EXPECT_TRUE(writer.Commit(&error)) << error;
        return path;
    }
};

// Each case: the log's events after its first line (writes in hex), the capture's chunks,
// and the problems expected (by a word each holds).
struct TCompareCase {
    const char* Name;
    const char* Events;
    std::vector<std::string> Chunks;
    std::vector<std::string> Problems;
};

TEST_F(SentLogTest, CapturesAgainstTheLog) {
    const std::vector<TCompareCase> cases = {
        {"every byte, cut into other chunks",
         "port 100.0 /dev/pts/1\nwrite 100.1 reply 0d0a4f4b0d0a\nwrite 100.2 frame 01020304\n"
         "write 100.3 garbage ff00\nend 101.0\n",
         {"\r\nO", "K\r\n\x01\x02", std::string("\x03\x04\xff\x00", 4)},
         {}},
        {"a hang-up that lost no more than was unread",
         "port 100.0 /dev/pts/1\nwrite 100.1 frame 0102\nwrite 100.2 frame 0304\n"
         "hangup 100.3 unread 3\nport 101.0 /dev/pts/2\nwrite 101.5 reply 0d0a4f4b0d0a\n",
         {"\x01\x02\x03", "\r\nOK\r\n"},
         {}},
        {"a hang-up that lost more than was unread",
         "port 100.0 /dev/pts/1\nwrite 100.1 frame 0102\nwrite 100.2 frame 0304\n"
         "hangup 100.3 unread 0\nport 101.0 /dev/pts/2\nwrite 101.5 reply 0d0a4f4b0d0a\n",
         {"\x01\x02", "\r\nOK\r\n"},
         {"unread"}},
        {"a hang-up that lost more than was seen unread, within what a port holds",
         "capacity 99.0 3\nport 100.0 /dev/pts/1\nwrite 100.1 frame 0102\nwrite 100.2 frame 0304\n"
         "hangup 100.3 unread 0\nport 101.0 /dev/pts/2\nwrite 101.5 reply 0d0a4f4b0d0a\n",
         {"\x01", "\r\nOK\r\n"},
         {}},
        {"a hang-up that lost more than a port holds",
         "capacity 99.0 2\nport 100.0 /dev/pts/1\nwrite 100.1 frame 0102\nwrite 100.2 frame 0304\n"
         "hangup 100.3 unread 0\nport 101.0 /dev/pts/2\nwrite 101.5 reply 0d0a4f4b0d0a\n",
         {"\x01", "\r\nOK\r\n"},
         {"holds at most 2"}},
        {"the lost frame began like the next port's first write",
         "port 100.0 /dev/pts/1\nwrite 100.1 frame 0102\nwrite 100.2 frame 0d0a99\n"
         "hangup 100.3 unread 3\nport 101.0 /dev/pts/2\nwrite 101.5 reply 0d0a4f4b0d0a\n",
         {"\x01\x02", "\r\nOK\r\n"},
         {}},
        {"a chunk lost in the middle",
         "port 100.0 /dev/pts/1\nwrite 100.1 frame 0102\nwrite 100.2 frame 0304\n"
         "write 100.3 frame 0506\n",
         {"\x01\x02", "\x05\x06"},
         {"did not send"}},
        {"bytes the simulator never sent",
         "port 100.0 /dev/pts/1\nwrite 100.1 frame 0102\n",
         {"\x01\x02\x07"},
         {"did not send"}},
        {"the end of the run, sent after the last read",
         "port 100.0 /dev/pts/1\nwrite 100.1 frame 0102\nwrite 101.5 frame 0304\n",
         {"\x01\x02"},
         {}},
        {"the end of the run, just before the last read",
         "port 100.0 /dev/pts/1\nwrite 100.1 frame 0102\nwrite 100.5 frame 0304\n",
         {"\x01", "\x02"},
         {}},
        {"the end of the run, long before the last read",
         "port 100.0 /dev/pts/1\nwrite 100.1 frame 01\nwrite 100.1 frame 02\n"
         "write 100.1 frame 03\nwrite 100.2 frame 0405\n",
         {"\x01", "\x02", "\x03"},
         {"before the capture's last chunk"}},
        {"lost without a hang-up before another port",
         "port 100.0 /dev/pts/1\nwrite 100.1 frame 0102\nport 101.0 /dev/pts/2\n"
         "write 101.5 frame 0304\n",
         {"\x03\x04"},
         {"not hung up"}},
    };
    for (const TCompareCase& c : cases) {
        WriteFile(Path("s.log"), std::string("n95sim sent log 1\n") + c.Events);
        TSentComparison result;
        std::string error;
        ASSERT_TRUE(CompareSentLog(Path("s.log"), Capture(c.Chunks), result, &error))
            << c.Name << ": " << error;
        ASSERT_EQ(result.Problems.size(), c.Problems.size()) << c.Name;
        for (std::size_t i = 0; i < c.Problems.size(); ++i)
            EXPECT_TRUE(Contains(result.Problems[i], c.Problems[i]))
                << c.Name << ": " << result.Problems[i];
    }
}

TEST_F(SentLogTest, MalformedLogsAreRefusedWithTheirLine) {
    const std::string capture = Capture({"\x01"});
    const std::vector<std::pair<std::string, std::string>> logs = {
        {"a sent log\n", "first line"},
        {"n95sim sent log 1\nwrite 1.0 frame 01\n", "line 2"},
        {"n95sim sent log 1\nport 1.0 /p\nwrite 1.0 frame 0g\n", "line 3"},
        {"n95sim sent log 1\nport 1.0 /p\nwrite 1.0 sound 01\n", "unknown kind"},
        {"n95sim sent log 1\nport yesterday /p\n", "line 2"},
        {"n95sim sent log 1\nport 1.0 /p\nhangup 2.0 unread\n", "line 3"},
        {"n95sim sent log 1\ncapacity 1.0 lots\n", "line 2"},
    };
    for (const auto& [log, why] : logs) {
        WriteFile(Path("bad.log"), log);
        TSentComparison result;
        std::string error;
        EXPECT_FALSE(CompareSentLog(Path("bad.log"), capture, result, &error)) << log;
        EXPECT_TRUE(Contains(error, why)) << log << ": " << error;
    }
}

// n95sim serve hangs up after every 150 frames and replugs; the live run reconnects each
// time, and its capture holds everything the simulator's log says it sent.
TEST_F(SentLogTest, PeriodicHangUpsAreReconnectedAndTheCaptureHoldsWhatWasSent) {
    ChildProgram sim;
    ASSERT_TRUE(sim.Start(N95SIM_PATH, {"serve", "--rate", "300", "--hangup-every", "150",
                                        "--replug", "0.2", "--garbage-every", "40", "--link",
                                        Path("port"), "--sent-log", Path("sent.log")}));
    ASSERT_EQ(sim.FirstLine(30), Path("port"));
    const ProgramResult host = RunProgram(
        N95HOST_PATH, {"--plugin", N95_PLUGIN_PATH, "live", "--device", Path("port"), "--duration",
                       "4", "--reconnect-pause", "0.3", "--reconnect-tries", "20", "--no-status",
                       "--capture", Path("live.pcap")});
    EXPECT_EQ(host.Status, 0) << host.Errors;
    sim.Signal(SIGINT);
    const ProgramResult served = sim.Wait(30);
    ASSERT_EQ(served.Status, 0) << served.Errors;
    const std::size_t at = served.Output.find("hang-ups ");
    ASSERT_NE(at, std::string::npos) << served.Output;
    const uint64_t hangUps = std::stoull(served.Output.substr(at + 9));
    EXPECT_GE(hangUps, 2u) << served.Output;
    // The run's end may come between a hang-up and the host's noticing it.
    const uint64_t losses = SummaryNumber(host.Output, "port");
    EXPECT_TRUE(losses == hangUps || losses + 1 == hangUps) << host.Output << served.Output;

    // The capacity the simulator measured bounds what a hang-up can lose: at least a
    // terminal's input queue.
    const std::string log = ReadFile(Path("sent.log"));
    const std::size_t capacity = log.find("\ncapacity ");
    ASSERT_NE(capacity, std::string::npos);
    const std::string capacityLine = SplitLines(log.substr(capacity + 1)).front();
    EXPECT_GE(std::stoll(capacityLine.substr(capacityLine.rfind(' ') + 1)), 4095) << capacityLine;

    const ProgramResult compare =
        RunProgram(N95SIM_PATH, {"compare", Path("sent.log"), Path("live.pcap")});
    EXPECT_EQ(compare.Status, 0) << compare.Output << compare.Errors;
    EXPECT_TRUE(Contains(compare.Output, std::to_string(hangUps) + " hang-ups"))
        << compare.Output << served.Output;

    // Periodic hang-ups replug: without a replug the first would end the run.
    EXPECT_EQ(RunProgram(N95SIM_PATH, {"serve", "--hangup-every", "5", "--link", Path("l")}).Status,
              2);
}

}  // namespace
