#include "trace/FrameLog.h"

#include <atomic>
#include <cstring>

namespace n95 {

namespace {

// The fault-injection seam: writes left before the failing one (0 = no fault armed).
std::atomic<int64_t> writesUntilFailure{0};
std::atomic<int> injectedError{EIO};

// The system error of the last failed stream call; errno may be 0 when the C library
// reports a failure without one.
int LastError() {
    return errno != 0 ? errno : EIO;
}

// Returns the injected error when this write is the one that must fail, else 0.
int InjectedWriteFailure() {
    int64_t left = writesUntilFailure.load();
    while (left > 0) {
        if (writesUntilFailure.compare_exchange_weak(left, left - 1)) {
            return left == 1 ? injectedError.load() : 0;
        }
    }
    return 0;
}

// The log's error: the operation, the file and the system error.
[[noreturn]] void RaiseIoError(const char* what, const std::string& fileName, int error) {
    throw EInOutError(std::string(what) + " frame log \"" + fileName +
                      "\": " + std::strerror(error));
}

}  // namespace

void SetFrameLogWriteFailureForTesting(int64_t k, int error) {
    injectedError.store(error != 0 ? error : EIO);
    writesUntilFailure.store(k > 0 ? k : 0);
}

TFrameLog::~TFrameLog() {
    try {
        Close();
    } catch (...) {
        // A destructor must not throw; Close has released the file anyway.
    }
}

void TFrameLog::Open(const std::string& fileName) {
    Close();
    errno = 0;
    // Binary mode: CR LF is written explicitly and must reach the file unchanged.
    std::FILE* file = std::fopen(fileName.c_str(), "wb");
    if (file == nullptr)
        RaiseIoError("cannot create", fileName, LastError());
    File = file;
    Name = fileName;
}

void TFrameLog::Close() {
    if (File == nullptr)
        return;
    errno = 0;
    int error = 0;
    if (std::fflush(File) != 0)
        error = LastError();
    errno = 0;
    if (std::fclose(File) != 0 && error == 0)
        error = LastError();
    File = nullptr;
    std::string name;
    name.swap(Name);
    if (error != 0)
        RaiseIoError("cannot close", name, error);
}

void TFrameLog::WriteLine(const std::string& frame) {
    if (File == nullptr) {
        throw EInOutError("cannot write frame log: the log is not open");
    }
    if (const int injected = InjectedWriteFailure(); injected != 0)
        RaiseIoError("cannot write", Name, injected);
    errno = 0;
    static const char kLineEnd[2] = {'\r', '\n'};
    const bool ok = std::fwrite(frame.data(), 1, frame.size(), File) == frame.size() &&
                    std::fwrite(kLineEnd, 1, sizeof(kLineEnd), File) == sizeof(kLineEnd);
    if (!ok) {
        const int error = LastError();
        // Clear the stream's error flag so that a later write reports its own outcome.
        std::clearerr(File);
        RaiseIoError("cannot write", Name, error);
    }
}

void TFrameLog::Flush() {
    if (File == nullptr)
        return;
    errno = 0;
    if (std::fflush(File) != 0) {
        const int error = LastError();
        std::clearerr(File);
        RaiseIoError("cannot flush", Name, error);
    }
}

}  // namespace n95
