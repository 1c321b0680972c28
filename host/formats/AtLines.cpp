#include "host/formats/AtLines.h"

#include <cstdio>

namespace n95::host {

std::string VisibleText(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (c == '\r') {
            out += "<CR>";
        } else if (c == '\n') {
            out += "<LF>";
        } else if (byte < 0x20 || byte == 0x7F) {
            char buffer[8];
            std::snprintf(buffer, sizeof buffer, "<%02X>", byte);
            out += buffer;
        } else {
            out.push_back(c);
        }
    }
    return out;
}

std::vector<std::string> TAtLineSplitter::Take(const char* data, std::size_t size) {
    std::vector<std::string> lines;
    for (std::size_t i = 0; i < size; ++i) {
        Partial.push_back(data[i]);
        if (data[i] == '\r') {
            lines.push_back(std::move(Partial));
            Partial.clear();
        }
    }
    return lines;
}

}  // namespace n95::host
