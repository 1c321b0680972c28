// The host's system calls on Linux (see SystemCalls.h).
#include <dlfcn.h>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/uio.h>
#include <sys/un.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "host/common/SystemCalls.h"

namespace n95::host {

namespace {

struct TBaud {
    int Value;
    speed_t Speed;
};

constexpr TBaud kBauds[] = {
    {50, B50},           {75, B75},           {110, B110},         {134, B134},
    {150, B150},         {200, B200},         {300, B300},         {600, B600},
    {1200, B1200},       {1800, B1800},       {2400, B2400},       {4800, B4800},
    {9600, B9600},       {19200, B19200},     {38400, B38400},     {57600, B57600},
    {115200, B115200},   {230400, B230400},   {460800, B460800},   {500000, B500000},
    {576000, B576000},   {921600, B921600},   {1000000, B1000000}, {1152000, B1152000},
    {1500000, B1500000}, {2000000, B2000000}, {2500000, B2500000}, {3000000, B3000000},
    {3500000, B3500000}, {4000000, B4000000},
};

bool SpeedOf(int baud, speed_t& speed) {
    for (const TBaud& b : kBauds) {
        if (b.Value == baud) {
            speed = b.Speed;
            return true;
        }
    }
    return false;
}

TFileKind KindOf(mode_t mode) {
    switch (mode & S_IFMT) {
        case S_IFREG:
            return TFileKind::Regular;
        case S_IFDIR:
            return TFileKind::Directory;
        case S_IFLNK:
            return TFileKind::Link;
        case S_IFCHR:
            return TFileKind::CharDevice;
        case S_IFBLK:
            return TFileKind::BlockDevice;
        case S_IFIFO:
            return TFileKind::Fifo;
        case S_IFSOCK:
            return TFileKind::Socket;
        default:
            return TFileKind::Other;
    }
}

void Describe(const struct stat& from, TFileInfo& info) {
    info.Kind = KindOf(from.st_mode);
    info.Permissions = from.st_mode & 07777;
    info.Device = from.st_dev;
    info.Inode = from.st_ino;
    info.DeviceNumber = from.st_rdev;
    info.Owner = from.st_uid;
    info.Group = from.st_gid;
    info.Size = static_cast<uint64_t>(from.st_size);
}

short ToPoll(short events) {
    return static_cast<short>(((events & kPollIn) != 0 ? POLLIN : 0) |
                              ((events & kPollOut) != 0 ? POLLOUT : 0));
}

short FromPoll(short revents) {
    return static_cast<short>(
        ((revents & POLLIN) != 0 ? kPollIn : 0) | ((revents & POLLOUT) != 0 ? kPollOut : 0) |
        ((revents & POLLERR) != 0 ? kPollError : 0) | ((revents & POLLHUP) != 0 ? kPollHangUp : 0) |
        ((revents & POLLNVAL) != 0 ? kPollInvalid : 0));
}

// The signals that ask the process to end (see CatchStopRequests).
constexpr int kStopSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGPIPE};

// What the stop signals call; set once, before the handlers are installed.
std::atomic<void (*)()> gOnStop{nullptr};

void OnStopSignal(int) {
    if (auto* onStop = gOnStop.load(std::memory_order_relaxed))
        onStop();
}

class TPosixSystemCalls final : public TSystemCalls {
public:
    bool SupportsBaud(int baud) override {
        speed_t speed;
        return SpeedOf(baud, speed);
    }

protected:
    int DoOpen(const std::string& path, unsigned flags, unsigned mode) override {
        int native = O_CLOEXEC;
        native |= (flags & kOpenReadWrite) != 0 ? O_RDWR
                  : (flags & kOpenWrite) != 0   ? O_WRONLY
                                                : O_RDONLY;
        native |= (flags & kOpenCreate) != 0 ? O_CREAT : 0;
        native |= (flags & kOpenExclusive) != 0 ? O_EXCL : 0;
        native |= (flags & kOpenNonBlock) != 0 ? O_NONBLOCK : 0;
        native |= (flags & kOpenNoTerminal) != 0 ? O_NOCTTY : 0;
        return ::open(path.c_str(), native, static_cast<mode_t>(mode));
    }
    int DoOpenUnnamed(const std::string& folder, unsigned mode) override {
        return ::open(folder.c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, static_cast<mode_t>(mode));
    }
    std::string DoUnnamedPath(int fd) override {
        // Linking through /proc needs /proc; without it the file can never be named.
        const std::string path = "/proc/self/fd/" + std::to_string(fd);
        struct stat viaProc {
        }, viaFd{};
        if (::stat(path.c_str(), &viaProc) != 0 || ::fstat(fd, &viaFd) != 0 ||
            viaProc.st_ino != viaFd.st_ino || viaProc.st_dev != viaFd.st_dev)
            return "";
        return path;
    }
    int DoCreateUnique(std::string& pattern) override {
        return ::mkostemp(pattern.data(), O_CLOEXEC);
    }
    int DoDuplicate(int fd, int lowest) override { return ::fcntl(fd, F_DUPFD_CLOEXEC, lowest); }
    ssize_t DoRead(int fd, void* buffer, std::size_t size) override {
        return ::read(fd, buffer, size);
    }
    ssize_t DoWrite(int fd, const void* data, std::size_t size) override {
        return ::write(fd, data, size);
    }
    ssize_t DoWriteGathered(int fd, const TBytes* pieces, int count) override {
        std::vector<iovec> vector(static_cast<std::size_t>(count));
        for (int i = 0; i < count; ++i)
            vector[static_cast<std::size_t>(i)] = {const_cast<void*>(pieces[i].Data),
                                                   pieces[i].Size};
        return ::writev(fd, vector.data(), count);
    }
    int DoSyncData(int fd) override { return ::fdatasync(fd); }
    int DoTruncate(int fd, uint64_t size) override {
        return ::ftruncate(fd, static_cast<off_t>(size));
    }
    int DoRewind(int fd) override { return ::lseek(fd, 0, SEEK_SET) == 0 ? 0 : -1; }
    int DoClose(int fd) override { return ::close(fd); }
    int DoStatus(const std::string& path, TFileInfo& info, bool followLinks) override {
        struct stat native {};
        const int result =
            followLinks ? ::stat(path.c_str(), &native) : ::lstat(path.c_str(), &native);
        if (result == 0)
            Describe(native, info);
        return result;
    }
    int DoStatusOf(int fd, TFileInfo& info) override {
        struct stat native {};
        const int result = ::fstat(fd, &native);
        if (result == 0)
            Describe(native, info);
        return result;
    }
    int DoReadLink(const std::string& path, std::string& target) override {
        std::vector<char> buffer(4096);
        const ssize_t n = ::readlink(path.c_str(), buffer.data(), buffer.size());
        if (n < 0)
            return -1;
        if (static_cast<std::size_t>(n) == buffer.size()) {
            errno = ENAMETOOLONG;
            return -1;
        }
        target.assign(buffer.data(), static_cast<std::size_t>(n));
        return 0;
    }
    int DoAccess(const std::string& path, int flags) override {
        return ::access(path.c_str(), ((flags & kAccessSearch) != 0 ? X_OK : 0) |
                                          ((flags & kAccessWrite) != 0 ? W_OK : 0));
    }
    long DoNameMax(const std::string& folder) override {
        errno = 0;
        const long n = ::pathconf(folder.c_str(), _PC_NAME_MAX);
        if (n < 0 && errno == 0)
            errno = EINVAL;  // no limit: the caller takes its own
        return n;
    }
    unsigned DoCreationMask() override {
        // umask can only be read by setting it; put it straight back.
        const mode_t mask = ::umask(022);
        ::umask(mask);
        return mask;
    }
    int DoLink(const std::string& from, const std::string& to) override {
        return ::linkat(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), AT_SYMLINK_FOLLOW);
    }
    int DoRename(const std::string& from, const std::string& to, TRenameMode mode) override {
        if (mode == TRenameMode::Replace)
            return std::rename(from.c_str(), to.c_str());
        const unsigned flags = mode == TRenameMode::Exchange ? RENAME_EXCHANGE : RENAME_NOREPLACE;
        const int result = ::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), flags);
        if (result != 0 && (errno == ENOSYS || errno == EOPNOTSUPP))
            errno = EINVAL;  // one answer for "this system cannot"
        return result;
    }
    int DoUnlink(const std::string& path) override { return ::unlink(path.c_str()); }
    int DoChangeMode(int fd, unsigned permissions) override {
        return ::fchmod(fd, static_cast<mode_t>(permissions));
    }
    int DoChangeOwner(int fd, uint32_t owner, uint32_t group) override {
        return ::fchown(fd, static_cast<uid_t>(owner), static_cast<gid_t>(group));
    }
    int DoDescriptorAccess(int fd) override {
        const int flags = ::fcntl(fd, F_GETFL);
        if (flags < 0)
            return -1;
        switch (flags & O_ACCMODE) {
            case O_RDONLY:
                return kDescriptorRead;
            case O_WRONLY:
                return kDescriptorWrite;
            default:
                return kDescriptorRead | kDescriptorWrite;
        }
    }
    int DoSetBlocking(int fd) override {
        const int flags = ::fcntl(fd, F_GETFL);
        return flags < 0 ? -1 : ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
    }
    int DoConnectLocal(const std::string& path) override {
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        if (path.size() >= sizeof address.sun_path) {
            errno = ENAMETOOLONG;
            return -1;
        }
        std::memcpy(address.sun_path, path.data(), path.size());
        const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd < 0)
            return -1;
        if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
            const int saved = errno;
            ::close(fd);
            errno = saved;
            return -1;
        }
        return fd;
    }
    int DoPoll(TPollEntry* entries, int count, int timeoutMs) override {
        std::vector<pollfd> native(static_cast<std::size_t>(count));
        for (int i = 0; i < count; ++i)
            native[static_cast<std::size_t>(i)] = {entries[i].Fd, ToPoll(entries[i].Events), 0};
        const int result = ::poll(native.data(), static_cast<nfds_t>(count), timeoutMs);
        for (int i = 0; i < count; ++i)
            entries[i].Found =
                result > 0 ? FromPoll(native[static_cast<std::size_t>(i)].revents) : 0;
        return result;
    }
    int DoIsTerminal(int fd) override {
        termios mode;
        return ::tcgetattr(fd, &mode);
    }
    int DoMakeRawTerminal(int fd, int baud) override {
        speed_t speed;
        if (!SpeedOf(baud, speed)) {
            errno = EINVAL;
            return -1;
        }
        termios mode;
        if (::tcgetattr(fd, &mode) != 0)
            return -1;
        cfmakeraw(&mode);
        mode.c_cflag |= CLOCAL | CREAD;
        mode.c_cflag &= ~static_cast<tcflag_t>(CSTOPB | CRTSCTS);
        // VMIN 1: with O_NONBLOCK an empty line reads as EAGAIN, so that a read of 0 bytes
        // means the line hung up (with VMIN 0 it would also mean "nothing yet").
        mode.c_cc[VMIN] = 1;
        mode.c_cc[VTIME] = 0;
        if (cfsetispeed(&mode, speed) != 0 || cfsetospeed(&mode, speed) != 0)
            return -1;
        return ::tcsetattr(fd, TCSANOW, &mode);
    }
    int DoFlushTerminal(int fd, bool input) override {
        return ::tcflush(fd, input ? TCIFLUSH : TCOFLUSH);
    }
    int DoLockExclusive(int fd) override { return ::flock(fd, LOCK_EX | LOCK_NB); }
    int DoProcessUsage(TProcessUsage& usage) override {
        rusage native{};
        if (::getrusage(RUSAGE_SELF, &native) != 0)
            return -1;
        const auto seconds = [](const timeval& t) { return t.tv_sec + t.tv_usec / 1e6; };
        usage.UserSeconds = seconds(native.ru_utime);
        usage.SystemSeconds = seconds(native.ru_stime);
        usage.PeakResidentBytes = static_cast<uint64_t>(native.ru_maxrss) * 1024;  // KiB
        return 0;
    }
    std::string DoProgramPath() override {
        std::string target;
        return DoReadLink("/proc/self/exe", target) == 0 ? target : std::string();
    }
    int DoCatchStopRequests(void (*onStop)()) override {
        gOnStop.store(onStop, std::memory_order_relaxed);
        struct sigaction action {};
        action.sa_handler = OnStopSignal;
        sigemptyset(&action.sa_mask);
        action.sa_flags = 0;  // no SA_RESTART: a stop ends a wait at once
        for (const int signal : kStopSignals)
            if (::sigaction(signal, &action, nullptr) != 0)
                return -1;
        return 0;
    }
    uint32_t EffectiveUser() override { return ::geteuid(); }
    void IgnoreBrokenPipes() override { std::signal(SIGPIPE, SIG_IGN); }
    FILE* OpenStream(int, void* cookie, const TStreamFunctions& functions) override {
        cookie_io_functions_t native{};
        native.write = functions.Write;
        native.close = functions.Close;
        return ::fopencookie(cookie, "wb", native);
    }
    TStopMask BlockStopRequests() override {
        sigset_t stops, previous;
        sigemptyset(&stops);
        for (const int signal : kStopSignals)
            sigaddset(&stops, signal);
        pthread_sigmask(SIG_BLOCK, &stops, &previous);
        TStopMask mask;
        for (std::size_t i = 0; i < std::size(kStopSignals); ++i)
            if (sigismember(&previous, kStopSignals[i]) == 1)
                mask.Bits |= uint64_t{1} << i;
        return mask;
    }
    void RestoreStopRequests(TStopMask previous) override {
        sigset_t unblock;
        sigemptyset(&unblock);
        for (std::size_t i = 0; i < std::size(kStopSignals); ++i)
            if ((previous.Bits & (uint64_t{1} << i)) == 0)
                sigaddset(&unblock, kStopSignals[i]);
        pthread_sigmask(SIG_UNBLOCK, &unblock, nullptr);
    }
    void* DoLoadModule(const std::string& path, std::string* error) override {
        ::dlerror();
        void* module = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
        if (module == nullptr) {
            const char* message = ::dlerror();
            *error = message != nullptr ? message : "unknown error";
        }
        return module;
    }
    void* DoModuleSymbol(void* module, const char* name, std::string* error) override {
        ::dlerror();
        void* symbol = ::dlsym(module, name);
        const char* message = ::dlerror();
        if (symbol == nullptr || message != nullptr) {
            *error = message != nullptr ? message : "null symbol";
            return nullptr;
        }
        return symbol;
    }
    void DoUnloadModule(void* module) override { ::dlclose(module); }
};

}  // namespace

std::size_t LastPathSeparator(const std::string& path) {
    return path.rfind('/');
}

std::size_t WriteUnlocked(const void* data, std::size_t size, FILE* stream) {
    return ::fwrite_unlocked(data, 1, size, stream);
}

bool IsNullDevice(const TFileInfo& info) {
    return info.Kind == TFileKind::CharDevice && info.DeviceNumber == makedev(1, 3);
}

TSystemCalls& TSystemCalls::Default() {
    static TPosixSystemCalls calls;
    return calls;
}

}  // namespace n95::host
