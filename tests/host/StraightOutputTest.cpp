// Outputs written straight to where their names point (a pipe the shell set up, a FIFO, a
// local socket, a device), by the run itself or by another party that opens them by name
// (the plug-in's frame log): the reader gets exactly what was written, once the output is
// committed; a target that cannot be opened fails with its name.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <thread>

#include "host/common/FaultySystemCalls.h"
#include "host/common/OutputFile.h"
#include "tests/host/HostTestSupport.h"

namespace n95::host {
namespace {

using TCall = TSystemCalls::TCall;
using n95::test::Contains;
using n95::test::ReadFile;

// A local socket bound at `path`, listening unless `listening` is false; -1 on failure.
int BindSocket(const std::string& path, bool listening) {
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
    if (fd < 0 || bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
        (listening && listen(fd, 4) != 0)) {
        if (fd >= 0)
            close(fd);
        return -1;
    }
    return fd;
}

// Everything `fd` gives until its end.
std::string ReadAll(int fd) {
    std::string text;
    char buffer[4096];
    ssize_t n;
    while ((n = read(fd, buffer, sizeof buffer)) > 0)
        text.append(buffer, static_cast<std::size_t>(n));
    return text;
}

class StraightOutputTest : public n95::test::ScratchDirTest {
protected:
    void SetUp() override {
        ScratchDirTest::SetUp();
        ASSERT_EQ(mkfifo(Path("fifo").c_str(), 0600), 0);
        Listener = BindSocket(Path("socket"), true);
        ASSERT_GE(Listener, 0);
        ASSERT_EQ(pipe2(Pipe, O_CLOEXEC), 0);
    }
    void TearDown() override {
        for (const int fd : {Listener, Pipe[0], Pipe[1]})
            if (fd >= 0)
                close(fd);
        ScratchDirTest::TearDown();
    }

    int Listener = -1;
    int Pipe[2] = {-1, -1};
};

TEST_F(StraightOutputTest, TheReaderGetsWhatWasWrittenDirectlyOrByName) {
    enum class TReader { Pipe, Fifo, Socket, None };
    struct Case {
        std::string Name;
        TReader Reader;
    };
    const std::vector<Case> cases = {
        {"/dev/fd/" + std::to_string(Pipe[1]), TReader::Pipe},
        {Path("fifo"), TReader::Fifo},
        {Path("socket"), TReader::Socket},
        {"/dev/null", TReader::None},
    };
    const std::string payload = "frame 1\nframe 2\n";
    for (const Case& c : cases) {
        for (const bool byName : {false, true}) {
            const std::string what = c.Name + (byName ? " (by name)" : "");
            std::string received;
            std::thread fifoReader;
            if (c.Reader == TReader::Fifo)
                fifoReader = std::thread([&] { received = ReadFile(Path("fifo")); });
            TOutputFile out;
            TOutputFile::TOptions options;
            options.ByName = byName;
            std::string error;
            ASSERT_TRUE(out.Open(c.Name, options, &error)) << what << ": " << error;
            EXPECT_TRUE(out.Straight()) << what;
            EXPECT_TRUE(out.IsOpen()) << what;
            if (byName) {
                EXPECT_EQ(out.File(), nullptr) << what;
                ASSERT_FALSE(out.WritePath().empty()) << what;
                FILE* other = std::fopen(out.WritePath().c_str(), "ab");
                ASSERT_NE(other, nullptr) << what << ": " << out.WritePath();
                std::fputs(payload.c_str(), other);
                std::fclose(other);
            } else {
                ASSERT_NE(out.File(), nullptr) << what;
                std::fputs(payload.c_str(), out.File());
                EXPECT_TRUE(out.Flush(&error)) << what << ": " << error;
            }
            ASSERT_TRUE(out.Commit(&error)) << what << ": " << error;
            EXPECT_FALSE(out.IsOpen()) << what;
            EXPECT_TRUE(out.Flush(&error)) << what << ": nothing left to push";
            // A straight output is finished when it is committed: no file to publish.
            EXPECT_TRUE(out.Publish(&error)) << what;
            EXPECT_FALSE(out.Commit(&error)) << what << ": committed once";
            EXPECT_TRUE(Contains(error, "not open")) << error;
            switch (c.Reader) {
                case TReader::Pipe:
                    received.resize(payload.size());
                    ASSERT_EQ(read(Pipe[0], received.data(), received.size()),
                              static_cast<ssize_t>(payload.size()));
                    break;
                case TReader::Fifo:
                    fifoReader.join();
                    break;
                case TReader::Socket: {
                    const int peer = accept4(Listener, nullptr, nullptr, SOCK_CLOEXEC);
                    ASSERT_GE(peer, 0);
                    received = ReadAll(peer);
                    close(peer);
                    break;
                }
                case TReader::None:
                    received = payload;
                    break;
            }
            EXPECT_EQ(received, payload) << what;
        }
    }
}

TEST_F(StraightOutputTest, ATargetThatCannotBeOpenedFailsWithItsName) {
    const int refusing = BindSocket(Path("refusing"), false);
    ASSERT_GE(refusing, 0);
    struct Case {
        std::string Name;
        TCall Fault;  // TCall::Count: none
        int Errno;
        std::string Error;
    };
    const std::vector<Case> cases = {
        {"/dev/fd/" + std::to_string(Pipe[0]), TCall::Count, 0, "Bad file descriptor"},
        {Path("refusing"), TCall::Count, 0, "Connection refused"},
        {"/dev/fd/" + std::to_string(Pipe[1]), TCall::Duplicate, EMFILE, "Too many open files"},
        {"/dev/null", TCall::SetBlocking, EIO, "Input/output error"},
        {"/dev/null", TCall::Open, EACCES, "Permission denied"},
        {Path("fifo"), TCall::Open, EACCES, "Permission denied"},
        {Path("socket"), TCall::ConnectLocal, ECONNREFUSED, "Connection refused"},
    };
    for (const Case& c : cases) {
        TFaultySystemCalls faulty;
        TScopedSystemCalls installed(&faulty);
        if (c.Fault != TCall::Count)
            faulty.FailAt(c.Fault, 1, c.Errno);
        TOutputFile out;
        std::string error;
        EXPECT_FALSE(out.Open(c.Name, &error)) << c.Name;
        EXPECT_TRUE(Contains(error, "cannot write " + c.Name + ": " + c.Error)) << error;
        EXPECT_FALSE(out.IsOpen());
        EXPECT_EQ(faulty.Fired(), c.Fault != TCall::Count) << c.Name;
    }
    close(refusing);
}

// An output dropped before its commit: a straight one sends nothing that the other party had
// written by name, and a regular file held for its set is only prepared by Commit.
TEST_F(StraightOutputTest, ADroppedOrHeldOutputPutsNothingInPlace) {
    for (const std::string& name :
         {"/dev/fd/" + std::to_string(Pipe[1]), std::string("/dev/null")}) {
        TOutputFile out;
        std::string error;
        ASSERT_TRUE(out.Open(name, TOutputFile::TOptions{.ByName = true}, &error)) << error;
        FILE* other = std::fopen(out.WritePath().c_str(), "ab");
        ASSERT_NE(other, nullptr) << name;
        std::fputs("dropped", other);
        std::fclose(other);
        out.Discard();
        EXPECT_FALSE(out.IsOpen()) << name;
        EXPECT_TRUE(out.WritePath().empty()) << name;
    }
    close(Pipe[1]);
    Pipe[1] = -1;
    EXPECT_EQ(ReadAll(Pipe[0]), "") << "the spool went with the output";

    n95::test::WriteFile(Path("held.csv"), "old");
    TOutputFile held;
    std::string error;
    ASSERT_TRUE(held.Open(Path("held.csv"), &error)) << error;
    held.HoldPublication();
    std::fputs("new", held.File());
    ASSERT_TRUE(held.Commit(&error)) << error;
    EXPECT_EQ(ReadFile(Path("held.csv")), "old") << "prepared, not yet published";
    ASSERT_TRUE(held.Publish(&error) && held.Finish(&error)) << error;
    EXPECT_EQ(ReadFile(Path("held.csv")), "new");
}

// A stop (Ctrl-C) ends the wait for a FIFO's reader: the run ends as an interrupted one, not
// in a hang and not in a death by the signal.
TEST_F(StraightOutputTest, AStopEndsTheWaitForAFifosReader) {
    const std::string samples = N95_SAMPLES_DIR;
    n95::test::ChildProgram host;
    // With a track the stop handlers are in place before the outputs are opened.
    ASSERT_TRUE(host.Start(N95HOST_PATH, {"replay", samples + "/drive.pcap", "--gps",
                                          samples + "/drive.nmea", "--csv", Path("fifo")}));
    ASSERT_TRUE(host.WaitForError("waiting for a reader of the FIFO " + Path("fifo"), 60.0));
    host.Signal(SIGINT);
    const n95::test::ProgramResult r = host.Wait(60.0);
    EXPECT_EQ(r.Status, 130) << r.Errors;  // as a shell reports a Ctrl-C
    EXPECT_TRUE(Contains(r.Errors, "interrupted; no output file was written")) << r.Errors;
}

}  // namespace
}  // namespace n95::host
