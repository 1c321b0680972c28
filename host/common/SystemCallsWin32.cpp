// The host's system calls on Windows (see SystemCalls.h).
//
// Descriptors are msvcrt's, each opened over a handle made by CreateFileW with every sharing
// mode, FILE_SHARE_DELETE included: a file may then be renamed over or removed while open, as
// the atomic outputs do on POSIX. Paths are UTF-8 and go to the wide ("W") calls. Windows
// errors are translated to errno values, so that the callers' tests of errno hold.
//
// COM ports are the terminals: "COM7", "\\.\COM12" (the only form Windows takes from
// COM10 on) and a handle on which GetCommState works. A port is opened for exclusive use (the
// system allows no second opener: EBUSY), and read and written past msvcrt with
// ReadFile/WriteFile under time-outs that make them non-blocking, as a POSIX port opened with
// O_NONBLOCK is: a read returns at once with what the driver holds (nothing: EAGAIN), a write
// gives up after kWriteSliceMs with what it wrote (nothing: EAGAIN). WaitCommEvent is not
// used: Wine, where the tests run, reports its mask unreliably and signals no hang-up. Poll
// instead asks ClearCommError every millisecond what the driver holds; its failure is the
// hang-up (an unplugged USB modem, a closed pseudo-terminal under Wine).
//
// What Windows cannot do fails as a POSIX system without it would: unnamed files
// (EOPNOTSUPP, so the outputs take hidden temporary names), exchanging names (EINVAL), local
// sockets (EAFNOSUPPORT). Standard input, output and error are switched to binary mode at
// start-up, so that every output is byte for byte the Linux one (no "\r\n").
#include <fcntl.h>
#include <io.h>
#include <windows.h>
// After windows.h.
#include <mmsystem.h>
#include <psapi.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
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

// The device path of the COM port that `path` names ("COM7", "com12", "\\.\COM12",
// "//./COM12"), or "" when it names none.
std::wstring CommDevicePath(const std::string& path) {
    std::string name = path;
    for (const char* prefix : {"\\\\.\\", "//./", "\\\\?\\"}) {
        if (name.rfind(prefix, 0) == 0) {
            name.erase(0, 4);
            break;
        }
    }
    if (!name.empty() && name.back() == ':')
        name.pop_back();  // "COM7:", as the device was once written
    if (name.size() < 4 || name.size() > 6 || _strnicmp(name.c_str(), "COM", 3) != 0 ||
        name[3] == '0' || name.find_first_not_of("0123456789", 3) != std::string::npos)
        return std::wstring();
    return L"\\\\.\\" + Wide(name);
}

// Each COM port's own device number: two names of one port ("COM7", "\\.\com7") are one
// device, two ports are two.
uint64_t PortDeviceNumber(const std::wstring& device) {
    return (kSerialDevice << 32) | std::wcstoul(device.c_str() + 7, nullptr, 10);
}

bool IsSerialHandle(HANDLE handle) {
    DCB line{};
    line.DCBlength = sizeof line;
    return GetFileType(handle) == FILE_TYPE_CHAR && GetCommState(handle, &line);
}

// True when `path` names a device rather than a file or folder: a name in the device
// namespace with nothing after it ("\\.\PhysicalDrive0", "\\.\C:", "\\?\Volume{...}",
// "\\.\COM12", "\\?\GLOBALROOT\Device\HarddiskVolume1"). A file or a folder is reached
// through a folder ("C:\x", "\\?\C:\x", "x"), and so are a few devices
// ("\\?\GLOBALROOT\Device\Harddisk0\DR0"): DescribeHandle tells those by the file
// information Windows has not for them.
bool IsDeviceName(const std::string& path) {
    if (path.size() < 5 || (path[0] != '\\' && path[0] != '/') || path[1] != path[0] ||
        (path[2] != '.' && path[2] != '?') || path[3] != path[0])
        return false;
    std::string rest = path.substr(4);
    if (_strnicmp(rest.c_str(), "GLOBALROOT\\Device\\", 18) == 0)
        rest.erase(0, 18);
    return rest.find_first_of("\\/") == std::string::npos;
}

// Describes `handle`, opened by a name that IsDeviceName calls a device when `device`. A
// handle of the disk type is storage itself (a disk, a partition, a volume) when its name
// says so or the system has no file information for it: when in doubt it is storage, since
// a port that is refused is a message and a disk written as a port is lost data.
void DescribeHandle(HANDLE handle, TFileInfo& info, bool device) {
    info = TFileInfo();
    switch (GetFileType(handle)) {
        case FILE_TYPE_DISK: {
            BY_HANDLE_FILE_INFORMATION native{};
            if (device || !GetFileInformationByHandle(handle, &native)) {
                info.Kind = TFileKind::BlockDevice;
                info.Permissions = 0660;
            } else {
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

    bool SupportsBaud(int baud) override {
        // The speeds a POSIX port takes, so that a command line means the same on both.
        static constexpr int kBauds[] = {
            50,     75,     110,     134,     150,     200,     300,     600,     1200,    1800,
            2400,   4800,   9600,    19200,   38400,   57600,   115200,  230400,  460800,  500000,
            576000, 921600, 1000000, 1152000, 1500000, 2000000, 2500000, 3000000, 3500000, 4000000};
        return std::find(std::begin(kBauds), std::end(kBauds), baud) != std::end(kBauds);
    }
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
        const std::wstring port = CommDevicePath(path);
        if (!port.empty())
            return OpenPort(port, (flags & kOpenNonBlock) != 0);
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
        return FromHandle(CreateFileW(Wide(path).c_str(), access,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                      nullptr, disposition, attributes, nullptr),
                          write ? ((flags & kOpenReadWrite) != 0 ? _O_RDWR : _O_WRONLY) : _O_RDONLY,
                          IsDeviceName(path), (flags & kOpenNonBlock) != 0);
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
        if (copy >= 0) {
            TDescriptor same = DescriptorOf(fd);
            same.Access = AccessOf(fd);
            std::lock_guard lock(DescriptorMutex);
            Descriptors[copy] = same;
        }
        return copy;
    }
    ssize_t DoRead(int fd, void* buffer, std::size_t size) override {
        const auto n = static_cast<unsigned>(std::min<std::size_t>(size, INT_MAX));
        if (IsSerial(fd))
            return SerialTransfer(fd, buffer, n, false);
        // ReadFile, not msvcrt's _read: once _read has met the end of a file it answers 0
        // for good, and a followed file (the GPS log another program appends to) grows.
        const HANDLE handle = HandleOf(fd);
        if (handle == INVALID_HANDLE_VALUE) {
            errno = EBADF;
            return -1;
        }
        DWORD got = 0;
        if (ReadFile(handle, buffer, n, &got, nullptr))
            return static_cast<ssize_t>(got);
        const DWORD error = GetLastError();
        if (error == ERROR_BROKEN_PIPE || error == ERROR_HANDLE_EOF)
            return 0;  // the writer has gone: the end
        errno = ErrnoOf(error);
        return -1;
    }
    ssize_t DoWrite(int fd, const void* data, std::size_t size) override {
        const auto n = static_cast<unsigned>(std::min<std::size_t>(size, INT_MAX));
        return IsSerial(fd) ? SerialTransfer(fd, const_cast<void*>(data), n, true)
                            : _write(fd, data, n);
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
    int DoRewind(int fd) override {
        // The handle's own position: reads go to ReadFile (see DoRead).
        const HANDLE handle = HandleOf(fd);
        if (handle == INVALID_HANDLE_VALUE) {
            errno = EBADF;
            return -1;
        }
        LARGE_INTEGER start{};
        return SetFilePointerEx(handle, start, nullptr, FILE_BEGIN) ? 0 : Failed();
    }
    int DoClose(int fd) override {
        Forget(fd);
        return _close(fd);
    }
    int DoStatus(const std::string& path, TFileInfo& info, bool) override {
        const std::wstring port = CommDevicePath(path);
        if (!port.empty()) {
            // Not opened to be looked at: a port has one user at a time, and opening it
            // raises its control lines. The system's name table tells whether it is there.
            wchar_t target[MAX_PATH];
            if (QueryDosDeviceW(port.c_str() + 4, target, MAX_PATH) == 0)
                return Failed();
            info = TFileInfo();
            info.Kind = TFileKind::CharDevice;
            info.Permissions = 0666;
            info.DeviceNumber = PortDeviceNumber(port);
            return 0;
        }
        // Windows' symbolic links are rare and need rights to make: every link is followed.
        const HANDLE handle = OpenToLook(path);
        if (handle == INVALID_HANDLE_VALUE)
            return Failed();
        DescribeHandle(handle, info, IsDeviceName(path));
        CloseHandle(handle);
        return 0;
    }
    int DoStatusOf(int fd, TFileInfo& info) override {
        const HANDLE handle = HandleOf(fd);
        if (handle == INVALID_HANDLE_VALUE) {
            errno = EBADF;
            return -1;
        }
        const TDescriptor descriptor = DescriptorOf(fd);
        DescribeHandle(handle, info, descriptor.Device);
        if (descriptor.PortNumber != 0)
            info.DeviceNumber = descriptor.PortNumber;
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
    int DoSetBlocking(int fd) override {
        // Files and pipes are opened blocking here; a COM port gets time-outs that wait.
        if (!IsSerial(fd))
            return 0;
        return SetPortWaits(HandleOf(fd), true) ? 0 : Failed();
    }
    int DoConnectLocal(const std::string&) override {
        errno = EAFNOSUPPORT;
        return -1;
    }
    int DoPoll(TPollEntry* entries, int count, int timeoutMs) override {
        // Files are always ready; a pipe is ready once it holds bytes or has been closed; a
        // COM port once its driver holds bytes or it has hung up. Nothing else can be waited
        // on. Looked at again every millisecond while a port is among them (a burst ends
        // after a pause of a few milliseconds), else every ten.
        using TClock = std::chrono::steady_clock;
        const auto start = TClock::now();
        for (;;) {
            int found = 0;
            bool port = false;
            for (int i = 0; i < count; ++i) {
                TPollEntry& e = entries[i];
                e.Found = 0;
                if (e.Fd < 0)
                    continue;
                if (!PollOne(e, port)) {
                    errno = ENOTSUP;
                    return -1;
                }
                found += e.Found != 0 ? 1 : 0;
            }
            const auto waited =
                std::chrono::duration_cast<std::chrono::milliseconds>(TClock::now() - start)
                    .count();
            if (found > 0 || (timeoutMs >= 0 && waited >= timeoutMs))
                return found;
            long long pause = port ? 1 : 10;
            if (timeoutMs >= 0)
                pause = std::min<long long>(pause, timeoutMs - waited);
            Sleep(static_cast<DWORD>(pause));
        }
    }
    int DoIsTerminal(int fd) override {
        DWORD mode = 0;
        if (IsSerial(fd) || GetConsoleMode(HandleOf(fd), &mode))
            return 0;
        errno = ENOTTY;
        return -1;
    }
    int DoMakeRawTerminal(int fd, int baud) override {
        if (!IsSerial(fd)) {
            errno = ENOTTY;
            return -1;
        }
        if (!SupportsBaud(baud)) {
            errno = EINVAL;
            return -1;
        }
        // Raw, as cfmakeraw with CLOCAL and CREAD: 8 data bits, no parity, one stop bit, no
        // flow control of either kind, the modem lines ignored, no character replaced.
        const HANDLE handle = HandleOf(fd);
        DCB line{};
        line.DCBlength = sizeof line;
        if (!GetCommState(handle, &line))
            return Failed();
        line.BaudRate = static_cast<DWORD>(baud);
        line.fBinary = TRUE;
        line.fParity = FALSE;
        line.Parity = NOPARITY;
        line.ByteSize = 8;
        line.StopBits = ONESTOPBIT;
        line.fOutxCtsFlow = FALSE;
        line.fOutxDsrFlow = FALSE;
        line.fDtrControl = DTR_CONTROL_ENABLE;
        line.fRtsControl = RTS_CONTROL_ENABLE;
        line.fDsrSensitivity = FALSE;
        line.fOutX = FALSE;
        line.fInX = FALSE;
        line.fErrorChar = FALSE;
        line.fNull = FALSE;
        line.fAbortOnError = FALSE;
        if (!SetCommState(handle, &line))
            return Failed();
        return 0;
    }
    int DoFlushTerminal(int fd, bool input) override {
        if (!IsSerial(fd)) {
            errno = ENOTTY;
            return -1;
        }
        const DWORD what = input ? PURGE_RXCLEAR | PURGE_RXABORT : PURGE_TXCLEAR | PURGE_TXABORT;
        return PurgeComm(HandleOf(fd), what) ? 0 : Failed();
    }
    int DoLockExclusive(int fd) override {
        // A COM port has one opener at a time already (a second one is refused: EBUSY).
        if (IsSerial(fd))
            return 0;
        // Windows' byte locks are mandatory: lock one byte far beyond any data, so that the
        // lock keeps other lockers out and no reader.
        OVERLAPPED at{};
        at.Offset = 0xFFFFFFFE;
        at.OffsetHigh = 0x7FFFFFFF;
        if (LockFileEx(HandleOf(fd), LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0,
                       &at))
            return 0;
        // A handle that takes no byte locks at all (a pipe, a device) answers as a POSIX file
        // without locks does.
        const DWORD error = GetLastError();
        errno = error == ERROR_LOCK_VIOLATION || error == ERROR_IO_PENDING ? EWOULDBLOCK
                : error == ERROR_INVALID_FUNCTION || error == ERROR_NOT_SUPPORTED ||
                        error == ERROR_INVALID_PARAMETER
                    ? ENOLCK
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

    // What a write to a COM port waits at most for the line to take bytes; a caller that
    // needs longer (SerialPort's write time-out) polls and writes again.
    static constexpr DWORD kWriteSliceMs = 100;
    // A COM port takes more bytes (Poll's kPollOut) while its driver holds fewer than this
    // many unsent.
    static constexpr DWORD kOutQueueRoom = 4096;

    // A descriptor over `handle` (closed when the descriptor is), or -1 with errno set.
    // A COM port's reads and writes wait or not as `nonBlock` says (see above).
    int FromHandle(HANDLE handle, int access, bool device = false, bool nonBlock = false) {
        if (handle == INVALID_HANDLE_VALUE)
            return Failed();
        const bool serial = IsSerialHandle(handle);
        if (serial && !SetPortWaits(handle, !nonBlock)) {
            const DWORD error = GetLastError();
            CloseHandle(handle);
            errno = ErrnoOf(error);
            return -1;
        }
        const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(handle), access | _O_BINARY);
        if (fd < 0) {
            CloseHandle(handle);
            errno = EMFILE;
            return -1;
        }
        Remember(fd,
                 access == _O_RDONLY   ? kDescriptorRead
                 : access == _O_WRONLY ? kDescriptorWrite
                                       : kDescriptorRead | kDescriptorWrite,
                 serial, device);
        return fd;
    }

    // The COM port at `device`, open for reading and writing without blocking (see above).
    int OpenPort(const std::wstring& device, bool nonBlock) {
        const HANDLE handle = CreateFileW(device.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                          OPEN_EXISTING, 0, nullptr);
        if (handle == INVALID_HANDLE_VALUE) {
            const DWORD error = GetLastError();
            errno = error == ERROR_ACCESS_DENIED ? EBUSY : ErrnoOf(error);
            return -1;
        }
        if (!IsSerialHandle(handle)) {
            CloseHandle(handle);
            errno = ENOTTY;
            return -1;
        }
        const int fd = FromHandle(handle, _O_RDWR, true, nonBlock);
        if (fd >= 0) {
            std::lock_guard lock(DescriptorMutex);
            Descriptors[fd].PortNumber = PortDeviceNumber(device);
        }
        return fd;
    }

    // Sets the time-outs of a COM port: with `wait`, none (a read waits for its bytes, a
    // write until it is done); else those that make its reads and writes return (see above).
    static bool SetPortWaits(HANDLE handle, bool wait) {
        COMMTIMEOUTS timeouts{};
        if (!wait) {
            timeouts.ReadIntervalTimeout = MAXDWORD;  // with both totals 0: return at once
            timeouts.WriteTotalTimeoutConstant = kWriteSliceMs;
        }
        if (!SetCommTimeouts(handle, &timeouts))
            return false;
        if (wait)
            return true;
        // Sleep(1) sleeps a millisecond, not a scheduler tick of 15.6, once a port is open
        // (Poll's waits): set once for the process.
        static const bool finerTimer = timeBeginPeriod(1) == TIMERR_NOERROR;
        (void)finerTimer;
        return true;
    }

    // A read or write on a COM port: what was moved, or -1 with EAGAIN when nothing could be
    // yet and EIO when the port failed (hung up).
    ssize_t SerialTransfer(int fd, void* buffer, unsigned size, bool write) {
        const HANDLE handle = HandleOf(fd);
        DWORD moved = 0;
        const BOOL done = write ? WriteFile(handle, buffer, size, &moved, nullptr)
                                : ReadFile(handle, buffer, size, &moved, nullptr);
        if (!done) {
            const DWORD error = GetLastError();
            errno = error == ERROR_INVALID_HANDLE ? EBADF : EIO;
            return -1;
        }
        if (moved == 0 && size > 0) {
            errno = EAGAIN;
            return -1;
        }
        return static_cast<ssize_t>(moved);
    }

    // Fills e.Found for one descriptor; false when it is of a kind that cannot be waited on.
    // Sets `port` when it is a COM port.
    bool PollOne(TPollEntry& e, bool& port) {
        const HANDLE handle = HandleOf(e.Fd);
        if (handle == INVALID_HANDLE_VALUE) {
            e.Found = kPollInvalid;
            return true;
        }
        if (IsSerial(e.Fd)) {
            port = true;
            DWORD errors = 0;
            COMSTAT held{};
            if (!ClearCommError(handle, &errors, &held))
                e.Found = kPollHangUp;
            else
                e.Found =
                    static_cast<short>((held.cbInQue > 0 ? e.Events & kPollIn : 0) |
                                       (held.cbOutQue < kOutQueueRoom ? e.Events & kPollOut : 0));
            return true;
        }
        switch (GetFileType(handle)) {
            case FILE_TYPE_PIPE: {
                DWORD available = 0;
                if (!PeekNamedPipe(handle, nullptr, 0, nullptr, &available, nullptr))
                    e.Found = kPollHangUp;
                else if (available > 0)
                    e.Found = static_cast<short>(e.Events & kPollIn);
                if ((e.Events & kPollOut) != 0)
                    e.Found = static_cast<short>(e.Found | kPollOut);
                return true;
            }
            case FILE_TYPE_DISK:
                e.Found = e.Events;
                return true;
            default:
                return false;
        }
    }

    // msvcrt does not tell how a descriptor was opened, nor which is a COM port: the ones
    // opened here are noted.
    struct TDescriptor {
        int Access = kDescriptorRead | kDescriptorWrite;
        bool Serial = false;
        bool Device = false;      // opened by a device's name (IsDeviceName)
        uint64_t PortNumber = 0;  // a COM port opened by its name: PortDeviceNumber
    };
    void Remember(int fd, int access, bool serial = false, bool device = false) {
        std::lock_guard lock(DescriptorMutex);
        Descriptors[fd] = TDescriptor{access, serial, device};
    }
    void Forget(int fd) {
        std::lock_guard lock(DescriptorMutex);
        Descriptors.erase(fd);
    }
    TDescriptor DescriptorOf(int fd) {
        std::lock_guard lock(DescriptorMutex);
        const auto found = Descriptors.find(fd);
        return found != Descriptors.end() ? found->second : TDescriptor();
    }
    int AccessOf(int fd) {
        if (fd == 0)
            return kDescriptorRead;
        if (fd == 1 || fd == 2)
            return kDescriptorWrite;
        return DescriptorOf(fd).Access;
    }
    bool IsSerial(int fd) { return fd > 2 && DescriptorOf(fd).Serial; }

    std::mutex DescriptorMutex;
    std::unordered_map<int, TDescriptor> Descriptors;
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
