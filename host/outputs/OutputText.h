// Text helpers shared by the output writers: numbers through std::to_chars, message codes
// in hexadecimal, JSON strings and XML text escaped. Each appends to `out`; pure functions,
// safe from any thread.
#pragma once

#include <cstdint>
#include <string>

namespace n95::host {

void AppendInt(std::string& out, int64_t value);
// `value` with exactly `decimals` digits after the point.
void AppendFixed(std::string& out, double value, int decimals);
// "0x" and eight upper-case hexadecimal digits.
void AppendCode(std::string& out, uint32_t code);
// A JSON string literal: quotes, backslashes and control characters escaped.
void AppendJsonString(std::string& out, const std::string& text);
// XML character data: markup characters escaped, control characters other than tab dropped.
void AppendXmlText(std::string& out, const std::string& text);

}  // namespace n95::host
