#include "host/common/AtomicFile.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

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

}  // namespace

TAtomicFile::~TAtomicFile() {
    Discard();
}

bool TAtomicFile::Open(const std::string& path, std::string* error) {
    Discard();
    FinalPath = path;
    const std::size_t slash = path.rfind('/');
    const std::string dir = slash == std::string::npos ? "" : path.substr(0, slash + 1);
    const std::string base = slash == std::string::npos ? path : path.substr(slash + 1);
    if (base.empty()) {
        *error = "cannot create " + path + ": not a file name";
        return false;
    }
    std::string pattern = dir + "." + base + ".tmp-XXXXXX";
    const int fd = mkstemp(pattern.data());
    if (fd < 0) {
        *error = SystemError("cannot create " + path, errno);
        return false;
    }
    Temp = pattern;
    Pending = true;
    Stream = fdopen(fd, "wb");
    if (Stream == nullptr) {
        *error = SystemError("cannot open " + Temp, errno);
        close(fd);
        Discard();
        return false;
    }
    setvbuf(Stream, nullptr, _IOFBF, kStreamBuffer);
    return true;
}

FILE* TAtomicFile::Detach() {
    FILE* stream = Stream;
    Stream = nullptr;
    return stream;
}

bool TAtomicFile::Commit(std::string* error) {
    if (!Pending) {
        *error = "cannot write " + FinalPath + ": not open";
        return false;
    }
    if (Stream != nullptr) {
        const bool failed = std::ferror(Stream) != 0 || std::fflush(Stream) != 0;
        const int savedErrno = errno;
        const bool closeFailed = std::fclose(Stream) != 0;
        Stream = nullptr;
        if (failed || closeFailed) {
            errno = failed ? savedErrno : errno;
            *error = SystemError("cannot write " + FinalPath, errno);
            Discard();
            return false;
        }
    }
    chmod(Temp.c_str(), 0666 & ~CurrentUmask());
    if (std::rename(Temp.c_str(), FinalPath.c_str()) != 0) {
        *error = SystemError("cannot replace " + FinalPath, errno);
        Discard();
        return false;
    }
    Pending = false;
    Temp.clear();
    return true;
}

void TAtomicFile::Discard() {
    if (Stream != nullptr) {
        std::fclose(Stream);
        Stream = nullptr;
    }
    if (Pending) {
        unlink(Temp.c_str());
        Pending = false;
    }
    Temp.clear();
}

}  // namespace n95::host
