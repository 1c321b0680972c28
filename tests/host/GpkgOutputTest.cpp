// The GeoPackage output driven through IOutput as the output set drives it, and the files
// read back with GDAL: layers, counts, every field, the spatial indexes, what is refused and
// what a discarded output leaves.
#include "host/outputs/GpkgOutput.h"

#include <gtest/gtest.h>

#include <sys/resource.h>

#include <algorithm>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <filesystem>

#include "host/common/DateTimeText.h"
#include "tests/host/HostTestSupport.h"

#if N95_HAVE_GDAL
#include <gdal.h>
#include <ogr_api.h>
#endif

namespace n95::host {
namespace {

using n95::test::ReadFile;

class GpkgOutputTest : public n95::test::ScratchDirTest {
protected:
    // Open, Begin, the rows, Make and the set's commit; the messages of a failure.
    std::string Write(const std::string& path, const std::vector<TRecordRow>& rows,
                      const std::vector<TGpsPoint>& track) {
        std::unique_ptr<IOutput> output = MakeGpkgOutput();
        std::string error;
        if (!output->Open(path, &error))
            return "Open: " + error;
        TOutputFacts facts;
        facts.Track = &track;
        output->Begin(facts);
        for (const TRecordRow& row : rows)
            output->Add(row);
        if (!output->Make(facts, &error) || !output->File().Commit(&error))
            return "Make: " + error;
        return "";
    }
};

#if N95_HAVE_GDAL

// A record at a time of day `seconds` after 09:20 (fractions of milliseconds included, to
// see them rounded as the CSV rounds them), without a position when `x` is the no-value.
TRecordRow Row(int64_t index, double seconds, double x, double y, int messageClass,
               int32_t payload) {
    TRecordRow row;
    row.Index = index;
    row.TestTime = MakeDateTime(2024, 5, 14, 9, 20, seconds);
    row.StampTime = seconds < 0 ? -9999.0 : row.TestTime + 0.5 / 86400;
    row.X = x;
    row.Y = y;
    row.MessageCode = 0x80000000u + static_cast<uint32_t>(index) * 0x10001u;
    row.MessageClass = messageClass;
    row.PayloadLength = payload;
    return row;
}

// A GeoPackage opened read-only with GDAL, closed at the end of the scope.
class TReadBack {
public:
    explicit TReadBack(const std::string& path) {
        const char* const drivers[] = {"GPKG", nullptr};
        Dataset =
            GDALOpenEx(path.c_str(), GDAL_OF_VECTOR | GDAL_OF_READONLY, drivers, nullptr, nullptr);
    }
    ~TReadBack() {
        if (Dataset != nullptr)
            GDALClose(Dataset);
    }
    GDALDatasetH Dataset = nullptr;

    // The first column of the first row of an SQL query, as text ("" for none).
    std::string Query(const std::string& sql) const {
        OGRLayerH result = GDALDatasetExecuteSQL(Dataset, sql.c_str(), nullptr, nullptr);
        std::string value;
        if (result == nullptr)
            return value;
        if (OGRFeatureH feature = OGR_L_GetNextFeature(result)) {
            value = OGR_F_GetFieldAsString(feature, 0);
            OGR_F_Destroy(feature);
        }
        GDALDatasetReleaseResultSet(Dataset, result);
        return value;
    }
};

// A DateTime field as the CSV writes the time, "" when null.
std::string IsoText(OGRFeatureH feature, const char* name) {
    const int field = OGR_F_GetFieldIndex(feature, name);
    int y, m, d, hour, minute, zone;
    float second;
    if (!OGR_F_IsFieldSetAndNotNull(feature, field) ||
        !OGR_F_GetFieldAsDateTimeEx(feature, field, &y, &m, &d, &hour, &minute, &second, &zone))
        return "";
    const long ms = std::lround(second * 1000.0F);
    char text[96];
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02ld.%03ld%s", y, m, d, hour,
                  minute, ms / 1000, ms % 1000, zone == 100 ? "Z" : "?");
    return text;
}

// An integer field, -1 when null (as the rows hold "none").
int64_t IntOrNone(OGRFeatureH feature, const char* name) {
    const int field = OGR_F_GetFieldIndex(feature, name);
    return OGR_F_IsFieldSetAndNotNull(feature, field) ? OGR_F_GetFieldAsInteger64(feature, field)
                                                      : -1;
}

TEST_F(GpkgOutputTest, LayersHoldEveryRowAndTheTrack) {
    std::vector<TRecordRow> many;
    for (int i = 0; i < 4000; ++i) {
        const bool placed = i % 7 != 3;
        many.push_back(Row(
            i, 0.0004 * i + (i % 5 == 0 ? 59.9996 : 0.0), placed ? 24.9 + i * 1e-6 : RecordNoValue,
            placed ? 60.1 - i * 1e-6 : RecordNoValue, i % 6 - 1, i % 4 == 0 ? -1 : i % 300));
    }
    std::vector<TGpsPoint> longTrack;
    for (int i = 0; i < 50; ++i)
        longTrack.push_back(
            {24.9 + i * 1e-4, 60.1 - i * 1e-4, MakeDateTime(2024, 5, 14, 9, 20, i)});
    const TGpsPoint fix{24.5, 60.5, MakeDateTime(2024, 5, 14, 9, 0, 0.25)};

    struct TCase {
        const char* Name;
        std::vector<TRecordRow> Rows;
        std::vector<TGpsPoint> Track;
    } cases[] = {
        {"no rows", {}, {}},
        {"rows without positions (or not a number)",
         {Row(0, 1.0, RecordNoValue, RecordNoValue, -1, -1),
          Row(1, -1.0, RecordNoValue, RecordNoValue, 2, 0), Row(2, 1.5, std::nan(""), 60.5, 1, 3),
          Row(3, 1.5, 24.5, HUGE_VAL, 1, 3)},
         {}},
        {"one fix", {Row(0, 2.5, 24.5, 60.5, 0, 12)}, {fix}},
        {"many rows over an existing file", many, longTrack},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.Name);
        const std::string path = Path(std::string(c.Name) + ".gpkg");
        n95::test::WriteFile(path, "not a GeoPackage");
        ASSERT_EQ(Write(path, c.Rows, c.Track), "");
        TReadBack file(path);
        ASSERT_NE(file.Dataset, nullptr);
        OGRLayerH records = GDALDatasetGetLayerByName(file.Dataset, "records");
        OGRLayerH track = GDALDatasetGetLayerByName(file.Dataset, "track");
        ASSERT_NE(records, nullptr);
        ASSERT_NE(track, nullptr);
        EXPECT_EQ(OGR_L_GetGeomType(records), wkbPoint);
        EXPECT_EQ(OGR_L_GetGeomType(track), wkbLineString);

        std::size_t placed = 0;
        // The count and the box as the file states them, not as GDAL would work them out.
        OGRLayerH stored = GDALDatasetExecuteSQL(
            file.Dataset,
            "SELECT feature_count FROM gpkg_ogr_contents WHERE table_name = 'records'", nullptr,
            nullptr);
        ASSERT_NE(stored, nullptr);
        OGRFeatureH count = OGR_L_GetNextFeature(stored);
        ASSERT_NE(count, nullptr);
        EXPECT_TRUE(OGR_F_IsFieldSetAndNotNull(count, 0));
        EXPECT_EQ(OGR_F_GetFieldAsInteger64(count, 0), static_cast<GIntBig>(c.Rows.size()));
        OGR_F_Destroy(count);
        GDALDatasetReleaseResultSet(file.Dataset, stored);
        ASSERT_EQ(OGR_L_GetFeatureCount(records, TRUE), static_cast<GIntBig>(c.Rows.size()));
        OGREnvelope box;  // empty: each bound at the far end
        box.MinX = box.MinY = HUGE_VAL;
        box.MaxX = box.MaxY = -HUGE_VAL;
        for (const TRecordRow& row : c.Rows) {
            if (row.HasPosition() && std::isfinite(row.X) && std::isfinite(row.Y)) {
                box.MinX = std::min(box.MinX, row.X);
                box.MaxX = std::max(box.MaxX, row.X);
                box.MinY = std::min(box.MinY, row.Y);
                box.MaxY = std::max(box.MaxY, row.Y);
            }
        }
        OGREnvelope stated;
        if (box.MinX <= box.MaxX) {
            ASSERT_EQ(OGR_L_GetExtent(records, &stated, FALSE), OGRERR_NONE);
            EXPECT_EQ(stated.MinX, box.MinX);
            EXPECT_EQ(stated.MaxX, box.MaxX);
            EXPECT_EQ(stated.MinY, box.MinY);
            EXPECT_EQ(stated.MaxY, box.MaxY);
        }
        OGR_L_ResetReading(records);
        for (const TRecordRow& row : c.Rows) {
            OGRFeatureH feature = OGR_L_GetNextFeature(records);
            ASSERT_NE(feature, nullptr);
            SCOPED_TRACE(row.Index);
            EXPECT_EQ(IntOrNone(feature, "index"), row.Index);
            EXPECT_EQ(IsoText(feature, "test_time"), FormatIso8601(row.TestTime));
            EXPECT_EQ(IsoText(feature, "stamp_time"), FormatIso8601(row.StampTime));
            char code[16];
            std::snprintf(code, sizeof code, "0x%08X", row.MessageCode);
            EXPECT_STREQ(
                OGR_F_GetFieldAsString(feature, OGR_F_GetFieldIndex(feature, "message_code")),
                code);
            EXPECT_EQ(IntOrNone(feature, "message_class"), row.MessageClass);
            EXPECT_EQ(IntOrNone(feature, "payload_length"), row.PayloadLength);
            OGRGeometryH point = OGR_F_GetGeometryRef(feature);
            const bool finite = std::isfinite(row.X) && std::isfinite(row.Y);
            EXPECT_EQ(point != nullptr, row.HasPosition() && finite);
            if (point != nullptr && row.HasPosition() && finite) {
                ++placed;
                EXPECT_EQ(OGR_G_GetX(point, 0), row.X);
                EXPECT_EQ(OGR_G_GetY(point, 0), row.Y);
            }
            OGR_F_Destroy(feature);
        }

        ASSERT_EQ(OGR_L_GetFeatureCount(track, TRUE), c.Track.empty() ? 0 : 1);
        if (!c.Track.empty()) {
            OGR_L_ResetReading(track);
            OGRFeatureH feature = OGR_L_GetNextFeature(track);
            ASSERT_NE(feature, nullptr);
            OGRGeometryH line = OGR_F_GetGeometryRef(feature);
            ASSERT_NE(line, nullptr);
            const int points = OGR_G_GetPointCount(line);
            ASSERT_EQ(points, std::max<int>(2, static_cast<int>(c.Track.size())));
            for (int i = 0; i < points; ++i) {
                const TGpsPoint& at = c.Track[std::min<std::size_t>(i, c.Track.size() - 1)];
                EXPECT_EQ(OGR_G_GetX(line, i), at.X);
                EXPECT_EQ(OGR_G_GetY(line, i), at.Y);
            }
            EXPECT_EQ(IntOrNone(feature, "fixes"), static_cast<int64_t>(c.Track.size()));
            EXPECT_EQ(IsoText(feature, "start_time"), FormatIso8601(c.Track.front().Time));
            EXPECT_EQ(IsoText(feature, "end_time"), FormatIso8601(c.Track.back().Time));
            OGR_F_Destroy(feature);
        }

        // Both spatial indexes declared, holding every geometry, and sound.
        EXPECT_EQ(file.Query("SELECT group_concat(table_name) FROM (SELECT table_name FROM "
                             "gpkg_extensions WHERE extension_name = 'gpkg_rtree_index' "
                             "ORDER BY table_name)"),
                  "records,track");
        // Every point inside its own box (the index's floats rounded outwards).
        EXPECT_EQ(file.Query("SELECT COUNT(*) FROM records r JOIN rtree_records_geom i ON "
                             "i.id = r.fid WHERE i.minx <= ST_MinX(r.geom) AND "
                             "i.maxx >= ST_MaxX(r.geom) AND i.miny <= ST_MinY(r.geom) AND "
                             "i.maxy >= ST_MaxY(r.geom)"),
                  std::to_string(placed));
        EXPECT_EQ(file.Query("SELECT COUNT(*) FROM rtree_track_geom"), c.Track.empty() ? "0" : "1");
        EXPECT_EQ(file.Query("SELECT rtreecheck('rtree_records_geom')"), "ok");
        // Whoever edits the file later keeps the records' index up to date, as the track's.
        const auto triggers = [&](const std::string& layer) {
            const std::string prefix = "rtree_" + layer + "_geom_";
            return file.Query("SELECT group_concat(replace(name, '" + prefix +
                              "', '')) FROM (SELECT name FROM sqlite_master WHERE type = "
                              "'trigger' AND name LIKE '" +
                              prefix + "%' ORDER BY name)");
        };
        EXPECT_EQ(triggers("records"), triggers("track"));
        EXPECT_NE(triggers("records").find("insert"), std::string::npos);
        EXPECT_EQ(
            file.Query("SELECT srs_id FROM gpkg_geometry_columns WHERE table_name = 'records'"),
            "4326");
    }
}

#endif  // N95_HAVE_GDAL

// Names the output cannot be written to are refused when it is opened, before any row,
// and with GDAL missing every name is (the build says so).
TEST_F(GpkgOutputTest, RefusedNamesFailAtOpen) {
    std::filesystem::create_directory(Path("folder"));
    struct TCase {
        std::string Path;
        const char* Says;
    } cases[] = {
#if N95_HAVE_GDAL
        {"-", "standard output: a GeoPackage is a database written in place, not a stream"},
        {"/dev/null", "/dev/null: a GeoPackage is a database"},
        {Path("missing/d.gpkg"), "missing/d.gpkg"},
        {Path("folder"), "folder"},
#else
        {Path("d.gpkg"), "built without GeoPackage support"},
#endif
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.Path);
        std::unique_ptr<IOutput> output = MakeGpkgOutput();
        std::string error;
        EXPECT_FALSE(output->Open(c.Path, &error));
        EXPECT_NE(error.find(c.Says), std::string::npos) << error;
    }
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(Dir), {}), 1);
}

#if N95_HAVE_GDAL
// A discarded output leaves the folder as it was: no file, no journal, the old file intact,
// also once Make has closed the database.
TEST_F(GpkgOutputTest, DiscardLeavesNothing) {
    for (const bool made : {false, true}) {
        SCOPED_TRACE(made ? "after Make" : "during the run");
        const std::string existing = Path("old.gpkg");
        n95::test::WriteFile(existing, "the old file");
        const std::vector<TGpsPoint> track = {{24.5, 60.5, 45000.0}};
        std::unique_ptr<IOutput> output = MakeGpkgOutput();
        std::string error;
        ASSERT_TRUE(output->Open(existing, &error)) << error;
        ASSERT_TRUE(output->Open(Path("new.gpkg"), &error)) << error;  // again: the first is let go
        TOutputFacts facts;
        facts.Track = &track;
        for (int i = 0; i < 500; ++i)
            output->Add(Row(i, i * 0.1, 24.5, 60.5, 1, 4));
        if (made) {
            ASSERT_TRUE(output->Make(facts, &error)) << error;
        }
        output->Discard();
        EXPECT_EQ(ReadFile(existing), "the old file");
        EXPECT_EQ(std::distance(std::filesystem::directory_iterator(Dir), {}), 1);
    }
}

// A file that cannot grow (a full disk, a quota): the failure is Make's, with a message
// naming the file, and nothing is left.
TEST_F(GpkgOutputTest, FailedWriteIsReported) {
    rlimit before{};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &before), 0);
    const auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);  // the write fails with EFBIG
    rlimit small = before;
    small.rlim_cur = 256 * 1024;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
    std::vector<TRecordRow> rows;
    for (int i = 0; i < 20000; ++i)
        rows.push_back(Row(i, i * 0.01, 24.5 + i * 1e-5, 60.5, 1, 4));
    const std::string result = Write(Path("full.gpkg"), rows, {});
    setrlimit(RLIMIT_FSIZE, &before);
    std::signal(SIGXFSZ, oldHandler);
    EXPECT_EQ(result.rfind("Make: cannot write " + Path("full.gpkg") + ": ", 0), 0) << result;
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(Dir), {}), 0);
}
#endif

}  // namespace
}  // namespace n95::host
