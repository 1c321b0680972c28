// An output file that appears complete or not at all.
//
// Open() makes the file in the destination's folder (the same file system, so that it can
// be renamed over the destination) without a name: an unnamed file (O_TMPFILE) vanishes
// with its descriptor, so neither Discard() nor a killed process leaves anything behind.
// Commit() flushes it, gives it a temporary name beside the destination (linkat through
// /proc/self/fd) and renames it over the destination, so the destination is replaced in one
// step. A TAtomicFile destroyed (or Discard()ed) before Commit() leaves the destination as
// it was.
//
// Where the file system refuses unnamed files, or /proc is not mounted, and when the caller
// asks for it (TTempName::Named, which takes that path on any file system), the file is
// created under a hidden temporary name, `.NAME.tmp-XXXXXX` beside the destination; Discard()
// and the destructor remove it, but a killed process leaves it behind.
//
// Several files that must appear together (the outputs of one run) commit in two steps:
// Prepare() each (flushed, synced to the disk, given a hidden name; nothing visible changes
// yet), then Publish() each (put in place in one rename). Until Finish(), a published file
// keeps what it replaced under the hidden name, so that Rollback() can put it back when a
// later file of the set fails: either every destination is replaced or none is.
//
// The destination is a name: a symbolic link there is replaced, not followed (TOutputFile
// resolves links before it comes here). A file that replaces another takes its mode, and its
// owner and group where this user may set them; a new file has the usual permissions, 0666
// less the umask. The temporary name is cut short where the destination's own name leaves no
// room for its prefix and suffix. Not thread-safe; one owner.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

#include "host/common/WriteStream.h"

namespace n95::host {

enum class TTempName {
    Unnamed,  // no name until Commit, where the file system allows it
    Named,    // a hidden temporary name from the start
};

class TAtomicFile {
public:
    TAtomicFile() = default;
    TAtomicFile(const TAtomicFile&) = delete;
    TAtomicFile& operator=(const TAtomicFile&) = delete;
    ~TAtomicFile();

    // Creates the temporary file for `path` and opens it for binary writing with a large
    // buffer. On failure returns false with a message naming `path` in *error.
    bool Open(const std::string& path, std::string* error, TTempName name = TTempName::Unnamed);

    // The open stream (nil before Open, after Detach or Commit).
    FILE* File() const { return Stream.File(); }

    // Hands the stream to the caller, who must close it before Commit (used when a library
    // takes over a FILE*, or when another party writes the temporary file by name).
    FILE* Detach() { return Stream.Detach(); }

    const std::string& Path() const { return FinalPath; }
    // A name by which this process can open the temporary file for writing: its hidden
    // name, or /proc/self/fd/N for an unnamed file ("" when not open).
    const std::string& TempPath() const { return Temp; }
    // True when the file has a name before Commit (the fallback, or TTempName::Named).
    bool Named() const { return State == TState::Open && Fd < 0; }

    // Pushes the buffered bytes into the temporary file. False, with a message naming Path(),
    // when a write failed now or earlier.
    bool Flush(std::string* error);

    // Prepare, Publish and Finish at once: the destination is replaced by the complete file.
    // On failure the temporary file is removed, the destination is as it was, and false is
    // returned with a message in *error.
    bool Commit(std::string* error);

    // Flushes, syncs and closes the stream (if still owned), gives the file its mode (that of
    // the file it replaces, or the usual one) and a hidden temporary name beside Path(). The
    // destination is untouched. On failure the temporary file is removed and false is
    // returned with a message in *error.
    bool Prepare(std::string* error);
    // After Prepare: puts the file at Path() in one step. What stood there is kept under the
    // hidden name until Finish or Rollback. A destination that is no longer a regular file
    // (or absent) as it was at Prepare fails. On failure the destination is as it was and
    // the prepared file is removed; false with a message.
    bool Publish(std::string* error);
    // After Publish: removes what the file replaced. Before: Discard. False, with a message
    // naming where the replaced file was left, when it cannot be removed (the new file
    // stands all the same).
    bool Finish(std::string* error);
    // After Publish: puts back what stood at Path() (removes the new file when nothing did);
    // before: Discard. False, with errno set, when the old file could not be put back: it is
    // then left under its hidden name, KeptAs(); or when the new file could not be removed.
    bool Rollback();
    const std::string& KeptAs() const { return Kept; }

    // Closes and removes the temporary file (before Publish). Safe to call more than once.
    void Discard();

private:
    bool OpenUnnamed(const std::string& dir, int* errnum);
    bool OpenNamed(std::string* error);
    // Links the unnamed file under a fresh hidden name in its folder; false with errno set.
    bool LinkUnnamed(std::string& linked);

    // A hidden name for a new file beside Path(): ".NAME.tmp-XXXXXX", NAME cut short to fit.
    std::string HiddenName(const std::string& suffix) const;
    // Gives the file at `fd` the mode, owner and group of the file it replaces, or the usual
    // mode when it replaces none. False, with errno set, when the mode cannot be set.
    bool TakeMode(int fd);
    // Puts the file at `from` over an existing destination, keeping the old one at `kept`.
    bool ExchangeWithDestination(const std::string& from, std::string& kept);

    enum class TState { Closed, Open, Prepared, Published };

    std::string FinalPath;
    std::string Temp;
    TWriteStream Stream;
    int Fd = -1;  // the unnamed file (kept beside the stream, which may be detached)
    TState State = TState::Closed;
    std::string Prepared;    // Prepared: the file's hidden name
    std::string Replaced;    // Published: the hidden name of what it replaced ("" = nothing)
    std::string Kept;        // after a failed Rollback: where the old file was left
    bool Replacing = false;  // Prepared: a regular file stood at Path()
    uint64_t NewInode = 0;   // Prepared: the new file
};

}  // namespace n95::host
