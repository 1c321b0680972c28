// The operating-system calls of the host, behind one interface: its files and ports, the
// process's own use of time and memory, stop requests from outside, and plug-in loading.
//
// Like the plug-in's Env (platform/Env.h): the build chooses the implementation
// (SystemCallsPosix.cpp on Linux, SystemCallsWin32.cpp on Windows), callers never contain #ifdef,
// and tests install a double that counts the calls and fails a chosen one (FaultySystemCalls.h).
// The interface speaks in its own terms, not in the kernel's: small integer descriptors, its own
// open flags, file kinds, poll events and rename modes, so that an implementation over Win32
// handles can map them without its callers knowing.
//
// Every call answers as the POSIX call it is named after does: a result of -1 (or nil) means
// failure, with the cause in errno (an implementation for another system translates its
// error codes to errno values). Descriptors are always made close-on-exec.
//
// Interruptions: every call but Poll and Close is retried here when a signal interrupts it
// (EINTR), so no caller has to: the stop signals only set a flag, which the run looks at
// between calls. Poll returns EINTR to its caller, whose wait is what a stop must end. Close
// reports an interrupted close as done: the descriptor is released even then (Linux), and a
// second close could close a descriptor that another thread has just been given.
//
// On Windows descriptors are the C runtime's (msvcrt), opened over handles that may be renamed
// and removed while open, as on POSIX; its terminals are COM ports (and the console); what
// Windows cannot do (unnamed files, exchanging two names) fails with the errno the POSIX call
// gives where a file system cannot, so that the callers' fallbacks apply unchanged.
//
// Threading: the calls are as thread-safe as the system's. The current instance is shared by
// every thread; install another only while no host file or port is open (tests).
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

namespace n95::host {

// How Open opens a file; combine with |.
enum TOpenFlags : unsigned {
    kOpenRead = 0,             // reading only
    kOpenWrite = 1u << 0,      // writing only
    kOpenReadWrite = 1u << 1,  // reading and writing
    kOpenCreate = 1u << 2,     // create it if missing
    kOpenExclusive = 1u << 3,  // with kOpenCreate: fail (EEXIST) if it exists
    kOpenNonBlock = 1u << 4,   // non-blocking reads and writes (a port, a FIFO)
    kOpenNoTerminal = 1u << 5  // a terminal does not become the process's controlling one
};

enum class TFileKind { Regular, Directory, Link, CharDevice, BlockDevice, Fifo, Socket, Other };

// What Status tells of a file.
struct TFileInfo {
    TFileKind Kind = TFileKind::Other;
    unsigned Permissions = 0;   // the 12 permission bits (07777)
    uint64_t Device = 0;        // the file system the file is on
    uint64_t Inode = 0;         // the file within it
    uint64_t DeviceNumber = 0;  // a device: which device it is (major and minor)
    uint32_t Owner = 0, Group = 0;
    uint64_t Size = 0;
};

// One piece of a gathered write.
struct TBytes {
    const void* Data;
    std::size_t Size;
};

// Poll events, asked for (Events) and found (Found).
enum TPollEvents : short {
    kPollIn = 1 << 0,
    kPollOut = 1 << 1,
    kPollError = 1 << 2,    // found only
    kPollHangUp = 1 << 3,   // found only
    kPollInvalid = 1 << 4,  // found only: the descriptor is not open
};

struct TPollEntry {
    int Fd = -1;
    short Events = 0;
    short Found = 0;
};

enum class TRenameMode {
    Replace,    // over whatever stands at the new name
    NoReplace,  // fail (EEXIST) if something does; EINVAL where the system cannot promise it
    Exchange,   // swap the two names; both must exist; EINVAL where the system cannot
};

// What the process has used so far (ProcessUsage).
struct TProcessUsage {
    double UserSeconds = 0.0;
    double SystemSeconds = 0.0;
    uint64_t PeakResidentBytes = 0;  // the most memory it held at once
};

// Which stop requests a thread had blocked before BlockStopRequests; only for
// RestoreStopRequests.
struct TStopMask {
    uint64_t Bits = 0;
};

// Access checks (combine with |).
enum TAccessFlags : int { kAccessSearch = 1, kAccessWrite = 2 };

// What DescriptorAccess reports of an open descriptor (combine with |).
enum TDescriptorAccess : int { kDescriptorRead = 1, kDescriptorWrite = 2 };

class TSystemCalls {
public:
    // The calls, one kind each: what a test double counts and fails.
    enum class TCall {
        Open,
        OpenUnnamed,
        CreateUnique,
        Duplicate,
        Read,
        Write,
        WriteGathered,
        SyncData,
        Truncate,
        Rewind,
        Close,
        Status,
        StatusOf,
        ReadLink,
        Access,
        NameMax,
        Link,
        Rename,
        Unlink,
        ChangeMode,
        ChangeOwner,
        DescriptorAccess,
        SetBlocking,
        ConnectLocal,
        Poll,
        IsTerminal,
        MakeRawTerminal,
        FlushTerminal,
        LockExclusive,
        ProcessUsage,
        CatchStopRequests,
        LoadModule,
        ModuleSymbol,
        Count
    };

    virtual ~TSystemCalls() = default;

    // The implementation for this operating system; lives as long as the process.
    static TSystemCalls& Default();

    // A descriptor for `path`, or -1. `mode` is the permission of a created file (umask
    // applied).
    int Open(const std::string& path, unsigned flags, unsigned mode = 0666);
    // A new file without a name in `folder`, open for writing, or -1 (EOPNOTSUPP, EISDIR or
    // EINVAL where the file system has no unnamed files). LinkName gives it its name through
    // UnnamedPath.
    int OpenUnnamed(const std::string& folder, unsigned mode);
    // A name by which this process can open or link the unnamed file `fd` ("" where there is
    // none: the file can then never be named).
    std::string UnnamedPath(int fd) { return DoUnnamedPath(fd); }
    // Creates a new file whose name is `pattern` with its last six characters ("XXXXXX")
    // replaced, open for writing; -1 on failure.
    int CreateUnique(std::string& pattern);
    // A second descriptor for the open file of `fd`, numbered at least `lowest`.
    int Duplicate(int fd, int lowest = 0);
    ssize_t Read(int fd, void* buffer, std::size_t size);
    ssize_t Write(int fd, const void* data, std::size_t size);
    // Writes the pieces in order in one call; may take fewer bytes than offered.
    ssize_t WriteGathered(int fd, const TBytes* pieces, int count);
    // Pushes the file's data to its device (fdatasync).
    int SyncData(int fd);
    // Cuts the file of `fd` to `size` bytes.
    int Truncate(int fd, uint64_t size);
    // Moves the file's position back to its start (a followed file that was started afresh).
    int Rewind(int fd);
    int Close(int fd);

    // The file at `path`; with `followLinks` false a symbolic link is described itself.
    int Status(const std::string& path, TFileInfo& info, bool followLinks = true);
    int StatusOf(int fd, TFileInfo& info);
    // The target of the symbolic link `path` in *target.
    int ReadLink(const std::string& path, std::string& target);
    // 0 when this user may access `path` as `flags` (TAccessFlags) asks.
    int Access(const std::string& path, int flags);
    // The longest name the folder's file system takes, or -1 when it cannot be told.
    long NameMax(const std::string& folder);
    // The umask: the permission bits that a created file does not get.
    unsigned CreationMask() { return DoCreationMask(); }

    // A new name `to` for the file at `from` (a symbolic link followed).
    int Link(const std::string& from, const std::string& to);
    int Rename(const std::string& from, const std::string& to, TRenameMode mode);
    int Unlink(const std::string& path);
    int ChangeMode(int fd, unsigned permissions);
    // Either id may be uint32_t(-1): left as it is.
    int ChangeOwner(int fd, uint32_t owner, uint32_t group);

    // What the open descriptor may do (TDescriptorAccess), or -1 when it is not open.
    int DescriptorAccess(int fd);
    // Makes reads and writes on `fd` block.
    int SetBlocking(int fd);
    // A stream connection to the listening local socket at `path`, or -1.
    int ConnectLocal(const std::string& path);

    // Waits up to `timeoutMs` (-1: for ever) for the events asked for; the number of entries
    // with events found, 0 on time-out, -1 on failure (EINTR included: see above).
    int Poll(TPollEntry* entries, int count, int timeoutMs);
    // 0 when `fd` is a terminal; -1 otherwise (ENOTTY or EINVAL when it is no terminal).
    int IsTerminal(int fd);
    // Puts the terminal in raw mode (see SerialPort.h) at `baud`, a speed IsSupportedBaud
    // accepts.
    int MakeRawTerminal(int fd, int baud);
    // True when MakeRawTerminal can set `baud` (not a call: nothing to count or fail).
    virtual bool SupportsBaud(int baud) = 0;
    // Discards what the terminal holds unread (`input`) or unsent.
    int FlushTerminal(int fd, bool input);
    // An exclusive advisory lock on the open file, without waiting: EWOULDBLOCK when another
    // holds it, ENOLCK where the file takes no locks.
    int LockExclusive(int fd);

    // What the process has used so far: processor time and peak resident memory.
    int ProcessUsage(TProcessUsage& usage);
    // The full path of the running program; "" when the system cannot tell it (not a call).
    std::string ProgramPath() { return DoProgramPath(); }

    // Calls `onStop` whenever the process is asked from outside to end: SIGINT, SIGTERM,
    // SIGHUP and SIGPIPE on POSIX, installed without SA_RESTART so that a wait in Poll ends
    // at once; Ctrl-C, Ctrl-Break and the closing of the console window on Windows, where
    // `onStop` runs on a thread of the system's. `onStop` may only set a flag (it runs in a
    // signal handler). Install once per process, from the main thread.
    int CatchStopRequests(void (*onStop)());
    // Keeps stop requests off the calling thread until RestoreStopRequests, for helper
    // threads (POSIX: the stop signals are blocked there; a thread inherits its creator's
    // mask, so block, start the thread, restore). Windows never delivers them on a thread of
    // the program's: nothing to do there. Neither can fail: not calls.
    // Makes a write to a pipe whose reader has gone fail with EPIPE instead of ending the
    // process (POSIX: SIGPIPE ignored; Windows has no such signal). Not a call.
    virtual void IgnoreBrokenPipes() { Default().IgnoreBrokenPipes(); }
    // The user id the process acts as (geteuid); 0, the super-user, is also what Windows
    // answers, where no folder has the sticky bit that the id is compared for. Not a call.
    virtual uint32_t EffectiveUser() { return Default().EffectiveUser(); }

    // A fully buffered stdio stream for writing to `fd`, which it takes over: closing the
    // stream closes it. Where the C library can (glibc: fopencookie), the stream writes
    // through `write` and closes through `close`, both given `cookie`, so that every byte
    // passes this seam and a write's failure is seen by the caller's function; elsewhere
    // (msvcrt) the stream writes to the descriptor itself and reports failures through
    // ferror and errno. Nil with errno set when it cannot be made (fd is then still open).
    struct TStreamFunctions {
        ssize_t (*Write)(void* cookie, const char* data, std::size_t size);
        int (*Close)(void* cookie);
    };
    virtual FILE* OpenStream(int fd, void* cookie, const TStreamFunctions& functions) {
        return Default().OpenStream(fd, cookie, functions);
    }

    virtual TStopMask BlockStopRequests() { return Default().BlockStopRequests(); }
    virtual void RestoreStopRequests(TStopMask previous) {
        Default().RestoreStopRequests(previous);
    }

    // The library at `path` loaded with its own dependencies resolved now (dlopen with
    // RTLD_NOW; LoadLibraryEx with the library's own folder searched first for its imports),
    // or nil with the loader's own words in *error. Unlike the other calls it reports in
    // words, not errno: the loader's message names the missing file or symbol.
    void* LoadModule(const std::string& path, std::string* error);
    // The address of the exported `name` in `module`, or nil with the loader's words in
    // *error.
    void* ModuleSymbol(void* module, const char* name, std::string* error);
    // Unloads a module that LoadModule gave (not a call: nothing to fail).
    void UnloadModule(void* module) { DoUnloadModule(module); }

protected:
    virtual int DoOpen(const std::string& path, unsigned flags, unsigned mode) = 0;
    virtual int DoOpenUnnamed(const std::string& folder, unsigned mode) = 0;
    virtual std::string DoUnnamedPath(int fd) = 0;
    virtual int DoCreateUnique(std::string& pattern) = 0;
    virtual int DoDuplicate(int fd, int lowest) = 0;
    virtual ssize_t DoRead(int fd, void* buffer, std::size_t size) = 0;
    virtual ssize_t DoWrite(int fd, const void* data, std::size_t size) = 0;
    virtual ssize_t DoWriteGathered(int fd, const TBytes* pieces, int count) = 0;
    virtual int DoSyncData(int fd) = 0;
    virtual int DoTruncate(int fd, uint64_t size) = 0;
    virtual int DoRewind(int fd) = 0;
    virtual int DoClose(int fd) = 0;
    virtual int DoStatus(const std::string& path, TFileInfo& info, bool followLinks) = 0;
    virtual int DoStatusOf(int fd, TFileInfo& info) = 0;
    virtual int DoReadLink(const std::string& path, std::string& target) = 0;
    virtual int DoAccess(const std::string& path, int flags) = 0;
    virtual long DoNameMax(const std::string& folder) = 0;
    virtual unsigned DoCreationMask() = 0;
    virtual int DoLink(const std::string& from, const std::string& to) = 0;
    virtual int DoRename(const std::string& from, const std::string& to, TRenameMode mode) = 0;
    virtual int DoUnlink(const std::string& path) = 0;
    virtual int DoChangeMode(int fd, unsigned permissions) = 0;
    virtual int DoChangeOwner(int fd, uint32_t owner, uint32_t group) = 0;
    virtual int DoDescriptorAccess(int fd) = 0;
    virtual int DoSetBlocking(int fd) = 0;
    virtual int DoConnectLocal(const std::string& path) = 0;
    virtual int DoPoll(TPollEntry* entries, int count, int timeoutMs) = 0;
    virtual int DoIsTerminal(int fd) = 0;
    virtual int DoMakeRawTerminal(int fd, int baud) = 0;
    virtual int DoFlushTerminal(int fd, bool input) = 0;
    virtual int DoLockExclusive(int fd) = 0;
    // The process's own calls: a double that does not override them gets the system's (the
    // implementations override every one).
    virtual int DoProcessUsage(TProcessUsage& usage) { return Default().ProcessUsage(usage); }
    virtual std::string DoProgramPath() { return Default().ProgramPath(); }
    virtual int DoCatchStopRequests(void (*onStop)()) {
        return Default().CatchStopRequests(onStop);
    }
    virtual void* DoLoadModule(const std::string& path, std::string* error) {
        return Default().LoadModule(path, error);
    }
    virtual void* DoModuleSymbol(void* module, const char* name, std::string* error) {
        return Default().ModuleSymbol(module, name, error);
    }
    virtual void DoUnloadModule(void* module) { Default().UnloadModule(module); }
};

// Rules of this system's file names, for the units that split paths (not calls).
//
// The position of the last folder separator in `path`, or npos: '/' on POSIX; '/' or '\\' on
// Windows, where a drive ("C:name") also ends at its colon.
std::size_t LastPathSeparator(const std::string& path);
// True when `path` names a folder or a file in one (a separator in it).
inline bool HasFolder(const std::string& path) {
    return LastPathSeparator(path) != std::string::npos;
}
// True when `info` (from Status or StatusOf) describes the null device: /dev/null, NUL.
bool IsNullDevice(const TFileInfo& info);

// fwrite without the stream's lock where the C library has one (fwrite_unlocked), for a
// stream that has one owner.
std::size_t WriteUnlocked(const void* data, std::size_t size, FILE* stream);

// The instance the host's files and ports use: Default() unless a test installed another.
TSystemCalls& System();
// Installs `calls` (nullptr = the default) and returns the previous one. Tests only.
TSystemCalls* SetSystemCalls(TSystemCalls* calls);

// Installs an instance for the lifetime of a scope (tests).
class TScopedSystemCalls {
public:
    explicit TScopedSystemCalls(TSystemCalls* calls) : Previous(SetSystemCalls(calls)) {}
    ~TScopedSystemCalls() { SetSystemCalls(Previous); }
    TScopedSystemCalls(const TScopedSystemCalls&) = delete;
    TScopedSystemCalls& operator=(const TScopedSystemCalls&) = delete;

private:
    TSystemCalls* Previous;
};

}  // namespace n95::host
