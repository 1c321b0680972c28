// The replay's helper threads: the bounded batch queue between two threads, and the
// capture read ahead through it.
#include "host/common/BatchQueue.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "host/formats/PcapCapture.h"
#include "host/session/CaptureReadAhead.h"
#include "tests/host/HostTestSupport.h"

namespace n95::host {
namespace {

using n95::test::ReadFile;
using n95::test::WriteFile;

// Every batch arrives once, in order, with a producer that outruns the consumer and one that
// lags it (a lost wake-up would hang here); Close lets the consumer drain what is queued.
TEST(BatchQueueTest, CarriesEveryBatchInOrderAndDrainsAfterClose) {
    for (const bool slowConsumer : {false, true}) {
        TBatchQueue<std::vector<int>, 4> queue;
        constexpr int kBatches = 20000;
        std::thread producer([&] {
            std::vector<int> batch;
            for (int i = 0; i < kBatches; ++i) {
                batch.assign(1 + i % 3, i);
                ASSERT_TRUE(queue.Put(batch));
                if (!slowConsumer && i % 64 == 0)
                    std::this_thread::yield();
            }
            queue.Close();
        });
        std::vector<int> batch;
        int expected = 0;
        while (queue.Take(batch)) {
            ASSERT_EQ(batch, std::vector<int>(1 + expected % 3, expected));
            ++expected;
            if (slowConsumer && expected % 64 == 0)
                std::this_thread::yield();
        }
        producer.join();
        EXPECT_EQ(expected, kBatches) << slowConsumer;
        EXPECT_FALSE(queue.Take(batch));
    }
}

// Stop releases a producer that waits for room, and refuses what comes after.
TEST(BatchQueueTest, StopReleasesAWaitingProducer) {
    TBatchQueue<std::vector<int>, 2> queue;
    std::vector<int> batch{1};
    ASSERT_TRUE(queue.Put(batch));
    ASSERT_TRUE(queue.Put(batch));
    bool third = true;
    std::thread producer([&] {
        std::vector<int> more{3};
        third = queue.Put(more);  // the queue is full: waits until the stop
    });
    queue.Stop();
    producer.join();
    EXPECT_FALSE(third);
    EXPECT_FALSE(queue.Put(batch));
}

using CaptureReadAheadTest = n95::test::ScratchDirTest;

// The read-ahead hands over what the reader reads, chunk for chunk, however the chunks fall
// into batches and wherever the capture ends; and it can be dropped half-way.
TEST_F(CaptureReadAheadTest, GivesWhatTheReaderGives) {
    // Enough chunks to fill the queue several times over, of sizes that cross the batch
    // limits; the chunks of the damaged copy stop inside the last packet.
    std::string error;
    {
        TCaptureWriter writer;
        ASSERT_TRUE(writer.Open(Path("many.pcap"), &error)) << error;
        for (uint32_t i = 0; i < 6000; ++i) {
            std::string chunk(1 + (i * 7919) % 3000, static_cast<char>(i));
            if (i % 3 == 0)
                chunk = {'\x01', '\x02', '\x03', '\x00', '\x00', '\x02', 'a', 'b'};  // a frame
            ASSERT_TRUE(writer.Write({1715678400 + i, i}, chunk.data(),
                                     static_cast<uint32_t>(chunk.size()), &error));
        }
        ASSERT_TRUE(writer.Commit(&error)) << error;
    }
    const std::string whole = ReadFile(Path("many.pcap"));
    WriteFile(Path("cut.pcap"), whole.substr(0, whole.size() - 5));

    for (const char* name : {"many.pcap", "cut.pcap"}) {
        TCaptureReader direct, ahead;
        ASSERT_TRUE(direct.Open(Path(name), &error)) << error;
        ASSERT_TRUE(ahead.Open(Path(name), &error)) << error;
        TCaptureReadAhead readAhead(ahead);
        TCaptureReader::TStatus status;
        uint64_t chunks = 0;
        while ((status = direct.Next()) == TCaptureReader::TStatus::Chunk) {
            const TCaptureReadAhead::TChunk* chunk = readAhead.Next();
            ASSERT_NE(chunk, nullptr) << name << " chunk " << chunks;
            ASSERT_EQ(std::string(reinterpret_cast<const char*>(chunk->Data), chunk->Size),
                      std::string(reinterpret_cast<const char*>(direct.Data()), direct.Size()));
            EXPECT_EQ(chunk->Time.Seconds, direct.Time().Seconds);
            EXPECT_EQ(chunk->Time.Nanoseconds, direct.Time().Nanoseconds);
            EXPECT_EQ(chunk->EndOffset, direct.Offset());
            EXPECT_EQ(chunk->Scan.Frames, ScanChunk(direct.Data(), direct.Size()).Frames);
            ++chunks;
        }
        EXPECT_EQ(readAhead.Next(), nullptr) << name;
        EXPECT_EQ(readAhead.Next(), nullptr) << name;
        EXPECT_EQ(readAhead.Status(), status) << name;
        EXPECT_EQ(readAhead.DamageMessage(), direct.DamageMessage());
        EXPECT_EQ(chunks, std::string(name) == "cut.pcap" ? 5999u : 6000u);
    }

    // Dropped after a few chunks, with the thread reading on or waiting for room: it ends.
    TCaptureReader reader;
    ASSERT_TRUE(reader.Open(Path("many.pcap"), &error)) << error;
    TCaptureReadAhead readAhead(reader);
    for (int i = 0; i < 3; ++i)
        ASSERT_NE(readAhead.Next(), nullptr);
}

}  // namespace
}  // namespace n95::host
