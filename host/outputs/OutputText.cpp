#include "host/outputs/OutputText.h"

#include <charconv>
#include <cstdio>

namespace n95::host {

namespace {

constexpr char kHex[] = "0123456789ABCDEF";

}  // namespace

void AppendInt(std::string& out, int64_t value) {
    char buffer[24];
    const auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
    out.append(buffer, result.ptr);
}

void AppendFixed(std::string& out, double value, int decimals) {
    char buffer[64];
    const auto result =
        std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::fixed, decimals);
    out.append(buffer, result.ptr);
}

void AppendCode(std::string& out, uint32_t code) {
    out += "0x";
    for (int shift = 28; shift >= 0; shift -= 4)
        out.push_back(kHex[(code >> shift) & 15]);
}

void AppendJsonString(std::string& out, const std::string& text) {
    out.push_back('"');
    for (const char c : text) {
        if (c == '"' || c == '\\') {
            out.push_back('\\');
            out.push_back(c);
        } else if (static_cast<unsigned char>(c) < 0x20) {
            char buffer[8];
            std::snprintf(buffer, sizeof buffer, "\\u%04x", c);
            out += buffer;
        } else {
            out.push_back(c);
        }
    }
    out.push_back('"');
}

void AppendXmlText(std::string& out, const std::string& text) {
    for (const char c : text) {
        switch (c) {
            case '<':
                out += "&lt;";
                break;
            case '>':
                out += "&gt;";
                break;
            case '&':
                out += "&amp;";
                break;
            case '"':
                out += "&quot;";
                break;
            default:
                if (static_cast<unsigned char>(c) >= 0x20 || c == '\t')
                    out.push_back(c);
        }
    }
}

}  // namespace n95::host
