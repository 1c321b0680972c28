#include "host/common/WriteStream.h"

#include <cerrno>

#include "host/common/SystemCalls.h"

namespace n95::host {

TWriteStream::~TWriteStream() {
    if (Stream != nullptr)
        std::fclose(Stream);
}

FILE* TWriteStream::Open(int fd, std::size_t bufferSize) {
    if (Stream != nullptr)
        std::fclose(Stream);
    Cookie = TCookie{fd, 0};
    Stream = System().OpenStream(fd, &Cookie, {&TWriteStream::Write, &TWriteStream::CloseFd});
    if (Stream == nullptr) {
        const int saved = errno;
        System().Close(fd);
        Cookie.Fd = -1;
        errno = saved;
        return nullptr;
    }
    setvbuf(Stream, nullptr, _IOFBF, bufferSize);
    return Stream;
}

FILE* TWriteStream::Detach() {
    FILE* stream = Stream;
    Stream = nullptr;
    return stream;
}

ssize_t TWriteStream::Write(void* cookie, const char* data, std::size_t size) {
    auto* state = static_cast<TCookie*>(cookie);
    std::size_t done = 0;
    while (done < size) {
        // Interruptions are retried by the seam: the run ends by its own path, the bytes
        // still go out.
        const ssize_t n = System().Write(state->Fd, data + done, size - done);
        if (n <= 0) {
            if (state->Error == 0)
                state->Error = n < 0 ? errno : EIO;
            // A short count sets the stream's error flag. Never -1: glibc's stdio takes a
            // cookie's return value for a count of bytes written.
            return static_cast<ssize_t>(done);
        }
        done += static_cast<std::size_t>(n);
    }
    return static_cast<ssize_t>(done);
}

int TWriteStream::CloseFd(void* cookie) {
    auto* state = static_cast<TCookie*>(cookie);
    const int result = state->Fd >= 0 ? System().Close(state->Fd) : 0;
    state->Fd = -1;
    return result;
}

bool TWriteStream::Flush(int* errnum) {
    if (Stream == nullptr) {
        *errnum = Cookie.Error;
        return Cookie.Error == 0;
    }
    errno = 0;
    const bool flushed = std::fflush(Stream) == 0;
    if (flushed && std::ferror(Stream) == 0 && Cookie.Error == 0)
        return true;
    // A stream that writes to its descriptor itself (see OpenStream) leaves the cause in
    // errno, not in the cookie; the first one is kept.
    if (Cookie.Error == 0 && !flushed && errno != 0)
        Cookie.Error = errno;
    *errnum = Cookie.Error != 0 ? Cookie.Error : EIO;
    return false;
}

bool TWriteStream::Close(int* errnum) {
    bool ok = Flush(errnum);
    if (Stream != nullptr) {
        errno = 0;
        if (std::fclose(Stream) != 0 && ok) {
            *errnum = errno != 0 ? errno : EIO;
            ok = false;
        }
        Stream = nullptr;
    }
    Cookie = TCookie();  // reported once; a later Close finds nothing to report
    return ok;
}

}  // namespace n95::host
