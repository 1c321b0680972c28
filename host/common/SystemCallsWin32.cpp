// The host's system calls on Windows (see SystemCalls.h).
//
// Descriptors are msvcrt's, each opened over a handle made by CreateFileW with every sharing
// mode, FILE_SHARE_DELETE included: a file may then be renamed over or removed while open, as
// the atomic outputs do on POSIX. Paths are UTF-8 and go to the wide ("W") calls. Windows
// errors are translated to errno values, so that the callers' tests of errno hold.
//
// What this step leaves out fails as a POSIX system without it would: unnamed files
// (EOPNOTSUPP, so the outputs take hidden temporary names), exchanging names (EINVAL),
// terminals and serial lines (ENOTTY: the COM port comes later), local sockets
// (EAFNOSUPPORT). Standard input, output and error are switched to binary mode at start-up,
// so that every output is byte for byte the Linux one (no "\r\n").
#include <fcntl.h>
#include <io.h>
#include <windows.h>
// After windows.h.
#include <psapi.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <random>
#include <unordered_map>

#include "host/common/SystemCalls.h"

namespace n95::host {

namespace {

// What DescribeHandle gives a character device in DeviceNumber: Windows has no device
// numbers, so the kinds the host tells apart get numbers of their own.
constexpr uint64_t kConsoleDevice = 1;
constexpr uint64_t kSerialDevice = 2;
constexpr uint64_t kNullDevice = 3;

int ErrnoOf(DWORD error) {
    switch (error) {
        case ERROR_FILE_NOT_FOUND:
        case ERROR_PATH_NOT_FOUND:
        case ERROR_INVALID_DRIVE:
        case ERROR_BAD_NETPATH:
        case ERROR_BAD_PATHNAME:
        case ERROR_MOD_NOT_FOUND:
            return ENOENT;
        case ERROR_ACCESS_DENIED:
        case ERROR_SHARING_VIOLATION:
        case ERROR_LOCK_VIOLATION:
        case ERROR_WRITE_PROTECT:
            return EACCES;
        case ERROR_FILE_EXISTS:
        case ERROR_ALREADY_EXISTS:
            return EEXIST;
        case ERROR_INVALID_HANDLE:
            return EBADF;
        case ERROR_NOT_ENOUGH_MEMORY:
        case ERROR_OUTOFMEMORY:
            return ENOMEM;
        case ERROR_DISK_FULL:
        case ERROR_HANDLE_DISK_FULL:
            return ENOSPC;
        case ERROR_NOT_SAME_DEVICE:
            return EXDEV;
        case ERROR_DIR_NOT_EMPTY:
            return ENOTEMPTY;
        case ERROR_DIRECTORY:
            return ENOTDIR;
        case ERROR_FILENAME_EXCED_RANGE:
            return ENAMETOOLONG;
        case ERROR_BROKEN_PIPE:
        case ERROR_NO_DATA:
            return EPIPE;
        case ERROR_INVALID_NAME:
        case ERROR_INVALID_PARAMETER:
            return EINVAL;
        case ERROR_INVALID_FUNCTION:
        case ERROR_NOT_SUPPORTED:
            return EOPNOTSUPP;
        default:
            return EIO;
    }
}

// Sets errno from GetLastError; returns -1 for the callers' convenience.
int Failed() {
    errno = ErrnoOf(GetLastError());
    return -1;
}

std::wstring Wide(const std::string& text) {
    if (text.empty())
        return std::wstring();
    const int n =
        MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring wide(static_cast<std::size_t>(n), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), wide.data(), n);
    return wide;
}

std::string Narrow(const std::wstring& wide) {
    if (wide.empty())
        return std::string();
    const int n = WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()),
                                      nullptr, 0, nullptr, nullptr);
    std::string text(static_cast<std::size_t>(n), '\0');
    WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), text.data(), n,
                        nullptr, nullptr);
    return text;
}

std::string MessageOf(DWORD error) {
    char* buffer = nullptr;
    const DWORD n = FormatMessageA(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, error, 0, reinterpret_cast<char*>(&buffer), 0, nullptr);
    std::string message = n > 0 && buffer != nullptr ? std::string(buffer, n) : std::string();
    LocalFree(buffer);
    while (!message.empty() && (message.back() == '\n' || message.back() == '\r' ||
                                message.back() == ' ' || message.back() == '.'))
        message.pop_back();
    return (message.empty() ? "error" : message) + " (Windows error " + std::to_string(error) + ")";
}

HANDLE HandleOf(int fd) {
    return reinterpret_cast<HANDLE>(_get_osfhandle(fd));
}

void DescribeHandle(HANDLE handle, TFileInfo& info) {
    info = TFileInfo();
    switch (GetFileType(handle)) {
        case FILE_TYPE_DISK: {
            BY_HANDLE_FILE_INFORMATION native{};
            if (GetFileInformationByHandle(handle, &native)) {
                const bool folder = (native.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
                const bool readOnly = (native.dwFileAttributes & FILE_ATTRIBUTE_READONLY) != 0;
                info.Kind = folder ? TFileKind::Directory : TFileKind::Regular;
                info.Permissions = folder ? 0777 : readOnly ? 0444 : 0666;
                info.Device = native.dwVolumeSerialNumber;
                info.Inode = (uint64_t{native.nFileIndexHigh} << 32) | native.nFileIndexLow;
                info.Size = (uint64_t{native.nFileSizeHigh} << 32) | native.nFileSizeLow;
            }
            break;
        }
        case FILE_TYPE_CHAR: {
            DWORD mode = 0;
            DCB line{};
            line.DCBlength = sizeof line;
            info.Kind = TFileKind::CharDevice;
            info.Permissions = 0666;
            info.DeviceNumber = GetConsoleMode(handle, &mode) ? kConsoleDevice
                                : GetCommState(handle, &line) ? kSerialDevice
                                                              : kNullDevice;
            break;
        }
        case FILE_TYPE_PIPE:
            info.Kind = TFileKind::Fifo;
            info.Permissions = 0600;
            break;
        default:
            info.Kind = TFileKind::Other;
            break;
    }
}

// The handle for a path, opened for looking at it only (a folder too).
HANDLE OpenToLook(const std::string& path) {
    return CreateFileW(Wide(path).c_str(), FILE_READ_ATTRIBUTES,
                       FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                       OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
}

class TWin32SystemCalls final : public TSystemCalls {
public:
    TWin32SystemCalls() {
        // The outputs are bytes: no "\r\n" on the standard streams either.
        _setmode(0, _O_BINARY);
        _setmode(1, _O_BINARY);
        _setmode(2, _O_BINARY);
    }

    bool SupportsBaud(int) override { return false; }
    uint32_t EffectiveUser() override { return 0; }
    void IgnoreBrokenPipes() override {}
    FILE* OpenStream(int fd, void*, const TStreamFunctions&) override {
        // msvcrt has no stream over functions: the stream writes to the descriptor, and a
        // failure is read from errno when a flush meets it (WriteStream.cpp).
        return _fdopen(fd, "wb");
    }
    TStopMask BlockStopRequests() override { return TStopMask(); }
    void RestoreStopRequests(TStopMask) override {}

protected:
    int DoOpen(const std::string& path, unsigned flags, unsigned mode) override {
        const bool write = (flags & (kOpenWrite | kOpenReadWrite)) != 0;
        const DWORD access = (flags & kOpenReadWrite) != 0 ? GENERIC_READ | GENERIC_WRITE
                             : (flags & kOpenWrite) != 0   ? GENERIC_WRITE
                                                           : GENERIC_READ;
        const DWORD disposition = (flags & kOpenCreate) == 0      ? OPEN_EXISTING
                                  : (flags & kOpenExclusive) != 0 ? CREATE_NEW
                                                                  : OPEN_ALWAYS;
        const DWORD attributes = (flags & kOpenCreate) != 0 && (mode & 0222) == 0
                                     ? FILE_ATTRIBUTE_READONLY
                                     : FILE_ATTRIBUTE_NORMAL;
        return FromHandle(
            CreateFileW(Wide(path).c_str(), access,
                        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                        disposition, attributes, nullptr),
            write ? ((flags & kOpenReadWrite) != 0 ? _O_RDWR : _O_WRONLY) : _O_RDONLY);
    }
    int DoOpenUnnamed(const std::string&, unsigned) override {
        errno = EOPNOTSUPP;
        return -1;
    }
    std::string DoUnnamedPath(int) override { return ""; }
    int DoCreateUnique(std::string& pattern) override {
        static const char kLetters[] =
            "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
        if (pattern.size() < 6 || pattern.compare(pattern.size() - 6, 6, "XXXXXX") != 0) {
            errno = EINVAL;
            return -1;
        }
        static std::mt19937 generator{std::random_device{}()};
        static std::mutex mutex;
        const std::string stem = pattern.substr(0, pattern.size() - 6);
        for (int attempt = 0; attempt < 100; ++attempt) {
            std::string name = stem;
            {
                std::lock_guard lock(mutex);
                std::uniform_int_distribution<int> pick(0, static_cast<int>(sizeof kLetters) - 2);
                for (int i = 0; i < 6; ++i)
                    name += kLetters[pick(generator)];
            }
            const int fd = DoOpen(name, kOpenWrite | kOpenCreate | kOpenExclusive, 0600);
            if (fd >= 0) {
                pattern = name;
                return fd;
            }
            if (errno != EEXIST)
                return -1;
        }
        errno = EEXIST;
        return -1;
    }
    int DoDuplicate(int fd, int) override {
        const int copy = _dup(fd);
        if (copy >= 0)
            Remember(copy, AccessOf(fd));
        return copy;
    }
    ssize_t DoRead(int fd, void* buffer, std::size_t size) override {
        return _read(fd, buffer, static_cast<unsigned>(std::min<std::size_t>(size, INT_MAX)));
    }
    ssize_t DoWrite(int fd, const void* data, std::size_t size) override {
        return _write(fd, data, static_cast<unsigned>(std::min<std::size_t>(size, INT_MAX)));
    }
    ssize_t DoWriteGathered(int fd, const TBytes* pieces, int count) override {
        ssize_t done = 0;
        for (int i = 0; i < count; ++i) {
            const ssize_t n = DoWrite(fd, pieces[i].Data, pieces[i].Size);
            if (n < 0)
                return done > 0 ? done : -1;
            done += n;
            if (static_cast<std::size_t>(n) < pieces[i].Size)
                break;
        }
        return done;
    }
    int DoSyncData(int fd) override {
        const HANDLE handle = HandleOf(fd);
        if (handle == INVALID_HANDLE_VALUE) {
            errno = EBADF;
            return -1;
        }
        if (FlushFileBuffers(handle))
            return 0;
        if (GetLastError() != ERROR_ACCESS_DENIED)
            return Failed();
        // Windows flushes only through a handle that may write, where fdatasync takes any
        // descriptor (the atomic outputs sync a file they opened for reading): a second
        // handle to the same file, for writing, does it.
        const HANDLE writable = ReOpenFile(
            handle, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, 0);
        if (writable == INVALID_HANDLE_VALUE)
            return Failed();
        const bool flushed = FlushFileBuffers(writable);
        const DWORD error = GetLastError();
        CloseHandle(writable);
        if (!flushed) {
            errno = ErrnoOf(error);
            return -1;
        }
        return 0;
    }
    int DoTruncate(int fd, uint64_t size) override {
        const errno_t result = _chsize_s(fd, static_cast<long long>(size));
        if (result != 0) {
            errno = result;
            return -1;
        }
        return 0;
    }
    int DoClose(int fd) override {
        Forget(fd);
        return _close(fd);
    }
    int DoStatus(const std::string& path, TFileInfo& info, bool) override {
        // Windows' symbolic links are rare and need rights to make: every link is followed.
        const HANDLE handle = OpenToLook(path);
        if (handle == INVALID_HANDLE_VALUE)
            return Failed();
        DescribeHandle(handle, info);
        CloseHandle(handle);
        return 0;
    }
    int DoStatusOf(int fd, TFileInfo& info) override {
        const HANDLE handle = HandleOf(fd);
        if (handle == INVALID_HANDLE_VALUE) {
            errno = EBADF;
            return -1;
        }
        DescribeHandle(handle, info);
        return 0;
    }
    int DoReadLink(const std::string&, std::string&) override {
        errno = EINVAL;  // no path is a link (DoStatus follows them)
        return -1;
    }
    int DoAccess(const std::string& path, int flags) override {
        const DWORD attributes = GetFileAttributesW(Wide(path).c_str());
        if (attributes == INVALID_FILE_ATTRIBUTES)
            return Failed();
        if ((flags & kAccessWrite) != 0 && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0 &&
            (attributes & FILE_ATTRIBUTE_READONLY) != 0) {
            errno = EACCES;
            return -1;
        }
        return 0;
    }
    long DoNameMax(const std::string&) override { return 255; }
    unsigned DoCreationMask() override { return 0; }
    int DoLink(const std::string& from, const std::string& to) override {
        return CreateHardLinkW(Wide(to).c_str(), Wide(from).c_str(), nullptr) ? 0 : Failed();
    }
    int DoRename(const std::string& from, const std::string& to, TRenameMode mode) override {
        if (mode == TRenameMode::Exchange) {
            errno = EINVAL;
            return -1;
        }
        // msvcrt's rename fails onto an existing file; MoveFileExW replaces it when asked,
        // and without the flag refuses (EEXIST) as renameat2's RENAME_NOREPLACE does.
        const DWORD flags =
            MOVEFILE_WRITE_THROUGH | (mode == TRenameMode::Replace ? MOVEFILE_REPLACE_EXISTING : 0);
        return MoveFileExW(Wide(from).c_str(), Wide(to).c_str(), flags) ? 0 : Failed();
    }
    int DoUnlink(const std::string& path) override {
        return DeleteFileW(Wide(path).c_str()) ? 0 : Failed();
    }
    int DoChangeMode(int, unsigned) override { return 0; }
    int DoChangeOwner(int, uint32_t, uint32_t) override { return 0; }
    int DoDescriptorAccess(int fd) override {
        if (HandleOf(fd) == INVALID_HANDLE_VALUE) {
            errno = EBADF;
            return -1;
        }
        return AccessOf(fd);
    }
    int DoSetBlocking(int) override { return 0; }
    int DoConnectLocal(const std::string&) override {
        errno = EAFNOSUPPORT;
        return -1;
    }
    int DoPoll(TPollEntry* entries, int count, int timeoutMs) override {
        // Files are always ready; a pipe is ready once it holds bytes or has been closed.
        // Anything else (a console, a COM port) waits with the COM port's own code, later.
        const DWORD start = GetTickCount();
        for (;;) {
            int found = 0;
            for (int i = 0; i < count; ++i) {
                TPollEntry& e = entries[i];
                e.Found = 0;
                if (e.Fd < 0)
                    continue;
                const HANDLE handle = HandleOf(e.Fd);
                if (handle == INVALID_HANDLE_VALUE) {
                    e.Found = kPollInvalid;
                } else if (GetFileType(handle) == FILE_TYPE_PIPE) {
                    DWORD available = 0;
                    if (!PeekNamedPipe(handle, nullptr, 0, nullptr, &available, nullptr))
                        e.Found = kPollHangUp;
                    else if (available > 0)
                        e.Found = static_cast<short>(e.Events & kPollIn);
                    if ((e.Events & kPollOut) != 0)
                        e.Found = static_cast<short>(e.Found | kPollOut);
                } else if (GetFileType(handle) == FILE_TYPE_DISK) {
                    e.Found = e.Events;
                } else {
                    errno = ENOTSUP;
                    return -1;
                }
                found += e.Found != 0 ? 1 : 0;
            }
            const DWORD waited = GetTickCount() - start;
            if (found > 0 || (timeoutMs >= 0 && waited >= static_cast<DWORD>(timeoutMs)))
                return found;
            DWORD pause = 10;
            if (timeoutMs >= 0)
                pause = std::min<DWORD>(pause, static_cast<DWORD>(timeoutMs) - waited);
            Sleep(pause);
        }
    }
    int DoIsTerminal(int fd) override {
        DWORD mode = 0;
        if (GetConsoleMode(HandleOf(fd), &mode))
            return 0;
        errno = ENOTTY;
        return -1;
    }
    int DoMakeRawTerminal(int, int) override {
        errno = ENOTTY;
        return -1;
    }
    int DoFlushTerminal(int, bool) override {
        errno = ENOTTY;
        return -1;
    }
    int DoLockExclusive(int fd) override {
        // Windows' byte locks are mandatory: lock one byte far beyond any data, so that the
        // lock keeps other lockers out and no reader.
        OVERLAPPED at{};
        at.Offset = 0xFFFFFFFE;
        at.OffsetHigh = 0x7FFFFFFF;
        if (LockFileEx(HandleOf(fd), LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0,
                       &at))
            return 0;
        const DWORD error = GetLastError();
        errno = error == ERROR_LOCK_VIOLATION || error == ERROR_IO_PENDING ? EWOULDBLOCK
                                                                           : ErrnoOf(error);
        return -1;
    }
    int DoProcessUsage(TProcessUsage& usage) override {
        FILETIME created, ended, kernel, user;
        if (!GetProcessTimes(GetCurrentProcess(), &created, &ended, &kernel, &user))
            return Failed();
        const auto seconds = [](const FILETIME& t) {
            return ((uint64_t{t.dwHighDateTime} << 32) | t.dwLowDateTime) / 1e7;  // 100 ns
        };
        usage.UserSeconds = seconds(user);
        usage.SystemSeconds = seconds(kernel);
        PROCESS_MEMORY_COUNTERS memory{};
        memory.cb = sizeof memory;
        if (!GetProcessMemoryInfo(GetCurrentProcess(), &memory, sizeof memory))
            return Failed();
        usage.PeakResidentBytes = memory.PeakWorkingSetSize;
        return 0;
    }
    std::string DoProgramPath() override {
        std::wstring path(MAX_PATH, L'\0');
        for (;;) {
            const DWORD n =
                GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
            if (n == 0)
                return "";
            if (n < path.size()) {
                path.resize(n);
                return Narrow(path);
            }
            path.resize(path.size() * 2);
        }
    }
    int DoCatchStopRequests(void (*onStop)()) override {
        gOnStop.store(onStop, std::memory_order_relaxed);
        return SetConsoleCtrlHandler(&TWin32SystemCalls::OnConsoleEvent, TRUE) ? 0 : Failed();
    }
    void* DoLoadModule(const std::string& path, std::string* error) override {
        // A full path, so that LOAD_WITH_ALTERED_SEARCH_PATH finds the library's own imports
        // (Varnex.dll, Tolvane.dll, the C++ runtime) beside it, wherever the program is.
        const std::wstring wide = Wide(path);
        std::wstring full(MAX_PATH, L'\0');
        DWORD n =
            GetFullPathNameW(wide.c_str(), static_cast<DWORD>(full.size()), full.data(), nullptr);
        if (n >= full.size()) {
            full.resize(n + 1);
            n = GetFullPathNameW(wide.c_str(), static_cast<DWORD>(full.size()), full.data(),
                                 nullptr);
        }
        full.resize(n > 0 && n < full.size() ? n : 0);
        // No "cannot find" dialog box: the error comes back as words.
        DWORD previousMode = 0;
        SetThreadErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX, &previousMode);
        HMODULE module = LoadLibraryExW(full.empty() ? wide.c_str() : full.c_str(), nullptr,
                                        LOAD_WITH_ALTERED_SEARCH_PATH);
        const DWORD failure = GetLastError();
        SetThreadErrorMode(previousMode, nullptr);
        if (module == nullptr)
            *error = MessageOf(failure);
        return reinterpret_cast<void*>(module);
    }
    void* DoModuleSymbol(void* module, const char* name, std::string* error) override {
        FARPROC symbol = GetProcAddress(static_cast<HMODULE>(module), name);
        if (symbol == nullptr) {
            *error = MessageOf(GetLastError());
            return nullptr;
        }
        return reinterpret_cast<void*>(symbol);
    }
    void DoUnloadModule(void* module) override { FreeLibrary(static_cast<HMODULE>(module)); }

private:
    static inline std::atomic<void (*)()> gOnStop{nullptr};

    static BOOL WINAPI OnConsoleEvent(DWORD event) {
        switch (event) {
            case CTRL_C_EVENT:
            case CTRL_BREAK_EVENT:
            case CTRL_CLOSE_EVENT:
                if (auto* onStop = gOnStop.load(std::memory_order_relaxed))
                    onStop();
                return TRUE;
            default:
                return FALSE;
        }
    }

    // A descriptor over `handle` (closed when the descriptor is), or -1 with errno set.
    int FromHandle(HANDLE handle, int access) {
        if (handle == INVALID_HANDLE_VALUE)
            return Failed();
        const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(handle), access | _O_BINARY);
        if (fd < 0) {
            CloseHandle(handle);
            errno = EMFILE;
            return -1;
        }
        Remember(fd, access == _O_RDONLY   ? kDescriptorRead
                     : access == _O_WRONLY ? kDescriptorWrite
                                           : kDescriptorRead | kDescriptorWrite);
        return fd;
    }

    // msvcrt does not tell how a descriptor was opened: the ones opened here are noted.
    void Remember(int fd, int access) {
        std::lock_guard lock(AccessMutex);
        Accesses[fd] = access;
    }
    void Forget(int fd) {
        std::lock_guard lock(AccessMutex);
        Accesses.erase(fd);
    }
    int AccessOf(int fd) {
        if (fd == 0)
            return kDescriptorRead;
        if (fd == 1 || fd == 2)
            return kDescriptorWrite;
        std::lock_guard lock(AccessMutex);
        const auto found = Accesses.find(fd);
        return found != Accesses.end() ? found->second : kDescriptorRead | kDescriptorWrite;
    }

    std::mutex AccessMutex;
    std::unordered_map<int, int> Accesses;
};

}  // namespace

std::size_t LastPathSeparator(const std::string& path) {
    const std::size_t separator = path.find_last_of("/\\");
    // "C:name" is a name in drive C's current folder.
    if (separator == std::string::npos && path.size() >= 2 && path[1] == ':')
        return 1;
    return separator;
}

bool IsNullDevice(const TFileInfo& info) {
    return info.Kind == TFileKind::CharDevice && info.DeviceNumber == kNullDevice;
}

std::size_t WriteUnlocked(const void* data, std::size_t size, FILE* stream) {
    // msvcrt.dll has no _fwrite_nolock (later runtimes do): the locking fwrite.
    return std::fwrite(data, 1, size, stream);
}

TSystemCalls& TSystemCalls::Default() {
    static TWin32SystemCalls calls;
    return calls;
}

}  // namespace n95::host
