// The file units used out of their usual order or met by an odd failure: steps taken twice or
// too early, a destination that changed between two steps, failures a commit survives by
// design, streams whose writes or close fail, names that are or are not descriptors, and
// output names that cannot be looked at.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <functional>

#include "host/common/AtomicFile.h"
#include "host/common/FaultySystemCalls.h"
#include "host/common/GrowingFile.h"
#include "host/common/OutputTarget.h"
#include "host/common/WriteStream.h"
#include "tests/host/HostTestSupport.h"

namespace n95::host {
namespace {

namespace fs = std::filesystem;
using TCall = TSystemCalls::TCall;
using n95::test::Contains;
using n95::test::ListDir;
using n95::test::ReadFile;
using n95::test::WriteFile;

// A fault to arm: the n-th call of a kind fails with an errno.
struct TFault {
    TCall Kind = TCall::Count;
    uint64_t N = 0;
    int Errno = 0;
};

// Two doubles, the outer over the inner, so that two calls can fail in one run (the inner's
// n-th call is the n-th that the outer let through).
class TTwoFaults {
public:
    TTwoFaults(TFault outer, TFault inner)
        : Outer(static_cast<TSystemCalls&>(Inner)), Installed(&Outer) {
        if (outer.N > 0)
            Outer.FailAt(outer.Kind, outer.N, outer.Errno);
        if (inner.N > 0)
            Inner.FailAt(inner.Kind, inner.N, inner.Errno);
    }
    bool Fired() const { return Outer.Fired() || Inner.Fired(); }

private:
    TFaultySystemCalls Inner;
    TFaultySystemCalls Outer;
    TScopedSystemCalls Installed;
};

class FileStepsTest : public n95::test::ScratchDirTest {};

// Failures that leave the commit whole: the destination gets the new bytes and keeps its
// mode, and nothing is left beside it.
TEST_F(FileStepsTest, ACommitSurvivesWhatItWorksAround) {
    struct Case {
        const char* Label;
        TFault Outer, Inner;
        TTempName Name = TTempName::Unnamed;
    };
    const Case cases[] = {
        {"a hidden name already taken", {TCall::Link, 1, EEXIST}, {}},
        {"an owner this user may not give",
         {TCall::ChangeOwner, 1, EPERM},
         {TCall::ChangeOwner, 1, EPERM}},
        {"a name limit that cannot be told", {TCall::NameMax, 1, EINVAL}, {}},
        {"an old kernel without unnamed files", {TCall::OpenUnnamed, 1, EISDIR}, {}},
        {"a file system without unnamed files", {TCall::OpenUnnamed, 1, EINVAL}, {}},
        {"a named file's name limit", {TCall::NameMax, 1, EIO}, {}, TTempName::Named},
    };
    for (const Case& c : cases) {
        WriteFile(Path("out.csv"), "old");
        ASSERT_EQ(chmod(Path("out.csv").c_str(), 0640), 0);
        TTwoFaults faults(c.Outer, c.Inner);
        std::string error;
        TAtomicFile file;
        ASSERT_TRUE(file.Open(Path("out.csv"), &error, c.Name)) << c.Label << ": " << error;
        std::fputs("new", file.File());
        EXPECT_TRUE(file.Commit(&error)) << c.Label << ": " << error;
        EXPECT_TRUE(faults.Fired()) << c.Label;
        EXPECT_EQ(ReadFile(Path("out.csv")), "new") << c.Label;
        struct stat info {};
        ASSERT_EQ(stat(Path("out.csv").c_str(), &info), 0);
        EXPECT_EQ(info.st_mode & 0777, 0640u) << c.Label;
        EXPECT_EQ(ListDir(Dir), std::vector<std::string>{"out.csv"}) << c.Label;
    }
}

// The steps in the wrong order, and a destination that another program changed between
// Prepare and Publish: refused, and the destination holds what the other program put there.
TEST_F(FileStepsTest, StepsOutOfOrderAndAChangedDestinationAreRefused) {
    std::string error;
    TAtomicFile early;
    EXPECT_FALSE(early.Prepare(&error));
    EXPECT_TRUE(Contains(error, "not open")) << error;
    EXPECT_FALSE(early.Publish(&error));
    EXPECT_TRUE(Contains(error, "not prepared")) << error;
    EXPECT_TRUE(early.Finish(&error));
    EXPECT_TRUE(early.Rollback()) << "nothing published: nothing to put back";

    struct Case {
        const char* Label;
        bool Existed;
        std::function<void(const std::string&)> Change;
        std::string Left;  // what the destination holds after the refusal ("" = nothing)
    };
    const std::vector<Case> cases = {
        {"a file appeared", false, [](const std::string& p) { WriteFile(p, "other"); }, "other"},
        {"the file went away", true, [](const std::string& p) { fs::remove(p); }, ""},
        {"a folder took the file's place", true,
         [](const std::string& p) {
             fs::remove(p);
             fs::create_directory(p);
         },
         "(folder)"},
    };
    for (const Case& c : cases) {
        fs::remove_all(Path("out.csv"));
        if (c.Existed)
            WriteFile(Path("out.csv"), "old");
        TAtomicFile file;
        ASSERT_TRUE(file.Open(Path("out.csv"), &error)) << error;
        std::fputs("new", file.File());
        ASSERT_TRUE(file.Prepare(&error)) << c.Label << ": " << error;
        c.Change(Path("out.csv"));
        EXPECT_FALSE(file.Publish(&error)) << c.Label;
        EXPECT_TRUE(Contains(error, "cannot replace " + Path("out.csv"))) << error;
        const std::string left = fs::is_directory(Path("out.csv")) ? "(folder)"
                                 : fs::exists(Path("out.csv"))     ? ReadFile(Path("out.csv"))
                                                                   : "";
        EXPECT_EQ(left, c.Left) << c.Label;
        EXPECT_EQ(ListDir(Dir).size(), c.Left.empty() ? 0u : 1u) << c.Label << ": no hidden file";
    }
}

// Published and then left: what the file replaced goes when the file is dropped, and a
// rollback leaves alone a file that another program put at the name meanwhile.
TEST_F(FileStepsTest, APublishedFileStandsWhenDroppedAndAStrangerIsNotRolledBack) {
    std::string error;
    WriteFile(Path("kept.csv"), "old");
    {
        TAtomicFile file;
        ASSERT_TRUE(file.Open(Path("kept.csv"), &error)) << error;
        std::fputs("new", file.File());
        ASSERT_TRUE(file.Prepare(&error) && file.Publish(&error)) << error;
    }
    EXPECT_EQ(ReadFile(Path("kept.csv")), "new");
    EXPECT_EQ(ListDir(Dir), std::vector<std::string>{"kept.csv"});

    TAtomicFile file;
    ASSERT_TRUE(file.Open(Path("new.csv"), &error)) << error;
    std::fputs("new", file.File());
    ASSERT_TRUE(file.Prepare(&error) && file.Publish(&error)) << error;
    fs::remove(Path("new.csv"));
    WriteFile(Path("new.csv"), "another program's");
    EXPECT_TRUE(file.Rollback());
    EXPECT_EQ(ReadFile(Path("new.csv")), "another program's");
}

// A name in the working folder (no folder part) is made and replaced in the working folder.
TEST_F(FileStepsTest, ABareNameIsMadeInTheWorkingFolder) {
    const fs::path before = fs::current_path();
    fs::current_path(Dir);
    for (const TTempName name : {TTempName::Unnamed, TTempName::Named}) {
        std::string error;
        TAtomicFile file;
        ASSERT_TRUE(file.Open("bare.csv", &error, name)) << error;
        std::fputs("bare", file.File());
        EXPECT_TRUE(file.Commit(&error)) << error;
    }
    std::string error;
    TGrowingFile log;
    EXPECT_TRUE(log.Create("bare.log", "head\n", &error)) << error;
    EXPECT_TRUE(log.Close(&error)) << error;
    fs::current_path(before);
    EXPECT_EQ(ReadFile(Path("bare.csv")), "bare");
    EXPECT_EQ(ReadFile(Path("bare.log")), "head\n");
}

TEST_F(FileStepsTest, AGrowingFileRefusesWhatItCannotDoAndRemovesOnlyItself) {
    std::string error;
    WriteFile(Path("taken.log"), "someone's");
    TGrowingFile taken;
    EXPECT_FALSE(taken.Create(Path("taken.log"), "head", &error));
    EXPECT_TRUE(Contains(error, "cannot create " + Path("taken.log") + ": File exists")) << error;
    EXPECT_EQ(ReadFile(Path("taken.log")), "someone's");

    TGrowingFile log;
    ASSERT_TRUE(log.Create(Path("a.log"), "head", &error)) << error;
    {
        // A file that takes no sync (EINVAL: a pipe, some special files) is synced enough.
        TFaultySystemCalls faulty;
        TScopedSystemCalls installed(&faulty);
        faulty.FailAt(TCall::SyncData, 1, EINVAL);
        EXPECT_TRUE(log.Sync(&error)) << error;
        EXPECT_TRUE(faulty.Fired());
    }
    EXPECT_TRUE(log.Close(&error)) << error;
    EXPECT_TRUE(log.Close(&error)) << "closed once";
    EXPECT_FALSE(log.Append("x", 1, "", 0, &error));
    EXPECT_TRUE(Contains(error, "cannot write " + Path("a.log") + ": Bad file descriptor"))
        << error;
    EXPECT_TRUE(log.Sync(&error)) << "nothing open: nothing to sync";
    log.Remove();
    EXPECT_EQ(ReadFile(Path("a.log")), "head") << "a closed file is not removed";

    // Removed while its name still stands for it; left when another file took the name.
    for (const bool replaced : {false, true}) {
        TGrowingFile grown;
        ASSERT_TRUE(grown.Create(Path("b.log"), "head", &error)) << error;
        if (replaced) {
            fs::remove(Path("b.log"));
            WriteFile(Path("b.log"), "another");
        }
        grown.Remove();
        EXPECT_FALSE(grown.IsOpen());
        EXPECT_EQ(n95::test::FileExists(Path("b.log")), replaced);
        fs::remove(Path("b.log"));
    }
}

TEST_F(FileStepsTest, AStreamReportsTheFirstFailureOnceAndClosesItsDescriptor) {
    struct Case {
        const char* Label;
        TFault Fault;
        int Errno;          // what Close reports (0: success)
        std::string Bytes;  // what reached the file
    };
    const std::string text = "0123456789";
    const Case cases[] = {
        {"no failure", {}, 0, text},
        {"a full disk", {TCall::Write, 1, ENOSPC}, ENOSPC, "01234"},
        {"a broken pipe", {TCall::Write, 1, EPIPE}, EPIPE, "01234"},
        {"a failing close", {TCall::Close, 1, EIO}, EIO, text},
    };
    for (const Case& c : cases) {
        const int fd = open(Path("stream").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        ASSERT_GE(fd, 0);
        TFaultySystemCalls faulty;
        TScopedSystemCalls installed(&faulty);
        if (c.Fault.N > 0)
            faulty.FailAt(c.Fault.Kind, c.Fault.N, c.Fault.Errno);
        TWriteStream stream;
        ASSERT_NE(stream.Open(fd, 64), nullptr);
        std::fputs(text.c_str(), stream.File());
        int errnum = 0;
        EXPECT_EQ(stream.Flush(&errnum) && stream.Flush(&errnum), c.Fault.Kind != TCall::Write)
            << c.Label;
        if (c.Fault.Kind == TCall::Write) {
            EXPECT_EQ(errnum, c.Errno) << c.Label;
        }
        // More after a failure changes nothing: the first cause is the one reported.
        std::fputs(text.c_str(), stream.File());
        if (c.Fault.Kind == TCall::Write) {
            EXPECT_EQ(stream.Error(), c.Errno) << c.Label;
        }
        errnum = 0;
        EXPECT_EQ(stream.Close(&errnum), c.Errno == 0) << c.Label;
        EXPECT_EQ(errnum, c.Errno) << c.Label;
        EXPECT_TRUE(stream.Close(&errnum)) << c.Label << ": reported once";
        EXPECT_EQ(fcntl(fd, F_GETFD), -1) << c.Label << ": the descriptor is closed";
        const std::string bytes = ReadFile(Path("stream"));
        EXPECT_EQ(bytes.substr(0, c.Bytes.size()), c.Bytes) << c.Label;
        if (c.Errno == 0 || c.Fault.Kind == TCall::Close) {
            EXPECT_EQ(bytes, text + text) << c.Label;
        }
    }

    // A stream opened again lets go of the first one; a detached stream is the caller's, and
    // its failures are still this object's to report.
    TWriteStream stream;
    const int first = open(Path("first").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
    ASSERT_NE(stream.Open(first, 64), nullptr);
    std::fputs("first", stream.File());
    ASSERT_NE(stream.Open(open("/dev/full", O_WRONLY | O_CLOEXEC), 64), nullptr);
    EXPECT_EQ(ReadFile(Path("first")), "first");
    EXPECT_EQ(fcntl(first, F_GETFD), -1);
    FILE* detached = stream.Detach();
    EXPECT_EQ(stream.File(), nullptr);
    std::fputs("lost", detached);
    std::fclose(detached);
    int errnum = 0;
    EXPECT_FALSE(stream.Flush(&errnum));
    EXPECT_EQ(errnum, ENOSPC);
    EXPECT_FALSE(stream.Close(&errnum));
    EXPECT_TRUE(stream.Close(&errnum));

    // A stream dropped without a Close still pushes its bytes and closes its descriptor.
    const int last = open(Path("last").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
    {
        TWriteStream dropped;
        ASSERT_NE(dropped.Open(last, 64), nullptr);
        std::fputs("last", dropped.File());
    }
    EXPECT_EQ(ReadFile(Path("last")), "last");
    EXPECT_EQ(fcntl(last, F_GETFD), -1);
}

TEST_F(FileStepsTest, OnlyTheDescriptorSpellingsNameDescriptors) {
    const std::pair<std::string, int> cases[] = {
        {"-", 1},
        {"/dev/stdout", 1},
        {"/dev/stderr", 2},
        {"/dev/fd/0", 0},
        {"/dev/fd/17", 17},
        {"/proc/self/fd/123456789", 123456789},
        {"/proc/self/fd/1234567890", -1},  // longer than any descriptor number
        {"/dev/fd/", -1},
        {"/dev/fd/1x", -1},
        {"/dev/fd/-1", -1},
        {"/dev/fdx1", -1},
        {"/proc/self/fd", -1},
        {"stdout", -1},
        {"", -1},
    };
    for (const auto& [name, fd] : cases) {
        EXPECT_EQ(DescriptorOfName(name), fd) << name;
        EXPECT_EQ(WritesStandardOutput(name), fd == 1) << name;
    }
    EXPECT_EQ(OutputDisplayName("-"), "standard output");
    EXPECT_EQ(OutputDisplayName("/dev/stdout"), "/dev/stdout");
}

// A name that cannot be looked at or written is refused when it is resolved, with the cause;
// one whose name limit cannot be told is tried.
TEST_F(FileStepsTest, AnOutputThatCannotBeLookedAtIsRefusedWithTheCause) {
    WriteFile(Path("file"), "x");
    fs::create_symlink(Path("file"), Path("absolute"));
    struct Case {
        std::string Name;
        TFault Fault;
        std::string Error;  // "" = resolves
    };
    const std::vector<Case> cases = {
        {Path("absolute"), {}, ""},
        {Path("absolute"), {TCall::ReadLink, 1, EIO}, "cannot write " + Path("absolute")},
        {Path("file"), {TCall::Status, 1, EACCES}, "cannot write " + Path("file")},
        {Path("file"), {TCall::Status, 2, EIO}, "cannot write " + Path("file")},
        {Path("new.csv"), {TCall::Status, 3, EACCES}, "cannot create " + Path("new.csv")},
        {Path("new.csv"), {TCall::Access, 1, EROFS}, "cannot create " + Path("new.csv")},
        {Path("file"), {TCall::Access, 2, EACCES}, "cannot replace " + Path("file")},
        {Path("new.csv"), {TCall::NameMax, 1, EINVAL}, ""},
        {"/dev/stderr", {TCall::DescriptorAccess, 1, EBADF}, "cannot write /dev/stderr"},
    };
    for (const Case& c : cases) {
        TFaultySystemCalls faulty;
        TScopedSystemCalls installed(&faulty);
        if (c.Fault.N > 0)
            faulty.FailAt(c.Fault.Kind, c.Fault.N, c.Fault.Errno);
        TOutputTarget target;
        std::string error;
        EXPECT_EQ(ResolveOutputTarget(c.Name, target, &error), c.Error.empty())
            << c.Name << ": " << error;
        EXPECT_EQ(faulty.Fired(), c.Fault.N > 0) << c.Name;
        if (!c.Error.empty()) {
            EXPECT_TRUE(Contains(error, c.Error + ": " + std::strerror(c.Fault.Errno))) << error;
        } else {
            EXPECT_EQ(target.Path, Path(c.Name == Path("absolute") ? "file" : "new.csv"));
        }
    }
    // A disk is never an output.
    struct stat info {};
    if (stat("/dev/loop0", &info) == 0 && S_ISBLK(info.st_mode)) {
        TOutputTarget target;
        std::string error;
        EXPECT_FALSE(ResolveOutputTarget("/dev/loop0", target, &error));
        EXPECT_TRUE(Contains(error, "block device")) << error;
    }
}

}  // namespace
}  // namespace n95::host
