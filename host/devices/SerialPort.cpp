#include "host/devices/SerialPort.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>

#include "host/common/CaptureTime.h"
#include "host/common/Diagnostics.h"

namespace n95::host {

namespace {

struct TBaud {
    int Value;
    speed_t Speed;
};

constexpr TBaud kBauds[] = {
    {50, B50},           {75, B75},           {110, B110},         {134, B134},
    {150, B150},         {200, B200},         {300, B300},         {600, B600},
    {1200, B1200},       {1800, B1800},       {2400, B2400},       {4800, B4800},
    {9600, B9600},       {19200, B19200},     {38400, B38400},     {57600, B57600},
    {115200, B115200},   {230400, B230400},   {460800, B460800},   {500000, B500000},
    {576000, B576000},   {921600, B921600},   {1000000, B1000000}, {1152000, B1152000},
    {1500000, B1500000}, {2000000, B2000000}, {2500000, B2500000}, {3000000, B3000000},
    {3500000, B3500000}, {4000000, B4000000},
};

bool SpeedOf(int baud, speed_t& speed) {
    for (const TBaud& b : kBauds) {
        if (b.Value == baud) {
            speed = b.Speed;
            return true;
        }
    }
    return false;
}

using TClock = std::chrono::steady_clock;

int MillisecondsLeft(TClock::time_point deadline) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - TClock::now()).count();
    return static_cast<int>(std::max<long long>(0, left));
}

}  // namespace

bool IsSupportedBaud(int baud) {
    speed_t speed;
    return SpeedOf(baud, speed);
}

bool MakeRawTerminal(int fd, int baud) {
    speed_t speed;
    if (!SpeedOf(baud, speed)) {
        errno = EINVAL;
        return false;
    }
    termios mode;
    if (tcgetattr(fd, &mode) != 0)
        return false;
    cfmakeraw(&mode);
    mode.c_cflag |= CLOCAL | CREAD;
    mode.c_cflag &= ~static_cast<tcflag_t>(CSTOPB | CRTSCTS);
    // VMIN 1: with O_NONBLOCK an empty line reads as EAGAIN, so that a read of 0 bytes means
    // the line hung up (with VMIN 0 it would also mean "nothing yet").
    mode.c_cc[VMIN] = 1;
    mode.c_cc[VTIME] = 0;
    return cfsetispeed(&mode, speed) == 0 && cfsetospeed(&mode, speed) == 0 &&
           tcsetattr(fd, TCSANOW, &mode) == 0;
}

TSerialPort::TSerialPort(std::string path, TSerialOptions options)
    : DevicePath(std::move(path)), Options(options) {}

namespace {

// What may be a handset's port: a terminal, or a FIFO or socket as the tests and tools use
// them. Anything that can be storage (a disk, a regular file, a folder) is refused before a
// byte is written to it, and so is a character device that is not a terminal (/dev/zero,
// /dev/null: the AT lines would vanish and the trace never come).
// `fd` is the open device, or -1 for a look at `path` before it is opened: a disk is never
// even opened read-write.
bool CheckPortKind(int fd, const std::string& path, std::string* error) {
    struct stat info {};
    if ((fd >= 0 ? fstat(fd, &info) : stat(path.c_str(), &info)) != 0)
        return fd < 0;  // not there (yet): the open says why
    const char* what = S_ISBLK(info.st_mode)   ? "a block device (a disk)"
                       : S_ISREG(info.st_mode) ? "a regular file"
                       : S_ISDIR(info.st_mode) ? "a folder"
                                               : nullptr;
    termios mode;
    if (what == nullptr && fd >= 0 && S_ISCHR(info.st_mode) && tcgetattr(fd, &mode) != 0 &&
        (errno == ENOTTY || errno == EINVAL))
        what = "a character device that is not a terminal";
    if (what == nullptr)
        return true;
    *error = "cannot use " + path + ": it is " + what + ", not a serial port";
    return false;
}

// The port is one run's: an exclusive advisory lock on the device, so that a second run
// (root's too) is told instead of reading half the bytes. The lock goes with the descriptor.
bool LockPort(int fd, const std::string& path, std::string* error) {
    int result;
    do
        result = flock(fd, LOCK_EX | LOCK_NB);
    while (result != 0 && errno == EINTR);
    if (result == 0 || errno == ENOLCK)
        return true;  // a device that takes no lock at all cannot be guarded this way
    *error = errno == EWOULDBLOCK
                 ? "cannot use " + path + ": the port is in use (another program holds its lock)"
                 : SystemError("cannot lock " + path, errno);
    return false;
}

}  // namespace

TSerialPort::~TSerialPort() {
    Close();
}

bool TSerialPort::OpenPort(std::string* error) {
    if (Fd >= 0)
        return true;
    Error.clear();
    Pending.reset();
    if (!IsSupportedBaud(Options.Baud)) {
        Error = "cannot open " + DevicePath + ": " + std::to_string(Options.Baud) +
                " is not a supported baud rate";
        *error = Error;
        return false;
    }
    if (!CheckPortKind(-1, DevicePath, &Error)) {
        *error = Error;
        return false;
    }
    const int fd = ::open(DevicePath.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        Error = SystemError("cannot open " + DevicePath, errno);
        *error = Error;
        return false;
    }
    if (!CheckPortKind(fd, DevicePath, &Error) || !LockPort(fd, DevicePath, &Error)) {
        ::close(fd);
        *error = Error;
        return false;
    }
    termios mode;
    if (tcgetattr(fd, &mode) == 0) {
        if (!MakeRawTerminal(fd, Options.Baud)) {
            Error = SystemError("cannot configure " + DevicePath, errno);
            ::close(fd);
            *error = Error;
            return false;
        }
        Terminal = true;
    } else if (errno == ENOTTY || errno == EINVAL) {
        Terminal = false;
    } else {
        Error = SystemError("cannot configure " + DevicePath, errno);
        ::close(fd);
        *error = Error;
        return false;
    }
    Fd = fd;
    return true;
}

void TSerialPort::Open(bool) {
    std::string error;
    OpenPort(&error);  // a failure stays in LastError; IsOpen tells the caller
}

void TSerialPort::Close() {
    if (Fd < 0)
        return;
    ::close(Fd);
    Fd = -1;
    Pending.reset();
}

void TSerialPort::PurgeInput() {
    if (Fd >= 0 && Terminal)
        tcflush(Fd, TCIFLUSH);
}

void TSerialPort::PurgeOutput() {
    if (Fd >= 0 && Terminal)
        tcflush(Fd, TCOFLUSH);
}

TDateTime TSerialPort::GetTimeStamp() {
    if (Held)
        return *Held;
    return CaptureTimeToDateTime(CaptureTimeNow());
}

void TSerialPort::WriteData(const void* buffer, int32_t count) {
    if (Fd < 0) {
        const std::string message = "cannot write to " + DevicePath + ": the port is closed";
        throw TPortError(message);
    }
    const auto* bytes = static_cast<const uint8_t*>(buffer);
    std::size_t left = count > 0 ? static_cast<std::size_t>(count) : 0;
    while (left > 0) {
        const ssize_t n = ::write(Fd, bytes, left);
        if (n > 0) {
            bytes += n;
            left -= static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
            Error = SystemError("cannot write to " + DevicePath, errno);
            throw TPortError(Error);
        }
        // No room: wait until the line takes bytes again.
        pollfd p{Fd, POLLOUT, 0};
        const int ready = ::poll(&p, 1, Options.WriteTimeoutMs);
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready <= 0) {
            Error = "cannot write to " + DevicePath + ": the line took no byte for " +
                    std::to_string(Options.WriteTimeoutMs) + " ms";
            throw TPortError(Error);
        }
        if ((p.revents & (POLLERR | POLLHUP | POLLNVAL)) != 0 && (p.revents & POLLOUT) == 0) {
            Error = "cannot write to " + DevicePath + ": the line hung up";
            throw TPortError(Error);
        }
    }
}

TSerialPort::TReadStatus TSerialPort::Fail(TReadStatus status, std::string message) {
    if (!message.empty())
        Error = std::move(message);
    return status;
}

TSerialPort::TReadStatus TSerialPort::HangUp(short revents) {
    if ((revents & POLLNVAL) != 0)
        return Fail(TReadStatus::Lost, DevicePath + " is not open");
    if ((revents & POLLERR) != 0)
        return Fail(TReadStatus::Lost, DevicePath + " failed (error condition on the line)");
    return Terminal ? Fail(TReadStatus::Lost, DevicePath + " hung up") : Fail(TReadStatus::End, "");
}

TSerialPort::TReadStatus TSerialPort::ReadBurst(std::string& chunk, int waitMs) {
    chunk.clear();
    if (Pending)
        return *Pending;
    if (Fd < 0)
        return Fail(TReadStatus::Lost, Error.empty() ? DevicePath + " is closed" : "");

    pollfd p{Fd, POLLIN, 0};
    const int ready = ::poll(&p, 1, std::max(0, waitMs));
    if (ready < 0 && errno != EINTR)
        return *(Pending =
                     Fail(TReadStatus::Lost, SystemError("cannot read " + DevicePath, errno)));
    if (ready <= 0)
        return TReadStatus::Idle;
    if ((p.revents & POLLIN) == 0)
        return *(Pending = HangUp(p.revents));

    const auto start = TClock::now();
    const auto deadline = start + std::chrono::milliseconds(Options.MaxBurstMs);
    char buffer[16384];
    for (;;) {
        const std::size_t room = Options.MaxBurstBytes - chunk.size();
        const ssize_t n = ::read(Fd, buffer, std::min(room, sizeof buffer));
        if (n > 0) {
            chunk.append(buffer, static_cast<std::size_t>(n));
            if (chunk.size() >= Options.MaxBurstBytes || TClock::now() >= deadline)
                break;
            continue;
        }
        if (n == 0) {
            // End of data: a terminal has hung up (the device is gone); anything else ended.
            Pending = Terminal ? Fail(TReadStatus::Lost, DevicePath + " hung up")
                               : Fail(TReadStatus::End, "");
            break;
        }
        if (errno == EINTR)
            continue;
        if (errno != EAGAIN && errno != EWOULDBLOCK) {
            Pending = Fail(TReadStatus::Lost,
                           errno == EIO ? DevicePath + " hung up (input/output error)"
                                        : SystemError("cannot read " + DevicePath, errno));
            break;
        }
        // Nothing more for now: the burst goes on while bytes keep coming within the gap.
        const int wait = std::min(Options.IdleGapMs, MillisecondsLeft(deadline));
        if (wait <= 0)
            break;
        p = pollfd{Fd, POLLIN, 0};
        const int more = ::poll(&p, 1, wait);
        if (more == 0)
            break;
        if (more < 0 && errno != EINTR)
            break;
        if (more > 0 && (p.revents & POLLIN) == 0) {
            Pending = HangUp(p.revents);
            break;
        }
    }
    if (chunk.empty())
        return Pending ? *Pending : TReadStatus::Idle;
    return TReadStatus::Data;
}

}  // namespace n95::host
