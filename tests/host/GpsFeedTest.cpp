// Live GPS: a file that grows, and a receiver on a terminal.
#include "host/devices/GpsFeed.h"

#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <fstream>
#include <memory>

#include "host/formats/Nmea.h"
#include "platform/DateTime.h"
#include "tests/host/HostTestSupport.h"

namespace n95::host {
namespace {

class GpsFeedTest : public n95::test::ScratchDirTest {};

TGpsPoint Fix(int second) {
    return {24.9 + 0.0001 * second, 60.17 - 0.0001 * second,
            UnixSecondsToDateTime(1715678400.0 + second)};
}

std::string Sentences(int second) {
    return FormatNmeaFix(Fix(second), 10.0, 90.0);
}

void Append(const std::string& path, const std::string& text) {
    std::ofstream out(path, std::ios::app | std::ios::binary);
    out << text;
}

TEST_F(GpsFeedTest, FollowsAGrowingFileLineByLine) {
    const std::string path = Path("gps.nmea");
    const std::string third = Sentences(2);
    n95::test::WriteFile(path, Sentences(0) + Sentences(1) + third.substr(0, 20));
    TGpsFeed feed;
    std::string error;
    ASSERT_TRUE(feed.Open(path, 4800, &error)) << error;
    EXPECT_EQ(feed.Descriptor(), -1) << "a file is polled on a timer";
    EXPECT_EQ(feed.Poll(), 0u) << "the first fix waits for two more to vouch for it";
    EXPECT_EQ(feed.Poll(), 0u) << "nothing new";
    // The rest of the line being written, then another fix and a bad line.
    Append(path, third.substr(20));
    EXPECT_EQ(feed.Poll(), 3u);
    Append(path, Sentences(3) + "$GPRMC,garbage*00\r\n");
    EXPECT_EQ(feed.Poll(), 1u);
    ASSERT_EQ(feed.Track().Fixes.size(), 4u);
    for (int i = 0; i < 4; ++i) {
        EXPECT_NEAR(feed.Track().Fixes[i].X, Fix(i).X, 1e-6);
        EXPECT_NEAR(feed.Track().Fixes[i].Y, Fix(i).Y, 1e-6);
        EXPECT_NEAR(feed.Track().Fixes[i].Time, Fix(i).Time, SecondsToDays(0.01));
    }
    EXPECT_EQ(feed.Track().Skipped, 1u);

    // A file started afresh (shorter than what was read) is read from its start again.
    n95::test::WriteFile(path, Sentences(9));
    EXPECT_EQ(feed.Poll(), 1u);
    EXPECT_NEAR(feed.Track().Fixes.back().X, Fix(9).X, 1e-6);
    EXPECT_TRUE(feed.Lost().empty());
}

// The receiver's side of a pseudo-terminal, reached through a link as a receiver is through
// its /dev/serial/by-id/ name.
struct TReceiver {
    explicit TReceiver(const std::string& link) {
        Master = posix_openpt(O_RDWR | O_NOCTTY);
        EXPECT_GE(Master, 0);
        EXPECT_EQ(grantpt(Master), 0);
        EXPECT_EQ(unlockpt(Master), 0);
        unlink(link.c_str());
        EXPECT_EQ(symlink(ptsname(Master), link.c_str()), 0);
    }
    ~TReceiver() { HangUp(); }
    void HangUp() {
        if (Master >= 0)
            close(Master);
        Master = -1;
    }
    // Writes `text` cut anywhere (raw mode keeps the CR LF line ends) and polls `feed` until
    // `fixes` fixes came; returns how many did.
    std::size_t Send(const std::string& text, TGpsFeed& feed, std::size_t fixes) const {
        for (std::size_t at = 0; at < text.size(); at += 17)
            EXPECT_GT(write(Master, text.data() + at, std::min<std::size_t>(17, text.size() - at)),
                      0);
        std::size_t got = 0;
        for (int i = 0; i < 100 && got < fixes; ++i) {
            got += feed.Poll();
            usleep(10000);
        }
        return got;
    }
    int Master = -1;
};

// A receiver is read as it sends; when it hangs up (unplugged) or falls silent it is said
// once and opened again by its path, at once when silent, after the pause when gone; the
// attempts in between are quiet.
TEST_F(GpsFeedTest, ReadsAReceiverAndReopensItWhenItHangsUpOrFallsSilent) {
    const std::string link = Path("receiver");
    auto receiver = std::make_unique<TReceiver>(link);
    TFakeRunClock clock;
    TGpsFeed feed(clock);
    feed.SetSilenceTimeout(5.0);
    std::string error;
    ASSERT_TRUE(feed.Open(link, 9600, &error)) << error;
    EXPECT_GE(feed.Descriptor(), 0);
    EXPECT_EQ(feed.Poll(), 0u);
    EXPECT_EQ(receiver->Send(Sentences(0) + Sentences(1) + Sentences(2), feed, 3), 3u);
    EXPECT_EQ(feed.Track().Skipped, 0u);
    EXPECT_TRUE(feed.TakeNotices().empty());

    receiver->HangUp();
    EXPECT_EQ(feed.Poll(), 0u);
    std::vector<TFixNotice> notices = feed.TakeNotices();
    ASSERT_EQ(notices.size(), 1u);
    EXPECT_TRUE(notices[0].Warning);
    EXPECT_EQ(notices[0].Text.find("lost GPS " + link + " (hung up)"), 0u) << notices[0].Text;
    EXPECT_TRUE(feed.Lost().empty()) << "never lost for good";
    EXPECT_EQ(feed.Descriptor(), -1);
    clock.Advance(TGpsFeed::kRetrySeconds);
    feed.Poll();  // the link leads nowhere: a quiet failure
    EXPECT_TRUE(feed.TakeNotices().empty());

    receiver = std::make_unique<TReceiver>(link);  // plugged in again
    clock.Advance(TGpsFeed::kRetrySeconds - 0.1);
    feed.Poll();
    EXPECT_EQ(feed.Descriptor(), -1) << "not before the pause";
    clock.Advance(0.1);
    feed.Poll();
    EXPECT_GE(feed.Descriptor(), 0);
    EXPECT_TRUE(feed.TakeNotices().empty()) << "back once it sends";
    EXPECT_EQ(receiver->Send(Sentences(3) + Sentences(4), feed, 2), 2u);
    notices = feed.TakeNotices();
    ASSERT_EQ(notices.size(), 1u);
    EXPECT_EQ(notices[0].Text, "reopened GPS " + link);

    // Open but silent past the timeout: closed and opened again at once.
    clock.Advance(5.5);
    feed.Poll();
    feed.Poll();
    EXPECT_GE(feed.Descriptor(), 0);
    EXPECT_EQ(receiver->Send(Sentences(5), feed, 1), 1u);
    notices = feed.TakeNotices();
    ASSERT_EQ(notices.size(), 2u);
    EXPECT_NE(notices[0].Text.find("(nothing came for 5 s)"), std::string::npos) << notices[0].Text;
    EXPECT_EQ(notices[1].Text, "reopened GPS " + link);
    EXPECT_EQ(feed.Losses(), 2u);
    EXPECT_EQ(feed.Recoveries(), 2u);
}

// A followed file that falls silent stays open while its path names it; a file written anew
// under the path (renamed into place by its writer) is read from its start.
TEST_F(GpsFeedTest, ASilentFileIsReopenedOnlyWhenItsPathNamesAnotherFile) {
    const std::string path = Path("gps.nmea");
    n95::test::WriteFile(path, Sentences(0) + Sentences(1) + Sentences(2));
    TFakeRunClock clock;
    TGpsFeed feed(clock);
    feed.SetSilenceTimeout(5.0);
    std::string error;
    ASSERT_TRUE(feed.Open(path, 4800, &error)) << error;
    EXPECT_EQ(feed.Poll(), 3u);
    clock.Advance(6.0);
    EXPECT_EQ(feed.Poll(), 0u);
    EXPECT_TRUE(feed.TakeNotices().empty()) << "only quiet";
    n95::test::WriteFile(path + ".new", Sentences(3) + Sentences(4));
    ASSERT_EQ(rename((path + ".new").c_str(), path.c_str()), 0);
    clock.Advance(6.0);
    feed.Poll();
    const std::vector<TFixNotice> notices = feed.TakeNotices();
    ASSERT_EQ(notices.size(), 1u);
    EXPECT_EQ(notices[0].Text, "GPS " + path + " is another file now; reading it");
    EXPECT_EQ(feed.Poll(), 2u);
    EXPECT_EQ(feed.Losses(), 0u);
}

TEST_F(GpsFeedTest, OpenSaysWhatIsWrong) {
    const int master = posix_openpt(O_RDWR | O_NOCTTY);
    ASSERT_GE(master, 0);
    ASSERT_EQ(grantpt(master), 0);
    ASSERT_EQ(unlockpt(master), 0);
    const std::string slave = ptsname(master);
    struct Case {
        std::string Path;
        int Baud;
        std::string Message;
    };
    const std::vector<Case> cases = {
        {Path("missing.nmea"), 4800, "cannot open GPS " + Path("missing.nmea")},
        {Dir, 4800, "is a directory"},
        {slave, 12345, "at 12345 baud"},
    };
    for (const Case& c : cases) {
        TGpsFeed feed;
        std::string error;
        EXPECT_FALSE(feed.Open(c.Path, c.Baud, &error)) << c.Path;
        EXPECT_NE(error.find(c.Message), std::string::npos) << error;
    }
    close(master);
}

// Garbage from the source (here endless zero bytes, no line end ever) is counted, and every
// poll returns: the live run's loop keeps turning, reading its port and seeing a stop.
TEST_F(GpsFeedTest, EndlessGarbageIsCountedAndEveryPollReturns) {
    TGpsFeed feed;
    std::string error;
    ASSERT_TRUE(feed.Open("/dev/zero", 4800, &error)) << error;
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(feed.Poll(), 0u);
    EXPECT_EQ(feed.Track().ProblemCounts[static_cast<std::size_t>(TTrackProblemKind::TooLong)], 1u);
    EXPECT_TRUE(feed.Lost().empty());
}

// A receiver's fixes go through the replay's outlier rule: the live feed keeps what a replay
// of the same log keeps, one wrong fix (a day ahead, a minute back) costing that fix alone.
TEST_F(GpsFeedTest, KeepsTheFixesAReplayOfTheLogKeeps) {
    std::string log;
    for (int i = 0; i < 10; ++i) {
        TGpsPoint fix = Fix(i);
        fix.Time += i == 3 ? 1.0 : i == 6 ? SecondsToDays(-60.0) : 0.0;
        log += FormatNmeaFix(fix, 10.0, 90.0);
    }
    n95::test::WriteFile(Path("gps.nmea"), log);
    TGpsFeed feed;
    std::string error;
    ASSERT_TRUE(feed.Open(Path("gps.nmea"), 4800, &error)) << error;
    // The GGA sentence of the fix a day ahead has no date: dated by its neighbours, it is
    // right, and its epoch keeps its fix.
    EXPECT_EQ(feed.Poll(), 9u);
    TTrack replayed;
    ASSERT_TRUE(LoadTrack(Path("gps.nmea"), replayed, &error)) << error;
    ASSERT_EQ(replayed.Fixes.size(), 9u);
    for (std::size_t i = 0; i < 9; ++i)
        EXPECT_EQ(feed.Track().Fixes[i].Time, replayed.Fixes[i].Time) << i;
    EXPECT_EQ(feed.Track().DescribeProblems(), replayed.DescribeProblems());
}

}  // namespace
}  // namespace n95::host
