// What the tools print for a person at a terminal and read from one: the progress bar and the
// status line as the terminal receives them, data rates, and the check of numeric options.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <thread>

#include "host/common/NumberOption.h"
#include "host/common/Progress.h"

namespace n95::host {
namespace {

// A memory stream whose text the test reads back.
class TCapturedStream {
public:
    TCapturedStream() : File(open_memstream(&Buffer, &Size)) {}
    ~TCapturedStream() {
        std::fclose(File);
        std::free(Buffer);
    }
    // What was written since the last call.
    std::string Take() {
        std::fflush(File);
        std::string text(Buffer, Size);
        text.erase(0, Taken);
        Taken = Size;
        return text;
    }

    char* Buffer = nullptr;
    std::size_t Size = 0, Taken = 0;
    FILE* File;
};

// Longer than the bar's redraw interval, so that the next update draws.
void PastTheRedrawInterval() {
    std::this_thread::sleep_for(std::chrono::milliseconds(250));
}

TEST(TerminalTextTest, RatesReadInTheirUnit) {
    const std::pair<double, const char*> cases[] = {
        {0.0, "0 B/s"},         {999.4, "999 B/s"}, {1000.0, "1.0 kB/s"},
        {45678.0, "45.7 kB/s"}, {1e6, "1.00 MB/s"}, {123456789.0, "123.46 MB/s"},
    };
    for (const auto& [rate, text] : cases)
        EXPECT_EQ(FormatRate(rate), text) << rate;
}

TEST(TerminalTextTest, TheProgressBarShowsTheShareDoneAndClearsItsLine) {
    struct Case {
        uint64_t Total, Done;
        std::string Bar;  // the bar and the share
        bool TimeLeft;    // a time left can be told
    };
    const Case cases[] = {
        {1000, 500, "[###############               ]  50.0%", true},
        {1000, 0, "[                              ]   0.0%", false},
        // More than the total (a capture that grew meanwhile), and no total (a pipe): the
        // bytes read, no share and no time left.
        {1000, 2000, "[##############################] 100.0%", false},
        {0, 2500000, "2.5 MB read", false},
    };
    for (const Case& c : cases) {
        TCapturedStream out;
        TProgress progress(c.Total, true, out.File);
        progress.Update(c.Done);
        progress.Finish();
        EXPECT_EQ(out.Take(), "") << "nothing within the first redraw interval, nothing cleared";
        PastTheRedrawInterval();
        progress.Update(c.Done);
        const std::string drawn = out.Take();
        EXPECT_EQ(drawn.rfind("\r" + c.Bar, 0), 0u) << drawn;
        EXPECT_EQ(drawn.find("--:-- left") == std::string::npos, c.TimeLeft || c.Total == 0)
            << drawn;
        progress.Update(c.Done);
        EXPECT_EQ(out.Take(), "") << "redrawn at most once an interval";
        progress.Finish();
        EXPECT_EQ(out.Take(), "\r" + std::string(90, ' ') + "\r");
    }
    TCapturedStream out;
    TProgress disabled(100, false, out.File);
    PastTheRedrawInterval();
    disabled.Update(50);
    disabled.Finish();
    EXPECT_EQ(out.Take(), "");
}

TEST(TerminalTextTest, TheStatusLineRedrawsOverWhatItDrewBefore) {
    struct Step {
        const char* Show;  // nullptr: Clear
        std::string Written;
    };
    const std::vector<Step> steps = {
        {nullptr, ""},  // nothing drawn: nothing to clear
        {"live 12 records", "\rlive 12 records"},
        {"live 9", "\rlive 9         "},  // padded over the longer text
        {nullptr, "\r      \r"},
        {nullptr, ""},
        // Several lines (a rig): each redraw erases the lines drawn before.
        {"a 1\nb 2", "a 1\nb 2"},
        {"a 3\nb 4\nc 5", "\r\x1b[K\x1b[A\x1b[Ka 3\nb 4\nc 5"},
        {"one", "\r\x1b[K\x1b[A\x1b[K\x1b[A\x1b[Kone"},
        {"two", "\rtwo "},  // a rig's last line was measured with room for the cursor
        {nullptr, "\r   \r"},
    };
    TCapturedStream out;
    TStatusLine line(true, out.File);
    EXPECT_TRUE(line.IsEnabled());
    for (const Step& step : steps) {
        if (step.Show != nullptr)
            line.Show(step.Show);
        else
            line.Clear();
        EXPECT_EQ(out.Take(), step.Written) << (step.Show != nullptr ? step.Show : "(clear)");
    }
    TStatusLine disabled(false, out.File);
    EXPECT_FALSE(disabled.IsEnabled());
    disabled.Show("hidden");
    disabled.Clear();
    EXPECT_EQ(out.Take(), "");
}

TEST(TerminalTextTest, NumericOptionsTakeOnlyFiniteNumbersInTheirRange) {
    struct Case {
        double Min, Max;
        bool MinIncluded;
        std::string Text;
        std::string Error;  // "" = accepted
    };
    const Case cases[] = {
        {0, 10, true, "0", ""},
        {0, 10, true, "10", ""},
        {0, 10, true, "2.5e0", ""},
        {0, 10, true, "0x8", ""},
        {0, 10, true, "1e-400", ""},  // an underflow reads as 0
        {0, 10, false, "0.001", ""},
        {0, 10, false, "0", "0 is outside (0 .. 10]"},
        {0, 10, true, "-0.5", "-0.5 is outside [0 .. 10]"},
        {0, 10, true, "10.5", "10.5 is outside [0 .. 10]"},
        {-1e9, 1e9, true, "1e10", "1e10 is outside [-1e+09 .. 1e+09]"},
        {0, 10, true, "", " is not a number"},
        {0, 10, true, "five", "five is not a number"},
        {0, 10, true, "5 s", "5 s is not a number"},
        {0, 10, true, "nan", "nan is not a finite number in [0 .. 10]"},
        {0, 10, true, "-inf", "-inf is not a finite number in [0 .. 10]"},
        {0, 10, true, "1e999", "1e999 is not a finite number in [0 .. 10]"},
    };
    for (const Case& c : cases) {
        const CLI::Validator check = FiniteRange(c.Min, c.Max, c.MinIncluded);
        std::string text = c.Text;
        EXPECT_EQ(check(text), c.Error) << "'" << c.Text << "'";
        EXPECT_NE(check.get_description().find(c.MinIncluded ? "NUMBER in [" : "NUMBER in ("),
                  std::string::npos)
            << check.get_description();
    }
}

}  // namespace
}  // namespace n95::host
