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
// The destination is a name: a symbolic link there is replaced, not followed (TOutputFile
// resolves links before it comes here). The committed file has the usual permissions, 0666
// less the umask. Not thread-safe; one owner.
#pragma once

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
    bool Named() const { return Pending && Fd < 0; }

    // Pushes the buffered bytes into the temporary file. False, with a message naming Path(),
    // when a write failed now or earlier.
    bool Flush(std::string* error);

    // Flushes and closes the stream (if still owned), gives the file the usual permissions
    // and renames it to Path(). On failure the temporary file is removed and false is
    // returned with a message in *error.
    bool Commit(std::string* error);

    // Closes and removes the temporary file. Safe to call more than once.
    void Discard();

private:
    bool OpenUnnamed(const std::string& dir, int* errnum);
    bool OpenNamed(const std::string& dir, const std::string& base, std::string* error);
    // Links the unnamed file under a fresh hidden name in its folder; false with errno set.
    bool LinkUnnamed(std::string& linked);

    std::string FinalPath;
    std::string Temp;
    TWriteStream Stream;
    int Fd = -1;           // the unnamed file (kept beside the stream, which may be detached)
    bool Pending = false;  // a temporary file exists that is neither committed nor removed
};

}  // namespace n95::host
