// A capture read ahead of the replay on a thread of its own. Reading the file (libpcap, the
// copy out of the kernel) and the host's own scan of each chunk's frames (ScanChunk, for the
// run's statistics) were a sixth of a replay on one thread; here they take the second core
// while the replay's thread decodes.
//
// The chunks travel in batches (their bytes copied into the batch, about kBatchBytes or
// kBatchChunks per batch) through a bounded queue of kQueuedBatches batches, so memory stays
// flat however long the capture, and the batches are reused. Reading stops at the capture's
// end, at damage, or at an exception of the reader (memory), which Next rethrows after the
// chunks read before it.
//
// Threading: Next and the destructor run on the owner's thread. The reader belongs to the
// read-ahead thread from construction until destruction, and the owner must not touch it in
// between; afterwards it stands wherever the thread stopped, which may be past the last
// chunk the owner took. The thread runs with the stop signals blocked (see StopSignals). The
// destructor stops it, in the middle of a capture too, and waits for it: a reader waiting for
// a pipe's bytes is cancelled (TCaptureReader::Cancel), so it is left Stopped.
#pragma once

#include <cstddef>
#include <cstdint>
#include <exception>
#include <memory>
#include <string>
#include <vector>

#include "host/common/BatchQueue.h"
#include "host/common/CaptureTime.h"
#include "host/formats/PcapCapture.h"
#include "host/formats/TraceFrame.h"
#include "platform/Env.h"

namespace n95::host {

class TCaptureReadAhead {
public:
    // A batch is handed over once it holds this many chunk bytes or chunks.
    static constexpr std::size_t kBatchBytes = 64 * 1024;
    static constexpr std::size_t kBatchChunks = 1024;
    static constexpr std::size_t kQueuedBatches = 8;

    struct TChunk {
        const uint8_t* Data = nullptr;  // valid until the next call to Next
        uint32_t Size = 0;
        uint32_t OriginalSize = 0;  // see TCaptureReader::OriginalSize
        TCaptureTime Time;
        uint64_t EndOffset = 0;     // the reader's Offset() once it had read this chunk
        uint64_t StoredOffset = 0;  // and its StoredOffset(): progress against FileSize()
        TChunkScan Scan;            // ScanChunk of the chunk's bytes
    };

    // Starts reading `reader` (opened, and not read from yet or read as far as wanted).
    explicit TCaptureReadAhead(TCaptureReader& reader);
    ~TCaptureReadAhead();
    TCaptureReadAhead(const TCaptureReadAhead&) = delete;
    TCaptureReadAhead& operator=(const TCaptureReadAhead&) = delete;

    // The next chunk, in the capture's order; nil once there is none, for good (Status then
    // says why). Waits while the thread has not read it yet.
    const TChunk* Next();
    // Once Next returned nil: End, Damaged (with the reader's DamageMessage) or Stopped.
    TCaptureReader::TStatus Status() const { return Ending; }
    const std::string& DamageMessage() const { return Damage; }

private:
    struct TBatch {
        std::vector<uint8_t> Bytes;
        std::vector<TChunk> Chunks;  // Data is set by the owner's side, once handed over
        // Chunk: more batches follow. Otherwise the capture's end, after these chunks.
        TCaptureReader::TStatus Ending = TCaptureReader::TStatus::Chunk;
        std::string Damage;
        std::exception_ptr Error;

        void Clear();
    };

    // The read-ahead thread's loop.
    void Run();
    // Takes the next batch into Reading.
    void Pop();

    TCaptureReader& Reader;
    // The owner's side: the batch being read out, and the next chunk in it.
    TBatch Reading;
    std::size_t NextChunk = 0;
    TCaptureReader::TStatus Ending = TCaptureReader::TStatus::Chunk;
    std::string Damage;

    TBatchQueue<TBatch, kQueuedBatches> Queue;
    std::unique_ptr<n95::Thread> Worker;  // last: started once everything it reads exists
};

}  // namespace n95::host
