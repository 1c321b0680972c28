#include "host/outputs/OutputSet.h"

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <filesystem>

#include "host/common/Diagnostics.h"

namespace n95::host {

namespace {

enum TOutputKind { kCsv, kGeoJson, kTrackGeoJson, kKml, kMap, kFrameLog, kOutputKinds };

// A spooled row: its fields one after the other in this process's own byte order (the spool
// lives and dies with the process), without the struct's padding.
constexpr std::size_t kSpoolRowBytes = 8 + 4 * 8 + 4 + 4 + 4;

// How often making the outputs from the spool looks for a stop request: a few milliseconds'
// work, so that Ctrl-C is answered at once however long the drive.
constexpr uint64_t kRowsBetweenStopChecks = 1 << 14;

template <typename T>
void Put(uint8_t*& at, const T& value) {
    std::memcpy(at, &value, sizeof value);
    at += sizeof value;
}

template <typename T>
void Get(const uint8_t*& at, T& value) {
    std::memcpy(&value, at, sizeof value);
    at += sizeof value;
}

void PackRow(const TRecordRow& row, uint8_t* bytes) {
    Put(bytes, row.Index);
    Put(bytes, row.TestTime);
    Put(bytes, row.StampTime);
    Put(bytes, row.X);
    Put(bytes, row.Y);
    Put(bytes, row.MessageCode);
    Put(bytes, row.MessageClass);
    Put(bytes, row.PayloadLength);
}

void UnpackRow(const uint8_t* bytes, TRecordRow& row) {
    Get(bytes, row.Index);
    Get(bytes, row.TestTime);
    Get(bytes, row.StampTime);
    Get(bytes, row.X);
    Get(bytes, row.Y);
    Get(bytes, row.MessageCode);
    Get(bytes, row.MessageClass);
    Get(bytes, row.PayloadLength);
}

static_assert(sizeof(TRecordRow::MessageClass) == 4 && sizeof(TRecordRow::PayloadLength) == 4);

}  // namespace

void NameOutputs(const std::string& dir, const std::string& stem, TOutputPaths& paths) {
    if (paths.TrackGeoJson.empty())
        paths.TrackGeoJson = TrackGeoJsonBeside(paths.GeoJson);
    if (dir.empty())
        return;
    const std::string base = (std::filesystem::path(dir) / stem).string();
    for (auto [path, extension] : {std::pair{&paths.Csv, ".csv"},
                                   {&paths.GeoJson, ".geojson"},
                                   {&paths.TrackGeoJson, ".track.geojson"},
                                   {&paths.Kml, ".kml"},
                                   {&paths.Map, ".svg"}})
        if (path->empty())
            *path = base + extension;
}

bool CreateOutDir(const std::string& dir, std::string* error) {
    std::error_code ec;
    std::filesystem::create_directories(dir, ec);
    if (ec) {
        *error = "cannot create folder " + dir + ": " + ec.message();
        return false;
    }
    return true;
}

bool ApplyOutDir(const std::string& dir, const std::string& stem, TOutputPaths& paths,
                 std::string* error) {
    if (!CreateOutDir(dir, error))
        return false;
    NameOutputs(dir, stem, paths);
    return true;
}

std::vector<TNamedFile> NamedOutputs(const TOutputPaths& paths, const TOutputPaths& given) {
    std::vector<TNamedFile> named;
    const auto add = [&](const char* option, const std::string& path, const std::string& asked) {
        if (!path.empty())
            named.push_back({asked.empty() ? "-o" : option, path});
    };
    add("--csv", paths.Csv, given.Csv);
    add("--geojson", paths.GeoJson, given.GeoJson);
    if (given.TrackGeoJson.empty() && !paths.TrackGeoJson.empty() &&
        paths.TrackGeoJson == TrackGeoJsonBeside(given.GeoJson))
        named.push_back({"the track beside --geojson", paths.TrackGeoJson});
    else
        add("--track-geojson", paths.TrackGeoJson, given.TrackGeoJson);
    add("--kml", paths.Kml, given.Kml);
    add("--map", paths.Map, given.Map);
    add("--frame-log", paths.FrameLog, given.FrameLog);
    return named;
}

TOutputSet::~TOutputSet() {
    Discard();
}

bool TOutputSet::Open(const TOutputPaths& paths, const std::vector<TGpsPoint>& track,
                      bool trackComplete, std::string* error) {
    Discard();
    Names = paths;
    Track = &track;
    RecordsByClass = {};
    WithPosition = Shown = PositionedSeen = ShowRemainder = 0;
    const bool drawn = !paths.GeoJson.empty() || !paths.Kml.empty() || !paths.Map.empty();
    const bool deferred = drawn && (!trackComplete || !paths.Kml.empty() ||
                                    (MaxPoints > 0 && !paths.GeoJson.empty()));
    if ((!paths.Csv.empty() && !Csv.Open(paths.Csv, error)) ||
        (!paths.GeoJson.empty() && !GeoJson.Open(paths.GeoJson, error)) ||
        (!paths.TrackGeoJson.empty() && !TrackFile.Open(paths.TrackGeoJson, error)) ||
        (!paths.Kml.empty() && !Kml.Open(paths.Kml, error)) ||
        (!paths.Map.empty() && !MapFile.Open(paths.Map, error)) ||
        (!paths.FrameLog.empty() &&
         !FrameLogFile.Open(paths.FrameLog, TOutputFile::TOptions{.ByName = true}, error))) {
        Discard();
        return false;
    }
    Spooled = deferred;
    if (deferred) {
        Spool = std::tmpfile();
        if (Spool == nullptr) {
            *error = SystemError("cannot create a temporary file for the records", errno);
            Discard();
            return false;
        }
    } else {
        if (!paths.GeoJson.empty())
            GeoJson.Begin();
        if (!paths.Map.empty())
            Map = std::make_unique<TSvgMap>(track);
    }
    return true;
}

std::string TOutputSet::FrameLogWritePath() const {
    return Names.FrameLog.empty() ? std::string() : FrameLogFile.WritePath();
}

std::string TOutputSet::NameFrameLog(std::string message) const {
    const std::string path = FrameLogWritePath();
    if (path.empty() || path == Names.FrameLog)
        return message;
    for (std::size_t at = message.find(path); at != std::string::npos;
         at = message.find(path, at + FrameLogFile.Name().size()))
        message.replace(at, path.size(), FrameLogFile.Name());
    return message;
}

bool TOutputSet::UsesStandardOutput() const {
    for (const std::string* path :
         {&Names.Csv, &Names.GeoJson, &Names.TrackGeoJson, &Names.Kml, &Names.Map, &Names.FrameLog})
        if (WritesStandardOutput(*path))
            return true;
    return false;
}

TOutputFile* TOutputSet::FileOf(int which) {
    switch (which) {
        case kCsv:
            return Names.Csv.empty() ? nullptr : &Csv.Output();
        case kGeoJson:
            return Names.GeoJson.empty() ? nullptr : &GeoJson.Output();
        case kTrackGeoJson:
            return Names.TrackGeoJson.empty() ? nullptr : &TrackFile;
        case kKml:
            return Names.Kml.empty() ? nullptr : &Kml.Output();
        case kMap:
            return Names.Map.empty() ? nullptr : &MapFile;
        case kFrameLog:
            return Names.FrameLog.empty() ? nullptr : &FrameLogFile;
        default:
            return nullptr;
    }
}

bool TOutputSet::Flush(std::string* error) {
    for (int which = 0; which < kOutputKinds; ++which) {
        TOutputFile* file = FileOf(which);
        if (file != nullptr && file->File() != nullptr && !file->Flush(error))
            return false;
    }
    return true;
}

void TOutputSet::Add(const TRecordRow& row) {
    if (!Names.Csv.empty())
        Csv.Add(row);
    ++RecordsByClass[ClassBucket(row.MessageClass)];
    WithPosition += row.HasPosition() ? 1 : 0;
    if (Spool != nullptr) {
        uint8_t bytes[kSpoolRowBytes];
        PackRow(row, bytes);
        if (std::fwrite(bytes, sizeof bytes, 1, Spool) != 1)
            SpoolFailed = true;
        return;
    }
    if (!Names.GeoJson.empty())
        GeoJson.Add(row);
    if (Map)
        Map->Add(row);
}

void TOutputSet::SetTitle(std::string title, std::string subtitle) {
    Title = std::move(title);
    Subtitle = std::move(subtitle);
}

bool TOutputSet::ShowNext(uint64_t keep) {
    // The j-th record with a position (from 0) is shown when j is 0 or floor(j * keep /
    // WithPosition) steps up at j: `keep` records in all (keep <= WithPosition), evenly
    // spaced, the first among them. The remainder (j * keep) mod WithPosition is kept
    // without the product, which could overflow.
    if (PositionedSeen++ == 0)
        return keep > 0;
    ShowRemainder += keep;
    if (ShowRemainder < WithPosition)
        return false;
    ShowRemainder -= WithPosition;
    return true;
}

bool TOutputSet::Unspool(std::string* error) {
    FILE* spool = Spool;
    Spool = nullptr;
    const uint64_t keep = MaxPoints > 0 && MaxPoints < WithPosition ? MaxPoints : WithPosition;
    if (!Names.GeoJson.empty())
        GeoJson.Begin();
    if (!Names.Kml.empty())
        Kml.Begin({Title, Subtitle, RecordsByClass, WithPosition, keep}, *Track);
    if (!Names.Map.empty())
        Map = std::make_unique<TSvgMap>(*Track);
    bool ok = !SpoolFailed && std::fflush(spool) == 0 && std::fseek(spool, 0, SEEK_SET) == 0;
    TRecordRow row;
    uint8_t bytes[kSpoolRowBytes];
    uint64_t rows = 0;
    while (ok && std::fread(bytes, sizeof bytes, 1, spool) == 1) {
        if (++rows % kRowsBetweenStopChecks == 0 && StopAsked(error)) {
            std::fclose(spool);
            return false;
        }
        UnpackRow(bytes, row);
        if (Map)
            Map->Add(row);
        if (!row.HasPosition() || !ShowNext(keep))
            continue;
        ++Shown;
        if (!Names.GeoJson.empty())
            GeoJson.Add(row);
        if (!Names.Kml.empty())
            Kml.Add(row);
    }
    ok = ok && std::ferror(spool) == 0;
    const int savedErrno = errno;
    std::fclose(spool);
    if (!ok) {
        *error = SystemError("cannot read back the records kept for the GeoJSON and the map",
                             savedErrno);
        return false;
    }
    return true;
}

bool TOutputSet::CommitOne(int which, std::string* error) {
    switch (which) {
        case kCsv:
            return Names.Csv.empty() || Csv.Commit(error);
        case kGeoJson:
            if (Names.GeoJson.empty())
                return true;
            GeoJson.SetThinned(Points().Shown, WithPosition);
            return GeoJson.Commit(error);
        case kTrackGeoJson: {
            if (Names.TrackGeoJson.empty())
                return true;
            const std::string text = TrackGeoJson(*Track);
            std::fwrite(text.data(), 1, text.size(), TrackFile.File());
            return TrackFile.Commit(error);
        }
        case kKml:
            return Names.Kml.empty() || Kml.Commit(error);
        case kMap:
            if (!Map)
                return true;
            Map->SetTitle(Title, Subtitle);
            return Map->Commit(MapFile, error);
        case kFrameLog:
            return Names.FrameLog.empty() || FrameLogFile.Commit(error);
        default:
            return true;
    }
}

bool TOutputSet::StopAsked(std::string* error) {
    if (Stop == nullptr || *Stop == 0)
        return false;
    StoppedByFlag = true;
    *error = "interrupted";
    return true;
}

bool TOutputSet::Commit(std::string* error) {
    StoppedByFlag = false;
    if ((Spool != nullptr && !Unspool(error)) || !Flush(error)) {
        Discard();
        return false;
    }
    // Every file is made complete and synced under a hidden name first; only when all are
    // can they be put in place. What is written straight cannot be taken back, so it goes
    // first, and a failure there still leaves every file as it was.
    for (int which = 0; which < kOutputKinds; ++which)
        if (TOutputFile* file = FileOf(which))
            file->HoldPublication();
    for (const bool straight : {true, false}) {
        for (int which = 0; which < kOutputKinds; ++which) {
            const TOutputFile* file = FileOf(which);
            if (file == nullptr || file->Straight() != straight)
                continue;
            // Each file is synced as it is made: a stop between two is answered at once.
            if ((!straight && StopAsked(error)) || !CommitOne(which, error)) {
                Discard();
                return false;
            }
        }
    }
    if (StopAsked(error) || !PublishAll(error)) {
        Discard();
        return false;
    }
    return true;
}

bool TOutputSet::PublishAll(std::string* error) {
    std::vector<TOutputFile*> published;
    for (int which = 0; which < kOutputKinds; ++which) {
        TOutputFile* file = FileOf(which);
        if (file == nullptr || file->Straight())
            continue;
        if (file->Publish(error)) {
            published.push_back(file);
            continue;
        }
        // Put back what the files published so far replaced, the last first.
        for (auto it = published.rbegin(); it != published.rend(); ++it)
            if (!(*it)->Rollback())
                *error += "; and " + SystemError("could not put back " + (*it)->Name(), errno) +
                          " (the earlier file is kept as " + (*it)->KeptAs() + ")";
        return false;
    }
    // Every output stands now; a replaced file that cannot be removed is reported, with
    // where it was left, but the others are still finished.
    bool finished = true;
    for (TOutputFile* file : published) {
        std::string message;
        if (!file->Finish(&message)) {
            *error = finished ? message : *error + "; " + message;
            finished = false;
        }
    }
    return finished;
}

std::vector<std::string> TOutputSet::CommitEach(std::vector<std::string>* errors) {
    std::vector<std::string> written;
    std::string error;
    bool spoolOk = true;
    if (Spool != nullptr && !Unspool(&error)) {
        errors->push_back(error);
        spoolOk = false;
    }
    const std::string* names[kOutputKinds] = {&Names.Csv, &Names.GeoJson, &Names.TrackGeoJson,
                                              &Names.Kml, &Names.Map,     &Names.FrameLog};
    for (int which = 0; which < kOutputKinds; ++which) {
        if (names[which]->empty())
            continue;
        if (!spoolOk && (which == kGeoJson || which == kKml || which == kMap))
            continue;  // discarded below: they would lack records
        if (CommitOne(which, &error))
            written.push_back(OutputDisplayName(*names[which]));
        else
            errors->push_back(error);
    }
    if (!spoolOk) {
        GeoJson.Discard();
        Kml.Discard();
        MapFile.Discard();
    }
    return written;
}

void TOutputSet::Discard() {
    if (Spool != nullptr) {
        std::fclose(Spool);
        Spool = nullptr;
    }
    Csv.Discard();
    GeoJson.Discard();
    TrackFile.Discard();
    Kml.Discard();
    MapFile.Discard();
    FrameLogFile.Discard();
    Map.reset();
}

std::vector<std::string> TOutputSet::Paths() const {
    std::vector<std::string> paths;
    for (const std::string* path :
         {&Names.Csv, &Names.GeoJson, &Names.TrackGeoJson, &Names.Kml, &Names.Map, &Names.FrameLog})
        if (!path->empty())
            paths.push_back(OutputDisplayName(*path));
    return paths;
}

}  // namespace n95::host
