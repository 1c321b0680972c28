// A bounded queue of batches from one thread to another, in order: the replay's rows to the
// output writer, the capture's chunks from the read-ahead to the replay.
//
// Batches are exchanged, not copied: Put swaps the producer's full batch into a slot and
// gives it back the emptied batch the consumer left there, and Take swaps the consumer's
// read-out batch for the oldest queued one. So the batches' storage is reused, and memory
// is bounded by Slots batches plus the two in the threads' hands.
//
// A side that cannot go on sleeps: the producer while all Slots are queued, the consumer
// while none is. The producer is woken only once the consumer has taken half the queue, and
// each side wakes the other only when it sleeps: a wake-up across cores is dear (on a
// virtual machine it cost a replay several per cent when every batch woke the other side).
//
// Threading: one producer thread (Put, and Close) and one consumer thread (Take, and Stop).
#pragma once

#include <array>
#include <condition_variable>
#include <cstddef>
#include <mutex>
#include <utility>

namespace n95::host {

template <typename TBatch, std::size_t Slots>
class TBatchQueue {
    static_assert(Slots >= 2);

public:
    // Queues `batch` and leaves an emptied batch (or a new one) in it; the producer clears it
    // before filling it again. Waits while the queue is full. False, with nothing queued,
    // once the consumer has stopped.
    bool Put(TBatch& batch) {
        std::unique_lock<std::mutex> lock(Mutex);
        if (Queued == Slots && !Stopped) {
            ProducerWaiting = true;
            RoomFreed.wait(lock, [this] { return Queued <= Slots / 2 || Stopped; });
            ProducerWaiting = false;
        }
        if (Stopped)
            return false;
        std::swap(Queue[(Head + Queued) % Slots], batch);
        ++Queued;
        const bool wake = ConsumerWaiting;
        lock.unlock();
        if (wake)
            BatchQueued.notify_one();
        return true;
    }

    // Takes the oldest queued batch into `batch`, whose old content the queue keeps for the
    // producer to reuse. Waits while the queue is empty. False once it is empty and closed.
    bool Take(TBatch& batch) {
        bool wake = false;
        {
            std::unique_lock<std::mutex> lock(Mutex);
            if (Queued == 0 && !Closed) {
                ConsumerWaiting = true;
                BatchQueued.wait(lock, [this] { return Queued > 0 || Closed; });
                ConsumerWaiting = false;
            }
            if (Queued == 0)
                return false;
            std::swap(Queue[Head], batch);
            Head = (Head + 1) % Slots;
            --Queued;
            wake = ProducerWaiting && Queued <= Slots / 2;
        }
        if (wake)
            RoomFreed.notify_one();
        return true;
    }

    // The producer puts nothing more: Take returns what is queued, then false.
    void Close() {
        {
            std::lock_guard<std::mutex> lock(Mutex);
            Closed = true;
        }
        BatchQueued.notify_one();
    }

    // The consumer takes nothing more: a waiting or later Put returns false at once.
    void Stop() {
        {
            std::lock_guard<std::mutex> lock(Mutex);
            Stopped = true;
        }
        RoomFreed.notify_one();
    }

private:
    std::mutex Mutex;
    std::condition_variable BatchQueued;  // the consumer waits on it
    std::condition_variable RoomFreed;    // the producer waits on it
    // Guarded by Mutex: the queued batches, oldest at Head; the other slots hold batches the
    // consumer has read out.
    std::array<TBatch, Slots> Queue;
    std::size_t Head = 0, Queued = 0;
    bool ProducerWaiting = false, ConsumerWaiting = false;
    bool Closed = false, Stopped = false;
};

}  // namespace n95::host
