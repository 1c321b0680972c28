// The system seam as both of its implementations must answer (SystemCallsPosix.cpp and
// SystemCallsWin32.cpp): the file steps the atomic outputs take, plug-in loading, the
// process's use, and the path rules. Portable on purpose: the Linux suite runs it, and it is
// the Windows build's test of the seam under Wine.
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "host/common/AtomicFile.h"
#include "host/common/FaultySystemCalls.h"
#include "host/common/SystemCalls.h"
#include "host/devices/SerialPort.h"
#include "host/session/PluginHost.h"

namespace {

namespace fs = std::filesystem;
using n95::host::System;
using n95::host::TFileInfo;
using n95::host::TRenameMode;
using TCall = n95::host::TSystemCalls::TCall;

#ifdef _WIN32
constexpr bool kWindows = true;
#else
constexpr bool kWindows = false;
#endif

class SeamTest : public ::testing::Test {
protected:
    void SetUp() override {
        Dir = fs::temp_directory_path() /
              ("n95-seam-" +
               std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()));
        fs::remove_all(Dir);
        fs::create_directories(Dir);
    }
    void TearDown() override { fs::remove_all(Dir); }

    std::string At(const std::string& name) const { return (Dir / name).string(); }
    void Put(const std::string& name, const std::string& text) const {
        std::ofstream(Dir / name, std::ios::binary) << text;
    }
    std::string Get(const std::string& name) const {
        std::ifstream in(Dir / name, std::ios::binary);
        return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    }
    std::vector<std::string> Names() const {
        std::vector<std::string> names;
        for (const auto& entry : fs::directory_iterator(Dir))
            names.push_back(entry.path().filename().string());
        std::sort(names.begin(), names.end());
        return names;
    }

    fs::path Dir;
};

TEST_F(SeamTest, RenamesReplaceOrRefuseAsAsked) {
    struct TCase {
        const char* Name;
        bool TargetExists;
        TRenameMode Mode;
        int Errno;  // 0: the rename succeeds
    } const cases[] = {
        {"replace over a file", true, TRenameMode::Replace, 0},
        {"replace to a free name", false, TRenameMode::Replace, 0},
        {"no replace over a file", true, TRenameMode::NoReplace, EEXIST},
        {"no replace to a free name", false, TRenameMode::NoReplace, 0},
    };
    for (const TCase& c : cases) {
        fs::remove(Dir / "to");
        Put("from", "new");
        if (c.TargetExists)
            Put("to", "old");
        errno = 0;
        const int result = System().Rename(At("from"), At("to"), c.Mode);
        EXPECT_EQ(result, c.Errno == 0 ? 0 : -1) << c.Name;
        if (c.Errno != 0) {
            EXPECT_EQ(errno, c.Errno) << c.Name;
            EXPECT_EQ(Get("to"), "old") << c.Name;
            EXPECT_EQ(Get("from"), "new") << c.Name;
        } else {
            EXPECT_EQ(Get("to"), "new") << c.Name;
            EXPECT_FALSE(fs::exists(Dir / "from")) << c.Name;
        }
    }
    // Exchanging names is either done or refused as "this system cannot" (EINVAL).
    Put("a", "A");
    Put("b", "B");
    if (System().Rename(At("a"), At("b"), TRenameMode::Exchange) == 0) {
        EXPECT_EQ(Get("a") + Get("b"), "BA");
    } else {
        EXPECT_EQ(errno, EINVAL);
        EXPECT_EQ(Get("a") + Get("b"), "AB");
    }
}

TEST_F(SeamTest, AnOpenFileCanBeRenamedOverAnotherAndRemoved) {
    // What the atomic outputs do on both systems: the new file, still open, is renamed over
    // the destination, and a file is removed while open. (A destination that another program
    // holds open cannot be replaced on Windows: that fails, and the run says so.)
    Put("destination", "old");
    std::string pattern = At(".destination.tmp-XXXXXX");
    const int fd = System().CreateUnique(pattern);
    ASSERT_GE(fd, 0) << std::strerror(errno);
    EXPECT_NE(pattern, At(".destination.tmp-XXXXXX"));
    EXPECT_TRUE(fs::exists(pattern));
    ASSERT_EQ(System().Write(fd, "new", 3), 3);
    EXPECT_EQ(System().Rename(pattern, At("destination"), TRenameMode::Replace), 0)
        << std::strerror(errno);
    EXPECT_EQ(Get("destination"), "new");
    EXPECT_EQ(System().Unlink(At("destination")), 0) << std::strerror(errno);
    EXPECT_EQ(System().Close(fd), 0);
    EXPECT_TRUE(Names().empty());
}

TEST_F(SeamTest, AnAtomicFileReplacesWholeAndLeavesNothingElse) {
    Put("out.csv", "old contents\n");
    for (const auto name : {n95::host::TTempName::Unnamed, n95::host::TTempName::Named}) {
        for (const std::string file : {"out.csv", "new.csv"}) {
            n95::host::TAtomicFile atomic;
            std::string error;
            ASSERT_TRUE(atomic.Open(At(file), &error, name)) << error;
            std::fputs("line 1\nline 2\n", atomic.File());
            ASSERT_TRUE(atomic.Commit(&error)) << file << ": " << error;
            EXPECT_EQ(Get(file), "line 1\nline 2\n") << file;  // bytes: no "\r\n"
        }
        EXPECT_EQ(Names(), (std::vector<std::string>{"new.csv", "out.csv"}));
        fs::remove(Dir / "new.csv");
    }
}

TEST_F(SeamTest, TheFileKindsIncludeTheNullDevice) {
    Put("file", "x");
    TFileInfo info;
    ASSERT_EQ(System().Status(kWindows ? "NUL" : "/dev/null", info), 0) << std::strerror(errno);
    EXPECT_TRUE(n95::host::IsNullDevice(info));
    ASSERT_EQ(System().Status(At("file"), info), 0);
    EXPECT_EQ(info.Kind, n95::host::TFileKind::Regular);
    EXPECT_EQ(info.Size, 1u);
    EXPECT_FALSE(n95::host::IsNullDevice(info));
    TFileInfo other;
    Put("other", "y");
    ASSERT_EQ(System().Status(At("other"), other), 0);
    EXPECT_NE(info.Inode, other.Inode) << "two files must not look like one";
    ASSERT_EQ(System().Status(Dir.string(), info), 0);
    EXPECT_EQ(info.Kind, n95::host::TFileKind::Directory);
    EXPECT_EQ(System().Status(At("missing"), info), -1);
    EXPECT_EQ(errno, ENOENT);
}

// A file read to its end gives what is appended to it later: the live GPS follows a log that
// another program writes.
TEST_F(SeamTest, AFileReadToItsEndGivesWhatIsAppendedLater) {
    Put("gps.nmea", "one\n");
    const int fd = System().Open(At("gps.nmea"), n95::host::kOpenRead);
    ASSERT_GE(fd, 0) << std::strerror(errno);
    char buffer[16];
    EXPECT_EQ(System().Read(fd, buffer, sizeof buffer), 4);
    EXPECT_EQ(System().Read(fd, buffer, sizeof buffer), 0);
    std::ofstream(Dir / "gps.nmea", std::ios::binary | std::ios::app) << "two\n";
    ASSERT_EQ(System().Read(fd, buffer, sizeof buffer), 4);
    EXPECT_EQ(std::string(buffer, 4), "two\n");
    EXPECT_EQ(System().Close(fd), 0);
}

// What could be storage, and a device that is no terminal, is refused as a handset's port
// before a byte is written to it.
TEST_F(SeamTest, APortThatIsAFileAFolderOrNoTerminalIsRefused) {
    Put("file", "keep me");
    const struct {
        std::string Path;
        const char* Says;
    } cases[] = {
        {At("file"), "it is a regular file, not a serial port"},
        {Dir.string(), "it is a folder, not a serial port"},
        {kWindows ? "NUL" : "/dev/null", "a character device that is not a terminal"},
    };
    for (const auto& c : cases) {
        n95::host::TSerialPort port(c.Path, {});
        std::string error;
        EXPECT_FALSE(port.OpenPort(&error)) << c.Path;
        EXPECT_NE(error.find(c.Says), std::string::npos) << error;
    }
    EXPECT_EQ(Get("file"), "keep me");
}

// A COM port is looked up in the system's device names, not opened to be looked at (a port
// has one user at a time), and one that does not exist is missing like a file.
TEST(SeamPorts, AComPortIsLookedUpNotOpened) {
    if (!kWindows)
        GTEST_SKIP() << "COM ports are Windows' names";
    for (const char* name : {"COM250", "com250", "\\\\.\\COM250", "//./COM250"}) {
        TFileInfo info;
        errno = 0;
        EXPECT_EQ(System().Status(name, info), -1) << name;
        EXPECT_EQ(errno, ENOENT) << name;
    }
}

TEST(SeamRules, TheLastFolderSeparatorIsFoundAsTheSystemWritesPaths) {
    const std::size_t none = std::string::npos;
    struct TCase {
        const char* Path;
        std::size_t Posix, Windows;
    } const cases[] = {
        {"name.csv", none, none},    {"out/name.csv", 3, 3}, {"/a/b", 2, 2},
        {"out\\name.csv", none, 3},  {"a/b\\c", 1, 3},       {"C:name", none, 1},
        {"C:\\out\\x.csv", none, 6}, {"", none, none},
    };
    for (const TCase& c : cases)
        EXPECT_EQ(n95::host::LastPathSeparator(c.Path), kWindows ? c.Windows : c.Posix) << c.Path;
}

TEST(SeamProcess, PeakMemoryAndProcessorTimeAreTold) {
    n95::host::TProcessUsage before;
    ASSERT_EQ(System().ProcessUsage(before), 0);
    std::vector<char> touched(64u << 20, 1);  // 64 MiB, every page written
    n95::host::TProcessUsage after;
    ASSERT_EQ(System().ProcessUsage(after), 0);
    EXPECT_GE(after.PeakResidentBytes, uint64_t{64} << 20);
    EXPECT_GE(after.PeakResidentBytes, before.PeakResidentBytes);
    EXPECT_GE(after.UserSeconds + after.SystemSeconds, before.UserSeconds + before.SystemSeconds);
    EXPECT_EQ(touched[touched.size() - 1], 1);
}

TEST(SeamPlugin, ThePluginBesideTheProgramLoadsAndBindsItsExports) {
    const std::string path = n95::host::DefaultPluginPath();
    EXPECT_NE(n95::host::LastPathSeparator(path), std::string::npos)
        << "the program's own folder is known: " << path;
    n95::host::TPlugin plugin;
    std::string error;
    ASSERT_TRUE(plugin.Load(path, &error)) << error;
    plugin.Identify();
    EXPECT_FALSE(plugin.DeviceName().empty());
}

TEST(SeamPlugin, LoadingFailuresNameTheCallAndTheReason) {
    const std::string path = n95::host::DefaultPluginPath();
    struct TCase {
        const char* Name;
        std::string Path;
        TCall Fault;  // TCall::Count: none
        uint64_t N;
        std::string Expected;
    } const cases[] = {
        {"a missing file", path + ".missing", TCall::Count, 0,
         "cannot load plug-in " + path + ".missing: "},
        {"the loader fails", path, TCall::LoadModule, 1,
         "cannot load plug-in " + path + ": " + std::strerror(ENOMEM)},
        {"the third export is missing", path, TCall::ModuleSymbol, 3,
         "plug-in " + path + " does not export GetDeviceFrequency: " + std::strerror(ENOMEM)},
    };
    for (const TCase& c : cases) {
        n95::host::TFaultySystemCalls faulty;
        n95::host::TScopedSystemCalls installed(&faulty);
        if (c.Fault != TCall::Count)
            faulty.FailAt(c.Fault, c.N, ENOMEM);
        n95::host::TPlugin plugin;
        std::string error;
        EXPECT_FALSE(plugin.Load(c.Path, &error)) << c.Name;
        if (c.Fault == TCall::Count) {
            EXPECT_EQ(error.substr(0, c.Expected.size()), c.Expected) << c.Name;
            EXPECT_GT(error.size(), c.Expected.size()) << c.Name << ": the loader's words follow";
        } else {
            EXPECT_EQ(error, c.Expected) << c.Name;
        }
        EXPECT_EQ(faulty.Fired(), c.Fault != TCall::Count) << c.Name;
    }
}

}  // namespace
