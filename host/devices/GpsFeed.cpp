#include "host/devices/GpsFeed.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string_view>

#include "host/common/Diagnostics.h"
#include "host/devices/SerialPort.h"

namespace n95::host {

TGpsFeed::TGpsFeed() : Reader(Fixes) {}

TGpsFeed::~TGpsFeed() {
    if (Fd >= 0)
        ::close(Fd);
}

bool TGpsFeed::Open(const std::string& path, int baud, std::string* error) {
    SourcePath = path;
    const int fd = ::open(path.c_str(), O_RDONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        *error = SystemError("cannot open GPS " + path, errno);
        return false;
    }
    struct stat info;
    if (fstat(fd, &info) != 0 || S_ISDIR(info.st_mode)) {
        *error = "cannot read GPS " + path + ": is a directory";
        ::close(fd);
        return false;
    }
    IsFile = S_ISREG(info.st_mode);
    termios mode;
    if (!IsFile && tcgetattr(fd, &mode) == 0 && !MakeRawTerminal(fd, baud)) {
        // A receiver on a serial line: raw bytes at its speed (NMEA 0183 says 4800 baud).
        *error = SystemError(
            "cannot configure GPS " + path + " at " + std::to_string(baud) + " baud", errno);
        ::close(fd);
        return false;
    }
    Fd = fd;
    return true;
}

std::size_t TGpsFeed::Poll() {
    if (Fd < 0)
        return 0;
    const std::size_t before = Fixes.Fixes.size();
    if (IsFile) {
        // A file that shrank was started afresh (rotated, or rewritten): read it again.
        struct stat info;
        const off_t at = ::lseek(Fd, 0, SEEK_CUR);
        if (fstat(Fd, &info) == 0 && at > info.st_size) {
            ::lseek(Fd, 0, SEEK_SET);
            Reader.DropPartialLine();
        }
    }
    char buffer[8192];
    for (std::size_t taken = 0; taken < kMaxBytesPerPoll;) {
        const ssize_t n = ::read(Fd, buffer, sizeof buffer);
        if (n > 0) {
            Reader.Take(buffer, static_cast<std::size_t>(n));
            taken += static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n == 0 && IsFile)
            break;  // for now: the writer may append more
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            break;
        LostMessage = n == 0 ? "GPS " + SourcePath + " hung up"
                             : SystemError("cannot read GPS " + SourcePath, errno);
        ::close(Fd);
        Fd = -1;
        break;
    }
    return Fixes.Fixes.size() - before;
}

}  // namespace n95::host
