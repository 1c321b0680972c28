#include "trace/Throttle.h"

namespace n95 {

namespace {

struct TGatedKey {
    uint16_t Key;
    TDateTime Interval;
};

constexpr TGatedKey kGatedKeys[TThrottle::kEntryCount] = {
    {0x1000, kThrottleHalfSecond}, {0x1040, kThrottleHalfSecond}, {0x3080, kThrottleHalfSecond},
    {0x3081, kThrottleHalfSecond}, {0x30C0, kThrottleOneSecond},  {0x30C1, kThrottleOneSecond},
};

}  // namespace

uint16_t ThrottleKey(uint8_t b0, uint8_t b1, uint8_t b2) {
    // The sum is taken in 32 bits and cut to 16: the high nibble of b0 falls off.
    return static_cast<uint16_t>(b0 * 4096u + b1 * 64u + b2);
}

int TThrottle::SlotOf(uint16_t key) {
    for (int i = 0; i < kEntryCount; ++i) {
        if (kGatedKeys[i].Key == key)
            return i;
    }
    return -1;
}

TDateTime TThrottle::IntervalOf(uint16_t key) {
    const int slot = SlotOf(key);
    return slot < 0 ? 0.0 : kGatedKeys[slot].Interval;
}

const TThrottleEntry* TThrottle::Find(uint16_t key) const {
    const int slot = SlotOf(key);
    return slot < 0 ? nullptr : &Entries[slot];
}

bool TThrottle::Gate(int slot, TDateTime now) {
    TThrottleEntry& entry = Entries[slot];
    if (!entry.Seen) {
        entry.Seen = true;
        entry.Last = now;
        return true;
    }
    // Written as a plain ">=": an elapsed time of exactly the interval passes.
    if (now - entry.Last >= kGatedKeys[slot].Interval) {
        entry.Last = now;
        return true;
    }
    return false;
}

}  // namespace n95
