#include "plugin/PluginExports.h"

#include "decoder/NokiaMSN95Decode.h"

namespace {

// Module-level values: constant data of the library. The command catalogue, the only unit
// with start-up work, builds itself when the library loads (control/AtCommands.cpp).
const std::string kDeviceName = "N95";
constexpr uint8_t kDeviceFrequency = 3;

// Trims leading and trailing blanks and control characters (every byte at or below ' ').
std::string Trimmed(const std::string& text) {
    auto isBlank = [](char c) { return static_cast<unsigned char>(c) <= ' '; };
    std::size_t first = 0;
    std::size_t last = text.size();
    while (first < last && isBlank(text[first]))
        ++first;
    while (last > first && isBlank(text[last - 1]))
        --last;
    return text.substr(first, last - first);
}

}  // namespace

extern "C" {

void N95_CALL GetDeviceName(std::string& Name) {
    Name = Trimmed(kDeviceName);
}

bool N95_CALL GetDeviceType() {
    return true;
}

uint8_t N95_CALL GetDeviceFrequency() {
    return kDeviceFrequency;
}

THandSetDecode* N95_CALL GetDllDevice(THostPort* Port, THostContext* Context) {
    return new TNokiaMSN95Decode(Port, Context);
}

}  // extern "C"
