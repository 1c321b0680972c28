// The built programs, run as a user runs them.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <filesystem>
#include <thread>
#include <tuple>

#include "host/formats/Nmea.h"
#include "host/formats/PcapCapture.h"
#include "host/formats/TraceFrame.h"

#include <pcap/pcap.h>
#include "tests/host/HostTestSupport.h"

namespace n95::test {
namespace {

using n95::host::TCaptureWriter;

ProgramResult Host(const std::vector<std::string>& args) {
    return RunProgram(N95HOST_PATH, args);
}
ProgramResult Sim(const std::vector<std::string>& args) {
    return RunProgram(N95SIM_PATH, args);
}

class CliTest : public ScratchDirTest {
protected:
    // A small generated drive: d.pcap, d.nmea, d.gpx.
    void GenerateDrive(const std::string& seed = "3", const std::string& seconds = "15") {
        const ProgramResult r =
            Sim({"generate", Path("d"), "--seed", seed, "--duration", seconds, "--gpx"});
        ASSERT_EQ(r.Status, 0) << r.Errors;
    }
    // A capture of the given chunks, one second apart.
    void WriteCapture(const std::string& name, const std::vector<std::string>& chunks) {
        TCaptureWriter writer;
        std::string error;
        ASSERT_TRUE(writer.Open(Path(name), &error)) << error;
        int64_t second = 1715678400;
        for (const std::string& c : chunks)
            ASSERT_TRUE(
                writer.Write({second++, 0}, c.data(), static_cast<uint32_t>(c.size()), &error));
        ASSERT_TRUE(writer.Commit(&error)) << error;
    }
};

// Several captures in one run: each into its own outputs, byte for byte those of a replay of
// it alone (its own track beside it); a bad one costs only its own outputs, and the run's
// status is the most severe; names that would clash are refused before any work.
TEST_F(CliTest, SeveralCapturesReplayEachAsAlone) {
    GenerateDrive("3", "10");
    std::filesystem::create_directories(Path("b"));
    ASSERT_EQ(Sim({"generate", Path("b/e"), "--seed", "5", "--duration", "8"}).Status, 0);
    n95::test::WriteFile(Path("bad.pcap"), "not a capture");
    for (const char* capture : {"d.pcap", "b/e.pcap"})
        ASSERT_EQ(Host({"replay", Path(capture), "-o", Path("alone"), "-q"}).Status, 0) << capture;

    const ProgramResult r = Host({"replay", Path("d.pcap"), Path("bad.pcap"), Path("b/e.pcap"),
                                  "-o", Path("all"), "-j", "2", "--summary-json", Path("s.json")});
    EXPECT_EQ(r.Status, 3) << r.Errors;
    EXPECT_TRUE(Contains(r.Errors, "n95host: " + Path("bad.pcap") + ": ")) << r.Errors;
    EXPECT_TRUE(Contains(r.Output, "Replay of 3 captures:")) << r.Output;
    EXPECT_EQ(ListDir(Path("all")), ListDir(Path("alone")));
    for (const std::string& name : ListDir(Path("alone"))) {
        if (name.find(".html") != std::string::npos)
            continue;  // the report shows memory and paths
        EXPECT_EQ(ReadFile(Path("all/" + name)), ReadFile(Path("alone/" + name))) << name;
    }
    const std::string json = ReadFile(Path("s.json"));
    EXPECT_TRUE(Contains(json, "\"captures\":[")) << json;
    EXPECT_TRUE(Contains(json, "\"exit_status\":3}")) << json;

    const std::vector<std::pair<std::vector<std::string>, std::string>> clashes = {
        {{Path("d.pcap"), Path("d.pcap")}, "is given twice"},
        {{Path("d.pcap"), Path("b/d.pcap")}, "are the same file"},
        {{Path("d.pcap"), Path("b/e.pcap"), "--csv", Path("one.csv")}, "are the same file"},
    };
    std::filesystem::copy_file(Path("d.pcap"), Path("b/d.pcap"));
    for (const auto& [captures, message] : clashes) {
        std::vector<std::string> args = {"replay"};
        args.insert(args.end(), captures.begin(), captures.end());
        args.insert(args.end(), {"-o", Path("clash")});
        const ProgramResult c = Host(args);
        EXPECT_EQ(c.Status, 2) << message;
        EXPECT_TRUE(Contains(c.Errors, message)) << c.Errors;
        EXPECT_FALSE(std::filesystem::exists(Path("clash"))) << message;
    }
}

TEST_F(CliTest, ReplayOfAGeneratedDriveWritesTheThreeOutputs) {
    GenerateDrive();
    const ProgramResult r = Host({"replay", Path("d.pcap"), "--gps", Path("d.nmea"), "-o",
                                  Path("out"), "--frame-log", Path("out/frames.log")});
    ASSERT_EQ(r.Status, 0) << r.Errors;
    EXPECT_EQ(ListDir(Path("out")),
              (std::vector<std::string>{"d.csv", "d.geojson", "d.html", "d.kml", "d.svg",
                                        "d.track.geojson", "frames.log"}));
    const uint64_t records = SummaryNumber(r.Output, "records");
    ASSERT_GT(records, 1000u) << r.Output;
    EXPECT_TRUE(Contains(r.Output, "0 without")) << r.Output;
    EXPECT_TRUE(Contains(r.Output, "mean data rate")) << r.Output;
    const auto csv = SplitLines(ReadFile(Path("out/d.csv")));
    EXPECT_EQ(csv.size(), records + 1);
    EXPECT_TRUE(Contains(ReadFile(Path("out/d.svg")), "</svg>"));
    // The frame log holds each decoded frame followed by CR LF.
    const uint64_t decoded = std::stoull(r.Output.substr(r.Output.find(" in the file; ") + 14));
    EXPECT_EQ(std::filesystem::file_size(Path("out/frames.log")), decoded + 2 * records);

    // The GPX copy of the track places the same records at the same places (the NMEA
    // log rounds positions to 1e-5 minute).
    const ProgramResult g =
        Host({"replay", Path("d.pcap"), "--gps", Path("d.gpx"), "--csv", Path("g.csv")});
    ASSERT_EQ(g.Status, 0) << g.Errors;
    const auto gpxCsv = SplitLines(ReadFile(Path("g.csv")));
    ASSERT_EQ(gpxCsv.size(), csv.size());
    for (std::size_t i = 1; i < csv.size(); i += 97) {
        const auto a = SplitFields(csv[i]), b = SplitFields(gpxCsv[i]);
        EXPECT_EQ(a[0], b[0]);
        EXPECT_EQ(a[5], b[5]);
        EXPECT_NEAR(std::stod(a[3]), std::stod(b[3]), 1e-6);
        EXPECT_NEAR(std::stod(a[4]), std::stod(b[4]), 1e-6);
    }
}

TEST_F(CliTest, BadInputGivesOneMessageAStatusAndNoOutput) {
    GenerateDrive();
    const std::string capture = ReadFile(Path("d.pcap"));
    WriteFile(Path("truncated.pcap"), capture.substr(0, capture.size() - 5));
    WriteFile(Path("empty.pcap"), "");
    WriteFile(Path("text.pcap"), "Not a capture.\n");
    WriteCapture("headeronly.pcap", {});
    WriteFile(Path("bad.gpx"), "<gpx><trk><trkpt lat=\"1\" lon=\"2\"></trk></gpx>\n");
    WriteFile(Path("garbage.nmea"), "\x01\x02\x03\nno fix here\n");
    WriteFile(Path("fake.so"), "not a shared library\n");
    {
        // An NMEA log with two bad lines among the good ones.
        std::string nmea = ReadFile(Path("d.nmea"));
        const std::size_t third = nmea.find('\n', nmea.find('\n', nmea.find('\n') + 1) + 1);
        nmea.insert(third + 1, "$GPRMC,garbage*00\r\nnot even a sentence\r\n");
        WriteFile(Path("noisy.nmea"), nmea);
    }
    {
        // Ethernet link type.
        pcap_t* dead = pcap_open_dead(DLT_EN10MB, 65535);
        pcap_dumper_t* dump = pcap_dump_open(dead, Path("ether.pcap").c_str());
        pcap_dump_close(dump);
        pcap_close(dead);
    }

    struct Case {
        std::vector<std::string> Args;  // after "replay"
        int Status;
        std::string Message;  // in standard error
        bool WritesOutputs;
    };
    const std::string d = Path("d.pcap");
    const std::vector<Case> cases = {
        {{Path("missing.pcap")}, 3, "No such file", false},
        {{Path("empty.pcap")}, 3, "empty (0 bytes)", false},
        {{Path("text.pcap")}, 3, "not a pcap file", false},
        {{Path("ether.pcap")}, 3, "link type 1 ", false},
        {{Dir}, 3, "is a directory", false},
        {{d, "--gps", Path("missing.nmea")}, 3, "missing.nmea", false},
        {{d, "--gps", Path("bad.gpx")}, 3, "is not XML", false},
        {{d, "--gps", Path("garbage.nmea")},
         3,
         "no usable fix (2 lines, 2 skipped): 2 not NMEA",
         false},
        {{d, "--plugin", Path("fake.so")}, 4, "cannot load plug-in " + Path("fake.so"), false},
        {{d, "--plugin", Path("nowhere.so")}, 4, "nowhere.so", false},
        {{d, "--plugin", N95SIM_PATH}, 4, "cannot load plug-in", false},
        {{Path("truncated.pcap"), "--gps", Path("d.nmea")}, 1, "damaged at byte offset", true},
        {{Path("headeronly.pcap")}, 1, "no record came out", true},
        {{d, "--gps", Path("noisy.nmea")}, 0, "line 4: checksum mismatch", true},
    };
    for (const Case& c : cases) {
        std::filesystem::remove_all(Path("out"));
        std::vector<std::string> args = {"replay"};
        args.insert(args.end(), c.Args.begin(), c.Args.end());
        args.insert(args.end(), {"-o", Path("out")});
        const ProgramResult r = Host(args);
        const std::string what = c.Args[0] + (c.Args.size() > 2 ? " " + c.Args[2] : "");
        EXPECT_EQ(r.Status, c.Status) << what << "\n" << r.Errors;
        EXPECT_TRUE(Contains(r.Errors, c.Message)) << what << "\n" << r.Errors;
        if (c.WritesOutputs) {
            EXPECT_EQ(ListDir(Path("out")).size(), 6u) << what;
            const std::string geojson = ReadFile(
                Path("out/" + std::filesystem::path(c.Args[0]).stem().string() + ".geojson"));
            EXPECT_EQ(geojson.substr(geojson.size() - 4), "\n]}\n") << what;
        } else {
            EXPECT_TRUE(!FileExists(Path("out")) || ListDir(Path("out")).empty()) << what;
            // One message: the lines after its first are indented continuations.
            const auto lines = SplitLines(r.Errors);
            EXPECT_EQ(std::count_if(lines.begin(), lines.end(),
                                    [](const std::string& l) { return l.rfind("  ", 0) != 0; }),
                      1)
                << what << "\n"
                << r.Errors;
        }
    }
}

TEST_F(CliTest, UnwritableOutputLeavesNoOtherOutputBehind) {
    GenerateDrive();
    std::filesystem::create_directory(Path("out"));
    const ProgramResult r = Host({"replay", Path("d.pcap"), "--csv", Path("out/r.csv"), "--geojson",
                                  Path("out/r.geojson"), "--map", Path("no/such/folder/r.svg")});
    EXPECT_EQ(r.Status, 5);
    EXPECT_TRUE(Contains(r.Errors, "no/such/folder/r.svg")) << r.Errors;
    EXPECT_TRUE(ListDir(Path("out")).empty());
}

TEST_F(CliTest, AnOutputThatIsAnInputOrAnotherOutputIsAUsageError) {
    GenerateDrive();
    std::filesystem::copy_file(Path("d.pcap"), Path("d.csv"));
    std::filesystem::create_symlink("d.pcap", Path("alias.csv"));
    std::filesystem::create_hard_link(Path("d.pcap"), Path("hard.pcap"));
    const std::vector<std::string> before = ListDir(Dir);
    const std::string pcap = ReadFile(Path("d.pcap")), nmea = ReadFile(Path("d.nmea"));
    struct Case {
        std::vector<std::string> Args;  // after "replay"
        std::string Message;
    };
    const std::string d = Path("d.pcap");
    const std::vector<Case> cases = {
        {{d, "--csv", d}, "--csv and the capture are the same file: " + d},
        {{d, "--gps", Path("d.nmea"), "--geojson", Path("d.nmea")}, "--geojson and --gps"},
        {{d, "--frame-log", Path("hard.pcap")}, "--frame-log and the capture"},
        {{d, "--map", Path("alias.csv")}, "--map and the capture"},
        {{Path("d.csv"), "-o", Dir}, "-o and the capture are the same file"},
        {{d, "--csv", Path("x"), "--map", Path("./x")}, "--csv and --map are the same file"},
        {{d, "--csv", "-", "--geojson", "-"}, "both write to standard output"},
        {{d, "--kml", d}, "--kml and the capture"},
        {{d, "--geojson", Path("x.geojson"), "--csv", Path("x.track.geojson")},
         "--csv and the track beside --geojson are the same file"},
        {{d, "--track-geojson", Path("d.nmea"), "--gps", Path("d.nmea")},
         "--track-geojson and --gps"},
    };
    for (const Case& c : cases) {
        std::vector<std::string> args = {"replay"};
        args.insert(args.end(), c.Args.begin(), c.Args.end());
        const ProgramResult r = Host(args);
        EXPECT_EQ(r.Status, 2) << c.Message << "\n" << r.Errors;
        EXPECT_TRUE(Contains(r.Errors, c.Message)) << r.Errors;
        EXPECT_TRUE(r.Output.empty()) << c.Message;
    }
    EXPECT_EQ(ListDir(Dir), before);
    EXPECT_TRUE(ReadFile(Path("d.pcap")) == pcap && ReadFile(Path("d.nmea")) == nmea);
}

TEST_F(CliTest, OutputsGoStraightToStandardOutputDevicesAndFifosAndThroughLinks) {
    GenerateDrive();
    const auto replay = [&](const std::vector<std::string>& outputs) {
        std::vector<std::string> args = {"replay", Path("d.pcap"), "--gps", Path("d.nmea")};
        args.insert(args.end(), outputs.begin(), outputs.end());
        return Host(args);
    };
    ASSERT_EQ(replay({"--csv", Path("ref.csv")}).Status, 0);
    const std::string csv = ReadFile(Path("ref.csv"));

    // "-": the CSV alone on standard output, the summary with the messages.
    ProgramResult r = replay({"--csv", "-"});
    EXPECT_EQ(r.Status, 0) << r.Errors;
    EXPECT_TRUE(r.Output == csv);
    EXPECT_TRUE(Contains(r.Errors, "  outputs         standard output\n")) << r.Errors;

    // A symbolic link stays a link; its target is replaced.
    WriteFile(Path("old.csv"), "old");
    std::filesystem::create_symlink("old.csv", Path("link.csv"));
    EXPECT_EQ(replay({"--csv", Path("link.csv")}).Status, 0);
    EXPECT_TRUE(std::filesystem::is_symlink(Path("link.csv")));
    EXPECT_TRUE(ReadFile(Path("old.csv")) == csv);

    // A FIFO's reader gets the whole output.
    ASSERT_EQ(mkfifo(Path("fifo").c_str(), 0600), 0);
    std::string read;
    std::thread reader([&] { read = ReadFile(Path("fifo")); });
    EXPECT_EQ(replay({"--csv", Path("fifo")}).Status, 0);
    reader.join();
    EXPECT_TRUE(read == csv);
    EXPECT_TRUE(std::filesystem::is_fifo(Path("fifo")));

    // A folder is refused before the run (no summary).
    r = replay({"--csv", Path("ref.csv"), "--map", Dir});
    EXPECT_EQ(r.Status, 5);
    EXPECT_TRUE(Contains(r.Errors, "cannot write " + Dir + ": Is a directory")) << r.Errors;
    EXPECT_TRUE(r.Output.empty()) << r.Output;

    if (access("/dev/full", W_OK) != 0)
        GTEST_SKIP() << "no writable /dev/full";
    r = replay({"--csv", "/dev/full"});
    EXPECT_EQ(r.Status, 5);
    EXPECT_TRUE(Contains(r.Errors, "cannot write /dev/full: No space left on device")) << r.Errors;
    struct stat info {};
    EXPECT_TRUE(stat("/dev/full", &info) == 0 && S_ISCHR(info.st_mode));
}

TEST_F(CliTest, AStoppedOrKilledReplayLeavesNothingBehind) {
    ASSERT_EQ(Sim({"generate", Path("big"), "--size", "24M"}).Status, 0);
    std::filesystem::create_directory(Path("out"));
    WriteFile(Path("out/big.csv"), "old\n");
    const std::vector<std::string> args = {
        "replay", Path("big.pcap"), "--gps",       Path("big.nmea"),
        "-o",     Path("out"),      "--frame-log", Path("out/f.log")};
    struct Case {
        int Signal;
        int Milliseconds;
    };
    const std::vector<Case> cases = {{SIGKILL, 0}, {SIGKILL, 20}, {SIGKILL, 60}, {SIGKILL, 150},
                                     {SIGHUP, 50}, {SIGPIPE, 50}, {SIGTERM, 50}};
    for (const Case& c : cases) {
        // The moments count from the start of the replay, when the stop handlers are in place.
        ChildProgram host;
        ASSERT_TRUE(host.Start(N95HOST_PATH, args));
        ASSERT_TRUE(host.WaitUntilCatching(SIGTERM, 60));
        std::this_thread::sleep_for(std::chrono::milliseconds(c.Milliseconds));
        host.Signal(c.Signal);
        const ProgramResult r = host.Wait(60);
        const std::string what = strsignal(c.Signal) + (" at " + std::to_string(c.Milliseconds));
        if (c.Signal == SIGKILL)
            EXPECT_EQ(r.Status, -1) << what << "; a longer drive is needed";
        else
            EXPECT_EQ(r.Status, 130) << what << "\n" << r.Errors;
        EXPECT_EQ(ListDir(Path("out")), std::vector<std::string>{"big.csv"}) << what;
        EXPECT_EQ(ReadFile(Path("out/big.csv")), "old\n") << what;
    }

    // A FIFO whose reader goes away ends the run as an output error (SIGPIPE, EPIPE).
    ASSERT_EQ(mkfifo(Path("fifo").c_str(), 0600), 0);
    const int fd = open(Path("fifo").c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    ChildProgram host;
    ASSERT_TRUE(host.Start(N95HOST_PATH, {"replay", Path("big.pcap"), "--csv", Path("fifo")}));
    // Some of the CSV first: until the host has opened the FIFO, reads see no writer.
    char some[4096];
    ssize_t got = 0;
    for (int wait = 0; wait < 3000 && got <= 0; ++wait) {
        pollfd ready{fd, POLLIN, 0};
        poll(&ready, 1, 10);
        got = read(fd, some, sizeof some);
        if (got <= 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_GT(got, 0);
    close(fd);
    const ProgramResult r = host.Wait(60);
    EXPECT_EQ(r.Status, 5) << r.Errors;
    EXPECT_TRUE(Contains(r.Errors, "cannot write " + Path("fifo") + ": Broken pipe")) << r.Errors;
}

TEST_F(CliTest, ChunksCutInsideFramesDecodeNothingAndSaySo) {
    // Each frame split in two chunks: the plug-in starts afresh at every chunk, so neither
    // half is a frame to it.
    std::vector<std::string> chunks;
    const uint8_t message[3] = {0x02, 0x11, 0x07};
    const uint8_t extension[4] = {0, 0, 0, 0};
    const uint8_t payload[8] = {0x00, 0x00, 0x03, 0xC1, 1, 2, 3, 4};
    for (int i = 0; i < 20; ++i) {
        std::string frame;
        n95::host::AppendTraceFrame(frame, message, false, extension, payload, 8);
        chunks.push_back(frame.substr(0, 5));
        chunks.push_back(frame.substr(5));
    }
    WriteCapture("split.pcap", chunks);
    const ProgramResult r = Host({"replay", Path("split.pcap")});
    EXPECT_EQ(r.Status, 1) << r.Errors;
    EXPECT_TRUE(Contains(r.Output, "No chunk starts with whole trace frames")) << r.Output;

    // The same frames whole, one per chunk, all decode.
    chunks.clear();
    for (int i = 0; i < 20; ++i) {
        std::string frame;
        n95::host::AppendTraceFrame(frame, message, i % 2 == 0, extension, payload, 8);
        chunks.push_back(frame);
    }
    WriteCapture("whole.pcap", chunks);
    const ProgramResult w = Host({"replay", Path("whole.pcap"), "--csv", Path("w.csv")});
    EXPECT_EQ(w.Status, 0) << w.Errors;
    EXPECT_EQ(SummaryNumber(w.Output, "records"), 20u) << w.Output;
    EXPECT_TRUE(Contains(w.Output, "0 with a position, 20 without")) << w.Output;
}

TEST_F(CliTest, CommandsPrintTheActionLines) {
    struct Case {
        std::vector<std::string> Args;
        int Status;
        std::string Output;
        std::string ErrorPart = "";
    };
    const std::vector<Case> cases = {
        {{"sector-lock", "UARFCN=10713", "PSC=276"},
         0,
         "AT*NTestSystem=1<CR>\nAT*NSECLOCK=10713,276<CR>\nAT*NTestSystem=0<CR>\n"},
        {{"521", "PSC=276", "UARFCN=10713"},
         0,
         "AT*NTestSystem=1<CR>\nAT*NSECLOCK=10713,276<CR>\nAT*NTestSystem=0<CR>\n"},
        {{"dial", "--text", "12345", "--raw"}, 0, "ATD12345;\r"},
        {{"ba-lock", "GSMBand=255"},
         0,
         "AT*NTestSystem=1<CR>\nAT*NBALOCK=1,\"000000FF\",\"00000000\"<CR>\nAT*NTestSystem=0<CR>"
         "\n"},
        {{"gsm-scan-stop"}, 0, "AT*NTestSystem=1<CR>\nAT*NSCANGERAN=0<CR>\nAT*NTestSystem=0<CR>\n"},
        {{"dial", "--text", ">SM1"}, 0, "ATD>SM1;<CR>\n"},
        {{"999"}, 1, "", "no such action"},
        // The host checks what the plug-in would send wrong or not at all.
        {{"gsm-scan"}, 2, "", "GSMBand (-2147483648..2147483647)"},
        {{"no-such-action"}, 2, "", "unknown action"},
        {{"521", "UARFCN"}, 2, "", "not NAME=VALUE"},
        {{"0", "A=1", "--text", "1"}, 2, "", "not both"},
        {{"channel-lock", "ARFCN=62"}, 2, "", "no parameter \"ARFCN\"; it takes BCCH (0..65535)"},
        {{"sector-lock", "UARFCN=abc"}, 2, "", "UARFCN takes 0..65535"},
        {{"sector-lock", "UARFCN=99999999999"}, 2, "", "not a whole 32-bit number"},
        {{"sector-lock", "psc=65536"}, 2, "", "outside what sector-lock can send"},
        {{"ba-lock", "GSMBand=$100"}, 2, "", "GSMBand takes 0..255"},
        {{"dial", "--text", "12;3"}, 2, "", "\";\" at position 3"},
        {{"vt-dial"}, 2, "", "needs the number to dial"},
    };
    for (const Case& c : cases) {
        std::vector<std::string> args = {"commands"};
        args.insert(args.end(), c.Args.begin(), c.Args.end());
        const ProgramResult r = Host(args);
        EXPECT_EQ(r.Status, c.Status) << c.Args[0] << "\n" << r.Errors;
        EXPECT_EQ(r.Output, c.Output) << c.Args[0];
        if (c.Status != 0) {
            EXPECT_TRUE(Contains(r.Errors, c.ErrorPart)) << c.Args[0] << "\n" << r.Errors;
        }
    }
}

TEST_F(CliTest, InfoHelpAndUsage) {
    const ProgramResult info = Host({"info"});
    EXPECT_EQ(info.Status, 0) << info.Errors;
    EXPECT_TRUE(Contains(info.Output, "name       N95\n")) << info.Output;
    EXPECT_TRUE(Contains(info.Output, "type       true\n"));
    EXPECT_TRUE(Contains(info.Output, "GetDeviceType: a fixed flag"));
    EXPECT_TRUE(Contains(info.Output, "frequency  3\n"));
    const ProgramResult other = Host({"info", "--plugin", N95_PLUGIN_PATH});
    EXPECT_EQ(other.Status, 0) << other.Errors;

    for (const std::vector<std::string>& args :
         std::vector<std::vector<std::string>>{{"--help"},
                                               {"replay", "--help"},
                                               {"live", "--help"},
                                               {"commands", "--help"},
                                               {"info", "--help"}}) {
        const ProgramResult r = Host(args);
        EXPECT_EQ(r.Status, 0) << args[0];
        EXPECT_TRUE(Contains(r.Output, "Exit status")) << args[0];
    }
    EXPECT_TRUE(Contains(Host({"commands", "--help"}).Output, "sector-lock"));
    // Each subcommand lists the statuses it can return, and only those.
    EXPECT_TRUE(Contains(Host({"info", "--help"}).Output, "Exit status: 0 ok; 4 the plug-in"));
    EXPECT_FALSE(Contains(Host({"replay", "--help"}).Output, "6 the port"));
    EXPECT_TRUE(Contains(Host({"live", "--help"}).Output, "6 the port cannot be opened"));
    const ProgramResult list = Host({"commands", "--list"});
    EXPECT_EQ(list.Status, 0);
    EXPECT_TRUE(Contains(list.Output, "sector-lock       521  UARFCN (0..65535), PSC (0..65535)"))
        << list.Output;
    EXPECT_EQ(Host({}).Status, 2);
    EXPECT_EQ(Host({"replay"}).Status, 2);
    EXPECT_EQ(Host({"replay", "x.pcap", "--no-such-option"}).Status, 2);
    EXPECT_EQ(Sim({"generate", "--help"}).Status, 0);
    EXPECT_EQ(Sim({"serve", "--help"}).Status, 0);
    EXPECT_EQ(Sim({"serve", "--capture", Path("x.pcap"), "--generate"}).Status, 2);
    EXPECT_EQ(Sim({"serve", "--replug", "1"}).Status, 2) << "a replug needs a link";
    EXPECT_EQ(Sim({"serve", "--capture", Path("x.pcap")}).Status, 3);
    EXPECT_EQ(Sim({"generate", Path("x"), "--size", "lots"}).Status, 2);
    EXPECT_EQ(Sim({"generate", Path("x"), "--duration", "-3"}).Status, 2);
    // Values that would silently do nothing or something else than asked.
    for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
             {"replay", "x.pcap", "-o", ""},
             {"replay", "x.pcap", "--gps", ""},
             {"replay", "x.pcap", "--gps-offset", "5"},
             {"replay", "x.pcap", "--gps", "x.nmea", "--gps-date", "14.5.2024"},
             {"live", "--device", "/dev/null", "-o", ""},
             {"live", "--device", "/dev/null", "--capture", ""}})
        EXPECT_EQ(Host(args).Status, 2) << args[2] << " " << args[3];
    for (const char* start : {"2080-01-01T00:00:00Z", "1979-12-31T23:59:59Z"})
        EXPECT_EQ(Sim({"generate", Path("x"), "--start", start}).Status, 2) << start;
    EXPECT_TRUE(ListDir(Dir).empty());
}

TEST_F(CliTest, BundledSampleIsWhatItsCommandMakes) {
    // The command in samples/README.md.
    ASSERT_EQ(Sim({"generate", Path("drive"), "--seed", "7", "--duration", "150", "--rate", "120"})
                  .Status,
              0);
    const std::string samples = N95_SAMPLES_DIR;
    EXPECT_TRUE(ReadFile(Path("drive.pcap")) == ReadFile(samples + "/drive.pcap"));
    EXPECT_TRUE(ReadFile(Path("drive.nmea")) == ReadFile(samples + "/drive.nmea"));
    EXPECT_LT(std::filesystem::file_size(samples + "/drive.pcap"), 1000000u);
}

// FNV-1a, 64 bits, in hexadecimal: enough to see that a file changed.
std::string Checksum(const std::string& bytes) {
    uint64_t hash = 0xcbf29ce484222325u;
    for (const char c : bytes)
        hash = (hash ^ static_cast<unsigned char>(c)) * 0x100000001b3u;
    char text[17];
    std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(hash));
    return text;
}

// The outputs of a replay must not change unnoticed (faster code writes the same bytes).
// ReplayChecksums.txt holds one line per file: "<drive> <file> <checksum>". The inputs
// are listed too, so that a change of the generator is told apart from one of the outputs.
// To change an output on purpose, replace its line with the one this test prints.
TEST_F(CliTest, ReplayOutputsKeepTheirChecksums) {
    const std::string samples = N95_SAMPLES_DIR;
    ASSERT_EQ(Sim({"generate", Path("g"), "--seed", "21", "--duration", "40"}).Status, 0);
    // Over 50,000 records with a position: the GeoJSON and the KML are thinned by default.
    ASSERT_EQ(Sim({"generate", Path("long"), "--seed", "21", "--duration", "220"}).Status, 0);
    std::string got;
    for (const auto& [drive, capture, track] :
         {std::tuple{"generated", Path("g.pcap"), Path("g.nmea")},
          std::tuple{"sample", samples + "/drive.pcap", samples + "/drive.nmea"},
          std::tuple{"long", Path("long.pcap"), Path("long.nmea")}}) {
        const std::string out = Path(std::string("out-") + drive);
        const ProgramResult r =
            Host({"replay", capture, "--gps", track, "-o", out, "--csv", out + "/d.csv",
                  "--geojson", out + "/d.geojson", "--track-geojson", out + "/d.track.geojson",
                  "--kml", out + "/d.kml", "--map", out + "/d.svg"});
        ASSERT_EQ(r.Status, 0) << r.Errors;
        EXPECT_EQ(Contains(r.Output, "thinned         50000 of "), std::string(drive) == "long")
            << r.Output;
        for (const auto& [name, path] :
             {std::pair{"capture", capture}, std::pair{"track", track},
              std::pair{"csv", out + "/d.csv"}, std::pair{"geojson", out + "/d.geojson"},
              std::pair{"track-geojson", out + "/d.track.geojson"},
              std::pair{"kml", out + "/d.kml"}, std::pair{"svg", out + "/d.svg"}})
            got += std::string(drive) + " " + name + " " + Checksum(ReadFile(path)) + "\n";
    }
    const auto want = SplitLines(ReadFile(N95_REPLAY_CHECKSUMS));
    for (const std::string& line : SplitLines(got))
        EXPECT_NE(std::find(want.begin(), want.end(), line), want.end())
            << "not in " << N95_REPLAY_CHECKSUMS << ": " << line;
}

TEST_F(CliTest, GeneratorIsDeterministicFromTheSeedAndHonoursTheSize) {
    ASSERT_EQ(Sim({"generate", Path("a"), "--seed", "9", "--duration", "5"}).Status, 0);
    ASSERT_EQ(Sim({"generate", Path("b"), "--seed", "9", "--duration", "5"}).Status, 0);
    ASSERT_EQ(Sim({"generate", Path("c"), "--seed", "10", "--duration", "5"}).Status, 0);
    EXPECT_EQ(ReadFile(Path("a.pcap")), ReadFile(Path("b.pcap")));
    EXPECT_EQ(ReadFile(Path("a.nmea")), ReadFile(Path("b.nmea")));
    EXPECT_NE(ReadFile(Path("a.pcap")), ReadFile(Path("c.pcap")));

    const ProgramResult r = Sim({"generate", Path("s"), "--size", "300K"});
    ASSERT_EQ(r.Status, 0) << r.Errors;
    const auto size = std::filesystem::file_size(Path("s.pcap"));
    EXPECT_GE(size, 300u * 1024);
    EXPECT_LT(size, 300u * 1024 + 8 * 4096);
    // Missing folders are made; a file in the way of one is an output error.
    EXPECT_EQ(Sim({"generate", Path("new/folder/x"), "--duration", "2"}).Status, 0);
    EXPECT_TRUE(FileExists(Path("new/folder/x.nmea")));
    EXPECT_EQ(Sim({"generate", Path("s.pcap/x"), "--duration", "2"}).Status, 5);
}

// Without --gps a replay takes the track beside the capture: the live run's fix log first,
// then an NMEA log, then a GPX track; --no-gps goes without.
TEST_F(CliTest, ATrackBesideTheCaptureIsFoundUnlessToldOtherwise) {
    GenerateDrive();  // d.pcap, d.nmea, d.gpx
    struct TCase {
        std::vector<std::string> Beside;  // of d.nmea (as d.fixes.nmea) and d.gpx
        std::vector<std::string> Options;
        int Status;
        const char* Track;  // what the summary's track line starts with ("" when not run)
    };
    const TCase cases[] = {
        {{}, {}, 0, "none (records carry no position): no --gps"},
        {{"d.gpx"}, {}, 0, "d.gpx (GPX, found beside the capture"},
        {{"d.nmea", "d.gpx"}, {}, 0, "d.nmea (NMEA, found beside the capture"},
        {{"d.fixes.nmea", "d.nmea", "d.gpx"}, {}, 0, "d.fixes.nmea (NMEA, found"},
        {{"d.nmea"}, {"--gps-offset", "0.5"}, 0, "d.nmea (NMEA, found"},
        {{"d.nmea"}, {"--no-gps"}, 0, "none (--no-gps"},
        {{}, {"--gps-offset", "1"}, 2, ""},
        {{"d.nmea"}, {"--no-gps", "--gps", "x.nmea"}, 2, ""},
        {{"d.nmea"}, {"--no-gps", "--gps-date", "2024-05-14"}, 2, ""},
    };
    std::filesystem::create_directory(Path("beside"));
    std::filesystem::copy_file(Path("d.pcap"), Path("beside/d.pcap"));
    for (const TCase& c : cases) {
        for (const char* name : {"d.fixes.nmea", "d.nmea", "d.gpx"})
            std::filesystem::remove(Path(std::string("beside/") + name));
        for (const std::string& name : c.Beside)
            std::filesystem::copy_file(Path(name == "d.fixes.nmea" ? "d.nmea" : name),
                                       Path("beside/" + name));
        std::vector<std::string> args = {"replay", Path("beside/d.pcap")};
        args.insert(args.end(), c.Options.begin(), c.Options.end());
        const ProgramResult r = Host(args);
        SCOPED_TRACE(testing::PrintToString(c.Beside) + " " + testing::PrintToString(c.Options));
        EXPECT_EQ(r.Status, c.Status) << r.Errors;
        if (c.Status != 0)
            continue;
        const std::size_t at = r.Output.find("  track           ");
        ASSERT_NE(at, std::string::npos) << r.Output;
        const std::string line = r.Output.substr(at + 18, r.Output.find('\n', at) - at - 18);
        const std::string shown =
            line.rfind(Dir + "/beside/", 0) == 0 ? line.substr(Dir.size() + 8) : line;
        EXPECT_EQ(shown.rfind(c.Track, 0), 0u) << line;
        EXPECT_EQ(Contains(r.Output, "records         ") &&
                      !Contains(r.Output, " with a position, 0 without"),
                  std::string(c.Track).rfind("none", 0) == 0)
            << r.Output;
    }
}

// --summary-json holds the figures, the messages and the status, also of a run that fails
// (not of a usage error); -q leaves only errors and the warnings behind a non-zero status.
TEST_F(CliTest, TheJsonSummaryAndQuietMode) {
    GenerateDrive();
    WriteFile(Path("empty.pcap"), "");
    struct TCase {
        std::vector<std::string> Args;  // after "replay"
        int Status;
        std::vector<std::string> InJson;  // "" when no JSON is to be written
        const char* Errors;               // what quiet mode still prints ("" for nothing)
    };
    const std::string json = Path("s.json");
    const TCase cases[] = {
        {{Path("d.pcap"), "-q", "--summary-json", json, "--csv", Path("d.csv")},
         0,
         {"\"command\":\"replay\"", "\"found_beside_capture\":true", "\"thinned\":null",
          "\"messages\":[]", "\"exit_status\":0}", "\"outputs\":[\"" + Path("d.csv") + "\"]"},
         ""},
        {{Path("d.pcap"), "--no-gps", "-q", "--summary-json", json, "--max-points", "1"},
         0,
         {"\"track\":null", "\"outputs\":[]"},
         ""},
        {{Path("missing.pcap"), "-q", "--summary-json", json},
         3,
         {"\"messages\":[\"cannot open capture", "\"exit_status\":3}"},
         "cannot open capture"},
        {{Path("empty.pcap"), "-q", "--summary-json", json},
         3,
         {"\"exit_status\":3}", ""},
         "empty"},
        {{Path("d.pcap"), "-q", "--summary-json", Path("d.pcap")}, 2, {}, "same file"},
        {{Path("d.pcap"), "--summary-json", "-", "--csv", "-"}, 2, {}, "standard output"},
    };
    for (const TCase& c : cases) {
        std::filesystem::remove(json);
        std::vector<std::string> args = {"replay"};
        args.insert(args.end(), c.Args.begin(), c.Args.end());
        const ProgramResult r = Host(args);
        SCOPED_TRACE(testing::PrintToString(c.Args));
        EXPECT_EQ(r.Status, c.Status) << r.Errors;
        if (c.InJson.empty()) {
            EXPECT_FALSE(FileExists(json));
        } else {
            const std::string text = ReadFile(json);
            for (const std::string& part : c.InJson) {
                EXPECT_TRUE(part.empty() || Contains(text, part)) << part << " in " << text;
            }
        }
        if (std::find(c.Args.begin(), c.Args.end(), "-q") == c.Args.end())
            continue;
        EXPECT_EQ(r.Output, "");
        if (*c.Errors == '\0')
            EXPECT_EQ(r.Errors, "");
        else
            EXPECT_TRUE(Contains(r.Errors, c.Errors)) << r.Errors;
    }
    // The figures are the text summary's.
    const ProgramResult text = Host({"replay", Path("d.pcap")});
    const ProgramResult quiet = Host({"replay", Path("d.pcap"), "-q", "--summary-json", "-"});
    EXPECT_TRUE(Contains(quiet.Output, "\"records\":{\"total\":" +
                                           std::to_string(SummaryNumber(text.Output, "records"))))
        << quiet.Output;
}

TEST_F(CliTest, TrackTimesAreCheckedAgainstTheCapture) {
    GenerateDrive();
    // The same drive a day later: a track whose clock is a day off.
    ASSERT_EQ(Sim({"generate", Path("late"), "--seed", "3", "--duration", "15", "--start",
                   "2024-05-15T09:20:00Z"})
                  .Status,
              0);
    std::string gga;
    for (const std::string& line : SplitLines(ReadFile(Path("d.nmea"))))
        gga += Contains(line, "GGA") ? line + "\n" : "";
    WriteFile(Path("gga.nmea"), gga);
    const std::string d = Path("d.pcap"), csv = Path("r.csv");
    ASSERT_EQ(Host({"replay", d, "--gps", Path("d.nmea"), "--csv", Path("base.csv")}).Status, 0);
    const std::vector<std::string> base = SplitLines(ReadFile(Path("base.csv")));

    struct Case {
        std::vector<std::string> Args;
        int Status;
        bool SameRecords;
        std::string Output, Errors;
        std::string FirstFix;  // records stamped before it lie before the track ("9": all)
    };
    const std::string none = "0";
    const std::vector<Case> cases = {
        {{"--gps", Path("late.nmea")}, 1, false, "", "no record lies inside the track", "9"},
        {{"--gps", Path("late.nmea"), "--gps-offset", "-86400"}, 0, true, "by -86400 s", "", none},
        {{"--gps", Path("gga.nmea")}, 0, true, "from the capture's first time stamp", "", none},
        {{"--gps", Path("gga.nmea"), "--gps-date", "2024-05-14"}, 0, true, "--gps-date", "", none},
        {{"--gps", Path("d.nmea"), "--gps-offset=2.5"}, 0, false, "", "", "2024-05-14T09:20:02.5"},
    };
    for (const Case& c : cases) {
        std::vector<std::string> args = {"replay", d, "--csv", csv};
        args.insert(args.end(), c.Args.begin(), c.Args.end());
        const ProgramResult r = Host(args);
        const std::string what = c.Args[1] + " " + c.Args.back();
        EXPECT_EQ(r.Status, c.Status) << what << "\n" << r.Errors;
        EXPECT_TRUE(Contains(r.Output, c.Output)) << what << "\n" << r.Output;
        EXPECT_TRUE(Contains(r.Errors, c.Errors)) << what << "\n" << r.Errors;
        EXPECT_EQ(SplitLines(ReadFile(csv)) == base, c.SameRecords) << what;
        uint64_t before = 0;
        for (std::size_t i = 1; i < base.size(); ++i)
            before += SplitFields(base[i])[1] < c.FirstFix ? 1 : 0;
        EXPECT_EQ(SummaryNumber(r.Output, "outside track"), before) << what << "\n" << r.Output;
    }
}

TEST_F(CliTest, CapturesThatLostTheirChunksOrTimeOrderSaySo) {
    GenerateDrive();
    // The port's bytes re-cut into 512-byte packets; the chunks as read, two stamped 5 s early.
    n95::host::TCaptureReader reader;
    TCaptureWriter recut, back;
    std::string error, pending;
    ASSERT_TRUE(reader.Open(Path("d.pcap"), &error) && recut.Open(Path("recut.pcap"), &error) &&
                back.Open(Path("back.pcap"), &error))
        << error;
    for (int i = 0; reader.Next() == n95::host::TCaptureReader::TStatus::Chunk; ++i) {
        n95::host::TCaptureTime t = reader.Time();
        pending.append(reinterpret_cast<const char*>(reader.Data()), reader.Size());
        for (; pending.size() >= 512; pending.erase(0, 512))
            ASSERT_TRUE(recut.Write(t, pending.data(), 512, &error));
        t.Seconds -= i == 10 || i == 20 ? 5 : 0;
        ASSERT_TRUE(back.Write(t, reader.Data(), reader.Size(), &error));
    }
    ASSERT_TRUE(recut.Commit(&error) && back.Commit(&error)) << error;

    const ProgramResult whole = Host({"replay", Path("d.pcap")});
    const ProgramResult r = Host({"replay", Path("recut.pcap")});
    EXPECT_EQ(r.Status, 1) << r.Errors;
    EXPECT_TRUE(Contains(r.Errors, "do not start with a whole trace frame")) << r.Errors;
    EXPECT_GT(SummaryNumber(r.Output, "misaligned"), SummaryNumber(r.Output, "chunks") / 2);
    EXPECT_LT(SummaryNumber(r.Output, "records"), SummaryNumber(whole.Output, "records") / 4);

    const ProgramResult b = Host({"replay", Path("back.pcap")});
    EXPECT_EQ(b.Status, 0) << b.Errors;
    EXPECT_TRUE(Contains(b.Errors, "time stamps go backwards at 2 chunks")) << b.Errors;
    EXPECT_FALSE(Contains(whole.Output + b.Output, "misaligned"));
}

// The chunks of the frames listing's tests, one second apart from 2024-05-14T09:20:00Z.
std::vector<std::string> FramesChunks() {
    const auto bytes = [](std::initializer_list<int> values) {
        std::string s;
        for (const int v : values)
            s.push_back(static_cast<char>(v));
        return s;
    };
    const std::string classThree = bytes({0x03, 0x03, 0x00, 0x00, 0x00, 0x04, 0, 0, 3, 0x2D});
    return {
        "\r\nOK\r\n",
        // Long header; short (code 0x000003C1: class 1 once normalised); empty payload; form
        // byte 0x02 with two payload bytes (no code); a code without a class.
        bytes({1, 0, 0, 1, 0xAA, 0xBB, 0xCC, 0xDD, 0, 5, 0x41, 0x2F, 0x01, 0x12, 0x99}) +
            bytes({2, 0x11, 7, 0, 0, 4, 0, 0, 3, 0xC1}) + bytes({0x0F, 0, 0, 0, 0, 0}) +
            bytes({5, 2, 0x0A, 2, 0, 2, 1, 2}) + bytes({5, 2, 0x0A, 0, 0, 4, 0, 3, 0, 0}),
        // Garbage at the start: read as a header announcing 65535 bytes.
        bytes({0xFF, 0, 0xFF, 0, 0xFF, 0xFF, 0xFF, 0xFF}) + classThree,
        // A tail cut inside its extension bytes, one cut before its form byte.
        classThree + bytes({1, 2, 3, 1, 9}),
        classThree + bytes({1, 2}),
    };
}

TEST_F(CliTest, FramesListsEveryFrameAsThePluginCutsTheChunks) {
    WriteCapture("f.pcap", FramesChunks());
    const ProgramResult csv = Host({"frames", "--csv", Path("f.pcap")});
    ASSERT_EQ(csv.Status, 0) << csv.Errors;
    EXPECT_EQ(csv.Errors, "");
    const std::string t = "2024-05-14T09:20:0";
    EXPECT_EQ(csv.Output,
              "chunk,time,offset,kind,size,form,key,throttle_key,length,code,normalised,class\n"
              "1," +
                  t +
                  "0.000Z,0,at-reply,6,,,,,,,\n"
                  "2," +
                  t +
                  "1.000Z,0,frame,15,long,0x010000,0x1000,5,0x412F0112,0x412F0112,0\n"
                  "2," +
                  t +
                  "1.000Z,15,frame,10,short,0x021107,0x2447,4,0x000003C1,0x713A0301,1\n"
                  "2," +
                  t +
                  "1.000Z,25,frame,6,short,0x0F0000,0xF000,0,,,\n"
                  "2," +
                  t +
                  "1.000Z,31,frame,8,short,0x05020A,0x508A,2,,,\n"
                  "2," +
                  t +
                  "1.000Z,39,frame,10,short,0x05020A,0x508A,4,0x00030000,0x00030000,\n"
                  "3," +
                  t +
                  "2.000Z,0,tail,18,short,0xFF00FF,0xF0FF,65535,,,\n"
                  "4," +
                  t +
                  "3.000Z,0,frame,10,short,0x030300,0x30C0,4,0x0000032D,0x713A032D,3\n"
                  "4," +
                  t +
                  "3.000Z,10,tail,5,long,0x010203,0x1083,,,,\n"
                  "5," +
                  t +
                  "4.000Z,0,frame,10,short,0x030300,0x30C0,4,0x0000032D,0x713A032D,3\n"
                  "5," +
                  t + "4.000Z,10,tail,2,,,,,,,\n");

    const ProgramResult hex = Host({"frames", "--csv", "--hex", Path("f.pcap")});
    const auto hexLines = SplitLines(hex.Output);
    ASSERT_EQ(hexLines.size(), 12u) << hex.Output;
    EXPECT_TRUE(hexLines[0].ends_with(",class,extension,payload"));
    EXPECT_TRUE(hexLines[2].ends_with(",0,AABBCCDD,412F011299")) << hexLines[2];
    EXPECT_TRUE(hexLines[3].ends_with(",1,,000003C1")) << hexLines[3];
    // The tail's payload bytes: those after its (garbage) header.
    EXPECT_TRUE(hexLines[7].ends_with(",65535,,,,,FFFF0303000000040000032D")) << hexLines[7];

    const ProgramResult text = Host({"frames", Path("f.pcap")});
    const auto lines = SplitLines(text.Output);
    ASSERT_EQ(lines.size(), 12u) << text.Output;
    EXPECT_EQ(lines[0],
              "  chunk time                     offset form  key      throttle length code       "
              "normalised class");
    EXPECT_EQ(lines[1], "      1 " + t +
                            "0.000Z      0 -     -        -             - -          "
                            "-          -     AT reply OK (not parsed)");
    EXPECT_EQ(lines[2], "      2 " + t +
                            "1.000Z      0 long  0x010000 0x1000        5 0x412F0112 "
                            "0x412F0112 0");
    EXPECT_TRUE(
        lines[7].ends_with("65535 -          -          -     incomplete: 18 of 65541 bytes"))
        << lines[7];
    EXPECT_TRUE(lines[9].ends_with(" incomplete: 5 bytes, header cut")) << lines[9];
}

TEST_F(CliTest, FramesFiltersByCodeAndClass) {
    WriteCapture("f.pcap", FramesChunks());
    struct Case {
        std::vector<std::string> Args;
        std::string Frames;  // chunk:offset of each line, or the exit status when not 0
    };
    const std::vector<Case> cases = {
        {{"--code", "0x713A0301"}, "2:15"},  // the normalised code
        {{"--code", "0x000003c1,0x412F0112"}, "2:0 2:15"},
        {{"--code", "813", "--code", "0x00030000"}, "2:39 4:0 5:0"},  // 813 = 0x32D
        {{"--class", "0,3"}, "2:0 4:0 5:0"},
        {{"--class", "none"}, "2:25 2:31 2:39"},
        {{"--class", "1", "--code", "0x412F0112"}, ""},
        {{"--class", "1", "--class", "0", "--code", "0x412F0112"}, "2:0"},
        {{"--class", "4"}, "status 2"},
        {{"--code", "0x123456789"}, "status 2"},
        {{"--code", "412F0112"}, "status 2"},
    };
    for (const Case& c : cases) {
        std::vector<std::string> args = {"frames", "--csv", Path("f.pcap")};
        args.insert(args.end(), c.Args.begin(), c.Args.end());
        const ProgramResult r = Host(args);
        std::string frames;
        if (r.Status != 0) {
            frames = "status " + std::to_string(r.Status);
            EXPECT_TRUE(Contains(r.Errors, c.Args.back().substr(0, 3))) << r.Errors;
        }
        const auto lines = SplitLines(r.Output);
        for (std::size_t i = 1; i < lines.size(); ++i) {
            const auto fields = SplitFields(lines[i]);
            frames += (frames.empty() ? "" : " ") + fields[0] + ":" + fields[2];
        }
        EXPECT_EQ(frames, c.Frames) << c.Args[0] << " " << c.Args[1];
    }
}

TEST_F(CliTest, FramesOfDamagedOrEmptyCapturesAndAClosedPipe) {
    WriteCapture("f.pcap", FramesChunks());
    const std::string capture = ReadFile(Path("f.pcap"));
    WriteFile(Path("cut.pcap"), capture.substr(0, capture.size() - 3));
    WriteCapture("none.pcap", {});
    const ProgramResult cut = Host({"frames", "--csv", Path("cut.pcap")});
    EXPECT_EQ(cut.Status, 1);
    EXPECT_EQ(SplitLines(cut.Output).size(), 10u) << cut.Output;  // chunks 1..4
    EXPECT_TRUE(Contains(cut.Errors, "warning: capture " + Path("cut.pcap") + " is damaged"))
        << cut.Errors;
    EXPECT_TRUE(Contains(cut.Errors, "the 4 complete chunks before it were listed")) << cut.Errors;
    const ProgramResult none = Host({"frames", Path("none.pcap")});
    EXPECT_EQ(none.Status, 1);
    EXPECT_TRUE(Contains(none.Errors, "holds no chunk")) << none.Errors;
    EXPECT_EQ(Host({"frames", Path("missing.pcap")}).Status, 3);
    EXPECT_EQ(Host({"frames"}).Status, 2);

    // A reader that stops after the first line ends the listing quietly.
    GenerateDrive();
    const ProgramResult head = RunProgramClosingOutput(N95HOST_PATH, {"frames", Path("d.pcap")});
    EXPECT_EQ(head.Status, 0);
    EXPECT_EQ(head.Errors, "");
    EXPECT_TRUE(head.Output.starts_with("  chunk time")) << head.Output;
}

// The code the listing shows is the one the plug-in's records carry: the replay's records,
// in order, are frames of the listing (those that passed the throttle and the decoder), with
// their chunks' times.
TEST_F(CliTest, FramesShowTheCodesAndLengthsOfTheReplaysRecords) {
    GenerateDrive();
    const ProgramResult replay = Host({"replay", Path("d.pcap"), "--csv", Path("r.csv")});
    ASSERT_EQ(replay.Status, 0) << replay.Errors;
    const ProgramResult frames = Host({"frames", "--csv", Path("d.pcap")});
    ASSERT_EQ(frames.Status, 0) << frames.Errors;
    const auto records = SplitLines(ReadFile(Path("r.csv")));
    const auto listed = SplitLines(frames.Output);
    ASSERT_GT(records.size(), 1000u);
    std::size_t next = 1;
    for (std::size_t i = 1; i < listed.size() && next < records.size(); ++i) {
        const auto frame = SplitFields(listed[i]);
        const auto record = SplitFields(records[next]);
        if (frame[1] == record[1] && frame[9] == record[5] && frame[8] == record[7]) {
            EXPECT_EQ(frame[11], record[6]) << listed[i];
            ++next;
        }
    }
    EXPECT_EQ(next, records.size()) << "record " << next << " is no frame: " << records[next];
}

}  // namespace
}  // namespace n95::test
