#include "host/common/OutputFile.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "host/common/Diagnostics.h"

namespace n95::host {

namespace {

constexpr std::size_t kStreamBuffer = 1 << 20;

int OpenRetrying(const char* path, int flags) {
    int fd;
    do
        fd = open(path, flags);
    while (fd < 0 && errno == EINTR);
    return fd;
}

// A FIFO: at once when it has a reader, else after a note, when one comes.
int OpenFifo(const std::string& path, const std::string& name) {
    int fd = open(path.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd >= 0) {
        fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
        return fd;
    }
    if (errno != ENXIO)
        return -1;
    PrintNote("waiting for a reader of the FIFO " + name);
    return OpenRetrying(path.c_str(), O_WRONLY | O_CLOEXEC);
}

// A listening Unix socket: a stream connection to it.
int ConnectSocket(const std::string& path) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.size() >= sizeof address.sun_path) {
        errno = ENAMETOOLONG;
        return -1;
    }
    std::memcpy(address.sun_path, path.data(), path.size());
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    if (connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        const int saved = errno;
        close(fd);
        errno = saved;
        return -1;
    }
    return fd;
}

}  // namespace

TOutputFile::~TOutputFile() {
    Discard();
}

bool TOutputFile::Open(const std::string& name, std::string* error) {
    return Open(name, TOptions(), error);
}

bool TOutputFile::Open(const std::string& name, const TOptions& options, std::string* error) {
    Discard();
    Options = options;
    DisplayName = OutputDisplayName(name);
    if (!ResolveOutputTarget(name, Target, error))
        return false;
    if (Target.Kind == TOutputTarget::TKind::File) {
        if (!Atomic.Open(Target.Path, error))
            return false;
        if (options.ByName) {
            std::fclose(Atomic.Detach());
            ByNamePath = Atomic.TempPath();
        }
        Opened = true;
        return true;
    }
    if (!OpenStraight(error))
        return false;
    Opened = true;
    return true;
}

bool TOutputFile::OpenStraight(std::string* error) {
    int fd = -1;
    switch (Target.Kind == TOutputTarget::TKind::Descriptor ? 0 : Target.Type) {
        case 0:
            // A copy of the descriptor shares its offset and its O_APPEND: the output goes
            // on where the shell's redirection put it.
            fd = fcntl(Target.Fd, F_DUPFD_CLOEXEC, 3);
            break;
        case S_IFIFO:
            fd = OpenFifo(Target.Path, DisplayName);
            break;
        case S_IFSOCK:
            fd = ConnectSocket(Target.Path);
            break;
        default:
            fd = OpenRetrying(Target.Path.c_str(), O_WRONLY | O_NOCTTY | O_CLOEXEC);
            break;
    }
    if (fd < 0) {
        *error = SystemError("cannot write " + DisplayName, errno);
        return false;
    }
    const bool reopenable = Target.Kind == TOutputTarget::TKind::Straight &&
                            (Target.Type == S_IFIFO || Target.Type == S_IFCHR);
    if (Options.ByName && reopenable) {
        HeldFd = fd;
        ByNamePath = Target.Path;
        return true;
    }
    if (Stream.Open(fd, kStreamBuffer) == nullptr) {
        *error = SystemError("cannot write " + DisplayName, errno);
        return false;
    }
    if (Options.ByName) {
        // A descriptor may be a regular file that opening by name would truncate (or a file
        // opened for appending), and a socket cannot be opened by name at all: the other
        // party writes a spool instead.
        Spool = std::tmpfile();
        if (Spool == nullptr) {
            *error = SystemError("cannot create a temporary file for " + DisplayName, errno);
            Discard();
            return false;
        }
        ByNamePath = "/proc/self/fd/" + std::to_string(fileno(Spool));
    }
    return true;
}

FILE* TOutputFile::File() const {
    return Target.Kind == TOutputTarget::TKind::File ? Atomic.File() : Stream.File();
}

FILE* TOutputFile::Detach() {
    return Target.Kind == TOutputTarget::TKind::File ? Atomic.Detach() : Stream.Detach();
}

bool TOutputFile::Flush(std::string* error) {
    if (!Opened)
        return true;
    if (Target.Kind == TOutputTarget::TKind::File)
        return Atomic.Flush(error);
    int errnum = 0;
    if (Stream.Flush(&errnum))
        return true;
    *error = SystemError("cannot write " + DisplayName, errnum);
    return false;
}

bool TOutputFile::CopySpool(std::string* error) {
    FILE* spool = Spool;
    Spool = nullptr;
    char buffer[1 << 16];
    bool ok = std::fseek(spool, 0, SEEK_SET) == 0;
    std::size_t n = 0;
    while (ok && (n = std::fread(buffer, 1, sizeof buffer, spool)) > 0)
        ok = std::fwrite(buffer, 1, n, Stream.File()) == n;
    const bool readFailed = std::ferror(spool) != 0;
    const int readErrno = errno;
    std::fclose(spool);
    if (readFailed) {
        *error = SystemError("cannot read back the spool of " + DisplayName, readErrno);
        return false;
    }
    return true;  // a failed write shows when the stream is closed
}

bool TOutputFile::Commit(std::string* error) {
    if (!Prepare(error))
        return false;
    if (Held)
        return true;
    if (!Publish(error))
        return false;
    Finish();
    return true;
}

bool TOutputFile::Prepare(std::string* error) {
    if (!Opened) {
        *error = "cannot write " + DisplayName + ": not open";
        return false;
    }
    Opened = false;
    if (Target.Kind == TOutputTarget::TKind::File) {
        Preparing = true;
        return Atomic.Prepare(error);
    }
    bool ok = true;
    if (Spool != nullptr)
        ok = CopySpool(error);
    if (HeldFd >= 0) {
        close(HeldFd);
        HeldFd = -1;
    }
    int errnum = 0;
    if (!Stream.Close(&errnum) && ok) {
        *error = SystemError("cannot write " + DisplayName, errnum);
        ok = false;
    }
    return ok;
}

bool TOutputFile::Publish(std::string* error) {
    if (!Preparing)
        return true;  // a straight output, finished by Prepare
    Preparing = false;
    return Atomic.Publish(error);
}

void TOutputFile::Finish() {
    Atomic.Finish();
}

bool TOutputFile::Rollback() {
    Preparing = false;
    return Atomic.Rollback();
}

void TOutputFile::Discard() {
    Atomic.Discard();
    int ignored = 0;
    Stream.Close(&ignored);
    if (HeldFd >= 0) {
        close(HeldFd);
        HeldFd = -1;
    }
    if (Spool != nullptr) {
        std::fclose(Spool);
        Spool = nullptr;
    }
    ByNamePath.clear();
    Opened = false;
    Preparing = false;
    Held = false;
}

}  // namespace n95::host
