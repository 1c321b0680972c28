// Capture files: the chunks read from the handset's port, one pcap packet per chunk.
//
// Classic pcap with link type LINKTYPE_USER0 (147) and nanosecond time stamps, written and
// read through libpcap; pcapng files (Wireshark's default) of the same link type are read
// too, their time stamps at whatever resolution each interface declares. A packet's data is one
// chunk exactly as the host read it from the port, and its time stamp is the moment it was read;
// packets stand in the order they were read. Chunk boundaries are part of the data: the plug-in's
// frame parser starts afresh at every chunk. docs/capture-format.md describes the format.
//
// A capture is read once, front to back: from a regular file, standard input ("-"), a pipe
// or a FIFO, each plain or gzip-compressed (told by its first bytes; see InputStream.h).
//
// Not thread-safe; one owner per object (Cancel excepted).
#pragma once

#include <array>
#include <csignal>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "host/common/CaptureTime.h"
#include "host/common/GrowingFile.h"
#include "host/common/OutputFile.h"
#include "platform/DateTime.h"

namespace n95::host {

class TInputStream;

// LINKTYPE_USER0 / DLT_USER0: private use, shown by Wireshark as raw bytes.
inline constexpr int kCaptureLinkType = 147;
// The largest chunk a capture may hold (libpcap's own limit for a packet).
inline constexpr uint32_t kMaxChunkBytes = 262144;
// Bytes of the pcap file header and of each packet header.
inline constexpr uint64_t kPcapFileHeaderBytes = 24;
inline constexpr uint64_t kPcapPacketHeaderBytes = 16;

// Reads a capture chunk by chunk, keeping one chunk in memory.
class TCaptureReader {
public:
    enum class TStatus {
        Chunk,    // Data()/Size()/Time() describe the next chunk
        End,      // the file ended cleanly
        Damaged,  // the rest of the file cannot be read (DamageMessage() says where)
        Stopped,  // a stop was asked for while a stream's bytes were waited for
    };

    TCaptureReader();
    ~TCaptureReader();
    TCaptureReader(const TCaptureReader&) = delete;
    TCaptureReader& operator=(const TCaptureReader&) = delete;

    // Opens `path`: a regular file, "-" (standard input), a pipe or a FIFO, plain or gzip;
    // reads its headers and its first chunk (see FirstTime). A stream is waited for until
    // its bytes come, the writer of a FIFO too; `stopRequested` (may be null) ends the wait
    // (then and in Next) within a fraction of a second. False, with one message naming the
    // path in *error, when the file is missing or unreadable, a directory or a character
    // device (a terminal too: the message says which), empty, neither pcap nor pcapng, of
    // another link type, when its gzip data fails before the headers, or when a stop was
    // asked for (the caller tells that by its flag).
    bool Open(const std::string& path, std::string* error,
              const volatile std::sig_atomic_t* stopRequested = nullptr);

    // The next chunk. After End, Damaged or Stopped every further call returns the same.
    TStatus Next();

    // The time of the capture's first chunk, known from Open on (the chunk is read ahead and
    // kept for Next); none when the capture has no chunk, or its first is damaged.
    const std::optional<TCaptureTime>& FirstTime() const { return First; }
    // Ends a wait for a stream's bytes (Next returns Stopped) within a fraction of a second.
    // May be called from any thread; nothing to do for a regular file, which never waits.
    void Cancel();

    const uint8_t* Data() const { return ChunkData; }
    uint32_t Size() const { return ChunkSize; }
    // The chunk's length when it was read; larger than Size() when the capture cut it to
    // its snapshot length.
    uint32_t OriginalSize() const { return ChunkOriginalSize; }
    TCaptureTime Time() const { return ChunkTime; }

    // Bytes of the file taken up by the header and the complete packets read so far: the
    // offset of the next packet (in pcapng: of the next block). Of the decompressed data for
    // a gzip capture.
    uint64_t Offset() const { return FileOffset; }
    bool IsPcapng() const { return Pcapng; }
    // The capture's bytes as stored (compressed ones for gzip): a regular file's size; for a
    // pipe, a FIFO or standard input from one, the bytes read from it so far (all of them once
    // Next has returned End).
    uint64_t FileSize() const;
    // True when FileSize is known from the start (a regular file), so that progress can be
    // shown against it.
    bool SizeKnown() const;
    // Bytes of the capture as stored read so far (for a regular plain file, Offset()):
    // progress against FileSize.
    uint64_t StoredOffset() const;
    // A pipe, a FIFO, or standard input from one; and a gzip capture.
    bool IsStream() const;
    bool IsCompressed() const;
    uint64_t ChunkCount() const { return Chunks; }
    // After Damaged: what is wrong and at which byte offset.
    const std::string& DamageMessage() const { return Damage; }

private:
    struct TPcap;
    // Reads the next packet from libpcap into Ahead.
    void ReadAhead();
    bool OpenFile(std::string* error);
    bool OpenStream(const volatile std::sig_atomic_t* stopRequested, std::string* error);
    bool OpenPcap(std::string* error);
    std::string DamageAt(const std::string& what) const;

    // A packet read from libpcap before Next hands it out.
    struct TAhead {
        int Result = 0;  // pcap_next_ex's
        const void* Header = nullptr;
        const uint8_t* Data = nullptr;
        uint64_t EndOffset = 0;
    };

    std::unique_ptr<TInputStream> Stream;  // a capture not read by libpcap from its file
    std::unique_ptr<TPcap> Handle;         // after Stream: its reads use Stream
    std::string Path;
    std::string Name;  // Path, or "- (standard input)"
    std::array<char, 4> Magic = {};
    TAhead Ahead;
    bool HaveAhead = false;
    uint64_t ReadOffset = 0;  // the offset after the packets libpcap has read
    std::optional<TCaptureTime> First;
    const uint8_t* ChunkData = nullptr;
    uint32_t ChunkSize = 0;
    uint32_t ChunkOriginalSize = 0;
    TCaptureTime ChunkTime;
    uint64_t FileOffset = 0;
    uint64_t TotalSize = 0;
    uint64_t Chunks = 0;
    bool Pcapng = false;
    bool PlainPcap = false;  // classic pcap with 16-byte packet headers
    uint32_t Snapshot = 0;   // the file's snapshot length, as libpcap applies it
    TStatus Finished = TStatus::Chunk;
    std::string Damage;
};

// How a capture reaches a regular file.
enum class TCaptureMode {
    // Nothing appears at the path until Commit succeeds (a replay's or a generated capture,
    // which can be made again).
    Atomic,
    // A live capture, which cannot: the file appears at Open under its own name, holding the
    // file header, and never over an existing file (Open fails); every chunk reaches it by a
    // write(2) of its own before Write returns, so a killed process leaves every chunk written,
    // a capture whose tail at most is damaged. Sync makes the chunks durable (fdatasync). A
    // capture destroyed without Commit is removed if it got no chunk, kept otherwise.
    Growing,
};

// Writes a capture to an output (see TOutputFile): a regular file as `mode` says, "-", a
// device or a FIFO straight (in Growing mode each chunk is pushed to it at once, so that a
// reader such as Wireshark on a FIFO sees it as it is read).
class TCaptureWriter {
public:
    TCaptureWriter();
    ~TCaptureWriter();
    TCaptureWriter(const TCaptureWriter&) = delete;
    TCaptureWriter& operator=(const TCaptureWriter&) = delete;

    bool Open(const std::string& path, std::string* error,
              TCaptureMode mode = TCaptureMode::Atomic);
    // Appends one chunk (1..kMaxChunkBytes bytes).
    bool Write(TCaptureTime time, const void* data, uint32_t size, std::string* error);
    // Pushes what libpcap buffers to the file or the target (nothing to do for a Growing
    // file). False on a write error.
    bool Flush(std::string* error);
    // Flush, and for a Growing file fdatasync: the chunks so far survive a power loss.
    bool Sync(std::string* error);
    bool Commit(std::string* error);
    // Bytes written so far, headers included.
    uint64_t BytesWritten() const { return Bytes; }

private:
    struct TDumper;
    bool WriteGrowing(TCaptureTime time, const void* data, uint32_t size, std::string* error);

    std::unique_ptr<TDumper> Dumper;
    TOutputFile File;
    TGrowingFile Growing;   // a Growing capture on a regular file
    bool Straight = false;  // a Growing capture written straight: every chunk pushed at once
    uint64_t Bytes = 0;
    uint64_t Chunks = 0;
};

}  // namespace n95::host
