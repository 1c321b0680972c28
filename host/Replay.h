// Replaying a capture through the plug-in, as the host application does on a drive.
//
// The host's side of the contract:
//   - a port whose GetTimeStamp is the capture time of the chunk being fed (so records carry
//     the time the bytes were read, and the throttle measures capture time), which sends
//     nothing (the context's ReplayName is set, so the plug-in sends no AT line anyway);
//   - a context with the host's fix counter and current fix;
//   - a store of record copies that the plug-in reaches through OnRecordCount/OnGetRecord to
//     interpolate positions. SetRecordBase(-1) makes host record 0 reachable too (with the
//     plug-in's default base 0, the first record would never be tagged).
//
// For each chunk in capture order: every fix of the track up to the chunk's time (counter
// incremented, current fix updated, then UpdatePosition), then DecodeData, then the
// hand-over (GetRecordCount; GetRecord, copy, FreeRecord for each index; ClearRecords).
// After the last chunk the remaining fixes are fed, then StopTest.
//
// Memory: records are not kept for the whole run. A record whose index is below the
// plug-in's tagged count (GetLastTaggedIndex + 1) will never be touched again; it is handed
// to the sink and released. So the store holds only the records since the last fix (all of
// them while no fix has come yet); without a track, or once the track has run out, records
// are released right after their hand-over. The store keeps its index space: a released
// record reads as absent to the plug-in.
#pragma once

#include <array>
#include <csignal>
#include <cstdint>
#include <deque>
#include <functional>
#include <string>

#include "decoder/HostObjects.h"
#include "host/Outputs.h"
#include "host/PcapCapture.h"
#include "host/PluginHost.h"
#include "host/Progress.h"
#include "host/Track.h"

namespace n95::host {

// The tag the host gives the decoder for its record callbacks (checked on every call).
inline constexpr int32_t kRecordCallbackTag = 95;

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

// The host's store of record copies, indexed from 0 in the order they were handed over.
// Owns every record it holds (released with FreeTestRecord, exactly once).
class TRecordStore {
public:
    TRecordStore() = default;
    TRecordStore(const TRecordStore&) = delete;
    TRecordStore& operator=(const TRecordStore&) = delete;
    ~TRecordStore();

    // Takes ownership of `record` (not nil) as the next index.
    void Add(TTestRecord* record);
    // Records ever added: the count the plug-in sees.
    int64_t Count() const { return Base + static_cast<int64_t>(Records.size()); }
    // The record at `index`, or nil when it was released or is out of range.
    TTestRecord* Get(int64_t index) const;
    // Hands the records with index below `end` (and not yet released) to `sink` in index
    // order, then releases them.
    void Release(int64_t end, const std::function<void(int64_t, const TTestRecord&)>& sink);
    // Records held now, and the most ever held at once.
    std::size_t Kept() const { return Records.size(); }
    std::size_t MaxKept() const { return PeakKept; }

    // The callbacks to install in the decoder; their Data is this store.
    TRecordCountEvent CountEvent();
    TGetRecordEvent GetEvent();

private:
    std::deque<TTestRecord*> Records;  // index Base + i
    int64_t Base = 0;
    std::size_t PeakKept = 0;
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
