// Where an output named on the command line goes, and the check that a run's outputs stay
// clear of its inputs and of each other.
//
// An output name is one of:
//   "-"                      standard output, written straight;
//   an existing character device, FIFO or socket
//                            opened (a socket: connected) and written straight, never
//                            replaced;
//   a regular file, existing or not
//                            written beside it and renamed over it (TAtomicFile). A symbolic
//                            link is followed (through any chain of links, a dangling one
//                            included): its target is replaced and the link stays a link.
// A directory, a block device (a disk is never an output), a name whose folder does not
// exist or cannot be written, and a name that cannot be looked at are refused when the
// target is resolved, that is before a run starts.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace n95::host {

struct TOutputTarget {
    enum class TKind {
        StandardOutput,
        Straight,  // an existing character device, FIFO or socket
        File,      // a regular file, created or replaced
    };
    TKind Kind = TKind::File;
    // File: the regular file to create or replace, symbolic links followed. Straight: the
    // device, FIFO or socket. StandardOutput: "-".
    std::string Path;
    mode_t Type = 0;  // Straight: S_IFCHR, S_IFIFO or S_IFSOCK
};

// Resolves the output `name`. False, with a message naming it, when it cannot be written.
bool ResolveOutputTarget(const std::string& name, TOutputTarget& target, std::string* error);

// How messages name an output: "standard output" for "-", the name otherwise.
std::string OutputDisplayName(const std::string& name);

// A file a run names on its command line, and what names it in messages: the option
// ("--csv", "-o") or the argument ("the capture").
struct TNamedFile {
    std::string Role;
    std::string Path;
};

// True when no output is the same file as an input or as another output: two names are the
// same file when both exist and share device and inode (a hard link, a symbolic link, another
// spelling of the path), or when neither exists and they resolve to the same path. Two outputs
// on "-" clash too. /dev/null may be named any number of times. Otherwise false, with a
// message that names both ("--csv and the capture are the same file: drive.pcap").
bool CheckDistinctFiles(const std::vector<TNamedFile>& inputs,
                        const std::vector<TNamedFile>& outputs, std::string* error);

}  // namespace n95::host
