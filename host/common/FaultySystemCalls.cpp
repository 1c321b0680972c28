#include "host/common/FaultySystemCalls.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <vector>

namespace n95::host {

void TFaultySystemCalls::FailAt(TCall kind, uint64_t n, int errnum) {
    std::lock_guard lock(Mutex);
    FailKind = kind;
    FailCall = n;
    FailErrno = errnum;
    Done = false;
}

void TFaultySystemCalls::Reset() {
    std::lock_guard lock(Mutex);
    Counts = {};
    FailNextWrite = TCall::Count;
    FailWhole = false;
    DoneKind = TCall::Count;
    FailCall = 0;
    Done = false;
}

uint64_t TFaultySystemCalls::Calls(TCall kind) const {
    std::lock_guard lock(Mutex);
    return Counts[static_cast<std::size_t>(kind)];
}

bool TFaultySystemCalls::Fired() const {
    std::lock_guard lock(Mutex);
    return Done;
}

TSystemCalls::TCall TFaultySystemCalls::FiredCall() const {
    std::lock_guard lock(Mutex);
    return DoneKind;
}

const char* TFaultySystemCalls::Name(TCall kind) {
    static const char* const kNames[] = {"Open",
                                         "OpenUnnamed",
                                         "CreateUnique",
                                         "Duplicate",
                                         "Read",
                                         "Write",
                                         "WriteGathered",
                                         "SyncData",
                                         "Truncate",
                                         "Rewind",
                                         "Close",
                                         "Status",
                                         "StatusOf",
                                         "ReadLink",
                                         "Access",
                                         "NameMax",
                                         "Link",
                                         "Rename",
                                         "Unlink",
                                         "ChangeMode",
                                         "ChangeOwner",
                                         "DescriptorAccess",
                                         "SetBlocking",
                                         "ConnectLocal",
                                         "Poll",
                                         "IsTerminal",
                                         "MakeRawTerminal",
                                         "FlushTerminal",
                                         "LockExclusive",
                                         "ProcessUsage",
                                         "CatchStopRequests",
                                         "LoadModule",
                                         "ModuleSymbol",
                                         "any"};
    static_assert(sizeof kNames / sizeof kNames[0] == static_cast<std::size_t>(TCall::Count) + 1);
    return kNames[static_cast<std::size_t>(kind)];
}

bool TFaultySystemCalls::Faulted(TCall kind) {
    std::lock_guard lock(Mutex);
    const uint64_t ofKind = ++Counts[static_cast<std::size_t>(kind)];
    const uint64_t ofAll = ++Counts[static_cast<std::size_t>(TCall::Count)];
    if (FailNextWrite == kind) {
        FailNextWrite = TCall::Count;
        FailWhole = true;  // the write after the short one: not shortened again
        errno = FailErrno;
        return true;
    }
    const uint64_t counted = FailKind == TCall::Count ? ofAll : ofKind;
    if (Done || FailCall == 0 || (FailKind != TCall::Count && FailKind != kind) ||
        counted != FailCall)
        return false;
    Done = true;
    DoneKind = kind;
    errno = FailErrno;
    return true;
}

int TFaultySystemCalls::DoOpen(const std::string& path, unsigned flags, unsigned mode) {
    return Faulted(TCall::Open) ? -1 : Inner.Open(path, flags, mode);
}

int TFaultySystemCalls::DoOpenUnnamed(const std::string& folder, unsigned mode) {
    return Faulted(TCall::OpenUnnamed) ? -1 : Inner.OpenUnnamed(folder, mode);
}

int TFaultySystemCalls::DoCreateUnique(std::string& pattern) {
    return Faulted(TCall::CreateUnique) ? -1 : Inner.CreateUnique(pattern);
}

int TFaultySystemCalls::DoDuplicate(int fd, int lowest) {
    return Faulted(TCall::Duplicate) ? -1 : Inner.Duplicate(fd, lowest);
}

ssize_t TFaultySystemCalls::DoRead(int fd, void* buffer, std::size_t size) {
    return Faulted(TCall::Read) ? -1 : Inner.Read(fd, buffer, size);
}

std::size_t TFaultySystemCalls::ShortCount(TCall kind, std::size_t size) {
    std::lock_guard lock(Mutex);
    const bool whole = FailWhole;
    FailWhole = false;
    if (whole || !ShortWrites || FailErrno == EINTR || size < 2)
        return 0;
    FailNextWrite = kind;
    return size / 2;
}

ssize_t TFaultySystemCalls::DoWrite(int fd, const void* data, std::size_t size) {
    if (!Faulted(TCall::Write))
        return Inner.Write(fd, data, size);
    const int errnum = errno;
    const std::size_t part = ShortCount(TCall::Write, size);
    errno = errnum;
    return part == 0 ? -1 : Inner.Write(fd, data, part);
}

ssize_t TFaultySystemCalls::DoWriteGathered(int fd, const TBytes* pieces, int count) {
    std::size_t size = 0;
    for (int i = 0; i < count; ++i)
        size += pieces[i].Size;
    if (!Faulted(TCall::WriteGathered))
        return Inner.WriteGathered(fd, pieces, count);
    const int errnum = errno;
    const std::size_t part = ShortCount(TCall::WriteGathered, size);
    errno = errnum;
    if (part == 0)
        return -1;
    // The first `part` bytes of the pieces, as one piece list.
    std::vector<TBytes> head;
    std::size_t left = part;
    for (int i = 0; i < count && left > 0; ++i) {
        const std::size_t take = std::min(left, pieces[i].Size);
        head.push_back({pieces[i].Data, take});
        left -= take;
    }
    return Inner.WriteGathered(fd, head.data(), static_cast<int>(head.size()));
}

int TFaultySystemCalls::DoTruncate(int fd, uint64_t size) {
    return Faulted(TCall::Truncate) ? -1 : Inner.Truncate(fd, size);
}

int TFaultySystemCalls::DoRewind(int fd) {
    return Faulted(TCall::Rewind) ? -1 : Inner.Rewind(fd);
}

int TFaultySystemCalls::DoSyncData(int fd) {
    return Faulted(TCall::SyncData) ? -1 : Inner.SyncData(fd);
}

int TFaultySystemCalls::DoClose(int fd) {
    if (!Faulted(TCall::Close))
        return Inner.Close(fd);
    const int errnum = errno;
    Inner.Close(fd);  // released even when the close reports a failure
    errno = errnum;
    return -1;
}

int TFaultySystemCalls::DoStatus(const std::string& path, TFileInfo& info, bool followLinks) {
    return Faulted(TCall::Status) ? -1 : Inner.Status(path, info, followLinks);
}

int TFaultySystemCalls::DoStatusOf(int fd, TFileInfo& info) {
    return Faulted(TCall::StatusOf) ? -1 : Inner.StatusOf(fd, info);
}

int TFaultySystemCalls::DoReadLink(const std::string& path, std::string& target) {
    return Faulted(TCall::ReadLink) ? -1 : Inner.ReadLink(path, target);
}

int TFaultySystemCalls::DoAccess(const std::string& path, int flags) {
    return Faulted(TCall::Access) ? -1 : Inner.Access(path, flags);
}

long TFaultySystemCalls::DoNameMax(const std::string& folder) {
    return Faulted(TCall::NameMax) ? -1 : Inner.NameMax(folder);
}

int TFaultySystemCalls::DoLink(const std::string& from, const std::string& to) {
    return Faulted(TCall::Link) ? -1 : Inner.Link(from, to);
}

int TFaultySystemCalls::DoRename(const std::string& from, const std::string& to, TRenameMode mode) {
    return Faulted(TCall::Rename) ? -1 : Inner.Rename(from, to, mode);
}

int TFaultySystemCalls::DoUnlink(const std::string& path) {
    return Faulted(TCall::Unlink) ? -1 : Inner.Unlink(path);
}

int TFaultySystemCalls::DoChangeMode(int fd, unsigned permissions) {
    return Faulted(TCall::ChangeMode) ? -1 : Inner.ChangeMode(fd, permissions);
}

int TFaultySystemCalls::DoChangeOwner(int fd, uint32_t owner, uint32_t group) {
    return Faulted(TCall::ChangeOwner) ? -1 : Inner.ChangeOwner(fd, owner, group);
}

int TFaultySystemCalls::DoDescriptorAccess(int fd) {
    return Faulted(TCall::DescriptorAccess) ? -1 : Inner.DescriptorAccess(fd);
}

int TFaultySystemCalls::DoSetBlocking(int fd) {
    return Faulted(TCall::SetBlocking) ? -1 : Inner.SetBlocking(fd);
}

int TFaultySystemCalls::DoConnectLocal(const std::string& path) {
    return Faulted(TCall::ConnectLocal) ? -1 : Inner.ConnectLocal(path);
}

int TFaultySystemCalls::DoPoll(TPollEntry* entries, int count, int timeoutMs) {
    return Faulted(TCall::Poll) ? -1 : Inner.Poll(entries, count, timeoutMs);
}

int TFaultySystemCalls::DoIsTerminal(int fd) {
    return Faulted(TCall::IsTerminal) ? -1 : Inner.IsTerminal(fd);
}

int TFaultySystemCalls::DoMakeRawTerminal(int fd, int baud) {
    return Faulted(TCall::MakeRawTerminal) ? -1 : Inner.MakeRawTerminal(fd, baud);
}

int TFaultySystemCalls::DoFlushTerminal(int fd, bool input) {
    return Faulted(TCall::FlushTerminal) ? -1 : Inner.FlushTerminal(fd, input);
}

int TFaultySystemCalls::DoLockExclusive(int fd) {
    return Faulted(TCall::LockExclusive) ? -1 : Inner.LockExclusive(fd);
}

int TFaultySystemCalls::DoProcessUsage(TProcessUsage& usage) {
    return Faulted(TCall::ProcessUsage) ? -1 : Inner.ProcessUsage(usage);
}

int TFaultySystemCalls::DoCatchStopRequests(void (*onStop)()) {
    return Faulted(TCall::CatchStopRequests) ? -1 : Inner.CatchStopRequests(onStop);
}

void* TFaultySystemCalls::DoLoadModule(const std::string& path, std::string* error) {
    if (Faulted(TCall::LoadModule)) {
        *error = std::strerror(errno);
        return nullptr;
    }
    return Inner.LoadModule(path, error);
}

void* TFaultySystemCalls::DoModuleSymbol(void* module, const char* name, std::string* error) {
    if (Faulted(TCall::ModuleSymbol)) {
        *error = std::strerror(errno);
        return nullptr;
    }
    return Inner.ModuleSymbol(module, name, error);
}

}  // namespace n95::host
