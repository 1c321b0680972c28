#include "host/common/OutputTarget.h"

#include <unistd.h>

#include <bitset>
#include <cerrno>
#include <climits>
#include <filesystem>

#include "host/common/Diagnostics.h"
#include "host/common/SystemCalls.h"

namespace n95::host {

namespace {

// The sticky bit among TFileInfo's permission bits (S_ISVTX).
constexpr unsigned kStickyBit = 01000;

// The folder part of a path, with its slash ("" for a bare name).
std::string FolderOf(const std::string& path) {
    const std::size_t slash = LastPathSeparator(path);
    return slash == std::string::npos ? "" : path.substr(0, slash + 1);
}

// The path that a chain of symbolic links at `path` ends in: the first name that is not a
// link (it may not exist). False, with errno set, when the chain loops or cannot be read.
bool FollowLinks(const std::string& path, std::string& end) {
    end = path;
    for (int hops = 0; hops < 40; ++hops) {
        TFileInfo info;
        if (System().Status(end, info, false) != 0)
            return errno == ENOENT || errno == ENOTDIR;  // missing: the end; unseen: not
        if (info.Kind != TFileKind::Link)
            return true;
        std::string link;
        if (System().ReadLink(end, link) != 0)
            return false;
        if (link.empty()) {
            errno = ENOENT;
            return false;
        }
        end = link.front() == '/' ? link : FolderOf(end) + link;
    }
    errno = ELOOP;
    return false;
}

// What CheckDistinctFiles compares.
struct TIdentity {
    int Descriptor = -1;  // an output written to an open descriptor
    bool Exists = false;
    bool Null = false;
    bool Device = false;  // a character or block device: compared by its device number
    uint64_t FileSystem = 0;
    uint64_t Inode = 0;
    uint64_t DeviceNumber = 0;
    std::string Path;  // when it does not exist: absolute, links followed, normalised
};

TIdentity IdentityOf(const std::string& path, bool output) {
    TIdentity id;
    TFileInfo info;
    if (const int fd = output ? DescriptorOfName(path) : -1; fd >= 0) {
        id.Descriptor = fd;
        if (System().StatusOf(id.Descriptor, info) != 0)
            return id;
    } else if (System().Status(path, info) != 0) {
        std::string end;
        if (!FollowLinks(path, end))
            end = path;
        std::error_code ec;
        const std::filesystem::path absolute = std::filesystem::absolute(end, ec);
        std::filesystem::path resolved = std::filesystem::weakly_canonical(absolute, ec);
        if (ec)
            resolved = absolute.lexically_normal();
        id.Path = resolved.string();
        return id;
    }
    id.Exists = true;
    id.Null = IsNullDevice(info);
    id.Device = info.Kind == TFileKind::CharDevice || info.Kind == TFileKind::BlockDevice;
    id.FileSystem = info.Device;
    id.Inode = info.Inode;
    id.DeviceNumber = info.DeviceNumber;
    return id;
}

bool SameFile(const TIdentity& a, const TIdentity& b) {
    if (a.Descriptor >= 0 && a.Descriptor == b.Descriptor)
        return true;
    if (a.Null || b.Null)
        return false;  // writing /dev/null twice loses nothing
    if (a.Exists != b.Exists)
        return false;
    if (!a.Exists)
        return a.Descriptor < 0 && b.Descriptor < 0 && a.Path == b.Path;
    if (a.Device && b.Device)
        return a.DeviceNumber == b.DeviceNumber;
    return a.FileSystem == b.FileSystem && a.Inode == b.Inode;
}

// "/dev/fd/12" with prefix "/dev/fd/": 12; -1 when the rest is not a plain number.
int NumberAfter(const std::string& name, const std::string& prefix) {
    if (name.size() <= prefix.size() || name.size() > prefix.size() + 9 ||
        name.compare(0, prefix.size(), prefix) != 0)
        return -1;
    int n = 0;
    for (std::size_t i = prefix.size(); i < name.size(); ++i) {
        if (name[i] < '0' || name[i] > '9')
            return -1;
        n = n * 10 + (name[i] - '0');
    }
    return n;
}

// The checks of a regular file to be created or replaced at `path` (symbolic links
// followed), whose name the run gave as `name`: its folder takes a new name, the name fits
// the file system, and an existing file is one this user may write.
bool CheckFileTarget(const std::string& name, const std::string& path, bool exists,
                     std::string* error) {
    const std::string folder = FolderOf(path).empty() ? "." : FolderOf(path);
    TSystemCalls& system = System();
    TFileInfo folderInfo;
    if (system.Status(folder, folderInfo) != 0) {
        *error = SystemError("cannot create " + name, errno);
        return false;
    }
    if (folderInfo.Kind != TFileKind::Directory) {
        *error = SystemError("cannot create " + name, ENOTDIR);
        return false;
    }
    if (system.Access(folder, kAccessWrite | kAccessSearch) != 0) {
        *error = SystemError("cannot create " + name, errno);
        return false;
    }
    const long nameMax = system.NameMax(folder);
    const std::size_t base = path.size() - FolderOf(path).size();
    if ((nameMax > 0 && base > static_cast<std::size_t>(nameMax)) || path.size() >= PATH_MAX) {
        *error = SystemError("cannot create " + name, ENAMETOOLONG);
        return false;
    }
    if (exists && system.Access(path, kAccessWrite) != 0) {
        *error = SystemError("cannot replace " + name, errno);
        return false;
    }
    // In a folder with the sticky bit (/tmp) only the file's owner, the folder's or root may
    // rename over a file, however writable it is: found now, not after the run.
    TFileInfo fileInfo;
    const uint32_t user = system.EffectiveUser();
    if (exists && (folderInfo.Permissions & kStickyBit) != 0 && user != 0 &&
        user != folderInfo.Owner && system.Status(path, fileInfo) == 0 && fileInfo.Owner != user) {
        *error = SystemError("cannot replace " + name, EPERM) +
                 " (another user's file in a folder with the sticky bit)";
        return false;
    }
    return true;
}

}  // namespace

std::string OutputDisplayName(const std::string& name) {
    return name == "-" ? "standard output" : name;
}

int DescriptorOfName(const std::string& name) {
    if (name == "-" || name == "/dev/stdout")
        return STDOUT_FILENO;
    if (name == "/dev/stderr")
        return STDERR_FILENO;
    const int fd = NumberAfter(name, "/dev/fd/");
    return fd >= 0 ? fd : NumberAfter(name, "/proc/self/fd/");
}

namespace {

// The descriptors a program is started with are few and low: the three standard ones, and
// what a shell adds (3>>file, bash's process substitution at 63 and below).
constexpr int kInheritedLimit = 1024;
std::bitset<kInheritedLimit> gInherited;
bool gInheritedKnown = false;

bool WasInherited(int fd) {
    return !gInheritedKnown || (fd < kInheritedLimit && gInherited[static_cast<std::size_t>(fd)]);
}

}  // namespace

void RememberInheritedDescriptors() {
    for (int fd = 0; fd < kInheritedLimit; ++fd)
        gInherited[static_cast<std::size_t>(fd)] = System().DescriptorAccess(fd) >= 0;
    gInheritedKnown = true;
}

bool WritesStandardOutput(const std::string& name) {
    return DescriptorOfName(name) == STDOUT_FILENO;
}

bool ResolveOutputTarget(const std::string& name, TOutputTarget& target, std::string* error) {
    target = TOutputTarget();
    if (const int fd = DescriptorOfName(name); fd >= 0) {
        // The descriptor as the shell set it up: `>>` gave it O_APPEND, `|` a pipe. Resolving
        // it to a path would replace what `>>` appends to and fail on a pipe.
        if (!WasInherited(fd)) {
            *error = "cannot write " + name +
                     ": not a descriptor this program was started with (the shell's "
                     "redirections give those)";
            return false;
        }
        const int access = System().DescriptorAccess(fd);
        if (access < 0 || (access & kDescriptorWrite) == 0) {
            *error =
                SystemError("cannot write " + OutputDisplayName(name), access < 0 ? errno : EBADF);
            return false;
        }
        target.Kind = TOutputTarget::TKind::Descriptor;
        target.Path = name;
        target.Fd = fd;
        return true;
    }
    if (name.empty()) {
        *error = "an output needs a name";
        return false;
    }
    std::string end;
    if (!FollowLinks(name, end)) {
        *error = SystemError("cannot write " + name, errno);
        return false;
    }
    TFileInfo info;
    const bool exists = System().Status(end, info) == 0;
    if (exists) {
        if (info.Kind == TFileKind::Directory) {
            *error = SystemError("cannot write " + name, EISDIR);
            return false;
        }
        if (info.Kind == TFileKind::BlockDevice) {
            *error = "cannot write " + name + ": it is a block device (a disk), not a file";
            return false;
        }
        if (info.Kind == TFileKind::CharDevice || info.Kind == TFileKind::Fifo ||
            info.Kind == TFileKind::Socket) {
            target.Kind = TOutputTarget::TKind::Straight;
            target.Path = name;
            target.Type = info.Kind;
            return true;
        }
        if (info.Kind != TFileKind::Regular) {
            *error = "cannot write " + name + ": not a regular file, device, FIFO or socket";
            return false;
        }
    } else if (errno != ENOENT) {
        *error = SystemError("cannot write " + name, errno);
        return false;
    }
    if (!CheckFileTarget(name, end, exists, error))
        return false;
    target.Kind = TOutputTarget::TKind::File;
    target.Path = end;
    return true;
}

bool SameExistingFile(const std::string& a, const std::string& b) {
    const TIdentity first = IdentityOf(a, false), second = IdentityOf(b, false);
    return first.Exists && second.Exists && SameFile(first, second);
}

bool CheckDistinctFiles(const std::vector<TNamedFile>& inputs,
                        const std::vector<TNamedFile>& outputs, std::string* error) {
    std::vector<TIdentity> in, out;
    for (const TNamedFile& file : inputs)
        in.push_back(IdentityOf(file.Path, false));
    for (const TNamedFile& file : outputs)
        out.push_back(IdentityOf(file.Path, true));
    for (std::size_t o = 0; o < outputs.size(); ++o) {
        for (std::size_t i = 0; i < inputs.size(); ++i) {
            if (SameFile(out[o], in[i])) {
                *error = outputs[o].Role + " and " + inputs[i].Role +
                         " are the same file: " + OutputDisplayName(outputs[o].Path);
                return false;
            }
        }
    }
    for (std::size_t b = 1; b < outputs.size(); ++b) {
        for (std::size_t a = 0; a < b; ++a) {
            if (!SameFile(out[a], out[b]))
                continue;
            const bool standardOutput =
                WritesStandardOutput(outputs[a].Path) && WritesStandardOutput(outputs[b].Path);
            *error = outputs[a].Role + " and " + outputs[b].Role +
                     (standardOutput ? " both write to standard output; only one output can"
                                     : " are the same file: " + outputs[b].Path);
            return false;
        }
    }
    return true;
}

}  // namespace n95::host
