// A file that grows under its own name: a record of something that cannot be made again (a
// live capture), which a killed process must leave behind holding everything written.
//
// Create() makes the file holding its first bytes (a format's header) and only then gives it
// its name: it is written unnamed (O_TMPFILE) and linked in, so that no reader ever finds it
// empty, and the link fails rather than replace a file that is there. Where the file system
// refuses unnamed files it is created under its name (O_EXCL: never over an existing file)
// and the first bytes follow at once. There is no hidden temporary name either way.
//
// Every Append is written with write(2) before it returns: what was appended is in the
// kernel's hands, so a killed process loses none of it. Sync() (fdatasync) makes it durable
// against a power loss too. Remove() takes the file away again, when the caller found that
// it holds nothing worth keeping; a file that another name now stands for is left alone.
//
// Not thread-safe; one owner.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace n95::host {

class TGrowingFile {
public:
    TGrowingFile() = default;
    TGrowingFile(const TGrowingFile&) = delete;
    TGrowingFile& operator=(const TGrowingFile&) = delete;
    ~TGrowingFile();  // closes; the file stays

    // Creates `path` (a regular file's name, symbolic links already resolved) holding
    // `head`. False, with a message naming it, when it cannot be made or a file is there.
    bool Create(const std::string& path, const std::string& head, std::string* error);

    // Appends the pieces in one write (writev), retrying what the kernel took only in part.
    // False, with a message, when the write fails; the file is then cut back to where it
    // ended before (a reader never finds half an append), and Size() stays as it was.
    bool Append(const void* first, std::size_t firstSize, const void* second,
                std::size_t secondSize, std::string* error);
    // fdatasync. False, with a message, when it fails.
    bool Sync(std::string* error);
    // Syncs and closes. False, with a message, when either fails.
    bool Close(std::string* error);
    // Unlinks the file if its name still stands for it, and closes it.
    void Remove();

    bool IsOpen() const { return Fd >= 0; }
    const std::string& Path() const { return FilePath; }
    uint64_t Size() const { return Bytes; }

private:
    bool CreateUnnamed(const std::string& head, int* errnum);
    bool CreateNamed(const std::string& head, std::string* error);
    // Keeps which file `fd` is, for Remove; false, with errno set, when it cannot be told.
    bool Identify(int fd);

    std::string FilePath;
    int Fd = -1;
    uint64_t Bytes = 0;
    uint64_t Device = 0;
    uint64_t Inode = 0;
};

}  // namespace n95::host
