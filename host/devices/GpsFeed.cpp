#include "host/devices/GpsFeed.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string_view>

#include "host/common/Diagnostics.h"
#include "host/common/SystemCalls.h"
#include "host/devices/SerialPort.h"

namespace n95::host {

TGpsFeed::TGpsFeed(TRunClock& clock) : Clock(clock), Reader(Fixes) {}

TGpsFeed::~TGpsFeed() {
    if (Fd >= 0)
        System().Close(Fd);
}

bool TGpsFeed::Open(const std::string& path, int baud, std::string* error) {
    SourcePath = path;
    Baud = baud;
    return OpenPath(error);
}

bool TGpsFeed::OpenPath(std::string* error) {
    const std::string& path = SourcePath;
    TSystemCalls& system = System();
    const int fd = system.Open(path, kOpenRead | kOpenNoTerminal | kOpenNonBlock);
    if (fd < 0) {
        *error = SystemError("cannot open GPS " + path, errno);
        return false;
    }
    TFileInfo info;
    if (system.StatusOf(fd, info) != 0 || info.Kind == TFileKind::Directory) {
        *error = "cannot read GPS " + path + ": is a directory";
        system.Close(fd);
        return false;
    }
    const bool file = info.Kind == TFileKind::Regular;
    if (!file && system.IsTerminal(fd) == 0 && !MakeRawTerminal(fd, Baud)) {
        // A receiver on a serial line: raw bytes at its speed (NMEA 0183 says 4800 baud).
        *error = SystemError(
            "cannot configure GPS " + path + " at " + std::to_string(Baud) + " baud", errno);
        system.Close(fd);
        return false;
    }
    Fd = fd;
    IsFile = file;
    Offset = 0;
    LastHeard = Clock.Seconds();
    return true;
}

void TGpsFeed::Drop(const std::string& why, bool now) {
    System().Close(Fd);
    Fd = -1;
    Reader.DropPartialLine();
    Reopening = true;
    if (Confirming) {
        // Reopened, but nothing came before this end (a FIFO without its writer, a receiver
        // that is still starting): the loss already said goes on, quietly.
        Confirming = false;
        NextAttempt = Clock.Seconds() + kRetrySeconds;
        return;
    }
    ++LossCount;
    NextAttempt = Clock.Seconds() + (now ? 0.0 : kRetrySeconds);
    char every[32];
    std::snprintf(every, sizeof every, "%g s", kRetrySeconds);
    Notices.push_back({true, "lost GPS " + SourcePath + " (" + why + "); trying again every " +
                                 every + ", records wait for the next fix"});
}

void TGpsFeed::Retry() {
    if (Clock.Seconds() < NextAttempt)
        return;
    std::string error;
    if (!OpenPath(&error)) {
        NextAttempt = Clock.Seconds() + kRetrySeconds;
        return;
    }
    Reopening = false;
    Confirming = true;  // back once bytes come
}

void TGpsFeed::FollowReplacedFile() {
    LastHeard = Clock.Seconds();  // looked at once per timeout
    TFileInfo open, named;
    if (System().StatusOf(Fd, open) != 0 || System().Status(SourcePath, named) != 0 ||
        (open.Device == named.Device && open.Inode == named.Inode))
        return;
    const int old = Fd;
    std::string error;
    if (!OpenPath(&error))
        return;  // Fd and Offset are still the old file's
    System().Close(old);
    Reader.DropPartialLine();
    Notices.push_back({false, "GPS " + SourcePath + " is another file now; reading it"});
}

std::size_t TGpsFeed::Poll() {
    const std::size_t before = Fixes.Fixes.size();
    if (Fd < 0 && Reopening)
        Retry();
    if (Fd < 0)
        return 0;
    if (IsFile) {
        // A file that shrank was started afresh (rotated, or rewritten): read it again.
        TFileInfo info;
        if (System().StatusOf(Fd, info) == 0 && Offset > info.Size && System().Rewind(Fd) == 0) {
            Offset = 0;
            Reader.DropPartialLine();
        }
    }
    char buffer[8192];
    for (std::size_t taken = 0; taken < kMaxBytesPerPoll;) {
        const ssize_t n = System().Read(Fd, buffer, sizeof buffer);
        if (n > 0) {
            Reader.Take(buffer, static_cast<std::size_t>(n));
            taken += static_cast<std::size_t>(n);
            Offset += static_cast<uint64_t>(n);
            LastHeard = Clock.Seconds();
            if (Confirming) {
                Confirming = false;
                ++RecoveryCount;
                Notices.push_back({false, "reopened GPS " + SourcePath});
            }
            continue;
        }
        if (n == 0 && IsFile)
            break;  // for now: the writer may append more
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            break;
        Drop(n == 0 ? "hung up" : SystemError("cannot read", errno), false);
        return Fixes.Fixes.size() - before;
    }
    if (SilenceSeconds > 0 && Clock.Seconds() - LastHeard > SilenceSeconds) {
        if (IsFile) {
            FollowReplacedFile();
        } else {
            char silent[48];
            std::snprintf(silent, sizeof silent, "nothing came for %g s", SilenceSeconds);
            Drop(silent, true);
        }
    }
    return Fixes.Fixes.size() - before;
}

}  // namespace n95::host
