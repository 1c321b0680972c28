// Stopping a run from outside: SIGINT (Ctrl-C) and SIGTERM set a flag that the run checks
// between steps, so that it ends by its own path (the trace switched off, the outputs
// written) instead of dying half-way.
//
// The handlers are installed without SA_RESTART, so that a wait in poll or nanosleep ends at
// once when a signal arrives. Install once per process, from the main thread.
#pragma once

#include <csignal>

namespace n95::host {

// Installs the handlers and returns the flag they set (0 until a stop is asked for).
const volatile std::sig_atomic_t* InstallStopHandlers();

}  // namespace n95::host
