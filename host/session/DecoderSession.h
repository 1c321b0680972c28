// The host's side of one decoder, shared by the replay and the live run: the context with the
// host's fix counter and current fix, the store of record copies that the plug-in reaches
// through OnRecordCount/OnGetRecord, the record hand-over after every chunk, and the release
// of records whose positions are final.
//
// The hand-over after each DecodeData: GetRecordCount; for each index GetRecord, what the
// store keeps of it (TRecordStore), FreeRecord; then ClearRecords. SetRecordBase(-1) makes host
// record 0 reachable too (with the plug-in's default base 0 the first record would never be
// tagged).
//
// Memory: records are not kept for the whole run. A record whose index is below the plug-in's
// tagged count (GetLastTaggedIndex + 1) will never be touched again; it is handed to the sink
// (as a row, in batches of at most kMaxBatchRows) and released. So the store holds only the records
// since the last fix (all of them while no fix has come yet) unless the caller releases everything
// because no fix will come any more. The store keeps its index space: a released record reads as
// absent to the plug-in.
//
// Not thread-safe: every call runs on the host's thread, as the plug-in requires.
#pragma once

#include <atomic>

#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <vector>

#include "decoder/HostObjects.h"
#include "host/formats/Nmea.h"
#include "host/outputs/RecordRow.h"
#include "host/session/PluginHost.h"
#include "host/session/RecordStore.h"
#include "host/session/RunStats.h"

namespace n95::host {

class TDecoderSession {
public:
    using TSink = std::function<void(const TRecordRow&)>;
    using TBatchSink = std::function<void(std::span<const TRecordRow>)>;
    // The most rows handed to a batch sink at once.
    static constexpr std::size_t kMaxBatchRows = 4096;

    // `sink` receives every record once its position is final, in index order: row by row,
    // or a batch of the rows released together.
    explicit TDecoderSession(TSink sink);
    explicit TDecoderSession(TBatchSink sink);
    TDecoderSession(const TDecoderSession&) = delete;
    TDecoderSession& operator=(const TDecoderSession&) = delete;
    // Destroys the decoder (if Finish has not) before the context and the store it points at.
    ~TDecoderSession();

    // Makes the decoder of `plugin` for `port` (not owned; must outlive this session) and a
    // context whose ReplayName is `replayName` (empty: a live handset, so the plug-in sends
    // its AT lines), installs the record callbacks, sets the record base to -1 and, when
    // `frameLogPath` is not empty, has the plug-in log every decoded frame there. False, with
    // a message in *error, when the plug-in gives no decoder or its factory raises an
    // exception. The plug-in's errors after that (its frame log) propagate as EPluginError,
    // as do those of every operation of the decoder.
    bool Create(const TPlugin& plugin, THostPort& port, const std::string& replayName,
                const std::string& frameLogPath, std::string* error);

    // The decoder. Create must have succeeded and Finish not yet run.
    THandSetDecode& Decoder() { return *DecoderPtr; }
    bool HasDecoder() const { return DecoderPtr != nullptr; }

    // One GPS fix: fix counter + 1, current fix := fix, UpdatePosition(fix); then the records
    // whose positions are now final go to the sink.
    void FeedFix(const TGpsPoint& fix);

    // DecodeData on `size` bytes, then the hand-over. Returns the bytes of the frames the
    // plug-in decoded.
    std::size_t Feed(const void* data, std::size_t size);

    // The hand-over alone: collects whatever the decoder has queued.
    void HandOver();

    // Hands every record still held to the sink: no fix will come any more.
    void ReleaseAll();

    // Closes the frame log (an empty name, so that every line reaches the file) and destroys
    // the decoder. Records still held stay in the store until ReleaseAll.
    void Finish();

    const TRecordStats& Stats() const { return Totals; }
    std::size_t MaxKept() const { return Store.MaxKept(); }
    std::size_t Kept() const { return Store.Kept(); }

private:
    // Hands the records below `end` to the sink.
    void Release(int64_t end);

    TBatchSink Sink;
    std::vector<TRecordRow> Rows;  // the batch being filled
    TRecordStats Totals;
    alignas(std::atomic_ref<int32_t>::required_alignment) int32_t FixCounter = 0;  // see FeedFix
    TGpsPoint CurrentFix{n95::RecordNoValue, n95::RecordNoValue, 0.0};
    std::string ReplayName;
    THostContext Context{};
    bool FrameLog = false;
    TRecordStore Store;
    std::string Text;
    // Last: destroyed first, while the context and the store it points at still exist.
    TDecoderPtr DecoderPtr;
};

// Asks `decoder` what a run marker of `kind` records (Reconnect, RestartTest, StopDecoding,
// StartTest): the live run when it asks it, and the replay at the marker's place.
void AskDecoder(THandSetDecode& decoder, TRunMarkerKind kind);

}  // namespace n95::host
