// A simulated N95 on a pseudo-terminal, so that the live run can be tested through a real
// tty: the host opens the slave side as it would open /dev/ttyACM0, the simulator plays the
// handset on the master side.
//
// The simulated handset:
//   - answers every AT line (ended by a carriage return) with CR LF "OK" CR LF, in one
//     write, and records each line it received in the AT log (one line per command, control
//     bytes shown as <CR>, <LF>, <hh>);
//   - after the trace switch-on line (the line beginning "AT*NTRACE=1") and a short delay,
//     streams trace frames, one frame per write, at the given rate; it stops streaming on
//     the switch-off line ("AT*NTRACE=0"), before it answers;
//   - stops (the run ends) once the host has closed the port and not reopened it within a
//     second, or on a stop request.
//
// Faults on request: garbage bytes written before every Nth frame (kSimGarbage); a hang-up
// after N frames, once or after every N frames (the master closed, which the host sees as a
// device that went away; with a replug delay a new pseudo-terminal appears behind the link
// path afterwards, as a USB modem does when it is plugged in again); a slow line (each
// frame trickles out in 16-byte pieces at the given baud rate).
//
// Before a hang-up the simulator waits (up to two seconds) until the host has read every
// byte already written: the kernel discards unread input when a pseudo-terminal's master
// closes, and the frames counted as sent should be those the host could read. What was
// still unread when the master closed is measured and goes into the sent log, as does what
// a pseudo-terminal holds at most (bytes on their way to the host's queue are not seen by
// that measurement, and a hang-up may lose them too).
//
// The sent log (TSentLog) keeps every byte written to the port, write by write, with the
// ports and hang-ups, so that a capture of the run can be checked against it.
//
// Not thread-safe; one owner.
#pragma once

#include <time.h>

#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "host/formats/AtLines.h"
#include "host/sim/SentLog.h"

namespace n95::host {

// The garbage the simulator writes between frames: to the plug-in's parser it reads as a
// frame header announcing 65535 payload bytes, so the rest of the chunk it lands in is lost.
inline constexpr char kSimGarbage[] = "\xFF\x00\xFF\x00\xFF\xFF\xFF\xFF";
inline constexpr std::size_t kSimGarbageSize = 8;

struct TSimOptions {
    double FramesPerSecond = 200.0;
    int64_t Count = -1;               // frames to stream in all; -1 = no limit
    std::string AtLogPath;            // empty: no log
    std::string SentLogPath;          // empty: no log of what was sent
    std::string LinkPath;             // a symbolic link to the current pty; empty: none
    uint64_t GarbageEvery = 0;        // > 0: garbage before every Nth frame
    uint64_t HangupAfter = 0;         // > 0: hang up once after this many frames
    uint64_t HangupEvery = 0;         // > 0: hang up after every this many frames
    double ReplugSeconds = -1.0;      // >= 0: a new pty at LinkPath this long after it
    int SlowLineBaud = 0;             // > 0: frames trickle at this speed
    double StartDelaySeconds = 0.05;  // from the switch-on line's OK to the first frame
};

struct TSimStats {
    uint64_t FramesSent = 0;
    uint64_t FrameBytesSent = 0;
    uint64_t GarbageRuns = 0;
    uint64_t AtLines = 0;
    uint64_t HangUps = 0;
};

// The frames of a capture: the whole frames at the start of each chunk (AT replies and
// unaligned remainders skipped). False, with a message, when the file cannot be read or
// holds no frame.
bool LoadCaptureFrames(const std::string& path, std::vector<std::string>& frames,
                       std::string* error);

// Whether the simulator may put its link at `path`: nothing is there, or a stale symbolic
// link to a pseudo-terminal that no longer exists (one a run left behind). Anything else (a
// regular file, a folder, a device, another link, the live link of a simulator that still
// runs) is never replaced: false, with a message.
bool LinkPathIsFree(const std::string& path, std::string* error);

// The target of the symbolic link at `path`; empty when it is none.
std::string LinkTarget(const std::string& path);

class THandsetSim {
public:
    // `frames` (not empty) are streamed in order, from the start again when they run out.
    THandsetSim(std::vector<std::string> frames, TSimOptions options);
    THandsetSim(const THandsetSim&) = delete;
    THandsetSim& operator=(const THandsetSim&) = delete;
    ~THandsetSim();

    // Creates the pseudo-terminal (and the link). *path is what the host should open: the
    // link path if there is one, else the slave's path. False, with a message, on failure.
    bool Start(std::string* path, std::string* error);

    // Plays the handset until the host has gone, a stop request, or a hang-up with no
    // replug. False, with a message, when the simulator itself fails.
    bool Run(const volatile std::sig_atomic_t* stopRequested, std::string* error);

    const TSimStats& Stats() const { return Totals; }

private:
    using TClock = std::chrono::steady_clock;
    // What follows a hang-up: a new pseudo-terminal, the end of the run, or a failure.
    enum class TAfterHangUp { Replugged, RunEnds, Failed };

    bool OpenPty(std::string* error);
    void ClosePty();
    // Puts the link at Options.LinkPath to SlavePath (only where LinkPathIsFree); removes the
    // link it made, while the link still points at SlavePath.
    bool MakeLink(std::string* error);
    void RemoveLink();
    void HandleLine(const std::string& line);
    // Writes all bytes to the master, logging them as `kind`; false when the host went
    // away meanwhile.
    bool WriteAll(TSentKind kind, const char* data, std::size_t size);
    bool SendFrame();
    // Waits until the host has read what was written; returns the bytes still unread (-1
    // when that cannot be measured).
    long long Drain();
    long long PortCapacity() const;

    // The steps of Run.
    bool StopRequested() const { return Stop != nullptr && *Stop; }
    bool WantFrame() const;
    timespec WaitTime(bool wantFrame) const;
    bool HostHasGone();
    void ForgetHost();
    void ReadLines();
    bool SendDueFrame();
    bool HangUpDue() const;
    TAfterHangUp HangUp(std::string* error);
    void LogUnfinishedLine();

    std::vector<std::string> Frames;
    TSimOptions Options;
    TSimStats Totals;
    int Master = -1;
    std::string SlavePath;
    bool LinkMade = false;  // the link at Options.LinkPath is this simulator's
    FILE* AtLog = nullptr;
    TSentLog SentLog;
    const volatile std::sig_atomic_t* Stop = nullptr;
    bool Streaming = false;
    TClock::time_point NextFrame;
    std::size_t NextIndex = 0;
    bool HungUp = false;
    // The host as Run sees it (forgotten at a replug): the AT lines it sends, whether it has
    // had the port open, and since when the port is closed again.
    TAtLineSplitter Lines;
    bool HostSeen = false;
    bool HostClosed = false;
    TClock::time_point ClosedSince{};
};

}  // namespace n95::host
