#include "host/outputs/OutputSet.h"

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <filesystem>

#include "host/common/Diagnostics.h"

namespace n95::host {

namespace {

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

TOutputSet::~TOutputSet() {
    Discard();
}

bool TOutputSet::Open(const TOutputPaths& paths, const std::vector<TGpsPoint>& track,
                      bool trackComplete, std::string* error) {
    Discard();
    Slots.clear();
    Facts = {};
    Facts.Track = &track;
    Facts.MaxPoints = MaxPoints;
    Shown = PositionedSeen = ShowRemainder = 0;
    SpoolFailed = ThinsPoints = false;
    bool spool = false;
    const auto kinds = OutputKinds();
    for (std::size_t i = 0; i < kinds.size(); ++i) {
        if (paths.At(i).empty())
            continue;
        const unsigned needs = kinds[i]->Needs;
        TSlot slot{kinds[i], paths.At(i), kinds[i]->Create()};
        // What only the run's end knows: the complete track, the counts, how to thin.
        slot.Spooled =
            (needs & (kEveryRow | kShownRows)) != 0 &&
            (((needs & kTrackFirst) != 0 && !trackComplete) || (needs & kCountsFirst) != 0 ||
             ((needs & kPointLayer) != 0 && MaxPoints > 0));
        spool = spool || slot.Spooled;
        ThinsPoints = ThinsPoints || (slot.Spooled && (needs & kPointLayer) != 0);
        Slots.push_back(std::move(slot));
        if (!Slots.back().Output->Open(paths.At(i), error)) {
            Discard();
            return false;
        }
    }
    if (spool) {
        Spool = std::tmpfile();
        if (Spool == nullptr) {
            *error = SystemError("cannot create a temporary file for the records", errno);
            Discard();
            return false;
        }
    }
    for (TSlot& slot : Slots)
        if (!slot.Spooled)
            slot.Output->Begin(Facts);
    return true;
}

const TOutputSet::TSlot* TOutputSet::FrameLog() const {
    for (const TSlot& slot : Slots)
        if ((slot.Kind->Needs & kWrittenByPlugin) != 0)
            return &slot;
    return nullptr;
}

std::string TOutputSet::FrameLogWritePath() const {
    const TSlot* log = FrameLog();
    return log == nullptr ? std::string() : log->Output->File().WritePath();
}

std::string TOutputSet::NameFrameLog(std::string message) const {
    const TSlot* log = FrameLog();
    const std::string path = FrameLogWritePath();
    if (log == nullptr || path.empty() || path == log->Path)
        return message;
    const std::string& name = log->Output->File().Name();
    for (std::size_t at = message.find(path); at != std::string::npos;
         at = message.find(path, at + name.size()))
        message.replace(at, path.size(), name);
    return message;
}

bool TOutputSet::UsesStandardOutput() const {
    for (const TSlot& slot : Slots)
        if (WritesStandardOutput(slot.Path))
            return true;
    return false;
}

bool TOutputSet::WantsRows() const {
    for (const TSlot& slot : Slots)
        if ((slot.Kind->Needs & (kEveryRow | kShownRows)) != 0)
            return true;
    return false;
}

bool TOutputSet::Flush(std::string* error) {
    for (TSlot& slot : Slots) {
        TOutputFile& file = slot.Output->File();
        if (file.File() != nullptr && !file.Flush(error))
            return false;
    }
    return true;
}

void TOutputSet::Add(const TRecordRow& row) {
    ++Facts.Records;
    ++Facts.RecordsByClass[ClassBucket(row.MessageClass)];
    const bool positioned = row.HasPosition();
    Facts.WithPosition += positioned ? 1 : 0;
    for (TSlot& slot : Slots) {
        const unsigned needs = slot.Kind->Needs;
        if (!slot.Spooled &&
            ((needs & kEveryRow) != 0 || ((needs & kShownRows) != 0 && positioned)))
            slot.Output->Add(row);
    }
    if (Spool != nullptr) {
        uint8_t bytes[kSpoolRowBytes];
        PackRow(row, bytes);
        if (std::fwrite(bytes, sizeof bytes, 1, Spool) != 1)
            SpoolFailed = true;
    }
}

void TOutputSet::SetTitle(std::string title, std::string subtitle) {
    Facts.Title = std::move(title);
    Facts.Subtitle = std::move(subtitle);
}

bool TOutputSet::ShowNext(uint64_t keep) {
    // The j-th record with a position (from 0) is shown when j is 0 or floor(j * keep /
    // WithPosition) steps up at j: `keep` records in all (keep <= WithPosition), evenly
    // spaced, the first among them. The remainder (j * keep) mod WithPosition is kept
    // without the product, which could overflow.
    if (PositionedSeen++ == 0)
        return keep > 0;
    ShowRemainder += keep;
    if (ShowRemainder < Facts.WithPosition)
        return false;
    ShowRemainder -= Facts.WithPosition;
    return true;
}

bool TOutputSet::Unspool(std::string* error) {
    FILE* spool = Spool;
    Spool = nullptr;
    const uint64_t withPosition = Facts.WithPosition;
    const uint64_t keep = MaxPoints > 0 && MaxPoints < withPosition ? MaxPoints : withPosition;
    // The spooled outputs learn at Begin how many points they will get.
    Facts.Shown = keep;
    for (TSlot& slot : Slots)
        if (slot.Spooled)
            slot.Output->Begin(Facts);
    std::vector<IOutput*> every, shown;
    for (TSlot& slot : Slots)
        if (slot.Spooled)
            ((slot.Kind->Needs & kEveryRow) != 0 ? every : shown).push_back(slot.Output.get());
    bool ok = !SpoolFailed && std::fflush(spool) == 0 && std::fseek(spool, 0, SEEK_SET) == 0;
    const uint64_t total = Facts.Records * kSpoolRowBytes;
    TRecordRow row;
    uint8_t bytes[kSpoolRowBytes];
    uint64_t rows = 0;
    while (ok && std::fread(bytes, sizeof bytes, 1, spool) == 1) {
        if (++rows % kRowsBetweenStopChecks == 0) {
            if (StopAsked(error)) {
                std::fclose(spool);
                return false;
            }
            if (Progress)
                Progress(rows * kSpoolRowBytes, total);
        }
        UnpackRow(bytes, row);
        for (IOutput* output : every)
            output->Add(row);
        if (!row.HasPosition() || !ShowNext(keep))
            continue;
        ++Shown;
        for (IOutput* output : shown)
            output->Add(row);
    }
    ok = ok && std::ferror(spool) == 0;
    const int savedErrno = errno;
    std::fclose(spool);
    if (!ok) {
        *error = SystemError("cannot read back the records kept for the outputs", savedErrno);
        return false;
    }
    return true;
}

void TOutputSet::CompleteFacts() {
    Facts.Shown = Points().Shown;
    Facts.Outputs = Paths();
    // Used once: what the callers' functions refer to may not outlive this call.
    if (SummaryMaker)
        Facts.SummaryLines = SummaryMaker();
    SummaryMaker = nullptr;
    Progress = nullptr;
}

bool TOutputSet::CommitOne(TSlot& slot, std::string* error) {
    return slot.Output->Make(Facts, error) && slot.Output->File().Commit(error);
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
    CompleteFacts();
    // Every file is made complete and synced under a hidden name first; only when all are
    // can they be put in place. What is written straight cannot be taken back, so it goes
    // first, and a failure there still leaves every file as it was.
    for (TSlot& slot : Slots)
        slot.Output->File().HoldPublication();
    for (const bool straight : {true, false}) {
        for (TSlot& slot : Slots) {
            if (slot.Output->File().Straight() != straight)
                continue;
            // Each file is synced as it is made: a stop between two is answered at once.
            if ((!straight && StopAsked(error)) || !CommitOne(slot, error)) {
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
    for (TSlot& slot : Slots) {
        TOutputFile* file = &slot.Output->File();
        if (file->Straight())
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
    CompleteFacts();
    for (TSlot& slot : Slots) {
        if (!spoolOk && slot.Spooled) {
            slot.Output->Discard();  // it would lack records
            continue;
        }
        if (CommitOne(slot, &error))
            written.push_back(OutputDisplayName(slot.Path));
        else
            errors->push_back(error);
    }
    return written;
}

void TOutputSet::Discard() {
    if (Spool != nullptr) {
        std::fclose(Spool);
        Spool = nullptr;
    }
    // The slots stay: the outputs asked for are still named (Paths, UsesStandardOutput).
    for (TSlot& slot : Slots)
        slot.Output->Discard();
}

std::vector<std::string> TOutputSet::Paths() const {
    std::vector<std::string> paths;
    for (const TSlot& slot : Slots)
        paths.push_back(OutputDisplayName(slot.Path));
    return paths;
}

}  // namespace n95::host
