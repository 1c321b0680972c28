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

TEST_F(AtomicFileTest, AReplacedFileKeepsItsModeAndANewOneTakesTheUmasks) {
    const mode_t mask = umask(022);
    struct Case {
        std::string Name;
        int OldMode;  // -1: no file there before
        mode_t Expected;
    };
    const std::vector<Case> cases = {
        {"private.csv", 0600, 0600},
        {"group.csv", 0640, 0640},
        {"script.sh", 0755, 0755},
        {"setgid.csv", 02640, 02640},
        {"new.csv", -1, 0644},
        // The hidden temporary name is cut short to fit beside a long name.
        {std::string(250, 'l'), 0604, 0604},
    };
    for (const Case& c : cases) {
        for (const TTempName name : {TTempName::Unnamed, TTempName::Named}) {
            const std::string path = Path(c.Name);
            if (c.OldMode >= 0) {
                n95::test::WriteFile(path, "old");
                ASSERT_EQ(chmod(path.c_str(), static_cast<mode_t>(c.OldMode)), 0);
            }
            std::string error;
            TAtomicFile file;
            ASSERT_TRUE(file.Open(path, &error, name)) << error;
            std::fputs("new", file.File());
            ASSERT_TRUE(file.Commit(&error)) << c.Name << ": " << error;
            struct stat info {};
            ASSERT_EQ(stat(path.c_str(), &info), 0);
            EXPECT_EQ(info.st_mode & 07777, c.Expected) << c.Name;
            EXPECT_EQ(ReadFile(path), "new");
            EXPECT_EQ(ListDir(Dir).size(), 1u) << c.Name << ": nothing left beside it";
            std::filesystem::remove(path);
        }
    }
    umask(mask);
}

// The outputs of a run appear together: a file already put in place is put back as it was
// when a later one cannot be.
TEST_F(AtomicFileTest, RollbackPutsBackWhatAPublishedFileReplaced) {
    for (const bool existed : {true, false}) {
        n95::test::WriteFile(Path("first.csv"), "old first");
        ASSERT_EQ(chmod(Path("first.csv").c_str(), 0600), 0);
        if (!existed)
            std::filesystem::remove(Path("first.csv"));
        std::string error;
        TAtomicFile first, second;
        ASSERT_TRUE(first.Open(Path("first.csv"), &error));
        ASSERT_TRUE(second.Open(Path("second.kml"), &error));
        std::fputs("new first", first.File());
        std::fputs("new second", second.File());
        ASSERT_TRUE(first.Prepare(&error)) << error;
        ASSERT_TRUE(second.Prepare(&error)) << error;
        EXPECT_EQ(ListDir(Dir).size(), existed ? 3u : 2u) << "prepared files have hidden names";
        ASSERT_TRUE(first.Publish(&error)) << error;
        EXPECT_EQ(ReadFile(Path("first.csv")), "new first");
        // Something appeared at the second name meanwhile: it is not replaced.
        std::filesystem::create_directory(Path("second.kml"));
        EXPECT_FALSE(second.Publish(&error));
        EXPECT_NE(error.find("second.kml"), std::string::npos) << error;
        EXPECT_TRUE(first.Rollback());
        if (existed) {
            EXPECT_EQ(ReadFile(Path("first.csv")), "old first");
            struct stat info {};
            ASSERT_EQ(stat(Path("first.csv").c_str(), &info), 0);
            EXPECT_EQ(info.st_mode & 0777, 0600u);
        }
        EXPECT_EQ(ListDir(Dir), existed ? (std::vector<std::string>{"first.csv", "second.kml"})
                                        : (std::vector<std::string>{"second.kml"}));
        std::filesystem::remove_all(Path("second.kml"));
        std::filesystem::remove(Path("first.csv"));
    }
}

// Should the old file not go back (something took its name meanwhile), it stays under its
// hidden name, never removed.
TEST_F(AtomicFileTest, AFailedRollbackKeepsTheOldFile) {
    n95::test::WriteFile(Path("out.csv"), "old");
    std::string error;
    TAtomicFile file;
    ASSERT_TRUE(file.Open(Path("out.csv"), &error));
    std::fputs("new", file.File());
    ASSERT_TRUE(file.Prepare(&error) && file.Publish(&error)) << error;
    std::filesystem::rename(Path("out.csv"), Path("moved.csv"));
    std::filesystem::create_directories(Path("out.csv/inside"));
    EXPECT_FALSE(file.Rollback());
    ASSERT_FALSE(file.KeptAs().empty());
    EXPECT_EQ(ReadFile(file.KeptAs()), "old");
}

}  // namespace
}  // namespace n95::host
