// The host's files on file systems that lack what it prefers: unnamed files (O_TMPFILE),
// /proc to name them through, renames that exchange or refuse to replace (renameat2), hard
// links. Each fallback is swept with every call of a clean run failing in turn, as the
// output sets are in FaultSweepTest: a file replaces its destination whole or not at all, a
// rollback puts back what was there or says where it left it, and a growing file keeps whole
// appends.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <functional>

#include "host/common/AtomicFile.h"
#include "host/common/FaultySystemCalls.h"
#include "host/common/GrowingFile.h"
#include "tests/host/HostTestSupport.h"

namespace n95::host {
namespace {

namespace fs = std::filesystem;
using TCall = TSystemCalls::TCall;
using n95::test::ListDir;
using n95::test::ReadFile;
using n95::test::WriteFile;

// What a file system lacks.
enum TLacks : unsigned {
    kLacksNothing = 0,
    kNoUnnamedFiles = 1u << 0,  // open(O_TMPFILE) answers EOPNOTSUPP
    kNoProc = 1u << 1,          // unnamed files cannot be named: /proc is not mounted
    kNoRenameFlags = 1u << 2,   // renameat2 with a flag answers EINVAL
    kNoHardLinks = 1u << 3,     // link answers EPERM (FAT, some network file systems)
};

// The real calls, less what `Lacks` takes away.
class TPlainSystemCalls final : public TSystemCalls {
public:
    explicit TPlainSystemCalls(unsigned lacks) : Lacks(lacks) {}
    bool SupportsBaud(int baud) override { return Real.SupportsBaud(baud); }

protected:
    int DoOpen(const std::string& p, unsigned f, unsigned m) override { return Real.Open(p, f, m); }
    int DoOpenUnnamed(const std::string& folder, unsigned mode) override {
        return (Lacks & kNoUnnamedFiles) != 0 ? Fail(EOPNOTSUPP) : Real.OpenUnnamed(folder, mode);
    }
    std::string DoUnnamedPath(int fd) override {
        return (Lacks & kNoProc) != 0 ? "" : Real.UnnamedPath(fd);
    }
    int DoCreateUnique(std::string& pattern) override { return Real.CreateUnique(pattern); }
    int DoDuplicate(int fd, int lowest) override { return Real.Duplicate(fd, lowest); }
    ssize_t DoRead(int fd, void* b, std::size_t n) override { return Real.Read(fd, b, n); }
    ssize_t DoWrite(int fd, const void* d, std::size_t n) override { return Real.Write(fd, d, n); }
    ssize_t DoWriteGathered(int fd, const TBytes* p, int n) override {
        return Real.WriteGathered(fd, p, n);
    }
    int DoSyncData(int fd) override { return Real.SyncData(fd); }
    int DoTruncate(int fd, uint64_t size) override { return Real.Truncate(fd, size); }
    int DoRewind(int fd) override { return Real.Rewind(fd); }
    int DoClose(int fd) override { return Real.Close(fd); }
    int DoStatus(const std::string& p, TFileInfo& i, bool follow) override {
        return Real.Status(p, i, follow);
    }
    int DoStatusOf(int fd, TFileInfo& info) override { return Real.StatusOf(fd, info); }
    int DoReadLink(const std::string& p, std::string& t) override { return Real.ReadLink(p, t); }
    int DoAccess(const std::string& p, int flags) override { return Real.Access(p, flags); }
    long DoNameMax(const std::string& folder) override { return Real.NameMax(folder); }
    unsigned DoCreationMask() override { return Real.CreationMask(); }
    int DoLink(const std::string& from, const std::string& to) override {
        return (Lacks & kNoHardLinks) != 0 ? Fail(EPERM) : Real.Link(from, to);
    }
    int DoRename(const std::string& from, const std::string& to, TRenameMode mode) override {
        return (Lacks & kNoRenameFlags) != 0 && mode != TRenameMode::Replace
                   ? Fail(EINVAL)
                   : Real.Rename(from, to, mode);
    }
    int DoUnlink(const std::string& path) override { return Real.Unlink(path); }
    int DoChangeMode(int fd, unsigned mode) override { return Real.ChangeMode(fd, mode); }
    int DoChangeOwner(int fd, uint32_t o, uint32_t g) override {
        return Real.ChangeOwner(fd, o, g);
    }
    int DoDescriptorAccess(int fd) override { return Real.DescriptorAccess(fd); }
    int DoSetBlocking(int fd) override { return Real.SetBlocking(fd); }
    int DoConnectLocal(const std::string& path) override { return Real.ConnectLocal(path); }
    int DoPoll(TPollEntry* e, int n, int timeoutMs) override { return Real.Poll(e, n, timeoutMs); }
    int DoIsTerminal(int fd) override { return Real.IsTerminal(fd); }
    int DoMakeRawTerminal(int fd, int baud) override { return Real.MakeRawTerminal(fd, baud); }
    int DoFlushTerminal(int fd, bool input) override { return Real.FlushTerminal(fd, input); }
    int DoLockExclusive(int fd) override { return Real.LockExclusive(fd); }

private:
    static int Fail(int errnum) {
        errno = errnum;
        return -1;
    }

    TSystemCalls& Real = TSystemCalls::Default();
    unsigned Lacks;
};

struct TFileSystemCase {
    const char* Name;
    unsigned Lacks;
};

const TFileSystemCase kFileSystems[] = {
    {"a full-featured file system", kLacksNothing},
    {"no unnamed files", kNoUnnamedFiles},
    {"no /proc", kNoProc},
    {"no rename flags", kNoRenameFlags},
    // An unnamed file is named by a hard link: where there are none, there are none of them.
    {"no unnamed files, no hard links", kNoUnnamedFiles | kNoHardLinks},
    {"none of them", kNoUnnamedFiles | kNoRenameFlags | kNoHardLinks},
};

constexpr int kErrnos[] = {ENOSPC, EIO, EINTR, EACCES};

// Failures a step survives by design (see FaultSweepTest): a name limit that cannot be told,
// an owner that cannot be given, a close after the data is safe.
bool Tolerated(TCall kind) {
    return kind == TCall::NameMax || kind == TCall::ChangeOwner || kind == TCall::Close;
}

std::string Where(const TFileSystemCase& fs, bool existed, const TFaultySystemCalls& faulty,
                  int errnum, uint64_t n) {
    return std::string(fs.Name) + (existed ? ", replacing" : ", new") + ": " +
           std::strerror(errnum) + " at call " + std::to_string(n) + " (" +
           TFaultySystemCalls::Name(faulty.FiredCall()) + ")";
}

class PlainFileSystemTest : public n95::test::ScratchDirTest {
protected:
    // The destination as the case starts: "old" with mode 0640, or nothing.
    void Restore(bool existed) {
        for (const auto& entry : fs::directory_iterator(Dir))
            fs::remove_all(entry.path());
        if (existed) {
            WriteFile(Path("out.csv"), "old");
            chmod(Path("out.csv").c_str(), 0640);
        }
    }
    // The folder's names, and the destination's bytes and mode ("" and 0 when missing).
    std::string State() const {
        std::string state;
        for (const std::string& name : ListDir(Dir))
            state += name + " ";
        struct stat info {};
        if (stat(Path("out.csv").c_str(), &info) == 0)
            state += ReadFile(Path("out.csv")) + " " + std::to_string(info.st_mode & 0777);
        return state;
    }
};

// Open, write, Commit: the destination is replaced whole, with its mode, or left as it was,
// with nothing beside it.
TEST_F(PlainFileSystemTest, AFileReplacesItsDestinationWholeOrNotAtAll) {
    const mode_t mask = umask(022);
    for (const TFileSystemCase& c : kFileSystems) {
        for (const bool existed : {true, false}) {
            TPlainSystemCalls plain(c.Lacks);
            TFaultySystemCalls faulty(plain);
            TScopedSystemCalls installed(&faulty);
            const auto commit = [&](std::string* error) {
                TAtomicFile file;
                if (!file.Open(Path("out.csv"), error))
                    return false;
                std::fputs("new", file.File());
                return file.Flush(error) && file.Commit(error);
            };
            Restore(existed);
            const std::string before = State();
            std::string error;
            ASSERT_TRUE(commit(&error)) << c.Name << ": " << error;
            const std::string clean = State();
            EXPECT_EQ(clean, existed ? "out.csv new 416" : "out.csv new 420") << c.Name;
            const uint64_t calls = faulty.Calls();
            for (const int errnum : kErrnos) {
                for (uint64_t n = 1; n <= calls; ++n) {
                    Restore(existed);
                    faulty.Reset();
                    faulty.FailAt(TCall::Count, n, errnum);
                    error.clear();
                    const bool ok = commit(&error);
                    const std::string where = Where(c, existed, faulty, errnum, n);
                    if (errnum == EINTR || !faulty.Fired() || (ok && Tolerated(faulty.FiredCall())))
                        EXPECT_TRUE(ok && State() == clean) << where << ": " << error;
                    else if (!ok && error.find("left at") != std::string::npos)
                        EXPECT_EQ(ReadFile(Path("out.csv")), "new") << where;  // stands
                    else
                        EXPECT_TRUE(!ok && State() == before && !error.empty())
                            << where << ": " << State() << " " << error;
                    if (HasFailure())
                        return umask(mask), void();
                }
            }
        }
    }
    umask(mask);
}

// Published, then taken back: what stood at the name is back, or (when it cannot be put back)
// kept under the name KeptAs tells, or the new file stands; never nothing where something was.
TEST_F(PlainFileSystemTest, ARollbackPutsBackOrKeepsWhatWasReplaced) {
    for (const TFileSystemCase& c : kFileSystems) {
        for (const bool existed : {true, false}) {
            TPlainSystemCalls plain(c.Lacks);
            TFaultySystemCalls faulty(plain);
            TScopedSystemCalls installed(&faulty);
            const bool oldKept =
                !existed || (c.Lacks & kNoHardLinks) == 0 || (c.Lacks & kNoRenameFlags) == 0;
            for (const int errnum : kErrnos) {
                for (uint64_t n = 1;; ++n) {
                    Restore(existed);
                    faulty.Reset();
                    std::string error;
                    TAtomicFile file;
                    ASSERT_TRUE(file.Open(Path("out.csv"), &error)) << error;
                    std::fputs("new", file.File());
                    ASSERT_TRUE(file.Prepare(&error) && file.Publish(&error))
                        << c.Name << ": " << error;
                    ASSERT_EQ(ReadFile(Path("out.csv")), "new");
                    faulty.Reset();
                    faulty.FailAt(TCall::Count, n, errnum);
                    errno = 0;
                    const bool ok = file.Rollback();
                    const int rollbackErrno = errno;
                    const std::string where = Where(c, existed, faulty, errnum, n);
                    if (ok) {
                        EXPECT_EQ(State(), existed ? "out.csv old 416" : "") << where;
                    } else if (!file.KeptAs().empty()) {
                        EXPECT_EQ(ReadFile(file.KeptAs()), "old") << where;
                        EXPECT_TRUE(faulty.Fired()) << where;
                    } else {
                        // Nothing kept to put back, or the new file could not be taken away.
                        EXPECT_EQ(ReadFile(Path("out.csv")), "new") << where;
                        EXPECT_NE(rollbackErrno, 0) << where;
                        EXPECT_TRUE(!oldKept || faulty.Fired()) << where;
                    }
                    const bool clean =
                        errnum == EINTR || !faulty.Fired() || Tolerated(faulty.FiredCall());
                    EXPECT_EQ(ok, clean && oldKept) << where;
                    if (HasFailure() || !faulty.Fired())
                        break;
                }
                if (HasFailure())
                    return;
            }
        }
    }
}

// A growing file made where there are no unnamed files is created under its name: a fault
// leaves whole appends or no file, and the caller is told.
TEST_F(PlainFileSystemTest, AGrowingFileWithoutUnnamedFilesKeepsWholeAppends) {
    const std::vector<std::string> lines = {"header\n", "first line\n", "second line\n",
                                            "third line\n"};
    for (const TFileSystemCase& c : kFileSystems) {
        TPlainSystemCalls plain(c.Lacks);
        TFaultySystemCalls faulty(plain);
        TScopedSystemCalls installed(&faulty);
        const auto write = [&](std::string* error) {
            TGrowingFile log;
            if (!log.Create(Path("log.txt"), lines[0], error))
                return false;
            for (std::size_t i = 1; i < lines.size(); ++i)
                if (!log.Append(lines[i].data(), lines[i].size(), "", 0, error) || !log.Sync(error))
                    return false;
            return log.Close(error);
        };
        Restore(false);
        std::string error;
        ASSERT_TRUE(write(&error)) << c.Name << ": " << error;
        const uint64_t calls = faulty.Calls();
        for (const int errnum : kErrnos) {
            for (uint64_t n = 1; n <= calls; ++n) {
                Restore(false);
                faulty.Reset();
                faulty.FailAt(TCall::Count, n, errnum);
                error.clear();
                const bool ok = write(&error);
                const std::string where = Where(c, false, faulty, errnum, n);
                if (!Tolerated(faulty.FiredCall())) {
                    EXPECT_EQ(ok, errnum == EINTR || !faulty.Fired()) << where << ": " << error;
                }
                const std::vector<std::string> names = ListDir(Dir);
                if (!names.empty()) {
                    ASSERT_EQ(names, std::vector<std::string>{"log.txt"}) << where;
                    const std::string text = ReadFile(Path("log.txt"));
                    std::string whole;
                    for (std::size_t i = 0; i < lines.size() && whole.size() < text.size(); ++i)
                        whole += lines[i];
                    EXPECT_EQ(text, whole) << where << ": a torn append";
                }
                if (HasFailure())
                    return;
            }
        }
    }
}

}  // namespace
}  // namespace n95::host
