// Stopping a run from outside: SIGINT (Ctrl-C), SIGTERM, SIGHUP (the terminal went away)
// and SIGPIPE (on Windows: Ctrl-C, Ctrl-Break, the console closing) set a flag that the run checks
// between steps, so that it ends by its own path (the trace switched off, the outputs written or
// removed) instead of dying half-way and leaving temporary files behind.
//
// SIGPIPE comes when an output goes to a FIFO or a pipe whose reader has gone; the write
// itself then fails with EPIPE, which the output reports, so the run ends as an output error.
//
// The handlers are installed through the system seam (SystemCalls.h, CatchStopRequests):
// without SA_RESTART, so that a wait in poll ends at once when a signal arrives. Install once
// per process, from the main thread.
#pragma once

#include <csignal>
#include <functional>
#include <memory>

#include "platform/Env.h"

namespace n95::host {

// Installs the handlers and returns the flag they set (0 until a stop is asked for).
const volatile std::sig_atomic_t* InstallStopHandlers();

// True once a stop was asked for through the installed handlers (false before they are
// installed): for waits deep in the file code, which have no flag handed to them.
bool StopRequested();

// Starts `body` on a thread of its own with the stop signals blocked, for the helper threads
// of a run (the output writer, the capture read-ahead): a stop signal is then only ever
// handled on the run's thread, whose waits it must end, and a write to a pipe whose reader
// has gone fails with EPIPE on the helper instead of raising SIGPIPE there.
std::unique_ptr<n95::Thread> StartThreadWithStopsBlocked(std::function<void()> body);

}  // namespace n95::host
