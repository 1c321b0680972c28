// Where an output named on the command line goes, and the check that a run's outputs stay
// clear of its inputs and of each other.
//
// An output name is one of:
//   a descriptor the shell set up
//                            "-" and /dev/stdout (1), /dev/stderr (2), /dev/fd/N and
//                            /proc/self/fd/N: written straight to that descriptor as it
//                            stands (appending where the shell appends, into a pipe, a
//                            process substitution), never resolved to a path and replaced;
//   an existing character device, FIFO or socket
//                            opened (a socket: connected) and written straight, never
//                            replaced;
//   a regular file, existing or not
//                            written beside it and renamed over it (TAtomicFile). A symbolic
//                            link is followed (through any chain of links, a dangling one
//                            included): its target is replaced and the link stays a link.
// A directory, a block device (a disk is never an output), a name whose folder does not
// exist or cannot be written, a name too long for its file system (with room for the hidden
// temporary name beside it), an existing file that this user may not write (the shell's `>`
// refuses it too) and a name that cannot be looked at are refused when the target is
// resolved, that is before a run starts.
#pragma once

#include <string>
#include <vector>

#include "host/common/SystemCalls.h"

namespace n95::host {

struct TOutputTarget {
    enum class TKind {
        Descriptor,  // an open descriptor of this process ("-", /dev/stdout, /dev/fd/N)
        Straight,    // an existing character device, FIFO or socket
        File,        // a regular file, created or replaced
    };
    TKind Kind = TKind::File;
    // File: the regular file to create or replace, symbolic links followed. Straight: the
    // device, FIFO or socket. Descriptor: the name as given.
    std::string Path;
    TFileKind Type = TFileKind::Other;  // Straight: CharDevice, Fifo or Socket
    int Fd = -1;                        // Descriptor: the descriptor
};

// Notes which descriptors the program was started with: only those can be outputs by
// descriptor name (/dev/fd/N), so that such a name never reaches a file the program opened
// itself (another output's). Called first thing in main; until it is called (a test, a
// library use) any open descriptor may be named.
void RememberInheritedDescriptors();

// The descriptor that `name` stands for ("-", /dev/stdout, /dev/stderr, /dev/fd/N,
// /proc/self/fd/N), or -1 when it names none. Only the spelling counts: whether that
// descriptor is open is for ResolveOutputTarget to find.
int DescriptorOfName(const std::string& name);

// Resolves the output `name`. False, with a message naming it, when it cannot be written.
bool ResolveOutputTarget(const std::string& name, TOutputTarget& target, std::string* error);

// How messages name an output: "standard output" for "-", the name otherwise.
std::string OutputDisplayName(const std::string& name);

// True when `name` is written to standard output ("-", /dev/stdout, /dev/fd/1, ...), which
// a run's summary must then leave to the output.
bool WritesStandardOutput(const std::string& name);

// A file a run names on its command line, and what names it in messages: the option
// ("--csv", "-o") or the argument ("the capture").
struct TNamedFile {
    std::string Role;
    std::string Path;
};

// True when the existing `a` and `b` are one file or one device, compared as
// CheckDistinctFiles compares them (a symbolic link and its target, two nodes of a device).
bool SameExistingFile(const std::string& a, const std::string& b);

// True when no output is the same file as an input or as another output: two names are the
// same file when both exist and share device and inode (a hard link, a symbolic link, another
// spelling of the path), when both are devices with the same device number (one device under
// two nodes), or when neither exists and they resolve to the same path. Two outputs on one
// descriptor ("-" and /dev/stdout) clash too. /dev/null may be named any number of times.
// Otherwise false, with a message that names both ("--csv and the capture are the same file:
// drive.pcap").
bool CheckDistinctFiles(const std::vector<TNamedFile>& inputs,
                        const std::vector<TNamedFile>& outputs, std::string* error);

}  // namespace n95::host
