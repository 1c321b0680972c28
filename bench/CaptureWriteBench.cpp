// What a live capture's durability costs, per chunk, next to a baseline measured in the same
// run: the capture buffered by libpcap and written at the end (an atomic capture, as a
// replay's outputs are written; a killed run keeps nothing of it). Measured: every chunk by a
// write(2) of its own (a killed run loses nothing written), and that with an fdatasync every
// N chunks (a power loss costs at most the chunks since the last one; at 1,000 frames/s a
// handset's port gives about ten chunks a second). Wall time: fdatasync waits for the disk.
//
// The files go to the current folder, which should be on the disk captures go to (a tmpfs
// makes fdatasync free).
#include <benchmark/benchmark.h>

#include <unistd.h>

#include <string>

#include "host/formats/PcapCapture.h"

namespace {

using n95::host::TCaptureMode;
using n95::host::TCaptureWriter;

// A burst of about a hundred trace frames, as a handset at 1,000 frames/s sends in 0.1 s.
constexpr uint32_t kChunkBytes = 3000;
// A thousand chunks per iteration: milliseconds per iteration are microseconds per chunk.
constexpr int kChunksPerFile = 1000;

void WriteChunks(benchmark::State& state, TCaptureMode mode, int syncEvery) {
    const std::string chunk(kChunkBytes, 'x');
    const std::string path = "capture_write_bench.pcap";
    std::string error;
    for (auto _ : state) {
        unlink(path.c_str());
        TCaptureWriter writer;
        if (!writer.Open(path, &error, mode)) {
            state.SkipWithError(error.c_str());
            return;
        }
        for (int i = 0; i < kChunksPerFile; ++i) {
            writer.Write({1715678400, static_cast<uint32_t>(i)}, chunk.data(), kChunkBytes, &error);
            if (syncEvery > 0 && (i + 1) % syncEvery == 0)
                writer.Sync(&error);
        }
        if (!writer.Commit(&error))
            state.SkipWithError(error.c_str());
    }
    unlink(path.c_str());
}

void BM_CaptureBufferedBaseline(benchmark::State& state) {
    WriteChunks(state, TCaptureMode::Atomic, 0);
}
void BM_CaptureWritePerChunk(benchmark::State& state) {
    WriteChunks(state, TCaptureMode::Growing, 0);
}
void BM_CaptureWritePerChunkSync(benchmark::State& state) {
    WriteChunks(state, TCaptureMode::Growing, static_cast<int>(state.range(0)));
}

BENCHMARK(BM_CaptureBufferedBaseline)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_CaptureWritePerChunk)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_CaptureWritePerChunkSync)->Arg(10)->UseRealTime()->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
