// Replaying a capture through the plug-in, as the host application does on a drive.
//
// The host's side of the contract is a TDecoderSession (context, record store, hand-over)
// with a port whose GetTimeStamp is the capture time of the chunk being fed (so records carry
// the time the bytes were read, and the throttle measures capture time), which sends nothing
// (the context's ReplayName is set, so the plug-in sends no AT line anyway).
//
// For each chunk in capture order: every fix of the track up to the chunk's time (counter
// incremented, current fix updated, then UpdatePosition), then DecodeData, then the
// hand-over. A live run's fix log says instead before which chunk each fix was fed, and
// marks what else the run asked of the decoder (a Reconnect at a hang-up, ...): those calls
// are made at the same points, so the replay's records are the live run's. After the last chunk the
// remaining fixes are fed, then StopTest. Without a track, or once the track has run out, records
// are released right after their hand-over. The capture is read ahead on a second thread
// (TCaptureReadAhead); everything the plug-in sees happens on the caller's thread.
#pragma once

#include <atomic>
#include <csignal>
#include <cstdint>
#include <functional>
#include <span>
#include <string>

#include "decoder/HostObjects.h"
#include "host/common/Progress.h"
#include "host/formats/PcapCapture.h"
#include "host/formats/Track.h"
#include "host/outputs/RecordRow.h"
#include "host/session/DecoderSession.h"
#include "host/session/PluginHost.h"
#include "host/session/RunStats.h"

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
    // Checked between chunks; give the capture reader the same flag at Open, so that a stop
    // also ends a wait for a pipe's bytes.
    const volatile std::sig_atomic_t* StopRequested = nullptr;
    // Set (by another thread) when an output can no longer be written: the replay stops
    // between chunks, as when a stop is requested, but is not Interrupted. Nil: never.
    const std::atomic<bool>* OutputFailed = nullptr;
};

struct TReplayResult {
    TRunStats Stats;
    // With a track: the records whose TestTime lies before its first fix, within its time
    // span (first to last fix, both included), after its last fix.
    uint64_t RecordsBeforeTrack = 0, RecordsInTrack = 0, RecordsAfterTrack = 0;
    uint64_t CutChunks = 0;  // chunks cut short by the capture's snapshot length
    bool Damaged = false;    // the capture ended in a damaged or truncated packet
    std::string DamageMessage;
    bool Interrupted = false;
    bool StoppedByOutput = false;  // OutputFailed stopped the replay
    uint64_t PortWrites = 0;
    // The events of a live run's fix log asked of the decoder where the run asked them
    // (reconnects, ...).
    uint64_t MarkersReplayed = 0;
};

// Replays the chunks of `capture` (opened by the caller, and read to wherever the replay
// stopped or a little beyond) through a new decoder of `plugin`,
// handing every record to `sink` in index order once its position is final, in batches of
// the rows released together. False, with a message in *error, when the plug-in raised an
// exception (for example its frame log could not be written); the records handed over so
// far went to the sink.
bool RunReplay(const TPlugin& plugin, TCaptureReader& capture, const TReplayOptions& options,
               const TDecoderSession::TBatchSink& sink, TReplayResult& result, std::string* error);

// A plain explanation of why a replay gave no record.
std::string ExplainNoRecords(const TReplayResult& result);

// True when most chunks (AT replies aside) do not start with a whole trace frame: the
// capture did not keep the chunks as they were read, and most of its frames were lost.
bool MostChunksMisaligned(const TChunkTally& chunks);

}  // namespace n95::host
