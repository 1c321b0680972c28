#include "host/common/OutputTarget.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <filesystem>

#include "host/common/Diagnostics.h"

namespace n95::host {

namespace {

// The folder part of a path, with its slash ("" for a bare name).
std::string FolderOf(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? "" : path.substr(0, slash + 1);
}

// The path that a chain of symbolic links at `path` ends in: the first name that is not a
// link (it may not exist). False, with errno set, when the chain loops or cannot be read.
bool FollowLinks(const std::string& path, std::string& end) {
    end = path;
    for (int hops = 0; hops < 40; ++hops) {
        struct stat info {};
        if (lstat(end.c_str(), &info) != 0 || !S_ISLNK(info.st_mode))
            return true;  // a missing name is the end too; stat reports any other trouble
        char target[PATH_MAX];
        const ssize_t n = readlink(end.c_str(), target, sizeof target);
        if (n < 0)
            return false;
        if (static_cast<std::size_t>(n) == sizeof target) {
            errno = ENAMETOOLONG;
            return false;
        }
        const std::string link(target, static_cast<std::size_t>(n));
        end = link.front() == '/' ? link : FolderOf(end) + link;
    }
    errno = ELOOP;
    return false;
}

bool IsDevNull(const struct stat& info) {
    return S_ISCHR(info.st_mode) && info.st_rdev == makedev(1, 3);
}

// What CheckDistinctFiles compares.
struct TIdentity {
    bool StandardOutput = false;
    bool Exists = false;
    bool Null = false;
    dev_t Device = 0;
    ino_t Inode = 0;
    std::string Path;  // when it does not exist: absolute, links followed, normalised
};

TIdentity IdentityOf(const std::string& path, bool output) {
    TIdentity id;
    struct stat info {};
    if (output && path == "-") {
        id.StandardOutput = true;
        if (fstat(STDOUT_FILENO, &info) != 0)
            return id;
    } else if (stat(path.c_str(), &info) != 0) {
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
    id.Null = IsDevNull(info);
    id.Device = info.st_dev;
    id.Inode = info.st_ino;
    return id;
}

bool SameFile(const TIdentity& a, const TIdentity& b) {
    if (a.StandardOutput && b.StandardOutput)
        return true;
    if (a.Null || b.Null)
        return false;  // writing /dev/null twice loses nothing
    if (a.Exists != b.Exists)
        return false;
    return a.Exists ? a.Device == b.Device && a.Inode == b.Inode
                    : !a.StandardOutput && !b.StandardOutput && a.Path == b.Path;
}

}  // namespace

std::string OutputDisplayName(const std::string& name) {
    return name == "-" ? "standard output" : name;
}

bool ResolveOutputTarget(const std::string& name, TOutputTarget& target, std::string* error) {
    target = TOutputTarget();
    if (name == "-") {
        if (fcntl(STDOUT_FILENO, F_GETFD) < 0) {
            *error = SystemError("cannot write standard output", errno);
            return false;
        }
        target.Kind = TOutputTarget::TKind::StandardOutput;
        target.Path = name;
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
    struct stat info {};
    if (stat(end.c_str(), &info) == 0) {
        if (S_ISDIR(info.st_mode)) {
            *error = SystemError("cannot write " + name, EISDIR);
            return false;
        }
        if (S_ISBLK(info.st_mode)) {
            *error = "cannot write " + name + ": it is a block device (a disk), not a file";
            return false;
        }
        if (S_ISCHR(info.st_mode) || S_ISFIFO(info.st_mode) || S_ISSOCK(info.st_mode)) {
            target.Kind = TOutputTarget::TKind::Straight;
            target.Path = name;
            target.Type = info.st_mode & S_IFMT;
            return true;
        }
        if (!S_ISREG(info.st_mode)) {
            *error = "cannot write " + name + ": not a regular file, device, FIFO or socket";
            return false;
        }
    } else if (errno != ENOENT) {
        *error = SystemError("cannot write " + name, errno);
        return false;
    }
    // A regular file, to be created or replaced: its folder must take a new name.
    const std::string folder = FolderOf(end).empty() ? "." : FolderOf(end);
    struct stat folderInfo {};
    if (stat(folder.c_str(), &folderInfo) != 0) {
        *error = SystemError("cannot create " + name, errno);
        return false;
    }
    if (!S_ISDIR(folderInfo.st_mode)) {
        *error = SystemError("cannot create " + name, ENOTDIR);
        return false;
    }
    if (access(folder.c_str(), W_OK | X_OK) != 0) {
        *error = SystemError("cannot create " + name, errno);
        return false;
    }
    target.Kind = TOutputTarget::TKind::File;
    target.Path = end;
    return true;
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
            *error = outputs[a].Role + " and " + outputs[b].Role +
                     (out[a].StandardOutput && out[b].StandardOutput
                          ? " both write to standard output; only one output can"
                          : " are the same file: " + outputs[b].Path);
            return false;
        }
    }
    return true;
}

}  // namespace n95::host
