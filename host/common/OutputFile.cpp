#include "host/common/OutputFile.h"

#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>

#include "host/common/Diagnostics.h"
#include "host/common/StopSignals.h"
#include "host/common/SystemCalls.h"

namespace n95::host {

namespace {

constexpr std::size_t kStreamBuffer = 1 << 20;

// How often a FIFO without a reader is tried again.
constexpr auto kFifoRetry = std::chrono::milliseconds(50);

// Opens `path` without waiting (a FIFO without a reader, a terminal without carrier), then
// makes the descriptor blocking for the writes. -1 with errno set when either fails.
int OpenWithoutWaiting(const std::string& path, unsigned flags) {
    TSystemCalls& system = System();
    const int fd = system.Open(path, flags | kOpenNonBlock);
    if (fd < 0 || system.SetBlocking(fd) == 0)
        return fd;
    const int errnum = errno;
    system.Close(fd);
    errno = errnum;
    return -1;
}

// A FIFO: at once when it has a reader, else after a note, when one comes. The wait is a
// non-blocking open tried again and again, not a blocking open: that one would be restarted
// after a signal, and a stop (Ctrl-C) must end the wait (errno EINTR then).
int OpenFifo(const std::string& path, const std::string& name) {
    for (bool told = false;; told = true) {
        const int fd = OpenWithoutWaiting(path, kOpenWrite);
        if (fd >= 0 || errno != ENXIO)
            return fd;
        if (StopRequested()) {
            errno = EINTR;
            return -1;
        }
        if (!told)
            PrintNote("waiting for a reader of the FIFO " + name);
        std::this_thread::sleep_for(kFifoRetry);
    }
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
    if (Target.Kind == TOutputTarget::TKind::Descriptor) {
        // A copy of the descriptor shares its offset and its O_APPEND: the output goes on
        // where the shell's redirection put it.
        fd = System().Duplicate(Target.Fd, 3);
    } else if (Target.Type == TFileKind::Fifo) {
        fd = OpenFifo(Target.Path, DisplayName);
    } else if (Target.Type == TFileKind::Socket) {
        fd = System().ConnectLocal(Target.Path);
    } else {
        // A device that would wait (a terminal without carrier) never holds the run.
        fd = OpenWithoutWaiting(Target.Path, kOpenWrite | kOpenNoTerminal);
    }
    if (fd < 0) {
        *error = SystemError("cannot write " + DisplayName, errno);
        return false;
    }
    const bool reopenable =
        Target.Kind == TOutputTarget::TKind::Straight &&
        (Target.Type == TFileKind::Fifo || Target.Type == TFileKind::CharDevice);
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
        ByNamePath = System().UnnamedPath(fileno(Spool));
        if (ByNamePath.empty()) {
            *error = SystemError("cannot name a temporary file for " + DisplayName, EOPNOTSUPP);
            Discard();
            return false;
        }
    }
    return true;
}

FILE* TOutputFile::File() const {
    if (Options.ByName)
        return nullptr;  // the other party writes; a spool's copy goes through Stream
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
    return Publish(error) && Finish(error);
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
        System().Close(HeldFd);
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

bool TOutputFile::Finish(std::string* error) {
    return Atomic.Finish(error);
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
        System().Close(HeldFd);
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
