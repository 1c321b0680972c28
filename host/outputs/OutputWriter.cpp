#include "host/outputs/OutputWriter.h"

#include <algorithm>
#include <exception>
#include <string>

#include "host/common/StopSignals.h"

namespace n95::host {

TOutputWriter::TOutputWriter(TOutputSet& outputs) : Outputs(outputs) {
    Filling.reserve(kBatchRows);
    Worker = StartThreadWithStopsBlocked([this] { Run(); });
}

TOutputWriter::~TOutputWriter() {
    Finish();
}

void TOutputWriter::Add(std::span<const TRecordRow> rows) {
    while (!rows.empty()) {
        const std::size_t take = std::min(rows.size(), kBatchRows - Filling.size());
        Filling.insert(Filling.end(), rows.begin(), rows.begin() + take);
        rows = rows.subspan(take);
        if (Filling.size() == kBatchRows)
            Push();
    }
}

void TOutputWriter::Push() {
    std::unique_lock<std::mutex> lock(Mutex);
    if (Queued == kQueuedBatches) {
        // Full: sleep until the writer has taken half the queue, so that it wakes this thread
        // once per half queue rather than once per batch (a wake-up across cores is dear on a
        // virtual machine).
        OwnerWaiting = true;
        RoomFreed.wait(lock, [this] { return Queued <= kQueuedBatches / 2; });
        OwnerWaiting = false;
    }
    // The slot past the queue holds a batch the writer has emptied: take it in exchange.
    Queue[(Head + Queued) % kQueuedBatches].swap(Filling);
    ++Queued;
    const bool wake = WriterWaiting;
    lock.unlock();
    if (wake)
        BatchQueued.notify_one();
    Filling.clear();
}

void TOutputWriter::Run() {
    std::vector<TRecordRow> writing;
    writing.reserve(kBatchRows);
    std::string error;
    for (;;) {
        bool wake = false;
        {
            std::unique_lock<std::mutex> lock(Mutex);
            if (Queued == 0 && !Closing) {
                WriterWaiting = true;
                BatchQueued.wait(lock, [this] { return Queued > 0 || Closing; });
                WriterWaiting = false;
            }
            if (Queued == 0)
                return;  // closing, and everything is written
            Queue[Head].swap(writing);
            Head = (Head + 1) % kQueuedBatches;
            --Queued;
            wake = OwnerWaiting && Queued <= kQueuedBatches / 2;
        }
        if (wake)
            RoomFreed.notify_one();
        if (!WriteFailed.load(std::memory_order_relaxed)) {
            try {
                for (const TRecordRow& row : writing)
                    Outputs.Add(row);
                if (!Outputs.Flush(&error))
                    WriteFailed.store(true, std::memory_order_relaxed);
            } catch (const std::exception& e) {
                FailureMessage = std::string("cannot write the outputs: ") + e.what();
                WriteFailed.store(true, std::memory_order_relaxed);
            }
        }
        writing.clear();
    }
}

void TOutputWriter::Finish() {
    if (Finished)
        return;
    Finished = true;
    if (!Filling.empty())
        Push();
    {
        std::lock_guard<std::mutex> lock(Mutex);
        Closing = true;
    }
    BatchQueued.notify_one();
    Worker->Join();
}

}  // namespace n95::host
