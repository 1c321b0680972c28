// Fixes from gpsd: which --gps values name it, which reports become fixes, and a connection
// that is lost and comes back (against a stand-in gpsd on a local socket, on a fake clock).
#include "host/devices/GpsdFeed.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <limits>
#include <thread>

#include "platform/DateTime.h"
#include "tests/host/StandInGpsd.h"

namespace n95::host {
namespace {

TEST(GpsdAddressTest, NamesAndAddresses) {
    struct Case {
        std::string Source;
        bool Ok;
        std::string Host, Port;  // when Ok; else a piece of the message
    };
    const std::vector<Case> cases = {
        {"gpsd", true, "localhost", "2947"},
        {"gpsd://10.0.0.5:3000", true, "10.0.0.5", "3000"},
        {"gpsd://gpshost", true, "gpshost", "2947"},
        {"gpsd://gpshost/", true, "gpshost", "2947"},
        {"gpsd://:2950", true, "localhost", "2950"},
        {"gpsd://[::1]:2948", true, "::1", "2948"},
        {"gpsd://[::1]", true, "::1", "2947"},
        {"gpsd://", true, "localhost", "2947"},
        {"gpsd://host:0", false, "1 to 65535", ""},
        {"gpsd://host:65536", false, "1 to 65535", ""},
        {"gpsd://host:99999999999", false, "1 to 65535", ""},
        {"gpsd://host:29x7", false, "1 to 65535", ""},
        {"gpsd://host:", false, "1 to 65535", ""},
        {"gpsd:host", false, "gpsd://HOST:PORT", ""},
        {"gpsd://[::1", false, "[ADDRESS]:PORT", ""},
        {"gpsd://[::1]2947", false, "[ADDRESS]:PORT", ""},
        {"gpsd://host/path:1", false, "not a host name", ""},
    };
    for (const Case& c : cases) {
        ASSERT_TRUE(IsGpsdSource(c.Source)) << c.Source;
        TGpsdAddress address;
        std::string error;
        EXPECT_EQ(ParseGpsdAddress(c.Source, address, &error), c.Ok) << c.Source << ": " << error;
        if (c.Ok) {
            EXPECT_EQ(address.Host, c.Host) << c.Source;
            EXPECT_EQ(address.Port, c.Port) << c.Source;
        } else {
            EXPECT_NE(error.find(c.Host), std::string::npos) << c.Source << ": " << error;
        }
    }
    // Devices and files keep their meaning, also those whose names begin with "gpsd".
    for (const char* other : {"/dev/ttyUSB0", "./gpsd", "gpsd.nmea", "gpsd-log", ""})
        EXPECT_FALSE(IsGpsdSource(other)) << other;
}

// One report after the other into one track: which become fixes, which are refused.
TEST(GpsdFixTest, OnlyTimedUsableFixesGoingForwardAreTaken) {
    constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
    constexpr int64_t t0 = 1715678400;
    struct Case {
        const char* What;
        TGpsdReport Report;
        std::size_t Taken;  // fixes the track gained
        bool Refused;       // counted as skipped
    };
    const std::vector<Case> cases = {
        {"mode not seen", {0, true, t0, 0, true, 60.0, 24.0}, 0, false},
        {"no fix", {1, true, t0, 0, true, 60.0, 24.0}, 0, false},
        // The first fix waits for the next two to vouch for it (see TFixFilter).
        {"2D fix", {2, true, t0, 0, true, 60.17, 24.9}, 0, false},
        {"3D fix, half a second on", {3, true, t0, 500000000, true, 60.18, 24.91}, 0, false},
        {"3D fix, a second on", {3, true, t0 + 1, 0, true, 60.19, 24.92}, 3, false},
        {"no time", {3, false, 0, 0, true, 60.2, 24.9}, 0, true},
        {"time zero", {3, true, 0, 0, true, 60.2, 24.9}, 0, true},
        {"no position", {3, true, t0 + 2, 0, false, 60.2, 24.9}, 0, true},
        {"NaN latitude", {3, true, t0 + 2, 0, true, kNaN, 24.9}, 0, true},
        {"NaN longitude", {2, true, t0 + 2, 0, true, 60.2, kNaN}, 0, true},
        {"latitude beyond a pole", {3, true, t0 + 2, 0, true, 90.5, 24.9}, 0, true},
        {"longitude beyond 180", {3, true, t0 + 2, 0, true, 60.2, -180.5}, 0, true},
        {"the same epoch again", {3, true, t0 + 1, 0, true, 60.3, 24.9}, 0, false},
        {"time going back", {3, true, t0, 0, true, 60.3, 24.9}, 0, true},
        {"on again", {3, true, t0 + 3, 0, true, -33.9, 151.2}, 1, false},
    };
    TTrack track;
    uint64_t number = 0;
    std::size_t fixes = 0;
    uint64_t skipped = 0;
    for (const Case& c : cases) {
        EXPECT_EQ(AddGpsdFix(c.Report, ++number, track), c.Taken) << c.What;
        fixes += c.Taken;
        skipped += c.Refused ? 1 : 0;
        EXPECT_EQ(track.Fixes.size(), fixes) << c.What;
        EXPECT_EQ(track.Skipped, skipped) << c.What;
        if (c.Taken) {
            EXPECT_EQ(track.Fixes.back().X, c.Report.Longitude) << c.What;
            EXPECT_EQ(track.Fixes.back().Y, c.Report.Latitude) << c.What;
            EXPECT_NEAR(track.Fixes.back().Time,
                        UnixSecondsToDateTime(static_cast<double>(c.Report.Seconds) +
                                              static_cast<double>(c.Report.Nanoseconds) * 1e-9),
                        SecondsToDays(1e-4))
                << c.What;
        }
    }
    EXPECT_EQ(track.Entries, cases.size());
    // The problems name the reports by number.
    ASSERT_EQ(track.FirstProblems.size(), TTrack::kReportedProblems);
    EXPECT_EQ(track.FirstProblems[0].Line, 6u);
    EXPECT_EQ(track.FirstProblems[2].Line, 8u);
}

#if N95_HAVE_LIBGPS

std::string Tpv(int mode, int second, double lat, double lon) {
    char text[200];
    std::snprintf(text, sizeof text,
                  "{\"class\":\"TPV\",\"device\":\"/dev/ttyUSB0\",\"mode\":%d,"
                  "\"time\":\"2024-05-14T09:20:%02d.000Z\",\"lat\":%.6f,\"lon\":%.6f}\r\n",
                  mode, second, lat, lon);
    return text;
}

// Polls until the track holds `fixes` fixes or a notice comes, at most two seconds.
std::vector<TFixNotice> PollUntil(TGpsdFeed& feed, std::size_t fixes) {
    for (int i = 0; i < 200; ++i) {
        feed.Poll();
        std::vector<TFixNotice> notices = feed.TakeNotices();
        if (!notices.empty() || feed.Track().Fixes.size() >= fixes)
            return notices;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return {};
}

TEST(GpsdFeedTest, TakesPositionReportsAndReconnectsAfterALoss) {
    StandInGpsd gpsd;
    TFakeRunClock clock;
    TGpsdFeed feed(clock);
    std::string error;
    ASSERT_TRUE(feed.Open({"127.0.0.1", std::to_string(gpsd.Port)}, &error)) << error;
    EXPECT_EQ(feed.Name(), "gpsd 127.0.0.1:" + std::to_string(gpsd.Port));
    gpsd.Accept();
    EXPECT_GE(feed.Descriptor(), 0);

    // Only the position reports with a fix count; the others are read past.
    gpsd.Send(
        "{\"class\":\"VERSION\",\"release\":\"3.22\",\"proto_major\":3,\"proto_minor\":14}\r\n" +
        Tpv(1, 0, 0.0, 0.0) + Tpv(3, 1, 60.17, 24.9) +
        "{\"class\":\"SKY\",\"device\":\"/dev/ttyUSB0\",\"satellites\":[]}\r\n" +
        Tpv(2, 2, 60.171, 24.901) + Tpv(3, 3, 60.172, 24.902));
    EXPECT_TRUE(PollUntil(feed, 3).empty());
    ASSERT_EQ(feed.Track().Fixes.size(), 3u);
    EXPECT_NEAR(feed.Track().Fixes[1].X, 24.901, 1e-9);
    EXPECT_NEAR(feed.Track().Fixes[1].Time, UnixSecondsToDateTime(1715678402.0),
                SecondsToDays(1e-3));

    // gpsd goes away: one warning, no fix, nothing to wait on; no attempt before the pause.
    gpsd.CloseClient();
    const std::vector<TFixNotice> lost = PollUntil(feed, 4);
    ASSERT_EQ(lost.size(), 1u);
    EXPECT_TRUE(lost[0].Warning);
    EXPECT_NE(lost[0].Text.find("lost the connection to " + feed.Name()), std::string::npos)
        << lost[0].Text;
    EXPECT_EQ(feed.Descriptor(), -1);
    EXPECT_EQ(feed.Lost(), "") << "never lost for good";
    clock.Advance(TGpsdFeed::kRetrySeconds - 0.1);
    feed.Poll();
    EXPECT_FALSE(gpsd.Pending()) << "tried again before the pause";

    // While nobody listens, the attempts fail without a word.
    gpsd.StopListening();
    for (int i = 0; i < 3; ++i) {
        clock.Advance(TGpsdFeed::kRetrySeconds);
        EXPECT_EQ(feed.Poll(), 0u);
        EXPECT_TRUE(feed.TakeNotices().empty());
    }

    // Back: reconnected once the pause is over, and the fixes come again.
    gpsd.Listen(gpsd.Port);
    clock.Advance(TGpsdFeed::kRetrySeconds);
    const std::vector<TFixNotice> back = PollUntil(feed, 4);
    ASSERT_EQ(back.size(), 1u);
    EXPECT_FALSE(back[0].Warning);
    EXPECT_EQ(back[0].Text, "reconnected to " + feed.Name());
    gpsd.Accept();
    gpsd.Send(Tpv(3, 5, 60.18, 24.92));
    EXPECT_TRUE(PollUntil(feed, 4).empty());
    EXPECT_EQ(feed.Track().Fixes.size(), 4u);
    EXPECT_EQ(feed.Losses(), 1u);
    EXPECT_EQ(feed.Recoveries(), 1u);
}

// A gpsd that keeps the connection open but sends nothing has stalled: past the silence
// timeout the connection is dropped, said once, and made again. Any report keeps it, with a
// fix or without.
TEST(GpsdFeedTest, AConnectionSilentPastItsTimeoutIsMadeAgain) {
    StandInGpsd gpsd;
    TFakeRunClock clock;
    TGpsdFeed feed(clock);
    feed.SetSilenceTimeout(5.0);
    std::string error;
    ASSERT_TRUE(feed.Open({"127.0.0.1", std::to_string(gpsd.Port)}, &error)) << error;
    gpsd.Accept();
    // Polls a while in real time, so that what was sent is read at this moment of the clock.
    const auto settle = [&feed] {
        std::vector<TFixNotice> notices;
        for (int i = 0; i < 20; ++i) {
            feed.Poll();
            for (TFixNotice& notice : feed.TakeNotices())
                notices.push_back(std::move(notice));
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return notices;
    };
    clock.Advance(4.0);
    gpsd.Send(Tpv(3, 0, 60.17, 24.9));
    EXPECT_TRUE(settle().empty());
    clock.Advance(4.0);
    gpsd.Send(Tpv(1, 1, 0.0, 0.0));  // no fix, but gpsd is there
    EXPECT_TRUE(settle().empty());
    clock.Advance(4.0);
    EXPECT_TRUE(settle().empty()) << "4 s after the last report";
    EXPECT_EQ(feed.Losses(), 0u);
    clock.Advance(1.5);
    const std::vector<TFixNotice> stalled = settle();
    ASSERT_EQ(stalled.size(), 1u);
    EXPECT_NE(stalled[0].Text.find("(nothing came for 5 s)"), std::string::npos) << stalled[0].Text;
    EXPECT_EQ(feed.Descriptor(), -1);
    clock.Advance(TGpsdFeed::kRetrySeconds);
    const std::vector<TFixNotice> back = settle();
    ASSERT_EQ(back.size(), 1u);
    EXPECT_EQ(back[0].Text, "reconnected to " + feed.Name());
    EXPECT_EQ(feed.Recoveries(), 1u);
}

TEST(GpsdFeedTest, NobodyListeningIsAnErrorAtTheStart) {
    int port = 0;
    {
        StandInGpsd closed;  // a port that was free a moment ago, and nobody listens on now
        port = closed.Port;
    }
    TGpsdFeed feed;
    std::string error;
    EXPECT_FALSE(feed.Open({"127.0.0.1", std::to_string(port)}, &error));
    EXPECT_NE(error.find("cannot connect to gpsd 127.0.0.1:" + std::to_string(port)),
              std::string::npos)
        << error;
}

#else

TEST(GpsdFeedTest, ABuildWithoutLibgpsSaysSo) {
    TGpsdFeed feed;
    std::string error;
    EXPECT_FALSE(feed.Open(TGpsdAddress(), &error));
    EXPECT_NE(error.find("built without gpsd support"), std::string::npos) << error;
}

#endif

}  // namespace
}  // namespace n95::host
