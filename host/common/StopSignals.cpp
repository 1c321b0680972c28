#include "host/common/StopSignals.h"

#include <initializer_list>

namespace n95::host {

namespace {

volatile std::sig_atomic_t gStopRequested = 0;

void RequestStop(int) {
    gStopRequested = 1;
}

}  // namespace

const volatile std::sig_atomic_t* InstallStopHandlers() {
    struct sigaction action {};
    action.sa_handler = RequestStop;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0;
    for (const int signal : {SIGINT, SIGTERM, SIGHUP, SIGPIPE})
        sigaction(signal, &action, nullptr);
    return &gStopRequested;
}

}  // namespace n95::host
