// The live run end to end: n95sim plays a handset on a real pseudo-terminal, n95host drives it
// through the built plug-in, and what comes out is checked against the AT lines the handset
// received and against the capture the run wrote.
//
// The fixture's name holds "RealTime": the runs take real seconds, so the valgrind leg skips
// them (the programs themselves are not run under valgrind anyway).
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <thread>

#include "control/TestCommands.h"
#include "host/formats/Nmea.h"
#include "host/formats/PcapCapture.h"
#include "host/formats/TraceFrame.h"
#include "host/sim/HandsetSim.h"
#include "platform/DateTime.h"
#include "tests/host/HostTestSupport.h"

namespace n95::test {
namespace {

using n95::host::CaptureTimeToDateTime;
using n95::host::TCaptureReader;

constexpr double kRunTimeout = 60.0;  // generous: a loaded machine must not fail a test

// "frames sent 123 (...)" from the simulator's last line.
uint64_t FramesSent(const std::string& simOutput) {
    const std::size_t at = simOutput.find("frames sent ");
    return at == std::string::npos ? ~0ull : std::stoull(simOutput.substr(at + 12));
}

// What the plug-in must make of a capture, worked out here from the frame format and the
// decode rules, independently of the plug-in: every chunk parsed afresh from its first byte,
// the six throttled message keys gated on the chunk's time, and a record for each frame the
// stand-in WCDMA decoder accepts (at least four payload bytes; the code is the first four,
// big-endian).
struct CaptureModel {
    std::vector<uint32_t> Codes;  // the records, in order
    uint64_t Chunks = 0;
    uint64_t Frames = 0;          // whole frames at chunk starts
    uint64_t GarbageChunks = 0;   // chunks holding the simulator's garbage
    uint64_t CleanUnaligned = 0;  // chunks without garbage that are not whole frames
    uint64_t FramesAnywhere = 0;  // whole frames after removing AT replies and garbage
};

CaptureModel ModelOf(const std::string& path) {
    CaptureModel model;
    TCaptureReader capture;
    std::string error;
    EXPECT_TRUE(capture.Open(path, &error)) << error;
    const std::map<uint16_t, double> intervals = {{0x1000, 0.5}, {0x1040, 0.5}, {0x3080, 0.5},
                                                  {0x3081, 0.5}, {0x30C0, 1.0}, {0x30C1, 1.0}};
    std::map<uint16_t, TDateTime> lastPassed;
    const std::string garbage(n95::host::kSimGarbage, n95::host::kSimGarbageSize);
    const std::string ok(n95::host::kAtReplyOk, n95::host::kAtReplyOkSize);
    while (capture.Next() == TCaptureReader::TStatus::Chunk) {
        ++model.Chunks;
        const TDateTime now = CaptureTimeToDateTime(capture.Time());
        const std::string chunk(reinterpret_cast<const char*>(capture.Data()), capture.Size());
        const auto scan = n95::host::ScanChunk(capture.Data(), capture.Size());
        model.Frames += scan.Frames;
        const bool dirty = chunk.find(garbage) != std::string::npos;
        model.GarbageChunks += dirty ? 1 : 0;
        if (!dirty && !scan.Aligned && !scan.AtReply && chunk.find(ok) != 0)
            ++model.CleanUnaligned;
        // Frames wherever they are: the pieces between AT replies and garbage.
        std::size_t start = 0;
        while (start < chunk.size()) {
            std::size_t end = chunk.size(), skip = 0;
            for (const std::string& noise : {ok, garbage}) {
                const std::size_t at = chunk.find(noise, start);
                if (at != std::string::npos && at < end) {
                    end = at;
                    skip = noise.size();
                }
            }
            model.FramesAnywhere +=
                n95::host::SplitFrames(capture.Data() + start, end - start).size();
            start = end + skip;
        }
        for (const std::string_view frame :
             n95::host::SplitFrames(capture.Data(), capture.Size())) {
            const auto* b = reinterpret_cast<const uint8_t*>(frame.data());
            const auto key = static_cast<uint16_t>(b[0] * 4096 + b[1] * 64 + b[2]);
            const auto interval = intervals.find(key);
            if (interval != intervals.end()) {
                const auto last = lastPassed.find(key);
                if (last != lastPassed.end() &&
                    !(now - last->second >= n95::SecondsToDays(interval->second)))
                    continue;
                lastPassed[key] = now;
            }
            const std::size_t header = b[3] == 0x01 ? 10 : 6;
            if (frame.size() - header < 4)
                continue;
            const uint8_t* p = b + header;
            model.Codes.push_back(static_cast<uint32_t>(p[0]) << 24 | p[1] << 16 | p[2] << 8 |
                                  p[3]);
        }
    }
    return model;
}

std::vector<uint32_t> CsvCodes(const std::string& path) {
    std::vector<uint32_t> codes;
    const auto lines = SplitLines(ReadFile(path));
    for (std::size_t i = 1; i < lines.size(); ++i)
        codes.push_back(static_cast<uint32_t>(std::stoul(SplitFields(lines[i])[5], nullptr, 16)));
    return codes;
}

class LiveRealTimeTest : public ScratchDirTest {
protected:
    // Starts the simulator; returns the port to open ("" when it did not start).
    std::string StartSim(std::vector<std::string> args) {
        args.insert(args.begin(), "serve");
        if (!Sim.Start(N95SIM_PATH, args))
            return "";
        return Sim.FirstLine(kRunTimeout);
    }
    ProgramResult Host(const std::vector<std::string>& args) {
        return RunProgram(N95HOST_PATH, args);
    }
    // The simulator ends a second after the host has closed the port.
    ProgramResult SimEnd() {
        ProgramResult r = Sim.Wait(kRunTimeout);
        EXPECT_EQ(r.Status, 0) << r.Errors;
        return r;
    }
    std::vector<std::string> AtLog() { return SplitLines(ReadFile(Path("at.log"))); }

    // A live run of a handset simulated at 200 frames/s, its GPS a log that the test appends
    // to (gps.nmea, empty at first), started with `outputs` and past the trace's confirmation.
    void StartLiveWithGrowingGps(ChildProgram& host, const std::vector<std::string>& outputs) {
        const std::string port = StartSim({"--rate", "200"});
        ASSERT_FALSE(port.empty());
        WriteFile(Path("gps.nmea"), "");
        std::vector<std::string> args = {"live", "--device", port, "--gps", Path("gps.nmea")};
        args.insert(args.end(), outputs.begin(), outputs.end());
        ASSERT_TRUE(host.Start(N95HOST_PATH, args));
        ASSERT_TRUE(host.WaitForError("trace confirmed", kRunTimeout));
    }

    // The same capture replayed gives the same CSV, byte for byte.
    void ExpectReplayGivesTheSameCsv(const std::string& capture, const std::string& liveCsv) {
        const ProgramResult r =
            Host({"replay", capture, "--csv", Path("replayed.csv"), "--no-progress"});
        EXPECT_TRUE(r.Status == 0 || r.Status == 1) << r.Errors;
        EXPECT_EQ(ReadFile(Path("replayed.csv")), ReadFile(liveCsv));
    }

    ChildProgram Sim;
};

const std::vector<std::string>& StartLines() {
    static const std::vector<std::string> lines = {
        "ATE0<CR>", "AT*NTRACE=0<CR>",
        GetTraceCommand(true).substr(0, GetTraceCommand(true).size() - 1) + "<CR>"};
    return lines;
}
const std::vector<std::string> kStopLines = {"AT*NTRACE=0<CR>", "AT*NTESTSYSTEM=0<CR>"};

std::vector<std::string> Concat(std::vector<std::string> a, const std::vector<std::string>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

TEST_F(LiveRealTimeTest, SendsTheAtLinesInOrderAndItsCaptureReplaysToTheSameRecords) {
    const std::string port = StartSim({"--rate", "200", "--at-log", Path("at.log")});
    ASSERT_FALSE(port.empty());
    const ProgramResult r =
        Host({"live", "--device", port, "--duration", "1.5", "--capture", Path("c.pcap"), "--csv",
              Path("l.csv"), "--frame-log", Path("l.frames"), "--summary-json", Path("s.json")});
    ASSERT_EQ(r.Status, 0) << r.Errors << r.Output;
    const ProgramResult sim = SimEnd();

    // Exactly these lines, each with one carriage return and nothing else.
    EXPECT_EQ(AtLog(), Concat(StartLines(), kStopLines));
    EXPECT_TRUE(Contains(r.Errors, "trace confirmed")) << r.Errors;
    EXPECT_TRUE(Contains(r.Output, "stopped after")) << r.Output;

    const CaptureModel model = ModelOf(Path("c.pcap"));
    const std::vector<uint32_t> codes = CsvCodes(Path("l.csv"));
    EXPECT_GT(codes.size(), 100u);
    EXPECT_EQ(codes, model.Codes);
    EXPECT_EQ(SummaryNumber(r.Output, "records"), codes.size()) << r.Output;
    EXPECT_EQ(SummaryNumber(r.Output, "chunks"), model.Chunks) << r.Output;
    EXPECT_EQ(SummaryNumber(r.Output, "frames"), model.Frames) << r.Output;
    EXPECT_LE(model.FramesAnywhere, FramesSent(sim.Output)) << sim.Output;
    EXPECT_EQ(model.CleanUnaligned, 0u) << "chunks end at frame boundaries";
    // The JSON summary holds the handset's figures as the text summary has them.
    const std::string json = ReadFile(Path("s.json"));
    for (const std::string& member : std::vector<std::string>{
             "\"command\":\"live\"", "\"handsets\":[{\"device\":\"" + port + "\"",
             "\"records\":{\"total\":" + std::to_string(codes.size()) + ",",
             "\"chunks\":{\"total\":" + std::to_string(model.Chunks) + ",", "\"exit_status\":0}"})
        EXPECT_TRUE(Contains(json, member)) << member << "\n" << json;

    ExpectReplayGivesTheSameCsv(Path("c.pcap"), Path("l.csv"));
    // And the frame log: each decoded frame followed by CR LF, as in the replay.
    const ProgramResult again = Host({"replay", Path("c.pcap"), "--frame-log", Path("r.frames")});
    EXPECT_EQ(again.Status, 0) << again.Errors;
    EXPECT_EQ(ReadFile(Path("r.frames")), ReadFile(Path("l.frames")));
}

TEST_F(LiveRealTimeTest, SigintInTheMiddleLosesNothing) {
    const std::string port = StartSim({"--rate", "500"});
    ASSERT_FALSE(port.empty());
    ChildProgram host;
    ASSERT_TRUE(host.Start(N95HOST_PATH, {"live", "--device", port, "-o", Path("out")}));
    ASSERT_TRUE(host.WaitForError("trace confirmed", kRunTimeout));
    std::this_thread::sleep_for(std::chrono::milliseconds(1200));
    host.Signal(SIGINT);
    const ProgramResult r = host.Wait(kRunTimeout);
    ASSERT_EQ(r.Status, 0) << r.Errors;
    SimEnd();
    EXPECT_TRUE(Contains(r.Output, "(SIGINT or SIGTERM)")) << r.Output;

    // -o names everything after the run's start time, the capture included.
    const std::vector<std::string> names = ListDir(Path("out"));
    ASSERT_EQ(names.size(), 7u);
    const std::string stem = Path("out/") + names[0].substr(0, names[0].rfind('.'));
    EXPECT_EQ(names[0].substr(0, 5), "live-");
    for (const char* extension :
         {".csv", ".geojson", ".track.geojson", ".kml", ".pcap", ".svg", ".html"})
        EXPECT_TRUE(FileExists(stem + extension)) << extension;

    const CaptureModel model = ModelOf(stem + ".pcap");
    const std::vector<uint32_t> codes = CsvCodes(stem + ".csv");
    EXPECT_GT(codes.size(), 100u);
    EXPECT_EQ(codes, model.Codes) << "every chunk read is decoded and every record written";
    EXPECT_EQ(SummaryNumber(r.Output, "records"), codes.size());
    EXPECT_EQ(SummaryNumber(r.Output, "chunks"), model.Chunks);
    EXPECT_EQ(SummaryNumber(r.Output, "frames"), model.Frames);
    ExpectReplayGivesTheSameCsv(stem + ".pcap", stem + ".csv");
    EXPECT_TRUE(Contains(ReadFile(stem + ".svg"), "</svg>"));
}

TEST_F(LiveRealTimeTest, HangUpIsReportedAndTheRunEndsWithWhatItRead) {
    // Through a link, which goes away with the port: reopening /dev/pts/N by its number
    // could find another test's pseudo-terminal that got the number meanwhile.
    const std::string port = StartSim({"--rate", "400", "--hangup-after", "200", "--link",
                                       Path("handset"), "--at-log", Path("at.log")});
    ASSERT_EQ(port, Path("handset"));
    const ProgramResult r =
        Host({"live", "--device", port, "--capture", Path("c.pcap"), "--csv", Path("l.csv"),
              "--reconnect-tries", "2", "--reconnect-pause", "0.2"});
    EXPECT_EQ(r.Status, 1) << r.Errors;
    const ProgramResult sim = SimEnd();
    EXPECT_TRUE(Contains(r.Errors, "the port was lost: " + port + " hung up")) << r.Errors;
    EXPECT_TRUE(Contains(r.Errors, "attempt 2 failed: cannot open " + port)) << r.Errors;
    EXPECT_TRUE(Contains(r.Errors, "could not be reopened")) << r.Errors;
    // The switch-off lines had no port to go to.
    EXPECT_EQ(AtLog(), StartLines());

    // The simulator waited until all 200 frames were read before it hung up.
    EXPECT_EQ(FramesSent(sim.Output), 200u);
    const CaptureModel model = ModelOf(Path("c.pcap"));
    EXPECT_EQ(model.FramesAnywhere, 200u);
    EXPECT_EQ(CsvCodes(Path("l.csv")), model.Codes);
    ExpectReplayGivesTheSameCsv(Path("c.pcap"), Path("l.csv"));
}

TEST_F(LiveRealTimeTest, ReconnectsWhenTheHandsetComesBack) {
    const std::string link = Path("handset");
    const std::string port = StartSim({"--rate", "300", "--hangup-after", "150", "--replug", "0.3",
                                       "--link", link, "--at-log", Path("at.log")});
    ASSERT_EQ(port, link);
    ChildProgram host;
    ASSERT_TRUE(host.Start(N95HOST_PATH, {"live", "--device", link, "--capture", Path("c.pcap"),
                                          "--csv", Path("l.csv"), "--reconnect-pause", "0.5"}));
    ASSERT_TRUE(host.WaitForError("reconnected", kRunTimeout));
    std::this_thread::sleep_for(std::chrono::milliseconds(800));
    host.Signal(SIGTERM);
    const ProgramResult r = host.Wait(kRunTimeout);
    EXPECT_EQ(r.Status, 0) << r.Errors;
    const ProgramResult sim = SimEnd();
    EXPECT_TRUE(Contains(r.Output, "1 lost, 1 reconnected")) << r.Output;

    // Reconnect switches the trace on again on the new port, then the stop switches it off.
    EXPECT_EQ(AtLog(), Concat(Concat(StartLines(), StartLines()), kStopLines));
    const CaptureModel model = ModelOf(Path("c.pcap"));
    EXPECT_GT(model.FramesAnywhere, 150u) << "frames came after the reconnection";
    EXPECT_LE(model.FramesAnywhere, FramesSent(sim.Output));
    EXPECT_EQ(CsvCodes(Path("l.csv")), model.Codes);
    ExpectReplayGivesTheSameCsv(Path("c.pcap"), Path("l.csv"));
}

TEST_F(LiveRealTimeTest, GarbageCostsOnlyTheChunksItIsIn) {
    // Frames that are never throttled and always decode: each frame read whole is a record.
    {
        n95::host::TCaptureWriter writer;
        std::string error;
        ASSERT_TRUE(writer.Open(Path("frames.pcap"), &error)) << error;
        const uint8_t message[3] = {0x02, 0x11, 0x07};
        const uint8_t extension[4] = {1, 2, 3, 4};
        for (int i = 0; i < 50; ++i) {
            uint8_t payload[24] = {0x00, 0x00, 0x03, static_cast<uint8_t>(i)};
            std::string frame;
            n95::host::AppendTraceFrame(frame, message, i % 2 == 0, extension, payload,
                                        static_cast<uint16_t>(4 + i % 20));
            ASSERT_TRUE(writer.Write({1715678400 + i, 0}, frame.data(),
                                     static_cast<uint32_t>(frame.size()), &error));
        }
        ASSERT_TRUE(writer.Commit(&error)) << error;
    }
    const std::string port =
        StartSim({"--capture", Path("frames.pcap"), "--rate", "300", "--garbage-every", "20"});
    ASSERT_FALSE(port.empty());
    const ProgramResult r = Host({"live", "--device", port, "--duration", "1.5", "--capture",
                                  Path("c.pcap"), "--csv", Path("l.csv")});
    ASSERT_EQ(r.Status, 0) << r.Errors;
    SimEnd();

    const CaptureModel model = ModelOf(Path("c.pcap"));
    EXPECT_GT(model.GarbageChunks, 0u);
    // Every chunk without garbage is made of whole frames, and every frame at the start of a
    // chunk (before any garbage) became a record: the garbage cost the rest of its own chunk
    // and nothing else.
    EXPECT_EQ(model.CleanUnaligned, 0u);
    const std::vector<uint32_t> codes = CsvCodes(Path("l.csv"));
    EXPECT_EQ(codes.size(), model.Frames);
    EXPECT_EQ(codes, model.Codes);
    EXPECT_LE(codes.size(), model.FramesAnywhere);
}

TEST_F(LiveRealTimeTest, SlowLineStillGivesWholeFrames) {
    // 38400 baud: 16-byte pieces every 4 ms, well inside the host's 10 ms idle gap.
    const std::string port = StartSim({"--rate", "100", "--slow-line", "38400"});
    ASSERT_FALSE(port.empty());
    const ProgramResult r = Host({"live", "--device", port, "--duration", "1.5", "--capture",
                                  Path("c.pcap"), "--csv", Path("l.csv")});
    ASSERT_EQ(r.Status, 0) << r.Errors;
    SimEnd();
    const CaptureModel model = ModelOf(Path("c.pcap"));
    const std::vector<uint32_t> codes = CsvCodes(Path("l.csv"));
    EXPECT_GT(codes.size(), 20u);
    EXPECT_EQ(codes, model.Codes);
}

TEST_F(LiveRealTimeTest, SilentHandsetIsNotConfirmedButItsCaptureIsKept) {
    const std::string port = StartSim({"--count", "0", "--at-log", Path("at.log")});
    ASSERT_FALSE(port.empty());
    const ProgramResult r = Host({"live", "--device", port, "--trace-wait", "1", "--capture",
                                  Path("c.pcap"), "--csv", Path("l.csv")});
    EXPECT_EQ(r.Status, 6) << r.Errors;
    SimEnd();
    EXPECT_TRUE(Contains(r.Errors, "not confirmed: no trace frame came within 1 s")) << r.Errors;
    EXPECT_TRUE(Contains(r.Output, "  trace           not confirmed")) << r.Output;
    // The trace is switched off again; the capture holds the AT replies; no other output.
    EXPECT_EQ(AtLog(), Concat(StartLines(), kStopLines));
    const CaptureModel model = ModelOf(Path("c.pcap"));
    EXPECT_GT(model.Chunks, 0u);
    EXPECT_EQ(model.Frames, 0u);
    EXPECT_FALSE(FileExists(Path("l.csv")));
    EXPECT_EQ(ListDir(Dir), (std::vector<std::string>{"at.log", "c.pcap"}));
}

TEST_F(LiveRealTimeTest, FixesFromAGrowingFileTagTheRecords) {
    ChildProgram host;
    ASSERT_NO_FATAL_FAILURE(
        StartLiveWithGrowingGps(host, {"--csv", Path("l.csv"), "--geojson", Path("l.geojson"),
                                       "--map", Path("l.svg"), "--capture", Path("l.pcap")}));
    // A receiver's log growing by one fix (an RMC and a GGA sentence) every 200 ms, the car
    // driving east; the sentences arrive in pieces, as a writer's buffer flushes them.
    std::vector<TGpsPoint> fixes;
    const std::time_t start = std::time(nullptr);
    for (int i = 0; i < 10; ++i) {
        // Times from the start of the drive, a second apart: the log runs ahead of the
        // capture, as a receiver's clock may, so fixes reach the run before their time.
        const TGpsPoint fix{24.9 + 0.001 * i, 60.17,
                            UnixSecondsToDateTime(static_cast<double>(start + i))};
        fixes.push_back(fix);
        const std::string text = n95::host::FormatNmeaFix(fix, 20.0, 90.0);
        std::ofstream out(Path("gps.nmea"), std::ios::app | std::ios::binary);
        out << text.substr(0, 30) << std::flush;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        out << text.substr(30) << std::flush;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    // The host reads the file once more when it stops: every fix written so far counts.
    host.Signal(SIGINT);
    const ProgramResult r = host.Wait(kRunTimeout);
    ASSERT_EQ(r.Status, 0) << r.Errors;
    SimEnd();
    EXPECT_TRUE(Contains(r.Output, "10 fixes read, 10 fed, 0 lines skipped")) << r.Output;

    // Positions lie on the route, in driving order.
    const auto lines = SplitLines(ReadFile(Path("l.csv")));
    double lastLon = 0;
    std::size_t withPosition = 0;
    for (std::size_t i = 1; i < lines.size(); ++i) {
        const auto f = SplitFields(lines[i]);
        if (f[3].empty())
            continue;
        ++withPosition;
        const double lon = std::stod(f[3]);
        EXPECT_GE(lon, fixes.front().X - 1e-9) << lines[i];
        EXPECT_LE(lon, fixes.back().X + 1e-9) << lines[i];
        EXPECT_GE(lon, lastLon - 1e-12) << lines[i];
        EXPECT_NEAR(std::stod(f[4]), 60.17, 1e-7);
        lastLon = lon;
    }
    EXPECT_GT(withPosition, 50u);
    const std::string geojson = ReadFile(Path("l.track.geojson"));
    EXPECT_TRUE(Contains(geojson, "\"LineString\"")) << geojson.substr(0, 200);
    EXPECT_TRUE(Contains(geojson, "\"fixes\":10"));
    EXPECT_TRUE(Contains(ReadFile(Path("l.svg")), "GPS track (10 fixes)"));

    // The fixes went in while chunks kept coming, whatever their times say; the log beside
    // the capture keeps where, and a replay with it places every record as the live run did.
    const ProgramResult replay = RunProgram(
        N95HOST_PATH, {"replay", Path("l.pcap"), "--gps", Path("l.nmea"), "--csv", Path("r.csv")});
    ASSERT_EQ(replay.Status, 0) << replay.Errors;
    EXPECT_EQ(ReadFile(Path("r.csv")), ReadFile(Path("l.csv")));
    // Without the feed points (the same fixes by time alone) the replay places them otherwise.
    std::string byTime;
    for (const std::string& line : SplitLines(ReadFile(Path("l.nmea"))))
        if (!Contains(line, "PN95"))
            byTime += line + "\r\n";
    WriteFile(Path("t.nmea"), byTime);
    const ProgramResult timed = RunProgram(
        N95HOST_PATH, {"replay", Path("l.pcap"), "--gps", Path("t.nmea"), "--csv", Path("t.csv")});
    ASSERT_EQ(timed.Status, 0) << timed.Errors;
    EXPECT_NE(ReadFile(Path("t.csv")), ReadFile(Path("l.csv")));
}

// Hang-ups with fixes coming all the while: the fix log marks each Reconnect among the fixes,
// and a replay with it asks the decoder for them where the run did, so its records are the
// run's; the same log without the marks (as a reader that knows only the feed points would
// take it) places the records around the hang-ups otherwise.
TEST_F(LiveRealTimeTest, ReplayWithTheFixLogReconnectsWhereTheRunDid) {
    const std::string link = Path("handset");
    const std::string port =
        StartSim({"--rate", "300", "--hangup-every", "300", "--replug", "0.2", "--link", link});
    ASSERT_EQ(port, link);
    WriteFile(Path("gps.nmea"), "");
    ChildProgram host;
    ASSERT_TRUE(host.Start(N95HOST_PATH, {"live", "--device", link, "--gps", Path("gps.nmea"),
                                          "--capture", Path("l.pcap"), "--csv", Path("l.csv"),
                                          "--reconnect-pause", "0.5", "--no-status"}));
    ASSERT_TRUE(host.WaitForError("trace confirmed", kRunTimeout));
    // Ten fixes a second, each a tenth of a second after the last, for four seconds: about
    // three hang-ups.
    const std::time_t start = std::time(nullptr);
    for (int i = 0; i < 40; ++i) {
        const TGpsPoint fix{24.9 + 0.0001 * i, 60.17,
                            UnixSecondsToDateTime(static_cast<double>(start) + 0.1 * i)};
        std::ofstream(Path("gps.nmea"), std::ios::app | std::ios::binary)
            << n95::host::FormatNmeaFix(fix, 20.0, 90.0);
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    host.Signal(SIGINT);
    const ProgramResult r = host.Wait(kRunTimeout);
    ASSERT_EQ(r.Status, 0) << r.Errors;
    Sim.Signal(SIGINT);
    Sim.Wait(kRunTimeout);
    unsigned long long lost = 0, reconnects = 0;
    const std::size_t portLine = r.Output.find("  port ");
    ASSERT_NE(portLine, std::string::npos) << r.Output;
    ASSERT_EQ(std::sscanf(r.Output.c_str() + portLine, " port %llu lost, %llu reconnected", &lost,
                          &reconnects),
              2);
    ASSERT_GE(reconnects, 2u) << r.Output;

    const std::string log = ReadFile(Path("l.nmea"));
    std::string unmarked;
    uint64_t marks = 0;
    for (const std::string& line : SplitLines(log)) {
        if (Contains(line, "$PN95,RECONNECT,"))
            ++marks;
        else
            unmarked += line + "\r\n";
    }
    EXPECT_EQ(marks, reconnects) << log;  // the port is back before each attempt
    WriteFile(Path("u.nmea"), unmarked);
    for (const auto& [track, csv] : {std::pair{"l.nmea", "r.csv"}, std::pair{"u.nmea", "u.csv"}}) {
        const ProgramResult replay = Host(
            {"replay", Path("l.pcap"), "--gps", Path(track), "--csv", Path(csv), "--no-progress"});
        ASSERT_EQ(replay.Status, 0) << replay.Errors;
    }
    EXPECT_EQ(ReadFile(Path("r.csv")), ReadFile(Path("l.csv")));
    EXPECT_NE(ReadFile(Path("u.csv")), ReadFile(Path("l.csv")));
}

// A GPS source that never gives a fix is lost once its timeout has passed: said at once, and
// one gap, from the start of the test to its end, in the summary.
TEST_F(LiveRealTimeTest, GpsWithoutAFixIsAGapInTheSummary) {
    const std::string port = StartSim({"--rate", "200"});
    ASSERT_FALSE(port.empty());
    WriteFile(Path("gps.nmea"), "$GPGSV,1,1,00*79\r\n");  // a receiver that speaks, no fix
    const ProgramResult r = Host({"live", "--device", port, "--gps", Path("gps.nmea"),
                                  "--gps-timeout", "0.3", "--duration", "1.5", "--no-status"});
    ASSERT_EQ(r.Status, 0) << r.Errors;
    SimEnd();
    EXPECT_TRUE(Contains(r.Errors, "GPS lost: no valid fix for 0.")) << r.Errors;
    EXPECT_TRUE(Contains(r.Output, "  gaps            GPS lost 1 (1.")) << r.Output;
    EXPECT_TRUE(Contains(r.Output, " s), trace lost 0 (0.0 s)\n")) << r.Output;
    EXPECT_TRUE(Contains(r.Output, "GPS lost   at ")) << r.Output;
}

TEST_F(LiveRealTimeTest, CaptureOnStandardOutputReplaysToTheSameRecords) {
    const std::string port = StartSim({"--rate", "200"});
    ASSERT_FALSE(port.empty());
    const ProgramResult r = Host(
        {"live", "--device", port, "--duration", "1", "--capture", "-", "--csv", Path("l.csv")});
    ASSERT_EQ(r.Status, 0) << r.Errors;
    SimEnd();
    // The capture alone on standard output; the summary with the messages.
    EXPECT_TRUE(Contains(r.Errors, "  outputs         standard output, " + Path("l.csv")))
        << r.Errors;
    WriteFile(Path("c.pcap"), r.Output);
    EXPECT_EQ(ModelOf(Path("c.pcap")).Codes, CsvCodes(Path("l.csv")));
    ExpectReplayGivesTheSameCsv(Path("c.pcap"), Path("l.csv"));
}

// Frames that are never throttled and always decode, whose records say who sent them and
// in which order: the code is (handset << 24) | sequence number.
void WriteNumberedFrames(const std::string& path, uint8_t handset, int count) {
    n95::host::TCaptureWriter writer;
    std::string error;
    ASSERT_TRUE(writer.Open(path, &error)) << error;
    const uint8_t message[3] = {0x02, 0x11, 0x07};
    const uint8_t extension[4] = {1, 2, 3, 4};
    for (int i = 0; i < count; ++i) {
        const uint8_t payload[8] = {handset, static_cast<uint8_t>(i >> 16),
                                    static_cast<uint8_t>(i >> 8), static_cast<uint8_t>(i)};
        std::string frame;
        n95::host::AppendTraceFrame(frame, message, i % 2 == 0, extension, payload, 8);
        ASSERT_TRUE(writer.Write({1715678400 + i, 0}, frame.data(),
                                 static_cast<uint32_t>(frame.size()), &error));
    }
    ASSERT_TRUE(writer.Commit(&error)) << error;
}

// The records of numbered frames are those of `handset` alone, from its first frame on,
// none missing or twice.
void ExpectTheFramesInOrder(const std::vector<uint32_t>& codes, uint8_t handset) {
    for (std::size_t i = 0; i < codes.size(); ++i)
        ASSERT_EQ(codes[i], static_cast<uint32_t>(handset) << 24 | i) << "record " << i;
}

std::vector<double> ChunkTimes(const std::string& path) {
    std::vector<double> times;
    TCaptureReader capture;
    std::string error;
    EXPECT_TRUE(capture.Open(path, &error)) << error;
    while (capture.Next() == TCaptureReader::TStatus::Chunk)
        times.push_back(capture.Time().Seconds + capture.Time().Nanoseconds * 1e-9);
    return times;
}

// The summary block of one handset of a rig.
std::string SummaryOf(const std::string& output, const std::string& device,
                      const std::string& label) {
    const std::size_t at = output.find("Live run on " + device + " (" + label + ", ");
    if (at == std::string::npos)
        return "";
    return output.substr(at, output.find("Live run on ", at + 1) - at);
}

TEST_F(LiveRealTimeTest, ThreeHandsetsKeepTheirOwnRecordsWhileOneIsReplugged) {
    struct Handset {
        std::string Name;   // of its simulator's files
        std::string Label;  // A and B are given theirs; C's is its device's name
        std::vector<std::string> Faults;
    };
    ChildProgram sims[3];
    Handset handsets[3] = {
        {"A", "A", {}}, {"B", "B", {}}, {"C", "hC", {"--hangup-after", "300", "--replug", "0.3"}}};
    std::vector<std::string> live = {"live",  "--capture",   Path("d.pcap"),
                                     "--csv", Path("d.csv"), "--reconnect-pause",
                                     "1",     "--no-status"};
    for (uint8_t i = 0; i < 3; ++i) {
        Handset& h = handsets[i];
        WriteNumberedFrames(Path("frames-" + h.Name + ".pcap"), i + 1, 20000);
        std::vector<std::string> args = {"serve",
                                         "--capture",
                                         Path("frames-" + h.Name + ".pcap"),
                                         "--rate",
                                         "300",
                                         "--at-log",
                                         Path("at-" + h.Name),
                                         "--link",
                                         Path("h" + h.Name)};
        args.insert(args.end(), h.Faults.begin(), h.Faults.end());
        ASSERT_TRUE(sims[i].Start(N95SIM_PATH, args));
        ASSERT_EQ(sims[i].FirstLine(kRunTimeout), Path("h" + h.Name));
        live.insert(live.end(),
                    {"--device", (h.Label == h.Name ? h.Label + "=" : "") + Path("h" + h.Name)});
    }
    ChildProgram host;
    ASSERT_TRUE(host.Start(N95HOST_PATH, live));
    ASSERT_TRUE(host.WaitForError("hC: reconnected", kRunTimeout));
    std::this_thread::sleep_for(std::chrono::milliseconds(800));
    host.Signal(SIGTERM);
    const ProgramResult r = host.Wait(kRunTimeout);
    ASSERT_EQ(r.Status, 0) << r.Errors;
    EXPECT_TRUE(Contains(r.Errors, "hC: the port was lost: " + Path("hC") + " hung up"))
        << r.Errors;

    for (uint8_t i = 0; i < 3; ++i) {
        const Handset& h = handsets[i];
        SCOPED_TRACE(h.Label);
        const ProgramResult sim = sims[i].Wait(kRunTimeout);
        EXPECT_EQ(sim.Status, 0) << sim.Errors;
        const bool replugged = !h.Faults.empty();
        const std::string name = Path("d-" + h.Label);
        // Its own AT lines: switched on (again after the replug) and off.
        EXPECT_EQ(
            SplitLines(ReadFile(Path("at-" + h.Name))),
            Concat(replugged ? Concat(StartLines(), StartLines()) : StartLines(), kStopLines));
        // Its own frames, every one it sent up to the stop, and a record for each.
        const CaptureModel model = ModelOf(name + ".pcap");
        const std::vector<uint32_t> codes = CsvCodes(name + ".csv");
        EXPECT_EQ(codes, model.Codes);
        ExpectTheFramesInOrder(codes, i + 1);
        EXPECT_GT(codes.size(), replugged ? 300u : 200u);
        EXPECT_LE(model.FramesAnywhere, FramesSent(sim.Output));
        const std::string summary = SummaryOf(r.Output, Path("h" + h.Name), h.Label);
        EXPECT_EQ(SummaryNumber(summary, "records"), codes.size()) << r.Output;
        EXPECT_TRUE(Contains(summary, replugged ? "1 lost, 1 reconnected" : "0 lost, 0 rec"))
            << summary;
        ExpectReplayGivesTheSameCsv(name + ".pcap", name + ".csv");
    }

    // While C was away (its widest gap between chunks, over a second), A and B read on.
    const std::vector<double> c = ChunkTimes(Path("d-hC.pcap"));
    std::size_t gap = 1;
    for (std::size_t i = 2; i < c.size(); ++i)
        gap = c[i] - c[i - 1] > c[gap] - c[gap - 1] ? i : gap;
    ASSERT_GT(c[gap] - c[gap - 1], 1.0);
    for (const char* other : {"A", "B"}) {
        const std::vector<double> t = ChunkTimes(Path(std::string("d-") + other + ".pcap"));
        EXPECT_GT(std::count_if(t.begin(), t.end(),
                                [&](double x) { return x > c[gap - 1] && x < c[gap]; }),
                  2)
            << other;
    }
}

// SIGKILL at several moments of a run: the capture is there under its own name, replays
// without an error, and holds every frame from the first on, up to the burst being read.
TEST_F(LiveRealTimeTest, KilledRunLeavesACaptureThatReplays) {
    WriteNumberedFrames(Path("frames.pcap"), 1, 20000);
    struct Moment {
        std::string After;  // the message it waits for
        int Ms;             // then this long
    };
    const Moment moments[] = {{"switching the trace on", 0},
                              {"trace confirmed", 0},
                              {"trace confirmed", 300},
                              {"trace confirmed", 1500}};
    constexpr int kRate = 500;
    for (std::size_t m = 0; m < std::size(moments); ++m) {
        const std::string at = moments[m].After + " +" + std::to_string(moments[m].Ms) + " ms";
        SCOPED_TRACE(at);
        ChildProgram sim;
        const std::string link = Path("h" + std::to_string(m));
        ASSERT_TRUE(sim.Start(N95SIM_PATH, {"serve", "--capture", Path("frames.pcap"), "--rate",
                                            std::to_string(kRate), "--link", link}));
        ASSERT_EQ(sim.FirstLine(kRunTimeout), link);
        const std::string name = Path("k" + std::to_string(m));
        ChildProgram host;
        ASSERT_TRUE(host.Start(N95HOST_PATH, {"live", "--device", link, "--capture", name + ".pcap",
                                              "--csv", name + ".csv"}));
        ASSERT_TRUE(host.WaitForError(moments[m].After, kRunTimeout));
        std::this_thread::sleep_for(std::chrono::milliseconds(moments[m].Ms));
        host.Signal(SIGKILL);
        host.Wait(kRunTimeout);
        // The simulator ends a second after the port is closed, if it saw the host at all.
        std::this_thread::sleep_for(std::chrono::milliseconds(1500));
        sim.Signal(SIGINT);
        const ProgramResult simEnd = sim.Wait(kRunTimeout);

        // The capture alone, under its own name; the other outputs are lost with the run.
        EXPECT_TRUE(FileExists(name + ".pcap"));
        EXPECT_FALSE(FileExists(name + ".csv"));
        for (const std::string& file : ListDir(Dir))
            EXPECT_NE(file[0], '.') << file;
        const ProgramResult replay = Host({"replay", name + ".pcap", "--csv", name + ".r.csv"});
        EXPECT_TRUE(replay.Status == 0 || replay.Status == 1) << replay.Errors;
        const CaptureModel model = ModelOf(name + ".pcap");
        ExpectTheFramesInOrder(model.Codes, 1);
        EXPECT_EQ(CsvCodes(name + ".r.csv"), model.Codes);
        // What the simulator sent and the capture lacks is at most the burst being read and
        // what the port still held: far less than the last second's frames.
        EXPECT_LE(FramesSent(simEnd.Output), model.FramesAnywhere + kRate) << simEnd.Output;
    }
}

// The fixes a killed run fed are in its fix log, as its chunks are in its capture: a GPS
// source such as gpsd keeps nothing, so the run's positions would be lost with it.
TEST_F(LiveRealTimeTest, KilledRunKeepsItsFixLog) {
    ChildProgram host;
    ASSERT_NO_FATAL_FAILURE(StartLiveWithGrowingGps(host, {"--capture", Path("k.pcap")}));
    const std::time_t start = std::time(nullptr);
    {
        std::ofstream out(Path("gps.nmea"), std::ios::app | std::ios::binary);
        for (int i = 0; i < 5; ++i)
            out << n95::host::FormatNmeaFix(
                {24.9 + 0.001 * i, 60.17, UnixSecondsToDateTime(static_cast<double>(start + i))},
                20.0, 90.0);
    }
    // Killed once every fix is in the log, fed as the run read it.
    const auto feeds = [&] {
        const std::string log = ReadFile(Path("k.nmea"));
        std::size_t n = 0;
        for (std::size_t at = 0; (at = log.find("$PN95,FEED,", at)) != std::string::npos; ++at)
            ++n;
        return n;
    };
    for (int waited = 0; feeds() < 5 && waited < 10000; waited += 50)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    host.Signal(SIGKILL);
    host.Wait(kRunTimeout);
    SimEnd();

    EXPECT_EQ(feeds(), 5u);
    const ProgramResult replay =
        Host({"replay", Path("k.pcap"), "--gps", Path("k.nmea"), "--csv", Path("r.csv")});
    EXPECT_TRUE(replay.Status == 0 || replay.Status == 1) << replay.Errors;
    EXPECT_TRUE(Contains(replay.Output, "5 fixes, 5 fed")) << replay.Output;
}

// gpsfake (gpsd's test harness: a gpsd of its own on the given port, fed an NMEA log through
// a pseudo-terminal) as a stand-in for gpsd with a receiver. It ends with SIGINT, which ends
// its gpsd too; a SIGKILL would leave that gpsd behind on the port.
class GpsFake {
public:
    ~GpsFake() { Stop(); }
    bool Start(const std::string& program, const std::string& port, const std::string& log) {
        Running = Program.Start(program, {"-1", "-q", "-c", "0.05", "-P", port, log});
        return Running;
    }
    void Stop() {
        if (Running)
            Program.Signal(SIGINT);
        if (Running)
            Program.Wait(kRunTimeout);
        Running = false;
    }

private:
    ChildProgram Program;
    bool Running = false;
};

std::string FindOnPath(const std::string& name) {
    const char* path = std::getenv("PATH");
    for (const std::string& dir : SplitFields(path != nullptr ? path : "", ':'))
        if (!dir.empty() && access((dir + "/" + name).c_str(), X_OK) == 0)
            return dir + "/" + name;
    return "";
}

// A local port that nobody listened on a moment ago.
std::string FreePort() {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    socklen_t size = sizeof address;
    getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size);
    close(fd);
    return std::to_string(ntohs(address.sin_port));
}

// Waits until something accepts connections on the local port.
bool Listening(const std::string& port, double timeoutSeconds) {
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::duration<double>(timeoutSeconds);
    while (std::chrono::steady_clock::now() < deadline) {
        const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        address.sin_port = htons(static_cast<uint16_t>(std::stoi(port)));
        const bool ok = connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
        close(fd);
        if (ok)
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return false;
}

std::size_t Count(const std::string& text, const std::string& what) {
    std::size_t n = 0;
    for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        ++n;
    return n;
}

TEST_F(LiveRealTimeTest, FixesFromGpsdTagTheRecordsAcrossARestartOfGpsd) {
    const std::string gpsfake = FindOnPath("gpsfake");
    if (gpsfake.empty())
        GTEST_SKIP() << "gpsfake is not installed (Debian: gpsd, gpsd-clients, python3-gps)";
#if !N95_HAVE_LIBGPS
    GTEST_SKIP() << "this n95host is built without gpsd support";
#endif
    // Two logs of a drive east along one latitude, one fix every 100 ms as gpsfake plays
    // them: the first until gpsd goes away, the second from where it comes back.
    constexpr double kLat = 60.17, kWest = 24.9, kStep = 0.0002;
    constexpr int kFixes = 150;
    // A second apart from 20 s ago (gpsfake plays ten a second): the drive's records lie
    // within the track's time span.
    const auto now = static_cast<double>(std::time(nullptr)) - 20.0;
    const auto log = [&](const std::string& name, int first) {
        std::string text;
        for (int i = first; i < first + kFixes; ++i)
            text += n95::host::FormatNmeaFix(
                {kWest + kStep * i, kLat, UnixSecondsToDateTime(now + i)}, 15.0, 90.0);
        WriteFile(Path(name), text);
    };
    log("first.nmea", 0);
    log("second.nmea", kFixes);
    const double secondWest = kWest + kStep * kFixes;
    const double east = kWest + kStep * (2 * kFixes - 1);

    const std::string gpsPort = FreePort();
    GpsFake first, second;
    ASSERT_TRUE(first.Start(gpsfake, gpsPort, Path("first.nmea")));
    ASSERT_TRUE(Listening(gpsPort, kRunTimeout)) << "gpsfake did not start";

    const std::string port = StartSim({"--rate", "200"});
    ASSERT_FALSE(port.empty());
    const std::string gpsd = "gpsd 127.0.0.1:" + gpsPort;
    ChildProgram host;
    ASSERT_TRUE(
        host.Start(N95HOST_PATH, {"live", "--device", port, "--gps", "gpsd://127.0.0.1:" + gpsPort,
                                  "--csv", Path("l.csv"), "--capture", Path("l.pcap")}));
    ASSERT_TRUE(host.WaitForError("trace confirmed", kRunTimeout));
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    // gpsd goes away in the middle of the drive, and comes back on the same port.
    first.Stop();
    ASSERT_TRUE(host.WaitForError("lost the connection to " + gpsd, kRunTimeout));
    ASSERT_TRUE(second.Start(gpsfake, gpsPort, Path("second.nmea")));
    ASSERT_TRUE(host.WaitForError("reconnected to " + gpsd, kRunTimeout));
    std::this_thread::sleep_for(std::chrono::milliseconds(2000));
    host.Signal(SIGINT);
    const ProgramResult r = host.Wait(kRunTimeout);
    ASSERT_EQ(r.Status, 0) << r.Errors << r.Output;
    SimEnd();

    // The loss and the recovery are told once each; the drive went on.
    EXPECT_EQ(Count(r.Errors, "warning: lost the connection to " + gpsd), 1u) << r.Errors;
    EXPECT_EQ(Count(r.Errors, "reconnected to " + gpsd), 1u) << r.Errors;
    EXPECT_TRUE(Contains(r.Output, "gps             " + gpsd + ": ")) << r.Output;
    EXPECT_TRUE(Contains(r.Output, "connection lost 1, regained 1")) << r.Output;
    EXPECT_GT(SummaryNumber(r.Output, "fixes read"), 0u) << r.Output;

    // Positions come from the logs, in driving order, from both sides of the restart.
    const auto lines = SplitLines(ReadFile(Path("l.csv")));
    double lastLon = 0;
    std::size_t withPosition = 0, afterRestart = 0;
    for (std::size_t i = 1; i < lines.size(); ++i) {
        const auto f = SplitFields(lines[i]);
        if (f[3].empty())
            continue;
        ++withPosition;
        const double lon = std::stod(f[3]);
        EXPECT_GE(lon, kWest - 1e-7) << lines[i];
        EXPECT_LE(lon, east + 1e-7) << lines[i];
        EXPECT_GE(lon, lastLon - 1e-12) << lines[i];
        EXPECT_NEAR(std::stod(f[4]), kLat, 1e-6) << lines[i];
        afterRestart += lon >= secondWest - 1e-7 ? 1 : 0;
        lastLon = lon;
    }
    EXPECT_GT(withPosition, 20u);
    EXPECT_GT(afterRestart, 0u) << "no fix came after gpsd was back";
    EXPECT_LT(afterRestart, withPosition) << "no fix came before gpsd went away";

    // The fixes fed are kept beside the capture, as for the other sources: the replay with
    // them places every record as the live run did.
    const ProgramResult replay = RunProgram(
        N95HOST_PATH, {"replay", Path("l.pcap"), "--gps", Path("l.nmea"), "--csv", Path("r.csv")});
    ASSERT_EQ(replay.Status, 0) << replay.Errors;
    EXPECT_EQ(ReadFile(Path("r.csv")), ReadFile(Path("l.csv")));
}

// Mistakes a user makes, each with its message and status, and nothing written.
TEST_F(LiveRealTimeTest, WrongDeviceOrOptionsSayWhat) {
    WriteFile(Path("plain.txt"), "not a device\n");
    WriteFile(Path("drive.nmea"), "an earlier drive's fixes\n");
    // A port in use by another run (which holds its lock), and the same port by another name.
    Pty busy;
    const int held = open(busy.Slave.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_TRUE(held >= 0 && flock(held, LOCK_EX | LOCK_NB) == 0);
    std::filesystem::create_symlink(busy.Slave, Path("modem"));
    // A disk's node: never written, never even opened (root only may make one).
    const bool disk = mknod(Path("disk").c_str(), S_IFBLK | 0600, makedev(7, 0)) == 0;
    struct Case {
        std::vector<std::string> Args;  // after "live"
        int Status;
        std::string Message;
    };
    const std::vector<Case> cases = {
        {{"--device", Path("nowhere")}, 6, "cannot open " + Path("nowhere")},
        // Whatever may be storage is not a port, and a port is one run's.
        {{"--device", Path("plain.txt")}, 6, "it is a regular file, not a serial port"},
        {{"--device", Dir}, 6, "it is a folder, not a serial port"},
        {{"--device", disk ? Path("disk") : Dir}, 6, disk ? "a block device (a disk)" : "folder"},
        {{"--device", "/dev/zero"}, 6, "a character device that is not a terminal"},
        {{"--device", "/dev/null", "--trace-wait", "5"}, 6, "not a terminal"},
        {{"--device", busy.Slave}, 6, "the port is in use"},
        {{"--device", "A=" + Path("modem"), "--device", "B=" + busy.Slave},
         2,
         busy.Slave + " is given twice"},
        {{"--device", "/dev/null", "--baud", "12345"}, 2, "not a standard baud rate"},
        {{"--device", "/dev/null", "--gps", Path("none.nmea")}, 3, "none.nmea"},
        {{"--device", "/dev/null", "--gps", "gpsd://127.0.0.1:0"}, 3, "1 to 65535"},
#if N95_HAVE_LIBGPS
        // Port 1: nobody listens there.
        {{"--device", "/dev/null", "--gps", "gpsd://127.0.0.1:1"},
         3,
         "cannot connect to gpsd 127.0.0.1:1: Connection refused"},
#else
        {{"--device", "/dev/null", "--gps", "gpsd"}, 3, "built without gpsd support"},
#endif
        {{"--device", "/dev/null", "--trace-wait", "60"}, 2, ""},
        {{"--device", "/dev/null", "--gps", Path("g.nmea"), "--geojson", Path("g.nmea")},
         2,
         "--geojson and --gps are the same file"},
        {{"--device", "/dev/null", "--capture", Path("l.csv")},
         2,
         "--csv and --capture are the same file"},
        {{"--device", Path("plain.txt"), "--map", Path("plain.txt")}, 2, "--map and --device"},
        // A capture is never written over.
        {{"--device", "/dev/null", "--capture", Path("plain.txt")}, 2, "exists already"},
        // Nor is the fix log beside it.
        {{"--device", "/dev/null", "--capture", Path("drive.pcap"), "--gps", Path("plain.txt")},
         2,
         "the fix log " + Path("drive.nmea") + " exists already"},
        // Several handsets.
        {{"--device", "A=/dev/null", "--device", "A=/dev/zero"}, 2, "two devices have the label A"},
        {{"--device", "/dev/null", "--device", "n=/dev/null"}, 2, "/dev/null is given twice"},
        {{"--device", "a b=/dev/null"}, 2, "a label is 1 to 32 letters"},
        {{"--device", "A=/dev/null", "--device", "B=/dev/zero", "--capture", "-"},
         2,
         "standard output cannot take the outputs of several handsets"},
        {{}, 2, "--device"},
    };
    for (const Case& c : cases) {
        std::vector<std::string> args = {"live"};
        args.insert(args.end(), c.Args.begin(), c.Args.end());
        args.insert(args.end(), {"--csv", Path("l.csv")});
        const ProgramResult r = Host(args);
        const std::string what = c.Args.empty() ? "(none)" : c.Args.back();
        EXPECT_EQ(r.Status, c.Status) << what << "\n" << r.Errors;
        EXPECT_TRUE(Contains(r.Errors, c.Message)) << what << "\n" << r.Errors;
        EXPECT_FALSE(FileExists(Path("l.csv"))) << what;
    }
    close(held);
    std::filesystem::remove(Path("modem"));
    std::filesystem::remove(Path("disk"));
    EXPECT_EQ(ListDir(Dir), (std::vector<std::string>{"drive.nmea", "plain.txt"}));
    EXPECT_EQ(ReadFile(Path("drive.nmea")), "an earlier drive's fixes\n");
    EXPECT_EQ(ReadFile(Path("plain.txt")), "not a device\n");
}

}  // namespace
}  // namespace n95::test
