#include "trace/RateMeter.h"

#include <cmath>
#include <limits>

#include <gtest/gtest.h>

namespace n95 {
namespace {

constexpr TDateTime kStart = 45000.0;
// 1/64 day = 1350 s exactly; kStart + it is exact too, so rates with a .5 fraction are ties.
constexpr TDateTime kExactSpan = 1.0 / 64;
constexpr TDateTime kShortSpan = 1.0 / 65536;

TEST(RateMeterTest, FirstCallGivesZeroAndStores) {
    TRateMeter meter;
    EXPECT_FALSE(meter.HasSample());
    EXPECT_EQ(meter.Sample(123456, kStart), 0);
    EXPECT_TRUE(meter.HasSample());
    EXPECT_EQ(meter.RateBytes(), 123456u);
    EXPECT_EQ(meter.RateTime(), kStart);
}

TEST(RateMeterTest, RateBetweenTwoSamples) {
    struct TCase {
        const char* Name;
        uint32_t FirstBytes, SecondBytes;
        TDateTime Elapsed;
        int32_t Rate;
    };
    const TCase cases[] = {
        {"1000 bytes in 2 s", 0, 1000, SecondsToDays(2), 500},
        {"nothing arrived", 777, 777, SecondsToDays(2), 0},
        {"2.5 rounds to 2", 0, 3375, kExactSpan, 2},
        {"3.5 rounds to 4", 0, 4725, kExactSpan, 4},
        {"1.5 rounds to 2", 0, 2025, kExactSpan, 2},
        {"0.5 rounds to 0", 0, 675, kExactSpan, 0},
        {"just above a tie", 0, 3376, kExactSpan, 3},
        {"wrap at 2^32", 0xFFFFFF00u, 0x00000100u, SecondsToDays(2), 256},
        {"cross 2^31", 0x7FFFFF00u, 0x80000100u, SecondsToDays(2), 256},
        {"zero elapsed", 0, 1000, 0.0, 0},
        {"clock went back", 0, 1000, -SecondsToDays(2), 0},
        {"clamped", 0, 0xFFFFFFFFu, SecondsToDays(1e-3), INT32_MAX},
        // 2^-16 day is exactly 1.318359375 s: rates of 2147483645.72, ...46.48 and ...48.0.
        {"rounds up below the clamp", 0, 2831155197u, kShortSpan, 2147483646},
        {"rounds down below the clamp", 0, 2831155198u, kShortSpan, 2147483646},
        {"just over the clamp", 0, 2831155200u, kShortSpan, INT32_MAX},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.Name);
        TRateMeter meter;
        ASSERT_EQ(meter.Sample(c.FirstBytes, kStart), 0);
        EXPECT_EQ(meter.Sample(c.SecondBytes, kStart + c.Elapsed), c.Rate);
        // Every call stores its sample, whatever it returned.
        EXPECT_EQ(meter.RateBytes(), c.SecondBytes);
        EXPECT_EQ(meter.RateTime(), kStart + c.Elapsed);
    }
}

TEST(RateMeterTest, NotANumberClockGivesZero) {
    TRateMeter meter;
    meter.Sample(0, kStart);
    EXPECT_EQ(meter.Sample(1000, std::numeric_limits<double>::quiet_NaN()), 0);
}

TEST(RateMeterTest, EachCallMeasuresFromThePreviousOne) {
    TRateMeter meter;
    meter.Sample(0, kStart);
    EXPECT_EQ(meter.Sample(2000, kStart), 0);  // no time: 0, but stored
    // Only the 1000 bytes since the stored sample count.
    EXPECT_EQ(meter.Sample(3000, kStart + SecondsToDays(4)), 250);
}

TEST(RateMeterTest, SampleAtClockZeroIsASample) {
    TRateMeter meter;
    meter.Sample(0, 0.0);
    EXPECT_EQ(meter.Sample(1350, kExactSpan), 1);
}

}  // namespace
}  // namespace n95
