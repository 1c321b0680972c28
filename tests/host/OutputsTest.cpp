#include "host/outputs/CsvOutput.h"
#include "host/outputs/GeoJsonOutput.h"
#include "host/outputs/KmlOutput.h"
#include "host/outputs/SvgMap.h"

#include <gtest/gtest.h>
#include <unistd.h>
#include <pugixml.hpp>

#include <sys/stat.h>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <filesystem>

#include "host/common/DateTimeText.h"
#include "host/outputs/OutputSet.h"
#include "host/outputs/OutputText.h"
#include "host/outputs/OutputWriter.h"
#include "tests/host/HostTestSupport.h"

namespace n95::host {
namespace {

using n95::test::Contains;
using n95::test::ReadFile;
using n95::test::SplitFields;
using n95::test::SplitLines;

// A kind-2 record as the plug-in hands it over, with a payload copy of `payload` bytes.
TTestRecord* MakeRecord(uint32_t code, double x, double y, TDateTime t, uint16_t payload) {
    TTestRecord* record = NewTestRecord(2);
    record->MessageCode = code;
    record->PosX = x;
    record->PosY = y;
    record->TestTime = t;
    record->StampTime = t + 0.5 / 86400;
    if (payload > 0) {
        auto* body = static_cast<TTestBody2*>(record->Body);
        body->Blob = static_cast<uint8_t*>(std::calloc(payload, 1));
        body->BlobLen = payload;
    }
    return record;
}

TRecordRow Row(int64_t index, uint32_t code, double x, double y, uint16_t payload = 8) {
    TTestRecord* record = MakeRecord(code, x, y, MakeDateTime(2024, 5, 14, 9, 20, 1.25), payload);
    const TRecordRow row = DescribeRecord(index, *record);
    FreeTestRecord(record);
    return row;
}

// The KML folder of `parent` with that name.
pugi::xml_node KmlFolder(const pugi::xml_node parent, const std::string& name) {
    return parent.find_child([&](const pugi::xml_node n) {
        return std::string(n.name()) == "Folder" && n.child_value("name") == name;
    });
}

// Brackets and braces balance outside strings: a cheap check that JSON is not cut short.
bool Balanced(const std::string& json) {
    std::string stack;
    bool inString = false;
    for (std::size_t i = 0; i < json.size(); ++i) {
        const char c = json[i];
        if (inString) {
            if (c == '\\')
                ++i;
            else if (c == '"')
                inString = false;
        } else if (c == '"') {
            inString = true;
        } else if (c == '[' || c == '{') {
            stack.push_back(c);
        } else if (c == ']' || c == '}') {
            if (stack.empty() || stack.back() != (c == ']' ? '[' : '{'))
                return false;
            stack.pop_back();
        }
    }
    return stack.empty() && !inString;
}

std::size_t Count(const std::string& text, const std::string& what) {
    std::size_t n = 0;
    for (std::size_t pos = text.find(what); pos != std::string::npos;
         pos = text.find(what, pos + 1))
        ++n;
    return n;
}

class OutputsTest : public n95::test::ScratchDirTest {};

TEST(RecordRowTest, DescribeClassifiesTheNormalisedCodeAndReadsThePayloadLength) {
    struct Case {
        uint32_t Code;
        int Class;
    };
    // The record keeps its code; the class comes from the normalised code.
    const Case cases[] = {{0x12340301, 1},  {0x000003C1, 1},  {0x0000068D, 0}, {0x713A032D, 3},
                          {0x00000112, -1}, {0x00030000, -1}, {0x412F0401, 0}, {0x0000030F, 2}};
    for (const Case& c : cases) {
        const TRecordRow row = Row(3, c.Code, 1.0, 2.0, 17);
        EXPECT_EQ(row.MessageCode, c.Code);
        EXPECT_EQ(row.MessageClass, c.Class) << std::hex << c.Code;
        EXPECT_EQ(row.PayloadLength, 17);
    }
    TTestRecord* kind4 = NewTestRecord(4);
    EXPECT_EQ(DescribeRecord(0, *kind4).PayloadLength, -1);
    FreeTestRecord(kind4);
}

TEST(OutputTextTest, FixedWritesWhatToCharsWrites) {
    // Ties in decimal (never exact in binary, so to_chars rounds the true value), signs,
    // zeros, the edges of the fast path and what lies beyond it.
    std::vector<double> values = {0.0,         -0.0,         24.12345675,  -24.12345675, 0.00000005,
                                  -0.00000004, 0.25,         0.35,         179.9999999,  -180.0,
                                  -9999.0,     8589.9345919, 858.99345925, 1e10,         -1e300,
                                  NAN,         INFINITY,     -INFINITY,    2.5,          1e-300};
    // A sweep of positions on a fine, irregular grid, half a last digit off, and random bits.
    uint64_t bits = 0x9E3779B97F4A7C15u;
    for (int i = 0; i < 5000; ++i) {
        values.push_back(-180.0 + i * 0.072000001);
        values.push_back((i + 0.5) * 1e-7 + 24.0);
        bits = bits * 6364136223846793005u + 1442695040888963407u;
        double random;
        std::memcpy(&random, &bits, sizeof random);
        values.push_back(random);
    }
    for (const int decimals : {0, 1, 7, 9}) {
        for (const double v : values) {
            char want[400], got[kMaxFixedChars];
            const auto end =
                std::to_chars(want, want + sizeof want, v, std::chars_format::fixed, decimals);
            ASSERT_EQ(std::string(got, PutFixed(got, v, decimals)), std::string(want, end.ptr))
                << decimals << " " << v;
        }
    }
}

TEST_F(OutputsTest, CsvWritesOneRowPerRecordWithEmptyNoValueFields) {
    TCsvOutput csv;
    std::string error;
    ASSERT_TRUE(csv.Open(Path("r.csv"), &error)) << error;
    csv.Add(Row(0, 0x000003C1, 24.93841234, 60.16990001));
    csv.Add(Row(1, 0x00000112, -9999.0, -9999.0, 0));
    ASSERT_TRUE(csv.Commit(&error)) << error;
    const auto lines = SplitLines(ReadFile(Path("r.csv")));
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[0],
              "index,test_time,stamp_time,longitude,latitude,message_code,message_class,"
              "payload_length");
    EXPECT_EQ(lines[1],
              "0,2024-05-14T09:20:01.250Z,2024-05-14T09:20:01.750Z,24.9384123,60.1699000,"
              "0x000003C1,1,8");
    EXPECT_EQ(lines[2], "1,2024-05-14T09:20:01.250Z,2024-05-14T09:20:01.750Z,,,0x00000112,,0");
}

TEST_F(OutputsTest, GeoJsonKeepsRecordsAndTrackApart) {
    TGeoJsonOutput out;
    std::string error;
    ASSERT_TRUE(out.Open(Path("r.geojson"), &error)) << error;
    out.Begin();
    out.Add(Row(0, 0x000003C1, 24.0005, 60.0005));
    out.Add(Row(1, 0x00000112, -9999.0, -9999.0));  // no position: not a feature
    out.Add(Row(2, 0x00000112, 24.001, 60.001));
    ASSERT_TRUE(out.Commit(&error)) << error;
    const std::string json = ReadFile(Path("r.geojson"));
    EXPECT_TRUE(Balanced(json)) << json;
    EXPECT_EQ(json.rfind("{\"type\":\"FeatureCollection\"", 0), 0u);
    EXPECT_EQ(Count(json, "\"type\":\"Point\""), 2u);
    EXPECT_EQ(Count(json, "\"type\":\"Feature\""), 2u) << "points only: one layer for a GIS";
    EXPECT_NE(json.find("\"coordinates\":[24.0005000,60.0005000]"), std::string::npos);
    EXPECT_NE(json.find("\"message_class\":null"), std::string::npos);

    // The track: a line, a point for a single fix, an empty collection without fixes.
    const std::vector<TGpsPoint> track = {{24.0, 60.0, 45426.0}, {24.001, 60.001, 45426.1}};
    const std::string line = TrackGeoJson(track);
    EXPECT_TRUE(Balanced(line)) << line;
    EXPECT_NE(line.find("\"LineString\",\"coordinates\":[[24.0000000,60.0000000],"
                        "[24.0010000,60.0010000]]"),
              std::string::npos)
        << line;
    EXPECT_NE(line.find("\"fixes\":2"), std::string::npos);
    EXPECT_NE(TrackGeoJson({track[0]}).find("\"Point\",\"coordinates\":[24.0000000,60.0000000]}"),
              std::string::npos);
    EXPECT_EQ(TrackGeoJson({}), "{\"type\":\"FeatureCollection\",\"features\":[\n]}\n");

    const std::pair<const char*, const char*> beside[] = {{"out/d.geojson", "out/d.track.geojson"},
                                                          {"d.json", ""},
                                                          {"-", ""},
                                                          {".geojson", ""},
                                                          {"/dev/null", ""}};
    for (const auto& [records, trackFile] : beside)
        EXPECT_EQ(TrackGeoJsonBeside(records), trackFile) << records;
}

// The KML as a reader sees it: a well-formed document (a title with markup characters
// included), the styles, the track line, and one placemark per record with a position,
// styled by its class and stamped with its test time.
TEST_F(OutputsTest, KmlIsADocumentOfTrackAndStyledTimedRecords) {
    const std::vector<TGpsPoint> track = {
        {24.0, 60.0, 45426.0}, {24.001, 60.001, 45426.1}, {24.002, 60.0, 45426.2}};
    TKmlOutput kml;
    std::string error;
    ASSERT_TRUE(kml.Open(Path("r.kml"), &error)) << error;
    TKmlSummary summary{"Drive <A&B>", "3 records", {}, 2, 2};
    summary.RecordsByClass = {0, 1, 0, 0, 2};
    kml.Begin(summary, track);
    kml.Add(Row(0, 0x000003C1, 24.0005, 60.0005));
    kml.Add(Row(1, 0x00000112, -9999.0, -9999.0));
    kml.Add(Row(2, 0x00000112, 24.001, 60.001, 0));
    ASSERT_TRUE(kml.Commit(&error)) << error;

    pugi::xml_document doc;
    const std::string text = ReadFile(Path("r.kml"));
    ASSERT_TRUE(doc.load_string(text.c_str())) << text.substr(0, 400);
    const pugi::xml_node document = doc.child("kml").child("Document");
    EXPECT_STREQ(doc.child("kml").attribute("xmlns").value(), "http://www.opengis.net/kml/2.2");
    EXPECT_STREQ(document.child_value("name"), "Drive <A&B>");
    EXPECT_TRUE(Contains(document.child_value("description"), "2 records with a position"));
    std::vector<std::string> styles;
    for (const pugi::xml_node style : document.children("Style"))
        styles.push_back(style.attribute("id").value());
    EXPECT_EQ(styles, (std::vector<std::string>{"track", "class-0", "class-1", "class-2", "class-3",
                                                "no-class"}));
    EXPECT_STREQ(document.find_child_by_attribute("Style", "id", "class-0")
                     .child("IconStyle")
                     .child_value("color"),
                 "ffb4771f");

    // Typed fields, and nothing fetched from the network when the document is opened.
    EXPECT_STREQ(document.find_child_by_attribute("Schema", "id", "record")
                     .find_child_by_attribute("SimpleField", "name", "index")
                     .attribute("type")
                     .value(),
                 "int");
    EXPECT_FALSE(Contains(text, "http://maps")) << "an icon address";
    EXPECT_FALSE(Contains(text, "<href>"));

    std::vector<pugi::xml_node> folders(document.children("Folder").begin(),
                                        document.children("Folder").end());
    ASSERT_EQ(folders.size(), 2u);
    EXPECT_STREQ(folders[0].child_value("name"), "Track");
    EXPECT_EQ(SplitFields(
                  folders[0].child("Placemark").child("LineString").child_value("coordinates"), ' ')
                  .size(),
              3u);
    // The records in a folder per class that has any, in the classes' order.
    EXPECT_STREQ(folders[1].child_value("name"), "Records");
    std::vector<std::string> placemarks;
    for (const pugi::xml_node folder : folders[1].children("Folder"))
        for (const pugi::xml_node p : folder.children("Placemark"))
            placemarks.push_back(std::string(folder.child_value("name")) + ": " +
                                 p.child_value("styleUrl") + " " +
                                 p.child("TimeStamp").child_value("when") + " " +
                                 p.child("Point").child_value("coordinates"));
    EXPECT_EQ(placemarks,
              (std::vector<std::string>{
                  "class 1: #class-1 2024-05-14T09:20:01.250Z 24.0005000,60.0005000",
                  "no class: #no-class 2024-05-14T09:20:01.250Z 24.0010000,60.0010000"}));
    EXPECT_STREQ(KmlFolder(folders[1], "class 1")
                     .child("Placemark")
                     .child("ExtendedData")
                     .child("SchemaData")
                     .find_child_by_attribute("SimpleData", "name", "payload_length")
                     .child_value(),
                 "8");
}

// Placemarks beyond what a class keeps in memory go to its spool and come back in order.
TEST_F(OutputsTest, KmlKeepsEveryPlacemarkOfALargeClassInOrder) {
    TKmlOutput kml;
    std::string error;
    ASSERT_TRUE(kml.Open(Path("big.kml"), &error)) << error;
    kml.Begin(TKmlSummary{"Big", "", {}, 3000, 3000}, {});
    for (int i = 0; i < 3000; ++i)
        kml.Add(i % 2 == 0 ? Row(i, 0x000003C1, 24.0 + i * 1e-5, 60.0)
                           : Row(i, 0x00000112, 24.0 + i * 1e-5, 60.0, 0));
    ASSERT_TRUE(kml.Commit(&error)) << error;
    pugi::xml_document doc;
    ASSERT_TRUE(doc.load_file(Path("big.kml").c_str()));
    const pugi::xml_node records = KmlFolder(doc.child("kml").child("Document"), "Records");
    int index = 0, folders = 0;
    for (const pugi::xml_node folder : records.children("Folder")) {
        ++folders;
        int previous = -1;
        for (const pugi::xml_node p : folder.children("Placemark")) {
            const int at = std::stoi(p.child("ExtendedData")
                                         .child("SchemaData")
                                         .find_child_by_attribute("SimpleData", "name", "index")
                                         .child_value());
            EXPECT_GT(at, previous);
            previous = at;
            ++index;
        }
    }
    EXPECT_EQ(index, 3000);
    EXPECT_EQ(folders, 2);
}

// A live run's outputs: the track grows while records come, and the GeoJSON and the map are
// made at the end from the rows kept aside; the CSV is written as records come.
TEST_F(OutputsTest, OutputSetMakesTheTrackOutputsWhenTheTrackIsComplete) {
    std::vector<TGpsPoint> track;
    TOutputPaths paths;
    std::string error;
    ASSERT_TRUE(n95::host::ApplyOutDir(Path("out/sub"), "run", paths, &error)) << error;
    paths["frame-log"] = Path("out/frames.log");
    TOutputSet outputs;
    ASSERT_TRUE(outputs.Open(paths, track, false, &error)) << error;
    EXPECT_FALSE(outputs.FrameLogWritePath().empty());
    // Nothing appears in the folder before the commit: the files have no name yet.
    EXPECT_TRUE(n95::test::ListDir(Path("out/sub")).empty());
    EXPECT_FALSE(n95::test::FileExists(Path("out/sub/run.csv")));
    outputs.Add(Row(0, 0x000003C1, 24.0005, 60.0005));
    track.push_back({24.0, 60.0, 45426.0});
    outputs.Add(Row(1, 0x00000112, -9999.0, -9999.0));
    track.push_back({24.001, 60.001, 45426.1});
    outputs.Add(Row(2, 0x00000112, 24.001, 60.001));
    outputs.SetTitle("live", "three records");
    std::vector<std::string> errors;
    const std::vector<std::string> written = outputs.CommitEach(&errors);
    EXPECT_TRUE(errors.empty()) << errors[0];
    EXPECT_EQ(written, outputs.Paths());
    EXPECT_EQ(written.size(), 7u);
    EXPECT_EQ(SplitLines(ReadFile(Path("out/sub/run.csv"))).size(), 4u);
    EXPECT_EQ(ReadFile(Path("out/sub/run.track.geojson")), TrackGeoJson(track))
        << "the whole track, known only at the end";
    const std::string json = ReadFile(Path("out/sub/run.geojson"));
    EXPECT_TRUE(Balanced(json)) << json;
    EXPECT_EQ(Count(json, "\"kind\":\"record\""), 2u);
    // The rows came back whole from the spool.
    EXPECT_NE(json.find("\"coordinates\":[24.0005000,60.0005000]},\"properties\":{\"kind\":"
                        "\"record\",\"index\":0,\"test_time\":\"2024-05-14T09:20:01.250Z\""),
              std::string::npos)
        << json;
    EXPECT_NE(json.find("\"index\":2,"), std::string::npos);
    EXPECT_NE(json.find("\"message_code\":\"0x00000112\",\"message_class\":null,"
                        "\"payload_length\":8"),
              std::string::npos);
    const std::string svg = ReadFile(Path("out/sub/run.svg"));
    EXPECT_NE(svg.find("GPS track (2 fixes)"), std::string::npos);
    EXPECT_NE(svg.find("three records"), std::string::npos);
    EXPECT_EQ(Count(ReadFile(Path("out/sub/run.kml")), "<Placemark><name>0x"), 2u);
    EXPECT_EQ(n95::test::ListDir(Path("out/sub")),
              (std::vector<std::string>{"run.csv", "run.geojson", "run.html", "run.kml", "run.svg",
                                        "run.track.geojson"}));
}

// A run's outputs appear together or not at all: a stop asked for while they are made, or a
// file that cannot be put in place after others were, leaves every existing file as it was.
TEST_F(OutputsTest, AStoppedOrFailedCommitLeavesEveryExistingOutputAsItWas) {
    struct Case {
        std::string What;
        bool Stop;            // a stop is asked for during the commit
        std::string Blocked;  // the name that something else takes after Open ("" = none)
    };
    const std::vector<Case> cases = {
        {"stopped", true, ""},
        {"the KML cannot be put in place", false, "run.kml"},
        {"the map cannot be put in place", false, "run.svg"},
    };
    const std::vector<TGpsPoint> track = {{24.0, 60.0, 45426.0}, {24.1, 60.0, 45426.1}};
    for (const Case& c : cases) {
        std::filesystem::remove_all(Path("out"));
        std::filesystem::create_directory(Path("out"));
        const std::vector<std::string> existing = {"run.csv", "run.geojson", "run.track.geojson"};
        for (const std::string& name : existing) {
            n95::test::WriteFile(Path("out/" + name), "earlier " + name);
            chmod(Path("out/" + name).c_str(), 0600);
        }
        TOutputPaths paths;
        std::string error;
        n95::host::NameOutputs(Path("out"), "run", paths);
        TOutputSet outputs;
        volatile std::sig_atomic_t stop = 0;
        outputs.SetStopFlag(&stop);
        ASSERT_TRUE(outputs.Open(paths, track, true, &error)) << error;
        for (int i = 0; i < 40000; ++i)
            outputs.Add(Row(i, 0x000003C1, 24.0 + i * 1e-6, 60.0));
        stop = c.Stop ? 1 : 0;
        if (!c.Blocked.empty())
            std::filesystem::create_directory(Path("out/" + c.Blocked));
        EXPECT_FALSE(outputs.Commit(&error)) << c.What;
        EXPECT_EQ(outputs.Stopped(), c.Stop) << c.What << ": " << error;
        for (const std::string& name : existing) {
            EXPECT_EQ(ReadFile(Path("out/" + name)), "earlier " + name) << c.What;
            struct stat info {};
            ASSERT_EQ(stat(Path("out/" + name).c_str(), &info), 0);
            EXPECT_EQ(info.st_mode & 0777, 0600u) << c.What;
        }
        std::vector<std::string> left = existing;
        if (!c.Blocked.empty())
            left.push_back(c.Blocked);
        std::sort(left.begin(), left.end());
        EXPECT_EQ(n95::test::ListDir(Path("out")), left) << c.What << ": nothing new is left";
    }
}

// --max-points: exactly min(N, records with a position) in the GeoJSON and the KML, spread
// evenly, the first always; rows without a position neither count nor show; the CSV and the
// map keep every record.
TEST_F(OutputsTest, MaxPointsThinsTheRecordLayersEvenly) {
    struct Case {
        int Positioned;
        uint64_t MaxPoints;
    };
    const Case cases[] = {{10, 3}, {10, 10}, {10, 20}, {7, 1}, {1000, 999}, {1000, 7}, {0, 5}};
    const std::vector<TGpsPoint> track = {{24.0, 60.0, 45426.0}, {24.1, 60.0, 45426.1}};
    for (const Case& c : cases) {
        const std::string what =
            std::to_string(c.Positioned) + " positioned, at most " + std::to_string(c.MaxPoints);
        TOutputPaths paths;
        paths["csv"] = Path("t.csv");
        paths["geojson"] = Path("t.geojson");
        paths["kml"] = Path("t.kml");
        TOutputSet outputs;
        outputs.SetMaxPoints(c.MaxPoints);
        std::string error;
        ASSERT_TRUE(outputs.Open(paths, track, true, &error)) << error;
        for (int i = 0; i < c.Positioned; ++i) {
            outputs.Add(Row(2 * i, 0x000003C1, 24.0 + i * 1e-4, 60.0));
            outputs.Add(Row(2 * i + 1, 0x00000112, -9999.0, -9999.0));
        }
        ASSERT_TRUE(outputs.Commit(&error)) << error;
        const uint64_t expected = std::min<uint64_t>(c.Positioned, c.MaxPoints);
        EXPECT_EQ(outputs.Points().WithPosition, static_cast<uint64_t>(c.Positioned)) << what;
        EXPECT_EQ(outputs.Points().Shown, expected) << what;
        EXPECT_EQ(SplitLines(ReadFile(Path("t.csv"))).size(), 2u * c.Positioned + 1) << what;
        EXPECT_EQ(Count(ReadFile(Path("t.kml")), "<Placemark><name>0x"), expected) << what;
        // The indices shown: the first, then gaps that differ by at most one.
        const std::string json = ReadFile(Path("t.geojson"));
        std::vector<long> shown;
        for (std::size_t at = json.find("\"index\":"); at != std::string::npos;
             at = json.find("\"index\":", at + 1))
            shown.push_back(std::stol(json.substr(at + 8)) / 2);
        ASSERT_EQ(shown.size(), expected) << what;
        if (expected == 0)
            continue;
        EXPECT_EQ(shown[0], 0) << what;
        long shortest = c.Positioned, longest = 0;
        for (std::size_t i = 1; i < shown.size(); ++i) {
            shortest = std::min(shortest, shown[i] - shown[i - 1]);
            longest = std::max(longest, shown[i] - shown[i - 1]);
        }
        if (shown.size() > 1) {
            EXPECT_LE(longest - shortest, 1) << what;
        }
        EXPECT_GE(shown.back() + (c.Positioned / static_cast<long>(expected)), c.Positioned - 1)
            << what << ": the last shown is near the end";
    }
}

// The replay's writer thread: the same bytes as rows added directly, whatever the batches
// the rows come in; and a write that fails is seen, without a hang however many rows follow.
TEST_F(OutputsTest, WriterThreadWritesWhatDirectAddsWriteAndStopsOnAFailedWrite) {
    const std::vector<TGpsPoint> track = {{24.0, 60.0, 45426.0}, {24.01, 60.01, 45426.1}};
    std::vector<TRecordRow> rows;
    for (int i = 0; i < 3 * static_cast<int>(TOutputWriter::kBatchRows) + 17; ++i)
        rows.push_back(Row(i, 0x000003C1 + i % 7, 24.0 + i * 1e-6, 60.0 + i * 1e-6, i % 50));
    std::string error;
    TOutputSet direct, threaded;
    const auto named = [&](const std::string& stem) {
        TOutputPaths paths;
        paths["csv"] = Path(stem + ".csv");
        paths["geojson"] = Path(stem + ".geojson");
        paths["track-geojson"] = Path(stem + ".track.geojson");
        paths["kml"] = Path(stem + ".kml");
        paths["map"] = Path(stem + ".svg");
        return paths;
    };
    ASSERT_TRUE(direct.Open(named("a"), track, true, &error)) << error;
    ASSERT_TRUE(threaded.Open(named("b"), track, true, &error)) << error;
    for (const TRecordRow& row : rows)
        direct.Add(row);
    {
        TOutputWriter writer(threaded);
        // Batches of uneven sizes, some larger than the writer's.
        for (std::size_t at = 0, step = 1; at < rows.size(); at += step, step = step * 3 + 1)
            writer.Add(std::span(rows).subspan(at, std::min(step, rows.size() - at)));
        writer.Finish();
        EXPECT_FALSE(writer.Failed());
    }
    ASSERT_TRUE(direct.Commit(&error)) << error;
    ASSERT_TRUE(threaded.Commit(&error)) << error;
    for (const char* type : {".csv", ".geojson", ".track.geojson", ".kml", ".svg"})
        EXPECT_EQ(ReadFile(Path(std::string("a") + type)), ReadFile(Path(std::string("b") + type)))
            << type;

    if (access("/dev/full", W_OK) != 0)
        GTEST_SKIP() << "no writable /dev/full";
    TOutputSet full;
    TOutputPaths toFull;
    toFull["csv"] = "/dev/full";
    ASSERT_TRUE(full.Open(toFull, track, true, &error)) << error;
    TOutputWriter writer(full);
    for (int i = 0; i < 3; ++i)
        writer.Add(rows);
    writer.Finish();
    EXPECT_TRUE(writer.Failed());
    EXPECT_FALSE(full.Flush(&error));
    EXPECT_TRUE(n95::test::Contains(error, "No space left on device")) << error;
}

TEST(SvgMapTest, DotsAreBoundedByThePictureNotByTheRecords) {
    std::vector<TGpsPoint> track;
    for (int i = 0; i <= 100; ++i)
        track.push_back({24.0 + i * 1e-4, 60.0, 45426.0 + i / 86400.0});
    TSvgMap map(track);
    const uint32_t codes[] = {0x412F0112, 0x000003C1, 0x713A0307, 0x0000032D, 0x00000112};
    uint64_t added = 0;
    for (int round = 0; round < 40; ++round)
        for (int i = 0; i < 5000; ++i, ++added)
            map.Add(Row(i, codes[i % 5], 24.0 + (i % 1000) * 1e-5, 60.0));
    // 1000 positions over ~700 pixels: at most one dot per 2-pixel cell and class.
    EXPECT_LE(map.DotCount(), 5u * 400u);
    EXPECT_GE(map.DotCount(), 5u * 100u);
    const std::string svg = map.Render();
    EXPECT_NE(svg.find(">" + std::to_string(added / 5) + "<"), std::string::npos)
        << "legend counts every record";
    EXPECT_TRUE(svg.find("No GPS track") == std::string::npos);

    // Every class's dots stand apart from the grey track line they lie on: no dot colour is
    // the track's, nor a grey (equal red, green and blue).
    const std::size_t stroke = svg.find("stroke=\"#", svg.find("<polyline"));
    const std::string trackColour = svg.substr(stroke + 8, 7);
    for (std::size_t at = svg.find("<g fill=\"#"); at != std::string::npos;
         at = svg.find("<g fill=\"#", at + 1)) {
        const std::string colour = svg.substr(at + 9, 7);
        EXPECT_NE(colour, trackColour);
        EXPECT_FALSE(colour.substr(1, 2) == colour.substr(3, 2) &&
                     colour.substr(3, 2) == colour.substr(5, 2))
            << colour << " is a grey";
    }

    const std::vector<TGpsPoint> none;
    TSvgMap empty(none);
    empty.Add(Row(0, 0x00000112, -9999.0, -9999.0));
    EXPECT_EQ(empty.DotCount(), 0u);
    EXPECT_NE(empty.Render().find("No GPS track"), std::string::npos);
}

std::string FindProgram(const std::string& name) {
    const char* path = std::getenv("PATH");
    std::string dirs = path ? path : "/usr/bin:/bin";
    std::size_t start = 0;
    while (start <= dirs.size()) {
        std::size_t end = dirs.find(':', start);
        if (end == std::string::npos)
            end = dirs.size();
        const std::string candidate = dirs.substr(start, end - start) + "/" + name;
        if (access(candidate.c_str(), X_OK) == 0)
            return candidate;
        start = end + 1;
    }
    return {};
}

uint32_t BigEndian32(const std::string& s, std::size_t at) {
    return static_cast<uint32_t>(static_cast<unsigned char>(s[at])) << 24 |
           static_cast<uint32_t>(static_cast<unsigned char>(s[at + 1])) << 16 |
           static_cast<uint32_t>(static_cast<unsigned char>(s[at + 2])) << 8 |
           static_cast<uint32_t>(static_cast<unsigned char>(s[at + 3]));
}

TEST_F(OutputsTest, SvgMapRendersWithARealRenderer) {
    const std::string rsvg = FindProgram("rsvg-convert");
    if (rsvg.empty())
        GTEST_SKIP() << "rsvg-convert is not installed (Debian: librsvg2-bin)";
    std::vector<TGpsPoint> track;
    for (int i = 0; i <= 60; ++i)
        track.push_back({24.0 + (i < 30 ? i : 30) * 1e-4, 60.0 + (i < 30 ? 0 : i - 30) * 5e-5,
                         45426.0 + i / 86400.0});
    TSvgMap map(track);
    for (int i = 0; i < 600; ++i) {
        const TGpsPoint& p = track[static_cast<std::size_t>(i / 10)];
        map.Add(Row(i, i % 3 ? 0x000003C1 : 0x00000112, p.X, p.Y));
    }
    map.SetTitle("Title with <markup> & \"quotes\"", "subtitle");
    TOutputFile file;
    std::string error;
    ASSERT_TRUE(file.Open(Path("map.svg"), &error)) << error;
    ASSERT_TRUE(map.Commit(file, &error)) << error;

    const auto result = n95::test::RunProgram(rsvg, {"-o", Path("map.png"), Path("map.svg")});
    ASSERT_EQ(result.Status, 0) << result.Errors;
    const std::string png = ReadFile(Path("map.png"));
    ASSERT_GT(png.size(), 24u);
    EXPECT_EQ(png.substr(1, 3), "PNG");
    EXPECT_EQ(BigEndian32(png, 16), static_cast<uint32_t>(TSvgMap::kWidth));
    EXPECT_EQ(BigEndian32(png, 20), static_cast<uint32_t>(TSvgMap::kHeight));
}

}  // namespace
}  // namespace n95::host
