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

thread_local TMessageScope* tScope = nullptr;  // this thread's innermost scope

std::string Prefixed(const std::string& message) {
    return tScope == nullptr ? message : tScope->Prefix() + message;
}

void Print(const std::string& message, FILE* out) {
    std::fprintf(out, "%s: %s\n", gProgramName, Prefixed(message).c_str());
    std::fflush(out);
}

void Record(const std::string& message) {
    if (tScope != nullptr)
        tScope->Keep(message);
    std::lock_guard<std::mutex> lock(gRecordedLock);
    gRecorded.push_back(Prefixed(message));
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

TMessageScope::TMessageScope(std::string prefix) : Outer(tScope), Text(std::move(prefix)) {
    tScope = this;
}

TMessageScope::~TMessageScope() {
    tScope = Outer;
}

std::vector<std::string> RecordedMessages() {
    std::lock_guard<std::mutex> lock(gRecordedLock);
    return gRecorded;
}

}  // namespace n95::host
