// The handset's port on a terminal device (a USB modem such as /dev/ttyACM0, a serial line, a
// pseudo-terminal; a COM port on Windows, through the same system calls): the THostPort that
// the plug-in writes its AT lines through, and the reader the host takes the handset's bytes
// from.
//
// The line is put in raw mode (cfmakeraw: no echo, no line editing, no CR/LF translation,
// no software flow control, 8 data bits), with the receiver on, the modem control lines
// ignored (CLOCAL) and the given speed; the descriptor is non-blocking. A FIFO or a socket is
// used as it is. Whatever can be storage (a block device, a regular file, a folder) is
// refused before a byte is written, since the plug-in's AT lines would be written into it,
// and so is a character device that is not a terminal. The port is held with an exclusive
// advisory lock (flock) while it is open: a second run on the same device is refused.
//
// Reading in bursts. The plug-in's frame parser starts afresh at every chunk it is handed:
// a frame whose bytes are split over two chunks is lost, and so is the rest of a chunk that
// starts inside a frame. Fixed-size reads would cut frames wherever the block ends. The
// handset writes its trace in bursts of whole frames, so ReadBurst reads until the line has
// been idle for a short gap (TSerialOptions::IdleGapMs): a chunk then ends where the handset
// paused, which is a frame boundary. The gap is measured with poll, not with VMIN/VTIME:
// VTIME counts tenths of a second, far coarser than the pauses between bursts. A line that is
// never idle is cut after MaxBurstBytes or MaxBurstMs anyway, so that the host keeps handing
// over records and feeding fixes; such a cut can fall inside a frame and cost the frames
// around it.
//
// The three port settings the plug-in sets (16, 10 and 10) have no documented meaning; this
// port remembers them (Settings) and does nothing else with them. Open's argument is ignored
// in the same way. PurgeInput and PurgeOutput discard what the terminal holds unread or
// unsent (tcflush).
//
// Time stamps: GetTimeStamp is the current UTC date-time, except while the host holds a
// time stamp (HoldTimeStamp): the live run holds the moment a chunk was read while the
// plug-in decodes it, so records carry the time their bytes arrived, exactly the time stamp
// that the capture keeps; a replay of the capture then stamps and throttles the same way.
//
// Not thread-safe: the host's thread makes every call, the plug-in's included.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>

#include "decoder/HostObjects.h"

namespace n95::host {

// What WriteData throws when the line fails (the plug-in then closes the port).
class TPortError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

struct TSerialOptions {
    int Baud = 115200;
    int IdleGapMs = 10;                 // a burst ends after this much silence
    std::size_t MaxBurstBytes = 65536;  // ... or when it is this long
    int MaxBurstMs = 250;               // ... or when it has lasted this long
    int WriteTimeoutMs = 5000;          // a write that finds no room for this long fails
};

// True when `baud` is a speed that termios can set (50 .. 4000000, the standard values).
bool IsSupportedBaud(int baud);

// Puts the terminal `fd` in the raw mode described above at `baud`. False, with errno set
// (EINVAL for a speed that IsSupportedBaud refuses), when it cannot.
bool MakeRawTerminal(int fd, int baud);

class TSerialPort final : public THostPort {
public:
    enum class TReadStatus {
        Data,  // `chunk` holds a burst
        Idle,  // nothing arrived within the wait (or a signal interrupted it)
        Lost,  // the port failed or hung up (LastError says how); nothing more will come
        End,   // a device that is not a terminal reached the end of its data
    };

    TSerialPort(std::string path, TSerialOptions options);
    TSerialPort(const TSerialPort&) = delete;
    TSerialPort& operator=(const TSerialPort&) = delete;
    ~TSerialPort() override;

    // Opens, locks and configures the port. False, with a message naming the device, when
    // it cannot be opened or configured, is not a port (see above) or is in use. The host calls it
    // before Connect, so that a wrong device is reported plainly; the plug-in's Open goes through
    // it too.
    bool OpenPort(std::string* error);

    // Why the last open, read or write failed ("" when none did since the port was opened).
    const std::string& LastError() const { return Error; }
    const std::string& Path() const { return DevicePath; }
    // The descriptor to poll for input; -1 while closed.
    int Descriptor() const { return Fd; }
    bool IsTerminal() const { return Terminal; }

    // Waits up to `waitMs` for input, then reads one burst into `chunk` (replacing it).
    // Bytes read before a failure are returned first, as Data; the failure is reported by
    // the next call.
    TReadStatus ReadBurst(std::string& chunk, int waitMs);

    // GetTimeStamp returns `t` until ReleaseTimeStamp.
    void HoldTimeStamp(TDateTime t) { Held = t; }
    void ReleaseTimeStamp() { Held.reset(); }

    // The values of SetPortSetting1..3, as last set (0 before).
    std::array<int32_t, 3> Settings() const { return PortSettings; }

    // THostPort.
    bool IsOpen() override { return Fd >= 0; }
    void SetPortSetting1(uint8_t value) override { PortSettings[0] = value; }
    void SetPortSetting2(int32_t value) override { PortSettings[1] = value; }
    void SetPortSetting3(int32_t value) override { PortSettings[2] = value; }
    TDateTime GetTimeStamp() override;
    // Writes all `count` bytes, waiting for room as needed (retrying on EINTR and EAGAIN).
    // Throws TPortError when the port is closed, the line fails, or no byte can be written
    // for WriteTimeoutMs; the failure is also kept in LastError.
    void WriteData(const void* buffer, int32_t count) override;
    void WriteDataAlt(const void* buffer, int32_t count) override { WriteData(buffer, count); }
    // Opens the port (a no-op when open); a failure leaves it closed, with LastError set.
    void Open(bool value) override;
    void Close() override;
    void PurgeInput() override;
    void PurgeOutput() override;

private:
    TReadStatus Fail(TReadStatus status, std::string message);
    // The status of a poll that reports no input but a hang-up or an error.
    TReadStatus HangUp(short revents);

    std::string DevicePath;
    TSerialOptions Options;
    int Fd = -1;
    bool Terminal = false;
    std::string Error;
    // A failure met while a burst was being read, reported by the next ReadBurst.
    std::optional<TReadStatus> Pending;
    std::optional<TDateTime> Held;
    std::array<int32_t, 3> PortSettings{};
};

}  // namespace n95::host
