// What a run does to the files at its outputs' names, run as a user runs n95host: through a
// shell's redirections, as a user who may not write a file, with names a file system refuses.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <cstring>
#include <filesystem>

#include "tests/host/HostTestSupport.h"

namespace n95::test {
namespace {

const std::string kSample = std::string(N95_SAMPLES_DIR) + "/drive.pcap";

class OutputSafetyTest : public ScratchDirTest {
protected:
    void SetUp() override {
        ScratchDirTest::SetUp();
        const ProgramResult r =
            RunProgram(N95HOST_PATH, {"replay", kSample, "--csv", Path("ref.csv")});
        ASSERT_EQ(r.Status, 0) << r.Errors;
        Csv = ReadFile(Path("ref.csv"));
    }
    // Runs `line` in sh, in the scratch folder, with $HOST the built n95host and $SAMPLE the
    // bundled capture.
    ProgramResult Shell(const std::string& line) const {
        return RunProgram("/bin/sh", {"-c", "cd '" + Dir + "' && HOST='" + N95HOST_PATH +
                                                "' SAMPLE='" + kSample + "' && " + line});
    }

    std::string Csv;
};

// "-", /dev/stdout, /dev/fd/N: the descriptor the shell set up, appended to where it appends,
// a pipe where it pipes; never resolved to a path and replaced.
TEST_F(OutputSafetyTest, StreamsAreWrittenWhereTheShellPointsThem) {
    struct Case {
        std::string Line;
        std::string File;      // what the CSV ends up in
        std::string Expected;  // its content
    };
    const std::vector<Case> cases = {
        {"echo head > all.csv && $HOST replay $SAMPLE --csv /dev/stdout >> all.csv", "all.csv",
         "head\n" + Csv},
        {"echo head > fd.csv && $HOST replay $SAMPLE --csv /dev/fd/3 3>> fd.csv", "fd.csv",
         "head\n" + Csv},
        {"$HOST replay $SAMPLE --csv /proc/self/fd/1 | cat > piped.csv", "piped.csv", Csv},
        {"$HOST replay $SAMPLE --no-progress --csv - 2>/dev/null | cat > dash.csv", "dash.csv",
         Csv},
        {"$HOST replay $SAMPLE --csv /dev/stderr 2> err.csv > summary.txt", "err.csv", Csv},
    };
    for (const Case& c : cases) {
        const ProgramResult r = Shell(c.Line);
        EXPECT_EQ(r.Status, 0) << c.Line << "\n" << r.Errors;
        EXPECT_TRUE(ReadFile(Path(c.File)) == c.Expected) << c.Line;
        struct stat info {};
        EXPECT_TRUE(lstat(Path(c.File).c_str(), &info) == 0 && S_ISREG(info.st_mode)) << c.Line;
    }
    // With the CSV on standard output, the summary goes to standard error.
    const ProgramResult r = Shell("$HOST replay $SAMPLE --csv /dev/stdout > out.csv");
    EXPECT_TRUE(Contains(r.Errors, "  outputs         /dev/stdout")) << r.Errors;
    // A descriptor that is not open, or open for reading only, is not written; nor is one
    // the program opened itself (another output's file).
    EXPECT_EQ(Shell("$HOST replay $SAMPLE --csv /dev/fd/7").Status, 5);
    const ProgramResult own = Shell("$HOST replay $SAMPLE --csv own.csv --kml /dev/fd/4");
    EXPECT_EQ(own.Status, 5);
    EXPECT_TRUE(Contains(own.Errors, "not a descriptor this program was started with"))
        << own.Errors;
    EXPECT_FALSE(FileExists(Path("own.csv")));
    EXPECT_EQ(Shell("$HOST replay $SAMPLE --csv /dev/fd/0 < ref.csv").Status, 5);
    EXPECT_EQ(ReadFile(Path("ref.csv")), Csv);
}

// Every name is checked before any work; a run that fails leaves every file at every output
// name as it was, mode included.
TEST_F(OutputSafetyTest, ARefusedRunLeavesEveryExistingOutputAsItWas) {
    std::filesystem::create_directory(Path("out"));
    WriteFile(Path("out/d.csv"), "earlier csv");
    WriteFile(Path("out/d.kml"), "earlier kml");
    ASSERT_EQ(chmod(Path("out/d.csv").c_str(), 0600), 0);
    WriteFile(Path("out/ro.csv"), "read-only");
    ASSERT_EQ(chmod(Path("out/ro.csv").c_str(), 0444), 0);
    ASSERT_EQ(chmod(Path("out").c_str(), 0777), 0);
    // A user who may write the folder but not the file: the shell's `>` refuses it too. Root
    // may write any file, so as root the run is made as nobody.
    const std::string asUser =
        geteuid() == 0 ? "setpriv --reuid=65534 --regid=65534 --clear-groups " : "";
    ASSERT_EQ(chmod(Dir.c_str(), 0755), 0);
    struct Case {
        std::string Line;
        int Status;
        std::string Message;
    };
    // In a folder with the sticky bit another user's file may be written but not replaced.
    std::filesystem::create_directory(Path("out/sticky"));
    ASSERT_EQ(chmod(Path("out/sticky").c_str(), 01777), 0);
    WriteFile(Path("out/sticky/theirs.csv"), "theirs");
    ASSERT_EQ(chmod(Path("out/sticky/theirs.csv").c_str(), 0666), 0);
    std::vector<Case> cases = {
        {"$HOST replay $SAMPLE --csv out/d.csv --kml out/" + std::string(256, 'k') + ".kml", 5,
         "File name too long"},
        {"$HOST replay $SAMPLE --csv out/d.csv --kml out/d.kml --map no/such/d.svg", 5,
         "no/such/d.svg"},
        {"$HOST replay $SAMPLE -o out --map out", 5, "Is a directory"},
        {asUser + "$HOST replay $SAMPLE --csv out/ro.csv", 5,
         "cannot replace out/ro.csv: Permission denied"},
    };
    if (geteuid() == 0)  // the file is root's, so only another user can find it not replaceable
        cases.push_back({asUser + "$HOST replay $SAMPLE --csv out/sticky/theirs.csv", 5,
                         "cannot replace out/sticky/theirs.csv: Operation not permitted"});
    for (const Case& c : cases) {
        const ProgramResult r = Shell(c.Line);
        EXPECT_EQ(r.Status, c.Status) << c.Line << "\n" << r.Errors;
        EXPECT_TRUE(Contains(r.Errors, c.Message)) << r.Errors;
        EXPECT_EQ(ReadFile(Path("out/d.csv")), "earlier csv") << c.Line;
        EXPECT_EQ(ReadFile(Path("out/d.kml")), "earlier kml") << c.Line;
        struct stat info {};
        ASSERT_EQ(stat(Path("out/d.csv").c_str(), &info), 0);
        EXPECT_EQ(info.st_mode & 0777, 0600u) << c.Line;
        EXPECT_EQ(ReadFile(Path("out/ro.csv")), "read-only") << c.Line;
        EXPECT_EQ(ListDir(Path("out")),
                  (std::vector<std::string>{"d.csv", "d.kml", "ro.csv", "sticky"}))
            << c.Line;
        EXPECT_EQ(ReadFile(Path("out/sticky/theirs.csv")), "theirs");
    }
    // A run that succeeds replaces the files whole, each keeping its mode.
    const ProgramResult r = Shell("$HOST replay $SAMPLE --csv out/d.csv --kml out/d.kml");
    EXPECT_EQ(r.Status, 0) << r.Errors;
    EXPECT_EQ(ReadFile(Path("out/d.csv")), Csv);
    struct stat info {};
    ASSERT_EQ(stat(Path("out/d.csv").c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);
}

// An output that waits for its reader (a FIFO nobody reads yet) is waited for as a shell's
// redirection waits, and a stop ends the wait: status 130, nothing written.
TEST_F(OutputSafetyTest, AStopWhileAnOutputWaitsForItsReaderEndsTheRun) {
    ASSERT_EQ(mkfifo(Path("fifo.kml").c_str(), 0600), 0);
    WriteFile(Path("d.csv"), "earlier");
    for (const int signal : {SIGINT, SIGTERM}) {
        ChildProgram host;
        ASSERT_TRUE(host.Start(
            N95HOST_PATH, {"replay", kSample, "--gps", std::string(N95_SAMPLES_DIR) + "/drive.nmea",
                           "--csv", Path("d.csv"), "--kml", Path("fifo.kml")}));
        ASSERT_TRUE(host.WaitForError("waiting for a reader of the FIFO", 60));
        host.Signal(signal);
        const ProgramResult r = host.Wait(60);
        EXPECT_EQ(r.Status, 130) << strsignal(signal) << "\n" << r.Errors;
        EXPECT_EQ(ReadFile(Path("d.csv")), "earlier");
    }
}

}  // namespace
}  // namespace n95::test
