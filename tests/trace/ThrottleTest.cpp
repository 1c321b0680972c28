#include "trace/Throttle.h"

#include <bit>
#include <cmath>
#include <string>

#include <gtest/gtest.h>

namespace n95 {
namespace {

// Fields of packed structs may sit at odd addresses: compare copies, since the test macros
// bind their arguments to references.
double Value(double v) {
    return v;
}

// A delivered frame: 10-byte header starting with the three message bytes, then a payload.
std::string Frame(uint8_t b0, uint8_t b1, uint8_t b2) {
    std::string frame(14, '\x55');
    frame[0] = static_cast<char>(b0);
    frame[1] = static_cast<char>(b1);
    frame[2] = static_cast<char>(b2);
    return frame;
}

// A time source that counts how often the throttle reads it.
struct TClock {
    TDateTime Now = 45000.0;
    int Reads = 0;
    TDateTime operator()() {
        ++Reads;
        return Now;
    }
};

TEST(ThrottleTest, IntervalsAreTheExactDoubles) {
    EXPECT_EQ(std::bit_cast<uint64_t>(kThrottleHalfSecond), 0x3ED845C8A0CE5129u);
    EXPECT_EQ(std::bit_cast<uint64_t>(kThrottleOneSecond), 0x3EE845C8A0CE5129u);
    EXPECT_EQ(TThrottle::IntervalOf(0x1000), kThrottleHalfSecond);
    EXPECT_EQ(TThrottle::IntervalOf(0x30C1), kThrottleOneSecond);
    EXPECT_EQ(TThrottle::IntervalOf(0x1001), 0.0);
}

TEST(ThrottleTest, KeyKeepsOnlyLowSixteenBitsOfTheSum) {
    struct TCase {
        uint8_t B0, B1, B2;
        uint16_t Key;
    };
    const TCase cases[] = {
        {0x01, 0x00, 0x00, 0x1000}, {0x11, 0x00, 0x00, 0x1000},  // high nibble of b0 lost
        {0x01, 0x01, 0x00, 0x1040}, {0x01, 0x00, 0x40, 0x1040},  // b1*64 overlaps b2
        {0x03, 0x02, 0x00, 0x3080}, {0x03, 0x02, 0x01, 0x3081}, {0x03, 0x03, 0x00, 0x30C0},
        {0x03, 0x03, 0x01, 0x30C1}, {0x03, 0x02, 0x40, 0x30C0}, {0xFF, 0xFF, 0xFF, 0x30BF},
        {0x00, 0x00, 0x00, 0x0000},
    };
    for (const TCase& c : cases) {
        EXPECT_EQ(ThrottleKey(c.B0, c.B1, c.B2), c.Key)
            << std::hex << int(c.B0) << " " << int(c.B1) << " " << int(c.B2);
    }
}

TEST(ThrottleTest, GateFollowsEachKeysInterval) {
    // Times are seconds after the first frame of the key.
    struct TCase {
        uint8_t B0, B1, B2;
        double SecondFrame;
        bool SecondPasses;
    };
    const TCase cases[] = {
        {0x01, 0x00, 0x00, 0.4, false}, {0x01, 0x00, 0x00, 0.6, true},
        {0x01, 0x01, 0x00, 0.4, false}, {0x01, 0x01, 0x00, 0.6, true},
        {0x03, 0x02, 0x00, 0.4, false}, {0x03, 0x02, 0x01, 0.6, true},
        {0x03, 0x03, 0x00, 0.5, false}, {0x03, 0x03, 0x00, 0.9, false},
        {0x03, 0x03, 0x01, 1.1, true},  {0x01, 0x00, 0x00, -5.0, false},  // clock went back
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(testing::Message() << std::hex << int(c.B0) << " " << int(c.B1) << " "
                                        << int(c.B2) << std::dec << " at " << c.SecondFrame);
        TThrottle throttle;
        TClock clock;
        const std::string frame = Frame(c.B0, c.B1, c.B2);
        const uint16_t key = ThrottleKey(c.B0, c.B1, c.B2);
        ASSERT_TRUE(throttle.Pass(frame, clock));
        const TDateTime first = clock.Now;
        EXPECT_TRUE(throttle.Find(key)->Seen);
        EXPECT_EQ(Value(throttle.Find(key)->Last), first);

        clock.Now = first + SecondsToDays(c.SecondFrame);
        EXPECT_EQ(throttle.Pass(frame, clock), c.SecondPasses);
        EXPECT_EQ(clock.Reads, 2);
        // A pass moves the entry to the new time; a rejection leaves it alone.
        EXPECT_EQ(Value(throttle.Find(key)->Last), c.SecondPasses ? clock.Now : first);
    }
}

TEST(ThrottleTest, ExactlyTheIntervalPasses) {
    for (const uint16_t key : {0x1000, 0x30C0}) {
        const TDateTime interval = TThrottle::IntervalOf(key);
        const std::string frame =
            Frame(static_cast<uint8_t>(key >> 12), (key >> 6) & 0x3F, key & 0x3F);
        ASSERT_EQ(ThrottleKey(frame[0], frame[1], frame[2]), key);
        // Times 0 and the interval itself: the difference is exact.
        TThrottle throttle;
        ASSERT_TRUE(throttle.Pass(frame, [] { return 0.0; }));
        EXPECT_FALSE(throttle.Pass(frame, [&] { return std::nextafter(interval, 0.0); }));
        EXPECT_TRUE(throttle.Pass(frame, [&] { return interval; }));
        EXPECT_EQ(Value(throttle.Find(key)->Last), interval);
    }
}

TEST(ThrottleTest, SharedKeySharesOneEntry) {
    TThrottle throttle;
    TClock clock;
    ASSERT_TRUE(throttle.Pass(Frame(0x01, 0x01, 0x00), clock));
    clock.Now += SecondsToDays(0.1);
    EXPECT_FALSE(throttle.Pass(Frame(0x01, 0x00, 0x40), clock));
    EXPECT_FALSE(throttle.Pass(Frame(0x41, 0x01, 0x00), clock));  // high nibble of b0 ignored
}

TEST(ThrottleTest, EntriesAreIndependent) {
    TThrottle throttle;
    TClock clock;
    ASSERT_TRUE(throttle.Pass(Frame(0x03, 0x03, 0x00), clock));  // 0x30C0
    clock.Now += SecondsToDays(0.5);
    EXPECT_FALSE(throttle.Pass(Frame(0x03, 0x03, 0x00), clock));
    EXPECT_TRUE(throttle.Pass(Frame(0x03, 0x02, 0x00), clock));  // 0x3080: first time
    EXPECT_TRUE(throttle.Pass(Frame(0x03, 0x03, 0x01), clock));  // 0x30C1: first time
    EXPECT_FALSE(throttle.Find(0x1000)->Seen);
}

TEST(ThrottleTest, UngatedKeysPassWithoutReadingTime) {
    TThrottle throttle;
    TClock clock;
    for (int i = 0; i < 3; ++i) {
        EXPECT_TRUE(throttle.Pass(Frame(0x01, 0x00, 0x01), clock));  // 0x1001
        EXPECT_TRUE(throttle.Pass(Frame(0x02, 0x00, 0x00), clock));  // 0x2000
    }
    EXPECT_TRUE(throttle.Pass(std::string("\x01\x00", 2), clock));  // too short for a key
    EXPECT_EQ(clock.Reads, 0);
    EXPECT_EQ(throttle.Find(0x1001), nullptr);
    for (const uint16_t key : {0x1000, 0x1040, 0x3080, 0x3081, 0x30C0, 0x30C1}) {
        ASSERT_NE(throttle.Find(key), nullptr);
        EXPECT_FALSE(throttle.Find(key)->Seen);
    }
}

}  // namespace
}  // namespace n95
