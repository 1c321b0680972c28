// The operating-system services the plug-in uses, behind one small interface.
//
// Like a storage engine's environment object: a POSIX and a Win32 implementation are chosen
// by the build, callers never contain #ifdef, and tests install a fake (settable clock,
// recorded sleeps and messages) so that the 50 s trace limit and the 50 ms pauses are
// checked without waiting.
//
// Threading: an Env is shared by every decoder of the process and by the watcher threads;
// implementations are thread-safe. Install a different Env only while no decoder exists.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "platform/DateTime.h"

namespace n95 {

// A manual-reset event: once Set it stays signalled until Reset.
class Event {
public:
    enum class WaitResult { Signalled, TimedOut, Failed };

    virtual ~Event() = default;
    virtual void Set() = 0;
    virtual void Reset() = 0;
    // Waits until the event is signalled or `timeoutMs` milliseconds have passed.
    virtual WaitResult Wait(uint32_t timeoutMs) = 0;
};

// A thread that runs one function and is joined by its owner.
class Thread {
public:
    virtual ~Thread() = default;  // joins if the owner has not
    virtual void Join() = 0;      // waits for the function to return; idempotent
};

class Env {
public:
    virtual ~Env() = default;

    // Blocks the calling thread for `ms` milliseconds.
    virtual void Sleep(uint32_t ms) = 0;
    // The machine's local date and time, day-based.
    virtual TDateTime Now() = 0;
    // Shows a message to the user: a modal message box on Windows, standard error elsewhere.
    virtual void ShowMessage(const std::string& text) = 0;
    // A new manual-reset event, not signalled. The caller owns it.
    virtual std::unique_ptr<Event> NewEvent() = 0;
    // Starts `body` on a new thread at once. The caller owns the thread and joins it.
    virtual std::unique_ptr<Thread> StartThread(std::function<void()> body) = 0;

    // The implementation for this operating system; lives as long as the process.
    static Env* Default();
};

// The Env that new decoders use: Default() unless a test installed another.
Env* CurrentEnv();
// Installs `env` (nullptr = the default) and returns the previous one. Tests only.
Env* SetCurrentEnv(Env* env);

// Installs an Env for the lifetime of a scope (tests).
class ScopedEnv {
public:
    explicit ScopedEnv(Env* env) : previous_(SetCurrentEnv(env)) {}
    ~ScopedEnv() { SetCurrentEnv(previous_); }
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

private:
    Env* previous_;
};

}  // namespace n95
