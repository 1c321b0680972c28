#include "host/outputs/FrameRow.h"

#include "trace/MessageClass.h"
#include "trace/Throttle.h"

namespace n95::host {

TFrameCode DescribeFrameCode(std::string_view payload) {
    TFrameCode result;
    if (payload.size() < 4)
        return result;
    const auto byte = [&](int i) {
        return static_cast<uint32_t>(static_cast<uint8_t>(payload[i]));
    };
    result.HasCode = true;
    result.Code = byte(0) << 24 | byte(1) << 16 | byte(2) << 8 | byte(3);
    result.Normalised = n95::NormaliseMessageCode(result.Code);
    result.Class = n95::MessageClassOf(result.Normalised);
    return result;
}

uint16_t FrameThrottleKey(const uint8_t message[3]) {
    return n95::ThrottleKey(message[0], message[1], message[2]);
}

bool IsThrottledKey(uint16_t key) {
    return n95::TThrottle::IntervalOf(key) > 0.0;
}

}  // namespace n95::host
