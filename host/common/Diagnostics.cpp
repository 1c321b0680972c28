#include "host/common/Diagnostics.h"

#include <atomic>
#include <cstring>
#include <mutex>

namespace n95::host {

namespace {

const char* gProgramName = "n95host";
std::atomic<bool> gQuiet{false};

std::mutex gRecordedLock;
std::vector<std::string> gRecorded;  // guarded by gRecordedLock

void Print(const std::string& message, FILE* out) {
    std::fprintf(out, "%s: %s\n", gProgramName, message.c_str());
    std::fflush(out);
}

void Record(const std::string& message) {
    std::lock_guard<std::mutex> lock(gRecordedLock);
    gRecorded.push_back(message);
}

}  // namespace

std::string SystemError(const std::string& context, int errnum) {
    return context + ": " + std::strerror(errnum);
}

void SetProgramName(const char* name) {
    gProgramName = name;
}

void PrintNote(const std::string& message, FILE* out) {
    if (!gQuiet)
        Print(message, out);
}

void PrintError(const std::string& message) {
    Record(message);
    Print(message, stderr);
}

void PrintWarning(const std::string& message) {
    Record("warning: " + message);
    if (!gQuiet)
        Print("warning: " + message, stderr);
}

void PrintStatusWarning(const std::string& message) {
    Record("warning: " + message);
    Print("warning: " + message, stderr);
}

void SetQuiet(bool quiet) {
    gQuiet = quiet;
}

bool Quiet() {
    return gQuiet;
}

std::vector<std::string> RecordedMessages() {
    std::lock_guard<std::mutex> lock(gRecordedLock);
    return gRecorded;
}

}  // namespace n95::host
