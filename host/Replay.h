// Replaying a capture through the plug-in, as the host application does on a drive.
//
// The host's side of the contract is a TDecoderSession (context, record store, hand-over)
// with a port whose GetTimeStamp is the capture time of the chunk being fed (so records carry
// the time the bytes were read, and the throttle measures capture time), which sends nothing
// (the context's ReplayName is set, so the plug-in sends no AT line anyway).
//
// For each chunk in capture order: every fix of the track up to the chunk's time (counter
// incremented, current fix updated, then UpdatePosition), then DecodeData, then the
// hand-over. After the last chunk the remaining fixes are fed, then StopTest. Without a
// track, or once the track has run out, records are released right after their hand-over.
#pragma once

#include <array>
#include <csignal>
#include <cstdint>
#include <functional>
#include <string>

#include "decoder/HostObjects.h"
#include "host/DecoderSession.h"
#include "host/Outputs.h"
#include "host/PcapCapture.h"
#include "host/PluginHost.h"
#include "host/Progress.h"
#include "host/Track.h"

namespace n95::host {

// The host's port during a replay: open, time stamps set by the replay, writes counted
// (none are expected while replaying) and dropped.
class TReplayPort final : public THostPort {
public:
    TDateTime Now = 0.0;
    uint64_t Writes = 0;

    bool IsOpen() override { return true; }
    void SetPortSetting1(uint8_t) override {}
    void SetPortSetting2(int32_t) override {}
    void SetPortSetting3(int32_t) override {}
    TDateTime GetTimeStamp() override { return Now; }
    void WriteData(const void*, int32_t) override { ++Writes; }
    void WriteDataAlt(const void*, int32_t) override { ++Writes; }
    void Open(bool) override {}
    void Close() override {}
    void PurgeInput() override {}
    void PurgeOutput() override {}
};

struct TReplayOptions {
    const TTrack* Track = nullptr;      // nil: no GPS fixes
    std::string ReplayName = "replay";  // the context's ReplayName (non-empty)
    std::string FrameLogPath;           // the plug-in's frame log; empty = none
    TProgress* Progress = nullptr;      // nil: none
    const volatile std::sig_atomic_t* StopRequested = nullptr;  // checked between chunks
};

struct TReplayResult {
    uint64_t Chunks = 0;
    uint64_t ChunkBytes = 0;
    uint64_t AlignedChunks = 0;  // chunks made exactly of whole frames
    uint64_t AtReplyChunks = 0;  // chunks that are the AT reply "OK"
    uint64_t CutChunks = 0;      // chunks cut short by the capture's snapshot length
    uint64_t Frames = 0;         // whole frames at the start of chunks (host's own count)
    uint64_t DecodedBytes = 0;   // bytes of the frames the plug-in decoded (its Text)
    uint64_t Records = 0;        // records handed over
    uint64_t RecordsWithPosition = 0;
    uint64_t RecordsNotCopied = 0;             // records the host could not copy (left out)
    std::array<uint64_t, 5> RecordsByClass{};  // classes 0..3, then "no class"
    uint64_t FixesFed = 0;
    TDateTime FirstChunkTime = 0.0, LastChunkTime = 0.0;
    TDateTime FirstRecordTime = 0.0, LastRecordTime = 0.0;
    bool Damaged = false;  // the capture ended in a damaged or truncated packet
    std::string DamageMessage;
    bool Interrupted = false;
    uint64_t PortWrites = 0;
    std::size_t MaxRecordsKept = 0;
};

// Replays the chunks of `capture` (opened by the caller) through a new decoder of `plugin`,
// handing every record to `sink` in index order once its position is final. False, with a
// message in *error, when the plug-in raised an exception (for example its frame log could
// not be written); the records handed over so far went to the sink.
bool RunReplay(const TPlugin& plugin, TCaptureReader& capture, const TReplayOptions& options,
               const std::function<void(const TRecordRow&)>& sink, TReplayResult& result,
               std::string* error);

// A plain explanation of why a replay gave no record.
std::string ExplainNoRecords(const TReplayResult& result);

}  // namespace n95::host
