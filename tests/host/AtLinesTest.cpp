// AT lines shown and cut as the simulator logs them, and the live run's status line.
#include "host/formats/AtLines.h"

#include <gtest/gtest.h>

#include <cstdio>

#include "host/common/Progress.h"

namespace n95::host {
namespace {

TEST(AtLinesTest, VisibleTextShowsEveryControlByte) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"ATE0\r", "ATE0<CR>"},
        {"AT\r\n", "AT<CR><LF>"},
        {std::string("a\0b", 3), "a<00>b"},
        {"\x1b\x7f\t", "<1B><7F><09>"},
        {"AT*NTRACE=1,3,0,\"1\"", "AT*NTRACE=1,3,0,\"1\""},
        {"\xe9", "\xe9"},  // bytes above 0x7F stay as they are
    };
    for (const auto& [text, shown] : cases)
        EXPECT_EQ(VisibleText(text), shown);
}

TEST(AtLinesTest, SplitterCutsAfterEachCarriageReturn) {
    TAtLineSplitter splitter;
    EXPECT_TRUE(splitter.Take("AT", 2).empty());
    EXPECT_EQ(splitter.Unfinished(), "AT");
    const std::string more = "E0\rAT*NTRACE=0\r\nAT";
    EXPECT_EQ(splitter.Take(more.data(), more.size()),
              (std::vector<std::string>{"ATE0\r", "AT*NTRACE=0\r"}));
    // The line feed after a carriage return starts the next line: a host that sends one shows.
    EXPECT_EQ(splitter.Unfinished(), "\nAT");
    EXPECT_EQ(splitter.Take("\r", 1), (std::vector<std::string>{"\nAT\r"}));
    EXPECT_EQ(splitter.Unfinished(), "");
}

TEST(StatusLineTest, RedrawsOverItselfAndClears) {
    FILE* out = std::tmpfile();
    ASSERT_NE(out, nullptr);
    TStatusLine line(true, out);
    line.Show("testing | 12 records");
    line.Show("testing | 9");
    line.Clear();
    line.Clear();  // nothing drawn: nothing to clear
    TStatusLine off(false, out);
    off.Show("never shown");
    std::rewind(out);
    char buffer[256] = {};
    const std::size_t n = std::fread(buffer, 1, sizeof buffer - 1, out);
    std::fclose(out);
    EXPECT_EQ(std::string(buffer, n),
              "\rtesting | 12 records\rtesting | 9         \r           \r");
}

}  // namespace
}  // namespace n95::host
