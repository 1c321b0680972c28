#include "host/outputs/OutputText.h"

#include <charconv>
#include <cmath>
#include <cstdio>

namespace n95::host {

namespace {

constexpr char kHex[] = "0123456789ABCDEF";

}  // namespace

char* PutInt(char* out, int64_t value) {
    return std::to_chars(out, out + kMaxIntChars, value).ptr;
}

char* PutFixed(char* out, double value, int decimals) {
    // Below 2^33 the product with 10^decimals is off the exact one by at most 2^-20, so
    // unless its fraction lies that close to a half, rounding it gives the digits that
    // std::to_chars gives for the exact value. Everything else goes to std::to_chars.
    static constexpr double kPowers[] = {1e0, 1e1, 1e2, 1e3, 1e4, 1e5, 1e6, 1e7, 1e8, 1e9};
    static constexpr uint64_t kIntPowers[] = {1,      10,      100,      1000,      10000,
                                              100000, 1000000, 10000000, 100000000, 1000000000};
    if (decimals >= 0 && decimals <= 9) {
        const double scaled = std::fabs(value) * kPowers[decimals];
        if (scaled < 8589934592.0) {  // 2^33; false for NaN
            const double whole = std::floor(scaled);
            const double fraction = scaled - whole;
            if (std::fabs(fraction - 0.5) > 1e-5) {
                const auto units = static_cast<uint64_t>(whole) + (fraction > 0.5 ? 1 : 0);
                if (std::signbit(value))
                    *out++ = '-';
                out = std::to_chars(out, out + kMaxIntChars, units / kIntPowers[decimals]).ptr;
                if (decimals > 0) {
                    *out++ = '.';
                    uint64_t rest = units % kIntPowers[decimals];
                    for (int i = decimals - 1; i >= 0; --i) {
                        out[i] = static_cast<char>('0' + rest % 10);
                        rest /= 10;
                    }
                    out += decimals;
                }
                return out;
            }
        }
    }
    return std::to_chars(out, out + kMaxFixedChars, value, std::chars_format::fixed, decimals).ptr;
}

char* PutCode(char* out, uint32_t code) {
    *out++ = '0';
    *out++ = 'x';
    for (int shift = 28; shift >= 0; shift -= 4)
        *out++ = kHex[(code >> shift) & 15];
    return out;
}

void AppendInt(std::string& out, int64_t value) {
    char buffer[kMaxIntChars];
    out.append(buffer, PutInt(buffer, value));
}

void AppendFixed(std::string& out, double value, int decimals) {
    if (decimals > 9) {
        char buffer[kMaxFixedChars + 16];
        const auto result = std::to_chars(buffer, buffer + sizeof buffer, value,
                                          std::chars_format::fixed, decimals);
        out.append(buffer, result.ptr);
        return;
    }
    char buffer[kMaxFixedChars];
    out.append(buffer, PutFixed(buffer, value, decimals));
}

void AppendCode(std::string& out, uint32_t code) {
    char buffer[kCodeChars];
    out.append(buffer, PutCode(buffer, code));
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
