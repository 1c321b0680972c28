#include "control/TestCommands.h"

#include <climits>
#include <string>
#include <utility>
#include <vector>

#include "gtest/gtest.h"

namespace {

using Lines = std::vector<std::string>;

// Expected lines are written without their carriage return; this adds it.
Lines WithCr(const Lines& lines) {
    Lines out;
    for (const std::string& line : lines) {
        out.push_back(line + "\r");
    }
    return out;
}

Lines Bracket(const std::string& command) {
    return {"AT*NTestSystem=1", command, "AT*NTestSystem=0"};
}

struct TActionCase {
    int32_t Action;
    std::string Params;
    Lines Expected;  // without carriage returns
};

TEST(TestCommandsTest, EveryActionGivesItsLines) {
    const Lines vtPrefix = {"AT+CBST=134,1,0", "AT*NVTMODE=1"};
    const std::string gsmScan = "GSMBand=900\nGSMChanLow=-5\nGSMChanHigh=124\nBsicDecode=1";
    const std::vector<TActionCase> cases = {
        {0, "12345", {"ATD12345;"}},
        {256, "12345", {"ATD12345;"}},
        {0, "", {"ATD;"}},
        {0, "+44 (20) 7946-0018,p123#", {"ATD+44 (20) 7946-0018,p123#;"}},
        {1, "anything", {"AT+CHUP"}},
        {257, "", {"AT+CHUP"}},
        {2, "Network=3", {"ATA"}},
        {258, "", {"ATA"}},
        {520, "Network=70000", Bracket("AT*NSYSLOCK=4464")},
        {520, "", Bracket("AT*NSYSLOCK=0")},
        {521, "UARFCN=10713\r\nPSC=276", Bracket("AT*NSECLOCK=10713,276")},
        {521, "", Bracket("AT*NSECLOCK=0,0")},
        {522, "UARFCN=1", Bracket("AT*NSECLOCK=0,0")},
        {523, "BCCH=62", Bracket("AT*NCHLOCK=1,1,62")},
        {523, "", Bracket("AT*NCHLOCK=1,1,0")},
        {524, "", Bracket("AT*NCHLOCK=0")},
        {532, "0401234567", {vtPrefix[0], vtPrefix[1], "ATDT0401234567"}},
        {532, "", {vtPrefix[0], vtPrefix[1], "ATDT"}},
        {533, "123", {vtPrefix[0], vtPrefix[1], "ATA"}},
        {534, "", {"AT+CHUP"}},
        {542, "BCCH=70000\nGSMBand=3\nBSIC=-1", Bracket("AT*NHOPRMSGERAN=1,4464,3,255")},
        {544, "BCCH=1\rGSMBand=900\rBSIC=300", Bracket("AT*NHOPRMSGERAN=2,1,900,44")},
        {542, "", {}},
        {544, "", {}},
        {542, "\n", Bracket("AT*NHOPRMSGERAN=1,0,0,0")},
        {543, "", Bracket("AT*NHOPRMSGERAN=0")},
        {545, "", Bracket("AT*NHOPRMSGERAN=0")},
        {546, "UARFCN=10713\nPSC=276", Bracket("AT*NHOPRMSWRAN=1,10713,276,30,100,30,100")},
        {548, "PSC=$1F\nUARFCN=-1", Bracket("AT*NHOPRMSWRAN=2,65535,31,30,100,30,100")},
        {546, "", {}},
        {548, "", {}},
        {547, "", Bracket("AT*NHOPRMSWRAN=0")},
        {549, "", Bracket("AT*NHOPRMSWRAN=0")},
        {550, "", Bracket("AT*NTESTAUDIO=1")},
        {551, "", Bracket("AT*NTESTAUDIO=2")},
        {580, "GSMBand=10", Bracket(R"(AT*NBALOCK=1,"0000000A","00000000")")},
        {580, "GSMBand=255", Bracket(R"(AT*NBALOCK=1,"000000FF","00000000")")},
        {580, "GSMBand=256", Bracket(R"(AT*NBALOCK=1,"00000000","00000000")")},
        {580, "GSMBand=-1", Bracket(R"(AT*NBALOCK=1,"000000FF","00000000")")},
        {580, "", {}},
        {581, "GSMBand=10", Bracket(R"(AT*NBALOCK=0,"00000000","00000000")")},
        {581, "", {}},
        {590, gsmScan, Bracket("AT*NSCANGERAN=1,900,-5,124,1")},
        {590, "GSMBand=-2147483648", Bracket("AT*NSCANGERAN=1,-2147483648,0,0,0")},
        {590, "", {}},
        {591, " ", Bracket("AT*NSCANGERAN=0")},
        {591, "", {}},
        {592, "WCDMABand=1\r\nWCDMAPilotLevel=-20", Bracket("AT*NSCANWRAN=1,1,-20")},
        {592, "", {}},
        {593, "\n", Bracket("AT*NSCANWRAN=0")},
        {593, "", {}},
    };
    for (const TActionCase& c : cases) {
        SCOPED_TRACE("action " + std::to_string(c.Action) + " params \"" + c.Params + "\"");
        EXPECT_EQ(MakeTestCommands(c.Action, c.Params), WithCr(c.Expected));
    }
}

TEST(TestCommandsTest, UnlistedCodesGiveEmptyList) {
    const std::vector<std::pair<int32_t, int32_t>> ranges = {
        {3, 255},    {259, 519},
        {525, 531},  {535, 541},
        {552, 579},  {582, 589},
        {594, 5000}, {INT32_MAX - 2, INT32_MAX},
        {-1000, -1}, {INT32_MIN, INT32_MIN + 2},
    };
    for (const auto& [first, last] : ranges) {
        for (int64_t code = first; code <= last; ++code) {
            for (const char* params : {"", "Network=1\nGSMBand=2"}) {
                EXPECT_TRUE(MakeTestCommands(static_cast<int32_t>(code), params).empty())
                    << "code " << code;
            }
        }
    }
}

TEST(TestCommandsTest, ParseParamValueRules) {
    const std::vector<std::pair<std::string, int32_t>> cases = {
        {"70000", 70000},
        {"0", 0},
        {"007", 7},
        {"  42", 42},
        {"+7", 7},
        {"-5", -5},
        {"$1F", 31},
        {"$1f", 31},
        {"x1F", 31},
        {"X1f", 31},
        {"0x1F", 31},
        {"0X1f", 31},
        {"-$10", -16},
        {"  -0x10", -16},
        {"$FFFFFFFF", -1},
        {"$80000000", INT32_MIN},
        {"$000000000001", 1},
        {"2147483647", INT32_MAX},
        {"-2147483648", INT32_MIN},
        {"00000000002147483647", INT32_MAX},
        // Everything below is not a whole 32-bit integer.
        {"2147483648", 0},
        {"-2147483649", 0},
        {"$100000000", 0},
        {"99999999999999999999", 0},
        {"3 ", 0},
        {"3x", 0},
        {"12a", 0},
        {"1e3", 0},
        {"", 0},
        {" ", 0},
        {"-", 0},
        {"$", 0},
        {"0x", 0},
        {"x", 0},
        {"$G", 0},
        {"- 5", 0},
        {"\t5", 0},
        {"5\r", 0},
        {"++5", 0},
        {"0x-5", 0},
    };
    for (const auto& [text, expected] : cases) {
        EXPECT_EQ(n95::ParseParamValue(text), expected) << '"' << text << '"';
        // Only the whole integers parse; "0" is the one zero among the cases.
        int32_t parsed = 12345;
        const bool whole = n95::TryParseParamValue(text, parsed);
        EXPECT_EQ(whole, expected != 0 || text == "0") << '"' << text << '"';
        if (whole) {
            EXPECT_EQ(parsed, expected) << '"' << text << '"';
        }
    }
}

TEST(TestCommandsTest, FindParamValueLookUp) {
    struct TLookUp {
        std::string Params;
        std::string Name;
        std::string Expected;
    };
    const std::vector<TLookUp> cases = {
        {"GSMBand=3", "GSMBand", "3"},
        {"gsmband=3", "GSMBand", "3"},
        {"GSMBAND=3", "gsmband", "3"},
        {"GSMBand =3", "GSMBand", ""},
        {" GSMBand=3", "GSMBand", ""},
        {"GSMBandX=3", "GSMBand", ""},
        {"GSM=3", "GSMBand", ""},
        {"GSMBand", "GSMBand", ""},
        {"GSMBand=", "GSMBand", ""},
        {"GSMBand= 3 ", "GSMBand", " 3 "},
        {"GSMBand=a=b", "GSMBand", "a=b"},
        {"GSMBand=1\nGSMBand=2", "GSMBand", "1"},
        {"gsmband=1\nGSMBand=2", "GSMBand", "1"},
        {"A=1\rGSMBand=2", "GSMBand", "2"},
        {"A=1\nGSMBand=2", "GSMBand", "2"},
        {"A=1\r\nGSMBand=2\r\n", "GSMBand", "2"},
        {"A=1\n\r\r\nGSMBand=2", "GSMBand", "2"},
        {"A=GSMBand=2\nGSMBand=4", "GSMBand", "4"},
        {"GSMBand=7\r\n", "GSMBand", "7"},
        {"", "GSMBand", ""},
    };
    for (const TLookUp& c : cases) {
        EXPECT_EQ(n95::FindParamValue(c.Params, c.Name), c.Expected) << '"' << c.Params << '"';
    }
    // The first match wins through an action too, and a separator is not part of the value.
    EXPECT_EQ(MakeTestCommands(590, "gsmband=3\r\nGSMBand=4")[1], "AT*NSCANGERAN=1,3,0,0,0\r");
}

TEST(TestCommandsTest, TraceCommands) {
    const std::string on = GetTraceCommand(true);
    const std::string off = GetTraceCommand(false);
    EXPECT_EQ(on, "AT*NTRACE=1,3,0,\"1\",1,\"7\",2,\"03BFFF\",3,\"1F\",4,\"1467F\",5,\"07BFFC\"\r");
    EXPECT_EQ(on.size(), 65u);
    EXPECT_EQ(off, "AT*NTRACE=0\r");
    EXPECT_EQ(off.size(), 12u);
}

// A dial string goes verbatim into a command line, so it may only hold dial characters:
// anything else (";", CR, a quote...) could end the dial command and start another. The one
// exception is the upper-case name of a memory, directly between a ">" and an index.
TEST(TestCommandsTest, DialTextAcceptsOnlyDialCharacters) {
    const std::string allowed = "0123456789*#+ABCDabcd,TtPpWw!@IiGg> -()";
    auto expectDial = [](const std::string& text, bool accepted) {
        SCOPED_TRACE("text \"" + text + "\"");
        EXPECT_EQ(n95::FindRefusedDialCharacter(text) == std::string::npos, accepted);
        for (int32_t action : {0, 256}) {
            EXPECT_EQ(MakeTestCommands(action, text),
                      accepted ? Lines{"ATD" + text + ";\r"} : Lines{});
        }
        const Lines vt = MakeTestCommands(532, text);
        EXPECT_EQ(vt.size(), accepted ? 3u : 0u);
        if (accepted && vt.size() == 3) {
            EXPECT_EQ(vt[2], "ATDT" + text + "\r");
        }
    };
    for (int value = 0; value < 256; ++value) {
        const char c = static_cast<char>(value);
        const bool expected = value != 0 && allowed.find(c) != std::string::npos;
        const bool upper = c >= 'A' && c <= 'Z';
        SCOPED_TRACE("byte " + std::to_string(value));
        EXPECT_EQ(n95::IsDialCharacter(c), expected);
        expectDial(std::string("12") + c + "3", expected);
        expectDial(std::string(">") + c + "1", expected || upper);  // as a memory name
        expectDial(c + std::string("SM1"), c == '>');               // before a memory name
        expectDial(std::string(">SM") + c, c >= '0' && c <= '9');   // after it: the index
        expectDial(std::string(">SM1") + c, expected);              // after the index
    }
    const std::pair<const char*, bool> stored[] = {
        {">ME12", true},  {">SMS12", true}, {"12>SM1", true}, {">SM1>ME2", true},
        {"> SM1", false}, {">S M1", false}, {">sM1", false},  {">1SM", false},
    };
    for (const auto& [text, accepted] : stored) {
        expectDial(text, accepted);
    }
    for (const auto& [text, at] : std::vector<std::pair<std::string, size_t>>{
             {"123;+CFUN=0", 3}, {">sm1", 1}, {">SM", 1}, {"SM1", 0}, {">SM1X", 4}}) {
        EXPECT_EQ(n95::FindRefusedDialCharacter(text), at) << text;
    }
    for (const char* attack : {"123;+CFUN=0", "123\rAT+CFUN=0", "123\nATH", "\"123\"", "12\b3"}) {
        EXPECT_TRUE(MakeTestCommands(0, attack).empty()) << attack;
        EXPECT_TRUE(MakeTestCommands(532, attack).empty()) << attack;
    }
}

// The parameters each action declares are the ones it writes, at the widths it declares: a
// declared parameter changes the lines, one past its maximum is written as 0 would be, and
// no other name changes anything.
TEST(TestCommandsTest, DeclaredParametersAreTheOnesWritten) {
    std::vector<std::string> everyName;
    for (int32_t action = 0; action < 1024; ++action) {
        for (const n95::TActionParameter& p : n95::TestActionParameters(action)) {
            everyName.push_back(p.Name);
        }
    }
    for (int32_t action = 0; action < 1024; ++action) {
        SCOPED_TRACE("action " + std::to_string(action));
        const auto declared = n95::TestActionParameters(action);
        const auto lines = [&](const std::string& name, int64_t value) {
            return MakeTestCommands(action, name + "=" + std::to_string(value));
        };
        for (const n95::TActionParameter& p : declared) {
            SCOPED_TRACE(p.Name);
            EXPECT_NE(lines(p.Name, p.Max), lines(p.Name, 0));
            EXPECT_NE(lines(p.Name, p.Min == 0 ? 1 : p.Min), lines(p.Name, 0));
            EXPECT_EQ(lines(p.Name, p.Max + 1), lines(p.Name, 0));
        }
        for (const std::string& name : everyName) {
            bool isDeclared = false;
            for (const n95::TActionParameter& p : declared) {
                isDeclared = isDeclared || name == p.Name;
            }
            if (!isDeclared && action != 0 && action != 256 && action != 532) {
                EXPECT_EQ(lines(name, 7), lines(name, 9)) << name;
            }
        }
        if (n95::TestActionNeedsText(action)) {
            EXPECT_TRUE(MakeTestCommands(action, "").empty());
        }
    }
}

TEST(TestCommandsTest, EveryLineEndsInOneCarriageReturn) {
    for (int32_t action = 0; action < 600; ++action) {
        for (const std::string& line : MakeTestCommands(action, "BCCH=1\nGSMBand=2")) {
            ASSERT_FALSE(line.empty());
            EXPECT_EQ(line.back(), '\r') << action;
            EXPECT_EQ(line.find('\r'), line.size() - 1) << action;
            EXPECT_EQ(line.find('\n'), std::string::npos) << action;
        }
    }
}

}  // namespace
