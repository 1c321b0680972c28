// What the frames listing shows of a trace frame beyond its header: the message code a
// record of the frame would carry, and its class as the plug-in classifies it.
#pragma once

#include <cstdint>
#include <string_view>

namespace n95::host {

// The message code of a record is set by the WCDMA decoder library. The bundled one
// (inhouse/tolvane) takes the first four payload bytes, big-endian, and rejects a frame with
// fewer than four: such a frame never becomes a record and has no code. The class is that of
// the normalised code, computed by the library's own functions (trace/MessageClass).
struct TFrameCode {
    bool HasCode = false;
    uint32_t Code = 0;        // as the record carries it
    uint32_t Normalised = 0;  // NormaliseMessageCode(Code)
    int Class = -1;           // MessageClassOf(Normalised): 0..3, or -1 for none
};

TFrameCode DescribeFrameCode(std::string_view payload);

// The plug-in's throttle key of the message bytes b0..b2 (trace/Throttle's ThrottleKey), and
// whether the throttle gates it.
uint16_t FrameThrottleKey(const uint8_t message[3]);
bool IsThrottledKey(uint16_t key);

}  // namespace n95::host
