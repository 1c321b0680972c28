#include "host/session/Live.h"

#include <algorithm>
#include <cmath>
#include <exception>

#include "host/common/DateTimeText.h"
#include "host/common/Diagnostics.h"
#include "host/formats/Nmea.h"

namespace n95::host {

namespace {

// How often the status line is redrawn and the capture flushed.
constexpr double kStatusIntervalSeconds = 1.0;
// The longest wait for input, so that stop requests, the duration and GPS files are looked
// at often enough.
constexpr int kMaxWaitMs = 100;

int MillisecondsLeft(double now, double since, double seconds) {
    const double left = seconds - (now - since);
    return static_cast<int>(std::clamp(std::ceil(left * 1000.0), 0.0, 1e9));
}

// One source that may fall silent during the test (the GPS, the trace): Heard at each sign
// of life, Check on every turn of the loop; a silence longer than the timeout is a gap, from
// the last sign of life to the next (or to the end of the run).
class TSilence {
public:
    TSilence(const char* what, double timeout) : What(what), Timeout(timeout) {}

    // Counting starts now (the test starts, the port is back).
    void Start(double now, TDateTime utc) {
        Last = now;
        LastUtc = utc;
        Watching = true;
    }
    // Stops counting (the port is lost): a gap open now ends here.
    void Pause(double now, std::vector<TRunEvent>& events) {
        End(now, events);
        Watching = false;
    }
    // A sign of life. True when it ends a gap (then appended to `events`).
    bool Heard(double now, TDateTime utc, std::vector<TRunEvent>& events) {
        const bool ended = End(now, events);
        Last = now;
        LastUtc = utc;
        return ended;
    }
    // True when the silence has just become a gap.
    bool Check(double now) {
        if (!Watching || Lost || now - Last <= Timeout)
            return false;
        Lost = true;
        return true;
    }
    bool IsLost() const { return Lost; }
    double Since(double now) const { return now - Last; }

    // Ends an open gap at `now`, appending it to `events`; true when there was one.
    bool End(double now, std::vector<TRunEvent>& events) {
        if (!Lost)
            return false;
        Lost = false;
        events.push_back({LastUtc, "", What, now - Last});
        return true;
    }

private:
    const char* What;
    double Timeout;
    double Last = 0.0;
    TDateTime LastUtc = 0.0;
    bool Watching = false;
    bool Lost = false;
};

// "12.3 s".
std::string SecondsText(double seconds) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f s", seconds);
    return text;
}

// The run's state between the steps of RunLive.
class TLiveRun {
public:
    TLiveRun(TSerialPort& port, const TLiveOptions& options, TDecoderSession& session,
             TLiveResult& result)
        : Port(port),
          Options(options),
          Clock(options.Clock != nullptr ? *options.Clock : TRunClock::System()),
          Session(session),
          Result(result) {}

    // Prints a message, clearing the status line first.
    void Report(const std::string& text) {
        if (Options.Monitor != nullptr) {
            Options.Monitor->Report(text);
            return;
        }
        if (Options.Status != nullptr)
            Options.Status->Clear();
        if (Options.Messages != nullptr)
            PrintNote(text, Options.Messages);
    }

    bool StopRequested() const {
        return (Options.StopRequested != nullptr && *Options.StopRequested != 0) ||
               (Options.Cancel != nullptr && Options.Cancel->load(std::memory_order_acquire));
    }

    // A chunk read at `when`: into the capture, counted, then decoded with the port's time
    // stamp held at `when`. False, with the capture's message in *error, when the capture
    // cannot be written: the run stops, since what is read must be kept.
    bool Take(const std::string& chunk, TCaptureTime when, std::string* error) {
        if (Options.Capture != nullptr &&
            !Options.Capture->Write(when, chunk.data(), static_cast<uint32_t>(chunk.size()), error))
            return false;
        Result.Stats.Chunks.Add(reinterpret_cast<const uint8_t*>(chunk.data()), chunk.size(), when);
        Decode(chunk, when);
        return true;
    }

    void Decode(const std::string& chunk, TCaptureTime when) {
        struct TRelease {
            TSerialPort& Port;
            ~TRelease() { Port.ReleaseTimeStamp(); }
        } release{Port};
        Port.HoldTimeStamp(CaptureTimeToDateTime(when));
        Session.Feed(chunk.data(), chunk.size());
        if (NoMoreFixes())
            Session.ReleaseAll();  // nothing can change these records' positions any more
    }

    bool NoMoreFixes() const { return Options.Gps == nullptr || !Options.Gps->Lost().empty(); }

    // Reads what the GPS has sent; while the test runs, feeds the new fixes.
    void PollGps(bool testing) {
        if (Options.Gps == nullptr)
            return;
        const std::size_t gained = Options.Gps->Poll();
        Result.FixesRead += gained;
        // A valid fix is the GPS's sign of life: a receiver that speaks without one is silent.
        if (gained > 0 && Gps.Heard(Clock.Seconds(), UtcNow(), Result.Events))
            Report("GPS back after " + SecondsText(Result.Events.back().Seconds));
        for (const TFixNotice& notice : Options.Gps->TakeNotices())
            Report((notice.Warning ? "warning: " : "") + notice.Text);
        if (!Options.Gps->Lost().empty() && !GpsLossReported) {
            GpsLossReported = true;
            Report(Options.Gps->Lost() + "; the run goes on without fixes");
            Session.ReleaseAll();
        }
        if (testing)
            FeedFixes(NextChunk());
    }

    // Feeds the fixes that came since the last call, before the capture's chunk
    // `beforeChunk` (from 0) is decoded. Each fix goes through its NMEA sentences first, as
    // the fix log keeps it, so that what is fed is exactly what a replay of the capture with
    // the log reads: positions to 1e-5 minute, times to the centisecond. A fix that rounds
    // onto the time of the previous one is not fed.
    void FeedFixes(int64_t beforeChunk) {
        if (Options.Gps == nullptr)
            return;
        TFixSource& gps = *Options.Gps;
        while (FixesFed < gps.FixCount()) {
            const std::string sentences = FormatNmeaFix(gps.FixAt(FixesFed++), 0.0, 0.0);
            ForEachLine(sentences, [this](std::string_view line) { FedReader.Line(line); });
            FedReader.Finish();  // the source's filter has decided on this fix: none is held
            if (FedTrack.Fixes.empty())
                continue;
            WriteFixLog(NmeaFeedMarker(beforeChunk), sentences);
            Session.FeedFix(FedTrack.Fixes.back());
            ++FixesFedCount;
            // Only the filter's state is needed of the fixes fed (the live filter never takes
            // one back): the track is not kept twice.
            FedTrack.Fixes.clear();
        }
        gps.ForgetFixes(FixesFed);
    }

    // Asks the decoder for `kind` mid-run, its marker first in the fix log (at the next
    // chunk, after the fixes fed so far), so that a replay asks it at the same point: a
    // reconnect starts the plug-in's tagging afresh, which changes the positions of the
    // records around it. Every attempt is marked, a failed one too: each restarts the test.
    void Ask(TRunMarkerKind kind) {
        WriteFixLog(NmeaRunMarker({kind, NextChunk(), FixesFedCount}), {});
        AskDecoder(Session.Decoder(), kind);
    }

    // Appends `head` and `body` to the fix log as one write, while it has not failed. A
    // failed write stops the run at the next tick, as the capture's does.
    void WriteFixLog(const std::string& head, const std::string& body) {
        if (Options.FixLog != nullptr && FixLogFailure.empty())
            Options.FixLog->Append(head.data(), head.size(), body.data(), body.size(),
                                   &FixLogFailure);
    }

    TDateTime UtcNow() { return CaptureTimeToDateTime(Clock.WallTime()); }

    // The test starts (or goes on after a reconnect): the silences are counted from now.
    void WatchSilences() {
        if (Options.Gps != nullptr)
            Gps.Start(Clock.Seconds(), UtcNow());
        Trace.Start(Clock.Seconds(), UtcNow());
    }

    // A sign of the trace: data read from the port.
    void TraceHeard() {
        if (Trace.Heard(Clock.Seconds(), UtcNow(), Result.Events))
            Report("trace back after " + SecondsText(Result.Events.back().Seconds));
    }

    // Looks at the silences once a turn of the loop during the test; says when one begins.
    void CheckSilences() {
        const double now = Clock.Seconds();
        if (Gps.Check(now))
            Report("GPS lost: no valid fix for " + SecondsText(Gps.Since(now)) +
                   "; records wait for the next fix");
        if (Trace.Check(now))
            Report("trace lost: nothing came from " + Port.Path() + " for " +
                   SecondsText(Trace.Since(now)) + " (the port is open; not reconnected)");
    }

    // At the end of the run: the gaps still open end here; the events in time order.
    void EndSilences() {
        const double now = Clock.Seconds();
        Gps.End(now, Result.Events);
        Trace.End(now, Result.Events);
        std::stable_sort(Result.Events.begin(), Result.Events.end(),
                         [](const TRunEvent& a, const TRunEvent& b) { return a.Time < b.Time; });
    }

    // "GPS lost", "trace lost", both, or "".
    std::string SilentText() const {
        std::string text = Trace.IsLost() ? kTraceLostEvent : "";
        if (Gps.IsLost())
            text += std::string(text.empty() ? "" : ", ") + kGpsLostEvent;
        return text;
    }

    // The chunk that the next one read will be, counted from 0.
    int64_t NextChunk() const { return static_cast<int64_t>(Result.Stats.Chunks.Chunks); }

    // Waits until the port or the GPS has input, at most `waitMs`.
    void Wait(int waitMs) {
        Clock.WaitForInput(
            {Port.Descriptor(), Options.Gps != nullptr ? Options.Gps->Descriptor() : -1}, waitMs);
    }

    // After a port loss during the test: Reconnect, up to the allowed attempts with a pause
    // before each. True once the port is open again.
    bool Reconnect() {
        if (Options.Monitor != nullptr)
            Options.Monitor->Publish(
                {"reconnecting", Session.Stats().Records, 0.0, 0.0, SilentText()});
        for (int attempt = 1; attempt <= Options.ReconnectTries; ++attempt) {
            const double pauseStart = Clock.Seconds();
            for (;;) {
                if (StopRequested())
                    return false;
                const int left =
                    MillisecondsLeft(Clock.Seconds(), pauseStart, Options.ReconnectPauseSeconds);
                if (left == 0)
                    break;
                Clock.Sleep(std::clamp(left, 1, 50));
            }
            Report("reconnecting to " + Port.Path() + " (attempt " + std::to_string(attempt) +
                   " of " + std::to_string(Options.ReconnectTries) + ")");
            Ask(TRunMarkerKind::Reconnect);
            if (Port.IsOpen()) {
                ++Result.Reconnects;
                Result.Events.push_back({UtcNow(), "", kReconnectEvent, 0.0});
                Trace.Start(Clock.Seconds(), UtcNow());
                Report("reconnected to " + Port.Path() + "; the trace is switched on again");
                return true;
            }
            Report("attempt " + std::to_string(attempt) + " failed: " + Port.LastError());
        }
        return false;
    }

    void ShowStatus() {
        THandSetDecode& decoder = Session.Decoder();
        if (Options.Monitor != nullptr) {
            PublishStatus(decoder);
            return;
        }
        if (Options.Status == nullptr || !Options.Status->IsEnabled())
            return;
        std::string text = std::string(RunStateName(decoder.GetState())) + " | " +
                           std::to_string(Session.Stats().Records) + " records | " +
                           FormatRate(decoder.GetDataRate());
        if (Options.Gps != nullptr && Options.Gps->FixCount() > 0) {
            const TGpsPoint& fix = Options.Gps->FixAt(Options.Gps->FixCount() - 1);
            char buffer[64];
            std::snprintf(buffer, sizeof buffer, " | fix %.5f, %.5f at ", fix.Y, fix.X);
            text += buffer;
            const std::string time = FormatIso8601(fix.Time);
            text += time.size() > 19 ? time.substr(11, 8) : time;
        } else if (Options.Gps != nullptr) {
            text += " | no fix yet";
        }
        if (const std::string silent = SilentText(); !silent.empty())
            text += " | " + silent;
        Options.Status->Show(text);
    }

    void PublishStatus(THandSetDecode& decoder) {
        const double now = Clock.Seconds();
        const uint64_t frames = Result.Stats.Chunks.Frames;
        const double span = now - LastPublished;
        TLiveSnapshot snapshot{RunStateName(decoder.GetState()), Session.Stats().Records,
                               span > 0 ? (frames - FramesPublished) / span : 0.0,
                               static_cast<double>(decoder.GetDataRate()), SilentText()};
        LastPublished = now;
        FramesPublished = frames;
        Options.Monitor->Publish(snapshot);
    }

    // A failed AT line closes the port: the handset never got the switch-on sequence.
    void SwitchOnFailed() {
        Result.End = TLiveEnd::PortLost;
        Result.LostMessage = Port.LastError();
        ++Result.PortLosses;
        Report("the port failed while the trace was being switched on: " + Result.LostMessage);
    }

    // The trace is confirmed by `chunk`, read at `when`, `confirmSeconds` after Connect:
    // the test starts, with the fixes so far.
    void StartTest(const std::string& chunk, TCaptureTime when, double confirmSeconds) {
        Result.ConfirmSeconds = confirmSeconds;
        char text[80];
        std::snprintf(text, sizeof text, "trace confirmed %.2f s after Connect; test started",
                      confirmSeconds);
        Report(text);
        Session.Decoder().StartTest();
        Result.Tested = true;
        // Before the confirming chunk, the last one read, is decoded again.
        FeedFixes(NextChunk() - 1);
        // In the awaiting state only the first frame counted; the rest of the chunk belongs
        // to the test.
        Decode(chunk, when);
    }

    // Once a second: the status line, and the capture and the fix log synced to their
    // device, so that a power loss costs at most the last second (each chunk and each fix
    // reached its file as it came, which a killed process cannot undo). False, with a
    // message, when the capture or the fix log cannot be written.
    bool Tick(std::string* error) {
        if (!FixLogWritten(error))
            return false;
        if (Clock.Seconds() < NextTick)
            return true;
        NextTick = Clock.Seconds() + kStatusIntervalSeconds;
        ShowStatus();
        return (Options.Capture == nullptr || Options.Capture->Sync(error)) &&
               (Options.FixLog == nullptr || Options.FixLog->Sync(error));
    }

    // False, with its message, once a fix could not be written to the fix log.
    bool FixLogWritten(std::string* error) const {
        if (FixLogFailure.empty())
            return true;
        *error = FixLogFailure;
        return false;
    }

    // The last steps whatever happened: the trace switched off (on a closed port the
    // plug-in's writes fail quietly), the last hand-over, the frame log closed, every record
    // released. A failure of one step does not skip the others; the first failure of the
    // run is the one kept in *failure.
    void Shut(std::string* failure) {
        Port.ReleaseTimeStamp();
        const auto attempt = [&](const auto& step) {
            try {
                step();
            } catch (const std::exception& e) {
                if (failure->empty())
                    *failure = std::string("the live run stopped: ") + e.what();
            }
        };
        if (Session.HasDecoder())
            attempt([&] {
                Session.Decoder().StopTest();
                Session.HandOver();
            });
        attempt([&] { Session.Finish(); });
        attempt([&] { Session.ReleaseAll(); });
    }

    TSerialPort& Port;
    const TLiveOptions& Options;
    TRunClock& Clock;
    TDecoderSession& Session;
    TLiveResult& Result;
    uint64_t FixesFed = 0;       // fixes of the GPS looked at
    uint64_t FixesFedCount = 0;  // fixes fed to the decoder (and written to the fix log)
    std::string FixLogFailure;   // why the fix log could not be written; then no more is
    TTrack FedTrack;             // the fix being fed, as read back from its sentences
    TNmeaReader FedReader{FedTrack};
    bool GpsLossReported = false;
    TSilence Gps{kGpsLostEvent, Options.GpsTimeoutSeconds};
    TSilence Trace{kTraceLostEvent, Options.TraceTimeoutSeconds};
    double NextTick = 0.0;
    double LastPublished = 0.0;    // when the monitor last had a snapshot
    uint64_t FramesPublished = 0;  // the frames counted then
};

// How long the read loop may wait for the port at `now`; -1, with the end in `result`, when
// the wait for the trace or the test's duration is over.
int WaitAllowed(double now, bool testing, double connectStart, double testStart,
                const TLiveOptions& options, TLiveResult& result) {
    if (!testing) {
        const int left =
            std::min(kMaxWaitMs, MillisecondsLeft(now, connectStart, options.TraceWaitSeconds));
        if (left == 0)
            result.End = TLiveEnd::TraceTimeout;
        return left == 0 ? -1 : left;
    }
    if (options.DurationSeconds > 0) {
        const int left =
            std::min(kMaxWaitMs, MillisecondsLeft(now, testStart, options.DurationSeconds));
        if (left == 0)
            result.End = TLiveEnd::Duration;
        return left == 0 ? -1 : left;
    }
    return kMaxWaitMs;
}

// The read loop, from Connect to the end of the run. False, with a message in *failure,
// when the capture could not be written.
bool ReadUntilTheEnd(TLiveRun& run, TSerialPort& port, const TLiveOptions& options,
                     TLiveResult& result, std::string* failure) {
    TRunClock& clock = run.Clock;
    THandSetDecode& decoder = run.Session.Decoder();
    const double connectStart = clock.Seconds();
    decoder.Connect(false);

    bool testing = false;
    double testStart = connectStart;
    run.NextTick = connectStart;
    std::string chunk;
    if (!port.IsOpen())
        run.SwitchOnFailed();
    while (port.IsOpen() || testing) {
        if (run.StopRequested()) {
            result.End = TLiveEnd::Stopped;
            break;
        }
        const int waitMs =
            WaitAllowed(clock.Seconds(), testing, connectStart, testStart, options, result);
        if (waitMs < 0)
            break;
        run.Wait(waitMs);
        run.PollGps(testing);
        const TSerialPort::TReadStatus status = port.ReadBurst(chunk, 0);
        if (status == TSerialPort::TReadStatus::Data) {
            const TCaptureTime when = clock.WallTime();
            if (!run.Take(chunk, when, failure))
                return false;
            if (testing)
                run.TraceHeard();
            if (!testing && decoder.GetState() != rsAwaitingTrace) {
                if (!decoder.GetConnected()) {
                    result.End = TLiveEnd::TraceLate;
                    break;
                }
                run.StartTest(chunk, when, clock.Seconds() - connectStart);
                testing = true;
                testStart = clock.Seconds();
                run.WatchSilences();
            }
        } else if (status == TSerialPort::TReadStatus::End) {
            result.End = TLiveEnd::EndOfInput;
            break;
        } else if (status == TSerialPort::TReadStatus::Lost) {
            ++result.PortLosses;
            result.LostMessage = port.LastError();
            run.Trace.Pause(clock.Seconds(), result.Events);
            run.Report("the port was lost: " + result.LostMessage);
            if (!testing || !run.Reconnect()) {
                result.End = run.StopRequested() ? TLiveEnd::Stopped : TLiveEnd::PortLost;
                break;
            }
        }
        if (testing)
            run.CheckSilences();
        if (!run.Tick(failure))
            return false;
    }

    if (testing) {
        result.TestSeconds = clock.Seconds() - testStart;
        // The fixes that came up to the stop still place the records before it.
        run.PollGps(true);
        run.EndSilences();
    }
    // The loop may have ended between a failed write of the fix log and the next tick.
    return run.FixLogWritten(failure);
}

}  // namespace

bool RunLive(const TPlugin& plugin, TSerialPort& port, const TLiveOptions& options,
             const std::function<void(const TRecordRow&)>& sink, TLiveResult& result,
             std::string* error) {
    result = TLiveResult();
    TDecoderSession session(sink);
    TLiveRun run(port, options, session, result);

    std::string failure;
    try {
        if (!session.Create(plugin, port, "", options.FrameLogPath, error)) {
            result.End = TLiveEnd::Failed;
            return false;
        }
        if (!ReadUntilTheEnd(run, port, options, result, &failure))
            failure = "the live run stopped: " + failure;
    } catch (const std::exception& e) {
        failure = std::string("the live run stopped: ") + e.what();
    }
    run.Shut(&failure);
    if (!failure.empty())
        result.End = TLiveEnd::Failed;

    result.Stats.Records = session.Stats();
    result.Stats.MaxRecordsKept = session.MaxKept();
    if (options.Gps != nullptr)
        result.FixesRead = options.Gps->FixCount();
    if (options.Status != nullptr)
        options.Status->Clear();
    if (!failure.empty()) {
        *error = failure;
        return false;
    }
    return true;
}

std::string DescribeEnd(const TLiveResult& result, const TLiveOptions& options) {
    char seconds[32];
    std::snprintf(seconds, sizeof seconds, "%.1f s", result.TestSeconds);
    char wait[32];
    std::snprintf(wait, sizeof wait, "%g s", options.TraceWaitSeconds);
    switch (result.End) {
        case TLiveEnd::Duration:
            return std::string("stopped after ") + seconds + " of test (the duration)";
        case TLiveEnd::Stopped:
            return result.Tested
                       ? std::string("stopped after ") + seconds + " of test (SIGINT or SIGTERM)"
                       : "stopped (SIGINT or SIGTERM) before the trace was confirmed";
        case TLiveEnd::EndOfInput:
            return result.Tested
                       ? std::string("the device's data ended after ") + seconds + " of test"
                       : "the device's data ended before the trace was confirmed";
        case TLiveEnd::PortLost:
            return result.Tested
                       ? std::string("the port was lost after ") + seconds +
                             " of test and could not be reopened (" + result.LostMessage + ")"
                       : "the port was lost before the trace was confirmed (" + result.LostMessage +
                             ")";
        case TLiveEnd::TraceTimeout:
            return std::string("the trace was not confirmed: no trace frame came within ") + wait +
                   " of Connect (the handset answered nothing that is a trace frame: is it "
                   "an N95 with its trace enabled, on this port?)";
        case TLiveEnd::TraceLate:
            return "the trace was not confirmed: the first trace frame came 50 s or more after "
                   "Connect, and the plug-in gave up";
        case TLiveEnd::Failed:
            return result.Tested
                       ? std::string("ended by the error above after ") + seconds + " of test"
                       : "ended by the error above before the trace was confirmed";
    }
    return "stopped";
}

}  // namespace n95::host
