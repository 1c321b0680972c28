// The text of the handset's test-control AT commands: the trace switch lines and the
// command lines for the host's test actions. Nothing here sends anything or keeps state;
// every function is pure (apart from reading the AT command catalogue) and may run on any
// thread.
//
// Every command line ends in exactly one carriage return and no line feed.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// The line that switches the handset's binary trace on (65 characters) or off
// ("AT*NTRACE=0", 12 characters).
std::string GetTraceCommand(bool On);

// The command lines for test action Action (a TActionCode, control/ActionCodes.h), in sending
// order. Params is the action's parameter text: the dial string for the dial actions (0, 256,
// 532), otherwise lines of Name=Value separated by CR, LF or CR LF. The caller owns the
// result. Unknown action codes, a failed guard (empty text for the guarded actions) and a
// dial string holding a character outside the dial set (see n95::IsDialCharacter) give an
// empty list; the one exception is the upper-case memory name of a stored number, directly
// between a ">" and the digits of its index (">SM1", ">ME12").
std::vector<std::string> MakeTestCommands(int32_t Action, const std::string& Params);

namespace n95 {

// True for the characters a dial string may hold: the dial-string characters of ITU-T
// V.250 and 3GPP TS 27.007 (0-9 * # + A-D a-d , T t P p W w ! @ I i G g >) and the
// formatting characters a handset ignores (blank - ( )). Anything else, in particular ";",
// a quote and the control characters, could end the dial command and start another one.
bool IsDialCharacter(char c);

// The value of the first line of Params whose name (the part before its first "=")
// equals Name, ignoring ASCII letter case, with no trimming. Lines without "=" never
// match. Empty when no line matches.
std::string FindParamValue(const std::string& Params, const std::string& Name);

// The position of the first character of a dial string that makes the dial actions refuse
// it (see MakeTestCommands), or std::string::npos when none does.
size_t FindRefusedDialCharacter(const std::string& Text);

// A parameter a test action reads from its parameter text, and the values it can carry:
// a value outside [Min, Max] is written cut to the parameter's width, not as given.
struct TActionParameter {
    const char* Name;
    int64_t Min, Max;
};

// What test action Action reads from its parameter text, in the order it writes them
// (empty for the dial actions, whose text is the dial string, and for the actions that
// read nothing). A parameter that is absent is written as 0.
std::vector<TActionParameter> TestActionParameters(int32_t Action);

// True for the actions that give nothing without a parameter text, whether or not they
// read a parameter from it.
bool TestActionNeedsText(int32_t Action);

// Parses a parameter value as ParseParamValue does; false for anything ParseParamValue
// turns into 0 because it is not a whole integer of the accepted forms.
bool TryParseParamValue(const std::string& Value, int32_t& Result);

// Converts a parameter value to an integer; anything that is not a whole integer gives 0.
// Accepted: leading blanks (spaces), an optional sign, then decimal digits, or
// hexadecimal digits after "$", "x" or "0x" (either letter case). Nothing may follow the
// digits, trailing blanks included. Decimal must fit in a signed 32-bit integer
// (-2147483648 does); hexadecimal is a 32-bit pattern of at most 0xFFFFFFFF, so $FFFFFFFF
// is -1, and a minus sign negates the pattern modulo 2^32. Anything larger gives 0.
int32_t ParseParamValue(const std::string& Value);

}  // namespace n95
