// A test double for the host's system calls that changes what the line says rather than
// failing a call: the real calls are made (through Default(), or through another instance),
// except that a chosen poll reports chosen events without waiting, a chosen read finds the
// end of the data, and Status reports a chosen kind of file. What a device says only on real
// hardware (an error condition on a serial line, a disk) can so be met over a pseudo-terminal.
// Stack it under TFaultySystemCalls to fail calls as well.
#pragma once

#include <optional>

#include "host/common/SystemCalls.h"

namespace n95::test {

class TLineSystemCalls final : public n95::host::TSystemCalls {
public:
    using TFileInfo = n95::host::TFileInfo;
    using TFileKind = n95::host::TFileKind;
    using TPollEntry = n95::host::TPollEntry;

    struct TScript {
        // The `PollAt`-th poll (from 1) answers at once, its first entry having found
        // `PollFound`.
        int PollAt = 0;
        short PollFound = 0;
        // The `ReadEndAt`-th read (from 1) reads nothing: the end of the data.
        int ReadEndAt = 0;
        // Status and StatusOf report this kind.
        std::optional<TFileKind> Kind = std::nullopt;
        // Every poll after the `PollAt`-th answers as it did.
        bool PollAgain = false;
    };

    // Follows `script` from now on, counting the calls from zero again.
    void Start(const TScript& script) {
        Script = script;
        Polls = Reads = 0;
    }

    bool SupportsBaud(int baud) override { return Inner.SupportsBaud(baud); }

protected:
    int DoPoll(TPollEntry* entries, int count, int timeoutMs) override {
        if (++Polls == Script.PollAt || (Script.PollAgain && Polls > Script.PollAt)) {
            for (int i = 0; i < count; ++i)
                entries[i].Found = i == 0 ? Script.PollFound : 0;
            return 1;
        }
        return Inner.Poll(entries, count, timeoutMs);
    }
    ssize_t DoRead(int fd, void* buffer, std::size_t size) override {
        return ++Reads == Script.ReadEndAt ? 0 : Inner.Read(fd, buffer, size);
    }
    int DoStatus(const std::string& path, TFileInfo& info, bool followLinks) override {
        return Altered(Inner.Status(path, info, followLinks), info);
    }
    int DoStatusOf(int fd, TFileInfo& info) override {
        return Altered(Inner.StatusOf(fd, info), info);
    }

    // Everything else as it is.
    int DoOpen(const std::string& path, unsigned flags, unsigned mode) override {
        return Inner.Open(path, flags, mode);
    }
    int DoOpenUnnamed(const std::string& folder, unsigned mode) override {
        return Inner.OpenUnnamed(folder, mode);
    }
    std::string DoUnnamedPath(int fd) override { return Inner.UnnamedPath(fd); }
    int DoCreateUnique(std::string& pattern) override { return Inner.CreateUnique(pattern); }
    int DoDuplicate(int fd, int lowest) override { return Inner.Duplicate(fd, lowest); }
    ssize_t DoWrite(int fd, const void* data, std::size_t size) override {
        return Inner.Write(fd, data, size);
    }
    ssize_t DoWriteGathered(int fd, const n95::host::TBytes* pieces, int count) override {
        return Inner.WriteGathered(fd, pieces, count);
    }
    int DoSyncData(int fd) override { return Inner.SyncData(fd); }
    int DoTruncate(int fd, uint64_t size) override { return Inner.Truncate(fd, size); }
    int DoRewind(int fd) override { return Inner.Rewind(fd); }
    int DoClose(int fd) override { return Inner.Close(fd); }
    int DoReadLink(const std::string& path, std::string& target) override {
        return Inner.ReadLink(path, target);
    }
    int DoAccess(const std::string& path, int flags) override { return Inner.Access(path, flags); }
    long DoNameMax(const std::string& folder) override { return Inner.NameMax(folder); }
    unsigned DoCreationMask() override { return Inner.CreationMask(); }
    int DoLink(const std::string& from, const std::string& to) override {
        return Inner.Link(from, to);
    }
    int DoRename(const std::string& from, const std::string& to,
                 n95::host::TRenameMode mode) override {
        return Inner.Rename(from, to, mode);
    }
    int DoUnlink(const std::string& path) override { return Inner.Unlink(path); }
    int DoChangeMode(int fd, unsigned permissions) override {
        return Inner.ChangeMode(fd, permissions);
    }
    int DoChangeOwner(int fd, uint32_t owner, uint32_t group) override {
        return Inner.ChangeOwner(fd, owner, group);
    }
    int DoDescriptorAccess(int fd) override { return Inner.DescriptorAccess(fd); }
    int DoSetBlocking(int fd) override { return Inner.SetBlocking(fd); }
    int DoConnectLocal(const std::string& path) override { return Inner.ConnectLocal(path); }
    int DoIsTerminal(int fd) override { return Inner.IsTerminal(fd); }
    int DoMakeRawTerminal(int fd, int baud) override { return Inner.MakeRawTerminal(fd, baud); }
    int DoFlushTerminal(int fd, bool input) override { return Inner.FlushTerminal(fd, input); }
    int DoLockExclusive(int fd) override { return Inner.LockExclusive(fd); }

private:
    int Altered(int status, TFileInfo& info) const {
        if (status == 0 && Script.Kind)
            info.Kind = *Script.Kind;
        return status;
    }

    n95::host::TSystemCalls& Inner = n95::host::TSystemCalls::Default();
    TScript Script;
    int Polls = 0;
    int Reads = 0;
};

}  // namespace n95::test
