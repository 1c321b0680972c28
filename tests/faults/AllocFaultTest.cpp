// Allocation failing at the N-th allocation, for every N: of a DecodeData call that queues
// several records (record heap and, where this program replaces it, operator new), of a
// record copy, and of the decoder's construction. std::bad_alloc reaches the caller, nothing
// leaks, and the queue stays consistent: every record that was queued can be fetched and
// freed, the counts balance through the record hooks, and the decoder goes on working.
//
// The stand-in decoder allocates the current record's blob with std::malloc, outside the
// hooks: that block is neither counted nor failed here, and its release through the hooks is
// the one foreign release allowed.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <set>
#include <string>
#include <vector>

#include "control/TestCommands.h"
#include "decoder/NokiaMSN95Decode.h"
#include "records/DataAccessAPIUnit.h"
#include "tests/decoder/DecoderTestSupport.h"
#include "tests/faults/AllocFaults.h"

namespace n95::test {
namespace {

constexpr uint32_t kFrames = 4;

std::string Payload(uint32_t i) {
    return CodePayload(0x713A0300 + i, 12 + i);
}
std::string Frame(uint32_t i) {
    return MakeFrame(0x22, static_cast<uint8_t>(i), 0, Payload(i));
}

std::string Chunk() {
    std::string chunk;
    for (uint32_t i = 0; i < kFrames; ++i)
        chunk += Frame(i);
    return chunk;
}

// Fetches and frees every queued record; each must be the copy made for frame 0, 1, ... in
// order. Returns how many there were.
uint32_t DeliverInOrder(TNokiaMSN95Decode& d) {
    const int32_t n = d.GetRecordCount();
    for (int32_t i = 0; i < n; ++i) {
        const TTestRecord* r = d.GetRecord(i);
        EXPECT_NE(r, nullptr) << i;
        if (r == nullptr)
            continue;
        EXPECT_EQ(Value(r->MessageCode), 0x713A0300u + static_cast<uint32_t>(i));
        const auto* body = static_cast<const TTestBody2*>(r->Body);
        const std::string payload = Payload(static_cast<uint32_t>(i));
        EXPECT_EQ(
            std::string(reinterpret_cast<const char*>(Value(body->Blob)), Value(body->BlobLen)),
            payload);
        EXPECT_TRUE(d.FreeRecord(i));
        EXPECT_EQ(d.GetRecord(i), nullptr);
    }
    EXPECT_TRUE(d.ClearRecords());
    EXPECT_EQ(d.GetRecordCount(), 0);
    return static_cast<uint32_t>(n < 0 ? 0 : n);
}

class AllocFaultTest : public ::testing::TestWithParam<bool> {
protected:
    void TearDown() override { ArmAllocationFailure(0); }

    Journal journal;
    JournalEnv env{&journal};
    ScopedEnv scopedEnv{&env};
    RecordingPort port{&journal};
};

// Param: the frame log is on (one more allocation per frame: the logged frame).
TEST_P(AllocFaultTest, DecodeDataFailingAtEveryAllocation) {
    const bool logging = GetParam();
    const std::string chunk = Chunk();
    const std::string logPath = testing::TempDir() + "n95-alloc-faults.log";
    uint64_t failures = 0;
    uint64_t allocations = 0;  // counted in the run that succeeded
    for (uint64_t n = 1;; ++n) {
        SCOPED_TRACE("failing allocation " + std::to_string(n));
        TFaultyRecordHeap heap;
        bool failed = false;
        {
            TNokiaMSN95Decode d(&port, nullptr);
            d.SetState(rsTesting);
            if (logging) {
                d.SetLogFileName(logPath);
                d.SetLogEnabled(true);
            }
            const std::set<void*> own = heap.Live;  // the current record and its body

            std::string text;
            ArmAllocationFailure(n);
            try {
                d.DecodeData(chunk.data(), static_cast<int32_t>(chunk.size()), text);
            } catch (const std::bad_alloc&) {
                failed = true;
            }
            const uint64_t counted = ArmAllocationFailure(0);

            if (failed) {
                ++failures;
                EXPECT_GE(counted, n);
                EXPECT_LE(heap.Failures, 1u);  // 0 when operator new failed
                // Whatever was queued before the failure is whole and in order.
                EXPECT_LE(DeliverInOrder(d), kFrames);
                EXPECT_EQ(heap.Live, own) << "a queued record was lost or a block leaked";
                // The decoder is not damaged: the same chunk decodes completely.
                d.DecodeData(chunk.data(), static_cast<int32_t>(chunk.size()), text);
                EXPECT_EQ(text, chunk);
                EXPECT_EQ(DeliverInOrder(d), kFrames);
            } else {
                allocations = counted;
                EXPECT_EQ(text, chunk);
                EXPECT_EQ(DeliverInOrder(d), kFrames);
            }
            EXPECT_EQ(heap.Live, own);
        }
        EXPECT_TRUE(heap.Live.empty()) << heap.Live.size() << " record blocks leaked";
        EXPECT_LE(heap.ForeignFrees, 1u);
        if (!failed || HasFailure())
            break;
    }
    std::remove(logPath.c_str());
    EXPECT_FALSE(HasFailure());
    // Every allocation of the call was made to fail once.
    EXPECT_EQ(failures, allocations);
    // At least the three blocks of each copy (header, body, blob) are counted.
    EXPECT_GE(allocations, 3u * kFrames);
    if (FailingNewInstalled()) {
        EXPECT_GT(allocations, 3u * kFrames) << "operator new is counted too";
    }
}

INSTANTIATE_TEST_SUITE_P(LogOffAndOn, AllocFaultTest, ::testing::Bool());

// A kind-2 record with every owned part: entries, blob, a list with data, the dual arrays
// and all nine blocks. Built from tracked blocks, as the field store would fill it.
TTestRecord* FullKind2(TFaultyRecordHeap& heap) {
    auto* rec = static_cast<TTestRecord*>(heap.Allocate(sizeof(TTestRecord)));
    rec->KindWord = 0x20000000u;
    rec->MessageCode = 0x713A0301;
    auto* body = static_cast<TTestBody2*>(heap.Allocate(sizeof(TTestBody2)));
    body->EntryCount = 2;
    body->Entries = heap.Allocate(2 * 24);
    body->BlobLen = 64;
    body->Blob = static_cast<uint8_t*>(heap.Allocate(64));
    body->List.Count = 3;
    auto* items = static_cast<TBlobEntry*>(heap.Allocate(3 * sizeof(TBlobEntry)));
    for (int i = 0; i < 3; ++i) {
        items[i].Len = static_cast<uint16_t>(i * 5);  // the first entry owns no data
        items[i].Data = i == 0 ? nullptr : static_cast<uint8_t*>(heap.Allocate(i * 5));
    }
    body->List.Items = items;
    body->Dual.Count = 2;
    body->Dual.Bytes = static_cast<uint8_t*>(heap.Allocate(2));
    body->Dual.Items = heap.Allocate(2 * 12);
    body->BlockFlags = 0x01FF;
    for (unsigned bit = 0; bit < MaxBlockBits; ++bit) {
        void* block = heap.Allocate(BlockSizeTable[2][bit]);
        std::memset(block, 0x40 + bit, BlockSizeTable[2][bit]);
        std::memcpy(reinterpret_cast<uint8_t*>(body) + BlockPointerOffset(2, bit), &block,
                    sizeof block);
    }
    rec->Body = body;
    return rec;
}

TEST(AllocFaultCopyTest, RecordCopyFailingAtEveryAllocation) {
    TFaultyRecordHeap heap;
    TTestRecord* src = FullKind2(heap);
    const std::set<void*> sourceBlocks = heap.Live;
    uint64_t failures = 0;
    for (uint64_t n = 1;; ++n) {
        ArmAllocationFailure(n);
        TTestRecord* copy = nullptr;
        try {
            copy = CopyTestRecord(src);
        } catch (const std::bad_alloc&) {
            ArmAllocationFailure(0);
            ++failures;
            ASSERT_EQ(heap.Live, sourceBlocks) << "failing allocation " << n;
            continue;
        }
        const uint64_t counted = ArmAllocationFailure(0);
        ASSERT_NE(copy, nullptr);
        // Header, body, entries, blob, list items, two entry data, two dual arrays, 9 blocks.
        EXPECT_EQ(counted, 18u);
        EXPECT_EQ(failures, counted);
        EXPECT_EQ(heap.Live.size(), sourceBlocks.size() + counted);
        FreeTestRecord(copy);
        break;
    }
    EXPECT_EQ(heap.Live, sourceBlocks);
    FreeTestRecord(src);
    EXPECT_TRUE(heap.Live.empty());
    EXPECT_EQ(heap.ForeignFrees, 0u);
}

TEST(AllocFaultCopyTest, DecoderConstructionFailingAtEveryAllocation) {
    Journal journal;
    JournalEnv env(&journal);
    ScopedEnv scoped(&env);
    RecordingPort port(&journal);
    uint64_t failures = 0;
    for (uint64_t n = 1;; ++n) {
        TFaultyRecordHeap heap;
        ArmAllocationFailure(n);
        std::unique_ptr<TNokiaMSN95Decode> d;
        try {
            d = std::make_unique<TNokiaMSN95Decode>(&port, nullptr);
        } catch (const std::bad_alloc&) {
            ArmAllocationFailure(0);
            ++failures;
            ASSERT_TRUE(heap.Live.empty()) << "failing allocation " << n;
            continue;
        }
        const uint64_t counted = ArmAllocationFailure(0);
        EXPECT_EQ(failures, counted);
        EXPECT_GE(counted, 2u);  // at least the current record and its body
        d.reset();
        EXPECT_TRUE(heap.Live.empty());
        break;
    }
}

// The command builder's every allocation (the lines, the list, the parameter lookups) fails in
// turn, for every action: std::bad_alloc reaches the caller and nothing leaks (the sanitizers
// and valgrind see to the leaks). Needs this program's operator new.
TEST(AllocFaultCommandsTest, MakeTestCommandsFailingAtEveryAllocation) {
    if (!FailingNewInstalled())
        GTEST_SKIP() << "operator new is not replaced here";
    const int32_t actions[] = {0,   1,   2,   520, 521, 522, 523, 524, 532, 533, 534, 542,
                               543, 546, 547, 550, 551, 580, 581, 590, 591, 592, 593};
    const std::string params =
        "Network=70000\r\nUARFCN=10713\r\nPSC=276\r\nBCCH=$1F\nGSMBand=-1\rBSIC=300\r\n"
        "GSMChanLow=-5\r\nGSMChanHigh=7\r\nBsicDecode=1\r\nWCDMABand=1\r\n"
        "WCDMAPilotLevel=-90";
    for (int32_t action : actions) {
        const std::string text = action == 0 || action == 532 ? std::string("+4912345") : params;
        const std::vector<std::string> expected = MakeTestCommands(action, text);
        ASSERT_FALSE(expected.empty()) << action;
        uint64_t failures = 0;
        for (uint64_t n = 1;; ++n) {
            ArmAllocationFailure(n);
            try {
                std::vector<std::string> lines = MakeTestCommands(action, text);
                const uint64_t counted = ArmAllocationFailure(0);
                EXPECT_EQ(lines, expected) << action;
                EXPECT_EQ(failures, counted) << action;
                break;
            } catch (const std::bad_alloc&) {
                ArmAllocationFailure(0);
                ++failures;
            }
        }
        EXPECT_GT(failures, 0u) << action;
    }
}

}  // namespace
}  // namespace n95::test
