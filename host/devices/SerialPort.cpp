#include "host/devices/SerialPort.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>

#include "host/common/CaptureTime.h"
#include "host/common/Diagnostics.h"
#include "host/common/SystemCalls.h"

namespace n95::host {

namespace {

using TClock = std::chrono::steady_clock;

int MillisecondsLeft(TClock::time_point deadline) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - TClock::now()).count();
    return static_cast<int>(std::max<long long>(0, left));
}

}  // namespace

bool IsSupportedBaud(int baud) {
    return System().SupportsBaud(baud);
}

bool MakeRawTerminal(int fd, int baud) {
    return System().MakeRawTerminal(fd, baud) == 0;
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
    TFileInfo info;
    if (fd < 0 && System().Status(path, info) != 0)
        return true;  // not there (yet): the open says why
    if (fd >= 0 && System().StatusOf(fd, info) != 0) {
        *error = SystemError("cannot open " + path, errno);
        return false;
    }
    const char* what = info.Kind == TFileKind::BlockDevice ? "a block device (a disk)"
                       : info.Kind == TFileKind::Regular   ? "a regular file"
                       : info.Kind == TFileKind::Directory ? "a folder"
                                                           : nullptr;
    if (what == nullptr && fd >= 0 && info.Kind == TFileKind::CharDevice &&
        System().IsTerminal(fd) != 0 && (errno == ENOTTY || errno == EINVAL))
        what = "a character device that is not a terminal";
    if (what == nullptr)
        return true;
    *error = "cannot use " + path + ": it is " + what + ", not a serial port";
    return false;
}

// The port is one run's: an exclusive advisory lock on the device, so that a second run
// (root's too) is told instead of reading half the bytes. The lock goes with the descriptor.
bool LockPort(int fd, const std::string& path, std::string* error) {
    if (System().LockExclusive(fd) == 0 || errno == ENOLCK)
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
    TSystemCalls& system = System();
    const int fd = system.Open(DevicePath, kOpenReadWrite | kOpenNoTerminal | kOpenNonBlock);
    if (fd < 0) {
        Error = SystemError("cannot open " + DevicePath, errno);
        *error = Error;
        return false;
    }
    if (!CheckPortKind(fd, DevicePath, &Error) || !LockPort(fd, DevicePath, &Error)) {
        system.Close(fd);
        *error = Error;
        return false;
    }
    if (system.IsTerminal(fd) == 0) {
        if (!MakeRawTerminal(fd, Options.Baud)) {
            Error = SystemError("cannot configure " + DevicePath, errno);
            system.Close(fd);
            *error = Error;
            return false;
        }
        Terminal = true;
    } else if (errno == ENOTTY || errno == EINVAL) {
        Terminal = false;
    } else {
        Error = SystemError("cannot configure " + DevicePath, errno);
        system.Close(fd);
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
    System().Close(Fd);
    Fd = -1;
    Pending.reset();
}

void TSerialPort::PurgeInput() {
    if (Fd >= 0 && Terminal)
        System().FlushTerminal(Fd, true);
}

void TSerialPort::PurgeOutput() {
    if (Fd >= 0 && Terminal)
        System().FlushTerminal(Fd, false);
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
    // The time-out counts from the last byte the line took, however often a poll says that
    // it would take more (a driver may say so and still take nothing).
    const auto fromNow = [this] {
        return TClock::now() + std::chrono::milliseconds(Options.WriteTimeoutMs);
    };
    auto deadline = fromNow();
    while (left > 0) {
        const ssize_t n = System().Write(Fd, bytes, left);
        if (n > 0) {
            bytes += n;
            left -= static_cast<std::size_t>(n);
            deadline = fromNow();
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
            Error = SystemError("cannot write to " + DevicePath, errno);
            throw TPortError(Error);
        }
        // No room: wait until the line takes bytes again.
        TPollEntry p{Fd, kPollOut, 0};
        const int wait = MillisecondsLeft(deadline);
        const int ready = wait > 0 ? System().Poll(&p, 1, wait) : 0;
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready < 0) {
            Error = SystemError("cannot write to " + DevicePath, errno);
            throw TPortError(Error);
        }
        if (ready == 0) {
            Error = "cannot write to " + DevicePath + ": the line took no byte for " +
                    std::to_string(Options.WriteTimeoutMs) + " ms";
            throw TPortError(Error);
        }
        if ((p.Found & (kPollError | kPollHangUp | kPollInvalid)) != 0 &&
            (p.Found & kPollOut) == 0) {
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
    if ((revents & kPollInvalid) != 0)
        return Fail(TReadStatus::Lost, DevicePath + " is not open");
    if ((revents & kPollError) != 0)
        return Fail(TReadStatus::Lost, DevicePath + " failed (error condition on the line)");
    return Terminal ? Fail(TReadStatus::Lost, DevicePath + " hung up") : Fail(TReadStatus::End, "");
}

TSerialPort::TReadStatus TSerialPort::ReadBurst(std::string& chunk, int waitMs) {
    chunk.clear();
    if (Pending)
        return *Pending;
    if (Fd < 0)
        return Fail(TReadStatus::Lost, Error.empty() ? DevicePath + " is closed" : "");

    TPollEntry p{Fd, kPollIn, 0};
    const int ready = System().Poll(&p, 1, std::max(0, waitMs));
    if (ready < 0 && errno != EINTR)
        return *(Pending =
                     Fail(TReadStatus::Lost, SystemError("cannot read " + DevicePath, errno)));
    if (ready <= 0)
        return TReadStatus::Idle;
    if ((p.Found & kPollIn) == 0)
        return *(Pending = HangUp(p.Found));

    const auto start = TClock::now();
    const auto deadline = start + std::chrono::milliseconds(Options.MaxBurstMs);
    char buffer[16384];
    for (;;) {
        const std::size_t room = Options.MaxBurstBytes - chunk.size();
        const ssize_t n = System().Read(Fd, buffer, std::min(room, sizeof buffer));
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
        p = TPollEntry{Fd, kPollIn, 0};
        const int more = System().Poll(&p, 1, wait);
        if (more == 0)
            break;
        if (more < 0 && errno != EINTR)
            break;
        if (more > 0 && (p.Found & kPollIn) == 0) {
            Pending = HangUp(p.Found);
            break;
        }
    }
    if (chunk.empty())
        return Pending ? *Pending : TReadStatus::Idle;
    return TReadStatus::Data;
}

}  // namespace n95::host
