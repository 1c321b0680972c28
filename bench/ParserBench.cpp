// Throughput of the trace frame parser, next to memcpy of the same chunk (the ceiling) and
// next to the byte-at-a-time model (the straightforward machine). Each chunk is ~64 KiB of
// long-header frames with one payload size; the handler only counts. After the runs the
// program prints the parser's throughput as a fraction of memcpy's and as a multiple of the
// model's, from the times measured in this same process.
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "benchmark/benchmark.h"
#include "tests/framing/ByteModel.h"
#include "trace/NokiaBryParse.h"

namespace {

constexpr size_t kChunkTarget = 64 * 1024;
const int kPayloadSizes[] = {16, 64, 256, 1024};

std::vector<uint8_t> MakeChunk(size_t payloadSize, size_t* frames) {
    std::mt19937 rng(static_cast<uint32_t>(payloadSize));
    std::vector<uint8_t> chunk;
    *frames = kChunkTarget / (10 + payloadSize);
    for (size_t f = 0; f < *frames; ++f) {
        const uint8_t header[10] = {static_cast<uint8_t>(rng()),
                                    static_cast<uint8_t>(rng()),
                                    static_cast<uint8_t>(rng()),
                                    0x01,
                                    0,
                                    0,
                                    0,
                                    0,
                                    static_cast<uint8_t>(payloadSize >> 8),
                                    static_cast<uint8_t>(payloadSize & 0xFF)};
        chunk.insert(chunk.end(), header, header + 10);
        for (size_t i = 0; i < payloadSize; ++i) {
            chunk.push_back(static_cast<uint8_t>(rng()));
        }
    }
    return chunk;
}

void CountFrame(void* self, void*, const TNokiaBrySrc&) {
    ++*static_cast<size_t*>(self);
}

void BM_Parser(benchmark::State& state) {
    size_t frames = 0;
    const std::vector<uint8_t> chunk = MakeChunk(static_cast<size_t>(state.range(0)), &frames);
    size_t delivered = 0;
    TNokiaBryParse parser(nullptr);
    parser.SetOnParsed(TParsedEvent{&CountFrame, &delivered});
    for (auto _ : state) {
        parser.ParseBuffer(chunk.data(), static_cast<int32_t>(chunk.size()));
    }
    if (delivered != frames * static_cast<size_t>(state.iterations())) {
        state.SkipWithError("parser lost frames");
    }
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(chunk.size()));
}

void BM_Memcpy(benchmark::State& state) {
    size_t frames = 0;
    const std::vector<uint8_t> chunk = MakeChunk(static_cast<size_t>(state.range(0)), &frames);
    std::vector<uint8_t> copy(chunk.size());
    for (auto _ : state) {
        std::memcpy(copy.data(), chunk.data(), chunk.size());
        benchmark::DoNotOptimize(copy.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(chunk.size()));
}

void BM_ByteModel(benchmark::State& state) {
    size_t frames = 0;
    const std::vector<uint8_t> chunk = MakeChunk(static_cast<size_t>(state.range(0)), &frames);
    size_t delivered = 0;
    n95::TByteModel model;
    for (auto _ : state) {
        model.Parse(chunk.data(), chunk.size(), [&](const std::string&) { ++delivered; });
    }
    if (delivered != frames * static_cast<size_t>(state.iterations())) {
        state.SkipWithError("model lost frames");
    }
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(chunk.size()));
}

void PayloadArgs(benchmark::internal::Benchmark* b) {
    for (int size : kPayloadSizes) {
        b->Arg(size);
    }
}

BENCHMARK(BM_Parser)->Apply(PayloadArgs);
BENCHMARK(BM_Memcpy)->Apply(PayloadArgs);
BENCHMARK(BM_ByteModel)->Apply(PayloadArgs);

// Prints as usual and keeps each benchmark's CPU time per chunk (the fastest repetition):
// CPU time, like bytes_per_second, so that other load on the machine does not skew ratios.
class TRatioReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& run : runs) {
            if (run.run_type != Run::RT_Iteration || run.error_occurred) {
                continue;
            }
            const double seconds = run.GetAdjustedCPUTime() * TimeUnitSeconds(run.time_unit);
            auto [it, inserted] = SecondsPerChunk.emplace(run.benchmark_name(), seconds);
            if (!inserted && seconds < it->second) {
                it->second = seconds;
            }
        }
        ConsoleReporter::ReportRuns(runs);
    }

    std::map<std::string, double> SecondsPerChunk;

private:
    static double TimeUnitSeconds(benchmark::TimeUnit unit) {
        switch (unit) {
            case benchmark::kSecond:
                return 1.0;
            case benchmark::kMillisecond:
                return 1e-3;
            case benchmark::kMicrosecond:
                return 1e-6;
            case benchmark::kNanosecond:
                return 1e-9;
        }
        return 1e-9;
    }
};

void PrintRatios(const TRatioReporter& reporter) {
    std::printf("\n%8s %12s %12s %12s %14s %13s\n", "payload", "parser GB/s", "memcpy GB/s",
                "model GB/s", "parser/memcpy", "parser/model");
    for (int size : kPayloadSizes) {
        // Appended rather than "/" + ...: GCC 12 gives a false -Wrestrict on that form.
        std::string arg = "/";
        arg += std::to_string(size);
        const auto parser = reporter.SecondsPerChunk.find("BM_Parser" + arg);
        const auto copy = reporter.SecondsPerChunk.find("BM_Memcpy" + arg);
        const auto model = reporter.SecondsPerChunk.find("BM_ByteModel" + arg);
        if (parser == reporter.SecondsPerChunk.end() || copy == reporter.SecondsPerChunk.end() ||
            model == reporter.SecondsPerChunk.end()) {
            continue;  // filtered out or failed
        }
        size_t frames = 0;
        const double bytes =
            static_cast<double>(MakeChunk(static_cast<size_t>(size), &frames).size());
        std::printf("%8d %12.2f %12.2f %12.2f %13.1f%% %12.1fx\n", size,
                    bytes / parser->second / 1e9, bytes / copy->second / 1e9,
                    bytes / model->second / 1e9, 100.0 * copy->second / parser->second,
                    model->second / parser->second);
    }
}

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
        return 1;
    }
    TRatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    PrintRatios(reporter);
    benchmark::Shutdown();
    return 0;
}
