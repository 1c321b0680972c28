#include "host/common/OutputTarget.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <thread>

#include "host/common/OutputFile.h"
#include "tests/host/HostTestSupport.h"

namespace n95::host {
namespace {

using n95::test::Contains;
using n95::test::ReadFile;

class OutputTargetTest : public n95::test::ScratchDirTest {
protected:
    void SetUp() override {
        ScratchDirTest::SetUp();
        n95::test::WriteFile(Path("file"), "x");
        std::filesystem::create_directory(Path("dir"));
        std::filesystem::create_symlink("file", Path("link"));
        std::filesystem::create_symlink("dir/new.csv", Path("dangling"));
        std::filesystem::create_symlink("loop", Path("loop"));
        std::filesystem::create_hard_link(Path("file"), Path("hard"));
        ASSERT_EQ(mkfifo(Path("fifo").c_str(), 0600), 0);
    }
};

TEST_F(OutputTargetTest, NamesResolveToWhereTheOutputGoesOrSayWhyNot) {
    using TKind = TOutputTarget::TKind;
    struct Case {
        std::string Name;
        TKind Kind;
        std::string Path;   // the resolved path; "" = the name itself
        std::string Error;  // "" = resolves
    };
    const std::string longName(256, 'n');  // one past the usual file name limit
    const std::vector<Case> cases = {
        // The descriptors the shell set up are written as they stand, never resolved.
        {"-", TKind::Descriptor, "", ""},
        {"/dev/stdout", TKind::Descriptor, "", ""},
        {"/dev/stderr", TKind::Descriptor, "", ""},
        {"/dev/fd/1", TKind::Descriptor, "", ""},
        {"/proc/self/fd/2", TKind::Descriptor, "", ""},
        {"/dev/fd/987", TKind::Descriptor, "", "Bad file descriptor"},
        {"/dev/null", TKind::Straight, "", ""},
        {Path("fifo"), TKind::Straight, "", ""},
        {Path("file"), TKind::File, "", ""},
        {Path("new.csv"), TKind::File, "", ""},
        {Path("link"), TKind::File, Path("file"), ""},
        {Path("dangling"), TKind::File, Path("dir/new.csv"), ""},
        {Path("dir"), TKind::File, "", "Is a directory"},
        {Path("dir/"), TKind::File, "", "Is a directory"},
        {Path("no/such.csv"), TKind::File, "", "No such file or directory"},
        {Path("file/x.csv"), TKind::File, "", "Not a directory"},
        {Path("loop"), TKind::File, "", "Too many levels of symbolic links"},
        {Path(longName), TKind::File, "", "File name too long"},
        {Path(std::string(255, 'n')), TKind::File, "", ""},
        {"", TKind::File, "", "an output needs a name"},
    };
    for (const Case& c : cases) {
        TOutputTarget target;
        std::string error;
        const bool ok = ResolveOutputTarget(c.Name, target, &error);
        EXPECT_EQ(ok, c.Error.empty()) << c.Name << ": " << error;
        if (!ok) {
            EXPECT_TRUE(Contains(error, c.Name) && Contains(error, c.Error)) << error;
            continue;
        }
        EXPECT_EQ(target.Kind, c.Kind) << c.Name;
        EXPECT_EQ(target.Path, c.Path.empty() ? c.Name : c.Path) << c.Name;
    }
}

TEST_F(OutputTargetTest, AnOutputMayBeNeitherAnInputNorAnotherOutput) {
    struct Case {
        std::vector<std::string> Outputs;  // against the input Path("file")
        std::string Error;                 // "" = distinct
    };
    const std::vector<Case> cases = {
        {{Path("file")}, "--a and the input are the same file"},
        {{Path("hard")}, "the same file"},
        {{Path("link")}, "the same file"},
        {{Path("dir/../file")}, "the same file"},
        {{Path("a.csv"), Path("dir/../a.csv")},
         "--a and --b are the same file: " + Path("dir/../a.csv")},
        {{Path("dir/new.csv"), Path("dangling")}, "--a and --b are the same file"},
        {{"-", "-"}, "--a and --b both write to standard output"},
        {{"/dev/stdout", "-"}, "--a and --b both write to standard output"},
        {{"/dev/fd/2", "/proc/self/fd/2"}, "--a and --b are the same file"},
        {{"/dev/stdout", "/dev/fd/1"}, "--a and --b both write to standard output"},
        {{"/dev/null", "/dev/null"}, ""},
        {{"/dev/null"}, ""},
        {{"/dev/zero", "/dev/zero"}, "--a and --b are the same file: /dev/zero"},
        {{"/dev/fd/987", "/dev/fd/987"}, "--a and --b are the same file"},
        {{"/dev/fd/987", Path("dir/new.csv")}, ""},
        {{Path("a.csv"), Path("b.csv"), "-"}, ""},
    };
    for (const Case& c : cases) {
        std::vector<TNamedFile> outputs;
        for (std::size_t i = 0; i < c.Outputs.size(); ++i)
            outputs.push_back({std::string("--") + static_cast<char>('a' + i), c.Outputs[i]});
        std::string error;
        EXPECT_EQ(CheckDistinctFiles({{"the input", Path("file")}}, outputs, &error),
                  c.Error.empty())
            << c.Outputs.back();
        EXPECT_TRUE(Contains(error, c.Error)) << error;
    }
}

TEST_F(OutputTargetTest, StraightTargetsAreWrittenNotReplaced) {
    // A FIFO's reader gets all of it, and a write error of a device is a failed commit.
    std::string read;
    std::thread reader([&] { read = ReadFile(Path("fifo")); });
    const std::string text(3 << 20, 'r');
    std::string error;
    TOutputFile fifo;
    ASSERT_TRUE(fifo.Open(Path("fifo"), &error)) << error;
    std::fwrite(text.data(), 1, text.size(), fifo.File());
    EXPECT_TRUE(fifo.Commit(&error)) << error;
    reader.join();
    EXPECT_TRUE(read == text);

    struct stat info {};
    if (stat("/dev/full", &info) != 0 || access("/dev/full", W_OK) != 0)
        GTEST_SKIP() << "no writable /dev/full";
    TOutputFile full;
    ASSERT_TRUE(full.Open("/dev/full", &error)) << error;
    std::fwrite(text.data(), 1, text.size(), full.File());
    EXPECT_FALSE(full.Commit(&error));
    EXPECT_EQ(error, "cannot write /dev/full: No space left on device");
    ASSERT_EQ(stat("/dev/full", &info), 0);
    EXPECT_TRUE(S_ISCHR(info.st_mode));
}

}  // namespace
}  // namespace n95::host
