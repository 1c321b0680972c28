#include "host/formats/Nmea.h"

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "host/common/DateTimeText.h"

namespace n95::host {
namespace {

// A sentence with its correct checksum, without line end.
std::string Sentence(const std::string& body) {
    std::string s = NmeaSentence(body);
    return s.substr(0, s.size() - 2);
}

TEST(NmeaTest, ChecksumIsXorOfTheBody) {
    // A widely published example sentence and its checksum.
    EXPECT_EQ(NmeaChecksum("GPGGA,123519,4807.038,N,01131.000,E,1,08,0.9,545.4,M,46.9,M,,"), 0x47);
    EXPECT_EQ(NmeaChecksum(""), 0);
    EXPECT_EQ(NmeaSentence("AB"), "$AB*03\r\n");
}

TEST(NmeaTest, RmcAndGgaGiveOneFixPerEpochWithTheRmcDate) {
    const std::string log =
        Sentence("GPRMC,092000.00,A,6010.19400,N,02456.30400,E,0.0,270.0,140524,,,A") + "\r\n" +
        Sentence("GPGGA,092000.00,6010.19400,N,02456.30400,E,1,08,0.9,25.0,M,18.0,M,,") + "\r\n" +
        Sentence("GPGSV,3,1,11,03,03,111,00,04,15,270,00,06,01,010,00,13,06,292,00") + "\n" +
        Sentence("GNGGA,092001.50,3350.00000,S,15112.00000,W,2,08,0.9,25.0,M,18.0,M,,") + "\n";
    TTrack track;
    ParseNmea(log, track);
    EXPECT_EQ(track.Format, "NMEA");
    EXPECT_EQ(track.Skipped, 0u);
    ASSERT_EQ(track.Fixes.size(), 2u);
    EXPECT_NEAR(track.Fixes[0].Y, 60 + 10.194 / 60, 1e-9);
    EXPECT_NEAR(track.Fixes[0].X, 24 + 56.304 / 60, 1e-9);
    EXPECT_EQ(FormatIso8601(track.Fixes[0].Time), "2024-05-14T09:20:00.000Z");
    // Southern and western hemispheres are negative; GGA takes the date of the last RMC.
    EXPECT_NEAR(track.Fixes[1].Y, -(33 + 50.0 / 60), 1e-9);
    EXPECT_NEAR(track.Fixes[1].X, -(151 + 12.0 / 60), 1e-9);
    EXPECT_EQ(FormatIso8601(track.Fixes[1].Time), "2024-05-14T09:20:01.500Z");
}

TEST(NmeaTest, BadChecksumsAndGarbageAreSkippedWithTheirLineNumbers) {
    const std::string good1 = Sentence("GPRMC,100000,A,6000.0000,N,02400.0000,E,,,010124,,");
    const std::string good2 = Sentence("GPRMC,100001,A,6000.0010,N,02400.0010,E,,,010124,,");
    std::string corrupted = good2;
    corrupted[20] = '9';  // a flipped digit: the checksum no longer matches
    const std::string log = "\n" + good1 + "\n" +                           // lines 1, 2
                            "garbage \x01\x02 line\n" +                     // 3
                            corrupted + "\n" +                              // 4
                            "$GPRMC,100002,A,6000.0020,N,02400.0020,E\n" +  // 5: no checksum
                            good2.substr(0, good2.size() - 2) + "ZZ\n" +    // 6: not hex
                            Sentence("GPRMC,1000,A,6000.0,N,02400.0,E,,,010124,,") + "\n" +  // 7
                            Sentence("GPGGA,100003,6000.0,N") + "\n" +          // 8: too few fields
                            Sentence("GPRMC,100004,V,,,,,,,010124,,") + "\n" +  // 9: void fix
                            "   " + good2 + "   \n";                            // 10
    TTrack track;
    ParseNmea(log, track);
    ASSERT_EQ(track.Fixes.size(), 2u);
    EXPECT_EQ(track.Entries, 9u);  // the blank line is not an entry
    EXPECT_EQ(track.Skipped, 7u);  // line 9 too: a sentence saying there is no fix
    ASSERT_EQ(track.FirstProblems.size(), TTrack::kReportedProblems);
    const uint64_t lines[] = {3, 4, 5, 6, 7};
    for (std::size_t i = 0; i < TTrack::kReportedProblems; ++i)
        EXPECT_EQ(track.FirstProblems[i].Line, lines[i]) << track.FirstProblems[i].Message;
    EXPECT_NE(track.FirstProblems[1].Message.find("checksum mismatch"), std::string::npos);
}

TEST(NmeaTest, GgaNeedsADateAndRollsOverMidnight) {
    const std::string log = Sentence("GPGGA,235959,6000.0,N,02400.0,E,1,08,0.9,25.0,M,18.0,M,,") +
                            "\n" + Sentence("GPRMC,235959,A,6000.0,N,02400.0,E,,,311224,,") + "\n" +
                            Sentence("GPGGA,000001,6000.0,N,02400.0,E,1,08,0.9,25.0,M,18.0,M,,") +
                            "\n" + Sentence("GPGGA,000002,6000.0,N,02400.0,E,0,00,,,M,,M,,") +
                            "\n";  // no fix
    TTrack track;
    ParseNmea(log, track);
    EXPECT_EQ(track.Skipped, 2u);
    EXPECT_EQ(track.FirstProblems[0].Line, 1u);
    EXPECT_EQ(track.CountsByKind(), "1 no fix, 1 no date");
    ASSERT_EQ(track.Fixes.size(), 2u);
    EXPECT_EQ(FormatIso8601(track.Fixes[1].Time), "2025-01-01T00:00:01.000Z");
}

TEST(NmeaTest, EachSkippedLineIsCountedByKind) {
    const std::string longLine = "$" + std::string(kMaxNmeaLine, 'A');
    const struct {
        std::string Line;
        TTrackProblemKind Kind;
    } cases[] = {
        {"GPRMC,100000,A,6000.0,N,02400.0,E,,,010124,,", TTrackProblemKind::NotNmea},
        {Sentence("GPRMC,100000,A,6000.0,N,02400.0,E,,,010124,,") + "x",
         TTrackProblemKind::BadChecksum},
        {Sentence("GPRMC,1000xx,A,6000.0,N,02400.0,E,,,010124,,"), TTrackProblemKind::Malformed},
        {Sentence("GPRMC,100000,A,9100.0,N,02400.0,E,,,010124,,"), TTrackProblemKind::OutOfRange},
        {Sentence("GPGGA,100000,6000.0,N,02460.0,E,1,08,0.9,25.0,M,18.0,M,,"),
         TTrackProblemKind::OutOfRange},
        {Sentence("GPGGA,100000,6000.0,N,02400.0,E,0,00,,,M,,M,,"), TTrackProblemKind::NoFix},
        {Sentence("GPGGA,100000,6000.0,N,02400.0,E,1,08,0.9,25.0,M,18.0,M,,"),
         TTrackProblemKind::NoDate},
        {longLine + "\r\n", TTrackProblemKind::TooLong},
    };
    for (const auto& c : cases) {
        TTrack track;
        ParseNmea(c.Line, track);
        ASSERT_EQ(track.FirstProblems.size(), 1u) << c.Line.substr(0, 80);
        EXPECT_EQ(track.FirstProblems[0].Kind, c.Kind) << c.Line.substr(0, 80);
    }
    // At the cap a line is still read; one byte more (above) and it is skipped unread.
    TTrack atCap;
    ParseNmea(longLine.substr(1), atCap);
    EXPECT_EQ(atCap.FirstProblems.at(0).Kind, TTrackProblemKind::NotNmea);
}

TEST(NmeaTest, StreamedBytesSkipOverLongLinesAndKeepLineNumbers) {
    const std::string good = Sentence("GPRMC,100000,A,6000.0,N,02400.0,E,,,010124,,") + "\r\n";
    TTrack track;
    TNmeaReader reader(track);
    reader.Take(good.data(), 10);
    reader.Take(good.data() + 10, good.size() - 10);
    const std::string noise(100000, 'x');
    for (int i = 0; i < 50; ++i)  // one line of 5 MB, in pieces
        reader.Take(noise.data(), noise.size());
    const std::string last = "\n" + Sentence("GPRMC,100001,A,6000.0,N,02400.0,E,,,010124,,");
    reader.Take(last.data(), last.size());
    reader.Finish();  // the last line has no line end
    EXPECT_EQ(track.Fixes.size(), 2u);
    EXPECT_EQ(track.DescribeProblems(),
              "1 line skipped (1 too long)\n  line 2: line longer "
              "than 4096 bytes");
}

TEST(NmeaTest, GgaOnlyLogsTakeTheDefaultDateNearestItsReference) {
    // Two fixes five seconds apart, across midnight.
    const std::string log =
        Sentence("GPGGA,235958,6000.0,N,02400.0,E,1,08,0.9,25.0,M,18.0,M,,") + "\n" +
        Sentence("GPGGA,000003,6000.0,N,02400.0,E,1,08,0.9,25.0,M,18.0,M,,") + "\n";
    const struct {
        const char* Reference;
        const char* First;
    } cases[] = {
        {"2024-05-14T23:59:50Z", "2024-05-14T23:59:58.000Z"},  // a capture started before midnight
        {"2024-05-15T00:00:10Z", "2024-05-14T23:59:58.000Z"},  // after it: the log began before
        {"2024-05-14T12:30:00Z", "2024-05-14T23:59:58.000Z"},
        {"2024-05-15T12:30:00Z", "2024-05-15T23:59:58.000Z"},
    };
    for (const auto& c : cases) {
        TNmeaDefaultDate date{true, 0.0};
        ASSERT_TRUE(ParseIso8601(c.Reference, date.Reference));
        TTrack track;
        TNmeaReader reader(track, date);
        ForEachLine(log, [&reader](std::string_view line) { reader.Line(line); });
        reader.Finish();
        ASSERT_EQ(track.Fixes.size(), 2u) << c.Reference;
        EXPECT_EQ(track.DefaultDated, 2u);
        EXPECT_EQ(FormatIso8601(track.Fixes[0].Time), c.First) << c.Reference;
        EXPECT_NEAR((track.Fixes[1].Time - track.Fixes[0].Time) * kSecondsPerDay, 5.0, 1e-6);
    }
}

TEST(NmeaTest, FixTimesGoingBackAreSkipped) {
    const std::string log = Sentence("GPRMC,100010,A,6000.0,N,02400.0,E,,,010124,,") + "\n" +
                            Sentence("GPRMC,100005,A,6000.0,N,02400.0,E,,,010124,,") + "\n";
    TTrack track;
    ParseNmea(log, track);
    EXPECT_EQ(track.Fixes.size(), 1u);
    EXPECT_EQ(track.Skipped, 1u);
    EXPECT_EQ(track.FirstProblems[0].Line, 2u);
}

TEST(NmeaTest, FormattedFixesReadBack) {
    const TGpsPoint fixes[] = {
        {24.9384, 60.1699, MakeDateTime(2024, 5, 14, 9, 20, 0.0)},
        {-0.0000001, -0.5, MakeDateTime(2024, 5, 14, 9, 20, 1.0)},
        {179.99999999, 89.99999999, MakeDateTime(2024, 5, 14, 9, 20, 2.0)},
    };
    std::string log;
    for (const TGpsPoint& f : fixes)
        log += FormatNmeaFix(f, 25.0, 90.0);
    TTrack track;
    ParseNmea(log, track);
    EXPECT_EQ(track.Skipped, 0u);
    ASSERT_EQ(track.Fixes.size(), 3u);
    for (int i = 0; i < 3; ++i) {
        // 1e-5 minute is below 2e-7 degree.
        EXPECT_NEAR(track.Fixes[i].X, fixes[i].X, 2e-7);
        EXPECT_NEAR(track.Fixes[i].Y, fixes[i].Y, 2e-7);
        EXPECT_EQ(FormatIso8601(track.Fixes[i].Time), FormatIso8601(fixes[i].Time));
    }
}

// A live run's fix log: each fix after its feed marker, the run's events among them. The
// reader keeps where each fix was fed and each event with its place; proprietary sentences
// it does not take (another maker's, a marker that does not parse) are passed over as other
// readers pass over them, never counted as skipped lines.
TEST(NmeaTest, FixLogMarkersGiveFeedPointsAndEventsInOrder) {
    const TRunMarker events[] = {{TRunMarkerKind::Reconnect, 0, 0},
                                 {TRunMarkerKind::RestartTest, 3, 1},
                                 {TRunMarkerKind::StopDecoding, 3, 2},
                                 {TRunMarkerKind::StartTest, 9, 2},
                                 {TRunMarkerKind::Reconnect, 123456789012, 2}};
    const TDateTime t0 = MakeDateTime(2024, 5, 14, 9, 20, 0.0);
    std::string log = NmeaRunMarker(events[0]) + NmeaFeedMarker(2) +
                      FormatNmeaFix({24.9, 60.1, t0}, 0, 0) + NmeaRunMarker(events[1]) +
                      NmeaFeedMarker(3) + FormatNmeaFix({24.9, 60.1, t0 + 1 / 86400.0}, 0, 0);
    for (std::size_t i = 2; i < std::size(events); ++i)
        log += NmeaRunMarker(events[i]);
    for (const char* ignored : {"PN95,RECONNECT,1", "PN95,RECONNECT,x,1", "PN95,PAUSE,1,1",
                                "PN95,STOP,1,1,1", "PGRME,15.0,M,45.0,M,25.0,M", "PUBX,00"})
        log += NmeaSentence(ignored);
    TTrack track;
    ParseNmea(log, track);
    EXPECT_EQ(track.Skipped, 0u) << track.DescribeProblems();
    ASSERT_EQ(track.Fixes.size(), 2u);
    EXPECT_TRUE(track.HasFeedPoints());
    EXPECT_EQ(track.FeedBefore, (std::vector<int64_t>{2, 3}));
    ASSERT_EQ(track.Markers.size(), std::size(events));
    for (std::size_t i = 0; i < std::size(events); ++i) {
        EXPECT_EQ(track.Markers[i].Kind, events[i].Kind) << i;
        EXPECT_EQ(track.Markers[i].Chunk, events[i].Chunk) << i;
        EXPECT_EQ(track.Markers[i].FixesBefore, events[i].FixesBefore) << i;
    }
    EXPECT_EQ(NmeaRunMarker(events[0]).substr(0, 20), "$PN95,RECONNECT,0,0*");
}

// Feeds fixes at `times` (seconds from 10:00:00, one a line) to `track` and returns the
// seconds of the fixes it kept.
std::vector<double> KeptSeconds(TTrack& track, const std::vector<double>& times) {
    constexpr double kDay = 86400.0;
    const TDateTime origin = MakeDateTime(2024, 5, 14, 10, 0, 0.0);
    uint64_t line = 0;
    for (const double t : times)
        track.AddFix({24.0, 60.0, origin + t / kDay}, ++line);
    track.FinishFixes();
    std::vector<double> kept;
    for (const TGpsPoint& fix : track.Fixes)
        kept.push_back(std::round((fix.Time - origin) * kDay));
    return kept;
}

// One fix with a wrong time costs that fix alone; only a long stretch backwards is "time goes
// back". Times are seconds from 10:00:00; what is kept is in time order.
TEST(FixFilterTest, OneBadFixCostsOneFix) {
    constexpr double kDay = 86400.0;
    const struct {
        const char* What;
        std::vector<double> Times;
        std::vector<double> Kept;
        uint64_t Outliers, GoingBack;
    } cases[] = {
        {"23:59:59 in mid drive", {0, 1, 2, 50399, 3, 4}, {0, 1, 2, 3, 4}, 1, 0},
        {"a day ahead", {0, 1, kDay + 2, 3, 4}, {0, 1, 3, 4}, 1, 0},
        {"a minute back", {0, 1, 2, -58, 3, 4}, {0, 1, 2, 3, 4}, 1, 0},
        {"the first fix ahead", {50399, 0, 1, 2}, {0, 1, 2}, 1, 0},
        {"the second fix behind", {0, -60, 1, 2}, {0, 1, 2}, 1, 0},
        {"an outage is no outlier", {0, 1, 600, 601}, {0, 1, 600, 601}, 0, 0},
        {"a jump at the end is kept", {0, 1, 600}, {0, 1, 600}, 0, 0},
        {"an ahead fix confirmed", {0, 1, 600, 602, 603}, {0, 1, 600, 602, 603}, 0, 0},
        {"two fixes a day ahead", {0, 1, 2, kDay + 3, kDay + 4, 5, 6, 7}, {0, 1, 2, 5, 6, 7}, 2, 0},
        {"the first fix from 1980", {-16000 * kDay, 0, 1, 2, 3}, {0, 1, 2, 3}, 1, 0},
        {"two first fixes a day ahead", {kDay, kDay + 1, 0, 1, 2, 3}, {0, 1, 2, 3}, 2, 0},
        {"a sparse log", {0, 30, 60, 90}, {0, 30, 60, 90}, 0, 0},
        // Live, the fixes a wrong stretch confirmed were fed: the track keeps them.
        {"three fixes a day ahead",
         {0, 1, 2, kDay + 3, kDay + 4, kDay + 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15},
         {0, 1, 2, kDay + 3, kDay + 4, kDay + 5},
         0,
         10},
        {"a long stretch back",
         {0, 1, 2, -600, -599, -598, -597, -596, -595, -594, -593, -592, -591, -590},
         {0, 1, 2},
         0,
         11},
    };
    for (const auto& c : cases) {
        TTrack track;
        EXPECT_EQ(KeptSeconds(track, c.Times), c.Kept) << c.What;
        const auto count = [&](TTrackProblemKind kind) {
            return track.ProblemCounts[static_cast<std::size_t>(kind)];
        };
        EXPECT_EQ(count(TTrackProblemKind::TimeOutlier), c.Outliers) << c.What;
        EXPECT_EQ(count(TTrackProblemKind::TimeBack), c.GoingBack) << c.What;
        for (const TTrackProblem& problem : track.FirstProblems)
            EXPECT_EQ(problem.Kind, c.GoingBack > 0 ? TTrackProblemKind::TimeBack
                                                    : TTrackProblemKind::TimeOutlier)
                << c.What;
    }
}

// The replay's loader has the whole track before it feeds a fix: a long stretch that goes on
// from before a jump ahead takes back the fixes since the jump.
TEST(FixFilterTest, TheReplayTakesBackAWrongStretch) {
    constexpr double kDay = 86400.0;
    const std::vector<double> wrong = {0, 1, 2, kDay + 3, kDay + 4, kDay + 5};
    const struct {
        const char* What;
        std::vector<double> After;  // the fixes after `wrong`
        std::vector<double> Kept;
        uint64_t Outliers, GoingBack;
    } cases[] = {
        {"the drive goes on",
         {6, 7, 8, 9, 10, 11, 12, 13, 14, 15},
         {0, 1, 2, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15},
         3,
         0},
        {"from before the anchor",
         {-600, -599, -598, -597, -596, -595, -594, -593, -592, -591},
         wrong,
         0,
         10},
        {"not closely", {6, 7, 8, 9, 30, 31, 32, 33, 34, 35}, wrong, 0, 10},
    };
    for (const auto& c : cases) {
        TTrack track;
        track.Filter.TakeBack = true;
        std::vector<double> times = wrong;
        times.insert(times.end(), c.After.begin(), c.After.end());
        EXPECT_EQ(KeptSeconds(track, times), c.Kept) << c.What;
        EXPECT_EQ(track.ProblemCounts[static_cast<std::size_t>(TTrackProblemKind::TimeOutlier)],
                  c.Outliers)
            << c.What;
        EXPECT_EQ(track.ProblemCounts[static_cast<std::size_t>(TTrackProblemKind::TimeBack)],
                  c.GoingBack)
            << c.What;
        EXPECT_EQ(track.Skipped, c.Outliers + c.GoingBack) << c.What;
        if (c.Outliers > 0) {
            EXPECT_EQ(track.FirstProblems.at(0).Line, 4u) << track.DescribeProblems();
        }
    }
}

// RMC and GGA sentences a second apart, one of them wrong: the GGA sentences take their
// date from the accepted fixes, so a wrong RMC time (or date) moves no other fix.
TEST(FixFilterTest, AWrongRmcMovesNoGgaDate) {
    const auto log = [](const std::string& badRmc) {
        std::string text;
        for (int s = 0; s < 6; ++s) {
            const std::string t = "10000" + std::to_string(s);
            const std::string rmc =
                s == 3 ? badRmc : "GPRMC," + t + ",A,6000.0,N,02400.0,E,,,140524,,";
            text += Sentence(rmc) + "\n" +
                    Sentence("GPGGA," + t + ",6000.0,N,02400.0,E,1,08,0.9,25.0,M,18.0,M,,") + "\n";
        }
        return text;
    };
    for (const std::string& bad : {std::string("GPRMC,235959,A,6000.0,N,02400.0,E,,,140524,,"),
                                   std::string("GPRMC,100003,A,6000.0,N,02400.0,E,,,150524,,")}) {
        TTrack track;
        ParseNmea(log(bad), track);
        ASSERT_EQ(track.Fixes.size(), 6u) << bad;
        for (int s = 0; s < 6; ++s)
            EXPECT_EQ(FormatIso8601(track.Fixes[s].Time),
                      "2024-05-14T10:00:0" + std::to_string(s) + ".000Z")
                << bad;
        EXPECT_EQ(track.DescribeProblems().find("1 line skipped (1 time outlier)\n  line 7: fix"),
                  0u)
            << track.DescribeProblems();
    }
}

}  // namespace
}  // namespace n95::host
