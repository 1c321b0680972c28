// An input read once, front to back: a regular file, a pipe, a FIFO or standard input, plain
// or gzip-compressed. The capture and track readers read through it, so that each takes a
// file in every form people keep one (`-`, `mkfifo`, `drive.pcap.gz`, no zcat) without
// knowing which.
//
// Gzip is told by the input's first two bytes (1f 8b), not by its name: a stream on a pipe
// has no name, and a renamed file reads alike. No capture or track starts with them (pcap and
// pcapng magic numbers, NMEA's '$' or text, GPX's '<'). The members of a multi-member file
// (`cat a.gz b.gz`) are read one after the other, as gzip does; a member cut short, damaged
// deflate data, or bytes after a member that do not start another are a failure, after the
// bytes before it were handed out.
//
// A regular file is read with plain reads. A pipe, a FIFO or standard input is opened without
// waiting (a FIFO may have no writer yet) and read only once a poll says that it has bytes or
// an end, in waits of kStopLookMs between which the stop flag and Cancel are looked at: a
// stop ends a wait for a writer that never comes, or on a pipe that stays open, within a
// fraction of a second, also when it comes between a look at the flag and the wait. A FIFO
// read from before any writer came reports nothing to a poll (not an end): it waits for one.
// What the input is (a directory, a character device) is the caller's to accept or refuse:
// Kind() says it after Open.
//
// Everything goes through the system-call seam (SystemCalls.h) and zlib: nothing here is one
// system's own. A stdio stream over it, for libpcap, is another matter: see PcapStream.h.
//
// Threading: one owner at a time (it may be handed to another thread); Cancel may be called
// from any thread.
#pragma once

#include <atomic>
#include <csignal>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "host/common/SystemCalls.h"

namespace n95::host {

class TInputStream {
public:
    // Bytes taken from the input per read: a few hundred capture chunks.
    static constexpr std::size_t kBufferBytes = 256 * 1024;
    // How long one wait for a stream's bytes lasts before the stop flag is looked at again.
    static constexpr int kStopLookMs = 100;

    enum class TResult {
        Bytes,    // `got` bytes (at least one) were read
        End,      // the input ended cleanly
        Stopped,  // a stop was asked for (the flag or Cancel) while it waited
        Failed,   // Failure() says why; the bytes before it were all handed out
    };

    TInputStream();
    ~TInputStream();  // closes what Open opened (never standard input)
    TInputStream(const TInputStream&) = delete;
    TInputStream& operator=(const TInputStream&) = delete;

    // Opens `path`; with `dashIsStandardInput`, "-" is standard input (not closed here).
    // `stopRequested` (may be null) is looked at while a stream is waited for. Reads nothing:
    // a FIFO without a writer opens at once. False, with errno set, when the file cannot be
    // opened or told what it is.
    bool Open(const std::string& path, bool dashIsStandardInput,
              const volatile std::sig_atomic_t* stopRequested);

    // What the input is: Regular for a regular file (standard input redirected from one
    // too), Fifo for a pipe or FIFO; a directory or device as it is.
    TFileKind Kind() const { return Info.Kind; }
    // True when reads wait for bytes to come (a pipe, a FIFO, a socket).
    bool IsStream() const { return Waits; }
    // A regular file's size as stored (from where standard input stands), 0 for a stream.
    uint64_t StoredSize() const { return Waits ? 0 : Size; }

    // Up to `size` bytes of the input (decompressed) into `buffer`.
    TResult Read(void* buffer, std::size_t size, std::size_t& got);
    // Reads until `count` bytes are held (fewer at the end) and puts them in `head`; the next
    // Reads give them again. Bytes when any are held, else as Read.
    TResult Peek(std::size_t count, std::string& head);

    // True once the first bytes told that the input is gzip (after the first Read or Peek).
    bool IsCompressed() const { return Compressed; }
    // Bytes taken from the input as stored (compressed ones for gzip), read-ahead included.
    uint64_t StoredBytesRead() const { return StoredRead; }
    // Bytes handed out by Read so far (decompressed).
    uint64_t BytesOut() const { return Out; }
    // After Failed: what is wrong ("gzip data damaged after 1234 compressed bytes: invalid
    // block type"), without the input's name.
    const std::string& Failure() const { return FailureText; }

    // Ends a wait for a stream's bytes within kStopLookMs (Stopped), and every later one. Any
    // thread.
    void Cancel() { Cancelled.store(true, std::memory_order_relaxed); }
    // True once a stop was asked for, by the flag or Cancel.
    bool Stopped() const;

private:
    struct TInflate;

    // Up to `size` bytes as stored, waiting for a stream's bytes.
    TResult ReadStored(void* buffer, std::size_t size, std::size_t& got);
    // Reads as stored until `count` bytes are buffered in In (fewer at the end).
    TResult FillIn(std::size_t count);
    TResult Detect();
    TResult Inflate(uint8_t* buffer, std::size_t size, std::size_t& got);
    TResult Fail(std::string text);
    // Bytes of the input as stored that were taken up by the data handed on.
    uint64_t StoredUsed() const { return StoredRead - (InEnd - InStart); }

    int Fd = -1;
    bool Owned = false;  // Fd was opened here
    bool Waits = false;
    uint64_t Size = 0;
    TFileInfo Info;
    const volatile std::sig_atomic_t* StopRequested = nullptr;
    std::atomic<bool> Cancelled{false};

    bool Detected = false;
    bool Compressed = false;
    std::unique_ptr<TInflate> Zlib;
    std::vector<uint8_t> In;  // bytes as stored, not yet handed on: [InStart, InEnd)
    std::size_t InStart = 0, InEnd = 0;
    std::string Held;  // bytes a Peek read, handed out by the next Reads
    std::size_t HeldStart = 0;
    TResult Ending = TResult::Bytes;  // End, Stopped or Failed once the input has given out
    std::string FailureText;
    uint64_t StoredRead = 0;
    uint64_t Out = 0;
};

}  // namespace n95::host
