// Helpers of the host tool's tests: a scratch folder per test, running the built programs,
// small file utilities.
#pragma once

#include <gtest/gtest.h>

#include <sys/types.h>

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace n95::test {

// A fresh folder under the system's temporary folder, removed with everything in it when
// the fixture ends.
class ScratchDirTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;
    std::string Path(const std::string& name) const { return Dir + "/" + name; }

    std::string Dir;
};

struct ProgramResult {
    int Status = -1;     // exit status; -1 when the program did not exit normally
    std::string Output;  // standard output
    std::string Errors;  // standard error
};

// Runs `program` with `args` (no shell involved), with standard input closed, and waits for
// its end. A program still running after kProgramTimeoutSeconds is killed (Status -1): a hang
// fails the test instead of the whole run.
inline constexpr double kProgramTimeoutSeconds = 600.0;
ProgramResult RunProgram(const std::string& program, const std::vector<std::string>& args);

// Runs `program` with its standard output a pipe that is closed once the first line has come
// through it, as `program | head -n 1` does, and waits for the end. SIGPIPE has its default
// action in the program, so a program that does not take care of it dies (Status -1).
// Output holds what was read before the close.
ProgramResult RunProgramClosingOutput(const std::string& program,
                                      const std::vector<std::string>& args);

bool Contains(const std::string& text, const std::string& part);
// The number that starts the value of a summary line ("  records         15003: ..."), or
// ~0 when the summary has no such line.
uint64_t SummaryNumber(const std::string& output, const std::string& label);

// A program running in the background (no shell), its standard output and error collected
// as they come. Destroying a child that still runs kills it.
class ChildProgram {
public:
    ChildProgram() = default;
    ChildProgram(const ChildProgram&) = delete;
    ChildProgram& operator=(const ChildProgram&) = delete;
    ~ChildProgram();

    bool Start(const std::string& program, const std::vector<std::string>& args);
    // Waits until standard output holds a whole first line and returns it ("" on timeout or
    // when the program ended without one).
    std::string FirstLine(double timeoutSeconds);
    // Waits until standard error contains `text`; false on timeout or when the program ended.
    bool WaitForError(const std::string& text, double timeoutSeconds);
    // Waits until the program has a handler for `signal` (its SigCgt in /proc); false on
    // timeout or when it ended. Only the program itself counts, not the forked child before
    // its exec (under valgrind that child catches every signal).
    bool WaitUntilCatching(int signal, double timeoutSeconds);
    // Sends `signal`. In a ThreadSanitizer build, Wait sends it again every few seconds while
    // the program runs (and says so on standard error): that runtime runs a signal's handler
    // only at points of its own, and has been seen to sit on a Ctrl-C for a minute under load
    // (in an idle wait: a FIFO without a reader, a handset that never answers). The other
    // builds send it once, and their tests hold the program to that one.
    void Signal(int signal);
    // Waits for the end, at most `timeoutSeconds`; then kills the program (Status -1).
    ProgramResult Wait(double timeoutSeconds);

private:
    void Collect(int outFd, int errFd);

    pid_t Pid = -1;
    std::string Name;    // the program's name as /proc shows it (15 characters at most)
    int SentSignal = 0;  // the last one Signal sent (0: none)
    std::thread Reader;
    std::mutex Lock;
    std::condition_variable Changed;
    std::string Output, Errors;
    bool Closed = false;  // both pipes reached their end
};

// The handset's (or the GPS receiver's) side of a pseudo-terminal: the test writes to and
// reads from Master; the unit under test opens Slave.
class Pty {
public:
    Pty();
    ~Pty() { HangUp(); }
    // Closes the master side: the slave side sees a hang-up.
    void HangUp();
    void Write(const std::string& bytes) const;
    // Reads until `size` bytes came or nothing came for `quietMs`.
    std::string Read(std::size_t size, int quietMs = 1000) const;

    int Master = -1;
    std::string Slave;
};

std::string ReadFile(const std::string& path);
void WriteFile(const std::string& path, const std::string& content);
bool FileExists(const std::string& path);
// The names in a folder (not recursive), sorted.
std::vector<std::string> ListDir(const std::string& dir);
// The lines of a text, without their line ends; no empty last line.
std::vector<std::string> SplitLines(const std::string& text);
std::vector<std::string> SplitFields(const std::string& line, char separator = ',');

}  // namespace n95::test
