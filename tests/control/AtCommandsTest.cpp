#include "control/AtCommands.h"

#include <iterator>
#include <set>
#include <stdexcept>
#include <string>

#include "gtest/gtest.h"

namespace {

TEST(AtCommandsTest, ListIndexesEveryRowByPosition) {
    ASSERT_EQ(CmdList.Count(), 93);
    ASSERT_EQ(std::size(CmdTable), 93u);
    for (int32_t i = 0; i < CmdList.Count(); ++i) {
        EXPECT_EQ(&CmdList.Row(i), &CmdTable[i]) << i;
        EXPECT_EQ(CmdList.Description(i), CmdTable[i].Description) << i;
    }
    EXPECT_THROW(CmdList.Row(93), std::out_of_range);
    EXPECT_THROW(CmdList.Row(-1), std::out_of_range);
    EXPECT_THROW(CmdList.Description(93), std::out_of_range);
}

TEST(AtCommandsTest, RowsAreDistinctAndWellFormed) {
    std::set<std::string> templates;
    std::set<std::string> descriptions;
    for (const TCmdEntry& row : CmdTable) {
        templates.insert(row.Template);
        descriptions.insert(row.Description);
        EXPECT_FALSE(row.Template.empty());
        EXPECT_FALSE(row.Description.empty());
        // At most one "%s" and no other format directive.
        const size_t percent = row.Template.find('%');
        if (percent != std::string::npos) {
            EXPECT_EQ(row.Template.compare(percent, 2, "%s"), 0) << row.Template;
            EXPECT_EQ(row.Template.find('%', percent + 1), std::string::npos) << row.Template;
        }
    }
    EXPECT_EQ(templates.size(), 93u);
    EXPECT_EQ(descriptions.size(), 93u);
}

TEST(AtCommandsTest, KnownRows) {
    struct TRow {
        int32_t Index;
        const char* Template;
        const char* Description;
    };
    const TRow rows[] = {
        {0, "D%s;", "Dial"},
        {1, "+CHUP", "Hangup call"},
        {2, "A", "Answer"},
        {15, "+CBST", "Select bearer service type"},
        {62, "+VLS=%s", "Line selection"},
        {69, "+CME ERROR", "Mobile Equipment error result code"},
        {92, "+CGSMS", "Select service for MO SMS messages"},
    };
    for (const TRow& row : rows) {
        EXPECT_EQ(CmdList.Row(row.Index).Template, row.Template) << row.Index;
        EXPECT_EQ(CmdList.Description(row.Index), row.Description) << row.Index;
    }
}

TEST(AtCommandsTest, FlagIsZeroOnlyOnTheLastPacketDataRows) {
    for (int32_t i = 0; i < 93; ++i) {
        const bool zero = i == 84 || (i >= 86 && i <= 92);
        EXPECT_EQ(CmdTable[i].Flag, zero ? 0 : 1) << i;
    }
}

TEST(AtCommandsTest, MakeCommandLineFillsTheParameter) {
    EXPECT_EQ(n95::MakeCommandLine(CmdList.Row(0), "12345"), "ATD12345;\r");
    EXPECT_EQ(n95::MakeCommandLine(CmdList.Row(0), ""), "ATD;\r");
    EXPECT_EQ(n95::MakeCommandLine(CmdList.Row(0), "%s"), "ATD%s;\r");  // not expanded twice
    EXPECT_EQ(n95::MakeCommandLine(CmdList.Row(1), "12345"), "AT+CHUP\r");
    EXPECT_EQ(n95::MakeCommandLine(CmdList.Row(62), "1"), "AT+VLS=1\r");
}

}  // namespace
