// The Win32 environment: Win32 events and threads, GetLocalTime, MessageBoxA.
//
// Everything is called directly on the Win32 API, so the layer needs no threading support
// from the C++ runtime (GCC's "win32" thread model has no std::thread or std::mutex).
// Nothing here runs at load time: the default environment is built on its first use.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <process.h>
#include <windows.h>

#include <cstdio>
#include <system_error>

#include "platform/Env.h"

namespace n95 {

namespace {

[[noreturn]] void ThrowLastError(const char* what) {
    throw std::system_error(static_cast<int>(::GetLastError()), std::system_category(), what);
}

class Win32Event final : public Event {
public:
    Win32Event() : handle_(::CreateEventA(nullptr, TRUE, FALSE, nullptr)) {
        if (handle_ == nullptr)
            ThrowLastError("CreateEvent");
    }
    ~Win32Event() override { ::CloseHandle(handle_); }
    Win32Event(const Win32Event&) = delete;
    Win32Event& operator=(const Win32Event&) = delete;

    void Set() override { ::SetEvent(handle_); }
    void Reset() override { ::ResetEvent(handle_); }
    WaitResult Wait(uint32_t timeoutMs) override {
        switch (::WaitForSingleObject(handle_, timeoutMs)) {
            case WAIT_OBJECT_0:
                return WaitResult::Signalled;
            case WAIT_TIMEOUT:
                return WaitResult::TimedOut;
            default:  // WAIT_FAILED, WAIT_ABANDONED (not possible for an event, but not hidden)
                return WaitResult::Failed;
        }
    }

private:
    HANDLE handle_;
};

// The thread's function belongs to the thread, not to the Win32Thread object: the owner may
// destroy the object from inside the function (a self-join), and the function must outlive
// that.
unsigned __stdcall ThreadMain(void* arg) {
    std::unique_ptr<std::function<void()>> body(static_cast<std::function<void()>*>(arg));
    try {
        (*body)();
    } catch (...) {
        // An exception must not leave a thread: it would end the process.
    }
    return 0;
}

class Win32Thread final : public Thread {
public:
    explicit Win32Thread(std::function<void()> body) {
        auto* owned = new std::function<void()>(std::move(body));
        unsigned id = 0;
        // _beginthreadex rather than CreateThread: the function uses the C runtime. Created
        // suspended so that the handle and id are known before the function can run.
        uintptr_t handle = ::_beginthreadex(nullptr, 0, &ThreadMain, owned, CREATE_SUSPENDED, &id);
        if (handle == 0) {
            delete owned;
            ThrowLastError("_beginthreadex");
        }
        handle_ = reinterpret_cast<HANDLE>(handle);
        id_ = id;
        ::ResumeThread(handle_);
    }
    // Destroyed by its own thread (a self-join), the thread is left to run to its end.
    ~Win32Thread() override {
        Join();
        if (handle_ != nullptr)
            ::CloseHandle(handle_);
    }
    Win32Thread(const Win32Thread&) = delete;
    Win32Thread& operator=(const Win32Thread&) = delete;

    void Join() override {
        // Joining from the thread itself would wait forever: there is nothing to wait for.
        if (handle_ == nullptr || ::GetCurrentThreadId() == id_)
            return;
        ::WaitForSingleObject(handle_, INFINITE);
        ::CloseHandle(handle_);
        handle_ = nullptr;
    }

private:
    HANDLE handle_ = nullptr;
    DWORD id_ = 0;
};

// True when a message box could be answered: not switched off by N95_NO_MESSAGE_BOX, and
// the process runs on a window station that a user can see (not a service or a scheduled
// task without a desktop).
bool MessageBoxWanted() {
    char value[8];
    DWORD length = ::GetEnvironmentVariableA("N95_NO_MESSAGE_BOX", value, sizeof value);
    if (length > 0)
        return false;
    HWINSTA station = ::GetProcessWindowStation();
    if (station == nullptr)
        return false;
    USEROBJECTFLAGS flags{};
    if (!::GetUserObjectInformationA(station, UOI_FLAGS, &flags, sizeof flags, nullptr)) {
        return false;
    }
    return (flags.dwFlags & WSF_VISIBLE) != 0;
}

class Win32Env final : public Env {
public:
    void Sleep(uint32_t ms) override { ::Sleep(ms); }

    TDateTime Now() override {
        SYSTEMTIME st;
        ::GetLocalTime(&st);
        const int64_t days = DaysFromCivil(st.wYear, st.wMonth, st.wDay);
        const double dayMs =
            ((st.wHour * 60.0 + st.wMinute) * 60.0 + st.wSecond) * 1000.0 + st.wMilliseconds;
        return kUnixEpochInDays + static_cast<double>(days) + dayMs / (kSecondsPerDay * 1000.0);
    }

    void ShowMessage(const std::string& text) override {
        if (MessageBoxWanted()) {
            ::MessageBoxA(nullptr, text.c_str(), "N95",
                          MB_OK | MB_ICONINFORMATION | MB_TASKMODAL | MB_SETFOREGROUND);
            return;
        }
        std::fprintf(stderr, "%s\n", text.c_str());
        std::fflush(stderr);
    }

    std::unique_ptr<Event> NewEvent() override { return std::make_unique<Win32Event>(); }

    std::unique_ptr<Thread> StartThread(std::function<void()> body) override {
        return std::make_unique<Win32Thread>(std::move(body));
    }
};

}  // namespace

Env* Env::Default() {
    static Win32Env env;
    return &env;
}

}  // namespace n95
