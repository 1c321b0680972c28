#include "host/common/AtomicFile.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>

#include "tests/host/HostTestSupport.h"

namespace n95::host {
namespace {

using n95::test::ListDir;
using n95::test::ReadFile;

class AtomicFileTest : public n95::test::ScratchDirTest {};

TEST_F(AtomicFileTest, CommitReplacesTheFileWholeAndDiscardLeavesItAlone) {
    n95::test::WriteFile(Path("out.csv"), "old");
    std::string error;
    {
        TAtomicFile file;
        ASSERT_TRUE(file.Open(Path("out.csv"), &error)) << error;
        std::fputs("half-written", file.File());
        std::fflush(file.File());
        EXPECT_EQ(ReadFile(Path("out.csv")), "old");
        EXPECT_EQ(ListDir(Dir).size(), 1u);  // the temporary file has no name
    }                                        // destroyed without Commit
    EXPECT_EQ(ListDir(Dir), std::vector<std::string>{"out.csv"});
    EXPECT_EQ(ReadFile(Path("out.csv")), "old");

    TAtomicFile file;
    ASSERT_TRUE(file.Open(Path("out.csv"), &error));
    std::fputs("new", file.File());
    ASSERT_TRUE(file.Commit(&error)) << error;
    EXPECT_EQ(ReadFile(Path("out.csv")), "new");
    EXPECT_EQ(ListDir(Dir), std::vector<std::string>{"out.csv"});
    struct stat info;
    ASSERT_EQ(stat(Path("out.csv").c_str(), &info), 0);
    EXPECT_NE(info.st_mode & S_IROTH, 0u) << "committed files get the usual permissions";
}

TEST_F(AtomicFileTest, NamedAndUnnamedTemporaryFilesCommitAlike) {
    const mode_t mask = umask(027);
    for (const TTempName name : {TTempName::Unnamed, TTempName::Named}) {
        const std::string path = Path(name == TTempName::Named ? "named" : "unnamed");
        std::string error;
        TAtomicFile file;
        ASSERT_TRUE(file.Open(path, &error, name)) << error;
        std::fputs("complete", file.File());
        // Only a named temporary file shows (and survives a killed process).
        EXPECT_EQ(ListDir(Dir).size(), name == TTempName::Named ? 1u : 0u);
        EXPECT_EQ(file.Named(), name == TTempName::Named);
        ASSERT_TRUE(file.Commit(&error)) << error;
        EXPECT_EQ(ReadFile(path), "complete");
        struct stat info;
        ASSERT_EQ(stat(path.c_str(), &info), 0);
        EXPECT_EQ(info.st_mode & 0777, 0640u) << path;
        std::filesystem::remove(path);
    }
    umask(mask);
}

TEST_F(AtomicFileTest, UnwritablePlacesFailWithTheirPath) {
    std::string error;
    TAtomicFile file;
    EXPECT_FALSE(file.Open(Path("no/such/folder/out.csv"), &error));
    EXPECT_NE(error.find("no/such/folder/out.csv"), std::string::npos) << error;
    EXPECT_FALSE(file.Open(Dir + "/", &error));
    // A detached stream is the caller's; Commit still renames what was written by name.
    ASSERT_TRUE(file.Open(Path("log.txt"), &error));
    std::fclose(file.Detach());
    n95::test::WriteFile(file.TempPath(), "written by name");
    ASSERT_TRUE(file.Commit(&error)) << error;
    EXPECT_EQ(ReadFile(Path("log.txt")), "written by name");
}

}  // namespace
}  // namespace n95::host
