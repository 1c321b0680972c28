// A stdio stream over a file descriptor that remembers why its writes failed.
//
// When a write fails, glibc drops the stream's buffer and sets the error flag; a later fflush
// then succeeds and errno names nothing. The outputs check their streams only now and then
// (at a flush, at the end of a run), so this stream records the errno of the first failed
// write, and the check can say "No space left on device" or "Broken pipe".
//
// The stream is made by the system seam (TSystemCalls::OpenStream: fopencookie with glibc;
// on Windows a plain stream over the descriptor, whose failures are read from errno at the
// flush that meets them). Its state lives in this object, not in the
// stream: a stream handed to another party (Detach) must be closed before this object is
// destroyed. Not thread-safe; one owner.
#pragma once

#include <cstdio>

namespace n95::host {

class TWriteStream {
public:
    TWriteStream() = default;
    TWriteStream(const TWriteStream&) = delete;
    TWriteStream& operator=(const TWriteStream&) = delete;
    // Closes the stream if this object still owns it.
    ~TWriteStream();

    // Makes a fully buffered stream (`bufferSize` bytes) writing to `fd`, which it takes over
    // (closing the stream closes it). Nil, with errno set, when the stream cannot be made; fd
    // is closed then too.
    FILE* Open(int fd, std::size_t bufferSize);

    // The open stream; nil before Open and after Close or Detach.
    FILE* File() const { return Stream; }
    // Hands the stream to the caller, who closes it (before this object ends).
    FILE* Detach();

    // The errno of the first write that failed; 0 when none did.
    int Error() const { return Cookie.Error; }

    // Flushes the stream; false, with the cause in *errnum, when a write failed now or
    // earlier.
    bool Flush(int* errnum);
    // Flushes and closes the stream (if still owned); false, with the cause in *errnum, when
    // a write failed now or earlier (through a detached stream too), or the close failed.
    // The stream is closed in every case, and the failure is reported only once.
    bool Close(int* errnum);

private:
    struct TCookie {
        int Fd = -1;
        int Error = 0;
    };
    static ssize_t Write(void* cookie, const char* data, std::size_t size);
    static int CloseFd(void* cookie);

    TCookie Cookie;
    FILE* Stream = nullptr;
};

}  // namespace n95::host
