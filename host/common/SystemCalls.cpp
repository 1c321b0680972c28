#include "host/common/SystemCalls.h"

#include <atomic>
#include <cerrno>

namespace n95::host {

namespace {

std::atomic<TSystemCalls*> Current{nullptr};

// Calls `call` again for as long as a signal interrupts it.
template <typename TCallable>
auto Retrying(TCallable call) {
    for (;;) {
        const auto result = call();
        if (!(result < 0 && errno == EINTR))
            return result;
    }
}

}  // namespace

TSystemCalls& System() {
    TSystemCalls* calls = Current.load(std::memory_order_acquire);
    return calls != nullptr ? *calls : TSystemCalls::Default();
}

TSystemCalls* SetSystemCalls(TSystemCalls* calls) {
    return Current.exchange(calls, std::memory_order_acq_rel);
}

int TSystemCalls::Open(const std::string& path, unsigned flags, unsigned mode) {
    return Retrying([&] { return DoOpen(path, flags, mode); });
}

int TSystemCalls::OpenUnnamed(const std::string& folder, unsigned mode) {
    return Retrying([&] { return DoOpenUnnamed(folder, mode); });
}

int TSystemCalls::CreateUnique(std::string& pattern) {
    const std::string asGiven = pattern;
    return Retrying([&] {
        pattern = asGiven;
        return DoCreateUnique(pattern);
    });
}

int TSystemCalls::Duplicate(int fd, int lowest) {
    return Retrying([&] { return DoDuplicate(fd, lowest); });
}

ssize_t TSystemCalls::Read(int fd, void* buffer, std::size_t size) {
    return Retrying([&] { return DoRead(fd, buffer, size); });
}

ssize_t TSystemCalls::Write(int fd, const void* data, std::size_t size) {
    return Retrying([&] { return DoWrite(fd, data, size); });
}

ssize_t TSystemCalls::WriteGathered(int fd, const TBytes* pieces, int count) {
    return Retrying([&] { return DoWriteGathered(fd, pieces, count); });
}

int TSystemCalls::SyncData(int fd) {
    return Retrying([&] { return DoSyncData(fd); });
}

int TSystemCalls::Truncate(int fd, uint64_t size) {
    return Retrying([&] { return DoTruncate(fd, size); });
}

int TSystemCalls::Rewind(int fd) {
    return Retrying([&] { return DoRewind(fd); });
}

int TSystemCalls::Close(int fd) {
    const int result = DoClose(fd);
    return result < 0 && errno == EINTR ? 0 : result;
}

int TSystemCalls::Status(const std::string& path, TFileInfo& info, bool followLinks) {
    return Retrying([&] { return DoStatus(path, info, followLinks); });
}

int TSystemCalls::StatusOf(int fd, TFileInfo& info) {
    return Retrying([&] { return DoStatusOf(fd, info); });
}

int TSystemCalls::ReadLink(const std::string& path, std::string& target) {
    return Retrying([&] { return DoReadLink(path, target); });
}

int TSystemCalls::Access(const std::string& path, int flags) {
    return Retrying([&] { return DoAccess(path, flags); });
}

long TSystemCalls::NameMax(const std::string& folder) {
    return Retrying([&] { return DoNameMax(folder); });
}

int TSystemCalls::Link(const std::string& from, const std::string& to) {
    return Retrying([&] { return DoLink(from, to); });
}

int TSystemCalls::Rename(const std::string& from, const std::string& to, TRenameMode mode) {
    return Retrying([&] { return DoRename(from, to, mode); });
}

int TSystemCalls::Unlink(const std::string& path) {
    return Retrying([&] { return DoUnlink(path); });
}

int TSystemCalls::ChangeMode(int fd, unsigned permissions) {
    return Retrying([&] { return DoChangeMode(fd, permissions); });
}

int TSystemCalls::ChangeOwner(int fd, uint32_t owner, uint32_t group) {
    return Retrying([&] { return DoChangeOwner(fd, owner, group); });
}

int TSystemCalls::DescriptorAccess(int fd) {
    return Retrying([&] { return DoDescriptorAccess(fd); });
}

int TSystemCalls::SetBlocking(int fd) {
    return Retrying([&] { return DoSetBlocking(fd); });
}

int TSystemCalls::ConnectLocal(const std::string& path) {
    return Retrying([&] { return DoConnectLocal(path); });
}

int TSystemCalls::Poll(TPollEntry* entries, int count, int timeoutMs) {
    return DoPoll(entries, count, timeoutMs);
}

int TSystemCalls::IsTerminal(int fd) {
    return Retrying([&] { return DoIsTerminal(fd); });
}

int TSystemCalls::MakeRawTerminal(int fd, int baud) {
    return Retrying([&] { return DoMakeRawTerminal(fd, baud); });
}

int TSystemCalls::FlushTerminal(int fd, bool input) {
    return Retrying([&] { return DoFlushTerminal(fd, input); });
}

int TSystemCalls::LockExclusive(int fd) {
    return Retrying([&] { return DoLockExclusive(fd); });
}

int TSystemCalls::ProcessUsage(TProcessUsage& usage) {
    return Retrying([&] { return DoProcessUsage(usage); });
}

int TSystemCalls::CatchStopRequests(void (*onStop)()) {
    return Retrying([&] { return DoCatchStopRequests(onStop); });
}

// The loader's failures are told in words; errno is cleared first so that only an
// interruption that an implementation (or a test double) reports is retried.
void* TSystemCalls::LoadModule(const std::string& path, std::string* error) {
    for (;;) {
        errno = 0;
        void* module = DoLoadModule(path, error);
        if (module != nullptr || errno != EINTR)
            return module;
    }
}

void* TSystemCalls::ModuleSymbol(void* module, const char* name, std::string* error) {
    for (;;) {
        errno = 0;
        void* symbol = DoModuleSymbol(module, name, error);
        if (symbol != nullptr || errno != EINTR)
            return symbol;
    }
}

}  // namespace n95::host
