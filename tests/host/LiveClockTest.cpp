// The live run's time limits on a fake clock: the trace wait, the duration and the reconnect
// pauses are checked in fake seconds, so these tests take no real time beyond the plug-in's
// own AT pauses. The handset is a pseudo-terminal whose other side the test plays from the
// clock's waits.
#include <gtest/gtest.h>

#include <poll.h>
#include <unistd.h>

#include <numeric>

#include "host/common/RunClock.h"
#include "host/formats/TraceFrame.h"
#include "host/session/Live.h"
#include "host/sim/DriveGenerator.h"
#include "tests/host/HostTestSupport.h"
#include "tests/host/LiveTestSupport.h"

namespace n95::host {
namespace {

using n95::test::Pty;

// What the handset does, in fake seconds since the run began.
struct TScript {
    const char* Name;
    double ConfirmAt;  // sends one trace frame at this time; < 0: never
    double HangUpAt;   // closes its side at this time; < 0: never
    double Duration;   // the run's --duration; 0: none
    TLiveEnd End;
    bool Tested;
    double FakeSecondsAtLeast;  // the clock has passed this when the run ends
};

// GoogleTest prints a parameter it cannot print as its bytes, padding included: name it.
void PrintTo(const TScript& script, std::ostream* out) {
    *out << script.Name;
}

class LiveClockTest : public n95::test::ScratchDirTest,
                      public ::testing::WithParamInterface<TScript> {};

TEST_P(LiveClockTest, EndsWhenItsClockSays) {
    const TScript& script = GetParam();
    TPlugin plugin;
    std::string error;
    ASSERT_TRUE(plugin.Load(N95_PLUGIN_PATH, &error)) << error;
    // The run opens the handset through a link, as a udev name would be: the hang-up
    // removes it, so that the reconnects fail at once rather than racing the kernel's
    // removal of the pseudo-terminal.
    Pty handset;
    const std::string link = Path("handset");
    ASSERT_EQ(symlink(handset.Slave.c_str(), link.c_str()), 0);
    TSerialPort port(link, TSerialOptions{});
    ASSERT_TRUE(port.OpenPort(&error)) << error;

    TFakeRunClock clock;
    bool confirmed = false;
    clock.OnWait = [&](const std::vector<int>& fds) {
        if (script.ConfirmAt >= 0 && !confirmed && clock.Seconds() >= script.ConfirmAt) {
            confirmed = true;
            handset.Write(OneFrame());
            AwaitInput(fds[0]);
        }
        if (script.HangUpAt >= 0 && handset.Master >= 0 && clock.Seconds() >= script.HangUpAt) {
            unlink(link.c_str());
            handset.HangUp();
        }
    };
    TLiveOptions options;
    options.Clock = &clock;
    options.DurationSeconds = script.Duration;
    options.ReconnectTries = 3;
    options.ReconnectPauseSeconds = 2.0;
    options.Messages = nullptr;
    TLiveResult result;
    ASSERT_TRUE(RunLive(
        plugin, port, options, [](const TRecordRow&) {}, result, &error))
        << error;

    EXPECT_EQ(result.End, script.End) << DescribeEnd(result, options);
    EXPECT_EQ(result.Tested, script.Tested);
    EXPECT_GE(clock.Seconds(), script.FakeSecondsAtLeast);
    EXPECT_LT(clock.Seconds(), script.FakeSecondsAtLeast + 1.0);
    EXPECT_EQ(result.Stats.Chunks.Chunks, script.Tested ? 1u : 0u);
    if (script.End == TLiveEnd::PortLost) {
        // Each of the three attempts waited its full pause first, in slices (a millisecond
        // more at most, for the rounding of the slices), and failed.
        const std::vector<int>& sleeps = clock.Sleeps();
        EXPECT_NEAR(std::accumulate(sleeps.begin(), sleeps.end(), 0), 3 * 2000, 3);
        EXPECT_EQ(result.PortLosses, 1u);
        EXPECT_EQ(result.Reconnects, 0u);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Scripts, LiveClockTest,
    ::testing::Values(
        TScript{"SilentHandset", -1, -1, 0, TLiveEnd::TraceTimeout, false, kTraceConfirmSeconds},
        TScript{"Duration", 1.0, -1, 30, TLiveEnd::Duration, true, 31.0},
        TScript{"HangUpWithoutReplug", 1.0, 5.0, 0, TLiveEnd::PortLost, true, 5.0 + 3 * 2.0}),
    [](const ::testing::TestParamInfo<TScript>& info) { return std::string(info.param.Name); });

}  // namespace
}  // namespace n95::host
