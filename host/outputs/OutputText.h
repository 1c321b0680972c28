// Text helpers shared by the output writers: numbers through std::to_chars, message codes
// in hexadecimal, JSON strings and XML text escaped and made valid UTF-8. Each appends to `out`;
// pure functions, safe from any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace n95::host {

void AppendInt(std::string& out, int64_t value);
// `value` with exactly `decimals` digits after the point, as std::to_chars writes it
// (correctly rounded, ties to even, "-" before a negative value that rounds to zero).
void AppendFixed(std::string& out, double value, int decimals);
// "0x" and eight upper-case hexadecimal digits.
void AppendCode(std::string& out, uint32_t code);

// The same into a character buffer, for rows built without a string: each writes at `out`
// and returns the end. Room needed: kMaxIntChars, kMaxFixedChars (decimals <= 9) and
// kCodeChars.
inline constexpr std::size_t kMaxIntChars = 20;
inline constexpr std::size_t kMaxFixedChars = 320;
inline constexpr std::size_t kCodeChars = 10;
char* PutInt(char* out, int64_t value);
char* PutFixed(char* out, double value, int decimals);
char* PutCode(char* out, uint32_t code);
// Every text an output carries (a capture's or a device's name, times) goes through the two
// functions below, which first make it well-formed UTF-8: each ill-formed sequence (a stray
// continuation byte, a truncated sequence, an overlong form, a surrogate, a value beyond
// U+10FFFF, a byte that never occurs in UTF-8) becomes U+FFFD, one per maximal ill-formed
// part as Unicode recommends. A file name may hold any byte; the file must still parse.

// `text` with its ill-formed sequences replaced by U+FFFD.
std::string ValidUtf8(std::string_view text);

// A JSON string literal of `text` made valid UTF-8: quotes and backslashes escaped, control
// characters (C0, DEL and C1) written as \u escapes.
void AppendJsonString(std::string& out, std::string_view text);
// XML character data (also the value of an attribute in double quotes) of `text` made valid
// UTF-8: the markup characters < > & " escaped (so "]]>" cannot end anything), control
// characters other than tab dropped (XML 1.0 allows no C0 control but tab, LF and CR, even
// escaped; LF, CR, DEL and C1 go too, since a title is one line), and the non-characters
// U+FFFE and U+FFFF, which XML forbids, replaced by U+FFFD.
void AppendXmlText(std::string& out, std::string_view text);

}  // namespace n95::host
