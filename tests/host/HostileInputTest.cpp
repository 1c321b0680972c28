// n95host given inputs that are not plain files: devices that never end, pipes, a track that
// blocks, and a stop asked for meanwhile. Every case must end, with the reason.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <csignal>
#include <string>
#include <vector>

#include "tests/host/GzipForTests.h"
#include "tests/host/HostTestSupport.h"

namespace n95::test {
namespace {

class HostileInputTest : public ScratchDirTest {
protected:
    const std::string Samples = N95_SAMPLES_DIR;
};

TEST_F(HostileInputTest, ReplayRefusesEndlessInputsAndReadsPipesAndGzip) {
    ASSERT_EQ(mkfifo(Path("fifo.pcap").c_str(), 0600), 0);
    const std::string capture = Samples + "/drive.pcap";
    const std::string host = N95HOST_PATH;
    WriteFile(Path("drive.pcap.gz"), Gzip(ReadFile(capture)));
    WriteFile(Path("drive.nmea.gz"), Gzip(ReadFile(Samples + "/drive.nmea")));
    const struct {
        std::vector<std::string> Args;
        int Status;
        const char* Message;  // in standard error
    } cases[] = {
        {{host, "replay", "/dev/zero"}, 3, "/dev/zero: is a character device"},
        {{"/bin/sh", "-c", host + " replay - < /dev/null"}, 3, "is a terminal or a device"},
        {{host, "replay", "-"}, 3, "cannot open capture - (standard input)"},  // closed
        {{host, "replay", capture, "--gps", "/dev/zero"}, 3, "is a character device"},
        // Through a shell: `cat TRACK | n95host replay ... --gps /dev/stdin`.
        {{"/bin/sh", "-c",
          "cat " + Samples + "/drive.nmea | " + host + " replay " + capture +
              " --gps /dev/stdin --csv " + Path("nmea.csv")},
         0,
         ""},
        // A FIFO, and standard input from a gzip file with a gzip track: outputs named stdin.
        {{"/bin/sh", "-c",
          "cat " + capture + " > " + Path("fifo.pcap") + " & " + host + " replay " +
              Path("fifo.pcap") + " --gps " + Samples + "/drive.nmea --csv " + Path("fifo.csv")},
         0,
         ""},
        {{"/bin/sh", "-c",
          host + " replay - --gps " + Path("drive.nmea.gz") + " -o " + Path("out") + " < " +
              Path("drive.pcap.gz")},
         0,
         ""},
        {{host, "frames", Path("drive.pcap.gz"), "--csv"}, 0, ""},
    };
    for (const auto& c : cases) {
        const ProgramResult r =
            RunProgram(c.Args[0], std::vector<std::string>(c.Args.begin() + 1, c.Args.end()));
        EXPECT_EQ(r.Status, c.Status) << c.Args.back() << ": " << r.Errors;
        EXPECT_TRUE(Contains(r.Errors, c.Message)) << r.Errors;
    }
    // The piped track, the FIFO and the gzip capture on standard input gave the rows the files
    // give.
    const ProgramResult file = RunProgram(
        N95HOST_PATH,
        {"replay", capture, "--gps", Samples + "/drive.nmea", "--csv", Path("file.csv")});
    ASSERT_EQ(file.Status, 0) << file.Errors;
    for (const char* rows : {"nmea.csv", "fifo.csv", "out/stdin.csv"})
        EXPECT_EQ(ReadFile(Path(rows)), ReadFile(Path("file.csv"))) << rows;
}

// One checksum-valid fix with a wrong time, in the middle of the drive, costs that fix alone:
// the rows are those of the clean track but for the records placed near that one fix, and
// the summary says what was skipped.
TEST_F(HostileInputTest, OneFixWithAWrongTimeCostsOnlyThatFix) {
    const std::vector<std::string> lines = SplitLines(ReadFile(Samples + "/drive.nmea"));
    const auto sentence = [](const std::string& body) {
        unsigned sum = 0;
        for (const char c : body)
            sum ^= static_cast<unsigned char>(c);
        char tail[8];
        std::snprintf(tail, sizeof tail, "*%02X", sum);
        return "$" + body + tail;
    };
    const ProgramResult clean =
        RunProgram(N95HOST_PATH, {"replay", Samples + "/drive.pcap", "--gps",
                                  Samples + "/drive.nmea", "--csv", Path("clean.csv")});
    ASSERT_EQ(clean.Status, 0) << clean.Errors;
    for (const std::string& bad :
         {sentence("GPRMC,235959.00,A,6010.19400,N,02456.30400,E,0.0,270.0,140524,,,A"),
          sentence("GPRMC,092100.00,A,6010.19400,N,02456.30400,E,0.0,270.0,150524,,,A"),
          sentence("GPGGA,091900.00,6010.19400,N,02456.30400,E,1,08,0.9,25.0,M,18.0,M,,")}) {
        std::string track;
        for (std::size_t i = 0; i < lines.size(); ++i)
            track += (i == lines.size() / 2 ? bad + "\n" : "") + lines[i] + "\n";
        WriteFile(Path("bad.nmea"), track);
        const ProgramResult r =
            RunProgram(N95HOST_PATH, {"replay", Samples + "/drive.pcap", "--gps", Path("bad.nmea"),
                                      "--csv", Path("bad.csv")});
        ASSERT_EQ(r.Status, 0) << bad << "\n" << r.Errors;
        EXPECT_TRUE(Contains(r.Output, "entries skipped (1 time outlier)")) << r.Output;
        EXPECT_TRUE(Contains(r.Errors, "line " + std::to_string(lines.size() / 2 + 1))) << r.Errors;
        const std::vector<std::string> want = SplitLines(ReadFile(Path("clean.csv")));
        const std::vector<std::string> got = SplitLines(ReadFile(Path("bad.csv")));
        ASSERT_EQ(got.size(), want.size());
        std::size_t changed = 0;
        for (std::size_t i = 0; i < got.size(); ++i)
            changed += got[i] == want[i] ? 0 : 1;
        // The clean track has a fix a second; a second's records are about a hundred.
        EXPECT_LT(changed, got.size() / 50) << bad;
    }
}

// Ctrl-C or SIGTERM while the track or the capture loads (here a FIFO whose writer sends
// nothing) stops the replay at once: status 130, nothing written.
TEST_F(HostileInputTest, AStopWhileAnInputLoadsEndsTheReplay) {
    for (const int signal : {SIGINT, SIGTERM, SIGINT + 100}) {
        const bool capture = signal > 100;  // the capture is the FIFO
        const std::string fifo = Path("input" + std::to_string(signal));
        ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
        ChildProgram host;
        ASSERT_TRUE(host.Start(
            N95HOST_PATH, {"replay", capture ? fifo : Samples + "/drive.pcap", "--gps",
                           capture ? Samples + "/drive.nmea" : fifo, "--csv", Path("out.csv")}));
        // A writer that does not block can open the FIFO only once the replay has it open.
        int writer = -1;
        for (int i = 0; i < 1000 && writer < 0; ++i) {
            writer = open(fifo.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
            if (writer < 0)
                usleep(10000);
        }
        ASSERT_GE(writer, 0) << "the replay did not open its track";
        host.Signal(capture ? signal - 100 : signal);
        const ProgramResult r = host.Wait(60.0);
        close(writer);
        EXPECT_EQ(r.Status, 130) << r.Errors;
        EXPECT_TRUE(Contains(r.Errors, "interrupted")) << r.Errors;
        EXPECT_FALSE(FileExists(Path("out.csv")));
    }
}

// A live GPS of endless garbage is counted and never holds up the run: it ends when its
// trace wait is over, or at once when stopped.
TEST_F(HostileInputTest, LiveGpsGarbageNeverBlocksTheRun) {
    for (const bool stop : {false, true}) {
        Pty handset;  // a handset that never answers
        ChildProgram host;
        ASSERT_TRUE(host.Start(
            N95HOST_PATH, {"live", "--device", handset.Slave, "--gps", "/dev/zero", "--trace-wait",
                           stop ? "50" : "1", "--no-status", "-o", Dir}));
        if (stop) {
            ASSERT_TRUE(host.WaitUntilCatching(SIGINT, 30.0));
            host.Signal(SIGINT);
        }
        const ProgramResult r = host.Wait(30.0);
        EXPECT_EQ(r.Status, stop ? 130 : 6) << r.Errors;
    }
}

}  // namespace
}  // namespace n95::test
