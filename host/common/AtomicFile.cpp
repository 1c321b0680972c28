#include "host/common/AtomicFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
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
    return OpenNamed(dir, base, error);
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
    Pending = true;
    return true;
}

bool TAtomicFile::OpenNamed(const std::string& dir, const std::string& base, std::string* error) {
    std::string pattern = dir + "." + base + ".tmp-XXXXXX";
    const int fd = mkostemp(pattern.data(), O_CLOEXEC);
    if (fd < 0) {
        *error = SystemError("cannot create " + FinalPath, errno);
        return false;
    }
    Temp = pattern;
    Pending = true;
    if (Stream.Open(fd, kStreamBuffer) == nullptr) {
        *error = SystemError("cannot open " + Temp, errno);
        Discard();
        return false;
    }
    return true;
}

bool TAtomicFile::LinkUnnamed(std::string& linked) {
    const std::size_t slash = FinalPath.rfind('/');
    const std::string dir = slash == std::string::npos ? "" : FinalPath.substr(0, slash + 1);
    const std::string base = slash == std::string::npos ? FinalPath : FinalPath.substr(slash + 1);
    for (int attempt = 0; attempt < 100; ++attempt) {
        linked = dir + "." + base + ".tmp-" + RandomSuffix();
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

bool TAtomicFile::Commit(std::string* error) {
    if (!Pending) {
        *error = "cannot write " + FinalPath + ": not open";
        return false;
    }
    int errnum = 0;
    if (!Stream.Close(&errnum)) {
        *error = SystemError("cannot write " + FinalPath, errnum);
        Discard();
        return false;
    }
    std::string named = Temp;
    if (Fd >= 0) {
        if (!LinkUnnamed(named)) {
            *error = SystemError("cannot create " + FinalPath, errno);
            Discard();
            return false;
        }
    } else {
        chmod(Temp.c_str(), 0666 & ~CurrentUmask());
    }
    // From here the file has a name: only a kill in the instant before the rename leaves it.
    if (std::rename(named.c_str(), FinalPath.c_str()) != 0) {
        *error = SystemError("cannot replace " + FinalPath, errno);
        unlink(named.c_str());
        if (Fd < 0)
            Pending = false;
        Discard();
        return false;
    }
    if (Fd >= 0) {
        close(Fd);
        Fd = -1;
    }
    Pending = false;
    Temp.clear();
    return true;
}

void TAtomicFile::Discard() {
    int ignored = 0;
    Stream.Close(&ignored);
    if (Fd >= 0) {
        close(Fd);  // an unnamed file vanishes with its last descriptor
        Fd = -1;
    } else if (Pending) {
        unlink(Temp.c_str());
    }
    Pending = false;
    Temp.clear();
}

}  // namespace n95::host
