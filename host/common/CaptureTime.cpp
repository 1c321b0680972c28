#include "host/common/CaptureTime.h"

#include <ctime>

namespace n95::host {

TDateTime CaptureTimeToDateTime(TCaptureTime t) {
    return kUnixEpochInDays +
           (static_cast<double>(t.Seconds) + t.Nanoseconds * 1e-9) / kSecondsPerDay;
}

TCaptureTime CaptureTimeFromNanoseconds(int64_t unixNanoseconds) {
    int64_t seconds = unixNanoseconds / 1000000000;
    int64_t rest = unixNanoseconds % 1000000000;
    if (rest < 0) {
        rest += 1000000000;
        --seconds;
    }
    return {seconds, static_cast<uint32_t>(rest)};
}

TCaptureTime CaptureTimeNow() {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    return {static_cast<int64_t>(now.tv_sec), static_cast<uint32_t>(now.tv_nsec)};
}

}  // namespace n95::host
