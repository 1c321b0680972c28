// The civil-calendar conversions: fixed points on both sides of the epochs and of the leap
// rules, and every day of the years 1..9999 against a day-by-day calendar walk.
#include <gtest/gtest.h>

#include "platform/DateTime.h"

namespace n95 {
namespace {

TEST(DateTimeTest, KnownDatesAndTheirDayCounts) {
    struct Case {
        int64_t Y;
        unsigned M, D;
        int64_t Days;
    };
    const Case cases[] = {
        {1970, 1, 1, 0},      {1899, 12, 30, -25569}, {1900, 2, 28, -25509},
        {1900, 3, 1, -25508}, {2000, 2, 29, 11016},   {1600, 2, 29, -135081},
        {2038, 1, 19, 24855}, {1, 1, 1, -719162},     {9999, 12, 31, 2932896},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.Y) + "-" + std::to_string(c.M) + "-" + std::to_string(c.D));
        EXPECT_EQ(DaysFromCivil(c.Y, c.M, c.D), c.Days);
        int64_t y = 0;
        unsigned m = 0, d = 0;
        CivilFromDays(c.Days, y, m, d);
        EXPECT_EQ(y, c.Y);
        EXPECT_EQ(m, c.M);
        EXPECT_EQ(d, c.D);
    }
}

// Walks the calendar one day at a time with the month lengths and the Gregorian leap rule,
// and checks both conversions on every day.
TEST(DateTimeTest, EveryDayFromYearOneToYear9999) {
    auto leap = [](int64_t y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; };
    const unsigned lengths[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    int64_t y = 1;
    unsigned m = 1, d = 1;
    int failures = 0;
    for (int64_t days = DaysFromCivil(1, 1, 1); y <= 9999 && failures < 5; ++days) {
        int64_t cy = 0;
        unsigned cm = 0, cd = 0;
        CivilFromDays(days, cy, cm, cd);
        if (DaysFromCivil(y, m, d) != days || cy != y || cm != m || cd != d) {
            ADD_FAILURE() << y << "-" << m << "-" << d << " is day " << days << "; got "
                          << DaysFromCivil(y, m, d) << " and " << cy << "-" << cm << "-" << cd;
            ++failures;
        }
        const unsigned length = m == 2 && leap(y) ? 29 : lengths[m - 1];
        if (++d > length) {
            d = 1;
            if (++m > 12) {
                m = 1;
                ++y;
            }
        }
    }
    EXPECT_EQ(y, 10000);
}

}  // namespace
}  // namespace n95
