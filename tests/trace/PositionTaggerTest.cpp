#include "trace/PositionTagger.h"

#include <bit>
#include <cmath>
#include <functional>
#include <limits>
#include <set>
#include <vector>

#include <gtest/gtest.h>

namespace n95 {
namespace {

// Fields of packed structs may sit at odd addresses: compare copies, since the test macros
// bind their arguments to references.
double Value(double v) {
    return v;
}

constexpr double kNoPos = -9999.0;
constexpr TDateTime kT0 = 45000.0;
constexpr int32_t kTag = 77;

TDateTime At(double seconds) {
    return kT0 + SecondsToDays(seconds);
}

// The host's own record store, reached through the two callbacks. Records start without a
// position and with equal time stamps. Counts every call and flags any index the tagger
// should not have asked for.
struct THostStore {
    std::vector<TTestRecord> Records;
    std::set<int32_t> Absent;      // indexes for which the host returns nil
    std::vector<int32_t> Fetched;  // every index asked for, in order
    int CountCalls = 0;
    bool BadRequest = false;
    // Runs after every fetch (a host changing its store in the middle of a pass).
    std::function<void(THostStore&)> AfterFetch;

    explicit THostStore(int count) {
        // Room to grow: a host adding records during a pass must not move the ones handed out.
        Records.reserve(4096);
        Resize(count);
    }

    void Resize(int count) {
        TTestRecord blank{};
        blank.PosX = blank.PosY = kNoPos;
        blank.TestTime = kT0;
        Records.resize(count, blank);
    }

    void Attach(TPositionTagger& tagger) {
        tagger.CallbackTag = kTag;
        tagger.OnRecordCount = {&THostStore::Count, this};
        tagger.OnGetRecord = {&THostStore::Get, this};
    }

    static int32_t Count(void* self, int32_t tag) {
        auto* store = static_cast<THostStore*>(self);
        ++store->CountCalls;
        if (tag != kTag)
            store->BadRequest = true;
        return static_cast<int32_t>(store->Records.size());
    }

    static TTestRecord* Get(void* self, int32_t tag, int32_t index) {
        auto* store = static_cast<THostStore*>(self);
        store->Fetched.push_back(index);
        if (tag != kTag || index < 0 || index >= static_cast<int32_t>(store->Records.size())) {
            store->BadRequest = true;
            return nullptr;
        }
        TTestRecord* rec = store->Absent.count(index) ? nullptr : &store->Records[index];
        if (store->AfterFetch)
            store->AfterFetch(*store);
        return rec;
    }

    bool WasFetched(int32_t index) const {
        for (int32_t i : Fetched) {
            if (i == index)
                return true;
        }
        return false;
    }
};

// The host's context with its fix counter and current fix.
struct THostSide {
    int32_t Counter = 0;
    TGpsPoint Fix{0.0, 0.0, 0.0};
    THostContext Context{nullptr, nullptr, 0, 0, &Counter, &Fix};

    THostSide() = default;
    THostSide(const THostSide&) = delete;
};

class PositionTaggerTest : public testing::Test {
protected:
    PositionTaggerTest() {
        Current.PosX = Current.PosY = kNoPos;
        Tagger.ResetPositionState(true);
    }

    // The host's sequence for a fix: update the context, then hand the fix over. The fix
    // given to UpdatePosition carries other coordinates on purpose: only its time counts.
    void HostFix(double x, double y, TDateTime time, int32_t counter) {
        Host.Fix = TGpsPoint{x, y, time};
        Host.Counter = counter;
        Tagger.UpdatePosition(TGpsPoint{-1.0, -1.0, time}, &Host.Context, &Current);
    }

    // Puts the tagger in the tracking state with `previous` as the last accepted fix.
    void Tracking(TGpsPoint previous, int32_t taggedCount) {
        Tagger.CurrentFix = previous;
        Tagger.SetFixCount(2);
        Tagger.TaggedCount = taggedCount;
    }

    void ExpectPos(int index, double x, double y) {
        SCOPED_TRACE(testing::Message() << "record " << index);
        EXPECT_DOUBLE_EQ(Value(Store.Records[index].PosX), x);
        EXPECT_DOUBLE_EQ(Value(Store.Records[index].PosY), y);
    }
    void ExpectUntouched(int index) {
        SCOPED_TRACE(testing::Message() << "record " << index);
        EXPECT_EQ(Value(Store.Records[index].PosX), kNoPos);
        EXPECT_EQ(Value(Store.Records[index].PosY), kNoPos);
    }

    TPositionTagger Tagger;
    THostSide Host;
    THostStore Store{0};
    TTestRecord Current{};
};

TEST_F(PositionTaggerTest, FixSpacingIsHalfASecond) {
    EXPECT_EQ(std::bit_cast<uint64_t>(kFixSpacing), 0x3ED845C8A0CE5129u);
}

TEST_F(PositionTaggerTest, GatesOnTheFixTime) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    struct TCase {
        const char* Name;
        TDateTime Previous, Time;
        bool Runs;
    };
    const TCase cases[] = {
        {"time zero", 0.0, 0.0, false},
        {"negative time", -1.0, -SecondsToDays(1), false},
        {"not a number", 0.0, nan, false},
        {"0.4 s later", At(0), At(0.4), false},
        {"exactly 0.5 s later", 0.0, kFixSpacing, false},
        {"earlier", At(10), At(5), false},
        {"0.6 s later", At(0), At(0.6), true},
        {"first fix after a reset", 0.0, At(0), true},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.Name);
        TPositionTagger tagger;
        tagger.CurrentFix = TGpsPoint{1.0, 2.0, c.Previous};
        Host.Fix = TGpsPoint{5.0, 6.0, c.Time};
        Host.Counter = 3;
        Current.PosX = Current.PosY = kNoPos;
        tagger.UpdatePosition(TGpsPoint{0.0, 0.0, c.Time}, &Host.Context, &Current);
        EXPECT_EQ(tagger.PositionUpdated, c.Runs);
        EXPECT_EQ(Value(Current.PosX), c.Runs ? 5.0 : kNoPos);
        EXPECT_EQ(Value(tagger.CurrentFix.X), c.Runs ? 5.0 : 1.0);
    }
}

TEST_F(PositionTaggerTest, NilContextIgnoresTheFix) {
    Store.Resize(5);
    Store.Attach(Tagger);
    Tracking({1.0, 1.0, At(0)}, 1);
    Tagger.UpdatePosition(TGpsPoint{9.0, 9.0, At(10)}, nullptr, &Current);
    EXPECT_FALSE(Tagger.PositionUpdated);
    EXPECT_EQ(Tagger.FixCount(), 2);
    EXPECT_EQ(Tagger.TaggedCount, 1);
    EXPECT_EQ(Value(Tagger.CurrentFix.Time), At(0));
    EXPECT_EQ(Value(Current.PosX), kNoPos);
    EXPECT_EQ(Store.CountCalls, 0);
    EXPECT_TRUE(Store.Fetched.empty());
}

TEST_F(PositionTaggerTest, FirstFixTagsAllPendingRecords) {
    Store.Resize(4);
    Store.Attach(Tagger);
    HostFix(3.0, 4.0, At(1), 17);
    EXPECT_EQ(Tagger.FixCount(), 1);  // a first fix counts as 1, whatever the host's counter
    EXPECT_EQ(Tagger.TaggedCount, 4);
    ExpectUntouched(0);
    EXPECT_FALSE(Store.WasFetched(0));  // at or below RecordBase 0: never asked for
    for (int i = 1; i < 4; ++i)
        ExpectPos(i, 3.0, 4.0);
    EXPECT_EQ(Value(Current.PosX), 3.0);
    EXPECT_EQ(Value(Current.PosY), 4.0);
    EXPECT_EQ(Value(Tagger.CurrentFix.Time), At(1));
    EXPECT_TRUE(Tagger.PositionUpdated);
    EXPECT_FALSE(Store.BadRequest);
}

TEST_F(PositionTaggerTest, RecordBaseHidesLowIndexes) {
    Store.Resize(6);
    Store.Attach(Tagger);
    Tagger.RecordBase = 2;
    HostFix(3.0, 4.0, At(1), 1);
    for (int i = 0; i <= 2; ++i) {
        ExpectUntouched(i);
        EXPECT_FALSE(Store.WasFetched(i)) << i;
    }
    for (int i = 3; i < 6; ++i)
        ExpectPos(i, 3.0, 4.0);
    EXPECT_EQ(Tagger.TaggedCount, 6);
}

TEST_F(PositionTaggerTest, FirstFixWithoutPendingRecordsStaysFirst) {
    Store.Attach(Tagger);
    HostFix(1.0, 1.0, At(1), 5);
    EXPECT_EQ(Tagger.FixCount(), 0);
    EXPECT_TRUE(Tagger.PositionUpdated);
    EXPECT_EQ(Value(Current.PosX), 1.0);
    EXPECT_EQ(Value(Tagger.CurrentFix.X), 1.0);
    // Records arrive; the next fix is again a first fix: all get it, none interpolated.
    Store.Resize(4);
    HostFix(5.0, 7.0, At(2), 6);
    EXPECT_EQ(Tagger.FixCount(), 1);
    for (int i = 1; i < 4; ++i)
        ExpectPos(i, 5.0, 7.0);
}

TEST_F(PositionTaggerTest, InterpolatesByIndexBetweenFixes) {
    struct TCase {
        const char* Name;
        std::set<int32_t> Absent;
        int32_t First;  // the first present record: it gets the previous fix
        std::vector<std::pair<double, double>> Expected;  // for records First..8
    };
    const TCase cases[] = {
        {"all present", {}, 4, {{0, 0}, {2.5, 5}, {5, 10}, {7.5, 15}, {10, 20}}},
        {"index 4 absent", {4}, 5, {{0, 0}, {10.0 / 3, 20.0 / 3}, {20.0 / 3, 40.0 / 3}, {10, 20}}},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.Name);
        Store = THostStore(9);
        Store.Absent = c.Absent;
        Store.Attach(Tagger);
        Tracking({0.0, 0.0, At(0)}, 4);
        HostFix(10.0, 20.0, At(1), 3);
        for (int i = 0; i < 4; ++i)
            ExpectUntouched(i);
        for (int i = c.First; i <= 8; ++i) {
            ExpectPos(i, c.Expected[i - c.First].first, c.Expected[i - c.First].second);
        }
        EXPECT_EQ(Tagger.TaggedCount, 9);
        EXPECT_EQ(Tagger.FixCount(), 3);
        EXPECT_EQ(Value(Tagger.CurrentFix.X), 10.0);
        EXPECT_EQ(Value(Current.PosY), 20.0);
        EXPECT_FALSE(Store.BadRequest);
    }
}

TEST_F(PositionTaggerTest, RecordStampedBeforeTheRunKeepsItsPosition) {
    Store.Resize(9);
    Store.Records[6].TestTime = kT0 - SecondsToDays(1);
    Store.Records[7].TestTime = kT0 + SecondsToDays(1);  // later records are fine
    Store.Attach(Tagger);
    Tracking({0.0, 0.0, At(0)}, 4);
    HostFix(10.0, 20.0, At(1), 3);
    ExpectPos(5, 2.5, 5.0);
    ExpectUntouched(6);
    ExpectPos(7, 7.5, 15.0);  // spacing still by index
    ExpectPos(8, 10.0, 20.0);
    EXPECT_EQ(Tagger.TaggedCount, 9);
}

TEST_F(PositionTaggerTest, SingleRecordGetsTheNewFix) {
    for (const bool absentBefore : {false, true}) {
        SCOPED_TRACE(absentBefore);
        Store = THostStore(5);
        if (absentBefore)
            Store.Absent = {3};
        Store.Attach(Tagger);
        Tracking({0.1, 0.2, At(0)}, absentBefore ? 3 : 4);
        HostFix(10.3, 20.7, At(1), 3);
        EXPECT_EQ(Value(Store.Records[4].PosX), 10.3);
        EXPECT_EQ(Value(Store.Records[4].PosY), 20.7);
        EXPECT_EQ(Tagger.TaggedCount, 5);
    }
}

TEST_F(PositionTaggerTest, SameTimeFixTagsNothing) {
    Store.Resize(6);
    Store.Attach(Tagger);
    Tracking({0.0, 0.0, At(0)}, 2);
    // The host's fix still has the previous time (it has not advanced), the slot's fix has
    // moved on far enough to pass the gate.
    Host.Fix = TGpsPoint{4.0, 8.0, At(0)};
    Host.Counter = 5;
    Tagger.UpdatePosition(TGpsPoint{0.0, 0.0, At(1)}, &Host.Context, &Current);
    EXPECT_EQ(Tagger.FixCount(), 5);
    EXPECT_EQ(Tagger.TaggedCount, 2);
    for (int i = 0; i < 6; ++i)
        ExpectUntouched(i);
    EXPECT_TRUE(Store.Fetched.empty());
    // The fix itself is still taken.
    EXPECT_EQ(Value(Tagger.CurrentFix.X), 4.0);
    EXPECT_EQ(Value(Current.PosX), 4.0);
    EXPECT_EQ(Value(Current.PosY), 8.0);
    EXPECT_TRUE(Tagger.PositionUpdated);

    // The next fix handles the pending records, starting from the fix just taken.
    HostFix(8.0, 16.0, At(2), 6);
    ExpectPos(2, 4.0, 8.0);
    ExpectPos(5, 8.0, 16.0);
    EXPECT_EQ(Tagger.TaggedCount, 6);
}

TEST_F(PositionTaggerTest, SameTimeMeansWithinOnePicoDay) {
    // A time base near 1 day resolves far below 1e-12 day.
    for (const double offset : {0.0, 5e-13, -5e-13, 2e-12, -2e-12}) {
        SCOPED_TRACE(offset);
        Store = THostStore(4);
        Store.Attach(Tagger);
        Tracking({0.0, 0.0, 1.0}, 1);
        Host.Fix = TGpsPoint{3.0, 3.0, 1.0 + offset};
        Host.Counter = 5;
        Tagger.UpdatePosition(TGpsPoint{0.0, 0.0, 1.0 + SecondsToDays(1)}, &Host.Context, &Current);
        const bool same = std::fabs(offset) < 1e-12;
        EXPECT_EQ(Tagger.TaggedCount, same ? 1 : 4);
        EXPECT_EQ(Value(Store.Records[3].PosX), same ? kNoPos : 3.0);
    }
}

TEST_F(PositionTaggerTest, CounterReadingZeroKeepsReturningToFirstFix) {
    Store.Resize(3);
    Store.Attach(Tagger);
    HostFix(1.0, 1.0, At(1), 0);  // first fix: tags 1, 2
    EXPECT_EQ(Tagger.FixCount(), 1);
    Store.Resize(6);
    HostFix(4.0, 7.0, At(2), 0);  // interpolates 3..5 and takes the counter: 0
    EXPECT_EQ(Tagger.FixCount(), 0);
    ExpectPos(3, 1.0, 1.0);
    ExpectPos(4, 2.5, 4.0);
    ExpectPos(5, 4.0, 7.0);
    Store.Resize(9);
    HostFix(9.0, 9.0, At(3), 0);  // a first fix again: all pending get the fix
    EXPECT_EQ(Tagger.FixCount(), 1);
    for (int i = 6; i < 9; ++i)
        ExpectPos(i, 9.0, 9.0);
    EXPECT_EQ(Tagger.TaggedCount, 9);
}

TEST_F(PositionTaggerTest, CounterReadingOneMakesEveryFixAFirstFix) {
    Store.Resize(3);
    Store.Attach(Tagger);
    HostFix(1.0, 1.0, At(1), 1);
    Store.Resize(6);
    HostFix(4.0, 7.0, At(2), 1);
    EXPECT_EQ(Tagger.FixCount(), 1);
    for (int i = 3; i < 6; ++i)
        ExpectPos(i, 4.0, 7.0);
}

TEST_F(PositionTaggerTest, MissingCallbacksTagNothing) {
    // No count callback: no records at all.
    Store.Resize(5);
    Tagger.OnGetRecord = {&THostStore::Get, &Store};
    HostFix(1.0, 1.0, At(1), 1);
    EXPECT_EQ(Tagger.FixCount(), 0);
    EXPECT_EQ(Tagger.TaggedCount, 0);
    EXPECT_EQ(Tagger.HostRecordCount(), 0);
    EXPECT_TRUE(Store.Fetched.empty());

    // A count but no fetch callback: a first fix counts the records as handled.
    Tagger.OnGetRecord = {};
    Tagger.OnRecordCount = {&THostStore::Count, &Store};
    Tagger.CallbackTag = kTag;
    HostFix(2.0, 2.0, At(2), 1);
    EXPECT_EQ(Tagger.TaggedCount, 5);
    EXPECT_EQ(Tagger.HostRecord(3), nullptr);

    // While tracking, no record is found: TaggedCount stays.
    Store.Resize(8);
    HostFix(3.0, 3.0, At(3), 2);
    EXPECT_EQ(Tagger.FixCount(), 2);
    EXPECT_EQ(Tagger.TaggedCount, 5);
    for (int i = 0; i < 8; ++i)
        ExpectUntouched(i);
    EXPECT_TRUE(Tagger.PositionUpdated);
}

TEST_F(PositionTaggerTest, NilRecordsAreSkipped) {
    Store.Resize(6);
    Store.Absent = {1, 2, 3, 4, 5};
    Store.Attach(Tagger);
    Tracking({0.0, 0.0, At(0)}, 1);
    HostFix(1.0, 1.0, At(1), 3);
    EXPECT_EQ(Tagger.TaggedCount, 1);  // nothing found: left for the next fix
    Store.Absent = {2, 4};
    HostFix(5.0, 5.0, At(2), 4);
    ExpectPos(1, 1.0, 1.0);
    ExpectUntouched(2);
    ExpectPos(3, 3.0, 3.0);
    ExpectUntouched(4);
    ExpectPos(5, 5.0, 5.0);
    EXPECT_EQ(Tagger.TaggedCount, 6);
}

TEST_F(PositionTaggerTest, StoreShrinkingDuringAPassIsNeverOverrun) {
    for (const bool tracking : {false, true}) {
        SCOPED_TRACE(tracking);
        Store = THostStore(10);
        Store.Attach(Tagger);
        Store.AfterFetch = [](THostStore& s) {
            if (s.Fetched.size() == 3)
                s.Resize(4);
        };
        Tagger.ResetPositionState(true);
        Tagger.TaggedCount = 0;
        if (tracking)
            Tracking({0.0, 0.0, At(0)}, 1);
        HostFix(9.0, 9.0, At(1), 3);
        EXPECT_FALSE(Store.BadRequest);
        EXPECT_EQ(Store.Records.size(), 4u);
        EXPECT_EQ(Tagger.TaggedCount, 10);  // the count read when the pass began
    }
}

TEST_F(PositionTaggerTest, RecordsAddedDuringAPassGetTheNewFix) {
    Store.Resize(5);
    Store.Attach(Tagger);
    Store.AfterFetch = [](THostStore& s) {
        if (s.Fetched.size() == 1)
            s.Resize(7);  // grows once
    };
    Tracking({0.0, 0.0, At(0)}, 1);
    HostFix(8.0, 4.0, At(1), 3);
    ExpectPos(1, 0.0, 0.0);
    ExpectPos(4, 8.0, 4.0);  // last record of the run counted when it began
    ExpectPos(5, 8.0, 4.0);
    ExpectPos(6, 8.0, 4.0);
    EXPECT_EQ(Tagger.TaggedCount, 5);
}

TEST_F(PositionTaggerTest, NegativeCountReadsAsNone) {
    Tagger.CallbackTag = kTag;
    Tagger.OnRecordCount = {[](void*, int32_t) -> int32_t { return -3; }, nullptr};
    EXPECT_EQ(Tagger.HostRecordCount(), 0);
    HostFix(1.0, 1.0, At(1), 1);
    EXPECT_EQ(Tagger.TaggedCount, 0);
    Tagger.SkipPendingRecords();
    EXPECT_EQ(Tagger.TaggedCount, 0);
}

TEST_F(PositionTaggerTest, InterpolationMakesAboutTwoHostCallsPerRecord) {
    const int n = 2000;  // records 1..n+1 pending: spacing 1/n
    Store.Resize(n + 2);
    Store.Attach(Tagger);
    Tracking({0.0, 0.0, At(0)}, 1);
    HostFix(1.0, 1.0, At(1), 3);
    EXPECT_EQ(Tagger.TaggedCount, n + 2);
    const int calls = Store.CountCalls + static_cast<int>(Store.Fetched.size());
    EXPECT_LE(calls, 2 * n + 10);
    ExpectPos(n / 2 + 1, 0.5, 0.5);
}

TEST_F(PositionTaggerTest, SkipPendingRecords) {
    Store.Resize(8);
    Store.Attach(Tagger);
    Tagger.TaggedCount = 3;
    Tagger.SkipPendingRecords();
    EXPECT_EQ(Tagger.TaggedCount, 8);
    EXPECT_TRUE(Tagger.PositionUpdated);
    for (int i = 0; i < 8; ++i)
        ExpectUntouched(i);
    EXPECT_TRUE(Store.Fetched.empty());

    // Nothing pending (or the store shrank below TaggedCount): nothing changes.
    for (const int count : {8, 5}) {
        Store.Resize(count);
        Tagger.PositionUpdated = false;
        Tagger.SkipPendingRecords();
        EXPECT_EQ(Tagger.TaggedCount, 8);
        EXPECT_FALSE(Tagger.PositionUpdated);
    }
}

TEST_F(PositionTaggerTest, LastTaggedIndexAndReset) {
    Tagger.TaggedCount = 4;
    Tagger.PositionUpdated = true;
    EXPECT_EQ(Tagger.LastTaggedIndex(), 3);
    EXPECT_FALSE(Tagger.PositionUpdated);

    Tagger.CurrentFix = TGpsPoint{1.0, 2.0, 3.0};
    Tagger.SetFixCount(4);
    Tagger.PositionUpdated = true;
    Tagger.ResetPositionState(false);  // no context: the fix state stays
    EXPECT_EQ(Value(Tagger.CurrentFix.X), 1.0);
    EXPECT_EQ(Tagger.FixCount(), 4);
    EXPECT_FALSE(Tagger.PositionUpdated);
    Tagger.ResetPositionState(true);
    EXPECT_EQ(Value(Tagger.CurrentFix.X), kNoPos);
    EXPECT_EQ(Value(Tagger.CurrentFix.Y), kNoPos);
    EXPECT_EQ(Value(Tagger.CurrentFix.Time), 0.0);
    EXPECT_EQ(Tagger.FixCount(), 0);
    EXPECT_EQ(Tagger.TaggedCount, 4);
}

TEST_F(PositionTaggerTest, NilCurrentRecordIsAllowed) {
    Store.Resize(3);
    Store.Attach(Tagger);
    Tagger.UpdatePosition(TGpsPoint{0.0, 0.0, At(1)}, &Host.Context, nullptr);
    EXPECT_TRUE(Tagger.PositionUpdated);
    EXPECT_EQ(Tagger.TaggedCount, 3);
}

}  // namespace
}  // namespace n95
