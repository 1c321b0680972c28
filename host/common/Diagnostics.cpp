#include "host/common/Diagnostics.h"

#include <cstring>

namespace n95::host {

namespace {

const char* gProgramName = "n95host";

}  // namespace

std::string SystemError(const std::string& context, int errnum) {
    return context + ": " + std::strerror(errnum);
}

void SetProgramName(const char* name) {
    gProgramName = name;
}

void PrintNote(const std::string& message, FILE* out) {
    std::fprintf(out, "%s: %s\n", gProgramName, message.c_str());
    std::fflush(out);
}

void PrintError(const std::string& message) {
    PrintNote(message);
}

void PrintWarning(const std::string& message) {
    PrintNote("warning: " + message);
}

}  // namespace n95::host
