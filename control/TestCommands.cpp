#include "control/TestCommands.h"

#include <climits>
#include <cstdio>
#include <string_view>

#include "control/ActionCodes.h"
#include "control/AtCommands.h"

namespace {

// Catalogue rows used by the call actions, by position.
constexpr int32_t kDialRow = 0;
constexpr int32_t kHangUpRow = 1;
constexpr int32_t kAnswerRow = 2;

constexpr std::string_view kDialCharacters = "0123456789*#+ABCDabcd,TtPpWw!@IiGg> -()";

std::string Line(std::string text) {
    text.push_back('\r');
    return text;
}

// Test-mode bracket: the handset takes the command only between these two lines.
std::vector<std::string> Bracketed(const std::string& command) {
    return {Line("AT*NTestSystem=1"), Line(command), Line("AT*NTestSystem=0")};
}

bool IsUpperLetter(char c) {
    return c >= 'A' && c <= 'Z';
}
bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}

bool IsDialText(const std::string& text) {
    return n95::FindRefusedDialCharacter(text) == std::string::npos;
}

int32_t Value(const std::string& params, const char* name) {
    return n95::ParseParamValue(n95::FindParamValue(params, name));
}

// The widths at which each parameter is written.
std::string U16(const std::string& params, const char* name) {
    return std::to_string(static_cast<uint16_t>(Value(params, name)));
}
std::string U8(const std::string& params, const char* name) {
    return std::to_string(static_cast<uint8_t>(Value(params, name)));
}
std::string S32(const std::string& params, const char* name) {
    return std::to_string(Value(params, name));
}
std::string Hex8(const std::string& params, const char* name) {
    char digits[9];
    std::snprintf(digits, sizeof digits, "%08X",
                  static_cast<unsigned>(static_cast<uint8_t>(Value(params, name))));
    return digits;
}

bool AsciiEqualIgnoringCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) {
        return false;
    }
    for (size_t i = 0; i < a.size(); ++i) {
        auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; };
        if (lower(a[i]) != lower(b[i])) {
            return false;
        }
    }
    return true;
}

int DigitValue(char c, bool hex) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (hex && c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (hex && c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

}  // namespace

namespace n95 {

bool IsDialCharacter(char c) {
    return c != '\0' && kDialCharacters.find(c) != std::string_view::npos;
}

std::string FindParamValue(const std::string& Params, const std::string& Name) {
    const std::string_view text(Params);
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find_first_of("\r\n", start);
        if (end == std::string_view::npos) {
            end = text.size();
        }
        const std::string_view line = text.substr(start, end - start);
        const size_t equals = line.find('=');
        if (equals != std::string_view::npos &&
            AsciiEqualIgnoringCase(line.substr(0, equals), Name)) {
            return std::string(line.substr(equals + 1));
        }
        // CR LF is one separator; a lone CR or LF is one too.
        start = end + (text.compare(end, 2, "\r\n") == 0 ? 2 : 1);
    }
    return std::string();
}

// A dial string holds dial characters only, with one exception: a stored number dialled by
// memory name and index (">SM1", ">ME12"). The name is a run of upper-case letters that
// starts directly after a ">" and is directly followed by a digit of the index; only there
// may a letter outside the dial set appear. Refused therefore: "SM1" (no ">"), ">sm1" (names
// are upper case), "> SM1" and ">S M1" (nothing may come between), ">SM" (no index) and
// ">1SM" (letters after the index). Letters that are dial characters by themselves (A-D, I,
// G...) stay accepted anywhere, as before.
size_t FindRefusedDialCharacter(const std::string& Text) {
    for (size_t i = 0; i < Text.size(); ++i) {
        if (Text[i] == '>') {
            size_t end = i + 1;
            while (end < Text.size() && IsUpperLetter(Text[end])) {
                ++end;
            }
            if (end > i + 1 && end < Text.size() && IsDigit(Text[end])) {
                i = end - 1;  // past the name; the index is checked as dial characters
                continue;
            }
        }
        if (!IsDialCharacter(Text[i])) {
            return i;
        }
    }
    return std::string::npos;
}

int32_t ParseParamValue(const std::string& Value) {
    int32_t result = 0;
    return TryParseParamValue(Value, result) ? result : 0;
}

bool TryParseParamValue(const std::string& Value, int32_t& Result) {
    const size_t n = Value.size();
    size_t i = 0;
    while (i < n && Value[i] == ' ') {
        ++i;
    }
    bool negative = false;
    if (i < n && (Value[i] == '+' || Value[i] == '-')) {
        negative = Value[i] == '-';
        ++i;
    }
    bool hex = false;
    if (i < n && (Value[i] == '$' || Value[i] == 'x' || Value[i] == 'X')) {
        hex = true;
        ++i;
    } else if (i + 1 < n && Value[i] == '0' && (Value[i + 1] == 'x' || Value[i + 1] == 'X')) {
        hex = true;
        i += 2;
    }
    if (i == n) {
        return false;  // no digits
    }
    const uint64_t limit = hex ? 0xFFFFFFFFu : (negative ? 0x80000000u : 0x7FFFFFFFu);
    uint64_t magnitude = 0;
    for (; i < n; ++i) {
        const int digit = DigitValue(Value[i], hex);
        if (digit < 0) {
            return false;
        }
        magnitude = magnitude * (hex ? 16 : 10) + static_cast<unsigned>(digit);
        if (magnitude > limit) {
            return false;
        }
    }
    // Two's complement arithmetic on the 32-bit pattern covers both the decimal range and
    // the hexadecimal pattern rule.
    uint32_t pattern = static_cast<uint32_t>(magnitude);
    if (negative) {
        pattern = 0u - pattern;
    }
    Result = static_cast<int32_t>(pattern);
    return true;
}

}  // namespace n95

std::string GetTraceCommand(bool On) {
    if (On) {
        return Line(R"(AT*NTRACE=1,3,0,"1",1,"7",2,"03BFFF",3,"1F",4,"1467F",5,"07BFFC")");
    }
    return Line("AT*NTRACE=0");
}

std::vector<std::string> MakeTestCommands(int32_t Action, const std::string& Params) {
    const std::string& p = Params;
    if (p.empty() && n95::TestActionNeedsText(Action)) {
        return {};
    }

    switch (Action) {
        case acDial:
        case acDialAlt:
            if (!IsDialText(p)) {
                return {};
            }
            return {n95::MakeCommandLine(CmdList.Row(kDialRow), p)};
        case acHangUp:
        case acHangUpAlt:
            return {n95::MakeCommandLine(CmdList.Row(kHangUpRow), p)};
        case acAnswer:
        case acAnswerAlt:
            return {n95::MakeCommandLine(CmdList.Row(kAnswerRow), p)};
        case acSystemLock:
            return Bracketed("AT*NSYSLOCK=" + U16(p, "Network"));
        case acSectorLock:
            return Bracketed("AT*NSECLOCK=" + U16(p, "UARFCN") + "," + U16(p, "PSC"));
        case acSectorLockRelease:
            return Bracketed("AT*NSECLOCK=0,0");
        case acChannelLock:
            return Bracketed("AT*NCHLOCK=1," + std::to_string(1) + "," + U16(p, "BCCH"));
        case acChannelLockRelease:
            return Bracketed("AT*NCHLOCK=0");
        case acVtDial:
            if (!IsDialText(p)) {
                return {};
            }
            return {Line("AT+CBST=134,1,0"), Line("AT*NVTMODE=1"), Line("ATDT" + p)};
        case acVtAnswer:
            return {Line("AT+CBST=134,1,0"), Line("AT*NVTMODE=1"), Line("ATA")};
        case acVtHangUp:
            return {Line("AT+CHUP")};
        case acGeranHoprms1:
        case acGeranHoprms2:
            return Bracketed(
                "AT*NHOPRMSGERAN=" + std::string(Action == acGeranHoprms1 ? "1" : "2") + "," +
                U16(p, "BCCH") + "," + U16(p, "GSMBand") + "," + U8(p, "BSIC"));
        case acGeranHoprmsOff1:
        case acGeranHoprmsOff2:
            return Bracketed("AT*NHOPRMSGERAN=0");
        case acWranHoprms1:
        case acWranHoprms2:
            return Bracketed("AT*NHOPRMSWRAN=" + std::string(Action == acWranHoprms1 ? "1" : "2") +
                             "," + U16(p, "UARFCN") + "," + U16(p, "PSC") + ",30,100,30,100");
        case acWranHoprmsOff1:
        case acWranHoprmsOff2:
            return Bracketed("AT*NHOPRMSWRAN=0");
        case acAudioTest1:
            return Bracketed("AT*NTESTAUDIO=1");
        case acAudioTest2:
            return Bracketed("AT*NTESTAUDIO=2");
        case acBaLock:
            return Bracketed(R"(AT*NBALOCK=1,")" + Hex8(p, "GSMBand") + R"(","00000000")");
        case acBaLockRelease:
            return Bracketed(R"(AT*NBALOCK=0,"00000000","00000000")");
        case acGsmScanStart:
            return Bracketed("AT*NSCANGERAN=1," + S32(p, "GSMBand") + "," + S32(p, "GSMChanLow") +
                             "," + S32(p, "GSMChanHigh") + "," + S32(p, "BsicDecode"));
        case acGsmScanStop:
            return Bracketed("AT*NSCANGERAN=0");
        case acWcdmaScanStart:
            return Bracketed("AT*NSCANWRAN=1," + S32(p, "WCDMABand") + "," +
                             S32(p, "WCDMAPilotLevel"));
        case acWcdmaScanStop:
            return Bracketed("AT*NSCANWRAN=0");
        default:
            return {};
    }
}

namespace n95 {

bool TestActionNeedsText(int32_t Action) {
    switch (Action) {
        case acGeranHoprms1:
        case acGeranHoprms2:
        case acWranHoprms1:
        case acWranHoprms2:
        case acBaLock:
        case acBaLockRelease:
        case acGsmScanStart:
        case acGsmScanStop:
        case acWcdmaScanStart:
        case acWcdmaScanStop:
            return true;
        default:
            return false;
    }
}

// The widths MakeTestCommands writes each parameter at (U16, U8, S32 and the byte of Hex8).
std::vector<TActionParameter> TestActionParameters(int32_t Action) {
    constexpr int64_t kU16 = 65535, kU8 = 255;
    constexpr int64_t kS32Min = INT32_MIN, kS32Max = INT32_MAX;
    switch (Action) {
        case acSystemLock:
            return {{"Network", 0, kU16}};
        case acSectorLock:
        case acWranHoprms1:
        case acWranHoprms2:
            return {{"UARFCN", 0, kU16}, {"PSC", 0, kU16}};
        case acChannelLock:
            return {{"BCCH", 0, kU16}};
        case acGeranHoprms1:
        case acGeranHoprms2:
            return {{"BCCH", 0, kU16}, {"GSMBand", 0, kU16}, {"BSIC", 0, kU8}};
        case acBaLock:
            return {{"GSMBand", 0, kU8}};
        case acGsmScanStart:
            return {{"GSMBand", kS32Min, kS32Max},
                    {"GSMChanLow", kS32Min, kS32Max},
                    {"GSMChanHigh", kS32Min, kS32Max},
                    {"BsicDecode", kS32Min, kS32Max}};
        case acWcdmaScanStart:
            return {{"WCDMABand", kS32Min, kS32Max}, {"WCDMAPilotLevel", kS32Min, kS32Max}};
        default:
            return {};
    }
}

}  // namespace n95
