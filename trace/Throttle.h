// Per-message throttle of the decode chain.
//
// Six message keys carry high-rate measurements; each of them is let through at most once per
// interval (0.5 s or 1 s, measured in the port's time base), so that the external decoder and
// the record queue are not flooded. Every other key passes untouched.
//
// Threading: not thread-safe; the decoder calls it from DecodeData only.
#pragma once

#include <cstdint>
#include <string>

#include "platform/DateTime.h"

namespace n95 {

// The two minimum intervals, in days: the doubles nearest to 0.5/86400 and 1/86400.
inline constexpr TDateTime kThrottleHalfSecond = SecondsToDays(0.5);
inline constexpr TDateTime kThrottleOneSecond = SecondsToDays(1.0);

// The throttle key of a frame whose first three header bytes are b0, b1, b2:
// (b0*4096 + b1*64 + b2) mod 65536. Only the low nibble of b0 counts, and b1*64 overlaps b2,
// so different byte triples may share a key (01 01 00 and 01 00 40 both give 0x1040).
uint16_t ThrottleKey(uint8_t b0, uint8_t b1, uint8_t b2);

#pragma pack(push, 1)
// One gated key's state. Seen: the key has passed at least once. Last: the port time stamp
// (days) of the last frame with this key that passed.
struct TThrottleEntry {
    bool Seen;
    double Last;
};
#pragma pack(pop)
static_assert(sizeof(TThrottleEntry) == 9);

// The six throttle entries, for the keys 0x1000, 0x1040, 0x3080, 0x3081 (0.5 s) and 0x30C0,
// 0x30C1 (1 s). All entries start unseen and are never reset.
class TThrottle {
public:
    static constexpr int kEntryCount = 6;

    // Decides whether `frame` passes. `frame` is a delivered frame (normalised 10-byte header
    // followed by the payload); its first three bytes make the key. A frame shorter than
    // three bytes carries no key and passes.
    //
    // `now` is the time source (a callable returning TDateTime, day-based). It is called
    // exactly once for a frame with a gated key and never for any other frame, so ungated
    // frames cost no port call.
    //
    // Gate: an unseen entry becomes seen, records the time and passes; a seen entry passes
    // when at least its interval has elapsed since Last (and records the time); otherwise the
    // frame is rejected and the entry is left unchanged. A frame that passes here updates its
    // entry even if a later step of the chain drops it.
    template <typename NowFn>
    bool Pass(const std::string& frame, NowFn&& now) {
        if (frame.size() < 3)
            return true;
        const int slot =
            SlotOf(ThrottleKey(static_cast<uint8_t>(frame[0]), static_cast<uint8_t>(frame[1]),
                               static_cast<uint8_t>(frame[2])));
        if (slot < 0)
            return true;
        return Gate(slot, static_cast<TDateTime>(now()));
    }

    // The entry of a gated key, or nullptr for an ungated key.
    const TThrottleEntry* Find(uint16_t key) const;

    // The minimum interval (days) of a gated key, or 0 for an ungated key.
    static TDateTime IntervalOf(uint16_t key);

private:
    // Index of `key` in the entry table, or -1 when the key is not gated.
    static int SlotOf(uint16_t key);
    bool Gate(int slot, TDateTime now);

    TThrottleEntry Entries[kEntryCount] = {};
};

}  // namespace n95
