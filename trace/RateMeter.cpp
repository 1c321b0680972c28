#include "trace/RateMeter.h"

#include <cmath>

namespace n95 {

namespace {

// Rounds a non-negative finite value below 2^31 to the nearest integer, ties to even.
// Done by hand so that the result does not depend on the floating-point rounding mode that
// the host process happens to run with.
int32_t RoundHalfToEven(double value) {
    const double whole = std::floor(value);
    const double fraction = value - whole;
    int32_t result = static_cast<int32_t>(whole);
    if (fraction > 0.5 || (fraction == 0.5 && (result & 1) != 0))
        ++result;
    return result;
}

}  // namespace

int32_t TRateMeter::Sample(uint32_t byteCount, TDateTime now) {
    int32_t rate = 0;
    if (Sampled) {
        // Unsigned subtraction: the difference is right across the wrap of the total.
        const uint32_t bytes = byteCount - LastBytes;
        const double elapsedSeconds = (now - LastTime) * kSecondsPerDay;
        if (elapsedSeconds > 0.0) {  // false for zero, negative and NaN
            const double perSecond = static_cast<double>(bytes) / elapsedSeconds;
            // The clamp also catches +inf (a tiny elapsed time).
            rate = perSecond >= 2147483647.0 ? INT32_MAX : RoundHalfToEven(perSecond);
        }
    }
    Sampled = true;
    LastBytes = byteCount;
    LastTime = now;
    return rate;
}

}  // namespace n95
