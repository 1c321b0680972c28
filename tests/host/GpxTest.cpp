#include "host/formats/Gpx.h"
#include "host/formats/Nmea.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <csignal>
#include <filesystem>
#include <thread>

#include "host/common/DateTimeText.h"
#include "tests/host/GzipForTests.h"
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

// A big track loads in time linear in its size (counting each point's line from the start of
// the document made 200,000 points take many minutes), a deep one in stack independent of its
// depth (a recursive walk overflowed the stack some tens of thousands of levels down).
TEST(GpxTest, BigAndDeepDocumentsLoad) {
    constexpr int kPoints = 200000, kDepth = 200000;
    std::string big = "<gpx><trk><trkseg>\n";
    for (int i = 0; i < kPoints; ++i)
        big += "<trkpt lat=\"60\" lon=\"24\"><time>" +
               FormatIso8601(MakeDateTime(2024, 5, 14, 0, 0, i * 0.1)) + "</time></trkpt>\n";
    big += "<trkpt lat=\"60\" lon=\"24\"/>\n</trkseg></trk></gpx>\n";
    std::string deep = "<gpx>";
    for (int i = 0; i < kDepth; ++i)
        deep += "<trk>";
    deep += "<trkpt lat=\"60\" lon=\"24\"><time>2024-05-14T00:00:00Z</time></trkpt>\n<trkpt/>";
    for (int i = 0; i < kDepth; ++i)
        deep += "</trk>";
    deep += "</gpx>";
    const struct {
        const char* What;
        const std::string& Text;
        std::size_t Fixes;
        uint64_t ProblemLine;  // of the last point, which has no time
    } cases[] = {{"big", big, kPoints, kPoints + 2}, {"deep", deep, 1, 2}};
    for (const auto& c : cases) {
        TTrack track;
        std::string error;
        ASSERT_TRUE(Parse(c.Text, track, error)) << c.What << ": " << error;
        EXPECT_EQ(track.Fixes.size(), c.Fixes) << c.What;
        ASSERT_EQ(track.FirstProblems.size(), 1u) << c.What;
        EXPECT_EQ(track.FirstProblems[0].Line, c.ProblemLine) << c.What;
    }
    // A stop asked for while the points are collected ends the walk.
    const volatile std::sig_atomic_t stop = 1;
    TTrack stopped;
    std::string error;
    EXPECT_FALSE(ParseGpx(big.data(), big.size(), stopped, &error, &stop));
    EXPECT_EQ(error, "interrupted");
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
        // The blanks before the first entry are not kept, but their lines are counted.
        {"late.nmea", std::string(70000, '\n') + "\r\n \r\t junk\n",
         "(1 lines, 1 skipped): 1 not NMEA\n  line 70003: not"},
        {"late.gpx", std::string(70000, '\n') + "\r\n \r\t<gpx><trk><trkseg><trkpt/>",
         "is not XML: Start-end tags mismatch at line 70003"},
    };
    for (const auto& c : cases) {
        n95::test::WriteFile(Path(c.Name), c.Content);
        TTrack track;
        std::string error;
        EXPECT_FALSE(LoadTrack(Path(c.Name), track, &error)) << c.Name;
        EXPECT_NE(error.find(c.Message), std::string::npos) << error;
    }
    // A GPX document is read whole: one over the limit is refused before it is read.
    {
        n95::test::WriteFile(Path("huge.gpx"), "<gpx>");
        ASSERT_EQ(truncate(Path("huge.gpx").c_str(), static_cast<off_t>(kMaxGpxBytes) + 1), 0);
        TTrack track;
        std::string error;
        EXPECT_FALSE(LoadTrack(Path("huge.gpx"), track, &error));
        EXPECT_NE(error.find("huge.gpx (GPX) is larger than 1024 MiB"), std::string::npos) << error;
    }
}

// Tracks that are not files: a pipe is read as it comes (/dev/stdin of `cat t.nmea |`), a
// character device is refused rather than read forever.
TEST_F(TrackFileTest, PipesAreReadAndCharacterDevicesRefused) {
    const std::string nmea = NmeaSentence("GPRMC,100000,A,6000.0,N,02400.0,E,,,010124,,") +
                             NmeaSentence("GPRMC,100001,A,6000.0,N,02400.0,E,,,010124,,");
    const std::string gpx =
        "  <gpx><trk><trkseg><trkpt lat=\"1\" lon=\"2\"><time>2024-01-01T00:00:00Z</time>"
        "</trkpt></trkseg></trk></gpx>";
    for (const std::string& content : {nmea, gpx, std::string(200000, '\n') + nmea}) {
        int ends[2];
        ASSERT_EQ(pipe(ends), 0);
        std::thread writer([&] {
            EXPECT_EQ(write(ends[1], content.data(), content.size()),
                      static_cast<ssize_t>(content.size()));
            close(ends[1]);
        });
        TTrack track;
        std::string error;
        EXPECT_TRUE(LoadTrack("/dev/fd/" + std::to_string(ends[0]), track, &error)) << error;
        EXPECT_FALSE(track.Fixes.empty());
        writer.join();
        close(ends[0]);
    }
    TTrack zero;
    std::string error;
    EXPECT_FALSE(LoadTrack("/dev/zero", zero, &error));
    EXPECT_NE(error.find("is a character device"), std::string::npos) << error;
}

// A gzip track, from a file or a pipe, in one member or several, gives the fixes its text
// gives; one cut short is refused with the reason.
TEST_F(TrackFileTest, GzipTracksGiveTheFixesOfTheirText) {
    const std::string nmea = NmeaSentence("GPRMC,100000,A,6000.0,N,02400.0,E,,,010124,,") +
                             NmeaSentence("GPRMC,100001,A,6000.1,N,02400.0,E,,,010124,,") +
                             NmeaSentence("GPRMC,100002,A,6000.2,N,02400.0,E,,,010124,,");
    const std::string gpx =
        "\n\n<gpx><trk><trkseg><trkpt lat=\"1\" lon=\"2\"><time>2024-01-01T00:00:00Z</time>"
        "</trkpt><trkpt lat=\"1.1\" lon=\"2\"><time>2024-01-01T00:00:01Z</time></trkpt>"
        "<trkpt lat=\"1.2\" lon=\"2\"></trkpt></trkseg></trk></gpx>";
    using n95::test::Gzip;
    for (const std::string& text : {nmea, gpx}) {
        n95::test::WriteFile(Path("plain"), text);
        TTrack want;
        std::string error;
        ASSERT_TRUE(LoadTrack(Path("plain"), want, &error)) << error;
        const std::string half = text.substr(0, text.size() / 2);
        const struct {
            const char* Name;
            std::string Bytes;
            bool Pipe;
        } cases[] = {
            {"gzip file", Gzip(text), false},
            {"gzip pipe", Gzip(text), true},
            {"two members", Gzip(half) + Gzip(text.substr(half.size())), false},
        };
        for (const auto& c : cases) {
            SCOPED_TRACE(std::string(c.Name) + " of " + want.Format);
            std::string path = Path("t.gz");
            int ends[2] = {-1, -1};
            std::thread writer;
            if (c.Pipe) {
                ASSERT_EQ(pipe(ends), 0);
                writer = std::thread([&] {
                    EXPECT_EQ(write(ends[1], c.Bytes.data(), c.Bytes.size()),
                              static_cast<ssize_t>(c.Bytes.size()));
                    close(ends[1]);
                });
                path = "/dev/fd/" + std::to_string(ends[0]);
            } else {
                n95::test::WriteFile(path, c.Bytes);
            }
            TTrack track;
            EXPECT_TRUE(LoadTrack(path, track, &error)) << error;
            if (writer.joinable())
                writer.join();
            if (ends[0] >= 0)
                close(ends[0]);
            EXPECT_EQ(track.Format, want.Format);
            ASSERT_EQ(track.Fixes.size(), want.Fixes.size());
            for (std::size_t i = 0; i < want.Fixes.size(); ++i)
                EXPECT_EQ(track.Fixes[i].Y, want.Fixes[i].Y);
            // Line numbers count the decompressed text's lines.
            EXPECT_EQ(track.Entries, want.Entries);
            ASSERT_EQ(track.FirstProblems.size(), want.FirstProblems.size());
            for (std::size_t i = 0; i < want.FirstProblems.size(); ++i)
                EXPECT_EQ(track.FirstProblems[i].Line, want.FirstProblems[i].Line);
        }
        const std::string gz = Gzip(text);
        n95::test::WriteFile(Path("cut.gz"), gz.substr(0, gz.size() - 6));
        TTrack cut;
        EXPECT_FALSE(LoadTrack(Path("cut.gz"), cut, &error));
        EXPECT_NE(error.find("truncated"), std::string::npos) << error;
        EXPECT_NE(error.find(Path("cut.gz")), std::string::npos) << error;
    }
}

// Beside CAPTURE (NAME.pcap or NAME.pcap.gz): each track name, then its .gz, in the order of
// the names; nothing beside standard input.
TEST_F(TrackFileTest, TracksBesideTheCaptureAreFoundGzippedToo) {
    const std::string d = Path("d");
    EXPECT_EQ(TrackNamesBeside(d + ".pcap.gz"),
              (std::vector<std::string>{d + ".fixes.nmea", d + ".fixes.nmea.gz", d + ".nmea",
                                        d + ".nmea.gz", d + ".gpx", d + ".gpx.gz"}));
    EXPECT_EQ(TrackNamesBeside(d + ".pcapng"), TrackNamesBeside(d + ".pcap.GZ"));
    EXPECT_TRUE(TrackNamesBeside("-").empty());
    EXPECT_EQ(FindTrackBeside("-"), "");
    const struct {
        std::vector<const char*> Files;
        const char* Found;
    } cases[] = {
        {{"d.gpx", "d.nmea.gz"}, "d.nmea.gz"},
        {{"d.nmea.gz", "d.nmea"}, "d.nmea"},
        {{"d.gpx.gz", "d.fixes.nmea.gz", "d.nmea"}, "d.fixes.nmea.gz"},
        {{"d.gpx.gz"}, "d.gpx.gz"},
        {{"d.gz", "d.pcap.nmea"}, ""},
    };
    for (const auto& c : cases) {
        for (const auto& entry : std::filesystem::directory_iterator(Dir))
            std::filesystem::remove(entry.path());
        for (const char* name : c.Files)
            n95::test::WriteFile(Path(name), "x");
        const std::string found = FindTrackBeside(d + ".pcap.gz");
        EXPECT_EQ(found, *c.Found != '\0' ? Path(c.Found) : std::string()) << c.Files[0];
        EXPECT_EQ(FindTrackBeside(d + ".pcap"), found);
    }
}

}  // namespace
}  // namespace n95::host
