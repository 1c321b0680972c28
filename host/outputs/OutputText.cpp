#include "host/outputs/OutputText.h"

#include <charconv>
#include <cmath>
#include <cstdio>

namespace n95::host {

namespace {

constexpr char kHex[] = "0123456789ABCDEF";
constexpr std::string_view kReplacement = "\xEF\xBF\xBD";  // U+FFFD in UTF-8

// C0 controls, DEL and C1 controls.
bool IsControl(char32_t c) {
    return c < 0x20 || (c >= 0x7F && c < 0xA0);
}

// The length of the well-formed UTF-8 sequence at the start of `text` (1 to 4), or 0 with
// `*bad` set to the bytes of its maximal ill-formed part (at least 1). The ranges of the
// second byte are those of Unicode's table of well-formed sequences: they exclude overlong
// forms, surrogates and values beyond U+10FFFF.
std::size_t SequenceLength(std::string_view text, std::size_t* bad) {
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
    const unsigned char lead = byte(0);
    if (lead < 0x80)
        return 1;
    std::size_t length = 0;
    unsigned char low = 0x80, high = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        low = lead == 0xE0 ? 0xA0 : 0x80;
        high = lead == 0xED ? 0x9F : 0xBF;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        low = lead == 0xF0 ? 0x90 : 0x80;
        high = lead == 0xF4 ? 0x8F : 0xBF;
    } else {
        *bad = 1;
        return 0;
    }
    std::size_t i = 1;
    for (; i < length && i < text.size(); ++i) {
        const unsigned char b = byte(i);
        if (b < (i == 1 ? low : 0x80) || b > (i == 1 ? high : 0xBF))
            break;
    }
    if (i == length)
        return length;
    *bad = i;
    return 0;
}

// Calls `each(codePoint, bytes)` for every character of `text`, an ill-formed part being
// U+FFFD with the bytes of U+FFFD.
template <typename TEach>
void ForEachCodePoint(std::string_view text, TEach&& each) {
    while (!text.empty()) {
        std::size_t bad = 0;
        const std::size_t length = SequenceLength(text, &bad);
        if (length == 0) {
            each(char32_t{0xFFFD}, kReplacement);
            text.remove_prefix(bad);
            continue;
        }
        const auto b = [&](std::size_t i) { return static_cast<char32_t>(text[i] & 0x3F); };
        const auto lead = static_cast<unsigned char>(text[0]);
        char32_t c = lead;
        if (length == 2)
            c = (lead & 0x1Fu) << 6 | b(1);
        else if (length == 3)
            c = (lead & 0x0Fu) << 12 | b(1) << 6 | b(2);
        else if (length == 4)
            c = (lead & 0x07u) << 18 | b(1) << 12 | b(2) << 6 | b(3);
        each(c, text.substr(0, length));
        text.remove_prefix(length);
    }
}

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

std::string ValidUtf8(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    ForEachCodePoint(text, [&](char32_t, std::string_view bytes) { out += bytes; });
    return out;
}

void AppendJsonString(std::string& out, std::string_view text) {
    out.push_back('"');
    ForEachCodePoint(text, [&](char32_t c, std::string_view bytes) {
        if (c == '"' || c == '\\') {
            out.push_back('\\');
            out.push_back(static_cast<char>(c));
        } else if (IsControl(c)) {
            char buffer[8];
            std::snprintf(buffer, sizeof buffer, "\\u%04x", static_cast<unsigned>(c));
            out += buffer;
        } else {
            out += bytes;
        }
    });
    out.push_back('"');
}

void AppendXmlText(std::string& out, std::string_view text) {
    ForEachCodePoint(text, [&](char32_t c, std::string_view bytes) {
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
            case 0xFFFE:
            case 0xFFFF:
                out += kReplacement;
                break;
            default:
                if (!IsControl(c) || c == '\t')
                    out += bytes;
        }
    });
}

}  // namespace n95::host
