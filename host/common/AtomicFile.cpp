#include "host/common/AtomicFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>

#include "host/common/Diagnostics.h"

namespace n95::host {

namespace {

constexpr std::size_t kStreamBuffer = 1 << 20;

mode_t CurrentUmask() {
    // umask can only be read by setting it; put it straight back.
    const mode_t mask = umask(022);
    umask(mask);
    return mask;
}

// What open(O_TMPFILE) answers when the kernel or the file system has no unnamed files.
bool NoUnnamedFiles(int errnum) {
    return errnum == EOPNOTSUPP || errnum == EISDIR || errnum == EINVAL;
}

std::string RandomSuffix() {
    static const char kLetters[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
    static std::mt19937 generator{std::random_device{}()};
    std::uniform_int_distribution<int> pick(0, static_cast<int>(sizeof kLetters) - 2);
    std::string suffix(6, 'X');
    for (char& c : suffix)
        c = kLetters[pick(generator)];
    return suffix;
}

}  // namespace

TAtomicFile::~TAtomicFile() {
    Discard();
}

bool TAtomicFile::Open(const std::string& path, std::string* error, TTempName name) {
    Discard();
    FinalPath = path;
    const std::size_t slash = path.rfind('/');
    const std::string dir = slash == std::string::npos ? "" : path.substr(0, slash + 1);
    const std::string base = slash == std::string::npos ? path : path.substr(slash + 1);
    if (base.empty()) {
        *error = "cannot create " + path + ": not a file name";
        return false;
    }
    if (name == TTempName::Unnamed) {
        int errnum = 0;
        if (OpenUnnamed(dir, &errnum))
            return true;
        if (!NoUnnamedFiles(errnum)) {
            *error = SystemError("cannot create " + path, errnum);
            return false;
        }
    }
    return OpenNamed(error);
}

bool TAtomicFile::OpenUnnamed(const std::string& dir, int* errnum) {
    const int fd = open(dir.empty() ? "." : dir.c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0666);
    if (fd < 0) {
        *errnum = errno;
        return false;
    }
    // The file is named at Commit through /proc/self/fd; without /proc it never could be.
    const std::string procPath = "/proc/self/fd/" + std::to_string(fd);
    struct stat viaProc {
    }, viaFd{};
    const int streamFd = fcntl(fd, F_DUPFD_CLOEXEC, 0);
    if (stat(procPath.c_str(), &viaProc) != 0 || fstat(fd, &viaFd) != 0 ||
        viaProc.st_ino != viaFd.st_ino || viaProc.st_dev != viaFd.st_dev || streamFd < 0) {
        if (streamFd >= 0)
            close(streamFd);
        close(fd);
        *errnum = EOPNOTSUPP;
        return false;
    }
    if (Stream.Open(streamFd, kStreamBuffer) == nullptr) {
        *errnum = errno;
        close(fd);
        return false;
    }
    Fd = fd;
    Temp = procPath;
    State = TState::Open;
    return true;
}

bool TAtomicFile::OpenNamed(std::string* error) {
    std::string pattern = HiddenName(".tmp-XXXXXX");
    const int fd = mkostemp(pattern.data(), O_CLOEXEC);
    if (fd < 0) {
        *error = SystemError("cannot create " + FinalPath, errno);
        return false;
    }
    Temp = pattern;
    State = TState::Open;
    if (Stream.Open(fd, kStreamBuffer) == nullptr) {
        *error = SystemError("cannot open " + Temp, errno);
        Discard();
        return false;
    }
    return true;
}

std::string TAtomicFile::HiddenName(const std::string& suffix) const {
    const std::size_t slash = FinalPath.rfind('/');
    const std::string dir = slash == std::string::npos ? "" : FinalPath.substr(0, slash + 1);
    std::string base = slash == std::string::npos ? FinalPath : FinalPath.substr(slash + 1);
    // ".", ".tmp-" and six letters must fit beside the name in the folder's name limit.
    const long nameMax = pathconf(dir.empty() ? "." : dir.c_str(), _PC_NAME_MAX);
    const std::size_t room = (nameMax > 0 ? static_cast<std::size_t>(nameMax) : 255) - 12;
    if (base.size() > room)
        base.resize(room);
    return dir + "." + base + suffix;
}

bool TAtomicFile::LinkUnnamed(std::string& linked) {
    for (int attempt = 0; attempt < 100; ++attempt) {
        linked = HiddenName(".tmp-" + RandomSuffix());
        if (linkat(AT_FDCWD, Temp.c_str(), AT_FDCWD, linked.c_str(), AT_SYMLINK_FOLLOW) == 0)
            return true;
        if (errno != EEXIST)
            return false;
    }
    return false;
}

bool TAtomicFile::Flush(std::string* error) {
    int errnum = 0;
    if (Stream.Flush(&errnum))
        return true;
    *error = SystemError("cannot write " + FinalPath, errnum);
    return false;
}

bool TAtomicFile::TakeMode(int fd) {
    struct stat old {};
    Replacing = lstat(FinalPath.c_str(), &old) == 0 && S_ISREG(old.st_mode);
    if (!Replacing)
        return Fd >= 0 || fchmod(fd, 0666 & ~CurrentUmask()) == 0;  // unnamed: made so
    // The owner only root may give; the group, any member of it. Neither is worth failing
    // the run over: the file stays this user's, as a copy of it would.
    if (fchown(fd, old.st_uid, old.st_gid) != 0 && fchown(fd, static_cast<uid_t>(-1), old.st_gid))
        errno = 0;
    return fchmod(fd, old.st_mode & 07777) == 0;
}

bool TAtomicFile::Prepare(std::string* error) {
    if (State != TState::Open) {
        *error = "cannot write " + FinalPath + ": not open";
        return false;
    }
    int errnum = 0;
    if (!Stream.Close(&errnum)) {
        *error = SystemError("cannot write " + FinalPath, errnum);
        Discard();
        return false;
    }
    // The named file's stream is gone (closed here, or by whoever it was detached to).
    const int fd = Fd >= 0 ? Fd : open(Temp.c_str(), O_RDONLY | O_CLOEXEC);
    struct stat info {};
    // Synced before it is named over the destination: a crash after the rename must not
    // leave an empty file where the old one was.
    const bool ok = fd >= 0 && fdatasync(fd) == 0 && TakeMode(fd) && fstat(fd, &info) == 0;
    errnum = errno;
    if (fd >= 0 && fd != Fd)
        close(fd);
    if (!ok) {
        *error = SystemError("cannot write " + FinalPath, errnum);
        Discard();
        return false;
    }
    NewInode = info.st_ino;
    Prepared = Temp;
    if (Fd >= 0 && !LinkUnnamed(Prepared)) {
        *error = SystemError("cannot create " + FinalPath, errno);
        Discard();
        return false;
    }
    State = TState::Prepared;
    return true;
}

bool TAtomicFile::ExchangeWithDestination(const std::string& from, std::string& kept) {
    if (renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, FinalPath.c_str(), RENAME_EXCHANGE) == 0) {
        kept = from;  // the old file now stands at the hidden name
        return true;
    }
    if (errno != EINVAL && errno != ENOSYS && errno != EOPNOTSUPP)
        return false;
    // No exchange on this file system: keep the old file by a second link, then rename.
    kept = HiddenName(".old-" + RandomSuffix());
    if (link(FinalPath.c_str(), kept.c_str()) != 0)
        kept.clear();  // no hard links either: the old file cannot be kept for a rollback
    if (std::rename(from.c_str(), FinalPath.c_str()) == 0)
        return true;
    const int errnum = errno;
    if (!kept.empty())
        unlink(kept.c_str());
    errno = errnum;
    return false;
}

bool TAtomicFile::Publish(std::string* error) {
    if (State != TState::Prepared) {
        *error = "cannot write " + FinalPath + ": not prepared";
        return false;
    }
    struct stat now {};
    const bool exists = lstat(FinalPath.c_str(), &now) == 0;
    bool ok = false;
    if (exists != Replacing || (exists && !S_ISREG(now.st_mode))) {
        errno = exists ? EEXIST : ENOENT;  // another program changed the destination
    } else if (exists) {
        ok = ExchangeWithDestination(Prepared, Replaced);
    } else {
        ok = renameat2(AT_FDCWD, Prepared.c_str(), AT_FDCWD, FinalPath.c_str(), RENAME_NOREPLACE) ==
                 0 ||
             ((errno == EINVAL || errno == ENOSYS) &&
              std::rename(Prepared.c_str(), FinalPath.c_str()) == 0);
        Replaced.clear();
    }
    if (!ok) {
        *error = SystemError("cannot replace " + FinalPath, errno);
        Discard();
        return false;
    }
    State = TState::Published;
    return true;
}

void TAtomicFile::Finish() {
    Discard();  // a published file stays; what it replaced goes
}

bool TAtomicFile::Rollback() {
    if (State != TState::Published) {
        Discard();
        return true;
    }
    bool ok = true;
    if (!Replaced.empty()) {
        ok = std::rename(Replaced.c_str(), FinalPath.c_str()) == 0;
    } else if (Replacing) {
        // The old file could not be kept (a file system without exchange or hard links): the
        // new one stays rather than leave nothing.
        errno = EXDEV;
        ok = false;
    } else {
        // Nothing stood there: take the new file away, if it is still the one put there.
        struct stat now {};
        if (lstat(FinalPath.c_str(), &now) == 0 && now.st_ino == NewInode)
            ok = unlink(FinalPath.c_str()) == 0;
    }
    const int errnum = errno;
    if (ok)
        Replaced.clear();  // back at its name: nothing left to remove
    State = TState::Closed;
    Discard();
    errno = errnum;
    return ok;
}

bool TAtomicFile::Commit(std::string* error) {
    if (!Prepare(error) || !Publish(error))
        return false;
    Finish();
    return true;
}

void TAtomicFile::Discard() {
    int ignored = 0;
    Stream.Close(&ignored);
    switch (State) {
        case TState::Open:
            if (Fd < 0)
                unlink(Temp.c_str());  // an unnamed file vanishes with its descriptor below
            break;
        case TState::Prepared:
            unlink(Prepared.c_str());
            break;
        case TState::Published:
        case TState::Closed:
            // A publication stands; what it replaced (if a rollback did not restore it) goes.
            if (!Replaced.empty())
                unlink(Replaced.c_str());
            break;
    }
    if (Fd >= 0) {
        close(Fd);
        Fd = -1;
    }
    Temp.clear();
    Prepared.clear();
    Replaced.clear();
    State = TState::Closed;
}

}  // namespace n95::host
