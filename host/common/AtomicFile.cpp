#include "host/common/AtomicFile.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>

#include "host/common/Diagnostics.h"
#include "host/common/SystemCalls.h"

namespace n95::host {

namespace {

constexpr std::size_t kStreamBuffer = 1 << 20;

// What open(O_TMPFILE) answers when the kernel or the file system has no unnamed files.
bool NoUnnamedFiles(int errnum) {
    return errnum == EOPNOTSUPP || errnum == EISDIR || errnum == EINVAL;
}

std::string RandomSuffix() {
    static const char kLetters[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
    // One engine per thread: replays of several captures publish their outputs at once.
    thread_local std::mt19937 generator{std::random_device{}()};
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
    Kept.clear();
    FinalPath = path;
    const std::size_t slash = LastPathSeparator(path);
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
    TSystemCalls& system = System();
    const int fd = system.OpenUnnamed(dir.empty() ? "." : dir, 0666);
    if (fd < 0) {
        *errnum = errno;
        return false;
    }
    // The file is named at Commit through this path; without one it never could be.
    const std::string unnamedPath = system.UnnamedPath(fd);
    if (unnamedPath.empty()) {
        system.Close(fd);
        *errnum = EOPNOTSUPP;
        return false;
    }
    const int streamFd = system.Duplicate(fd);
    if (streamFd < 0 || Stream.Open(streamFd, kStreamBuffer) == nullptr) {
        *errnum = errno;
        system.Close(fd);
        return false;
    }
    Fd = fd;
    Temp = unnamedPath;
    State = TState::Open;
    return true;
}

bool TAtomicFile::OpenNamed(std::string* error) {
    std::string pattern = HiddenName(".tmp-XXXXXX");
    const int fd = System().CreateUnique(pattern);
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
    const std::size_t slash = LastPathSeparator(FinalPath);
    const std::string dir = slash == std::string::npos ? "" : FinalPath.substr(0, slash + 1);
    std::string base = slash == std::string::npos ? FinalPath : FinalPath.substr(slash + 1);
    // ".", ".tmp-" and six letters must fit beside the name in the folder's name limit.
    const long nameMax = System().NameMax(dir.empty() ? "." : dir);
    const std::size_t room = (nameMax > 0 ? static_cast<std::size_t>(nameMax) : 255) - 12;
    if (base.size() > room)
        base.resize(room);
    return dir + "." + base + suffix;
}

bool TAtomicFile::LinkUnnamed(std::string& linked) {
    for (int attempt = 0; attempt < 100; ++attempt) {
        linked = HiddenName(".tmp-" + RandomSuffix());
        if (System().Link(Temp, linked) == 0)
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
    TSystemCalls& system = System();
    TFileInfo old;
    const bool found = system.Status(FinalPath, old, false) == 0;
    if (!found && errno != ENOENT)
        return false;  // a destination that cannot be looked at is not taken for a new one
    Replacing = found && old.Kind == TFileKind::Regular;
    if (!Replacing)
        return Fd >= 0 ||
               system.ChangeMode(fd, 0666 & ~system.CreationMask()) == 0;  // unnamed: made so
    // The owner only root may give; the group, any member of it. Neither is worth failing
    // the run over: the file stays this user's, as a copy of it would.
    if (system.ChangeOwner(fd, old.Owner, old.Group) != 0 &&
        system.ChangeOwner(fd, static_cast<uint32_t>(-1), old.Group) != 0)
        errno = 0;
    return system.ChangeMode(fd, old.Permissions) == 0;
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
    TSystemCalls& system = System();
    const int fd = Fd >= 0 ? Fd : system.Open(Temp, kOpenRead);
    TFileInfo info;
    // Synced before it is named over the destination: a crash after the rename must not
    // leave an empty file where the old one was.
    const bool ok =
        fd >= 0 && system.SyncData(fd) == 0 && TakeMode(fd) && system.StatusOf(fd, info) == 0;
    errnum = errno;
    if (fd >= 0 && fd != Fd)
        system.Close(fd);
    if (!ok) {
        *error = SystemError("cannot write " + FinalPath, errnum);
        Discard();
        return false;
    }
    NewInode = info.Inode;
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
    TSystemCalls& system = System();
    if (system.Rename(from, FinalPath, TRenameMode::Exchange) == 0) {
        kept = from;  // the old file now stands at the hidden name
        return true;
    }
    if (errno != EINVAL)
        return false;
    // No exchange on this file system: keep the old file by a second link, then rename.
    kept = HiddenName(".old-" + RandomSuffix());
    if (system.Link(FinalPath, kept) != 0) {
        // No hard links either (EPERM, as FAT answers): the old file cannot be kept for a
        // rollback. Any other failure fails the publication, which keeps the set whole.
        const bool noHardLinks = errno == EPERM || errno == EOPNOTSUPP;
        kept.clear();
        if (!noHardLinks)
            return false;
    }
    if (system.Rename(from, FinalPath, TRenameMode::Replace) == 0)
        return true;
    const int errnum = errno;
    if (!kept.empty())
        system.Unlink(kept);
    errno = errnum;
    return false;
}

bool TAtomicFile::Publish(std::string* error) {
    if (State != TState::Prepared) {
        *error = "cannot write " + FinalPath + ": not prepared";
        return false;
    }
    TSystemCalls& system = System();
    TFileInfo now;
    const bool exists = system.Status(FinalPath, now, false) == 0;
    bool ok = false;
    if (!exists && errno != ENOENT) {
        // A destination that cannot be looked at is not taken for a missing one.
    } else if (exists != Replacing || (exists && now.Kind != TFileKind::Regular)) {
        errno = exists ? EEXIST : ENOENT;  // another program changed the destination
    } else if (exists) {
        ok = ExchangeWithDestination(Prepared, Replaced);
    } else {
        ok = system.Rename(Prepared, FinalPath, TRenameMode::NoReplace) == 0 ||
             (errno == EINVAL && system.Rename(Prepared, FinalPath, TRenameMode::Replace) == 0);
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

bool TAtomicFile::Finish(std::string* error) {
    // A published file stays; what it replaced goes.
    if (State == TState::Published && !Replaced.empty() && System().Unlink(Replaced) != 0) {
        *error = SystemError(
            "cannot remove the file that " + FinalPath + " replaced (left at " + Replaced + ")",
            errno);
        Replaced.clear();
        Discard();
        return false;
    }
    Replaced.clear();
    Discard();
    return true;
}

bool TAtomicFile::Rollback() {
    if (State != TState::Published) {
        Discard();
        return true;
    }
    bool ok = true;
    if (!Replaced.empty()) {
        ok = System().Rename(Replaced, FinalPath, TRenameMode::Replace) == 0;
    } else if (Replacing) {
        // The old file could not be kept (a file system without exchange or hard links): the
        // new one stays rather than leave nothing.
        errno = EXDEV;
        ok = false;
    } else {
        // Nothing stood there: take the new file away, if it is still the one put there.
        // A name that cannot be looked at may still hold it: that is no rollback.
        TFileInfo now;
        if (System().Status(FinalPath, now, false) != 0)
            ok = errno == ENOENT;
        else if (now.Inode == NewInode)
            ok = System().Unlink(FinalPath) == 0;
    }
    const int errnum = errno;
    // Back at its name, or (when it could not be put back) left under its hidden name for
    // the user: either way it is not removed.
    Kept = ok ? "" : Replaced;
    Replaced.clear();
    State = TState::Closed;
    Discard();
    errno = errnum;
    return ok;
}

bool TAtomicFile::Commit(std::string* error) {
    return Prepare(error) && Publish(error) && Finish(error);
}

void TAtomicFile::Discard() {
    int ignored = 0;
    Stream.Close(&ignored);
    switch (State) {
        case TState::Open:
            if (Fd < 0)
                System().Unlink(Temp);  // an unnamed file vanishes with its descriptor below
            break;
        case TState::Prepared:
            System().Unlink(Prepared);
            break;
        case TState::Published:
        case TState::Closed:
            // A publication stands; what it replaced (if a rollback did not restore it) goes.
            if (!Replaced.empty())
                System().Unlink(Replaced);
            break;
    }
    if (Fd >= 0) {
        System().Close(Fd);
        Fd = -1;
    }
    Temp.clear();
    Prepared.clear();
    Replaced.clear();
    State = TState::Closed;
}

}  // namespace n95::host
