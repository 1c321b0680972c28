#include "host/common/GrowingFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>

#include "host/common/Diagnostics.h"

namespace n95::host {

namespace {

mode_t CurrentUmask() {
    // umask can only be read by setting it; put it straight back.
    const mode_t mask = umask(022);
    umask(mask);
    return mask;
}

// What open(O_TMPFILE) or the link through /proc answer where there are no unnamed files.
bool NoUnnamedFiles(int errnum) {
    return errnum == EOPNOTSUPP || errnum == EISDIR || errnum == EINVAL || errnum == ENOENT;
}

// Writes every byte of the pieces, retrying partial writes and interruptions.
bool WriteAll(int fd, iovec* pieces, int count) {
    while (count > 0) {
        const ssize_t written = writev(fd, pieces, count);
        if (written < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        auto left = static_cast<std::size_t>(written);
        while (count > 0 && left >= pieces->iov_len) {
            left -= pieces->iov_len;
            ++pieces;
            --count;
        }
        if (count > 0) {
            pieces->iov_base = static_cast<char*>(pieces->iov_base) + left;
            pieces->iov_len -= left;
        }
    }
    return true;
}

}  // namespace

TGrowingFile::~TGrowingFile() {
    if (Fd >= 0)
        close(Fd);
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

void TGrowingFile::Remember(int fd) {
    Fd = fd;
    struct stat info {};
    fstat(fd, &info);
    Device = info.st_dev;
    Inode = info.st_ino;
}

bool TGrowingFile::CreateUnnamed(const std::string& head, int* errnum) {
    const std::size_t slash = FilePath.rfind('/');
    const std::string dir = slash == std::string::npos ? "." : FilePath.substr(0, slash + 1);
    const int fd = open(dir.c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0600);
    if (fd < 0) {
        *errnum = errno;
        return false;
    }
    iovec piece{const_cast<char*>(head.data()), head.size()};
    const std::string procPath = "/proc/self/fd/" + std::to_string(fd);
    if (fchmod(fd, 0666 & ~CurrentUmask()) != 0 || !WriteAll(fd, &piece, 1) ||
        linkat(AT_FDCWD, procPath.c_str(), AT_FDCWD, FilePath.c_str(), AT_SYMLINK_FOLLOW) != 0) {
        *errnum = errno;
        close(fd);
        return false;
    }
    Remember(fd);
    return true;
}

bool TGrowingFile::CreateNamed(const std::string& head, std::string* error) {
    const int fd = open(FilePath.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd < 0) {
        *error = SystemError("cannot create " + FilePath, errno);
        return false;
    }
    Remember(fd);
    iovec piece{const_cast<char*>(head.data()), head.size()};
    if (!WriteAll(fd, &piece, 1)) {
        *error = SystemError("cannot write " + FilePath, errno);
        Remove();
        return false;
    }
    return true;
}

bool TGrowingFile::Append(const void* first, std::size_t firstSize, const void* second,
                          std::size_t secondSize, std::string* error) {
    iovec pieces[2] = {{const_cast<void*>(first), firstSize},
                       {const_cast<void*>(second), secondSize}};
    if (Fd < 0 || !WriteAll(Fd, pieces, 2)) {
        *error = SystemError("cannot write " + FilePath, Fd < 0 ? EBADF : errno);
        return false;
    }
    Bytes += firstSize + secondSize;
    return true;
}

bool TGrowingFile::Sync(std::string* error) {
    if (Fd >= 0 && fdatasync(Fd) != 0 && errno != EINVAL) {
        *error = SystemError("cannot write " + FilePath + " to its device", errno);
        return false;
    }
    return true;
}

bool TGrowingFile::Close(std::string* error) {
    if (Fd < 0)
        return true;
    bool ok = Sync(error);
    if (close(Fd) != 0 && ok) {
        *error = SystemError("cannot write " + FilePath, errno);
        ok = false;
    }
    Fd = -1;
    return ok;
}

void TGrowingFile::Remove() {
    if (Fd < 0)
        return;
    struct stat info {};
    if (stat(FilePath.c_str(), &info) == 0 && info.st_dev == Device && info.st_ino == Inode)
        unlink(FilePath.c_str());
    close(Fd);
    Fd = -1;
}

}  // namespace n95::host
