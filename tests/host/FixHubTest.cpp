// The GPS source shared by a rig's handsets: each view gets every fix, in order, while the
// hub goes on publishing from another thread (the tsan leg checks the sharing).
#include "host/session/FixHub.h"

#include <gtest/gtest.h>

#include <thread>

namespace n95::host {
namespace {

// A source whose track and state the test sets by hand.
class HandSource final : public TFixSource {
public:
    std::string Name() const override { return "hand (NMEA)"; }
    int Descriptor() const override { return -1; }
    std::size_t Poll() override { return 0; }
    const TTrack& Track() const override { return Fixes; }
    const std::string& Lost() const override { return LostText; }
    std::vector<TFixNotice> TakeNotices() override { return std::move(Notices); }

    void Add(int i) { Fixes.Fixes.push_back({24.0 + i * 1e-4, 60.0, 45000.0 + i / 86400.0}); }

    TTrack Fixes;
    std::string LostText;
    std::vector<TFixNotice> Notices;
};

bool SameFixes(const std::vector<TGpsPoint>& a, const std::vector<TGpsPoint>& b) {
    if (a.size() != b.size())
        return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (a[i].X != b[i].X || a[i].Y != b[i].Y || a[i].Time != b[i].Time)
            return false;
    return true;
}

TEST(FixHubTest, EveryViewGetsEveryFixInOrderAndTheNoticesStayWithTheHub) {
    HandSource source;
    TFixHub hub(source);
    const std::unique_ptr<TFixSource> first = hub.NewView(), second = hub.NewView();
    for (int i = 0; i < 3; ++i)
        source.Add(i);
    source.Notices = {{true, "lost the connection"}};
    EXPECT_EQ(hub.Poll().size(), 1u);
    EXPECT_EQ(first->Poll(), 3u);
    EXPECT_EQ(first->Poll(), 0u);
    EXPECT_TRUE(first->TakeNotices().empty());
    EXPECT_EQ(first->Name(), "hand (NMEA)");

    // One view read on another thread while the hub publishes fix after fix.
    constexpr std::size_t kFixes = 2003;
    std::thread reader([&] {
        while (second->Track().Fixes.size() < kFixes)
            second->Poll();
    });
    for (int i = 3; i < static_cast<int>(kFixes); ++i) {
        source.Add(i);
        hub.Poll();
    }
    reader.join();
    EXPECT_TRUE(SameFixes(second->Track().Fixes, source.Fixes.Fixes));

    source.LostText = "the receiver is gone";
    hub.Poll();
    EXPECT_TRUE(first->Lost().empty()) << "a view learns it when its run polls";
    EXPECT_EQ(first->Poll(), kFixes - 3);
    EXPECT_EQ(first->Lost(), "the receiver is gone");
    EXPECT_TRUE(SameFixes(first->Track().Fixes, source.Fixes.Fixes));
}

}  // namespace
}  // namespace n95::host
