// The replay at its edges: a track that lies wholly before or after the records, a stop
// before the first chunk, a chunk cut by the capture's snapshot length, a plug-in that fails
// while its records are handed over, and the plain words for a capture that gave no record.
#include <dlfcn.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>

#include "host/session/Replay.h"
#include "tests/host/HostTestSupport.h"
#include "tests/host/LiveTestSupport.h"

namespace n95::host {
namespace {

using n95::test::Contains;

// 2024-05-14T09:20:00Z, a little before the sample drive's first chunk.
constexpr int64_t kDriveStart = 1715678400;

TGpsPoint FixAt(int64_t seconds) {
    return {24.9, 60.2, CaptureTimeToDateTime({seconds, 0})};
}

// A classic pcap of the host's link type holding one chunk of `size` bytes of which the
// capture kept `kept`.
std::string CutCapture(uint32_t size, uint32_t kept) {
    std::string file;
    const auto put32 = [&](uint32_t v) {
        for (int i = 0; i < 4; ++i)
            file += static_cast<char>(v >> (8 * i));
    };
    put32(0xa1b2c3d4);
    put32(0x00040002);  // version 2.4
    put32(0);
    put32(0);
    put32(kept);
    put32(kCaptureLinkType);
    put32(static_cast<uint32_t>(kDriveStart));
    put32(0);
    put32(kept);
    put32(size);
    file.append(kept, '\x01');
    return file;
}

struct TReplayCase {
    const char* Name;
    std::vector<int64_t> Fixes = {};                      // the track's fix times; none: no track
    const char* Capture = N95_SAMPLES_DIR "/drive.pcap";  // "cut": a chunk cut short
    bool StopFirst = false;                               // a stop request before it starts
    const char* Misbehave = "";                           // the test plug-in's failure
    std::string ReplayName = "replay";
    // The outcome.
    const char* Error = "";  // "": succeeds
    uint64_t Before = 0, In = 0, After = 0;
    bool AllRecords = true;  // every record of the sample drive comes out
};

void PrintTo(const TReplayCase& c, std::ostream* out) {
    *out << c.Name;
}

using ReplayEdgesTest = TPluginTest<TReplayCase>;

// The sample drive's records.
constexpr uint64_t kDriveRecords = 14947;

TEST_P(ReplayEdgesTest, PlacesReleasesAndFailsAsItShould) {
    const TReplayCase& c = GetParam();
    LoadPlugin(c.Misbehave);
    std::string error;
    std::string capturePath = c.Capture;
    if (capturePath == "cut") {
        capturePath = Path("cut.pcap");
        n95::test::WriteFile(capturePath, CutCapture(40, 16));
    }
    TCaptureReader capture;
    ASSERT_TRUE(capture.Open(capturePath, &error)) << error;

    TTrack track;
    for (const int64_t seconds : c.Fixes)
        track.Fixes.push_back(FixAt(seconds));
    volatile std::sig_atomic_t stop = c.StopFirst ? 1 : 0;
    TProgress progress(1000, false);
    TReplayOptions options;
    options.Track = c.Fixes.empty() ? nullptr : &track;
    options.ReplayName = c.ReplayName;
    options.StopRequested = &stop;
    options.Progress = &progress;
    uint64_t rows = 0;
    std::size_t largestBatch = 0;
    TReplayResult result;
    const bool ok = RunReplay(
        Plugin, capture, options,
        [&](std::span<const TRecordRow> batch) {
            rows += batch.size();
            largestBatch = std::max(largestBatch, batch.size());
        },
        result, &error);

    EXPECT_EQ(ok, std::string(c.Error).empty()) << error;
    if (!ok) {
        EXPECT_TRUE(Contains(error, c.Error)) << error;
    }
    EXPECT_EQ(result.Interrupted, c.StopFirst);
    EXPECT_EQ(result.RecordsBeforeTrack, c.Before);
    EXPECT_EQ(result.RecordsInTrack, c.In);
    EXPECT_EQ(result.RecordsAfterTrack, c.After);
    EXPECT_EQ(rows, result.Stats.Records.Records);
    if (c.AllRecords) {
        EXPECT_EQ(rows, kDriveRecords);
    }
    EXPECT_EQ(result.CutChunks, capturePath == Path("cut.pcap") ? 1u : 0u);
    EXPECT_EQ(result.PortWrites, 0u) << "a replay sends nothing, whatever its name";
    // However many records are released at once, a batch holds at most kMaxBatchRows.
    EXPECT_LE(largestBatch, TDecoderSession::kMaxBatchRows);
    if (c.Before == kDriveRecords) {
        EXPECT_EQ(largestBatch, TDecoderSession::kMaxBatchRows);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ReplayEdgesTest,
    ::testing::Values(
        // Every record waits for the one fix, after the drive, and is released in one go.
        TReplayCase{
            .Name = "TrackAfterTheDrive", .Fixes = {kDriveStart + 3600}, .Before = kDriveRecords},
        TReplayCase{.Name = "TrackBeforeTheDrive",
                    .Fixes = {kDriveStart - 60, kDriveStart - 30},
                    .After = kDriveRecords},
        // An empty name is a replay all the same: no AT line is sent.
        TReplayCase{.Name = "NoReplayName", .ReplayName = ""},
        TReplayCase{.Name = "StoppedFirst", .StopFirst = true, .AllRecords = false},
        TReplayCase{.Name = "CutChunk", .Capture = "cut", .AllRecords = false},
        TReplayCase{.Name = "NoDecoder",
                    .Misbehave = "nil-decoder",
                    .Error = "the plug-in's GetDllDevice gave no decoder",
                    .AllRecords = false},
        TReplayCase{.Name = "HandOverFails",
                    .Misbehave = "throw:GetRecord",
                    .Error = "the replay stopped: the plug-in's GetRecord raised an error",
                    .AllRecords = false}),

    [](const ::testing::TestParamInfo<TReplayCase>& info) { return std::string(info.param.Name); });

// Why a replay gave no record, in words that point at the cause: no chunk, only AT replies,
// no chunk of whole frames, or frames the decoder library refused.
TEST(ExplainNoRecordsTest, NamesTheCause) {
    struct TCase {
        uint64_t Chunks, AtReplies, Aligned;
        const char* Says;
    };
    const TCase cases[] = {
        {0, 0, 0, "holds no chunk"},
        {3, 3, 0, "only AT replies"},
        {5, 1, 0, "No chunk starts with whole trace frames"},
        {5, 1, 4, "4 chunks hold whole trace frames, but the WCDMA decoder library accepted none"},
    };
    for (const TCase& c : cases) {
        TReplayResult result;
        result.Stats.Chunks.Chunks = c.Chunks;
        result.Stats.Chunks.AtReplies = c.AtReplies;
        result.Stats.Chunks.Aligned = c.Aligned;
        const std::string text = ExplainNoRecords(result);
        EXPECT_TRUE(Contains(text, c.Says)) << text;
    }
}

// A session's Finish may come twice (a run's last steps after a decoder already finished):
// the second does nothing.
TEST(DecoderSessionTest, FinishTwiceLeavesNoDecoder) {
    TPlugin plugin;
    std::string error;
    ASSERT_TRUE(plugin.Load(N95_PLUGIN_PATH, &error)) << error;
    TReplayPort port;
    TDecoderSession session([](const TRecordRow&) {});
    ASSERT_TRUE(session.Create(plugin, port, "replay", "", &error)) << error;
    EXPECT_TRUE(session.HasDecoder());
    session.Finish();
    session.Finish();
    EXPECT_FALSE(session.HasDecoder());
}

}  // namespace
}  // namespace n95::host
