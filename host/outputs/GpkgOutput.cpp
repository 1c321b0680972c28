#include "host/outputs/GpkgOutput.h"

#include <cpl_conv.h>
#include <cpl_error.h>
#include <cpl_vsi.h>
#include <gdal.h>
#include <ogr_api.h>
#include <ogr_srs_api.h>
#include <ogrsf_frmts.h>
#include <sqlite3.h>

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <limits>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "host/common/DateTimeText.h"
#include "host/common/Diagnostics.h"
#include "host/common/OutputTarget.h"
#include "host/outputs/OutputText.h"
#include "host/outputs/PackedRtree.h"

namespace n95::host {

namespace {

// Registers GDAL's GeoPackage driver, the only one needed (GDALAllRegister would load every
// driver and plug-in GDAL has), and keeps GDAL's messages off the terminal: each failure is
// read back with CPLGetLastErrorMsg and reported in the output's own words.
void StartGdal() {
    static std::once_flag once;
    std::call_once(once, [] {
        // SQLite counts every allocation under a process-wide mutex for statistics nobody
        // reads here: off, while it can still be set (before SQLite's first use; later the
        // call changes nothing).
        sqlite3_config(SQLITE_CONFIG_MEMSTATUS, 0);
        RegisterOGRGeoPackage();
        CPLSetErrorHandler(CPLQuietErrorHandler);
    });
}

// GDAL's last failure on this thread, or `fallback` when it gave no message.
std::string GdalMessage(const char* fallback) {
    const char* message = CPLGetLastErrorMsg();
    return message != nullptr && *message != '\0' ? message : fallback;
}

// GDAL configuration options set for this thread while the object lives, then put back.
class TThreadOptions {
public:
    explicit TThreadOptions(std::vector<std::pair<const char*, const char*>> options) {
        for (const auto& [key, value] : options) {
            const char* old = CPLGetThreadLocalConfigOption(key, nullptr);
            Saved.push_back({key, old != nullptr, old != nullptr ? old : ""});
            CPLSetThreadLocalConfigOption(key, value);
        }
    }
    TThreadOptions(const TThreadOptions&) = delete;
    TThreadOptions& operator=(const TThreadOptions&) = delete;
    ~TThreadOptions() {
        for (const TSaved& saved : Saved)
            CPLSetThreadLocalConfigOption(saved.Key, saved.Had ? saved.Value.c_str() : nullptr);
    }

private:
    struct TSaved {
        const char* Key;
        bool Had;
        std::string Value;
    };
    std::vector<TSaved> Saved;
};

// The records layer's fields, in this order (the CSV's columns but the position).
enum TRecordField { kIndex, kTestTime, kStampTime, kMessageCode, kMessageClass, kPayloadLength };
// The track layer's.
enum TTrackField { kFixes, kStartTime, kEndTime };

struct TFieldDef {
    const char* Name;
    OGRFieldType Type;
};
constexpr TFieldDef kRecordFields[] = {
    {"index", OFTInteger64},     {"test_time", OFTDateTime},    {"stamp_time", OFTDateTime},
    {"message_code", OFTString}, {"message_class", OFTInteger}, {"payload_length", OFTInteger},
};
constexpr TFieldDef kTrackFields[] = {
    {"fixes", OFTInteger64},
    {"start_time", OFTDateTime},
    {"end_time", OFTDateTime},
};

// `t` as a UTC DateTime field, rounded to the millisecond as the CSV writes it; null where
// the CSV's cell is empty (no value, out of range).
void SetDateTime(OGRFeatureH feature, int field, TDateTime t) {
    int64_t days = 0, ms = 0;
    if (!SplitMilliseconds(t, days, ms)) {
        OGR_F_SetFieldNull(feature, field);
        return;
    }
    int64_t y = 0;
    unsigned m = 0, d = 0;
    CivilFromDays(days, y, m, d);
    // A float holds the seconds of a minute to the millisecond; GDAL writes 3 decimals.
    constexpr int kUtc = 100;  // GDAL's time zone flag for UTC
    OGR_F_SetFieldDateTimeEx(feature, field, static_cast<int>(y), static_cast<int>(m),
                             static_cast<int>(d), static_cast<int>(ms / 3600000),
                             static_cast<int>(ms / 60000 % 60),
                             static_cast<float>(ms % 60000) / 1000.0F, kUtc);
}

class TGpkgOutput final : public IOutput {
public:
    TGpkgOutput() = default;
    TGpkgOutput(const TGpkgOutput&) = delete;
    TGpkgOutput& operator=(const TGpkgOutput&) = delete;
    ~TGpkgOutput() override { Abandon(); }

    bool Open(const std::string& path, std::string* error) override;
    void Add(const TRecordRow& row) override;
    bool Make(const TOutputFacts& facts, std::string* error) override;
    TOutputFile& File() override { return Output; }
    void Discard() override {
        Abandon();
        Output.Discard();
    }

private:
    // Writes an empty GeoPackage at Output.WritePath() and opens it for update.
    bool CreateDatabase(std::string* error);
    bool CreateLayers(std::string* error);
    // Has GDAL make the records' spatial index, then sets its insert trigger aside so that
    // Add fills it in bulk.
    bool CreateRecordsIndex(std::string* error);
    // Prepares the statement that Add inserts a record with (see InsertRow).
    bool PrepareInsert(std::string* error);
    // One record through Insert. False, with SQLite's words in *why.
    bool InsertRow(const TRecordRow& row, bool placed, std::string* why);
    // The records' extent and count, which GDAL keeps only for the features it wrote itself.
    bool WriteRecordsContents(std::string* why);
    bool WriteFeatureCount(int64_t count, std::string* error);
    bool AddTrack(const std::vector<TGpsPoint>& track);
    // Closes the dataset without committing what it holds (the file is discarded).
    void Abandon();
    // "cannot write NAME: " and GDAL's last message.
    std::string Failed(const char* fallback) const {
        return "cannot write " + Output.Name() + ": " + GdalMessage(fallback);
    }

    TOutputFile Output;
    GDALDatasetH Dataset = nullptr;
    OGRLayerH Records = nullptr;
    OGRLayerH Track = nullptr;
    // One feature reused for every row, so that a row costs no allocation of its own.
    OGRFeatureH Row = nullptr;
    // The first failure of Add, reported by Make.
    std::string AddFailure;
    // GDAL's connection to the file, for the records' spatial index (nil: indexed by SQLite
    // row by row, as GDAL's trigger does it).
    sqlite3* Db = nullptr;
    TPackedRtree Index;
    std::string InsertTrigger;  // the SQL of the trigger set aside
    // The records' insert (nil: each goes through GDAL's feature), what it inserted, and the
    // box of their positions.
    sqlite3_stmt* Insert = nullptr;
    int64_t Inserted = 0;
    double MinX = HUGE_VAL, MinY = HUGE_VAL, MaxX = -HUGE_VAL, MaxY = -HUGE_VAL;
    TIso8601Column TestTimes, StampTimes;
    std::string Blob;  // a point's geometry, as GeoPackage encodes it
};

bool TGpkgOutput::Open(const std::string& path, std::string* error) {
    Discard();
    StartGdal();
    TOutputTarget target;
    if (!ResolveOutputTarget(path, target, error))
        return false;
    if (target.Kind != TOutputTarget::TKind::File) {
        *error = "cannot write a GeoPackage to " + OutputDisplayName(path) +
                 ": a GeoPackage is a database written in place, not a stream; name a file";
        return false;
    }
    if (!Output.Open(path, TOutputFile::TOptions{.ByName = true}, error))
        return false;
    if (!CreateDatabase(error) || !CreateLayers(error)) {
        Discard();
        return false;
    }
    return true;
}

bool TGpkgOutput::CreateDatabase(std::string* error) {
    CPLErrorReset();
    const std::string blank =
        "/vsimem/n95host-gpkg-" + std::to_string(reinterpret_cast<uintptr_t>(this)) + ".gpkg";
    GDALDriverH driver = GDALGetDriverByName("GPKG");
    GDALDatasetH made = driver != nullptr
                            ? GDALCreate(driver, blank.c_str(), 0, 0, 0, GDT_Unknown, nullptr)
                            : nullptr;
    if (made == nullptr) {
        *error = Failed("GDAL cannot make a GeoPackage");
        return false;
    }
    GDALClose(made);
    vsi_l_offset size = 0;
    const GByte* bytes = VSIGetMemFileBuffer(blank.c_str(), &size, FALSE);
    bool written = false;
    int errnum = EIO;
    if (FILE* file = std::fopen(Output.WritePath().c_str(), "wb")) {
        written = bytes != nullptr && std::fwrite(bytes, 1, size, file) == size;
        errnum = errno;
        written = std::fclose(file) == 0 && written;
        if (errnum == 0)
            errnum = errno;
    } else {
        errnum = errno;
    }
    VSIUnlink(blank.c_str());
    if (!written) {
        *error = SystemError("cannot write " + Output.Name(), errnum != 0 ? errnum : EIO);
        return false;
    }

    const TThreadOptions options({{"SQLITE_USE_OGR_VFS", "YES"},
                                  {"OGR_SQLITE_JOURNAL", "MEMORY"},
                                  {"OGR_SQLITE_SYNCHRONOUS", "OFF"}});
    const char* const drivers[] = {"GPKG", nullptr};
    Dataset = GDALOpenEx(Output.WritePath().c_str(), GDAL_OF_VECTOR | GDAL_OF_UPDATE, drivers,
                         nullptr, nullptr);
    if (Dataset == nullptr) {
        *error = Failed("GDAL cannot open the GeoPackage it made");
        return false;
    }
    return true;
}

bool TGpkgOutput::CreateLayers(std::string* error) {
    CPLErrorReset();
    OGRSpatialReferenceH wgs84 = OSRNewSpatialReference(nullptr);
    if (OSRImportFromEPSG(wgs84, 4326) != OGRERR_NONE) {
        OSRRelease(wgs84);
        *error = Failed("GDAL does not know EPSG:4326");
        return false;
    }
    // Longitude first, as every geometry here is written.
    OSRSetAxisMappingStrategy(wgs84, OAMS_TRADITIONAL_GIS_ORDER);
    const char* const noIndex[] = {"SPATIAL_INDEX=NO", nullptr};
    Records =
        GDALDatasetCreateLayer(Dataset, "records", wgs84, wkbPoint, const_cast<char**>(noIndex));
    Track = GDALDatasetCreateLayer(Dataset, "track", wgs84, wkbLineString, nullptr);
    OSRRelease(wgs84);
    bool ok = Records != nullptr && Track != nullptr;
    for (const TFieldDef& def : kRecordFields) {
        OGRFieldDefnH field = OGR_Fld_Create(def.Name, def.Type);
        ok = ok && OGR_L_CreateField(Records, field, TRUE) == OGRERR_NONE;
        OGR_Fld_Destroy(field);
    }
    for (const TFieldDef& def : kTrackFields) {
        OGRFieldDefnH field = OGR_Fld_Create(def.Name, def.Type);
        ok = ok && OGR_L_CreateField(Track, field, TRUE) == OGRERR_NONE;
        OGR_Fld_Destroy(field);
    }
    // Every row from here to Make goes in one transaction.
    ok = ok && GDALDatasetStartTransaction(Dataset, FALSE) == OGRERR_NONE;
    if (!ok) {
        *error = Failed("GDAL cannot make the layers");
        return false;
    }
    Row = OGR_F_Create(OGR_L_GetLayerDefn(Records));
    return CreateRecordsIndex(error);
}

// SQLite's own insertion into an R*Tree costs several times what the row does (it reads and
// rewrites nodes for every point), and so does GDAL's way of indexing a new layer at the
// end. GDAL still makes the index (its tables, its triggers, its declaration in
// gpkg_extensions), so that the file is as GDAL writes it; only the trigger that indexes
// each new row is dropped until Make, while TPackedRtree fills the index as the rows come,
// and then put back as GDAL wrote it, for whoever edits the file later.
bool TGpkgOutput::CreateRecordsIndex(std::string* error) {
    CPLErrorReset();
    OGRLayerH result = GDALDatasetExecuteSQL(
        Dataset, "SELECT CreateSpatialIndex('records', 'geom')", nullptr, nullptr);
    if (result != nullptr)
        GDALDatasetReleaseResultSet(Dataset, result);
    if (CPLGetLastErrorType() >= CE_Failure) {
        *error = Failed("GDAL cannot make the spatial index");
        return false;
    }
    Db = static_cast<sqlite3*>(GDALGetInternalHandle(Dataset, "SQLITE_HANDLE"));
    if (Db == nullptr)
        return true;  // another GDAL: its trigger indexes each row
    sqlite3_stmt* query = nullptr;
    if (sqlite3_prepare_v2(Db,
                           "SELECT sql FROM sqlite_master WHERE type = 'trigger' AND "
                           "name = 'rtree_records_geom_insert'",
                           -1, &query, nullptr) == SQLITE_OK &&
        sqlite3_step(query) == SQLITE_ROW)
        InsertTrigger = reinterpret_cast<const char*>(sqlite3_column_text(query, 0));
    sqlite3_finalize(query);
    std::string why;
    if (InsertTrigger.empty()) {
        why = "GDAL made no insert trigger for the spatial index";
    } else if (sqlite3_exec(Db, "DROP TRIGGER \"rtree_records_geom_insert\"", nullptr, nullptr,
                            nullptr) != SQLITE_OK) {
        why = sqlite3_errmsg(Db);
    } else if (Index.Start(Db, "rtree_records_geom", &why)) {
        return PrepareInsert(error);
    }
    *error = "cannot write " + Output.Name() + ": " + why;
    return false;
}

// GDAL's path for a feature (fields set one by one, looked up, formatted, bound) costs more
// than SQLite's insert itself: with GDAL's connection at hand the records go straight into
// the table GDAL made, encoded as GDAL encodes them (the same values, the same text of each
// time, the same geometry bytes), and the layer's count and extent, which GDAL keeps only for
// what it wrote, are written at Make.
bool TGpkgOutput::PrepareInsert(std::string* error) {
    if (sqlite3_prepare_v2(Db,
                           "INSERT INTO \"records\" (\"geom\", \"index\", \"test_time\", "
                           "\"stamp_time\", \"message_code\", \"message_class\", "
                           "\"payload_length\") VALUES (?, ?, ?, ?, ?, ?, ?)",
                           -1, &Insert, nullptr) != SQLITE_OK) {
        *error = "cannot write " + Output.Name() + ": " + sqlite3_errmsg(Db);
        return false;
    }
    // "GP", version 0, flags (little-endian, no envelope), SRS 4326; then WKB: little-endian,
    // a point, x, y.
    static const unsigned char kHead[] = {'G', 'P', 0, 1, 0xE6, 0x10, 0, 0, 1, 1, 0, 0, 0};
    Blob.assign(reinterpret_cast<const char*>(kHead), sizeof kHead);
    Blob.resize(sizeof kHead + 2 * sizeof(double));
    return true;
}

bool TGpkgOutput::InsertRow(const TRecordRow& row, bool placed, std::string* why) {
    // GeoPackage's bytes here are little-endian IEEE doubles, as the machine's (the flags say
    // little-endian; a big-endian host would have to swap).
    static_assert(std::numeric_limits<double>::is_iec559 &&
                  std::endian::native == std::endian::little);
    sqlite3_reset(Insert);
    if (placed) {
        std::memcpy(Blob.data() + 13, &row.X, sizeof row.X);
        std::memcpy(Blob.data() + 21, &row.Y, sizeof row.Y);
        sqlite3_bind_blob(Insert, 1, Blob.data(), static_cast<int>(Blob.size()), SQLITE_STATIC);
        MinX = std::min(MinX, row.X);
        MaxX = std::max(MaxX, row.X);
        MinY = std::min(MinY, row.Y);
        MaxY = std::max(MaxY, row.Y);
    } else {
        sqlite3_bind_null(Insert, 1);
    }
    sqlite3_bind_int64(Insert, 2, row.Index);
    char test[kIso8601Size], stamp[kIso8601Size], code[kCodeChars];
    const int testSize = static_cast<int>(TestTimes.Put(test, row.TestTime) - test);
    const int stampSize = static_cast<int>(StampTimes.Put(stamp, row.StampTime) - stamp);
    if (testSize > 0)
        sqlite3_bind_text(Insert, 3, test, testSize, SQLITE_STATIC);
    else
        sqlite3_bind_null(Insert, 3);
    if (stampSize > 0)
        sqlite3_bind_text(Insert, 4, stamp, stampSize, SQLITE_STATIC);
    else
        sqlite3_bind_null(Insert, 4);
    sqlite3_bind_text(Insert, 5, code, static_cast<int>(PutCode(code, row.MessageCode) - code),
                      SQLITE_STATIC);
    if (row.MessageClass >= 0)
        sqlite3_bind_int(Insert, 6, row.MessageClass);
    else
        sqlite3_bind_null(Insert, 6);
    if (row.PayloadLength >= 0)
        sqlite3_bind_int(Insert, 7, row.PayloadLength);
    else
        sqlite3_bind_null(Insert, 7);
    if (sqlite3_step(Insert) != SQLITE_DONE) {
        *why = sqlite3_errmsg(Db);
        return false;
    }
    ++Inserted;
    return !placed || Index.Add(sqlite3_last_insert_rowid(Db), row.X, row.Y, why);
}

bool TGpkgOutput::WriteRecordsContents(std::string* why) {
    if (Insert == nullptr)
        return true;
    sqlite3_finalize(Insert);
    Insert = nullptr;
    sqlite3_stmt* update = nullptr;
    bool ok = true;
    if (MinX <= MaxX) {
        ok = sqlite3_prepare_v2(Db,
                                "UPDATE gpkg_contents SET min_x = ?, min_y = ?, max_x = ?, "
                                "max_y = ? WHERE lower(table_name) = 'records'",
                                -1, &update, nullptr) == SQLITE_OK &&
             sqlite3_bind_double(update, 1, MinX) == SQLITE_OK &&
             sqlite3_bind_double(update, 2, MinY) == SQLITE_OK &&
             sqlite3_bind_double(update, 3, MaxX) == SQLITE_OK &&
             sqlite3_bind_double(update, 4, MaxY) == SQLITE_OK &&
             sqlite3_step(update) == SQLITE_DONE;
        sqlite3_finalize(update);
    }
    if (!ok)
        *why = sqlite3_errmsg(Db);
    return ok;
}

void TGpkgOutput::Add(const TRecordRow& row) {
    if (Row == nullptr || !AddFailure.empty())
        return;
    // A position that is not a number (from a faulty plug-in) is none: GeoPackage readers
    // take a point of NaNs for an empty one, and the index would hold a box of nothing.
    const bool placed = row.HasPosition() && std::isfinite(row.X) && std::isfinite(row.Y);
    if (Insert != nullptr) {
        std::string why;
        if (!InsertRow(row, placed, &why))
            AddFailure = "cannot write " + Output.Name() + ": " + why;
        return;
    }
    // A GDAL that does not hand over its connection: a feature, indexed by GDAL's trigger.
    OGR_F_SetFID(Row, OGRNullFID);
    OGR_F_SetFieldInteger64(Row, kIndex, row.Index);
    SetDateTime(Row, kTestTime, row.TestTime);
    SetDateTime(Row, kStampTime, row.StampTime);
    char code[kCodeChars + 1];
    *PutCode(code, row.MessageCode) = '\0';
    OGR_F_SetFieldString(Row, kMessageCode, code);
    if (row.MessageClass >= 0)
        OGR_F_SetFieldInteger(Row, kMessageClass, row.MessageClass);
    else
        OGR_F_SetFieldNull(Row, kMessageClass);
    if (row.PayloadLength >= 0)
        OGR_F_SetFieldInteger(Row, kPayloadLength, row.PayloadLength);
    else
        OGR_F_SetFieldNull(Row, kPayloadLength);
    if (placed) {
        // The feature's own point is moved, not replaced.
        OGRGeometryH point = OGR_F_GetGeometryRef(Row);
        if (point == nullptr) {
            OGR_F_SetGeometryDirectly(Row, OGR_G_CreateGeometry(wkbPoint));
            point = OGR_F_GetGeometryRef(Row);
        }
        OGR_G_SetPoint_2D(point, 0, row.X, row.Y);
    } else {
        OGR_F_SetGeometryDirectly(Row, nullptr);
    }
    if (OGR_L_CreateFeature(Records, Row) != OGRERR_NONE)
        AddFailure = Failed("GDAL cannot add a record");
}

bool TGpkgOutput::AddTrack(const std::vector<TGpsPoint>& track) {
    if (track.empty())
        return true;
    OGRFeatureH feature = OGR_F_Create(OGR_L_GetLayerDefn(Track));
    OGRGeometryH line = OGR_G_CreateGeometry(wkbLineString);
    // A line needs two points: a single fix is drawn as a line of no length.
    const int points = track.size() == 1 ? 2 : static_cast<int>(track.size());
    OGR_G_SetPointCount(line, points);
    for (int i = 0; i < points; ++i) {
        const TGpsPoint& fix = track[std::min<std::size_t>(i, track.size() - 1)];
        OGR_G_SetPoint_2D(line, i, fix.X, fix.Y);
    }
    OGR_F_SetGeometryDirectly(feature, line);
    OGR_F_SetFieldInteger64(feature, kFixes, static_cast<GIntBig>(track.size()));
    SetDateTime(feature, kStartTime, track.front().Time);
    SetDateTime(feature, kEndTime, track.back().Time);
    const bool ok = OGR_L_CreateFeature(Track, feature) == OGRERR_NONE;
    OGR_F_Destroy(feature);
    return ok;
}

bool TGpkgOutput::Make(const TOutputFacts& facts, std::string* error) {
    if (Dataset == nullptr) {
        *error = "cannot write " + Output.Name() + ": not open";
        return false;
    }
    if (!AddFailure.empty()) {
        *error = AddFailure;
        Abandon();
        return false;
    }
    CPLErrorReset();
    if (!AddTrack(*facts.Track)) {
        *error = Failed("GDAL cannot add the track");
        Abandon();
        return false;
    }
    std::string why;
    const int64_t direct = Insert != nullptr ? Inserted : -1;
    if (Db != nullptr &&
        (!WriteRecordsContents(&why) || !Index.Finish(&why) ||
         sqlite3_exec(Db, InsertTrigger.c_str(), nullptr, nullptr, nullptr) != SQLITE_OK)) {
        *error = "cannot write " + Output.Name() + ": " + (why.empty() ? sqlite3_errmsg(Db) : why);
        Abandon();
        return false;
    }
    Index.Close();
    // GDAL counts the rows it did not write itself (as of its connection, which sees them),
    // so that it writes that count when it closes the file, as for its own.
    if (GDALDatasetCommitTransaction(Dataset) != OGRERR_NONE) {
        *error = Failed("GDAL cannot commit the rows");
        Abandon();
        return false;
    }
    OGR_F_Destroy(Row);
    Row = nullptr;
    if (direct >= 0 && !WriteFeatureCount(direct, error)) {
        Abandon();
        return false;
    }
    // Closing builds the spatial indexes and writes the layers' extents and counts; a
    // failure there shows only as GDAL's last error.
    CPLErrorReset();
    GDALClose(Dataset);
    Dataset = nullptr;
    if (CPLGetLastErrorType() >= CE_Failure) {
        *error = Failed("GDAL cannot close the GeoPackage");
        return false;
    }
    return true;
}

// GDAL keeps the count of the features it wrote itself, and writes it as unknown for a table
// that took rows past it. Told through GDAL, after the commit, the count stands when it
// closes the file.
bool TGpkgOutput::WriteFeatureCount(int64_t count, std::string* error) {
    CPLErrorReset();
    const std::string sql =
        "UPDATE gpkg_ogr_contents SET feature_count = " + std::to_string(count) +
        " WHERE lower(table_name) = 'records'";
    if (OGRLayerH result = GDALDatasetExecuteSQL(Dataset, sql.c_str(), nullptr, nullptr))
        GDALDatasetReleaseResultSet(Dataset, result);
    if (CPLGetLastErrorType() >= CE_Failure) {
        *error = Failed("GDAL cannot count the records");
        return false;
    }
    return true;
}

void TGpkgOutput::Abandon() {
    Index.Close();  // its statements before GDAL closes the connection
    sqlite3_finalize(Insert);
    Insert = nullptr;
    Inserted = 0;
    MinX = MinY = HUGE_VAL;
    MaxX = MaxY = -HUGE_VAL;
    Db = nullptr;
    InsertTrigger.clear();
    if (Row != nullptr) {
        OGR_F_Destroy(Row);
        Row = nullptr;
    }
    if (Dataset != nullptr) {
        // Rolled back first, so that closing has no rows to index.
        GDALDatasetRollbackTransaction(Dataset);
        GDALClose(Dataset);
        Dataset = nullptr;
    }
    Records = Track = nullptr;
    AddFailure.clear();
}

}  // namespace

std::unique_ptr<IOutput> MakeGpkgOutput() {
    return std::make_unique<TGpkgOutput>();
}

}  // namespace n95::host
