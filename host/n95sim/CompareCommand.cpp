// n95sim compare: a capture of a live run checked against the simulator's sent log.
#include <algorithm>
#include <cstdio>
#include <memory>
#include <string>

#include "host/common/Diagnostics.h"
#include "host/common/ExitStatus.h"
#include "host/n95sim/Subcommands.h"
#include "host/sim/SentLog.h"

namespace n95::host::sim {

namespace {

struct TCompareArgs {
    std::string SentLog;
    std::string Capture;
};

unsigned long long U(uint64_t value) {
    return static_cast<unsigned long long>(value);
}

void PrintComparison(const TCompareArgs& args, const TSentComparison& r) {
    const auto reply = static_cast<int>(TSentKind::Reply);
    const auto frame = static_cast<int>(TSentKind::Frame);
    const auto garbage = static_cast<int>(TSentKind::Garbage);
    uint64_t hangUps = 0;
    uint64_t sentBytes = 0;
    uint64_t capturedBytes = 0;
    for (const TSentPort& port : r.Ports) {
        hangUps += port.HungUp ? 1 : 0;
        sentBytes += port.Bytes;
        capturedBytes += port.CapturedBytes;
    }
    std::printf("Sent log %s against capture %s\n", args.SentLog.c_str(), args.Capture.c_str());
    std::printf(
        "  sent            %zu ports, %llu hang-ups; %llu frame writes, %llu garbage, "
        "%llu replies; %llu bytes\n",
        r.Ports.size(), U(hangUps), U(r.Writes[frame]), U(r.Writes[garbage]), U(r.Writes[reply]),
        U(sentBytes));
    std::printf("  capture         %llu chunks, %llu bytes\n", U(r.CaptureChunks),
                U(r.CaptureBytes));
    std::printf("  in the capture  %llu frame writes, %llu garbage, %llu replies; %llu bytes\n",
                U(r.CapturedWrites[frame]), U(r.CapturedWrites[garbage]),
                U(r.CapturedWrites[reply]), U(capturedBytes));
    // The hang-ups in all; a port of its own only where bytes are missing.
    uint64_t missingAtHangUps = 0;
    long long unreadInAll = 0;
    long long unreadAtMost = 0;
    uint64_t missingAtMost = 0;
    for (const TSentPort& port : r.Ports) {
        if (!port.HungUp)
            continue;
        missingAtHangUps += port.Bytes - port.CapturedBytes;
        missingAtMost = std::max(missingAtMost, port.Bytes - port.CapturedBytes);
        unreadInAll += std::max(port.UnreadAtHangUp, 0LL);
        unreadAtMost = std::max(unreadAtMost, port.UnreadAtHangUp);
    }
    std::printf(
        "  hang-ups        %llu: %llu bytes sent before them not in the capture, at most "
        "%llu at one (a port holds at most %lld); seen unread when the port closed: "
        "%lld in all, at most %lld at once\n",
        U(hangUps), U(missingAtHangUps), U(missingAtMost), r.Capacity, unreadInAll, unreadAtMost);
    if (!r.Ports.empty() && !r.Ports.back().HungUp)
        std::printf("  end of the run  %llu bytes sent after the host's last read\n",
                    U(r.Ports.back().Bytes - r.Ports.back().CapturedBytes));
    for (std::size_t i = 0; i < r.Ports.size(); ++i) {
        const TSentPort& port = r.Ports[i];
        if (port.HungUp && port.Bytes > port.CapturedBytes)
            std::printf(
                "  port %-10zu %llu bytes sent, %llu not in the capture, %lld unread "
                "when it closed (%s)\n",
                i + 1, U(port.Bytes), U(port.Bytes - port.CapturedBytes), port.UnreadAtHangUp,
                port.Path.c_str());
    }
    if (r.Problems.empty())
        std::printf("  result          every byte the host read is in the capture, in order\n");
    std::fflush(stdout);
}

int RunCompare(const TCompareArgs& args) {
    TSentComparison result;
    std::string error;
    if (!CompareSentLog(args.SentLog, args.Capture, result, &error)) {
        PrintError(error);
        return kExitInputError;
    }
    PrintComparison(args, result);
    for (const std::string& problem : result.Problems)
        PrintError(problem);
    return result.Problems.empty() ? kExitOk : kExitIncomplete;
}

}  // namespace

TSubcommand AddCompareCommand(CLI::App& app) {
    auto args = std::make_shared<TCompareArgs>();
    CLI::App* compare = app.add_subcommand(
        "compare",
        "Check a live run's capture against what serve sent (--sent-log): every byte the host "
        "read in the capture, in order; at a hang-up nothing missing but an end that the port "
        "could hold unread; at the end only what was sent after the host's last read");
    compare->footer(
        "Exit status: 0 the capture holds what it should; 1 it does not (each difference is "
        "named); 2 usage error; 3 the sent log or the capture cannot be read.");
    compare->add_option("SENT_LOG", args->SentLog, "The simulator's sent log")->required();
    compare->add_option("CAPTURE", args->Capture, "The live run's capture")->required();
    return {compare, [args] { return RunCompare(*args); }};
}

}  // namespace n95::host::sim
