// The live run in process, on a fake clock: the status line and the GPS source's reports, stop
// requests, a port that fails, and outputs that fail through the system-call seam, each
// ending the run as it should and saying why. The handset is a pseudo-terminal whose other
// side the test plays from the clock's waits; the GPS is a scripted source.
#include <dlfcn.h>
#include <poll.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <memory>
#include <set>

#include "host/common/FaultySystemCalls.h"
#include "host/common/RunClock.h"
#include "host/formats/Nmea.h"
#include "host/formats/TraceFrame.h"
#include "host/session/Live.h"
#include "host/session/LiveRig.h"
#include "host/sim/DriveGenerator.h"
#include "platform/DateTime.h"
#include "tests/host/HostTestSupport.h"
#include "tests/host/LiveTestSupport.h"

namespace n95::host {
namespace {

using n95::test::Contains;
using n95::test::Pty;
using n95::test::ReadFile;
using TCall = TSystemCalls::TCall;

// A GPS source that the test feeds: fixes, notices, and its loss.
class TScriptedFixes final : public TFixSource {
public:
    std::string Name() const override { return "scripted GPS"; }
    int Descriptor() const override { return -1; }
    std::size_t Poll() override { return std::exchange(Gained, 0); }
    const TTrack& Track() const override { return Fixes; }
    const std::string& Lost() const override { return LostText; }
    std::vector<TFixNotice> TakeNotices() override { return std::exchange(Notices, {}); }

    void Add(const TGpsPoint& fix) {
        Fixes.Fixes.push_back(fix);
        ++Gained;
    }

    TTrack Fixes;
    std::string LostText;
    std::vector<TFixNotice> Notices;
    std::size_t Gained = 0;
};

// Takes a run's messages and status as a rig's console does.
class TCollectingMonitor final : public TLiveMonitor {
public:
    void Report(const std::string& text) override { Reports += text + "\n"; }
    void Publish(const TLiveSnapshot& snapshot) override { States.push_back(snapshot.State); }
    std::string Reports;
    std::vector<std::string> States;
};

// A file the run prints to, read back once closed.
class TPrintedFile {
public:
    explicit TPrintedFile(const std::string& path) : Path(path), File(fopen(path.c_str(), "w")) {}
    ~TPrintedFile() { Close(); }
    std::string Text() {
        Close();
        return ReadFile(Path);
    }
    void Close() {
        if (File != nullptr)
            fclose(File);
        File = nullptr;
    }
    std::string Path;
    FILE* File;
};

// What the handset and the GPS do, in fake seconds, and how the run must end. The handset
// confirms the trace at 1 s and then sends a frame every half second.
struct TLiveCase {
    const char* Name;
    double HangUpAt = -1;       // the handset's side closes (and its name goes)
    double StopAt = -1;         // a stop request comes (SIGINT; with UseCancel, the rig's flag)
    bool UseCancel = false;     //
    bool Gps = false;           // fixes once a second from 1.5 s, notices at 2 s
    bool Monitor = false;       // a monitor takes the messages and the status
    double GpsLostAt = -1;      // the GPS source is gone from then on
    bool Status = false;        // a status line drawn
    bool Capture = false;       // a live capture
    bool FixLog = false;        // a fix log
    double FixLogFailsAt = -1;  // the fix log's write of the first fix from then on fails
    double GpsSilentFrom = -1, GpsSilentTo = 1e9;      // no fix comes in between
    double TraceSilentFrom = -1, TraceSilentTo = 1e9;  // no frame comes in between
    double SilenceTimeout = 10;                        // for the GPS and the trace
    const char* Events = "";                           // the run's events, as Describe gives them
    TCall Fail = TCall::Count;   // the first such system call after the port is open fails
    int Errno = 0;               //
    const char* Misbehave = "";  // the test plug-in's failure; "": the real plug-in
    double Duration = 5;
    // The outcome.
    bool Ok = true;
    TLiveEnd End = TLiveEnd::Duration;
    bool Tested = true;
    const char* Error = "";        // in the error, when not Ok
    const char* Messages = "";     // among the messages
    const char* StatusShows = "";  // on the status line
};

void PrintTo(const TLiveCase& c, std::ostream* out) {
    *out << c.Name;
}

using LiveRunTest = TPluginTest<TLiveCase>;

TEST_P(LiveRunTest, EndsAsItsHandsetAndOutputsSay) {
    const TLiveCase& c = GetParam();
    LoadPlugin(c.Misbehave);
    TFaultySystemCalls faulty;
    const TScopedSystemCalls installed(&faulty);

    Pty handset;
    const std::string link = Path("handset");
    ASSERT_EQ(symlink(handset.Slave.c_str(), link.c_str()), 0);
    TSerialPort port(link, TSerialOptions{});
    std::string error;
    ASSERT_TRUE(port.OpenPort(&error)) << error;

    TCaptureWriter capture;
    if (c.Capture) {
        ASSERT_TRUE(capture.Open(Path("live.pcap"), &error, TCaptureMode::Growing)) << error;
    }
    TGrowingFile fixLog;
    if (c.FixLog) {
        ASSERT_TRUE(fixLog.Create(Path("live.nmea"), "", &error)) << error;
    }
    if (c.Fail != TCall::Count)
        faulty.FailAt(c.Fail, faulty.Calls(c.Fail) + 1, c.Errno);

    TFakeRunClock clock;
    TScriptedFixes gps;
    volatile std::sig_atomic_t stop = 0;
    std::atomic<bool> cancel{false};
    double nextFrame = 1.0, nextFix = 1.5;
    clock.OnWait = [&](const std::vector<int>& fds) {
        const double now = clock.Seconds();
        if (handset.Master >= 0 && now >= nextFrame) {
            nextFrame += 0.5;  // the clock stands still while a frame waits to be read
            if (!(c.TraceSilentFrom >= 0 && now >= c.TraceSilentFrom && now < c.TraceSilentTo)) {
                handset.Write(OneFrame());
                AwaitInput(fds[0]);
            }
        }
        if (c.HangUpAt >= 0 && handset.Master >= 0 && now >= c.HangUpAt) {
            unlink(link.c_str());
            handset.HangUp();
        }
        if (c.StopAt >= 0 && now >= c.StopAt) {
            if (c.UseCancel)
                cancel.store(true);
            else
                stop = 1;
        }
        if (c.Gps && c.GpsSilentFrom >= 0 && now >= nextFix && now >= c.GpsSilentFrom &&
            now < c.GpsSilentTo)
            nextFix += 1.0;
        if (c.Gps && gps.LostText.empty() && now >= nextFix) {
            const TDateTime time = CaptureTimeToDateTime(clock.WallTime());
            gps.Add({24.9 + now / 1e4, 60.2, time});
            // Within a centisecond of it: the same fix once written as NMEA, not fed.
            gps.Add({24.9 + now / 1e4, 60.2, time + 0.004 / kSecondsPerDay});
            nextFix += 1.0;
            // The run feeds the new fix, and appends it to the fix log, before it reads the
            // port again: that append is the next gathered write.
            if (c.FixLogFailsAt >= 0 && now >= c.FixLogFailsAt && !faulty.Fired())
                faulty.FailAt(TCall::WriteGathered, faulty.Calls(TCall::WriteGathered) + 1, ENOSPC);
        }
        if (c.Gps && now >= 2.0 && now < 2.1)
            gps.Notices = {{true, "the receiver is lost"}, {false, "the receiver is back"}};
        if (c.GpsLostAt >= 0 && now >= c.GpsLostAt)
            gps.LostText = "the receiver was unplugged";
    };

    TPrintedFile messages(Path("messages.txt")), statusText(Path("status.txt"));
    TStatusLine status(true, statusText.File);
    TLiveOptions options;
    options.Clock = &clock;
    options.DurationSeconds = c.Duration;
    options.ReconnectTries = 2;
    options.ReconnectPauseSeconds = 1.0;
    options.GpsTimeoutSeconds = options.TraceTimeoutSeconds = c.SilenceTimeout;
    options.Messages = messages.File;
    options.Status = c.Status ? &status : nullptr;
    TCollectingMonitor monitor;
    options.Monitor = c.Monitor ? &monitor : nullptr;
    options.Gps = c.Gps ? &gps : nullptr;
    options.Capture = c.Capture ? &capture : nullptr;
    options.FixLog = c.FixLog ? &fixLog : nullptr;
    options.StopRequested = c.UseCancel ? nullptr : &stop;
    options.Cancel = c.UseCancel ? &cancel : nullptr;
    TLiveResult result;
    uint64_t rows = 0;
    const bool ok = RunLive(
        Plugin, port, options, [&](const TRecordRow&) { ++rows; }, result, &error);

    EXPECT_EQ(ok, c.Ok) << error;
    EXPECT_EQ(result.End, c.End) << DescribeEnd(result, options);
    EXPECT_EQ(result.Tested, c.Tested);
    if (!c.Ok) {
        EXPECT_TRUE(Contains(error, c.Error)) << error;
    }
    EXPECT_EQ(rows, result.Stats.Records.Records);
    if (c.Gps && c.GpsLostAt < 0 && c.Ok) {
        EXPECT_EQ(result.Stats.Records.FixesFed * 2, gps.Fixes.Fixes.size());
    }
    const std::string printed = messages.Text() + monitor.Reports;
    if (c.Monitor) {
        EXPECT_TRUE(!monitor.States.empty() && monitor.States.back() == "testing");
    }
    EXPECT_TRUE(Contains(printed, c.Messages)) << printed;
    const std::string shown = statusText.Text();
    EXPECT_TRUE(Contains(shown, c.StatusShows)) << shown;
    EXPECT_EQ(shown.empty(), !c.Status) << shown;
    EXPECT_EQ(faulty.Fired(), c.Fail != TCall::Count || c.FixLogFailsAt >= 0);
    // "GPS lost at 1.5 s for 3.0 s": each event from the run's start on the fake clock.
    std::string events;
    for (const TRunEvent& e : result.Events) {
        char text[96];
        std::snprintf(text, sizeof text, "%s%s at %.1f s for %.1f s", events.empty() ? "" : "; ",
                      e.What.c_str(),
                      (e.Time - CaptureTimeToDateTime(TFakeRunClock().WallTime())) * kSecondsPerDay,
                      e.Seconds);
        events += text;
    }
    EXPECT_EQ(events, c.Events);
    if (c.Capture && c.Tested && (c.Ok || c.FixLogFailsAt >= 0)) {
        // Whatever else stopped the run, every chunk read is in the capture, whole.
        ASSERT_TRUE(capture.Commit(&error)) << error;
        TCaptureReader reader;
        ASSERT_TRUE(reader.Open(Path("live.pcap"), &error)) << error;
        while (reader.Next() == TCaptureReader::TStatus::Chunk) {
        }
        EXPECT_EQ(reader.ChunkCount(), result.Stats.Chunks.Chunks);
    }
    if (c.FixLog) {
        // Every fix in the log follows its feed marker: a failed append left no part of one.
        TTrack fed;
        ParseNmea(ReadFile(Path("live.nmea")), fed);
        EXPECT_EQ(fed.Skipped, 0u);
        EXPECT_TRUE(fed.Fixes.empty() || fed.HasFeedPoints());
        if (c.FixLogFailsAt >= 0) {
            EXPECT_EQ(fed.Fixes.size() + 1, result.Stats.Records.FixesFed)
                << "the run fed the fix it could not log, and stopped";
        }
    }
}

// A run that ends in failure with `error` in its message.
void StopsWith(TLiveCase& c, const char* error) {
    c.Ok = false;
    c.End = TLiveEnd::Failed;
    c.Error = error;
}

// A run whose next `call` of the system fails with `errnum`, which stops it.
void FailsAt(TLiveCase& c, TCall call, int errnum, const char* error = "the live run stopped: ") {
    c.Fail = call;
    c.Errno = errnum;
    StopsWith(c, error);
}

TLiveCase Case(const char* name, const std::function<void(TLiveCase&)>& set) {
    TLiveCase c;
    c.Name = name;
    set(c);
    return c;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, LiveRunTest,
    ::testing::Values(Case("StatusWithoutGps",
                           [](TLiveCase& c) {
                               c.Status = true;
                               c.StatusShows = "testing | ";
                           }),
                      Case("StatusAndFixes",
                           [](TLiveCase& c) {
                               c.Status = c.Gps = c.FixLog = c.Capture = true;
                               c.StatusShows = " | fix 60.20000, 24.90";
                               c.Messages = "warning: the receiver is lost";
                           }),
                      Case("GpsSilentAWhile",
                           [](TLiveCase& c) {
                               // Fixes at 1.5 and from 4.5 on: a gap from the first to the
                               // next, shown while it lasts.
                               c.Status = c.Gps = true;
                               c.GpsSilentFrom = 2.0;
                               c.GpsSilentTo = 4.0;
                               c.SilenceTimeout = 1.5;  // fixes come a second apart
                               c.Messages = "GPS lost: no valid fix for 1.";
                               c.StatusShows = " | GPS lost";
                               c.Events = "GPS lost at 1.5 s for 3.0 s";
                           }),
                      Case("GpsSilentToTheEnd",
                           [](TLiveCase& c) {
                               c.Gps = true;
                               c.GpsSilentFrom = 3.0;
                               c.SilenceTimeout = 1.5;  // fixes come a second apart
                               // The test ran from 1.1 s (the first frame read) to 6.1 s.
                               c.Events = "GPS lost at 2.5 s for 3.6 s";
                           }),
                      Case("GpsSilentWithinItsTimeout",
                           [](TLiveCase& c) {
                               c.Gps = true;
                               c.GpsSilentFrom = 2.0;
                               c.GpsSilentTo = 4.0;
                               c.SilenceTimeout = 3.5;
                           }),
                      Case("TraceSilentAWhile",
                           [](TLiveCase& c) {
                               // Frames at 1.0 and 1.5, then from 4.0 on; the port stays open.
                               c.Monitor = true;
                               c.TraceSilentFrom = 2.0;
                               c.TraceSilentTo = 3.6;
                               c.SilenceTimeout = 1.0;
                               c.Messages = "trace back after 2.5 s";
                               c.Events = "trace lost at 1.5 s for 2.5 s";
                           }),
                      Case("NoFixYet",
                           [](TLiveCase& c) {
                               c.Status = c.Gps = true;
                               c.GpsLostAt = 0.5;
                               c.StatusShows = " | no fix yet";
                               c.Messages =
                                   "the receiver was unplugged; the run goes on without fixes";
                           }),
                      Case("GpsLostDuringTheTest",
                           [](TLiveCase& c) {
                               c.Gps = true;
                               c.GpsLostAt = 3.0;
                               c.Messages =
                                   "the receiver was unplugged; the run goes on without fixes";
                           }),
                      Case("Monitored",
                           [](TLiveCase& c) {
                               c.Monitor = true;
                               c.Messages = "trace confirmed";
                           }),
                      Case("StopRequested",
                           [](TLiveCase& c) {
                               c.StopAt = 2.0;
                               c.End = TLiveEnd::Stopped;
                           }),
                      Case("CancelledByTheRig",
                           [](TLiveCase& c) {
                               c.StopAt = 2.0;
                               c.UseCancel = true;
                               c.End = TLiveEnd::Stopped;
                           }),
                      Case("StopWhileReconnecting",
                           [](TLiveCase& c) {
                               // With the hang-up: the reconnect pauses do not wait for it.
                               c.HangUpAt = c.StopAt = 2.0;
                               c.End = TLiveEnd::Stopped;
                               c.Messages = "the port was lost: ";
                           }),
                      Case("StoppedBeforeTheTrace",
                           [](TLiveCase& c) {
                               c.StopAt = 0.5;
                               c.End = TLiveEnd::Stopped;
                               c.Tested = false;
                           }),
                      Case("SwitchOnFails",
                           [](TLiveCase& c) {
                               c.Fail = TCall::Write;
                               c.Errno = EIO;
                               c.End = TLiveEnd::PortLost;
                               c.Tested = false;
                               c.Messages =
                                   "the port failed while the trace was being switched on: ";
                           }),
                      Case("LostBeforeTheTrace",
                           [](TLiveCase& c) {
                               c.Fail = TCall::Read;
                               c.Errno = EIO;
                               c.End = TLiveEnd::PortLost;
                               c.Tested = false;
                               c.Messages = "hung up (input/output error)";
                           }),
                      Case("CaptureFull",
                           [](TLiveCase& c) {
                               c.Capture = true;
                               FailsAt(c, TCall::WriteGathered, ENOSPC);
                               c.Tested = false;
                           }),
                      Case("CaptureSyncFails",
                           [](TLiveCase& c) {
                               c.Capture = true;
                               FailsAt(c, TCall::SyncData, EIO);
                               c.Tested = false;
                           }),
                      Case("FixLogFull",
                           [](TLiveCase& c) {
                               c.Gps = c.FixLog = true;
                               FailsAt(c, TCall::WriteGathered, ENOSPC);
                           }),
                      Case("FixLogFailsDuringTheTest",
                           [](TLiveCase& c) {
                               // The run stops; the capture keeps every chunk read and the
                               // fix log every whole fix before the failed one.
                               c.Gps = c.FixLog = c.Capture = true;
                               c.FixLogFailsAt = 3.0;
                               StopsWith(c, "the live run stopped: ");
                           }),
                      Case("FixLogSyncFails",
                           [](TLiveCase& c) {
                               c.Gps = c.FixLog = true;
                               FailsAt(c, TCall::SyncData, EIO);
                               c.Tested = false;  // synced at the first tick, before the trace
                           }),
                      Case("StopTestFails",
                           [](TLiveCase& c) {
                               c.Misbehave = "throw:StopTest";
                               StopsWith(c,
                                         "the live run stopped: the plug-in's StopTest raised an "
                                         "error");
                           }),
                      Case("StopTestFailsAfterTheCapture",
                           [](TLiveCase& c) {
                               // The first failure is the one reported.
                               c.Misbehave = "throw:StopTest";
                               c.Capture = true;
                               FailsAt(c, TCall::WriteGathered, ENOSPC,
                                       "the live run stopped: cannot write");
                               c.Tested = false;
                           })),
    [](const ::testing::TestParamInfo<TLiveCase>& info) { return std::string(info.param.Name); });

// Every way a run ends has a line of its own that says what the user needs: how long the
// test ran when it ran, how the port failed, how long the trace was waited for.
TEST(DescribeEndTest, EachEndSaysWhatHappened) {
    struct TCase {
        TLiveEnd End;
        bool Tested;
        std::vector<std::string> Says;
    };
    const TCase cases[] = {
        {TLiveEnd::Duration, true, {"12.3 s", "duration"}},
        {TLiveEnd::Stopped, true, {"12.3 s", "SIGINT"}},
        {TLiveEnd::Stopped, false, {"SIGINT", "before the trace was confirmed"}},
        {TLiveEnd::EndOfInput, true, {"12.3 s", "data ended"}},
        {TLiveEnd::EndOfInput, false, {"data ended before the trace was confirmed"}},
        {TLiveEnd::PortLost, true, {"12.3 s", "(ttyX hung up)"}},
        {TLiveEnd::PortLost, false, {"before the trace was confirmed (ttyX hung up)"}},
        {TLiveEnd::TraceTimeout, false, {"within 7.5 s of Connect"}},
        {TLiveEnd::TraceLate, false, {"50 s or more after Connect"}},
        {TLiveEnd::Failed, true, {"12.3 s", "error above"}},
        {TLiveEnd::Failed, false, {"error above before the trace was confirmed"}},
    };
    TLiveOptions options;
    options.TraceWaitSeconds = 7.5;
    std::set<std::string> seen;
    for (const TCase& c : cases) {
        TLiveResult result;
        result.End = c.End;
        result.Tested = c.Tested;
        result.TestSeconds = c.Tested ? 12.34 : 0.0;
        result.LostMessage = "ttyX hung up";
        const std::string text = DescribeEnd(result, options);
        for (const std::string& part : c.Says)
            EXPECT_TRUE(Contains(text, part)) << text;
        EXPECT_EQ(Contains(text, "12.3 s"), c.Tested) << text;
        EXPECT_TRUE(seen.insert(text).second) << "said twice: " << text;
    }
}

// One row per handset, the labels padded to the longest so the columns line up; a label
// without a snapshot gets no row.
TEST(StatusRowsTest, OneAlignedRowPerHandset) {
    const std::vector<TLiveSnapshot> snapshots = {{"testing", 12034, 980.4, 2048.0, ""},
                                                  {"reconnecting", 7, 0.0, 0.0, "GPS lost"}};
    const std::vector<std::string> rows =
        n95::test::SplitLines(FormatStatusRows({"A", "Car2", "C"}, snapshots));
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(rows[0].substr(0, 6), "A     ");
    EXPECT_EQ(rows[1].substr(0, 6), "Car2  ");
    EXPECT_TRUE(Contains(rows[0], "testing") && Contains(rows[0], "980 fr/s") &&
                Contains(rows[0], "12034 records"))
        << rows[0];
    EXPECT_TRUE(Contains(rows[1], "reconnecting") && Contains(rows[1], "7 records") &&
                Contains(rows[1], "  GPS lost"))
        << rows[1];
    EXPECT_FALSE(Contains(rows[0], "lost")) << rows[0];
    EXPECT_EQ(rows[0].find("fr/s"), rows[1].find("fr/s")) << "columns line up";
    EXPECT_EQ(FormatStatusRows({}, snapshots), "");
}

// A rig of handsets that end by themselves, each in its own way: one whose frame log cannot
// be made, two that never confirm the trace. Each says so with its label; the GPS source's
// notices and the status rows go to the rig's console.
TEST(LiveRigTest, EachHandsetEndsOnItsOwnAndSaysWhy) {
    // With a console, and without one (nothing printed, the same ends).
    for (const bool quiet : {false, true}) {
        TPlugin plugin;
        std::string error;
        ASSERT_TRUE(plugin.Load(N95_PLUGIN_PATH, &error)) << error;
        Pty a, b, c;
        std::vector<std::unique_ptr<TSerialPort>> ports;
        std::vector<TLiveHandset> handsets;
        for (const auto& [label, pty] :
             {std::pair<const char*, Pty*>{"A", &a}, {"Bee", &b}, {"C", &c}}) {
            ports.push_back(std::make_unique<TSerialPort>(pty->Slave, TSerialOptions{}));
            ASSERT_TRUE(ports.back()->OpenPort(&error)) << error;
            TLiveHandset& h = handsets.emplace_back();
            h.Label = label;
            h.Port = ports.back().get();
            h.Options.TraceWaitSeconds = 0.3;
            h.Sink = [](const TRecordRow&) {};
        }
        handsets[0].Options.FrameLogPath = "/nonexistent-folder/frames.log";

        TScriptedFixes gps;
        gps.Notices = {{true, "the receiver is lost"}, {false, "the receiver is back"}};
        char* printed = nullptr;
        std::size_t printedSize = 0;
        FILE* console = open_memstream(&printed, &printedSize);
        char* drawn = nullptr;
        std::size_t drawnSize = 0;
        FILE* statusFile = open_memstream(&drawn, &drawnSize);
        TStatusLine status(true, statusFile);
        volatile std::sig_atomic_t stop = 0;
        TLiveRig rig(plugin, &gps, quiet ? nullptr : &status, quiet ? nullptr : console);
        rig.Run(handsets, quiet ? nullptr : &stop);
        fclose(console);
        fclose(statusFile);
        const std::string messages(printed, printedSize), rows(drawn, drawnSize);
        free(printed);
        free(drawn);
        if (quiet) {
            EXPECT_EQ(messages + rows, "") << "a rig without a console prints nothing";
            EXPECT_FALSE(handsets[0].Ok);
            continue;
        }

        EXPECT_FALSE(handsets[0].Ok);
        EXPECT_TRUE(Contains(messages, "A: " + handsets[0].Error)) << messages;
        EXPECT_TRUE(Contains(handsets[0].Error, "/nonexistent-folder/frames.log"))
            << handsets[0].Error;
        for (std::size_t i = 1; i < handsets.size(); ++i) {
            EXPECT_TRUE(handsets[i].Ok) << handsets[i].Error;
            EXPECT_EQ(handsets[i].Result.End, TLiveEnd::TraceTimeout);
            EXPECT_TRUE(Contains(messages, handsets[i].Label + ": the trace was not confirmed"))
                << messages;
        }
        EXPECT_TRUE(Contains(messages, "warning: the receiver is lost\n")) << messages;
        EXPECT_TRUE(Contains(rows, "Bee  ")) << rows;
    }
}

}  // namespace
}  // namespace n95::host
