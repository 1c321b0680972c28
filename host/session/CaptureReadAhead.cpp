#include "host/session/CaptureReadAhead.h"

#include <utility>

#include "host/common/StopSignals.h"

namespace n95::host {

void TCaptureReadAhead::TBatch::Clear() {
    Bytes.clear();
    Chunks.clear();
    Ending = TCaptureReader::TStatus::Chunk;
    Damage.clear();
    Error = nullptr;
}

TCaptureReadAhead::TCaptureReadAhead(TCaptureReader& reader) : Reader(reader) {
    Worker = StartThreadWithStopsBlocked([this] { Run(); });
}

TCaptureReadAhead::~TCaptureReadAhead() {
    {
        std::lock_guard<std::mutex> lock(Mutex);
        Stopping = true;
    }
    RoomFreed.notify_one();
    Worker->Join();
}

void TCaptureReadAhead::Run() {
    TBatch filling;
    for (;;) {
        filling.Clear();
        try {
            while (filling.Bytes.size() < kBatchBytes && filling.Chunks.size() < kBatchChunks) {
                const TCaptureReader::TStatus status = Reader.Next();
                if (status != TCaptureReader::TStatus::Chunk) {
                    filling.Ending = status;
                    if (status == TCaptureReader::TStatus::Damaged)
                        filling.Damage = Reader.DamageMessage();
                    break;
                }
                TChunk& chunk = filling.Chunks.emplace_back();
                chunk.Size = Reader.Size();
                chunk.OriginalSize = Reader.OriginalSize();
                chunk.Time = Reader.Time();
                chunk.EndOffset = Reader.Offset();
                chunk.Scan = ScanChunk(Reader.Data(), Reader.Size());
                filling.Bytes.insert(filling.Bytes.end(), Reader.Data(),
                                     Reader.Data() + Reader.Size());
            }
        } catch (...) {
            // The chunks read so far still go; the owner rethrows after them.
            filling.Error = std::current_exception();
            filling.Ending = TCaptureReader::TStatus::End;
        }
        const bool last = filling.Ending != TCaptureReader::TStatus::Chunk;
        if (!Push(filling) || last)
            return;
    }
}

bool TCaptureReadAhead::Push(TBatch& filling) {
    std::unique_lock<std::mutex> lock(Mutex);
    if (Queued == kQueuedBatches && !Stopping) {
        // Full: sleep until the owner has taken half the queue, so that it wakes this thread
        // once per half queue, not once per batch (a wake-up across cores is dear on a
        // virtual machine).
        ReaderWaiting = true;
        RoomFreed.wait(lock, [this] { return Queued <= kQueuedBatches / 2 || Stopping; });
        ReaderWaiting = false;
    }
    if (Stopping)
        return false;
    std::swap(Queue[(Head + Queued) % kQueuedBatches], filling);
    ++Queued;
    const bool wake = OwnerWaiting;
    lock.unlock();
    if (wake)
        BatchQueued.notify_one();
    return true;
}

void TCaptureReadAhead::Pop() {
    bool wake = false;
    {
        std::unique_lock<std::mutex> lock(Mutex);
        if (Queued == 0) {
            OwnerWaiting = true;
            BatchQueued.wait(lock, [this] { return Queued > 0; });
            OwnerWaiting = false;
        }
        std::swap(Queue[Head], Reading);
        Head = (Head + 1) % kQueuedBatches;
        --Queued;
        wake = ReaderWaiting && Queued <= kQueuedBatches / 2;
    }
    if (wake)
        RoomFreed.notify_one();
    // The bytes stay where they are from here on: point the chunks at them.
    const uint8_t* data = Reading.Bytes.data();
    for (TChunk& chunk : Reading.Chunks) {
        chunk.Data = data;
        data += chunk.Size;
    }
    NextChunk = 0;
}

const TCaptureReadAhead::TChunk* TCaptureReadAhead::Next() {
    while (NextChunk == Reading.Chunks.size()) {
        if (Ending != TCaptureReader::TStatus::Chunk)
            return nullptr;
        if (Reading.Ending != TCaptureReader::TStatus::Chunk) {
            // The last batch is read out: the capture has ended.
            Ending = Reading.Ending;
            Damage = std::move(Reading.Damage);
            if (Reading.Error)
                std::rethrow_exception(std::exchange(Reading.Error, nullptr));
            return nullptr;
        }
        Pop();
    }
    return &Reading.Chunks[NextChunk++];
}

}  // namespace n95::host
