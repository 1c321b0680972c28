// The live GPS sources where they end or fail: a receiver's FIFO whose writer goes away,
// gpsd addresses that cannot be reached, and a gpsd that floods, resets or stops answering
// (against a stand-in gpsd on a local socket, on a fake clock).
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "host/devices/FixSource.h"
#include "host/devices/GpsFeed.h"
#include "host/devices/GpsdFeed.h"
#include "host/formats/Nmea.h"
#include "platform/DateTime.h"
#include "tests/host/HostTestSupport.h"
#include "tests/host/StandInGpsd.h"

namespace n95::host {
namespace {

using n95::test::Contains;

class FixSourceTest : public n95::test::ScratchDirTest {};

std::string Sentences(int second) {
    return FormatNmeaFix(
        {24.9 + 0.0001 * second, 60.17, UnixSecondsToDateTime(1715678400.0 + second)}, 10.0, 90.0);
}

TEST_F(FixSourceTest, AReceiverOnAFifoIsReopenedWhenItsWriterGoes) {
    const std::string path = Path("receiver");
    ASSERT_EQ(mkfifo(path.c_str(), 0600), 0);
    std::string error;
    std::unique_ptr<TFixSource> feed = OpenFixSource(path, 4800, &error);
    ASSERT_NE(feed, nullptr) << error;
    EXPECT_GE(feed->Descriptor(), 0);
    const int writer = open(path.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(writer, 0);
    EXPECT_EQ(feed->Poll(), 0u) << "nothing sent yet";
    EXPECT_EQ(feed->Lost(), "");
    const std::string text = Sentences(0) + Sentences(1) + Sentences(2);
    ASSERT_EQ(write(writer, text.data(), text.size()), static_cast<ssize_t>(text.size()));
    close(writer);
    // What was sent is read, then the end is seen: the receiver is lost, said once, and
    // opened again after a pause (not gone for good).
    EXPECT_EQ(feed->Poll(), 3u);
    const std::vector<TFixNotice> notices = feed->TakeNotices();
    ASSERT_EQ(notices.size(), 1u);
    EXPECT_TRUE(Contains(notices[0].Text, "lost GPS " + path + " (hung up)")) << notices[0].Text;
    EXPECT_EQ(feed->Lost(), "");
    EXPECT_EQ(feed->Descriptor(), -1);
    EXPECT_EQ(feed->Poll(), 0u);
}

#if N95_HAVE_LIBGPS

// A port on the loopback that nobody listens on (it was free a moment ago).
std::string FreePort() {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    socklen_t size = sizeof address;
    getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size);
    ::close(fd);
    return std::to_string(ntohs(address.sin_port));
}

TEST_F(FixSourceTest, GpsdThatCannotBeReachedIsAnErrorNamingIt) {
    const std::string port = FreePort();
    struct Case {
        TGpsdAddress Address;
        std::string Message;
    };
    const std::vector<Case> cases = {
        {{"127.0.0.1", "no-such-service"}, "cannot find gpsd 127.0.0.1:no-such-service: "},
        {{"::1", port}, "cannot connect to gpsd [::1]:" + port + ": "},
        // Multicast takes no TCP connection: refused before any wait.
        {{"224.0.0.1", port}, "cannot connect to gpsd 224.0.0.1:" + port + ": "},
    };
    for (const Case& c : cases) {
        TGpsdFeed feed;
        std::string error;
        EXPECT_FALSE(feed.Open(c.Address, &error)) << c.Address.Host;
        EXPECT_TRUE(Contains(error, c.Message)) << error;
        EXPECT_GT(error.size(), c.Message.size()) << "the cause follows: " << error;
        EXPECT_EQ(feed.Descriptor(), -1);
    }
}

std::string NoFix(int second) {
    char text[160];
    std::snprintf(text, sizeof text,
                  "{\"class\":\"TPV\",\"device\":\"/dev/ttyUSB0\",\"mode\":1,"
                  "\"time\":\"2024-05-14T09:%02d:%02d.000Z\"}\r\n",
                  second / 60 % 60, second % 60);
    return text;
}

// Polls until a notice comes, at most two seconds.
std::vector<TFixNotice> NoticesOf(TGpsdFeed& feed) {
    for (int i = 0; i < 200; ++i) {
        feed.Poll();
        std::vector<TFixNotice> notices = feed.TakeNotices();
        if (!notices.empty())
            return notices;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return {};
}

// A flood of reports is read over several polls, so that the run keeps reading its port;
// a connection that gpsd resets is lost with the cause, and taken up again.
TEST_F(FixSourceTest, GpsdFloodIsReadInPortionsAndAResetIsALoss) {
    StandInGpsd gpsd;
    TFakeRunClock clock;
    TGpsdFeed feed(clock);
    std::string error;
    ASSERT_TRUE(feed.Open({"127.0.0.1", std::to_string(gpsd.Port)}, &error)) << error;
    gpsd.Accept();
    constexpr uint64_t kReports = 600;
    std::string flood;
    for (uint64_t i = 0; i < kReports; ++i)
        flood += NoFix(static_cast<int>(i));
    gpsd.Send(flood);
    std::vector<uint64_t> seen;
    for (int i = 0; i < 200 && feed.Track().Entries < kReports; ++i) {
        const uint64_t before = feed.Track().Entries;
        feed.Poll();
        if (feed.Track().Entries > before)
            seen.push_back(feed.Track().Entries - before);
        else
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_EQ(feed.Track().Entries, kReports);
    EXPECT_GE(seen.size(), 3u) << "at most a portion of the reports per poll";
    EXPECT_TRUE(feed.TakeNotices().empty());

    gpsd.Reset();
    const std::vector<TFixNotice> lost = NoticesOf(feed);
    ASSERT_EQ(lost.size(), 1u);
    EXPECT_TRUE(lost[0].Warning);
    EXPECT_TRUE(Contains(lost[0].Text, "(Connection reset by peer)")) << lost[0].Text;
    clock.Advance(TGpsdFeed::kRetrySeconds);
    const std::vector<TFixNotice> back = NoticesOf(feed);
    ASSERT_EQ(back.size(), 1u);
    EXPECT_EQ(back[0].Text, "reconnected to " + feed.Name());
}

// A gpsd whose queue of connections is full takes no new one: the attempt is given
// kConnectSeconds, then given up until the next pause is over.
TEST_F(FixSourceTest, AGpsdThatDoesNotAnswerIsGivenUpAndTriedAgain) {
    StandInGpsd gpsd;
    TFakeRunClock clock;
    TGpsdFeed feed(clock);
    std::string error;
    ASSERT_TRUE(feed.Open({"127.0.0.1", std::to_string(gpsd.Port)}, &error)) << error;
    gpsd.Accept();
    // Fill the queue, made as short as can be: connections that are not accepted.
    ASSERT_EQ(::listen(gpsd.Listener, 0), 0);
    std::vector<int> fillers;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<uint16_t>(gpsd.Port));
    for (int i = 0; i < 4; ++i) {
        const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
        fillers.push_back(fd);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    gpsd.Reset();
    ASSERT_EQ(NoticesOf(feed).size(), 1u);
    clock.Advance(TGpsdFeed::kRetrySeconds);
    for (int i = 0; i < 5; ++i) {
        feed.Poll();
        clock.Advance(TGpsdFeed::kConnectSeconds / 4);
    }
    EXPECT_TRUE(feed.TakeNotices().empty()) << "no connection made";
    EXPECT_EQ(feed.Descriptor(), -1);
    // The queue drained and long again, the next attempt gets through.
    for (const int fd : fillers)
        ::close(fd);
    ASSERT_EQ(::listen(gpsd.Listener, 8), 0);
    for (;;) {
        pollfd p{gpsd.Listener, POLLIN, 0};
        if (::poll(&p, 1, 0) != 1)
            break;
        ::close(::accept4(gpsd.Listener, nullptr, nullptr, SOCK_CLOEXEC));
    }
    clock.Advance(TGpsdFeed::kRetrySeconds);
    const std::vector<TFixNotice> back = NoticesOf(feed);
    ASSERT_EQ(back.size(), 1u);
    EXPECT_EQ(back[0].Text, "reconnected to " + feed.Name());
    EXPECT_EQ(feed.Recoveries(), 1u);
}

#endif

}  // namespace
}  // namespace n95::host
