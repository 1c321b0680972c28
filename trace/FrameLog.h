// The frame log: an optional file holding every frame that the decode chain accepted.
//
// Format (see docs/frame-log.md): one line per frame, the frame's raw bytes (normalised
// 10-byte header followed by the payload) exactly as they are, then CR LF. Frames may contain
// CR, LF and NUL bytes themselves, so the file is not line-parseable without the frame format;
// it is a byte-exact record of the decoded input. The file is opened in binary mode and CR LF
// is written explicitly, so no platform translates line ends.
//
// Errors are raised as EInOutError, whose message names the file and the system error.
//
// Threading: not thread-safe; the decoder uses it from the host's calling thread only.
#pragma once

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <string>

#include "platform/InOutError.h"

namespace n95 {

class TFrameLog {
public:
    TFrameLog() = default;
    TFrameLog(const TFrameLog&) = delete;
    TFrameLog& operator=(const TFrameLog&) = delete;

    // Closes the file if it is open. Never throws: a failure while closing is swallowed
    // (call Close first to see it).
    ~TFrameLog();

    // Creates the file `fileName` (truncating an existing one) and opens it for output.
    // An open log is closed first (and an error of that close is raised, leaving both files
    // closed). Throws EInOutError on failure; the log then stays closed.
    void Open(const std::string& fileName);

    // Flushes and closes the file; does nothing when the log is closed. Throws EInOutError
    // when the flush or the close fails, but the log is closed afterwards in every case.
    void Close();

    bool IsOpen() const { return File != nullptr; }

    // The name of the open file; empty while the log is closed.
    const std::string& FileName() const { return Name; }

    // Appends one line: the bytes of `frame` as they are, then CR LF. Lines are buffered
    // until Flush or Close. Throws EInOutError when the log is closed or the write fails.
    void WriteLine(const std::string& frame);

    // Pushes buffered lines to the file, so that a host that dies between two DecodeData
    // calls loses no line. Does nothing when the log is closed. Throws EInOutError.
    void Flush();

private:
    std::FILE* File = nullptr;
    std::string Name;
};

// Fault injection for tests. From this call on, the k-th low-level write of any frame log
// fails with the system error `error`, as if the operating system had refused it; the writes
// before and after it succeed. A low-level write is the write of one line (one per WriteLine
// call, counted from 1). k <= 0 switches the fault off. Process-wide: set it while no other
// thread writes a frame log.
void SetFrameLogWriteFailureForTesting(int64_t k, int error = EIO);

}  // namespace n95
