// The decoder's whole testing-state pipeline (parser, throttle, stand-in decoder, record copy,
// queue, host hand-over and free) in frames per second, next to the parser alone on the same
// chunks in the same run; and position interpolation per host record at 10^4..10^6 records,
// which must stay flat (linear time).
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "decoder/NokiaMSN95Decode.h"
#include "records/DataAccessAPIUnit.h"
#include "tests/support/NullHostPort.h"
#include "trace/NokiaBryParse.h"
#include "trace/PositionTagger.h"

namespace {

constexpr int kFramesPerChunk = 256;
constexpr std::size_t kPayload = 64;

// A chunk of long-header frames with ungated keys and distinct message codes.
std::string MakeChunk() {
    std::string chunk;
    for (int i = 0; i < kFramesPerChunk; ++i) {
        chunk += static_cast<char>(0x22);
        chunk += static_cast<char>(i & 0x3F);
        chunk += static_cast<char>(0);
        chunk += '\x01';
        chunk += std::string(4, '\0');
        chunk += static_cast<char>(kPayload >> 8);
        chunk += static_cast<char>(kPayload & 0xFF);
        std::string payload(kPayload, 'p');
        payload[0] = 0x71;
        payload[1] = 0x3A;
        payload[2] = 0x03;
        payload[3] = static_cast<char>(i);
        chunk += payload;
    }
    return chunk;
}

// A port whose clock moves on by 1e-9 day (86 us) at every reading.
class ClockPort final : public n95::test::NullHostPort {
public:
    ClockPort() { TimeStamp = 46000.0; }
    TDateTime GetTimeStamp() override { return TimeStamp += 1e-9; }
};

void BM_ParserAlone(benchmark::State& state) {
    const std::string chunk = MakeChunk();
    int64_t frames = 0;
    TNokiaBryParse parser(nullptr);
    parser.SetOnParsed(TParsedEvent{
        [](void* self, void*, const TNokiaBrySrc&) { ++*static_cast<int64_t*>(self); }, &frames});
    for (auto _ : state)
        parser.ParseBuffer(chunk.data(), static_cast<int32_t>(chunk.size()));
    state.counters["frames/s"] =
        benchmark::Counter(static_cast<double>(frames), benchmark::Counter::kIsRate);
}

void BM_WholePipeline(benchmark::State& state) {
    const std::string chunk = MakeChunk();
    ClockPort port;
    TNokiaMSN95Decode decoder(&port, nullptr);  // no context: no watcher thread
    decoder.SetState(rsTesting);
    std::string text;
    int64_t frames = 0;
    for (auto _ : state) {
        decoder.DecodeData(chunk.data(), static_cast<int32_t>(chunk.size()), text);
        const int32_t n = decoder.GetRecordCount();
        for (int32_t i = 0; i < n; ++i) {
            uint32_t code = decoder.GetRecord(i)->MessageCode;
            benchmark::DoNotOptimize(code);
            decoder.FreeRecord(i);
        }
        decoder.ClearRecords();
        frames += n;
    }
    state.counters["frames/s"] =
        benchmark::Counter(static_cast<double>(frames), benchmark::Counter::kIsRate);
}

struct HostStore {
    std::vector<TTestRecord> records;
    static int32_t Count(void* self, int32_t) {
        return static_cast<int32_t>(static_cast<HostStore*>(self)->records.size());
    }
    static TTestRecord* Get(void* self, int32_t, int32_t index) {
        return &static_cast<HostStore*>(self)->records[static_cast<std::size_t>(index)];
    }
};

void BM_Interpolate(benchmark::State& state) {
    HostStore store;
    store.records.resize(static_cast<std::size_t>(state.range(0)));
    for (auto& r : store.records)
        r.TestTime = 46000.0;
    int32_t counter = 2;
    TGpsPoint fix{0.0, 0.0, 46000.0};
    THostContext context{nullptr, nullptr, 0, 0, &counter, &fix};
    n95::TPositionTagger tagger;
    tagger.RecordBase = -1;
    tagger.OnRecordCount = TRecordCountEvent{&HostStore::Count, &store};
    tagger.OnGetRecord = TGetRecordEvent{&HostStore::Get, &store};
    for (auto _ : state) {
        state.PauseTiming();
        tagger.TaggedCount = 0;
        tagger.SetFixCount(2);
        tagger.CurrentFix = fix;
        fix = TGpsPoint{fix.X + 1.0, fix.Y + 2.0, fix.Time + 1.0 / n95::kSecondsPerDay};
        state.ResumeTiming();
        tagger.UpdatePosition(fix, &context, nullptr);
    }
    // Records per nanosecond, inverted by the reporter: nanoseconds per record.
    state.counters["ns/record"] = benchmark::Counter(
        static_cast<double>(state.iterations()) * static_cast<double>(state.range(0)) * 1e-9,
        benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

BENCHMARK(BM_ParserAlone);
BENCHMARK(BM_WholePipeline);
BENCHMARK(BM_Interpolate)->Arg(10000)->Arg(100000)->Arg(1000000)->Unit(benchmark::kMillisecond);

// Frames per second of one pipeline against the other, timed back to back in this process.
double FramesPerSecond(bool wholePipeline) {
    const std::string chunk = MakeChunk();
    ClockPort port;
    TNokiaMSN95Decode decoder(&port, nullptr);
    decoder.SetState(rsTesting);
    TNokiaBryParse parser(nullptr);
    std::string text;
    const int rounds = 2000;
    auto start = std::chrono::steady_clock::now();
    for (int r = 0; r < rounds; ++r) {
        if (wholePipeline) {
            decoder.DecodeData(chunk.data(), static_cast<int32_t>(chunk.size()), text);
            for (int32_t i = 0, n = decoder.GetRecordCount(); i < n; ++i)
                decoder.FreeRecord(i);
            decoder.ClearRecords();
        } else {
            parser.ParseBuffer(chunk.data(), static_cast<int32_t>(chunk.size()));
        }
    }
    std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - start;
    return rounds * double(kFramesPerChunk) / elapsed.count();
}

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    const double parser = FramesPerSecond(false);
    const double pipeline = FramesPerSecond(true);
    std::printf(
        "\n64-byte payloads: parser alone %.2f M frames/s, whole pipeline %.2f M frames/s, "
        "pipeline/parser = %.3f\n",
        parser / 1e6, pipeline / 1e6, pipeline / parser);
    return 0;
}
