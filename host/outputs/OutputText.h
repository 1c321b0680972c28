// Text helpers shared by the output writers: numbers through std::to_chars, message codes
// in hexadecimal, JSON strings and XML text escaped. Each appends to `out`; pure functions,
// safe from any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

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
// A JSON string literal: quotes, backslashes and control characters escaped.
void AppendJsonString(std::string& out, const std::string& text);
// XML character data: markup characters escaped, control characters other than tab dropped.
void AppendXmlText(std::string& out, const std::string& text);

}  // namespace n95::host
