#include "host/Live.h"

#include "host/Progress.h"

#include <poll.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <exception>
#include <stdexcept>
#include <thread>

#include "host/DateTimeText.h"
#include "host/TraceFrame.h"

namespace n95::host {

namespace {

using TClock = std::chrono::steady_clock;

constexpr auto kStatusInterval = std::chrono::seconds(1);
// The longest wait for input, so that stop requests, the duration and GPS files are looked
// at often enough.
constexpr int kMaxWaitMs = 100;

double SecondsSince(TClock::time_point start) {
    return std::chrono::duration<double>(TClock::now() - start).count();
}

int MillisecondsUntil(TClock::time_point start, double seconds) {
    const double left = seconds - SecondsSince(start);
    return static_cast<int>(std::clamp(std::ceil(left * 1000.0), 0.0, 1e9));
}

const char* StateName(uint8_t state) {
    switch (state) {
        case 0:
            return "stopped";
        case 1:
            return "awaiting trace";
        case 2:
            return "idle";
        case 3:
            return "testing";
        default:
            return "state ?";
    }
}


// The run's state between the steps of RunLive.
class TLiveRun {
public:
    TLiveRun(TSerialPort& port, const TLiveOptions& options, TDecoderSession& session,
             TLiveResult& result)
        : Port(port), Options(options), Session(session), Result(result) {}

    // Prints a message, clearing the status line first.
    void Report(const std::string& text) {
        if (Options.Status != nullptr)
            Options.Status->Clear();
        if (Options.Messages != nullptr) {
            std::fprintf(Options.Messages, "n95host: %s\n", text.c_str());
            std::fflush(Options.Messages);
        }
    }

    bool StopRequested() const {
        return Options.StopRequested != nullptr && *Options.StopRequested != 0;
    }

    // A chunk read at `when`: into the capture, counted, then decoded with the port's time
    // stamp held at `when`.
    void Take(const std::string& chunk, TCaptureTime when) {
        if (Options.Capture != nullptr) {
            std::string error;
            if (!Options.Capture->Write(when, chunk.data(), static_cast<uint32_t>(chunk.size()),
                                        &error))
                throw std::runtime_error(error);
        }
        if (Result.Chunks == 0)
            Result.FirstChunkTime = when;
        Result.LastChunkTime = when;
        ++Result.Chunks;
        Result.ChunkBytes += chunk.size();
        const TChunkScan scan =
            ScanChunk(reinterpret_cast<const uint8_t*>(chunk.data()), chunk.size());
        Result.Frames += scan.Frames;
        Result.AlignedChunks += scan.Aligned ? 1 : 0;
        Result.AtReplyChunks += scan.AtReply ? 1 : 0;
        Decode(chunk, when);
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
        Result.FixesRead += Options.Gps->Poll();
        if (!Options.Gps->Lost().empty() && !GpsLossReported) {
            GpsLossReported = true;
            Report(Options.Gps->Lost() + "; the run goes on without fixes");
            Session.ReleaseAll();
        }
        if (testing)
            FeedFixes();
    }

    void FeedFixes() {
        if (Options.Gps == nullptr)
            return;
        const std::vector<TGpsPoint>& fixes = Options.Gps->Track().Fixes;
        while (FixesFed < fixes.size())
            Session.FeedFix(fixes[FixesFed++]);
    }

    // Waits until the port or the GPS has input, at most `waitMs`.
    void Wait(int waitMs) {
        pollfd fds[2] = {{Port.Descriptor(), POLLIN, 0}, {-1, POLLIN, 0}};
        nfds_t count = 1;
        if (Options.Gps != nullptr && Options.Gps->Descriptor() >= 0) {
            fds[1].fd = Options.Gps->Descriptor();
            count = 2;
        }
        ::poll(fds, count, waitMs);  // a signal or an error ends the wait early: harmless
    }

    // After a port loss during the test: Reconnect, up to the allowed attempts with a pause
    // before each. True once the port is open again.
    bool Reconnect() {
        THandSetDecode& decoder = Session.Decoder();
        for (int attempt = 1; attempt <= Options.ReconnectTries; ++attempt) {
            const auto pauseStart = TClock::now();
            while (SecondsSince(pauseStart) < Options.ReconnectPauseSeconds) {
                if (StopRequested())
                    return false;
                std::this_thread::sleep_for(std::chrono::milliseconds(std::clamp(
                    MillisecondsUntil(pauseStart, Options.ReconnectPauseSeconds), 1, 50)));
            }
            if (StopRequested())
                return false;
            Report("reconnecting to " + Port.Path() + " (attempt " + std::to_string(attempt) +
                   " of " + std::to_string(Options.ReconnectTries) + ")");
            decoder.Reconnect();
            if (Port.IsOpen()) {
                ++Result.Reconnects;
                Report("reconnected to " + Port.Path() + "; the trace is switched on again");
                return true;
            }
            Report("attempt " + std::to_string(attempt) + " failed: " + Port.LastError());
        }
        return false;
    }

    void ShowStatus() {
        if (Options.Status == nullptr || !Options.Status->IsEnabled())
            return;
        THandSetDecode& decoder = Session.Decoder();
        std::string text = std::string(StateName(decoder.GetState())) + " | " +
                           std::to_string(Session.Stats().Records) + " records | " +
                           FormatRate(decoder.GetDataRate());
        if (Options.Gps != nullptr && !Options.Gps->Track().Fixes.empty()) {
            const TGpsPoint& fix = Options.Gps->Track().Fixes.back();
            char buffer[64];
            std::snprintf(buffer, sizeof buffer, " | fix %.5f, %.5f at ", fix.Y, fix.X);
            text += buffer;
            const std::string time = FormatIso8601(fix.Time);
            text += time.size() > 19 ? time.substr(11, 8) : time;
        } else if (Options.Gps != nullptr) {
            text += " | no fix yet";
        }
        Options.Status->Show(text);
    }

    TSerialPort& Port;
    const TLiveOptions& Options;
    TDecoderSession& Session;
    TLiveResult& Result;
    std::size_t FixesFed = 0;
    bool GpsLossReported = false;
};

}  // namespace

bool RunLive(const TPlugin& plugin, TSerialPort& port, const TLiveOptions& options,
             const std::function<void(const TRecordRow&)>& sink, TLiveResult& result,
             std::string* error) {
    result = TLiveResult();
    TDecoderSession session(sink);
    TLiveRun run(port, options, session, result);
    const auto finish = [&] {
        result.Records = session.Stats();
        result.MaxRecordsKept = session.MaxKept();
        if (options.Gps != nullptr)
            result.FixesRead = options.Gps->Track().Fixes.size();
        if (options.Status != nullptr)
            options.Status->Clear();
    };

    try {
        if (!session.Create(plugin, port, "", options.FrameLogPath, error))
            return false;
        THandSetDecode& decoder = session.Decoder();
        const auto connectStart = TClock::now();
        decoder.Connect(false);

        bool testing = false;
        auto testStart = connectStart;
        auto nextStatus = connectStart;
        std::string chunk;
        if (!port.IsOpen()) {
            // A failed AT line closes the port: the handset never got the switch-on sequence.
            result.End = TLiveEnd::PortLost;
            result.LostMessage = port.LastError();
            ++result.PortLosses;
            run.Report("the port failed while the trace was being switched on: " +
                       result.LostMessage);
        }
        while (port.IsOpen() || testing) {
            if (run.StopRequested()) {
                result.End = TLiveEnd::Stopped;
                break;
            }
            int waitMs = kMaxWaitMs;
            if (!testing) {
                waitMs =
                    std::min(waitMs, MillisecondsUntil(connectStart, options.TraceWaitSeconds));
                if (waitMs == 0) {
                    result.End = TLiveEnd::TraceTimeout;
                    break;
                }
            } else if (options.DurationSeconds > 0) {
                waitMs = std::min(waitMs, MillisecondsUntil(testStart, options.DurationSeconds));
                if (waitMs == 0) {
                    result.End = TLiveEnd::Duration;
                    break;
                }
            }

            run.Wait(waitMs);
            run.PollGps(testing);
            const TSerialPort::TReadStatus status = port.ReadBurst(chunk, 0);
            if (status == TSerialPort::TReadStatus::Data) {
                const TCaptureTime when = CaptureTimeNow();
                run.Take(chunk, when);
                if (!testing && decoder.GetState() != 1) {
                    if (!decoder.GetConnected()) {
                        result.End = TLiveEnd::TraceLate;
                        break;
                    }
                    result.ConfirmSeconds = SecondsSince(connectStart);
                    char text[80];
                    std::snprintf(text, sizeof text,
                                  "trace confirmed %.2f s after Connect; test started",
                                  result.ConfirmSeconds);
                    run.Report(text);
                    decoder.StartTest();
                    testing = true;
                    result.Tested = true;
                    testStart = TClock::now();
                    run.FeedFixes();
                    // In the awaiting state only the first frame counted; the rest of the
                    // chunk belongs to the test.
                    run.Decode(chunk, when);
                }
            } else if (status == TSerialPort::TReadStatus::End) {
                result.End = TLiveEnd::EndOfInput;
                break;
            } else if (status == TSerialPort::TReadStatus::Lost) {
                ++result.PortLosses;
                result.LostMessage = port.LastError();
                run.Report("the port was lost: " + result.LostMessage);
                if (!testing || !run.Reconnect()) {
                    result.End = run.StopRequested() ? TLiveEnd::Stopped : TLiveEnd::PortLost;
                    break;
                }
            }

            if (TClock::now() >= nextStatus) {
                nextStatus = TClock::now() + kStatusInterval;
                run.ShowStatus();
                if (options.Capture != nullptr) {
                    std::string flushError;
                    if (!options.Capture->Flush(&flushError))
                        throw std::runtime_error(flushError);
                }
            }
        }

        if (testing) {
            result.TestSeconds = SecondsSince(testStart);
            // The fixes that came up to the stop still place the records before it.
            run.PollGps(true);
        }
        // The trace is switched off whatever happened: on a closed port the plug-in's writes
        // fail quietly.
        decoder.StopTest();
        session.HandOver();
        session.Finish();
        session.ReleaseAll();
    } catch (const std::exception& e) {
        *error = std::string("the live run stopped: ") + e.what();
        port.ReleaseTimeStamp();
        // Still switch the handset's trace off, and close the frame log; the first failure
        // is the one reported.
        try {
            if (session.HasDecoder()) {
                session.Decoder().StopTest();
                session.HandOver();
            }
        } catch (const std::exception&) {
        }
        try {
            session.Finish();
        } catch (const std::exception&) {
        }
        session.ReleaseAll();
        finish();
        return false;
    }
    finish();
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
    }
    return "stopped";
}

}  // namespace n95::host
