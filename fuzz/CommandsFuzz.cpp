// Fuzz target: MakeTestCommands with any action code and any parameter text.
//
// Input: one selector byte, then the parameter text (the rest of the input). A selector below
// the number of known codes picks one of them (so every action is reached at once); any
// other selector reads the action code as a big-endian 32-bit value before the text.
//
// Properties: every line ends in exactly one carriage return and holds no other CR or LF;
// every character before that CR is printable ASCII; a dial line (actions 0 and 256, the
// third line of 532) carries only dial characters and upper-case letters (a memory name)
// between its command prefix and its end; a dial action gives its line whenever the whole
// text is made of dial characters, and never when the text holds anything but those and
// upper-case letters; a bracketed action gives exactly its opening line, one command line
// and its closing line; unknown codes and the guarded actions without a text give nothing.
#include <string>
#include <vector>

#include "control/TestCommands.h"
#include "fuzz/FuzzSupport.h"

namespace n95::fuzz {
namespace {

// Every action code the builder knows, and some neighbours that it must not know.
constexpr int32_t kCodes[] = {
    0,   1,   2,   256, 257, 258, 520, 521, 522, 523, 524, 532, 533, 534, 542,
    543, 544, 545, 546, 547, 548, 549, 550, 551, 580, 581, 590, 591, 592, 593,
    3,   255, 259, 519, 525, 531, 535, 541, 552, 579, 582, 589, 594, -1,
};
constexpr size_t kCodeCount = sizeof(kCodes) / sizeof(kCodes[0]);

bool IsKnown(int32_t a) {
    return (a >= 0 && a <= 2) || (a >= 256 && a <= 258) || (a >= 520 && a <= 524) ||
           (a >= 532 && a <= 534) || (a >= 542 && a <= 551) || a == 580 || a == 581 ||
           (a >= 590 && a <= 593);
}

bool IsGuarded(int32_t a) {
    return a == 542 || a == 544 || a == 546 || a == 548 || a == 580 || a == 581 ||
           (a >= 590 && a <= 593);
}

bool IsBracketed(int32_t a) {
    return a >= 520 && a != 532 && a != 533 && a != 534;
}

bool AllDial(const std::string& s) {
    for (char c : s) {
        if (!IsDialCharacter(c))
            return false;
    }
    return true;
}

// Dial characters and the upper-case letters of a memory name (">SM1").
bool AllDialOrUpper(const std::string& s) {
    for (char c : s) {
        if (!IsDialCharacter(c) && !(c >= 'A' && c <= 'Z'))
            return false;
    }
    return true;
}

bool StartsWith(const std::string& s, const std::string& prefix) {
    return s.compare(0, prefix.size(), prefix) == 0;
}

// The characters between a dial line's prefix and its suffix are all dial characters or
// upper-case letters.
void CheckDialLine(const std::string& line, const std::string& prefix, const std::string& suffix) {
    N95_FUZZ_CHECK(line.size() >= prefix.size() + suffix.size());
    N95_FUZZ_CHECK(StartsWith(line, prefix));
    N95_FUZZ_CHECK(line.compare(line.size() - suffix.size(), suffix.size(), suffix) == 0);
    N95_FUZZ_CHECK(
        AllDialOrUpper(line.substr(prefix.size(), line.size() - prefix.size() - suffix.size())));
}

// A dial action gives `count` lines for every text of dial characters, none for a text
// holding anything but dial characters and upper-case letters.
void CheckDialGuard(const std::vector<std::string>& lines, const std::string& text, size_t count) {
    if (AllDial(text))
        N95_FUZZ_CHECK(lines.size() == count);
    if (!AllDialOrUpper(text))
        N95_FUZZ_CHECK(lines.empty());
    N95_FUZZ_CHECK(lines.empty() || lines.size() == count);
}

}  // namespace

int FuzzCommands(const uint8_t* data, size_t size) {
    TFuzzInput in(data, size);
    const uint8_t selector = in.U8();
    const int32_t action =
        selector < kCodeCount ? kCodes[selector] : static_cast<int32_t>(in.U32());
    const std::string text = in.Rest();

    const std::vector<std::string> lines = MakeTestCommands(action, text);

    for (const std::string& line : lines) {
        N95_FUZZ_CHECK(!line.empty() && line.back() == '\r');
        for (size_t i = 0; i + 1 < line.size(); ++i) {
            const unsigned char c = static_cast<unsigned char>(line[i]);
            N95_FUZZ_CHECK(c != '\r' && c != '\n');
            N95_FUZZ_CHECK(c >= 0x20 && c < 0x7F);
        }
    }

    if (!IsKnown(action) || (IsGuarded(action) && text.empty())) {
        N95_FUZZ_CHECK(lines.empty());
        return 0;
    }
    if (action == 0 || action == 256) {
        CheckDialGuard(lines, text, 1);
        if (!lines.empty()) {
            CheckDialLine(lines[0], "ATD", ";\r");
            N95_FUZZ_CHECK(lines[0] == "ATD" + text + ";\r");
        }
    } else if (action == 532) {
        CheckDialGuard(lines, text, 3);
        if (!lines.empty()) {
            CheckDialLine(lines[2], "ATDT", "\r");
            N95_FUZZ_CHECK(lines[2] == "ATDT" + text + "\r");
        }
    } else if (IsBracketed(action)) {
        N95_FUZZ_CHECK(lines.size() == 3);
        N95_FUZZ_CHECK(lines[0] == "AT*NTestSystem=1\r");
        N95_FUZZ_CHECK(lines[2] == "AT*NTestSystem=0\r");
        N95_FUZZ_CHECK(StartsWith(lines[1], "AT*N"));
    } else {
        N95_FUZZ_CHECK(!lines.empty());
    }
    return 0;
}

}  // namespace n95::fuzz

N95_FUZZ_ENTRY(n95::fuzz::FuzzCommands)
