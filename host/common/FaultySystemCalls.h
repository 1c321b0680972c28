// A test double for the host's system calls: it passes every call to the real ones (or to
// another instance), counts them by kind, and makes one chosen call fail.
//
// FailAt(kind, n, errnum): the n-th call (from 1) of `kind` (TCall::Count: of any kind)
// answers -1 with errno `errnum` without reaching the system; Close is the exception, it
// closes the descriptor first and then reports the failure, as Linux does. With `errnum`
// EINTR the failure is the interruption that the seam retries, so a run must end as a clean
// one does. Only one fault is armed at a time; it fires once.
//
// A write of more than one byte fails as a full or failing disk makes it fail: the faulted
// call writes the first half and returns that short count, and the next write of the same
// kind fails with the errno (ShortWrites, on by default; EINTR always fails whole).
//
// Threading: counts and the armed fault are guarded by a mutex; install it with
// TScopedSystemCalls while no host file or port is open.
#pragma once

#include <array>
#include <mutex>

#include "host/common/SystemCalls.h"

namespace n95::host {

class TFaultySystemCalls final : public TSystemCalls {
public:
    using TCall = TSystemCalls::TCall;

    explicit TFaultySystemCalls(TSystemCalls& inner = TSystemCalls::Default()) : Inner(inner) {}

    void FailAt(TCall kind, uint64_t n, int errnum);
    // Counts from zero again; disarms the fault.
    void Reset();
    // The calls of `kind` made so far (TCall::Count: of every kind).
    uint64_t Calls(TCall kind = TCall::Count) const;
    // True once the armed fault has fired.
    bool Fired() const;
    // The kind of the call that failed (TCall::Count before one did).
    TCall FiredCall() const;
    // The name of a kind of call, for messages ("Rename").
    static const char* Name(TCall kind);

    bool SupportsBaud(int baud) override { return Inner.SupportsBaud(baud); }

    bool ShortWrites = true;

protected:
    int DoOpen(const std::string& path, unsigned flags, unsigned mode) override;
    int DoOpenUnnamed(const std::string& folder, unsigned mode) override;
    std::string DoUnnamedPath(int fd) override { return Inner.UnnamedPath(fd); }
    int DoCreateUnique(std::string& pattern) override;
    int DoDuplicate(int fd, int lowest) override;
    ssize_t DoRead(int fd, void* buffer, std::size_t size) override;
    ssize_t DoWrite(int fd, const void* data, std::size_t size) override;
    ssize_t DoWriteGathered(int fd, const TBytes* pieces, int count) override;
    int DoSyncData(int fd) override;
    int DoTruncate(int fd, uint64_t size) override;
    int DoRewind(int fd) override;
    int DoClose(int fd) override;
    int DoStatus(const std::string& path, TFileInfo& info, bool followLinks) override;
    int DoStatusOf(int fd, TFileInfo& info) override;
    int DoReadLink(const std::string& path, std::string& target) override;
    int DoAccess(const std::string& path, int flags) override;
    long DoNameMax(const std::string& folder) override;
    unsigned DoCreationMask() override { return Inner.CreationMask(); }
    int DoLink(const std::string& from, const std::string& to) override;
    int DoRename(const std::string& from, const std::string& to, TRenameMode mode) override;
    int DoUnlink(const std::string& path) override;
    int DoChangeMode(int fd, unsigned permissions) override;
    int DoChangeOwner(int fd, uint32_t owner, uint32_t group) override;
    int DoDescriptorAccess(int fd) override;
    int DoSetBlocking(int fd) override;
    int DoConnectLocal(const std::string& path) override;
    int DoPoll(TPollEntry* entries, int count, int timeoutMs) override;
    int DoIsTerminal(int fd) override;
    int DoMakeRawTerminal(int fd, int baud) override;
    int DoFlushTerminal(int fd, bool input) override;
    int DoLockExclusive(int fd) override;
    int DoProcessUsage(TProcessUsage& usage) override;
    std::string DoProgramPath() override { return Inner.ProgramPath(); }
    int DoCatchStopRequests(void (*onStop)()) override;
    TStopMask BlockStopRequests() override { return Inner.BlockStopRequests(); }
    void RestoreStopRequests(TStopMask previous) override { Inner.RestoreStopRequests(previous); }
    void* DoLoadModule(const std::string& path, std::string* error) override;
    void* DoModuleSymbol(void* module, const char* name, std::string* error) override;
    void DoUnloadModule(void* module) override { Inner.UnloadModule(module); }

private:
    // Counts a call of `kind`; true, with errno set, when it is the one to fail.
    bool Faulted(TCall kind);
    // For a faulted write of `size` bytes: how many to write before failing (0: none).
    std::size_t ShortCount(TCall kind, std::size_t size);

    TSystemCalls& Inner;
    mutable std::mutex Mutex;
    std::array<uint64_t, static_cast<std::size_t>(TCall::Count) + 1> Counts{};
    TCall FailKind = TCall::Count;
    uint64_t FailCall = 0;  // 0: none armed
    int FailErrno = 0;
    bool Done = false;
    TCall DoneKind = TCall::Count;
    TCall FailNextWrite = TCall::Count;  // a short write was given: the next of this kind fails
    bool FailWhole = false;              // that next write is failing now, whole
};

}  // namespace n95::host
