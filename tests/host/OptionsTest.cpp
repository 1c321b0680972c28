// The command lines of n95host and n95sim refuse what they cannot use: numbers that are not
// finite or out of range, and a --link over something that is not the simulator's own.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "tests/host/HostTestSupport.h"

namespace n95::test {
namespace {

struct TNumberOption {
    const char* Program;  // N95HOST_PATH or N95SIM_PATH
    std::vector<std::string> Base;
    const char* Option;
    const char* OutOfRange;
};

// Every floating-point option, and integer ones for comparison, each with a command line
// that would run without it. The serve lines fail fast (a missing capture) should the option
// ever be let through, rather than serve for ever.
std::vector<TNumberOption> NumberOptions(const std::string& dir) {
    const std::string samples = N95_SAMPLES_DIR;
    const std::vector<std::string> replay = {"replay", samples + "/drive.pcap", "--gps",
                                             samples + "/drive.nmea"};
    const std::vector<std::string> live = {"live", "--device", "/dev/null"};
    const std::vector<std::string> generate = {"generate", dir + "/g"};
    const std::vector<std::string> serve = {"serve", "--capture", dir + "/missing.pcap"};
    return {
        {N95HOST_PATH, replay, "--gps-offset", "1e10"},
        {N95HOST_PATH, replay, "--max-points", "0"},
        {N95HOST_PATH, replay, "--max-points", "99999999999999999999"},
        {N95HOST_PATH, live, "--max-points", "All"},
        {N95HOST_PATH, live, "--duration", "0"},
        {N95HOST_PATH, live, "--duration", "-1"},
        {N95HOST_PATH, live, "--trace-wait", "51"},
        {N95HOST_PATH, live, "--reconnect-pause", "3601"},
        {N95HOST_PATH, live, "--idle-gap", "0"},
        {N95HOST_PATH, live, "--baud", "-1"},
        {N95SIM_PATH, generate, "--duration", "0.5"},
        {N95SIM_PATH, generate, "--rate", "0"},
        {N95SIM_PATH, generate, "--lat", "81"},
        {N95SIM_PATH, generate, "--lon", "-180"},
        {N95SIM_PATH, serve, "--rate", "0"},
        {N95SIM_PATH, serve, "--start-delay", "61"},
        {N95SIM_PATH, serve, "--replug", "3601"},
        {N95SIM_PATH, serve, "--count", "-1"},
    };
}

class OptionsTest : public ScratchDirTest {};

TEST_F(OptionsTest, NumbersThatAreNotFiniteOrOutOfRangeAreUsageErrors) {
    for (const TNumberOption& o : NumberOptions(Dir)) {
        for (const std::string value : {"nan", "inf", "-1e999", o.OutOfRange}) {
            std::vector<std::string> args = o.Base;
            args.insert(args.end(), {o.Option, value});
            const ProgramResult r = RunProgram(o.Program, args);
            SCOPED_TRACE(args[0] + " " + o.Option + " " + value);
            EXPECT_EQ(r.Status, 2) << r.Errors;
            EXPECT_TRUE(Contains(r.Errors, o.Option)) << r.Errors;
        }
    }
}

// What is at the --link path before n95sim serve starts, and whether the simulator may
// replace it.
struct TLinkCase {
    const char* Label;
    void (*Make)(const std::string& path);
    bool Replaced;
};

const TLinkCase kLinkCases[] = {
    {"a regular file", [](const std::string& p) { WriteFile(p, "keep me\n"); }, false},
    {"a folder", [](const std::string& p) { std::filesystem::create_directory(p); }, false},
    {"a link to a regular file",
     [](const std::string& p) {
         WriteFile(p + ".target", "keep me\n");
         std::filesystem::create_symlink(p + ".target", p);
     },
     false},
    {"a link to nothing",
     [](const std::string& p) { std::filesystem::create_symlink("/nonexistent/n95", p); }, false},
    {"a stale link to a pseudo-terminal",
     [](const std::string& p) { std::filesystem::create_symlink("/dev/pts/99999", p); }, true},
    {"a live link to a pseudo-terminal",
     [](const std::string& p) {
         // Another simulator's: its pseudo-terminal stays open while this test runs.
         static const int master = posix_openpt(O_RDWR | O_NOCTTY);
         ASSERT_GE(master, 0);
         ASSERT_EQ(grantpt(master) | unlockpt(master), 0);
         std::filesystem::create_symlink(ptsname(master), p);
     },
     false},
    {"nothing", [](const std::string&) {}, true},
};

TEST_F(OptionsTest, ServeLinkReplacesOnlyALinkToAPseudoTerminal) {
    for (const TLinkCase& c : kLinkCases) {
        SCOPED_TRACE(c.Label);
        const std::string link = Path(std::string("link ") + c.Label);
        c.Make(link);
        const auto before = std::filesystem::symlink_status(link).type();
        const std::string target = before == std::filesystem::file_type::symlink
                                       ? std::filesystem::read_symlink(link).string()
                                       : "";
        ChildProgram sim;
        ASSERT_TRUE(sim.Start(N95SIM_PATH, {"serve", "--count", "0", "--link", link}));
        if (!c.Replaced) {
            const ProgramResult r = sim.Wait(60.0);
            EXPECT_EQ(r.Status, 2) << r.Errors;
            EXPECT_TRUE(Contains(r.Errors, "--link " + link)) << r.Errors;
            // Untouched: the same kind of thing, the same content or target.
            EXPECT_EQ(std::filesystem::symlink_status(link).type(), before);
            if (before == std::filesystem::file_type::symlink) {
                EXPECT_EQ(std::filesystem::read_symlink(link).string(), target);
            } else if (before == std::filesystem::file_type::regular) {
                EXPECT_EQ(ReadFile(link), "keep me\n");
            }
            continue;
        }
        EXPECT_EQ(sim.FirstLine(60.0), link);
        EXPECT_TRUE(std::filesystem::read_symlink(link).string().starts_with("/dev/pts/"));
        ASSERT_TRUE(sim.WaitUntilCatching(SIGINT, 60.0));
        sim.Signal(SIGINT);
        EXPECT_EQ(sim.Wait(60.0).Status, 0);
        EXPECT_FALSE(std::filesystem::exists(std::filesystem::symlink_status(link)))
            << "its own link goes when it stops";
    }
    // Two simulators one after another at one path (the first one's link removed by hand
    // meanwhile): the first, stopping, leaves the second's link.
    const std::string link = Path("link shared");
    ChildProgram first, second;
    ASSERT_TRUE(first.Start(N95SIM_PATH, {"serve", "--count", "0", "--link", link}));
    ASSERT_EQ(first.FirstLine(60.0), link);
    std::filesystem::remove(link);
    ASSERT_TRUE(second.Start(N95SIM_PATH, {"serve", "--count", "0", "--link", link}));
    ASSERT_EQ(second.FirstLine(60.0), link);
    const std::string secondPts = std::filesystem::read_symlink(link).string();
    for (ChildProgram* sim : {&first, &second}) {
        ASSERT_TRUE(sim->WaitUntilCatching(SIGINT, 60.0));
        sim->Signal(SIGINT);
        EXPECT_EQ(sim->Wait(60.0).Status, 0);
        if (sim == &first) {
            EXPECT_EQ(std::filesystem::read_symlink(link).string(), secondPts);
        }
    }
    EXPECT_FALSE(std::filesystem::exists(std::filesystem::symlink_status(link)));
}

}  // namespace
}  // namespace n95::test
