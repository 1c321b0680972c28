// The outputs of a replay written on a thread of their own, so that formatting and writing
// the rows take the second core while the host's thread decodes.
//
// Rows come in index order (Add) and go, in batches of kBatchRows, through a bounded queue
// of kQueuedBatches batches to the writer thread, which adds them to the output set in the
// same order. When the writer falls behind, Add waits: memory stays flat however long the
// run. The batches are reused, so the rows cost no allocation once the queue has filled.
//
// After each batch the writer flushes the outputs. A write that failed (a full device, a
// FIFO whose reader has gone) sets Failed(), which the run checks between steps to stop
// early; the rest of the rows are dropped. The output set keeps the failure, so its Flush or
// Commit then reports it as it would have without this thread. An exception of an output
// (memory) fails the writer the same way, with its message in Failure().
//
// Threading: Add, Finish and the destructor run on the owner's thread; Failed() may be read
// from any thread. The output set belongs to the writer thread from construction until
// Finish returns: the owner must not touch it in between. The writer thread runs with the
// stop signals blocked (see StopSignals), so that SIGINT and SIGTERM reach the owner's
// thread, and a write to a pipe whose reader has gone fails with EPIPE there.
#pragma once

#include <atomic>
#include <cstddef>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "host/common/BatchQueue.h"
#include "host/outputs/OutputSet.h"
#include "host/outputs/RecordRow.h"
#include "platform/Env.h"

namespace n95::host {

class TOutputWriter {
public:
    static constexpr std::size_t kBatchRows = 4096;
    static constexpr std::size_t kQueuedBatches = 4;

    // Starts the writer thread for `outputs` (opened; must outlive this object).
    explicit TOutputWriter(TOutputSet& outputs);
    // Finish.
    ~TOutputWriter();
    TOutputWriter(const TOutputWriter&) = delete;
    TOutputWriter& operator=(const TOutputWriter&) = delete;

    // The next rows, in index order. Waits while the queue is full. Dropped after Failed().
    void Add(std::span<const TRecordRow> rows);

    // Set once a write to an output failed.
    const std::atomic<bool>& Failed() const { return WriteFailed; }
    // After Finish: the message of an exception that failed the writer; empty when a write
    // failed (the output set says why) or nothing did.
    const std::string& Failure() const { return FailureMessage; }

    // Hands over the rows still being batched, waits until every row is written (or dropped
    // after a failure) and ends the thread. The output set is the owner's again. Idempotent.
    void Finish();

private:
    // The writer thread's loop.
    void Run();

    TOutputSet& Outputs;
    std::vector<TRecordRow> Filling;  // the owner's batch being filled
    TBatchQueue<std::vector<TRecordRow>, kQueuedBatches> Queue;
    std::atomic<bool> WriteFailed{false};
    std::string FailureMessage;  // the writer thread's until Finish
    bool Finished = false;
    std::unique_ptr<n95::Thread> Worker;  // last: started once everything it reads exists
};

}  // namespace n95::host
