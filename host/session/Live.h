// A live run: the plug-in drives a handset on a serial port, as the host application does on
// a drive.
//
//   1. Connect(false): the plug-in opens (if need be) and configures the port and switches
//      the trace on ("ATE0", trace off, trace on, 50 ms apart); the decoder awaits the trace.
//   2. Every burst read from the port is captured and handed to DecodeData until the decoder
//      leaves the awaiting state: on the first frame, confirmed when it came within 50 s of
//      Connect. The host gives up by itself when no frame at all comes within the trace wait
//      (50 s; the plug-in has no timer of its own).
//   3. StartTest, then the chunk that confirmed the trace is handed over once more: in the
//      awaiting state the frames after the first one were only counted, and as records they
//      belong to the test (a replay of the capture decodes them too).
//   4. The read loop: each burst is captured, decoded and handed over (TDecoderSession); GPS
//      fixes are fed as they arrive, from whichever source (TFixSource), and what the source
//      reports (gpsd lost, back again) is printed. A port that fails or hangs up is reported
//      and reopened with Reconnect a bounded number of times, a pause before each attempt.
//   5. On the duration, a stop request (SIGINT, SIGTERM), the end of a device that is not a
//      terminal, or a port that could not be reopened: StopTest (the trace switched off), a
//      last hand-over, the frame log closed, every record handed to the sink.
//
// Nothing read is lost: every chunk read goes to the capture before it is decoded, with the
// time it was read, which is also the port time stamp the plug-in sees while decoding it
// (TSerialPort::HoldTimeStamp). So replaying the capture gives the same records. Bytes that
// StopTest purges were never read, and are in neither.
//
// Threading: everything runs on the calling thread, the plug-in's calls included. Several
// handsets run side by side on threads of their own (TLiveRig), one RunLive each; what they
// share (the stop request, the fixes, the console) reaches them through TLiveOptions' Cancel,
// Gps and Monitor, which are thread-safe where the rig sets them.
#pragma once

#include <atomic>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "host/common/GrowingFile.h"
#include "host/common/Progress.h"
#include "host/common/RunClock.h"
#include "host/devices/FixSource.h"
#include "host/devices/SerialPort.h"
#include "host/formats/PcapCapture.h"
#include "host/outputs/Output.h"
#include "host/session/DecoderSession.h"
#include "host/session/PluginHost.h"
#include "host/session/RunStats.h"

namespace n95::host {

// The plug-in's own limit for the first trace frame after Connect.
inline constexpr double kTraceConfirmSeconds = 50.0;

// What a run shows of itself once a second, for a status row of its own.
struct TLiveSnapshot {
    std::string State;             // the decoder's run state, or "reconnecting"
    uint64_t Records = 0;          // handed over so far
    double FramesPerSecond = 0.0;  // whole frames at chunk starts, over the last interval
    double BytesPerSecond = 0.0;   // the plug-in's data rate
    std::string Silent;            // "GPS lost", "trace lost", both; "" while all is heard
};

// Takes a run's messages and status in place of TLiveOptions' Messages and Status (a rig of
// several handsets, whose console is shared). Called on the run's thread; implementations
// are thread-safe.
class TLiveMonitor {
public:
    virtual ~TLiveMonitor() = default;
    virtual void Report(const std::string& text) = 0;
    virtual void Publish(const TLiveSnapshot& snapshot) = 0;
};

struct TLiveOptions {
    double DurationSeconds = 0.0;                    // > 0: stop after this long of testing
    double TraceWaitSeconds = kTraceConfirmSeconds;  // wait for the first frame this long
    std::string FrameLogPath;                        // the plug-in's frame log; empty = none
    TCaptureWriter* Capture = nullptr;               // every chunk read; nil = none
    TFixSource* Gps = nullptr;                       // live fixes; nil = none
    // A GPS that gives no valid fix for longer than this during the test (silent, gone, or
    // speaking without a fix) is "GPS lost" until its next fix; a trace that sends nothing
    // for longer while the port stays open is "trace lost" (the port is not reconnected for
    // it). Each such gap is shown, reported and kept in TLiveResult::Events.
    double GpsTimeoutSeconds = 10.0;
    double TraceTimeoutSeconds = 10.0;
    int ReconnectTries = 5;              // Reconnect attempts after a port loss
    double ReconnectPauseSeconds = 2.0;  // before each attempt
    const volatile std::sig_atomic_t* StopRequested = nullptr;  // checked between reads
    const std::atomic<bool>* Cancel = nullptr;  // a stop request from another thread; nil: none
    TStatusLine* Status = nullptr;              // nil: none
    TRunClock* Clock = nullptr;                 // time and waiting; nil: the system clock
    // The fixes fed, as NMEA, each after a "$PN95,FEED,<chunk>" sentence saying before which
    // chunk of the capture it was fed; nil = none. A replay of the capture with this log
    // gives the run's positions exactly (see TTrack::FeedBefore). Like the capture, each fix
    // reaches the file as it is fed and the file is synced once a second: a GPS source such
    // as gpsd keeps nothing, so a killed run must leave its fixes behind with its capture.
    TGrowingFile* FixLog = nullptr;
    FILE* Messages = stderr;          // reports while running (trace confirmed, port lost, ...)
    TLiveMonitor* Monitor = nullptr;  // non-nil: takes the reports and the status instead
};

enum class TLiveEnd {
    Duration,      // the duration was reached
    Stopped,       // a stop request (SIGINT, SIGTERM)
    EndOfInput,    // a device that is not a terminal has no more data
    PortLost,      // the port failed and could not be reopened (or failed before the test)
    TraceTimeout,  // no trace frame came within the trace wait after Connect
    TraceLate,     // the first frame came 50 s or more after Connect: not confirmed
    Failed,        // an error ended the run (the plug-in raised one, a record failed to write)
};

struct TLiveResult {
    TLiveEnd End = TLiveEnd::Stopped;
    bool Tested = false;          // the trace was confirmed and the test ran
    double ConfirmSeconds = 0.0;  // from Connect to the chunk that confirmed the trace
    double TestSeconds = 0.0;     // from StartTest to StopTest
    uint64_t PortLosses = 0;      // times the port failed
    uint64_t Reconnects = 0;      // successful Reconnects
    std::string LostMessage;      // how the port failed last
    uint64_t FixesRead = 0;
    TRunStats Stats;
    // In time order: each reconnect ("reconnect", a moment) and each gap ("GPS lost",
    // "trace lost", with its start and length; a gap still open at the end lasts to the
    // end). Handset is left empty: the caller names its handsets.
    std::vector<TRunEvent> Events;
};

// The events' words.
inline constexpr const char* kReconnectEvent = "reconnect";
inline constexpr const char* kGpsLostEvent = "GPS lost";
inline constexpr const char* kTraceLostEvent = "trace lost";

// Runs the handset on `port` (already open: the caller reports a wrong device itself)
// through a new decoder of `plugin`, handing every record to `sink` in index order once its
// position is final. Returns false, with a message in *error, when the plug-in raised an
// exception or the capture could not be written; the records handed over so far went to
// the sink and the capture holds the chunks read so far.
bool RunLive(const TPlugin& plugin, TSerialPort& port, const TLiveOptions& options,
             const std::function<void(const TRecordRow&)>& sink, TLiveResult& result,
             std::string* error);

// One line for the end of a run ("stopped after 12.0 s of test (SIGINT or SIGTERM)", ...).
std::string DescribeEnd(const TLiveResult& result, const TLiveOptions& options);

}  // namespace n95::host
