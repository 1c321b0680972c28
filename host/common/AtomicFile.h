// An output file that appears complete or not at all.
//
// Open() creates a temporary file beside the destination (same folder, so the final rename
// stays on one file system); the caller writes to it; Commit() flushes, closes and renames
// it over the destination. A TAtomicFile destroyed (or Discard()ed) before Commit() removes
// the temporary file, so a failed or interrupted run never leaves a half-written output.
//
// Not thread-safe; one owner.
#pragma once

#include <cstdio>
#include <string>

namespace n95::host {

class TAtomicFile {
public:
    TAtomicFile() = default;
    TAtomicFile(const TAtomicFile&) = delete;
    TAtomicFile& operator=(const TAtomicFile&) = delete;
    ~TAtomicFile();

    // Creates the temporary file for `path` and opens it for binary writing with a large
    // buffer. On failure returns false with a message naming `path` in *error.
    bool Open(const std::string& path, std::string* error);

    // The open stream (nil before Open, after Detach or Commit).
    FILE* File() const { return Stream; }

    // Hands the stream to the caller, who must close it before Commit (used when a library
    // takes over a FILE*, or when another party writes the temporary file by name).
    FILE* Detach();

    const std::string& Path() const { return FinalPath; }
    const std::string& TempPath() const { return Temp; }

    // Flushes and closes the stream (if still owned), gives the file the usual permissions
    // (0666 less the umask) and renames it to Path(). On failure the temporary file is
    // removed and false is returned with a message in *error.
    bool Commit(std::string* error);

    // Closes and removes the temporary file. Safe to call more than once.
    void Discard();

private:
    std::string FinalPath;
    std::string Temp;
    FILE* Stream = nullptr;
    bool Pending = false;  // a temporary file exists that is neither committed nor removed
};

}  // namespace n95::host
