// CopyTestRecord + FreeTestRecord of a typical kind-2 record (what the pipeline does once per
// queued frame, the host's release included), next to two baselines measured in the same run
// on the same total bytes: one malloc + memcpy + free of the whole, and one per part (the
// same number and sizes of blocks the deep copy allocates).
//
// The typical record is the one the pipeline queues: the header, the 70-byte body, a 64-byte
// blob (a trace payload) and two optional blocks (bits 0 and 1: 124 and 24 bytes).
#include <benchmark/benchmark.h>

#include <array>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "records/DataAccessAPIUnit.h"

namespace {

constexpr std::size_t kBlobLen = 64;
// Header, body, blob, block 0, block 1.
constexpr std::array<std::size_t, 5> kPartSizes = {sizeof(TTestRecord), sizeof(TTestBody2),
                                                   kBlobLen, 124, 24};

std::size_t TotalBytes() {
    std::size_t total = 0;
    for (std::size_t s : kPartSizes)
        total += s;
    return total;
}

// Owned by the caller; release with FreeTestRecord.
TTestRecord* TypicalRecord() {
    TTestRecord* rec = NewTestRecord(2);
    rec->MessageCode = 0x713A0301;
    rec->TestTime = 46000.5;
    rec->StampTime = 46000.5;
    auto* body = static_cast<TTestBody2*>(rec->Body);
    auto* blob = static_cast<uint8_t*>(std::malloc(kBlobLen));
    for (std::size_t i = 0; i < kBlobLen; ++i)
        blob[i] = static_cast<uint8_t>(i);
    body->Blob = blob;
    body->BlobLen = kBlobLen;
    body->Block0 = std::calloc(1, BlockSizeTable[2][0]);
    body->Block1 = std::calloc(1, BlockSizeTable[2][1]);
    body->BlockFlags = 0x0003;
    return rec;
}

void BM_CopyFreeRecord(benchmark::State& state) {
    TTestRecord* src = TypicalRecord();
    for (auto _ : state) {
        TTestRecord* copy = CopyTestRecord(src);
        benchmark::DoNotOptimize(copy);
        FreeTestRecord(copy);
    }
    FreeTestRecord(src);
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(TotalBytes()));
}

void BM_MallocCopyFreeWhole(benchmark::State& state) {
    const std::size_t total = TotalBytes();
    std::vector<uint8_t> src(total, 0x5A);
    for (auto _ : state) {
        void* block = std::malloc(total);
        std::memcpy(block, src.data(), total);
        benchmark::DoNotOptimize(block);
        std::free(block);
    }
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(total));
}

void BM_MallocCopyFreeParts(benchmark::State& state) {
    std::vector<uint8_t> src(TotalBytes(), 0x5A);
    std::array<void*, kPartSizes.size()> blocks;
    for (auto _ : state) {
        std::size_t offset = 0;
        for (std::size_t i = 0; i < kPartSizes.size(); ++i) {
            blocks[i] = std::malloc(kPartSizes[i]);
            std::memcpy(blocks[i], src.data() + offset, kPartSizes[i]);
            offset += kPartSizes[i];
        }
        benchmark::DoNotOptimize(blocks.data());
        benchmark::ClobberMemory();
        for (void* block : blocks)
            std::free(block);
    }
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(TotalBytes()));
}

BENCHMARK(BM_CopyFreeRecord);
BENCHMARK(BM_MallocCopyFreeWhole);
BENCHMARK(BM_MallocCopyFreeParts);

}  // namespace

BENCHMARK_MAIN();
