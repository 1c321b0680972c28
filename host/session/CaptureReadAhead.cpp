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
    Queue.Stop();
    Reader.Cancel();
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
                // The bytes first: a chunk is listed only once its bytes are in the batch,
                // so a failure to copy them (memory) leaves no chunk pointing past them.
                filling.Bytes.insert(filling.Bytes.end(), Reader.Data(),
                                     Reader.Data() + Reader.Size());
                TChunk chunk;
                chunk.Size = Reader.Size();
                chunk.OriginalSize = Reader.OriginalSize();
                chunk.Time = Reader.Time();
                chunk.EndOffset = Reader.Offset();
                chunk.StoredOffset = Reader.StoredOffset();
                chunk.Scan = ScanChunk(Reader.Data(), Reader.Size());
                try {
                    filling.Chunks.push_back(chunk);
                } catch (...) {
                    filling.Bytes.resize(filling.Bytes.size() - chunk.Size);
                    throw;
                }
            }
        } catch (...) {
            // The chunks read so far still go; the owner rethrows after them.
            filling.Error = std::current_exception();
            filling.Ending = TCaptureReader::TStatus::End;
        }
        const bool last = filling.Ending != TCaptureReader::TStatus::Chunk;
        if (!Queue.Put(filling) || last)
            return;
    }
}

void TCaptureReadAhead::Pop() {
    // Never false: the thread's last batch says that the capture has ended, and Next then
    // takes no more.
    Queue.Take(Reading);
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
