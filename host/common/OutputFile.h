// One output of a run, wherever its name points (see TOutputTarget):
//
//   a regular file  is written through a TAtomicFile: it appears complete at Commit or not at
//                   all, and a killed run leaves nothing;
//   a descriptor ("-", /dev/stdout, /dev/fd/N), a character device, a FIFO or a socket
//                   is written straight as the run goes, never replaced. Commit pushes what is
//                   buffered and reports a failed write; Discard closes it (what was written
//                   stays written). A FIFO without a reader is waited for, after a note on
//                   standard error, as a shell's redirection waits.
//
// An output may instead be written by another party of this process that opens it by name
// (TOptions::ByName: the plug-in's frame log). WritePath() is then that name:
// /proc/self/fd/N of the unnamed file, the hidden temporary name where there is none, the
// device or FIFO itself; for a descriptor and a socket, which cannot be opened by name
// without truncating or failing, an unnamed spool file in the temporary folder, copied to the
// target at Commit.
//
// A write to a FIFO or a pipe whose reader has gone fails with EPIPE (the run's SIGPIPE
// handler only asks it to stop): Flush and Commit report it as a failed write.
//
// Not thread-safe; one owner.
#pragma once

#include <cstdio>
#include <string>

#include "host/common/AtomicFile.h"
#include "host/common/OutputTarget.h"
#include "host/common/WriteStream.h"

namespace n95::host {

class TOutputFile {
public:
    struct TOptions {
        // Another party writes it through WritePath(); File() is nil.
        bool ByName = false;
    };

    TOutputFile() = default;
    TOutputFile(const TOutputFile&) = delete;
    TOutputFile& operator=(const TOutputFile&) = delete;
    ~TOutputFile();

    // Resolves `name` and opens it. False, with a message naming it, when it cannot be
    // written (see ResolveOutputTarget).
    bool Open(const std::string& name, std::string* error);
    bool Open(const std::string& name, const TOptions& options, std::string* error);

    // The stream to write (nil before Open, with ByName, after Detach, Commit or Discard).
    FILE* File() const;
    // Hands the stream to the caller, who must close it before Commit (a library that takes
    // over a FILE*). Its writes' failures are still reported by Commit.
    FILE* Detach();

    // The name as given; "standard output" for "-".
    const std::string& Name() const { return DisplayName; }
    // ByName: where the other party opens the output for writing.
    const std::string& WritePath() const { return ByNamePath; }
    bool IsOpen() const { return Opened; }
    // True when the output is written straight (not a regular file).
    bool Straight() const { return Target.Kind != TOutputTarget::TKind::File; }

    // Pushes what is buffered to the target (a regular file's unnamed file, or the target
    // itself); false, with a message, when a write failed now or earlier.
    bool Flush(std::string* error);
    // Finishes the output: renames a regular file into place, or pushes the rest to a
    // straight target and closes it. False, with a message, on failure (a regular file is
    // then discarded).
    bool Commit(std::string* error);
    // Abandons the output: a regular file is removed; a straight one is closed.
    void Discard();

    // From now on Commit only prepares a regular file (below), and the owner publishes it
    // with the others of its set.
    void HoldPublication() { Held = true; }

    // Commit in steps, for outputs that must appear together (see TAtomicFile). A straight
    // output is finished by Prepare (what went out cannot be taken back); the other steps
    // concern regular files only.
    bool Prepare(std::string* error);
    bool Publish(std::string* error);
    // False, with a message, when what a file replaced cannot be removed (see TAtomicFile).
    bool Finish(std::string* error);
    // False, with errno set, when a replaced file could not be put back.
    bool Rollback();
    // After a failed Rollback: where the file it replaced was left.
    const std::string& KeptAs() const { return Atomic.KeptAs(); }

private:
    bool OpenStraight(std::string* error);
    bool CopySpool(std::string* error);

    TOptions Options;
    TOutputTarget Target;
    std::string DisplayName;
    std::string ByNamePath;
    bool Opened = false;
    bool Preparing = false;  // a regular file between Prepare and Publish
    bool Held = false;       // HoldPublication
    TAtomicFile Atomic;      // a regular file
    TWriteStream Stream;     // a straight target
    // ByName on a device or FIFO: held open until Commit, so that a FIFO's reader sees a
    // writer from Open to Commit and no end of file between the other party's writes.
    int HeldFd = -1;
    FILE* Spool = nullptr;  // ByName on "-" or a socket
};

}  // namespace n95::host
