// The simulator's log of what it sent, and its comparison with a capture the host made of
// the same run: did every byte the host read reach the capture, in order, and what was lost
// where the port went away?
//
// The log is text, one event per line, times in Unix seconds to the microsecond:
//
//   n95sim sent log 1                 first line: the format and its version
//   capacity TIME N                   the most bytes a pseudo-terminal held unread: the
//                                     simulator's frames written to one that nobody read,
//                                     until the kernel took no more (-1: not measured)
//   port TIME PATH                    a new pseudo-terminal; the writes below go to it
//   write TIME KIND HEX               bytes the port took in one write(2), in hexadecimal;
//                                     KIND is reply (an AT reply), frame (a trace frame or,
//                                     on a slow line, a piece of one) or garbage
//   hangup TIME unread N              the simulator closed the port; N bytes it had written
//                                     were still waiting in the host's input queue (-1: not
//                                     measured), and the kernel discards them with the
//                                     bytes still on their way to that queue, which N does
//                                     not count
//   end TIME                          the simulator stopped
//
// A write is logged with the bytes write(2) accepted, so a frame cut short by a host that
// left is logged as far as it went.
//
// What may be missing from the capture. The host reads the port as a byte stream, so the
// capture is compared as one: it must be, in order, a beginning of each port's bytes. A
// port that was hung up may miss bytes at its end only, at most the capacity (or, in a log
// without one, the N of its hangup line): the simulator lets the host read what was
// written before it closes, but bytes that the kernel had not yet moved to the host's queue
// are not seen, and the kernel never holds more than the capacity, since the simulator's
// writes wait for room beyond it. The last port may miss an end of any length, the
// bytes written after the host's last read (a stopping host purges its input and no longer
// reads the replies to its last lines), but that end must begin less than
// kSentTailSeconds before the capture's last chunk was read. Every byte of the capture must
// be accounted for.
//
// Not thread-safe; one owner each.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "host/common/CaptureTime.h"

namespace n95::host {

inline constexpr double kSentTailSeconds = 1.0;

enum class TSentKind { Reply, Frame, Garbage };

class TSentLog {
public:
    TSentLog() = default;
    TSentLog(const TSentLog&) = delete;
    TSentLog& operator=(const TSentLog&) = delete;
    ~TSentLog();

    // Creates (or truncates) the log at `path` and writes its first line. False, with a
    // message, when it cannot.
    bool Open(const std::string& path, std::string* error);
    bool IsOpen() const { return File != nullptr; }

    // The events; each does nothing while the log is closed. A failed write is remembered
    // and reported by Flush.
    void Capacity(long long bytes);
    void Port(const std::string& path);
    void Write(TSentKind kind, const char* data, std::size_t size);
    void HangUp(long long unread);
    void End();

    // Pushes what is buffered to the file. False, with a message, when a write failed.
    bool Flush(std::string* error);

private:
    void Stamp(const char* event);

    FILE* File = nullptr;
    std::string Path;
    std::string Line;  // reused for every write line
};

// One port of the run as the comparison found it.
struct TSentPort {
    std::string Path;
    uint64_t Writes = 0;
    uint64_t Bytes = 0;
    uint64_t CapturedWrites = 0;  // writes wholly in the capture
    uint64_t CapturedBytes = 0;
    bool HungUp = false;
    long long UnreadAtHangUp = -1;  // from the hangup line; -1: not measured
    TCaptureTime FirstMissing{};    // when the first byte missing from the capture was sent
};

struct TSentComparison {
    std::vector<TSentPort> Ports;
    long long Capacity = -1;          // from the capacity line; -1: none or not measured
    uint64_t Writes[3] = {};          // by TSentKind
    uint64_t Bytes[3] = {};           // by TSentKind
    uint64_t CapturedWrites[3] = {};  // by TSentKind, wholly in the capture
    uint64_t CaptureChunks = 0;
    uint64_t CaptureBytes = 0;
    TCaptureTime LastChunk{};           // when the capture's last chunk was read
    uint64_t ExtraBytes = 0;            // capture bytes no write accounts for
    std::string CaptureDamage;          // the capture's damaged tail, if it has one
    std::vector<std::string> Problems;  // empty: the capture holds what it should
};

// Compares the sent log at `sentPath` with the capture at `capturePath` by the rules above,
// filling `result`. Holds the capture's bytes in memory (about 100 MB for an hour at 1,000
// frames/s) and reads the log line by line. False, with a message, when a file cannot be read or
// the log is not one; what the comparison found wrong goes to result.Problems.
bool CompareSentLog(const std::string& sentPath, const std::string& capturePath,
                    TSentComparison& result, std::string* error);

}  // namespace n95::host
