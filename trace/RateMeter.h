// The data rate that the decoder reports through GetDataRate.
//
// The decoder counts the bytes of every delivered frame in a running 32-bit total that wraps
// around; the meter turns two samples of that total, and the local clock at each, into bytes
// per second.
//
// Threading: not thread-safe; the decoder calls it from the host's calling thread.
#pragma once

#include <cstdint>

#include "platform/DateTime.h"

namespace n95 {

class TRateMeter {
public:
    // Bytes per second since the previous call, rounded to the nearest integer (ties to
    // even) and clamped to INT32_MAX. Returns 0 on the first call, and when no time has
    // passed or the clock went back (elapsed <= 0, or not a number).
    //
    // `byteCount` is the running total, which wraps modulo 2^32: the byte difference is taken
    // modulo 2^32, so the rate stays right across the wrap (as long as fewer than 2^32 bytes
    // arrive between two calls). `now` is the local clock, day-based.
    //
    // Every call stores `byteCount` and `now` for the next one.
    int32_t Sample(uint32_t byteCount, TDateTime now);

    // Whether a previous call exists. A flag rather than "RateTime == 0": a clock reading of
    // exactly 0 is then an ordinary sample and not confused with "no sample yet".
    bool HasSample() const { return Sampled; }
    uint32_t RateBytes() const { return LastBytes; }
    TDateTime RateTime() const { return LastTime; }

private:
    bool Sampled = false;
    uint32_t LastBytes = 0;
    TDateTime LastTime = 0.0;
};

}  // namespace n95
