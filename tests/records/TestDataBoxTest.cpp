#include "records/TestDataBox.h"

#include <gtest/gtest.h>

namespace {

// The box never dereferences or releases what it holds, so plain local records will do: a
// release by the box would fault on them.
struct TBoxFixture {
    TTestRecord Records[3] = {};
    TTstDataBox Box;
};

TEST(TstDataBoxTest, IndexRules) {
    TBoxFixture f;
    EXPECT_EQ(f.Box.RecordCount(), 0);
    EXPECT_EQ(f.Box.RecordAt(0), nullptr);
    for (auto& rec : f.Records) {
        f.Box.AddRecord(&rec);
    }
    const int32_t count = f.Box.RecordCount();
    ASSERT_EQ(count, 3);

    struct {
        int32_t Index;
        bool Valid;
    } cases[] = {
        {INT32_MIN, false}, {-2, false}, {RecordIndexFloor, false}, {0, true},
        {2, true},          {3, false},  {INT32_MAX, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Index);
        EXPECT_EQ(f.Box.IsValidIndex(c.Index), c.Valid);
        EXPECT_EQ(f.Box.RecordAt(c.Index), c.Valid ? &f.Records[c.Index] : nullptr);
    }
}

TEST(TstDataBoxTest, AddRecordIndicesRestartAfterClear) {
    TBoxFixture f;
    EXPECT_TRUE(f.Box.Clear());  // empty box
    EXPECT_EQ(f.Box.RecordCount(), 0);

    for (int round = 0; round < 2; ++round) {
        for (int32_t i = 0; i < 3; ++i) {
            EXPECT_EQ(f.Box.AddRecord(&f.Records[i]), i);
        }
        f.Box.Tally = 7;
        EXPECT_TRUE(f.Box.Clear());
        EXPECT_EQ(f.Box.RecordCount(), 0);
        EXPECT_EQ(f.Box.Tally, 0);
        EXPECT_EQ(f.Box.RecordAt(0), nullptr);
    }
}

TEST(TstDataBoxTest, QueuesNilAsItIs) {
    TBoxFixture f;
    EXPECT_EQ(f.Box.AddRecord(nullptr), 0);
    EXPECT_EQ(f.Box.AddRecord(&f.Records[0]), 1);
    EXPECT_EQ(f.Box.RecordCount(), 2);
    EXPECT_EQ(f.Box.RecordAt(0), nullptr);
    EXPECT_EQ(f.Box.RecordAt(1), &f.Records[0]);
}

TEST(TstDataBoxTest, ClearEntryNilsOnlyThatEntry) {
    TBoxFixture f;
    for (auto& rec : f.Records) {
        f.Box.AddRecord(&rec);
    }
    f.Box.ClearEntry(1);
    f.Box.ClearEntry(-1);  // invalid indices are ignored
    f.Box.ClearEntry(3);
    EXPECT_EQ(f.Box.RecordCount(), 3);
    EXPECT_EQ(f.Box.RecordAt(0), &f.Records[0]);
    EXPECT_EQ(f.Box.RecordAt(1), nullptr);
    EXPECT_EQ(f.Box.RecordAt(2), &f.Records[2]);
    EXPECT_EQ(f.Box.AddRecord(&f.Records[1]), 3);
}

TEST(TstDataBoxTest, NeverReleasesRecords) {
    // Owned records that the box must leave alone on Clear and on destruction; released here.
    TTestRecord* a = NewTestRecord(2);
    TTestRecord* b = NewTestRecord(2);
    {
        TTstDataBox box;
        box.AddRecord(a);
        box.Clear();
        box.AddRecord(b);
    }
    EXPECT_EQ(n95::KindOfWord(a->KindWord), 2);  // still readable: not released
    EXPECT_EQ(n95::KindOfWord(b->KindWord), 2);
    FreeTestRecord(a);
    FreeTestRecord(b);
}

}  // namespace
