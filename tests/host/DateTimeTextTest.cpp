#include "host/common/DateTimeText.h"

#include <gtest/gtest.h>

#include <cmath>

namespace n95::host {
namespace {

TEST(DateTimeTextTest, CivilDaysRoundTripAcrossLeapRules) {
    struct Case {
        int64_t Y;
        unsigned M, D;
        int64_t Days;
    };
    const Case cases[] = {
        {1970, 1, 1, 0},      {1899, 12, 30, -25569}, {2000, 2, 29, 11016},  {2000, 3, 1, 11017},
        {1900, 3, 1, -25508}, {2024, 5, 14, 19857},   {2100, 2, 28, 47540},  {2100, 3, 1, 47541},
        {1, 1, 1, -719162},   {0, 2, 29, -719469},    {-1, 12, 31, -719529}, {-400, 3, 1, -865565},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(DaysFromCivil(c.Y, c.M, c.D), c.Days) << c.Y << "-" << c.M << "-" << c.D;
        int64_t y;
        unsigned m, d;
        CivilFromDays(c.Days, y, m, d);
        EXPECT_EQ(y, c.Y);
        EXPECT_EQ(m, c.M);
        EXPECT_EQ(d, c.D);
    }
}

TEST(DateTimeTextTest, FormatsMillisecondsAndRoundsIntoTheNextDay) {
    EXPECT_EQ(FormatIso8601(MakeDateTime(2024, 5, 14, 9, 20, 0.25)), "2024-05-14T09:20:00.250Z");
    EXPECT_EQ(FormatIso8601(MakeDateTime(2023, 12, 31, 23, 59, 59.9996)),
              "2024-01-01T00:00:00.000Z");
    EXPECT_EQ(FormatIso8601(0.0), "1899-12-30T00:00:00.000Z");
    // The no-value marker and values out of range give an empty field.
    EXPECT_EQ(FormatIso8601(-9996.0), "1872-08-17T00:00:00.000Z");
    EXPECT_EQ(FormatIso8601(-9999.0), "");
    EXPECT_EQ(FormatIso8601(-1e9), "");
    EXPECT_EQ(FormatIso8601(NAN), "");
}

TEST(DateTimeTextTest, ColumnWritesWhatFormatWritesWhateverCameBefore) {
    // Repeats, a change of day either way, a rounding into the next day, the no-value
    // marker and values without text in between: the column must never show stale parts.
    const TDateTime day = MakeDateTime(2024, 5, 14, 0, 0, 0);
    const TDateTime values[] = {
        day + 0.25, day + 0.25, day + 0.5, day + 1.5, day + 1.5, day - 0.1, -9999.0, day - 0.1, NAN,
        NAN, day + 0.75, day + 0.999999, day + 1e-9, -9999.0, -9999.0, 0.0, -0.0, day + 0.75,
        day + 0.75 + 1e-9,
        // Beyond the years 1..9999, and infinities: no text, whatever came before.
        2958466.0, day, -693594.0, day, INFINITY, -INFINITY};
    TIso8601Column column;
    for (const TDateTime t : values) {
        char text[kIso8601Size];
        const std::string got(text, column.Put(text, t));
        EXPECT_EQ(got, FormatIso8601(t)) << t;
    }
}

TEST(DateTimeTextTest, ParsesGpxTimesWithZonesAndFractions) {
    struct Case {
        const char* Text;
        bool Ok;
        const char* Utc;  // formatted back, when Ok
    };
    const Case cases[] = {
        {"2024-05-14T09:20:00Z", true, "2024-05-14T09:20:00.000Z"},
        {"2024-05-14T09:20:00.123456Z", true, "2024-05-14T09:20:00.123Z"},
        {"2024-05-14T09:20:00", true, "2024-05-14T09:20:00.000Z"},
        {"2024-05-14T11:20:00+02:00", true, "2024-05-14T09:20:00.000Z"},
        {"2024-05-13T23:50:00-09:30", true, "2024-05-14T09:20:00.000Z"},
        {"2023-02-29T00:00:00Z", false, ""},
        {"2024-13-01T00:00:00Z", false, ""},
        {"2024-05-14 09:20:00Z", false, ""},
        {"2024-05-14T09:20:00.Z", false, ""},
        {"2024-05-14T09:20:00Zjunk", false, ""},
        {"2024-05-14T24:00:00Z", false, ""},
        {"", false, ""},
        {"2024-05-14T09:20:00.5", true, "2024-05-14T09:20:00.500Z"},
        {"2024-05-14T09:20:00.25+01:00", true, "2024-05-14T08:20:00.250Z"},
        {"2016-12-31T23:59:60Z", true, "2017-01-01T00:00:00.000Z"},  // a leap second
        {"2024-05-14T09:20:61Z", false, ""},
        {"2024-05-14T09:60:00Z", false, ""},
        {"2024-05-00T09:20:00Z", false, ""},
        {"2024-05-32T09:20:00Z", false, ""},
        {"2024-04-31T09:20:00Z", false, ""},
        {"2024-00-14T09:20:00Z", false, ""},
        {"2024-5-14T09:20:00Z", false, ""},
        {"2024-05-14T09:20", false, ""},
        {"2024-05-14T09:2", false, ""},
        {"2024-05-14T09:20:00 ", false, ""},
        {"2024-05-14T09:20:00+24:00", false, ""},
        {"2024-05-14T09:20:00+02:60", false, ""},
        {"2024-05-14T09:20:00+0200", false, ""},
        {"2024-05-14T09:20:00+02", false, ""},
        {"2024x05-14T09:20:00Z", false, ""},
        {"2024-0x-14T09:20:00Z", false, ""},
        {"2024-05x14T09:20:00Z", false, ""},
        {"2024-05-1xT09:20:00Z", false, ""},
        {"2024-05-14T0x:20:00Z", false, ""},
        {"2024-05-14T09x20:00Z", false, ""},
        {"2024-05-14T09:20x00Z", false, ""},
        {"2024-05-14T09:20:0xZ", false, ""},
        {"2024-05-14T09:20:00+0x:00", false, ""},
        {"2024-05-14T09:20:00+02:0x", false, ""},
    };
    for (const Case& c : cases) {
        TDateTime t = -1;
        EXPECT_EQ(ParseIso8601(c.Text, t), c.Ok) << c.Text;
        if (c.Ok) {
            EXPECT_EQ(FormatIso8601(t), c.Utc) << c.Text;
        }
    }
}

}  // namespace
}  // namespace n95::host
