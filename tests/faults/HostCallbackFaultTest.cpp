// Host callbacks that misbehave, reached through the decoder's UpdatePosition: records that
// come back nil (or as a sentinel), a host store that shrinks or grows between two calls
// and while a pass runs, callbacks that are unset or unset later, a negative count, and a
// context that is gone or holds nil pointers. The decoder never asks for an index at or
// beyond the count the host reports at that moment, never writes into anything but a record
// the host handed it, and keeps going.
#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "decoder/NokiaMSN95Decode.h"
#include "records/DataAccessAPIUnit.h"
#include "tests/decoder/DecoderTestSupport.h"
#include "trace/PositionTagger.h"

namespace n95::test {
namespace {

constexpr double kSecond = 1.0 / kSecondsPerDay;
constexpr double kNoValue = -9999.0;

// The host's own record store, reached only through the two callbacks. Records are kept in
// stable storage; removed ones go to a graveyard, so a late write into one is detected
// instead of being a use after free.
class HostStore {
public:
    ~HostStore() = default;

    void Add(int n, double testTime = 46000.0) {
        for (int i = 0; i < n; ++i) {
            auto rec = std::make_unique<TTestRecord>(DefaultHeader);
            rec->TestTime = testTime;
            Live.push_back(std::move(rec));
        }
    }
    void RemoveLast(int n) {
        for (int i = 0; i < n && !Live.empty(); ++i) {
            Graveyard.push_back(std::move(Live.back()));
            Live.pop_back();
        }
    }
    int32_t Size() const { return static_cast<int32_t>(Live.size()); }
    TTestRecord& At(int32_t i) { return *Live[static_cast<std::size_t>(i)]; }
    bool Tagged(int32_t i) { return Value(At(i).PosX) != kNoValue; }

    static int32_t Count(void* self, int32_t tag) {
        auto* s = static_cast<HostStore*>(self);
        EXPECT_EQ(tag, 7);
        ++s->CountCalls;
        return s->CountOverride.value_or(s->Size());
    }
    static TTestRecord* Get(void* self, int32_t tag, int32_t index) {
        auto* s = static_cast<HostStore*>(self);
        EXPECT_EQ(tag, 7);
        ++s->GetCalls;
        if (index < 0 || index >= s->Size()) {
            ++s->OutOfRange;  // the decoder asked beyond the count it was just told
            return nullptr;
        }
        TTestRecord* rec = s->NilIndices.count(index) ? nullptr : &s->At(index);
        if (s->SentinelIndices.count(index))
            rec = const_cast<TTestRecord*>(&SentinelNil);
        // The store changes under the decoder's feet, between this call and the next.
        s->RemoveLast(s->ShrinkPerGet);
        if (s->Size() < s->GrowLimit)
            s->Add(s->GrowPerGet);
        return rec;
    }

    std::vector<std::unique_ptr<TTestRecord>> Live;
    std::vector<std::unique_ptr<TTestRecord>> Graveyard;
    std::set<int32_t> NilIndices;
    std::set<int32_t> SentinelIndices;
    std::optional<int32_t> CountOverride;
    int ShrinkPerGet = 0;
    int GrowPerGet = 0;
    int32_t GrowLimit = 0;
    int CountCalls = 0;
    int GetCalls = 0;
    int OutOfRange = 0;
};

class HostCallbackFaultTest : public ::testing::Test {
protected:
    void SetUp() override {
        // The watcher of the test waits its real 5 s, so it never reads the fix counter
        // while a test changes it.
        env.WaitDivisor = 1;
        d = std::make_unique<TNokiaMSN95Decode>(&port, &context.Context);
        d->SetCallbackTag(7);
        d->SetRecordBase(-1);  // every index is a host record
        d->StartTest();
    }
    void TearDown() override {
        EXPECT_EQ(store.OutOfRange, 0);
        d.reset();
    }

    void SetCallbacks() {
        d->SetOnRecordCount(TRecordCountEvent{&HostStore::Count, &store});
        d->SetOnGetRecord(TGetRecordEvent{&HostStore::Get, &store});
    }
    // The host's next fix: (x, 2x), one more fix counted, two seconds after the previous one.
    void Fix(double x) {
        ++context.FixCounter;
        fixTime += 2 * kSecond;
        context.Fix = TGpsPoint{x, 2 * x, fixTime};
        d->UpdatePosition(context.Fix);
    }

    Journal journal;
    JournalEnv env{&journal};
    ScopedEnv scopedEnv{&env};
    RecordingPort port{&journal};
    TestContext context;
    HostStore store;
    std::unique_ptr<TNokiaMSN95Decode> d;
    double fixTime = 46000.0;
};

TEST_F(HostCallbackFaultTest, NilRecordsAreSkipped) {
    SetCallbacks();
    store.Add(6);
    store.NilIndices = {0, 2, 5, 7, 8};
    Fix(1.0);  // first fix: every pending record gets it
    for (int32_t i = 0; i < 6; ++i) {
        EXPECT_EQ(store.Tagged(i), !store.NilIndices.count(i)) << i;
    }
    EXPECT_EQ(d->GetLastTaggedIndex(), 5);

    store.Add(5);  // 6..10; 7 and 8 come back nil, so the run starts at 6 and ends at 10
    Fix(5.0);
    EXPECT_DOUBLE_EQ(Value(store.At(6).PosX), 1.0);
    EXPECT_DOUBLE_EQ(Value(store.At(9).PosX), 1.0 + 4.0 * 3 / 4);
    EXPECT_DOUBLE_EQ(Value(store.At(10).PosX), 5.0);
    EXPECT_FALSE(store.Tagged(7));
    EXPECT_FALSE(store.Tagged(8));
    EXPECT_EQ(d->GetLastTaggedIndex(), 10);

    store.Add(3);  // every record of the run comes back nil: nothing is tagged, nothing skipped
    store.NilIndices.insert({11, 12, 13});
    Fix(9.0);
    EXPECT_EQ(d->GetLastTaggedIndex(), 10) << "the records stay pending";
    store.NilIndices.clear();
    Fix(11.0);
    EXPECT_DOUBLE_EQ(Value(store.At(11).PosX), 9.0);
    EXPECT_DOUBLE_EQ(Value(store.At(13).PosX), 11.0);
}

// A sentinel's address means "no record": the decoder must skip it, never write into it (the
// sentinels are constants, so a write faults).
TEST_F(HostCallbackFaultTest, SentinelRecordsAreSkipped) {
    SetCallbacks();
    store.Add(4);
    store.SentinelIndices = {1, 3};
    Fix(1.0);
    EXPECT_TRUE(store.Tagged(0));
    EXPECT_TRUE(store.Tagged(2));
    store.Add(3);
    store.SentinelIndices = {4};
    Fix(3.0);  // the run starts at the first real record, 5
    EXPECT_DOUBLE_EQ(Value(store.At(5).PosX), 1.0);
    EXPECT_DOUBLE_EQ(Value(store.At(6).PosX), 3.0);
    EXPECT_EQ(Value(SentinelNil.PosX), kNoValue);
}

// The host drops records while a pass runs: the count is asked again before every fetch, so
// no index beyond the current count is ever asked for.
TEST_F(HostCallbackFaultTest, StoreShrinkingDuringAPass) {
    SetCallbacks();
    for (int shrink : {1, 2, 5}) {
        SCOPED_TRACE("shrink " + std::to_string(shrink));
        store.ShrinkPerGet = 0;
        store.Add(12);
        store.ShrinkPerGet = shrink;
        Fix(1.0 + shrink);
        Fix(2.0 + shrink);  // nothing or little left pending: must not fetch beyond the count
    }
    EXPECT_GT(store.GetCalls, 0);
}

// The host empties its store between two fixes, then fills it again.
TEST_F(HostCallbackFaultTest, StoreShrinkingBetweenFixes) {
    SetCallbacks();
    store.Add(5);
    Fix(1.0);
    EXPECT_EQ(d->GetLastTaggedIndex(), 4);
    store.RemoveLast(5);
    Fix(2.0);  // count 0 < TaggedCount: nothing pending
    EXPECT_EQ(d->GetLastTaggedIndex(), 4);
    store.Add(8);  // indices 0..4 are taken as handled; 5..7 are new
    Fix(3.0);
    EXPECT_EQ(d->GetLastTaggedIndex(), 7);
    EXPECT_TRUE(store.Tagged(5) && store.Tagged(7));
    // The host reports fewer than it holds: only those are fetched.
    store.Add(4);
    store.CountOverride = 9;
    Fix(4.0);
    EXPECT_EQ(d->GetLastTaggedIndex(), 8);
    EXPECT_DOUBLE_EQ(Value(store.At(8).PosX), 4.0);
    for (int32_t i = 9; i < 12; ++i)
        EXPECT_FALSE(store.Tagged(i)) << i;
    store.CountOverride.reset();
}

// The host adds a record with every fetch: those added while the tagging pass ran are caught
// by the final sweep over the count it then reports; those added during the sweep are left
// to the next fix.
TEST_F(HostCallbackFaultTest, StoreGrowingDuringAPass) {
    SetCallbacks();
    store.Add(3);
    store.GrowPerGet = 1;
    store.GrowLimit = 100;
    Fix(1.0);  // tags 0..2 (adding 3..5), then sweeps 3..5 (adding 6..8)
    store.GrowPerGet = 0;
    ASSERT_EQ(store.Size(), 9);
    for (int32_t i = 0; i < 9; ++i)
        EXPECT_EQ(store.Tagged(i), i < 6) << i;
    Fix(2.0);
    for (int32_t i = 0; i < 9; ++i)
        EXPECT_TRUE(store.Tagged(i)) << i;
    EXPECT_DOUBLE_EQ(Value(store.At(8).PosX), 2.0);
    EXPECT_EQ(d->GetLastTaggedIndex(), 8);
}

// Records added while the pass runs may come back nil in the final sweep too.
TEST_F(HostCallbackFaultTest, NilRecordsAddedDuringAPass) {
    SetCallbacks();
    store.Add(2);
    store.GrowPerGet = 2;
    store.GrowLimit = 100;
    store.NilIndices = {3, 4};
    Fix(1.0);  // tags 0..1 (adding 2..5), then sweeps 2..5: 3 and 4 are nil
    store.GrowPerGet = 0;
    for (int32_t i = 0; i < 6; ++i)
        EXPECT_EQ(store.Tagged(i), i != 3 && i != 4) << i;
}

// Through the tagger itself: a negative TaggedCount (the field is public) with a RecordBase
// below it must not make the host see a negative index.
TEST(HostCallbackTaggerFaultTest, NegativeIndicesAreNeverFetched) {
    HostStore store;
    store.Add(3);
    int32_t counter = 1;
    TGpsPoint fix{1.0, 2.0, 46000.0};
    THostContext context{nullptr, nullptr, 0, 0, &counter, &fix};
    TPositionTagger tagger;
    tagger.CallbackTag = 7;
    tagger.OnRecordCount = TRecordCountEvent{&HostStore::Count, &store};
    tagger.OnGetRecord = TGetRecordEvent{&HostStore::Get, &store};
    tagger.RecordBase = -10;
    tagger.TaggedCount = -4;
    tagger.UpdatePosition(fix, &context, nullptr);
    EXPECT_EQ(store.OutOfRange, 0);
    EXPECT_EQ(store.GetCalls, 3) << "only indices 0..2 are fetched";
    for (int32_t i = 0; i < 3; ++i)
        EXPECT_TRUE(store.Tagged(i)) << i;
    EXPECT_EQ(tagger.TaggedCount, 3);
}

TEST_F(HostCallbackFaultTest, UnsetCallbacks) {
    store.Add(4);
    // Neither: nothing is asked, nothing is pending.
    Fix(1.0);
    EXPECT_EQ(store.CountCalls + store.GetCalls, 0);
    EXPECT_EQ(d->GetLastTaggedIndex(), -1);
    // Only the count: records are pending but none can be fetched; they count as handled.
    d->SetOnRecordCount(TRecordCountEvent{&HostStore::Count, &store});
    Fix(2.0);
    EXPECT_GT(store.CountCalls, 0);
    EXPECT_EQ(store.GetCalls, 0);
    EXPECT_EQ(d->GetLastTaggedIndex(), 3);
    for (int32_t i = 0; i < 4; ++i)
        EXPECT_FALSE(store.Tagged(i)) << i;
    // Only the fetch: the count reads 0, so nothing is fetched.
    d->SetOnRecordCount(TRecordCountEvent{});
    d->SetOnGetRecord(TGetRecordEvent{&HostStore::Get, &store});
    store.Add(2);
    store.CountCalls = store.GetCalls = 0;
    Fix(3.0);
    EXPECT_EQ(store.CountCalls + store.GetCalls, 0);
    // Both again, then both unset between two fixes.
    SetCallbacks();
    Fix(4.0);
    EXPECT_TRUE(store.Tagged(4) && store.Tagged(5));
    d->SetOnRecordCount(TRecordCountEvent{});
    d->SetOnGetRecord(TGetRecordEvent{});
    store.Add(2);
    store.CountCalls = store.GetCalls = 0;
    Fix(5.0);
    d->StopTest();
    EXPECT_EQ(store.CountCalls + store.GetCalls, 0);
    EXPECT_FALSE(store.Tagged(6));
}

TEST_F(HostCallbackFaultTest, NegativeCountReadsAsNone) {
    SetCallbacks();
    store.Add(3);
    store.CountOverride = -5;
    Fix(1.0);
    Fix(2.0);
    d->StopTest();
    EXPECT_EQ(store.GetCalls, 0);
    EXPECT_EQ(d->GetLastTaggedIndex(), -1);
    store.CountOverride = INT32_MIN;
    Fix(3.0);
    EXPECT_EQ(store.GetCalls, 0);
}

// The context is gone, or holds nil pointers: the fix is ignored; nothing crashes and no
// callback sees a bad index.
TEST_F(HostCallbackFaultTest, MissingContextOrContextPointers) {
    SetCallbacks();
    store.Add(3);
    d->SetContext(nullptr);
    Fix(1.0);
    EXPECT_EQ(store.GetCalls, 0) << "without a context there is no fix to take";
    EXPECT_EQ(d->GetLastTaggedIndex(), -1);

    THostContext hollow{};  // no replay name, no fix counter, no current fix
    d->SetContext(&hollow);
    Fix(2.0);
    EXPECT_EQ(store.GetCalls, 0) << "nor without its fix references";
    EXPECT_FALSE(store.Tagged(0));
    EXPECT_EQ(d->GetLastTaggedIndex(), -1);
    store.Add(2);
    Fix(3.0);
    d->SetContext(&context.Context);
    store.Add(2);
    Fix(4.0);
    EXPECT_DOUBLE_EQ(Value(store.At(store.Size() - 1).PosX), 4.0);
}

}  // namespace
}  // namespace n95::test
