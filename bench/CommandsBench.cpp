// MakeTestCommands per call for a few actions, next to a baseline measured in the same run:
// the same lines built with snprintf into a fresh list of strings from values already known,
// that is the output work without the parameter lookups, the number parsing and the
// catalogue. The ratio is the price of reading the host's Name=Value text.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <string>
#include <vector>

#include "control/TestCommands.h"

namespace {

const std::string kSectorParams = "UARFCN=10713\r\nPSC=276";
const std::string kScanParams = "GSMBand=1\r\nGSMChanLow=-5\r\nGSMChanHigh=124\r\nBsicDecode=1";
const std::string kBaParams = "GSMBand=255";
const std::string kDial = "+4912345678";

struct Action {
    int32_t Code;
    const std::string* Params;
};
// Dial (catalogue row, dial-set check), sector lock (two values), GSM scan start (four
// values), BA lock (hexadecimal).
const Action kActions[] = {
    {0, &kDial}, {521, &kSectorParams}, {590, &kScanParams}, {580, &kBaParams}};

std::vector<std::string> Bracketed(const char* command) {
    return {"AT*NTestSystem=1\r", std::string(command) + "\r", "AT*NTestSystem=0\r"};
}

// The lines of each action, formatted from the known values.
std::vector<std::string> Baseline(int32_t code) {
    char line[96];
    switch (code) {
        case 0:
            std::snprintf(line, sizeof line, "ATD%s;\r", kDial.c_str());
            return {line};
        case 521:
            std::snprintf(line, sizeof line, "AT*NSECLOCK=%u,%u", 10713u, 276u);
            return Bracketed(line);
        case 590:
            std::snprintf(line, sizeof line, "AT*NSCANGERAN=1,%d,%d,%d,%d", 1, -5, 124, 1);
            return Bracketed(line);
        default:
            std::snprintf(line, sizeof line, "AT*NBALOCK=1,\"%08X\",\"00000000\"", 255u);
            return Bracketed(line);
    }
}

void BM_MakeTestCommands(benchmark::State& state) {
    const Action& a = kActions[state.range(0)];
    if (MakeTestCommands(a.Code, *a.Params) != Baseline(a.Code)) {
        state.SkipWithError("builder and baseline disagree");
        return;
    }
    for (auto _ : state) {
        std::vector<std::string> lines = MakeTestCommands(a.Code, *a.Params);
        benchmark::DoNotOptimize(lines.data());
    }
    state.SetLabel(std::to_string(a.Code));
}

void BM_SnprintfBaseline(benchmark::State& state) {
    const Action& a = kActions[state.range(0)];
    for (auto _ : state) {
        std::vector<std::string> lines = Baseline(a.Code);
        benchmark::DoNotOptimize(lines.data());
    }
    state.SetLabel(std::to_string(a.Code));
}

BENCHMARK(BM_MakeTestCommands)->DenseRange(0, 3);
BENCHMARK(BM_SnprintfBaseline)->DenseRange(0, 3);

}  // namespace

BENCHMARK_MAIN();
