#include "tests/host/HostTestSupport.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace n95::test {

namespace {

// See ChildProgram::Signal.
#if defined(__SANITIZE_THREAD__)
constexpr bool kThreadSanitizer = true;
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
constexpr bool kThreadSanitizer = true;
#else
constexpr bool kThreadSanitizer = false;
#endif
#else
constexpr bool kThreadSanitizer = false;
#endif
constexpr std::chrono::seconds kResendAfter{5};

}  // namespace

void ScratchDirTest::SetUp() {
    std::string pattern = std::filesystem::temp_directory_path().string() + "/n95host-test-XXXXXX";
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    Dir = pattern;
}

void ScratchDirTest::TearDown() {
    std::error_code ec;
    if (!Dir.empty())
        std::filesystem::remove_all(Dir, ec);
}

namespace {

// Starts `program` with `args`, standard input from /dev/null and standard output and error
// into new pipes, whose read ends are left in out[0] and err[0] (the write ends are closed
// here). With `defaultSigpipe` the child takes SIGPIPE's default action even when this
// process ignores it. Everything the child needs is made before fork: other threads (the
// readers of other children) may hold the allocator's lock at that moment. The child's pid,
// or -1.
pid_t Spawn(const std::string& program, const std::vector<std::string>& args, bool defaultSigpipe,
            int out[2], int err[2]) {
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(program.c_str()));
    for (const std::string& a : args)
        argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    if (pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0)
        return -1;
    const pid_t pid = fork();
    if (pid < 0)
        return -1;
    if (pid == 0) {
        if (defaultSigpipe)
            std::signal(SIGPIPE, SIG_DFL);
        const int nullFd = open("/dev/null", O_RDONLY);
        dup2(nullFd, 0);
        dup2(out[1], 1);
        dup2(err[1], 2);
        execv(program.c_str(), argv.data());
        _exit(127);
    }
    close(out[1]);
    close(err[1]);
    return pid;
}

}  // namespace

ProgramResult RunProgram(const std::string& program, const std::vector<std::string>& args) {
    ChildProgram child;
    if (!child.Start(program, args))
        return {};
    return child.Wait(kProgramTimeoutSeconds);
}

ProgramResult RunProgramClosingOutput(const std::string& program,
                                      const std::vector<std::string>& args) {
    ProgramResult result;
    int out[2], err[2];
    const pid_t pid = Spawn(program, args, true, out, err);
    if (pid < 0)
        return result;
    char buffer[4096];
    while (result.Output.find('\n') == std::string::npos) {
        const ssize_t n = read(out[0], buffer, sizeof buffer);
        if (n <= 0)
            break;
        result.Output.append(buffer, static_cast<std::size_t>(n));
    }
    close(out[0]);
    // Standard error until the program ends; a program that hangs is killed.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    for (;;) {
        pollfd p{err[0], POLLIN, 0};
        if (poll(&p, 1, 100) > 0) {
            const ssize_t n = read(err[0], buffer, sizeof buffer);
            if (n <= 0)
                break;
            result.Errors.append(buffer, static_cast<std::size_t>(n));
        } else if (std::chrono::steady_clock::now() > deadline) {
            kill(pid, SIGKILL);
            break;
        }
    }
    close(err[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    result.Status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return result;
}

bool Contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

uint64_t SummaryNumber(const std::string& output, const std::string& label) {
    const std::size_t at = output.find("  " + label + " ");
    if (at == std::string::npos)
        return ~0ull;
    return std::stoull(output.substr(output.find_first_not_of(' ', at + label.size() + 2)));
}

ChildProgram::~ChildProgram() {
    if (Pid > 0) {
        kill(Pid, SIGKILL);
        waitpid(Pid, nullptr, 0);
    }
    if (Reader.joinable())
        Reader.join();
}

bool ChildProgram::Start(const std::string& program, const std::vector<std::string>& args) {
    int out[2], err[2];
    const pid_t pid = Spawn(program, args, false, out, err);
    if (pid < 0)
        return false;
    Pid = pid;
    Name = std::filesystem::path(program).filename().string().substr(0, 15);
    Reader = std::thread([this, outFd = out[0], errFd = err[0]] { Collect(outFd, errFd); });
    return true;
}

void ChildProgram::Collect(int outFd, int errFd) {
    pollfd fds[2] = {{outFd, POLLIN, 0}, {errFd, POLLIN, 0}};
    int open = 2;
    char buffer[65536];
    while (open > 0) {
        if (poll(fds, 2, -1) < 0)
            continue;
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || fds[i].revents == 0)
                continue;
            const ssize_t n = read(fds[i].fd, buffer, sizeof buffer);
            std::lock_guard<std::mutex> guard(Lock);
            if (n > 0) {
                (i == 0 ? Output : Errors).append(buffer, static_cast<std::size_t>(n));
            } else {
                close(fds[i].fd);
                fds[i].fd = -1;
                --open;
            }
            Changed.notify_all();
        }
    }
    std::lock_guard<std::mutex> guard(Lock);
    Closed = true;
    Changed.notify_all();
}

std::string ChildProgram::FirstLine(double timeoutSeconds) {
    std::unique_lock<std::mutex> guard(Lock);
    Changed.wait_for(guard, std::chrono::duration<double>(timeoutSeconds),
                     [&] { return Output.find('\n') != std::string::npos || Closed; });
    const std::size_t end = Output.find('\n');
    return end == std::string::npos ? std::string() : Output.substr(0, end);
}

bool ChildProgram::WaitForError(const std::string& text, double timeoutSeconds) {
    std::unique_lock<std::mutex> guard(Lock);
    return Changed.wait_for(guard, std::chrono::duration<double>(timeoutSeconds), [&] {
        return Errors.find(text) != std::string::npos || Closed;
    }) && Errors.find(text) != std::string::npos;
}

bool ChildProgram::WaitUntilCatching(int signal, double timeoutSeconds) {
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::duration<double>(timeoutSeconds);
    const std::string status = "/proc/" + std::to_string(Pid) + "/status";
    while (Pid > 0 && std::chrono::steady_clock::now() < deadline) {
        const std::string text = ReadFile(status);
        const std::size_t at = text.find("SigCgt:");
        if (at == std::string::npos)
            return false;  // ended
        const bool program = text.rfind("Name:\t" + Name + "\n", 0) == 0;
        if (program && (std::stoull(text.substr(at + 7), nullptr, 16) >> (signal - 1)) & 1)
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return false;
}

void ChildProgram::Signal(int signal) {
    if (Pid > 0 && kill(Pid, signal) == 0)
        SentSignal = signal;
}

ProgramResult ChildProgram::Wait(double timeoutSeconds) {
    ProgramResult result;
    if (Pid <= 0)
        return result;
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::duration<double>(timeoutSeconds);
    int status = 0;
    bool exited = false;
    auto sent = std::chrono::steady_clock::now();
    while (!exited) {
        const pid_t done = waitpid(Pid, &status, WNOHANG);
        const auto now = std::chrono::steady_clock::now();
        if (done == Pid) {
            exited = true;
        } else if (kThreadSanitizer && SentSignal != 0 && now - sent >= kResendAfter) {
            std::fprintf(stderr, "note: the program still runs %d s after signal %d: sent again\n",
                         static_cast<int>(kResendAfter.count()), SentSignal);
            kill(Pid, SentSignal);
            sent = now;
        } else if (now >= deadline) {
            kill(Pid, SIGKILL);
            waitpid(Pid, nullptr, 0);
            status = -1;
            break;
        } else {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    }
    Pid = -1;
    if (Reader.joinable())
        Reader.join();
    std::lock_guard<std::mutex> guard(Lock);
    result.Status = exited && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    result.Output = Output;
    result.Errors = Errors;
    return result;
}

Pty::Pty() {
    Master = posix_openpt(O_RDWR | O_NOCTTY);
    if (Master >= 0 && grantpt(Master) == 0 && unlockpt(Master) == 0)
        Slave = ptsname(Master);
    fcntl(Master, F_SETFL, fcntl(Master, F_GETFL) | O_NONBLOCK);
}

void Pty::HangUp() {
    if (Master >= 0)
        close(Master);
    Master = -1;
}

void Pty::Write(const std::string& bytes) const {
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = write(Master, bytes.data() + done, bytes.size() - done);
        if (n > 0)
            done += static_cast<std::size_t>(n);
        else
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

std::string Pty::Read(std::size_t size, int quietMs) const {
    std::string out;
    char buffer[4096];
    while (out.size() < size) {
        pollfd p{Master, POLLIN, 0};
        if (poll(&p, 1, quietMs) <= 0)
            break;
        const ssize_t n = read(Master, buffer, std::min(sizeof buffer, size - out.size()));
        if (n <= 0)
            break;
        out.append(buffer, static_cast<std::size_t>(n));
    }
    return out;
}

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

void WriteFile(const std::string& path, const std::string& content) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << content;
}

bool FileExists(const std::string& path) {
    return std::filesystem::exists(path);
}

std::vector<std::string> ListDir(const std::string& dir) {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(dir))
        names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

std::vector<std::string> SplitLines(const std::string& text) {
    std::vector<std::string> lines;
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find('\n', start);
        if (end == std::string::npos)
            end = text.size();
        std::string line = text.substr(start, end - start);
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        lines.push_back(line);
        start = end + 1;
    }
    return lines;
}

std::vector<std::string> SplitFields(const std::string& line, char separator) {
    std::vector<std::string> fields;
    std::size_t start = 0;
    for (;;) {
        const std::size_t end = line.find(separator, start);
        fields.push_back(
            line.substr(start, end == std::string::npos ? std::string::npos : end - start));
        if (end == std::string::npos)
            return fields;
        start = end + 1;
    }
}

}  // namespace n95::test
