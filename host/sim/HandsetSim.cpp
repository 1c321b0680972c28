#include "host/sim/HandsetSim.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "host/common/Diagnostics.h"
#include "host/devices/SerialPort.h"
#include "host/formats/AtLines.h"
#include "host/formats/PcapCapture.h"
#include "host/formats/TraceFrame.h"

namespace n95::host {

namespace {

constexpr char kSwitchOn[] = "AT*NTRACE=1";
constexpr char kSwitchOff[] = "AT*NTRACE=0";
// The host is taken to have gone when the port stays closed this long.
constexpr auto kHostGone = std::chrono::seconds(1);
constexpr auto kDrainLimit = std::chrono::seconds(2);
// Behind schedule by more than this, the stream starts a new schedule instead of bursting.
constexpr auto kMaxLag = std::chrono::milliseconds(100);
constexpr std::size_t kSlowPiece = 16;

bool StartsWith(const std::string& text, const char* prefix) {
    return text.compare(0, std::strlen(prefix), prefix) == 0;
}

}  // namespace

bool LoadCaptureFrames(const std::string& path, std::vector<std::string>& frames,
                       std::string* error) {
    TCaptureReader capture;
    if (!capture.Open(path, error))
        return false;
    TCaptureReader::TStatus status;
    while ((status = capture.Next()) == TCaptureReader::TStatus::Chunk) {
        for (const std::string_view frame : SplitFrames(capture.Data(), capture.Size()))
            frames.emplace_back(frame);
    }
    if (status == TCaptureReader::TStatus::Damaged) {
        *error = capture.DamageMessage();
        return false;
    }
    if (frames.empty()) {
        *error = "capture " + path + " holds no whole trace frame";
        return false;
    }
    return true;
}

std::string LinkTarget(const std::string& path) {
    char target[PATH_MAX];
    const ssize_t n = ::readlink(path.c_str(), target, sizeof target - 1);
    return n > 0 ? std::string(target, static_cast<std::size_t>(n)) : std::string();
}

bool LinkPathIsFree(const std::string& path, std::string* error) {
    struct stat info {};
    if (::lstat(path.c_str(), &info) != 0) {
        if (errno == ENOENT)
            return true;
        *error = SystemError("cannot look at --link " + path, errno);
        return false;
    }
    const std::string target = S_ISLNK(info.st_mode) ? LinkTarget(path) : std::string();
    if (target.starts_with("/dev/pts/")) {
        // Stale only when the pseudo-terminal is gone: a run that ended took it along. One
        // that exists is another simulator's live link.
        struct stat pts {};
        if (::stat(target.c_str(), &pts) != 0 && errno == ENOENT)
            return true;
        *error = "--link " + path + " is the link of a pseudo-terminal in use (" + target +
                 ", another simulator's?); the simulator takes over no live link: stop that " +
                 "one, or name another path";
        return false;
    }
    *error = "--link " + path + " exists and is not a link to a pseudo-terminal; the simulator " +
             "replaces nothing else: remove it, or name another path";
    return false;
}

THandsetSim::THandsetSim(std::vector<std::string> frames, TSimOptions options)
    : Frames(std::move(frames)), Options(std::move(options)) {}

THandsetSim::~THandsetSim() {
    ClosePty();
    if (AtLog != nullptr)
        std::fclose(AtLog);
    RemoveLink();
}

bool THandsetSim::OpenPty(std::string* error) {
    const int master = posix_openpt(O_RDWR | O_NOCTTY);
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) {
        *error = SystemError("cannot create a pseudo-terminal", errno);
        if (master >= 0)
            ::close(master);
        return false;
    }
    const char* name = ptsname(master);
    if (name == nullptr) {
        *error = SystemError("cannot name the pseudo-terminal", errno);
        ::close(master);
        return false;
    }
    SlavePath = name;
    // Raw from the start, so that nothing is echoed or translated before the host has set
    // its own mode. The settings stay with the terminal after this descriptor closes.
    const int slave = ::open(SlavePath.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (slave < 0 || !MakeRawTerminal(slave, 115200)) {
        *error = SystemError("cannot configure " + SlavePath, errno);
        if (slave >= 0)
            ::close(slave);
        ::close(master);
        return false;
    }
    ::close(slave);
    fcntl(master, F_SETFL, fcntl(master, F_GETFL) | O_NONBLOCK);
    fcntl(master, F_SETFD, FD_CLOEXEC);
    Master = master;

    if (!Options.LinkPath.empty() && !MakeLink(error)) {
        ClosePty();
        return false;
    }
    SentLog.Port(SlavePath);
    return true;
}

// The link is made under a name of its own beside the path and renamed over it, so the host
// never finds it missing or half-made; what the rename replaces was checked first (a file
// put there between the check and the rename would still be replaced: the check guards
// against mistakes, not against an adversary).
bool THandsetSim::MakeLink(std::string* error) {
    if (!LinkPathIsFree(Options.LinkPath, error))
        return false;
    const std::string temp = Options.LinkPath + ".n95sim-" + std::to_string(::getpid());
    if (::symlink(SlavePath.c_str(), temp.c_str()) != 0) {
        *error = SystemError("cannot link " + Options.LinkPath, errno);
        return false;
    }
    if (std::rename(temp.c_str(), Options.LinkPath.c_str()) != 0) {
        *error = SystemError("cannot link " + Options.LinkPath, errno);
        ::unlink(temp.c_str());
        return false;
    }
    LinkMade = true;
    return true;
}

void THandsetSim::RemoveLink() {
    // Only while it is still this simulator's: someone may have put another link there since.
    if (LinkMade && LinkTarget(Options.LinkPath) == SlavePath)
        ::unlink(Options.LinkPath.c_str());
    LinkMade = false;
}

void THandsetSim::ClosePty() {
    if (Master >= 0) {
        ::close(Master);
        Master = -1;
    }
}

// Writes frames to a pseudo-terminal of its own that nobody reads until the kernel takes no
// more: what it holds then is the most that a hang-up can find unread. -1 when it cannot.
long long THandsetSim::PortCapacity() const {
    const int master = posix_openpt(O_RDWR | O_NOCTTY);
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0 || ptsname(master) == nullptr) {
        if (master >= 0)
            ::close(master);
        return -1;
    }
    const int slave = ::open(ptsname(master), O_RDWR | O_NOCTTY | O_CLOEXEC);
    long long held = -1;
    if (slave >= 0 && MakeRawTerminal(slave, 115200)) {
        fcntl(master, F_SETFL, fcntl(master, F_GETFL) | O_NONBLOCK);
        held = 0;
        // Full once two writes 20 ms apart are refused (the kernel frees room lazily).
        for (std::size_t index = 0, refused = 0; refused < 2;) {
            const std::string& frame = Frames[index];
            const ssize_t n = ::write(master, frame.data(), frame.size());
            if (n > 0) {
                held += n;
                refused = 0;
                index = (index + 1) % Frames.size();
            } else if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
                held = -1;
                break;
            } else {
                ++refused;
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
            }
        }
    }
    if (slave >= 0)
        ::close(slave);
    ::close(master);
    return held;
}

bool THandsetSim::Start(std::string* path, std::string* error) {
    if (Frames.empty()) {
        *error = "no frame to send";
        return false;
    }
    if (!Options.AtLogPath.empty()) {
        AtLog = std::fopen(Options.AtLogPath.c_str(), "w");
        if (AtLog == nullptr) {
            *error = SystemError("cannot write the AT log " + Options.AtLogPath, errno);
            return false;
        }
    }
    if (!Options.SentLogPath.empty()) {
        if (!SentLog.Open(Options.SentLogPath, error))
            return false;
        SentLog.Capacity(PortCapacity());
    }
    if (!OpenPty(error))
        return false;
    *path = Options.LinkPath.empty() ? SlavePath : Options.LinkPath;
    return true;
}

bool THandsetSim::WriteAll(TSentKind kind, const char* data, std::size_t size) {
    while (size > 0) {
        const ssize_t n = ::write(Master, data, size);
        if (n > 0) {
            SentLog.Write(kind, data, static_cast<std::size_t>(n));
            data += n;
            size -= static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK)
            return false;
        // The host is not reading: wait for room, but not past a stop request or its leaving.
        pollfd p{Master, POLLOUT, 0};
        if (::poll(&p, 1, 100) > 0 && (p.revents & POLLHUP) != 0)
            return false;
        if (StopRequested())
            return false;
    }
    return true;
}

void THandsetSim::HandleLine(const std::string& line) {
    ++Totals.AtLines;
    if (AtLog != nullptr) {
        std::fprintf(AtLog, "%s\n", VisibleText(line).c_str());
        std::fflush(AtLog);
    }
    if (StartsWith(line, kSwitchOff))
        Streaming = false;
    WriteAll(TSentKind::Reply, kAtReplyOk, kAtReplyOkSize);
    if (StartsWith(line, kSwitchOn)) {
        Streaming = true;
        NextFrame = TClock::now() + std::chrono::duration_cast<TClock::duration>(
                                        std::chrono::duration<double>(Options.StartDelaySeconds));
    }
}

bool THandsetSim::SendFrame() {
    const uint64_t number = Totals.FramesSent + 1;
    if (Options.GarbageEvery > 0 && number % Options.GarbageEvery == 0) {
        if (!WriteAll(TSentKind::Garbage, kSimGarbage, kSimGarbageSize))
            return false;
        ++Totals.GarbageRuns;
    }
    const std::string& frame = Frames[NextIndex];
    if (Options.SlowLineBaud > 0) {
        // Ten bits per byte on the line: start, eight data bits, stop.
        const auto piecePause = std::chrono::duration<double>(static_cast<double>(kSlowPiece * 10) /
                                                              Options.SlowLineBaud);
        for (std::size_t at = 0; at < frame.size(); at += kSlowPiece) {
            if (!WriteAll(TSentKind::Frame, frame.data() + at,
                          std::min(kSlowPiece, frame.size() - at)))
                return false;
            std::this_thread::sleep_for(piecePause);
        }
    } else if (!WriteAll(TSentKind::Frame, frame.data(), frame.size())) {
        return false;
    }
    NextIndex = (NextIndex + 1) % Frames.size();
    ++Totals.FramesSent;
    Totals.FrameBytesSent += frame.size();
    return true;
}

long long THandsetSim::Drain() {
    // Only the slave side can tell how much input waits unread: look through a second
    // descriptor of our own.
    const int slave = ::open(SlavePath.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (slave < 0)
        return -1;
    // The kernel moves written bytes to the slave's queue later, from a worker thread that a
    // busy machine can hold back for tens of milliseconds, and FIONREAD does not count them
    // meanwhile: the queue must be seen empty ten times, 20 ms apart. Even so what is still
    // on its way may be lost; the sent log's capacity line bounds it.
    const auto limit = TClock::now() + kDrainLimit;
    int emptyChecks = 0;
    long long unread = -1;
    while (emptyChecks < 10 && TClock::now() < limit && !StopRequested()) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        int waiting = 0;
        if (::ioctl(slave, FIONREAD, &waiting) != 0) {
            unread = -1;
            break;
        }
        unread = waiting;
        emptyChecks = waiting == 0 ? emptyChecks + 1 : 0;
    }
    ::close(slave);
    return unread;
}

bool THandsetSim::Run(const volatile std::sig_atomic_t* stopRequested, std::string* error) {
    Stop = stopRequested;
    ForgetHost();
    while (!StopRequested()) {
        const bool wantFrame = WantFrame();
        pollfd p{Master, POLLIN, 0};
        const timespec wait = WaitTime(wantFrame);
        const int ready = ::ppoll(&p, 1, &wait, nullptr);
        if (ready < 0 && errno != EINTR) {
            *error = SystemError("cannot wait on the pseudo-terminal", errno);
            return false;
        }

        if (ready > 0 && (p.revents & POLLHUP) != 0 && (p.revents & POLLIN) == 0) {
            // No host has the port open.
            if (HostHasGone())
                break;
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
            continue;
        }
        // The pseudo-terminal starts hung up (OpenPty closed its own slave descriptor): from
        // here on a host has the port open.
        HostSeen = true;
        HostClosed = false;

        if (ready > 0 && (p.revents & POLLIN) != 0)
            ReadLines();

        if (!wantFrame || TClock::now() < NextFrame)
            continue;
        if (!SendDueFrame())
            continue;  // the host went away in the middle; the loop notices

        if (HangUpDue()) {
            const TAfterHangUp after = HangUp(error);
            if (after == TAfterHangUp::Failed)
                return false;
            if (after == TAfterHangUp::RunEnds)
                break;
        }
    }
    LogUnfinishedLine();
    SentLog.End();
    return SentLog.Flush(error);
}

// Streaming, and the frame count not reached yet.
bool THandsetSim::WantFrame() const {
    return Streaming &&
           (Options.Count < 0 || Totals.FramesSent < static_cast<uint64_t>(Options.Count));
}

// How long to wait for the host's bytes: until the next frame is due, and never longer than
// 50 ms, so that a stop request is seen soon. To the nanosecond: at 1,000 frames/s a wait in
// whole milliseconds would round to 0 and spin until the frame is due.
timespec THandsetSim::WaitTime(bool wantFrame) const {
    auto wait = std::chrono::nanoseconds(std::chrono::milliseconds(50));
    if (wantFrame)
        wait = std::clamp(
            std::chrono::duration_cast<std::chrono::nanoseconds>(NextFrame - TClock::now()),
            std::chrono::nanoseconds(0), wait);
    const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(wait);
    return timespec{static_cast<time_t>(seconds.count()),
                    static_cast<long>((wait - seconds).count())};
}

// The port has no host: true once a host that had it open has left it closed too long.
bool THandsetSim::HostHasGone() {
    if (!HostSeen)
        return false;
    if (!HostClosed) {
        HostClosed = true;
        ClosedSince = TClock::now();
        return false;
    }
    return TClock::now() - ClosedSince > kHostGone;
}

// A new pseudo-terminal: no host has opened it yet, and no line has begun.
void THandsetSim::ForgetHost() {
    Lines = TAtLineSplitter();
    HostSeen = false;
    HostClosed = false;
}

// Reads what the host sent and answers every line it completes.
void THandsetSim::ReadLines() {
    char buffer[4096];
    const ssize_t n = ::read(Master, buffer, sizeof buffer);
    if (n <= 0)
        return;
    for (const std::string& line : Lines.Take(buffer, static_cast<std::size_t>(n)))
        HandleLine(line);
}

// Sends the frame that is due and schedules the next one; false when the host went away
// meanwhile.
bool THandsetSim::SendDueFrame() {
    if (!SendFrame())
        return false;
    NextFrame += std::chrono::duration_cast<TClock::duration>(
        std::chrono::duration<double>(1.0 / Options.FramesPerSecond));
    if (TClock::now() - NextFrame > kMaxLag)
        NextFrame = TClock::now();
    return true;
}

// Checked after each frame sent, so a multiple of HangupEvery is met exactly once.
bool THandsetSim::HangUpDue() const {
    return (!HungUp && Options.HangupAfter > 0 && Totals.FramesSent >= Options.HangupAfter) ||
           (Options.HangupEvery > 0 && Totals.FramesSent % Options.HangupEvery == 0);
}

// Hangs up once the host has read what was sent; with a replug delay, a new pseudo-terminal
// appears behind the link path after it.
THandsetSim::TAfterHangUp THandsetSim::HangUp(std::string* error) {
    HungUp = true;
    ++Totals.HangUps;
    const long long unread = Drain();
    // The link goes first: a host that reopens it meanwhile finds nothing, never a
    // new pseudo-terminal of someone else that got the old number.
    RemoveLink();
    ClosePty();
    SentLog.HangUp(unread);
    if (!SentLog.Flush(error))
        return TAfterHangUp::Failed;
    Streaming = false;
    if (Options.ReplugSeconds < 0 || Options.LinkPath.empty())
        return TAfterHangUp::RunEnds;
    std::this_thread::sleep_for(std::chrono::duration<double>(Options.ReplugSeconds));
    if (!OpenPty(error))
        return TAfterHangUp::Failed;
    ForgetHost();
    return TAfterHangUp::Replugged;
}

// A line the host began but never ended goes into the AT log as it is.
void THandsetSim::LogUnfinishedLine() {
    if (!Lines.Unfinished().empty() && AtLog != nullptr) {
        std::fprintf(AtLog, "%s (no carriage return)\n", VisibleText(Lines.Unfinished()).c_str());
        std::fflush(AtLog);
    }
}

}  // namespace n95::host
