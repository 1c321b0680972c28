// The system-call seam: the POSIX implementation answers as the calls it is named after do
// (kinds of file, access modes, sockets, terminals, renames), and the test double passes
// every call through but the one it was told to fail.
#include "host/common/SystemCalls.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <functional>
#include <set>

#include "host/common/FaultySystemCalls.h"
#include "tests/host/HostTestSupport.h"

namespace n95::host {
namespace {

using TCall = TSystemCalls::TCall;
using n95::test::ReadFile;
using n95::test::WriteFile;

// A listening local socket at `path`; its descriptor (closed by the caller), or -1.
int Listen(const std::string& path) {
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
    if (fd < 0 || bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
        listen(fd, 4) != 0) {
        if (fd >= 0)
            close(fd);
        return -1;
    }
    return fd;
}

class SystemCallsTest : public n95::test::ScratchDirTest {
protected:
    void SetUp() override {
        ScratchDirTest::SetUp();
        WriteFile(Path("file"), "contents");
        std::filesystem::create_symlink("file", Path("link"));
        ASSERT_EQ(mkfifo(Path("fifo").c_str(), 0600), 0);
        Listener = Listen(Path("socket"));
        ASSERT_GE(Listener, 0);
        ReadFd = open(Path("file").c_str(), O_RDONLY | O_CLOEXEC);
        WriteFd = open(Path("out").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
        ASSERT_GE(ReadFd, 0);
        ASSERT_GE(WriteFd, 0);
        ASSERT_FALSE(Terminal.Slave.empty());
        TerminalFd = open(Terminal.Slave.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
        ASSERT_GE(TerminalFd, 0);
    }
    void TearDown() override {
        for (const int fd : {Listener, ReadFd, WriteFd, TerminalFd})
            if (fd >= 0)
                close(fd);
        ScratchDirTest::TearDown();
    }

    int Listener = -1, ReadFd = -1, WriteFd = -1, TerminalFd = -1;
    n95::test::Pty Terminal;
};

TEST_F(SystemCallsTest, TheFileKindsAndAccessModesAreTold) {
    TSystemCalls& system = TSystemCalls::Default();
    struct Case {
        std::string Path;
        bool FollowLinks;
        TFileKind Kind;
    };
    std::vector<Case> cases = {
        {Path("file"), true, TFileKind::Regular},  {Path("link"), true, TFileKind::Regular},
        {Path("link"), false, TFileKind::Link},    {Dir, true, TFileKind::Directory},
        {Path("fifo"), true, TFileKind::Fifo},     {Path("socket"), true, TFileKind::Socket},
        {"/dev/null", true, TFileKind::CharDevice}};
    if (struct stat info{}; stat("/dev/loop0", &info) == 0 && S_ISBLK(info.st_mode))
        cases.push_back({"/dev/loop0", true, TFileKind::BlockDevice});
    for (const Case& c : cases) {
        TFileInfo info;
        ASSERT_EQ(system.Status(c.Path, info, c.FollowLinks), 0) << c.Path;
        EXPECT_EQ(info.Kind, c.Kind) << c.Path << (c.FollowLinks ? "" : " (the link itself)");
    }
    TFileInfo info;
    EXPECT_EQ(system.Status(Path("missing"), info), -1);
    EXPECT_EQ(errno, ENOENT);

    struct OpenCase {
        unsigned Flags;
        int Access;  // what DescriptorAccess tells; -1: the open fails
        int Errno;
    };
    const OpenCase opens[] = {
        {kOpenRead, kDescriptorRead, 0},
        {kOpenWrite, kDescriptorWrite, 0},
        {kOpenReadWrite, kDescriptorRead | kDescriptorWrite, 0},
        {kOpenWrite | kOpenNonBlock | kOpenNoTerminal, kDescriptorWrite, 0},
        {kOpenWrite | kOpenCreate | kOpenExclusive, -1, EEXIST},
    };
    for (const OpenCase& c : opens) {
        const int fd = system.Open(Path("file"), c.Flags);
        EXPECT_EQ(fd >= 0, c.Access >= 0) << c.Flags;
        if (fd < 0) {
            EXPECT_EQ(errno, c.Errno) << c.Flags;
            continue;
        }
        EXPECT_EQ(system.DescriptorAccess(fd), c.Access) << c.Flags;
        EXPECT_EQ(system.SetBlocking(fd), 0);
        EXPECT_EQ(fcntl(fd, F_GETFL) & O_NONBLOCK, 0) << c.Flags;
        EXPECT_EQ(fcntl(fd, F_GETFD) & FD_CLOEXEC, FD_CLOEXEC) << "made close-on-exec";
        system.Close(fd);
        // Closed: neither call finds it.
        EXPECT_EQ(system.DescriptorAccess(fd), -1);
        EXPECT_EQ(system.SetBlocking(fd), -1);
        EXPECT_EQ(errno, EBADF);
    }
    const mode_t mask = umask(027);
    EXPECT_EQ(system.CreationMask(), 027u);
    EXPECT_EQ(umask(mask), 027u) << "reading the umask leaves it as it was";
    EXPECT_EQ(system.NameMax(Path("missing")), -1);
    EXPECT_GT(system.NameMax(Dir), 0);
    std::string target;
    EXPECT_EQ(system.ReadLink(Path("file"), target), -1);
    EXPECT_EQ(errno, EINVAL) << "not a link";
}

TEST_F(SystemCallsTest, RenamesReplaceRefuseOrExchangeAsAsked) {
    TSystemCalls& system = TSystemCalls::Default();
    WriteFile(Path("a"), "a");
    WriteFile(Path("b"), "b");
    EXPECT_EQ(system.Rename(Path("a"), Path("b"), TRenameMode::NoReplace), -1);
    EXPECT_EQ(errno, EEXIST);
    ASSERT_EQ(system.Rename(Path("a"), Path("b"), TRenameMode::Exchange), 0);
    EXPECT_EQ(ReadFile(Path("a")), "b");
    EXPECT_EQ(ReadFile(Path("b")), "a");
    EXPECT_EQ(system.Rename(Path("a"), Path("c"), TRenameMode::Exchange), -1)
        << "an exchange needs both names";
    EXPECT_EQ(system.Rename(Path("a"), Path("c"), TRenameMode::NoReplace), 0);
    EXPECT_EQ(system.Rename(Path("c"), Path("b"), TRenameMode::Replace), 0);
    EXPECT_EQ(ReadFile(Path("b")), "b");
    EXPECT_FALSE(n95::test::FileExists(Path("c")));
}

TEST_F(SystemCallsTest, SocketsPollsTerminalsAndLocks) {
    TSystemCalls& system = TSystemCalls::Default();
    // A local socket: connected when one listens, the name checked against what fits.
    const int connected = system.ConnectLocal(Path("socket"));
    EXPECT_GE(connected, 0);
    EXPECT_EQ(system.ConnectLocal(Path("missing")), -1);
    EXPECT_EQ(errno, ENOENT);
    EXPECT_EQ(system.ConnectLocal("/" + std::string(200, 's')), -1);
    EXPECT_EQ(errno, ENAMETOOLONG);

    // Poll: what each entry found, nothing at all on a time-out.
    int pipeFds[2];
    ASSERT_EQ(pipe2(pipeFds, O_CLOEXEC), 0);
    TPollEntry entries[2] = {{pipeFds[0], kPollIn, 0}, {pipeFds[1], kPollOut, 0}};
    EXPECT_EQ(system.Poll(entries, 1, 0), 0);
    EXPECT_EQ(entries[0].Found, 0);
    ASSERT_EQ(system.Write(pipeFds[1], "x", 1), 1);
    EXPECT_EQ(system.Poll(entries, 2, 1000), 2);
    EXPECT_EQ(entries[0].Found, kPollIn);
    EXPECT_EQ(entries[1].Found, kPollOut);
    system.Close(pipeFds[1]);
    EXPECT_EQ(system.Poll(entries, 2, 1000), 2);
    EXPECT_NE(entries[0].Found & kPollHangUp, 0) << "the writer has gone";
    EXPECT_EQ(entries[1].Found, kPollInvalid) << "a closed descriptor";
    system.Close(pipeFds[0]);
    TPollEntry broken{connected, kPollOut, 0};
    close(Listener);
    Listener = -1;
    EXPECT_EQ(system.Poll(&broken, 1, 1000), 1);
    EXPECT_NE(broken.Found & (kPollHangUp | kPollError), 0) << "the listener has gone";
    system.Close(connected);

    // Terminals: raw mode at a speed the table has, flushed either way.
    EXPECT_TRUE(system.SupportsBaud(115200));
    EXPECT_FALSE(system.SupportsBaud(115201));
    EXPECT_EQ(system.IsTerminal(TerminalFd), 0);
    EXPECT_EQ(system.IsTerminal(ReadFd), -1);
    EXPECT_EQ(system.MakeRawTerminal(TerminalFd, 115200), 0);
    EXPECT_EQ(system.MakeRawTerminal(TerminalFd, 115201), -1);
    EXPECT_EQ(errno, EINVAL);
    EXPECT_EQ(system.MakeRawTerminal(ReadFd, 9600), -1);
    EXPECT_EQ(errno, ENOTTY);
    EXPECT_EQ(system.FlushTerminal(TerminalFd, true), 0);
    EXPECT_EQ(system.FlushTerminal(TerminalFd, false), 0);

    // A lock held through one open file refuses another.
    const int second = system.Open(Path("file"), kOpenRead);
    EXPECT_EQ(system.LockExclusive(ReadFd), 0);
    EXPECT_EQ(system.LockExclusive(second), -1);
    EXPECT_EQ(errno, EWOULDBLOCK);
    system.Close(second);
}

// One call of each kind, made on the fixture's files; its result (negative: failed).
struct TCallCase {
    TCall Kind;
    std::function<long(TSystemCalls&)> Make;
};

TEST_F(SystemCallsTest, TheDoubleFailsTheChosenCallOfAKindAndPassesTheOthers) {
    int made = 0;  // a fresh name for the calls that create one
    const auto fresh = [&] { return Path("made-" + std::to_string(++made)); };
    const auto closing = [](TSystemCalls& s, int fd) -> long {
        if (fd >= 0)
            s.Close(fd);
        return fd;
    };
    char byte;
    TFileInfo info;
    std::string text;
    void* plugin = TSystemCalls::Default().LoadModule(N95_PLUGIN_PATH, &text);
    ASSERT_NE(plugin, nullptr) << text;
    const std::vector<TCallCase> cases = {
        {TCall::Open, [&](auto& s) { return closing(s, s.Open(Path("file"), kOpenRead)); }},
        {TCall::OpenUnnamed, [&](auto& s) { return closing(s, s.OpenUnnamed(Dir, 0600)); }},
        {TCall::CreateUnique,
         [&](auto& s) {
             std::string pattern = Path("u-XXXXXX");
             return closing(s, s.CreateUnique(pattern));
         }},
        {TCall::Duplicate, [&](auto& s) { return closing(s, s.Duplicate(ReadFd, 10)); }},
        {TCall::Read, [&](auto& s) { return s.Read(ReadFd, &byte, 1); }},
        {TCall::Write, [&](auto& s) { return s.Write(WriteFd, "w", 1); }},
        {TCall::WriteGathered,
         [&](auto& s) {
             const TBytes piece{"g", 1};
             return s.WriteGathered(WriteFd, &piece, 1);
         }},
        {TCall::SyncData, [&](auto& s) { return s.SyncData(WriteFd); }},
        {TCall::Truncate, [&](auto& s) { return s.Truncate(WriteFd, 0); }},
        {TCall::Rewind, [&](auto& s) { return s.Rewind(ReadFd); }},
        {TCall::Close, [&](auto& s) { return s.Close(dup(ReadFd)); }},
        {TCall::Status, [&](auto& s) { return s.Status(Path("file"), info); }},
        {TCall::StatusOf, [&](auto& s) { return s.StatusOf(ReadFd, info); }},
        {TCall::ReadLink, [&](auto& s) { return s.ReadLink(Path("link"), text); }},
        {TCall::Access, [&](auto& s) { return s.Access(Dir, kAccessWrite | kAccessSearch); }},
        {TCall::NameMax, [&](auto& s) { return s.NameMax(Dir); }},
        {TCall::Link, [&](auto& s) { return s.Link(Path("file"), fresh()); }},
        {TCall::Rename,
         [&](auto& s) { return s.Rename(Path("file"), Path("file"), TRenameMode::Replace); }},
        {TCall::Unlink,
         [&](auto& s) {
             const std::string path = fresh();
             WriteFile(path, "");
             return s.Unlink(path);
         }},
        {TCall::ChangeMode, [&](auto& s) { return s.ChangeMode(WriteFd, 0600); }},
        {TCall::ChangeOwner,
         [&](auto& s) { return s.ChangeOwner(WriteFd, uint32_t(-1), uint32_t(-1)); }},
        {TCall::DescriptorAccess, [&](auto& s) { return s.DescriptorAccess(ReadFd); }},
        {TCall::SetBlocking, [&](auto& s) { return s.SetBlocking(ReadFd); }},
        {TCall::ConnectLocal, [&](auto& s) { return closing(s, s.ConnectLocal(Path("socket"))); }},
        {TCall::Poll,
         [&](auto& s) {
             TPollEntry entry{ReadFd, kPollIn, 0};
             return s.Poll(&entry, 1, 0);
         }},
        {TCall::IsTerminal, [&](auto& s) { return s.IsTerminal(TerminalFd); }},
        {TCall::MakeRawTerminal, [&](auto& s) { return s.MakeRawTerminal(TerminalFd, 9600); }},
        {TCall::FlushTerminal, [&](auto& s) { return s.FlushTerminal(TerminalFd, true); }},
        {TCall::LockExclusive, [&](auto& s) { return s.LockExclusive(WriteFd); }},
        {TCall::ProcessUsage,
         [&](auto& s) {
             TProcessUsage usage;
             return s.ProcessUsage(usage);
         }},
        {TCall::CatchStopRequests, [&](auto& s) { return s.CatchStopRequests([] {}); }},
        {TCall::LoadModule,
         [&](auto& s) -> long {
             void* module = s.LoadModule(N95_PLUGIN_PATH, &text);
             if (module == nullptr)
                 return -1;
             s.UnloadModule(module);
             return 0;
         }},
        {TCall::ModuleSymbol,
         [&](auto& s) -> long {
             return s.ModuleSymbol(plugin, "GetDllDevice", &text) != nullptr ? 0 : -1;
         }},
    };
    ASSERT_EQ(cases.size(), static_cast<std::size_t>(TCall::Count)) << "a kind without a case";
    std::set<std::string> names;
    for (const TCallCase& c : cases) {
        const char* name = TFaultySystemCalls::Name(c.Kind);
        EXPECT_TRUE(names.insert(name).second) << name << " names two kinds";
        TFaultySystemCalls faulty;
        faulty.FailAt(c.Kind, 2, EIO);
        EXPECT_GE(c.Make(faulty), 0) << name << ": the first call passes";
        EXPECT_FALSE(faulty.Fired()) << name;
        errno = 0;
        EXPECT_EQ(c.Make(faulty), -1) << name << ": the second fails";
        EXPECT_EQ(errno, EIO) << name;
        EXPECT_TRUE(faulty.Fired()) << name;
        EXPECT_EQ(faulty.FiredCall(), c.Kind) << name;
        EXPECT_GE(c.Make(faulty), 0) << name << ": the fault fires once";
        EXPECT_EQ(faulty.Calls(c.Kind), 3u) << name;
        EXPECT_GE(faulty.Calls(), 3u) << name << ": of every kind";
        // An interruption is retried, except by Poll, whose caller's wait a stop must end;
        // an interrupted close is a close.
        faulty.Reset();
        EXPECT_EQ(faulty.Calls(), 0u);
        faulty.FailAt(TCall::Count, 1, EINTR);
        errno = 0;
        const long interrupted = c.Make(faulty);
        if (c.Kind == TCall::Poll) {
            EXPECT_EQ(interrupted, -1);
            EXPECT_EQ(errno, EINTR);
        } else {
            EXPECT_GE(interrupted, 0) << name << ": an interruption is retried";
        }
        EXPECT_TRUE(faulty.Fired()) << name;
    }
    TSystemCalls::Default().UnloadModule(plugin);
    for (const int signal : {SIGINT, SIGTERM, SIGHUP, SIGPIPE})
        std::signal(signal, SIG_DFL);  // as before the stop requests' case
    EXPECT_STREQ(TFaultySystemCalls::Name(TCall::Count), "any");
}

// A faulted write takes half of what it was given, as a filling disk does, and the next write
// of its kind fails; without ShortWrites (or for one byte) the faulted write fails whole.
TEST_F(SystemCallsTest, TheDoubleWritesHalfBeforeItFails) {
    struct Case {
        TCall Kind;
        bool ShortWrites;
        std::size_t Size;
        long First;  // what the faulted call returns
    };
    const Case cases[] = {
        {TCall::Write, true, 10, 5},         {TCall::Write, false, 10, -1},
        {TCall::Write, true, 1, -1},         {TCall::WriteGathered, true, 10, 5},
        {TCall::WriteGathered, true, 16, 8}, {TCall::WriteGathered, false, 16, -1},
        {TCall::WriteGathered, true, 1, -1},
    };
    for (const Case& c : cases) {
        const std::string what = std::string(TFaultySystemCalls::Name(c.Kind)) + " of " +
                                 std::to_string(c.Size) +
                                 (c.ShortWrites ? " (short writes)" : " (whole failures)");
        ASSERT_EQ(ftruncate(WriteFd, 0), 0);
        ASSERT_EQ(lseek(WriteFd, 0, SEEK_SET), 0);
        const std::string bytes = std::string("0123456789abcdef").substr(0, c.Size);
        // Two pieces where there are enough bytes: the half may end in either.
        const std::size_t split = c.Size > 12 ? 12 : c.Size;
        const TBytes pieces[2] = {{bytes.data(), split}, {bytes.data() + split, c.Size - split}};
        TFaultySystemCalls faulty;
        faulty.ShortWrites = c.ShortWrites;
        faulty.FailAt(c.Kind, 1, ENOSPC);
        const auto write = [&] {
            return c.Kind == TCall::Write
                       ? faulty.Write(WriteFd, bytes.data(), bytes.size())
                       : faulty.WriteGathered(WriteFd, pieces, c.Size > split ? 2 : 1);
        };
        errno = 0;
        EXPECT_EQ(write(), c.First) << what;
        if (c.First < 0) {
            EXPECT_EQ(errno, ENOSPC) << what;
            EXPECT_EQ(write(), static_cast<long>(c.Size)) << what << ": then it passes";
            continue;
        }
        EXPECT_EQ(ReadFile(Path("out")), bytes.substr(0, static_cast<std::size_t>(c.First)))
            << what;
        errno = 0;
        EXPECT_EQ(write(), -1) << what << ": the next write fails";
        EXPECT_EQ(errno, ENOSPC) << what;
        EXPECT_EQ(write(), static_cast<long>(c.Size)) << what << ": then they pass";
    }
}

}  // namespace
}  // namespace n95::host
