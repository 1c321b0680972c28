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

// The fixes a view has gained so far, oldest first; those before `from` are forgotten.
std::vector<TGpsPoint> FixesOf(const TFixSource& view, uint64_t from = 0) {
    std::vector<TGpsPoint> fixes;
    for (uint64_t i = from; i < view.FixCount(); ++i)
        fixes.push_back(view.FixAt(i));
    return fixes;
}

// True when `a` is b[from], b[from + 1], ... to b's end, or to a's end when `prefix`.
bool SameFixes(const std::vector<TGpsPoint>& a, const std::vector<TGpsPoint>& b,
               std::size_t from = 0, bool prefix = false) {
    if (prefix ? a.size() + from > b.size() : a.size() + from != b.size())
        return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (a[i].X != b[i + from].X || a[i].Y != b[i + from].Y || a[i].Time != b[i + from].Time)
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
        while (second->FixCount() < kFixes)
            second->Poll();
    });
    for (int i = 3; i < static_cast<int>(kFixes); ++i) {
        source.Add(i);
        hub.Poll();
    }
    reader.join();
    EXPECT_TRUE(SameFixes(FixesOf(*second), source.Fixes.Fixes));

    source.LostText = "the receiver is gone";
    hub.Poll();
    EXPECT_TRUE(first->Lost().empty()) << "a view learns it when its run polls";
    EXPECT_EQ(first->Poll(), kFixes - 3);
    EXPECT_EQ(first->Lost(), "the receiver is gone");
    EXPECT_TRUE(SameFixes(FixesOf(*first), source.Fixes.Fixes));
}

// A view forgets what its run has fed, keeping the last fix (the status line shows it); a
// view that lags behind still gets every fix the other has let go. Steps: fixes added and
// published, then what each view forgets after polling, and the fixes each still holds.
TEST(FixHubTest, ViewsKeepOnlyTheFixesTheirRunHasNotFed) {
    struct TStep {
        int Add;                     // fixes the source gains, published by the hub
        bool PollFirst, PollSecond;  // which views poll
        uint64_t ForgetFirst;        // the first view's run has fed this many
        std::size_t FirstHolds;      // fixes the first view still holds
        uint64_t SecondCount;        // fixes the second view has gained
    };
    const TStep steps[] = {
        {3, true, false, 2, 1, 0},    // three fixes, two fed: the third stays
        {2, true, false, 5, 1, 0},    // all fed: the last stays
        {0, true, false, 9, 1, 0},    // forgetting beyond what came keeps the last
        {4, true, true, 6, 3, 9},     // the second view catches up on all nine
        {1, false, true, 6, 3, 10},   // the first view has not polled the tenth yet
        {0, true, false, 10, 1, 10},  //
    };
    HandSource source;
    TFixHub hub(source);
    const std::unique_ptr<TFixSource> first = hub.NewView(), second = hub.NewView();
    int added = 0;
    for (const TStep& step : steps) {
        for (int i = 0; i < step.Add; ++i)
            source.Add(added++);
        hub.Poll();
        if (step.PollFirst)
            first->Poll();
        if (step.PollSecond)
            second->Poll();
        first->ForgetFixes(step.ForgetFirst);
        const uint64_t from = first->FixCount() - step.FirstHolds;
        EXPECT_TRUE(SameFixes(FixesOf(*first, from), source.Fixes.Fixes,
                              static_cast<std::size_t>(from), true))
            << "after " << added << " fixes";
        EXPECT_EQ(second->FixCount(), step.SecondCount);
    }
    EXPECT_TRUE(SameFixes(FixesOf(*second), source.Fixes.Fixes));
    EXPECT_TRUE(first->Track().Fixes.empty()) << "a view's track holds no copy";
}

}  // namespace
}  // namespace n95::host
