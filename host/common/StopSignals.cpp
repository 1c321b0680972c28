#include "host/common/StopSignals.h"

#include <pthread.h>

#include <initializer_list>
#include <utility>

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

bool StopRequested() {
    return gStopRequested != 0;
}

std::unique_ptr<n95::Thread> StartThreadWithStopsBlocked(std::function<void()> body) {
    // A new thread inherits its creator's mask: block, start, restore.
    sigset_t stops, previous;
    sigemptyset(&stops);
    for (const int signal : {SIGINT, SIGTERM, SIGHUP, SIGPIPE})
        sigaddset(&stops, signal);
    pthread_sigmask(SIG_BLOCK, &stops, &previous);
    struct TRestoreMask {
        const sigset_t& Mask;
        ~TRestoreMask() { pthread_sigmask(SIG_SETMASK, &Mask, nullptr); }
    } restore{previous};
    return n95::Env::Default()->StartThread(std::move(body));
}

}  // namespace n95::host
