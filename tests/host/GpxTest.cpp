#include "host/formats/Gpx.h"
#include "host/formats/Nmea.h"

#include <gtest/gtest.h>

#include "host/common/DateTimeText.h"
#include "tests/host/HostTestSupport.h"

namespace n95::host {
namespace {

bool Parse(const std::string& text, TTrack& track, std::string& error) {
    return ParseGpx(text.data(), text.size(), track, &error);
}

TEST(GpxTest, ReadsTrackPointsOfEverySegment) {
    const std::string gpx =
        "<?xml version=\"1.0\"?>\n"
        "<gpx version=\"1.1\" xmlns=\"http://www.topografix.com/GPX/1/1\">\n"
        "<trk><trkseg>\n"
        "<trkpt lat=\"60.5\" lon=\"24.25\"><ele>3</ele><time>2024-05-14T09:20:00Z</time></trkpt>\n"
        "</trkseg><trkseg>\n"
        "<trkpt lat=\"-60.5\" lon=\"-24.25\"><time> 2024-05-14T11:20:01+02:00 </time></trkpt>\n"
        "</trkseg></trk></gpx>\n";
    TTrack track;
    std::string error;
    ASSERT_TRUE(Parse(gpx, track, error)) << error;
    EXPECT_EQ(track.Format, "GPX");
    ASSERT_EQ(track.Fixes.size(), 2u);
    EXPECT_EQ(track.Fixes[0].X, 24.25);
    EXPECT_EQ(track.Fixes[0].Y, 60.5);
    EXPECT_EQ(track.Fixes[1].X, -24.25);
    EXPECT_EQ(FormatIso8601(track.Fixes[1].Time), "2024-05-14T09:20:01.000Z");
}

TEST(GpxTest, UnusablePointsAreSkippedWithLineNumbers) {
    const std::string gpx =
        "<gpx:gpx xmlns:gpx=\"http://www.topografix.com/GPX/1/1\"><gpx:trk><gpx:trkseg>\n"
        "<gpx:trkpt lat=\"1\" lon=\"2\"/>\n"  // 2
        "<gpx:trkpt lat=\"x\" lon=\"2\"><gpx:time>2024-01-01T00:00:00Z</gpx:time></gpx:trkpt>\n"
        "<gpx:trkpt lat=\"91\" lon=\"2\"><gpx:time>2024-01-01T00:00:00Z</gpx:time></gpx:trkpt>\n"
        "<gpx:trkpt lat=\"1\" lon=\"2\"><gpx:time>yesterday</gpx:time></gpx:trkpt>\n"  // 5
        "<gpx:trkpt lat=\"1\" lon=\"2\"><gpx:time>2024-01-01T00:00:00Z</gpx:time></gpx:trkpt>\n"
        "</gpx:trkseg></gpx:trk></gpx:gpx>\n";
    TTrack track;
    std::string error;
    ASSERT_TRUE(Parse(gpx, track, error)) << error;
    EXPECT_EQ(track.Fixes.size(), 1u);
    EXPECT_EQ(track.Entries, 5u);
    EXPECT_EQ(track.Skipped, 4u);
    ASSERT_EQ(track.FirstProblems.size(), 4u);
    EXPECT_EQ(track.FirstProblems[0].Line, 2u);
    EXPECT_EQ(track.FirstProblems[3].Line, 5u);
}

TEST(GpxTest, NotXmlOrNotGpxFails) {
    struct Case {
        const char* Text;
        const char* Message;
    };
    const Case cases[] = {
        {"<gpx><trk>\n<trkseg>\n</trk></gpx>", "is not XML"},
        {"<gpx", "is not XML"},
        {"<kml><Document/></kml>", "not GPX"},
    };
    for (const Case& c : cases) {
        TTrack track;
        std::string error;
        EXPECT_FALSE(Parse(c.Text, track, error)) << c.Text;
        EXPECT_NE(error.find(c.Message), std::string::npos) << error;
    }
    TTrack track;
    std::string error;
    EXPECT_FALSE(Parse("<gpx><trk>\n<trkseg>\n</trk></gpx>", track, error));
    EXPECT_NE(error.find("line 3"), std::string::npos) << error;
}

class TrackFileTest : public n95::test::ScratchDirTest {};

TEST_F(TrackFileTest, LoadTellsFormatsApartAndRejectsEmptyTracks) {
    n95::test::WriteFile(Path("a.gpx"),
                         "\n  <gpx><trk><trkseg><trkpt lat=\"1\" lon=\"2\">"
                         "<time>2024-01-01T00:00:00Z</time></trkpt></trkseg></trk></gpx>");
    n95::test::WriteFile(Path("b.txt"),
                         NmeaSentence("GPRMC,100000,A,6000.0,N,02400.0,E,,,010124,,"));
    n95::test::WriteFile(Path("garbage.nmea"), "hello\nworld\n");
    n95::test::WriteFile(Path("empty.gpx"), "<gpx/>");
    TTrack gpx, nmea, garbage, empty, missing;
    std::string error;
    EXPECT_TRUE(LoadTrack(Path("a.gpx"), gpx, &error)) << error;
    EXPECT_EQ(gpx.Format, "GPX");
    EXPECT_TRUE(LoadTrack(Path("b.txt"), nmea, &error)) << error;
    EXPECT_EQ(nmea.Format, "NMEA");
    EXPECT_FALSE(LoadTrack(Path("garbage.nmea"), garbage, &error));
    EXPECT_NE(error.find("no usable fix (2 lines, 2 skipped)"), std::string::npos) << error;
    EXPECT_FALSE(LoadTrack(Path("empty.gpx"), empty, &error));
    EXPECT_FALSE(LoadTrack(Path("missing.nmea"), missing, &error));
    EXPECT_NE(error.find("missing.nmea"), std::string::npos) << error;
}

TEST_F(TrackFileTest, RejectedTracksSayWhy) {
    const std::string noFix = NmeaSentence("GPRMC,100000,V,,,,,,,010124,,");
    const struct {
        const char* Name;
        std::string Content;
        const char* Message;
    } cases[] = {
        {"blank.GPX", " \n", "(GPX) is empty"},
        {"blank.nmea", "", "(NMEA) is empty"},
        {"nofix.nmea", noFix + noFix + "junk\n",
         "(3 lines, 3 skipped): 1 not NMEA, 2 no fix\n  line 1: RMC status V"},
        {"points.gpx", "<gpx><trk><trkseg><trkpt lat=\"1\" lon=\"2\"/></trkseg></trk></gpx>",
         "(1 track points, 1 skipped): 1 no time\n  line 1: trkpt without <time>"},
    };
    for (const auto& c : cases) {
        n95::test::WriteFile(Path(c.Name), c.Content);
        TTrack track;
        std::string error;
        EXPECT_FALSE(LoadTrack(Path(c.Name), track, &error)) << c.Name;
        EXPECT_NE(error.find(c.Message), std::string::npos) << error;
    }
}

}  // namespace
}  // namespace n95::host
