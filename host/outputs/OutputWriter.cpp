#include "host/outputs/OutputWriter.h"

#include <pthread.h>

#include <algorithm>
#include <csignal>
#include <exception>
#include <string>

namespace n95::host {

TOutputWriter::TOutputWriter(TOutputSet& outputs) : Outputs(outputs) {
    Filling.reserve(kBatchRows);
    // The thread starts with the stop signals blocked (it inherits this thread's mask), so
    // that none is ever handled on it.
    sigset_t stops, previous;
    sigemptyset(&stops);
    for (const int signal : {SIGINT, SIGTERM, SIGHUP, SIGPIPE})
        sigaddset(&stops, signal);
    pthread_sigmask(SIG_BLOCK, &stops, &previous);
    struct TRestoreMask {
        const sigset_t& Mask;
        ~TRestoreMask() { pthread_sigmask(SIG_SETMASK, &Mask, nullptr); }
    } restore{previous};
    Worker = n95::Env::Default()->StartThread([this] { Run(); });
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
    Changed.wait(lock, [this] { return Queued < kQueuedBatches; });
    // The slot past the queue holds a batch the writer has emptied: take it in exchange.
    Queue[(Head + Queued) % kQueuedBatches].swap(Filling);
    ++Queued;
    lock.unlock();
    Changed.notify_all();
    Filling.clear();
}

void TOutputWriter::Run() {
    std::vector<TRecordRow> writing;
    writing.reserve(kBatchRows);
    std::string error;
    for (;;) {
        {
            std::unique_lock<std::mutex> lock(Mutex);
            Changed.wait(lock, [this] { return Queued > 0 || Closing; });
            if (Queued == 0)
                return;  // closing, and everything is written
            Queue[Head].swap(writing);
            Head = (Head + 1) % kQueuedBatches;
            --Queued;
        }
        Changed.notify_all();
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
    Changed.notify_all();
    Worker->Join();
}

}  // namespace n95::host
