// Generate a drive, replay it through the built plug-in, and check the records against what
// the generator put in.
#include "host/session/Replay.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <map>
#include <set>

#include "host/formats/TraceFrame.h"
#include "host/sim/DriveGenerator.h"
#include "platform/DateTime.h"
#include "tests/host/HostTestSupport.h"
#include "trace/MessageClass.h"

namespace n95::host {
namespace {

// Every frame the generator wrote, with its chunk's time.
struct GeneratedFrame {
    TCaptureTime ChunkTime;
    const TMessageType* Type;
    uint16_t PayloadLength;
};

class Recorder : public TDriveObserver {
public:
    void OnFrame(TCaptureTime chunkTime, const TMessageType& type, bool longHeader,
                 uint16_t payloadLength) override {
        Frames.push_back({chunkTime, &type, payloadLength});
        (longHeader ? LongHeaders : ShortHeaders) += 1;
    }
    std::vector<GeneratedFrame> Frames;
    int LongHeaders = 0, ShortHeaders = 0;
};

// The records a host should receive: the frames that pass the per-key throttle on the port's
// time (the chunk's capture time) and that the stand-in WCDMA decoder accepts (payload of at
// least four bytes), in order. Counts the throttled frames per key in *dropped.
std::vector<GeneratedFrame> ExpectedRecords(const std::vector<GeneratedFrame>& frames,
                                            std::map<uint16_t, int>* dropped) {
    const std::map<uint16_t, double> intervals = {{0x1000, 0.5}, {0x1040, 0.5}, {0x3080, 0.5},
                                                  {0x3081, 0.5}, {0x30C0, 1.0}, {0x30C1, 1.0}};
    std::map<uint16_t, TDateTime> lastPassed;
    std::vector<GeneratedFrame> expected;
    for (const GeneratedFrame& f : frames) {
        const uint8_t* m = f.Type->Message;
        const auto key = static_cast<uint16_t>(m[0] * 4096 + m[1] * 64 + m[2]);
        const auto interval = intervals.find(key);
        if (interval != intervals.end()) {
            const TDateTime now = CaptureTimeToDateTime(f.ChunkTime);
            const auto last = lastPassed.find(key);
            if (last != lastPassed.end() &&
                !(now - last->second >= SecondsToDays(interval->second))) {
                ++(*dropped)[key];
                continue;
            }
            lastPassed[key] = now;
        }
        if (f.PayloadLength >= 4)
            expected.push_back(f);
    }
    return expected;
}

// Counts the record allocations made on the host's side of the boundary.
std::atomic<long> gAllocations{0};
void* CountingAlloc(std::size_t count, std::size_t size, bool zero) {
    ++gAllocations;
    return zero ? std::calloc(count, size) : std::malloc(count * size);
}

class ReplayTest : public n95::test::ScratchDirTest {
protected:
    void SetUp() override {
        ScratchDirTest::SetUp();
        std::string error;
        ASSERT_TRUE(Plugin.Load(N95_PLUGIN_PATH, &error)) << error;
    }

    void Generate(const TDriveOptions& options) {
        TDriveStats stats;
        std::string error;
        ASSERT_TRUE(
            GenerateDrive(options, Path("d.pcap"), Path("d.nmea"), &Generated, stats, &error))
            << error;
        ASSERT_TRUE(LoadTrack(Path("d.nmea"), Track, &error)) << error;
    }

    // With `outputFailed`, the sink sets it once `failAfter` rows have come.
    std::vector<TRecordRow> Replay(const TTrack* track, TReplayResult& result,
                                   std::atomic<bool>* outputFailed = nullptr,
                                   std::size_t failAfter = 0) {
        TCaptureReader capture;
        std::string error;
        EXPECT_TRUE(capture.Open(Path("d.pcap"), &error)) << error;
        std::vector<TRecordRow> rows;
        TReplayOptions options;
        options.Track = track;
        options.OutputFailed = outputFailed;
        EXPECT_TRUE(RunReplay(
            Plugin, capture, options,
            [&](std::span<const TRecordRow> batch) {
                rows.insert(rows.end(), batch.begin(), batch.end());
                if (outputFailed != nullptr && rows.size() >= failAfter)
                    outputFailed->store(true);
            },
            result, &error))
            << error;
        return rows;
    }

    TPlugin Plugin;
    Recorder Generated;
    TTrack Track;
};

TEST_F(ReplayTest, RecordsMatchWhatTheGeneratorPutInAfterTheThrottle) {
    TDriveOptions options;
    options.Seed = 11;
    options.DurationSeconds = 40;
    Generate(options);
    std::map<uint16_t, int> dropped;
    const std::vector<GeneratedFrame> expected = ExpectedRecords(Generated.Frames, &dropped);

    n95::SetRecordAllocHookForTesting(&CountingAlloc);
    TReplayResult result;
    const std::vector<TRecordRow> rows = Replay(&Track, result);
    n95::SetRecordAllocHookForTesting(nullptr);
    EXPECT_EQ(gAllocations.load(), 0) << "the host keeps records without copying them";

    // The drive exercises what it should: both header forms, every class and codes without
    // one, and every throttled key actually throttling.
    EXPECT_GT(Generated.LongHeaders, 0);
    EXPECT_GT(Generated.ShortHeaders, 0);
    std::set<int> classes;
    for (const TMessageType& type : DriveMessageTypes())
        classes.insert(n95::MessageClassOf(n95::NormaliseMessageCode(type.Code)));
    EXPECT_EQ(classes, (std::set<int>{-1, 0, 1, 2, 3}));
    for (const uint16_t key : {0x1000, 0x1040, 0x3080, 0x3081, 0x30C0, 0x30C1})
        EXPECT_GT(dropped[key], 0) << std::hex << key;

    // Same records, same order, same codes and time stamps; so the same count per code.
    ASSERT_EQ(rows.size(), expected.size());
    std::map<uint32_t, int> wantPerCode, gotPerCode;
    for (std::size_t i = 0; i < rows.size(); ++i) {
        ++wantPerCode[expected[i].Type->Code];
        ++gotPerCode[rows[i].MessageCode];
        ASSERT_EQ(rows[i].Index, static_cast<int64_t>(i));
        ASSERT_EQ(rows[i].MessageCode, expected[i].Type->Code) << i;
        ASSERT_EQ(rows[i].TestTime, CaptureTimeToDateTime(expected[i].ChunkTime)) << i;
        ASSERT_EQ(rows[i].PayloadLength, expected[i].PayloadLength) << i;
    }
    EXPECT_EQ(gotPerCode, wantPerCode);
    EXPECT_EQ(result.Stats.Records.Records, rows.size());
    EXPECT_EQ(result.Stats.Records.RecordsNotCopied, 0u);
    EXPECT_EQ(result.Stats.Chunks.AtReplies, 3u);
    EXPECT_EQ(result.Stats.Chunks.Aligned + result.Stats.Chunks.AtReplies,
              result.Stats.Chunks.Chunks);
    EXPECT_EQ(result.Stats.Chunks.Frames, Generated.Frames.size());
    EXPECT_EQ(result.PortWrites, 0u) << "a replay sends no AT line";
    EXPECT_EQ(result.Stats.Records.FixesFed, Track.Fixes.size());

    // Positions: every record has one, inside the route's bounding box, monotone along the
    // route (the generated route never turns back in either coordinate).
    double lonMin = 1e9, lonMax = -1e9, latMin = 1e9, latMax = -1e9;
    for (const TGpsPoint& p : Track.Fixes) {
        lonMin = std::min(lonMin, p.X);
        lonMax = std::max(lonMax, p.X);
        latMin = std::min(latMin, p.Y);
        latMax = std::max(latMax, p.Y);
    }
    const double lonSign = Track.Fixes.back().X >= Track.Fixes.front().X ? 1 : -1;
    const double latSign = Track.Fixes.back().Y >= Track.Fixes.front().Y ? 1 : -1;
    EXPECT_GT(std::max(lonMax - lonMin, latMax - latMin), 1e-3) << "the car moved";
    EXPECT_EQ(result.Stats.Records.RecordsWithPosition, rows.size());
    for (std::size_t i = 0; i < rows.size(); ++i) {
        ASSERT_TRUE(rows[i].HasPosition()) << i;
        ASSERT_GE(rows[i].X, lonMin - 1e-9) << i;
        ASSERT_LE(rows[i].X, lonMax + 1e-9) << i;
        ASSERT_GE(rows[i].Y, latMin - 1e-9) << i;
        ASSERT_LE(rows[i].Y, latMax + 1e-9) << i;
        if (i > 0) {
            ASSERT_GE((rows[i].X - rows[i - 1].X) * lonSign, -1e-12) << i;
            ASSERT_GE((rows[i].Y - rows[i - 1].Y) * latSign, -1e-12) << i;
        }
    }

    // Records wait only until the next fix: a small part of the drive is kept at once.
    EXPECT_GT(result.Stats.MaxRecordsKept, 0u);
    EXPECT_LT(result.Stats.MaxRecordsKept, rows.size() / 10);
}

TEST_F(ReplayTest, WithoutATrackRecordsCarryNoPositionAndAreReleasedAtOnce) {
    TDriveOptions options;
    options.Seed = 5;
    options.DurationSeconds = 10;
    options.FramesPerSecond = 100;
    Generate(options);
    TReplayResult result;
    const std::vector<TRecordRow> rows = Replay(nullptr, result);
    ASSERT_FALSE(rows.empty());
    EXPECT_EQ(result.Stats.Records.RecordsWithPosition, 0u);
    for (const TRecordRow& row : rows)
        EXPECT_FALSE(row.HasPosition());
    // Never more than one chunk's records.
    EXPECT_LE(result.Stats.MaxRecordsKept, 4096u / 10);
    EXPECT_EQ(result.Stats.Records.FixesFed, 0u);
}

TEST_F(ReplayTest, AFailedOutputStopsTheReplayAtTheNextChunk) {
    TDriveOptions options;
    options.Seed = 4;
    options.DurationSeconds = 20;
    Generate(options);
    TReplayResult whole;
    const std::size_t all = Replay(&Track, whole).size();
    std::atomic<bool> failed{false};
    TReplayResult result;
    const std::vector<TRecordRow> rows = Replay(&Track, result, &failed, all / 3);
    EXPECT_TRUE(result.StoppedByOutput);
    EXPECT_FALSE(result.Interrupted);
    EXPECT_GE(rows.size(), all / 3);
    EXPECT_LT(rows.size(), all / 2) << "no rest of the drive after the failure";
    EXPECT_LT(result.Stats.Chunks.Chunks, whole.Stats.Chunks.Chunks);
}

TEST_F(ReplayTest, RecordsBeforeTheFirstFixTakeItsPositionFromRecordZeroOn) {
    TDriveOptions options;
    options.Seed = 8;
    options.DurationSeconds = 8;
    options.FramesPerSecond = 100;
    Generate(options);
    // The GPS starts three seconds into the drive.
    TTrack late = Track;
    late.Fixes.erase(late.Fixes.begin(), late.Fixes.begin() + 3);
    const TGpsPoint first = late.Fixes.front();
    TReplayResult result;
    const std::vector<TRecordRow> rows = Replay(&late, result);
    std::size_t before = 0;
    for (const TRecordRow& row : rows) {
        if (row.TestTime > first.Time)
            break;
        EXPECT_EQ(row.X, first.X) << row.Index;
        EXPECT_EQ(row.Y, first.Y) << row.Index;
        ++before;
    }
    EXPECT_GT(before, 100u);
    EXPECT_EQ(result.Stats.Records.RecordsWithPosition, rows.size());
}

TEST(ChunkTallyTest, ChunksAreToldApartByWhereTheirFramesStartAndEnd) {
    // A payload of 0xFF bytes, so that no frame reads as empty when a chunk starts inside it.
    const uint8_t message[3] = {0x02, 0x11, 0x07}, extension[4] = {};
    uint8_t payload[8];
    std::fill(std::begin(payload), std::end(payload), 0xFF);
    std::string frame;
    AppendTraceFrame(frame, message, false, extension, payload, 8);
    const struct {
        std::string Chunk;
        uint64_t Aligned, AtReplies, CutAtEnd, Misaligned;
    } cases[] = {
        {frame + frame, 1, 0, 0, 0},
        {std::string(kAtReplyOk, kAtReplyOkSize), 0, 1, 0, 0},
        // Three replies in one read: replies still, not a damaged chunk.
        {std::string(kAtReplyOk) + kAtReplyOk + kAtReplyOk, 0, 1, 0, 0},
        {std::string(kAtReplyOk) + "O", 0, 0, 0, 1},
        // Whole frames, then the start of one: those frames decode, the last is lost.
        {frame + frame.substr(0, 7), 0, 0, 1, 0},
        // Starts inside a frame: to the plug-in its first bytes are a header.
        {frame.substr(3) + frame, 0, 0, 0, 1},
    };
    for (const auto& c : cases) {
        TChunkTally tally;
        tally.Add(reinterpret_cast<const uint8_t*>(c.Chunk.data()), c.Chunk.size(), {});
        EXPECT_EQ(tally.Aligned, c.Aligned) << c.Chunk.size();
        EXPECT_EQ(tally.AtReplies, c.AtReplies) << c.Chunk.size();
        EXPECT_EQ(tally.CutAtEnd, c.CutAtEnd) << c.Chunk.size();
        EXPECT_EQ(tally.Misaligned(), c.Misaligned) << c.Chunk.size();
        EXPECT_EQ(tally.AtReplyLines, c.AtReplies == 0 ? 0 : c.Chunk.size() / kAtReplyOkSize)
            << c.Chunk.size();
    }
}

TEST_F(ReplayTest, StoreKeepsItsIndexSpaceWhenReleasing) {
    TRecordStore store;
    for (int i = 0; i < 5; ++i) {
        TTestRecord* record = NewTestRecord(2);
        record->MessageCode = static_cast<uint32_t>(i);
        store.Add(*record);
        FreeTestRecord(record);  // the store keeps what it needs of it
    }
    std::vector<int64_t> released;
    store.Release(3, [&](int64_t index, const TStoredRecord& record) {
        const uint32_t code = record.Header.MessageCode;  // a packed field: copied, not bound
        EXPECT_EQ(code, static_cast<uint32_t>(index));
        released.push_back(index);
    });
    EXPECT_EQ(released, (std::vector<int64_t>{0, 1, 2}));
    EXPECT_EQ(store.Count(), 5);
    EXPECT_EQ(store.Kept(), 2u);
    EXPECT_EQ(store.MaxKept(), 5u);
    EXPECT_EQ(store.Get(2), nullptr);
    EXPECT_EQ(store.Get(5), nullptr);
    EXPECT_EQ(store.Get(-1), nullptr);
    ASSERT_NE(store.Get(3), nullptr);
    const uint32_t code = store.Get(3)->MessageCode;
    EXPECT_EQ(code, 3u);
    // What the plug-in is given is a record of the queued kind that nobody may free.
    EXPECT_TRUE(IsTestRecord(store.Get(3)));
    const void* body = store.Get(3)->Body;  // packed fields: copied, not bound
    const uint32_t kindWord = store.Get(3)->KindWord;
    EXPECT_EQ(body, nullptr);
    EXPECT_EQ(kindWord, KindWordBorrowed | 0x20000000u);
    // Through the callbacks as the plug-in calls them; another tag reaches nothing.
    const TRecordCountEvent count = store.CountEvent();
    const TGetRecordEvent get = store.GetEvent();
    EXPECT_EQ(count.Code(count.Data, kRecordCallbackTag), 5);
    EXPECT_EQ(count.Code(count.Data, 7), 0);
    EXPECT_EQ(get.Code(get.Data, kRecordCallbackTag, 4), store.Get(4));
    EXPECT_EQ(get.Code(get.Data, 7, 4), nullptr);
}

TEST_F(ReplayTest, StoreKeepsOrderAndPositionsAcrossTheRingsGrowthAndWrap) {
    // Uneven rounds of adds and releases, so that the ring wraps, and grows while wrapped.
    TRecordStore store;
    int64_t added = 0, next = 0;
    for (const auto& [adds, keep] : std::vector<std::pair<int, int>>{
             {700, 100}, {900, 50}, {1500, 1200}, {3000, 0}, {10, 5}}) {
        for (int i = 0; i < adds; ++i, ++added) {
            TTestRecord* record = NewTestRecord(2);
            record->MessageCode = static_cast<uint32_t>(added);
            store.Add(*record);
            FreeTestRecord(record);
            // Tagged in place, as the plug-in does through OnGetRecord.
            store.Get(added)->PosX = static_cast<double>(added);
        }
        store.Release(added - keep, [&](int64_t index, const TStoredRecord& record) {
            ASSERT_EQ(index, next++);
            const uint32_t code = record.Header.MessageCode;
            const double x = record.Header.PosX;
            ASSERT_EQ(code, static_cast<uint32_t>(index));
            ASSERT_EQ(x, static_cast<double>(index));
        });
        ASSERT_EQ(store.Kept(), static_cast<std::size_t>(keep));
    }
    EXPECT_EQ(next, added - 5);
    EXPECT_EQ(store.MaxKept(), 3000u + 1200u);
}

TEST(RecordStoreTest, PayloadLengthIsThatOfTheHostsCopyAndOddRecordsAreRefused) {
    struct Case {
        uint32_t KindWord;
        bool WithBody;
        int32_t Length;  // -2: refused
    };
    const Case cases[] = {
        {0x20000000u, true, 17},  {0x00000000u, true, 17}, {0x10000000u, true, 17},
        {0x20000000u, false, 0},  {0x30000000u, false, 0}, {0x40000000u, true, -1},
        {0x50000000u, false, -1}, {0x28000000u, true, -2},
    };
    for (const Case& c : cases) {
        const uint8_t kind = n95::KindOfWord(c.KindWord);
        TTestRecord* record = NewTestRecord(kind <= 4 ? kind : 0);
        if (kind <= 3 && c.WithBody) {
            // BlobLen stands at the same offset in kinds 1..3; kind 0 has it first.
            if (kind == 0)
                static_cast<TTestBody0*>(record->Body)->BlobLen = 17;
            else
                static_cast<TTestBody1*>(record->Body)->BlobLen = 17;
        }
        void* body = record->Body;
        if (!c.WithBody)
            record->Body = nullptr;
        record->KindWord = c.KindWord;
        TRecordStore store;
        ASSERT_EQ(TRecordStore::Accepts(record), c.Length != -2) << std::hex << c.KindWord;
        if (c.Length != -2) {
            store.Add(*record);
            store.Release(1, [&](int64_t, const TStoredRecord& stored) {
                EXPECT_EQ(stored.PayloadLength, c.Length) << std::hex << c.KindWord;
            });
        }
        record->KindWord = static_cast<uint32_t>(kind <= 4 ? kind : 0) << KindWordKindShift;
        record->Body = body;
        FreeTestRecord(record);
    }
    EXPECT_FALSE(TRecordStore::Accepts(nullptr));
    EXPECT_FALSE(TRecordStore::Accepts(&SentinelNil));
}

}  // namespace
}  // namespace n95::host
