#include "host/common/GrowingFile.h"

#include <cerrno>

#include "host/common/Diagnostics.h"
#include "host/common/SystemCalls.h"

namespace n95::host {

namespace {

// What open(O_TMPFILE) or the link through /proc answer where there are no unnamed files.
bool NoUnnamedFiles(int errnum) {
    return errnum == EOPNOTSUPP || errnum == EISDIR || errnum == EINVAL || errnum == ENOENT;
}

// Writes every byte of the pieces, retrying partial writes (the seam retries interruptions).
// A write that takes nothing fails with EIO rather than loop.
bool WriteAll(int fd, TBytes* pieces, int count) {
    for (;;) {
        while (count > 0 && pieces->Size == 0) {
            ++pieces;
            --count;
        }
        if (count == 0)
            return true;
        const ssize_t written = System().WriteGathered(fd, pieces, count);
        if (written <= 0) {
            if (written == 0)
                errno = EIO;
            return false;
        }
        auto left = static_cast<std::size_t>(written);
        while (count > 0 && left >= pieces->Size) {
            left -= pieces->Size;
            ++pieces;
            --count;
        }
        if (count > 0) {
            pieces->Data = static_cast<const char*>(pieces->Data) + left;
            pieces->Size -= left;
        }
    }
}

}  // namespace

TGrowingFile::~TGrowingFile() {
    if (Fd >= 0)
        System().Close(Fd);
}

bool TGrowingFile::Create(const std::string& path, const std::string& head, std::string* error) {
    FilePath = path;
    int errnum = 0;
    if (!CreateUnnamed(head, &errnum)) {
        if (!NoUnnamedFiles(errnum)) {
            *error = SystemError("cannot create " + path, errnum);
            return false;
        }
        if (!CreateNamed(head, error))
            return false;
    }
    Bytes = head.size();
    return true;
}

bool TGrowingFile::Identify(int fd) {
    TFileInfo info;
    if (System().StatusOf(fd, info) != 0)
        return false;
    Device = info.Device;
    Inode = info.Inode;
    return true;
}

bool TGrowingFile::CreateUnnamed(const std::string& head, int* errnum) {
    const std::size_t slash = LastPathSeparator(FilePath);
    const std::string dir = slash == std::string::npos ? "." : FilePath.substr(0, slash + 1);
    TSystemCalls& system = System();
    const int fd = system.OpenUnnamed(dir, 0600);
    if (fd < 0) {
        *errnum = errno;
        return false;
    }
    TBytes piece{head.data(), head.size()};
    const std::string unnamedPath = system.UnnamedPath(fd);
    if (unnamedPath.empty())
        errno = EOPNOTSUPP;
    if (unnamedPath.empty() || system.ChangeMode(fd, 0666 & ~system.CreationMask()) != 0 ||
        !Identify(fd) || !WriteAll(fd, &piece, 1) || system.Link(unnamedPath, FilePath) != 0) {
        *errnum = errno;
        system.Close(fd);
        return false;
    }
    Fd = fd;
    return true;
}

bool TGrowingFile::CreateNamed(const std::string& head, std::string* error) {
    const int fd = System().Open(FilePath, kOpenWrite | kOpenCreate | kOpenExclusive, 0666);
    if (fd < 0) {
        *error = SystemError("cannot create " + FilePath, errno);
        return false;
    }
    TBytes piece{head.data(), head.size()};
    if (!Identify(fd) || !WriteAll(fd, &piece, 1)) {
        // Made just now, exclusively: the name is this file's.
        *error = SystemError("cannot write " + FilePath, errno);
        System().Unlink(FilePath);
        System().Close(fd);
        return false;
    }
    Fd = fd;
    return true;
}

bool TGrowingFile::Append(const void* first, std::size_t firstSize, const void* second,
                          std::size_t secondSize, std::string* error) {
    TBytes pieces[2] = {{first, firstSize}, {second, secondSize}};
    if (Fd < 0 || !WriteAll(Fd, pieces, 2)) {
        const int errnum = Fd < 0 ? EBADF : errno;
        // A full disk takes part of an append before it refuses the rest: cut the file back
        // to its last whole append, so that it ends where a record ends.
        if (Fd >= 0)
            System().Truncate(Fd, Bytes);
        *error = SystemError("cannot write " + FilePath, errnum);
        return false;
    }
    Bytes += firstSize + secondSize;
    return true;
}

bool TGrowingFile::Sync(std::string* error) {
    if (Fd >= 0 && System().SyncData(Fd) != 0 && errno != EINVAL) {
        *error = SystemError("cannot write " + FilePath + " to its device", errno);
        return false;
    }
    return true;
}

bool TGrowingFile::Close(std::string* error) {
    if (Fd < 0)
        return true;
    bool ok = Sync(error);
    if (System().Close(Fd) != 0 && ok) {
        *error = SystemError("cannot write " + FilePath, errno);
        ok = false;
    }
    Fd = -1;
    return ok;
}

void TGrowingFile::Remove() {
    if (Fd < 0)
        return;
    TFileInfo info;
    if (System().Status(FilePath, info) == 0 && info.Device == Device && info.Inode == Inode)
        System().Unlink(FilePath);
    System().Close(Fd);
    Fd = -1;
}

}  // namespace n95::host
