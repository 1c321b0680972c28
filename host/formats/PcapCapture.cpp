#include "host/formats/PcapCapture.h"

#include <pcap/pcap.h>
#include <sys/stat.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "host/common/Diagnostics.h"
#include "host/formats/CaptureOpen.h"

namespace n95::host {

namespace {

// A pcapng file starts with a section header block, type 0x0A0D0D0A (the same bytes in
// either byte order).
constexpr char kPcapngMagic[4] = {'\x0A', '\x0D', '\x0D', '\x0A'};

// The capture stream's buffer: a few hundred chunks per read(2).
constexpr std::size_t kReadBufferBytes = 256 * 1024;

// The magic numbers of the classic pcap formats whose packet header is 16 bytes
// (microsecond and nanosecond time stamps), as the file's first bytes in either byte order.
// The rarer variants (for example Kuznetzov's, with a 24-byte packet header) are read too,
// but their offsets are asked of the stream.
constexpr char kPcapMagics[4][4] = {
    {'\xD4', '\xC3', '\xB2', '\xA1'},
    {'\xA1', '\xB2', '\xC3', '\xD4'},
    {'\x4D', '\x3C', '\xB2', '\xA1'},
    {'\xA1', '\xB2', '\x3C', '\x4D'},
};

}  // namespace

struct TCaptureReader::TPcap {
    pcap_t* Pcap = nullptr;
    ~TPcap() {
        if (Pcap != nullptr)
            pcap_close(Pcap);
    }
};

TCaptureReader::TCaptureReader() = default;
TCaptureReader::~TCaptureReader() = default;

bool TCaptureReader::Open(const std::string& path, std::string* error) {
    Path = path;
    struct stat info;
    if (stat(path.c_str(), &info) != 0) {
        *error = SystemError("cannot open capture " + path, errno);
        return false;
    }
    // Only a regular file is read. A character device (/dev/zero, a handset's port) never
    // ends: a handset is read live (n95host live --device). A pipe or FIFO could be streamed
    // by libpcap, but the replay reads a capture more than once (its first time stamp dates
    // a GGA-only track before the replay) and shows progress against its size: a pipe would
    // give it up on the first reading. Refused with the reason rather than taken for empty.
    if (!S_ISREG(info.st_mode)) {
        const char* what = S_ISDIR(info.st_mode)    ? "is a directory"
                           : S_ISCHR(info.st_mode)  ? "is a character device, which never ends "
                                                      "(a handset is read by n95host live --device)"
                           : S_ISFIFO(info.st_mode) ? "is a pipe or FIFO: a capture is read from "
                                                      "a file (save the stream to a file first)"
                                                    : "is not a regular file";
        *error = "cannot open capture " + path + ": " + what;
        return false;
    }
    if (info.st_size == 0) {
        *error = "capture " + path + " is empty (0 bytes): not a pcap file";
        return false;
    }
    TotalSize = static_cast<uint64_t>(info.st_size);

    // The stream is opened here rather than by libpcap so that it gets a large buffer before
    // its first read: libpcap reads each packet with two freads, and with stdio's default
    // 4 KiB buffer a replay spent a twentieth of its time in read(2). libpcap closes the
    // stream with the handle (OpenCaptureReader takes it over).
    FILE* stream = std::fopen(path.c_str(), "rb");
    if (stream == nullptr) {
        *error = SystemError("cannot open capture " + path, errno);
        return false;
    }
    std::setvbuf(stream, nullptr, _IOFBF, kReadBufferBytes);
    // The magic says which form the file has; libpcap then reads it from the start.
    std::array<char, 4> magic = {};
    if (std::fread(magic.data(), 1, magic.size(), stream) != magic.size())
        magic = {};
    std::rewind(stream);
    char errbuf[PCAP_ERRBUF_SIZE] = "";
    auto handle = std::make_unique<TPcap>();
    handle->Pcap = OpenCaptureReader(stream, path, errbuf);  // takes the stream over
    if (handle->Pcap == nullptr) {
        // libpcap's words for a readable file it does not recognise.
        const std::string message = errbuf;
        if (message.find("unknown file format") != std::string::npos ||
            message.find("truncated dump file") != std::string::npos)
            *error = "capture " + path + " is not a pcap file (nor pcapng: " + message + ")";
        else
            *error = "cannot open capture " + path + ": " + message;
        return false;
    }
    const int linkType = pcap_datalink(handle->Pcap);
    if (linkType != kCaptureLinkType) {
        const char* name = pcap_datalink_val_to_name(linkType);
        *error = "capture " + path + " has link type " + std::to_string(linkType) +
                 (name != nullptr ? std::string(" (") + name + ")" : std::string()) + ", not " +
                 std::to_string(kCaptureLinkType) +
                 " (LINKTYPE_USER0): it is not a handset port capture";
        return false;
    }
    Pcapng = std::memcmp(magic.data(), kPcapngMagic, magic.size()) == 0;
    PlainPcap = std::any_of(std::begin(kPcapMagics), std::end(kPcapMagics), [&](const char* m) {
        return std::memcmp(magic.data(), m, magic.size()) == 0;
    });
    Snapshot = static_cast<uint32_t>(std::max(pcap_snapshot(handle->Pcap), 0));
    // libpcap has read the headers (a pcapng file's first blocks, of no fixed size).
    const long at = std::ftell(pcap_file(handle->Pcap));
    FileOffset = at > 0 ? static_cast<uint64_t>(at) : kPcapFileHeaderBytes;
    Handle = std::move(handle);
    Finished = TStatus::Chunk;
    return true;
}

TCaptureReader::TStatus TCaptureReader::Next() {
    if (Handle == nullptr)
        return TStatus::End;  // never opened: nothing to read
    if (Finished != TStatus::Chunk)
        return Finished;
    pcap_pkthdr* header = nullptr;
    const u_char* data = nullptr;
    const int result = pcap_next_ex(Handle->Pcap, &header, &data);
    if (result == 1) {
        ChunkData = data;
        ChunkSize = header->caplen;
        ChunkOriginalSize = header->len;
        // libpcap hands over nanoseconds whatever the file's resolution (pcapng: each
        // interface's if_tsresol). The seconds field of a pcap file is unsigned 32-bit on the
        // wire whatever the byte order (libpcap reads little-endian files as signed), so
        // times after 2038 read back unchanged. A pcapng time is 64-bit: one outside the
        // capture clock's range (1970 .. 2106, as a pcap file holds it) is damage.
        const int64_t seconds = header->ts.tv_sec;
        ChunkTime = {Pcapng ? seconds : static_cast<int64_t>(static_cast<uint32_t>(seconds)),
                     static_cast<uint32_t>(header->ts.tv_usec)};  // nanoseconds here
        const char* wrong = nullptr;
        if (ChunkTime.Nanoseconds > 999999999u)
            wrong = "time stamp fraction out of range";
        else if (ChunkTime.Seconds < 0 || ChunkTime.Seconds > 0xFFFFFFFFLL)
            wrong = "time stamp out of range (before 1970 or after 2106)";
        if (wrong != nullptr) {
            ChunkData = nullptr;
            ChunkSize = ChunkOriginalSize = 0;
            Finished = TStatus::Damaged;
            Damage = "capture " + Path + " is damaged at byte offset " +
                     std::to_string(FileOffset) + " (packet " + std::to_string(Chunks + 1) +
                     "): " + wrong;
            return Finished;
        }
        // A pcap packet is its 16-byte header and its data, so its end is known without
        // asking the stream (ftell costs an lseek(2) per chunk). Not so for a packet libpcap
        // cut to the snapshot length (it skipped the rest), a pcapng block (padding, options,
        // blocks that are not packets) or a rarer pcap variant: there the stream is asked.
        if (PlainPcap && header->caplen < Snapshot) {
            FileOffset += kPcapPacketHeaderBytes + header->caplen;
        } else {
            const long at = std::ftell(pcap_file(Handle->Pcap));
            FileOffset = at > 0 ? static_cast<uint64_t>(at)
                                : FileOffset + kPcapPacketHeaderBytes + header->caplen;
        }
        ++Chunks;
        return TStatus::Chunk;
    }
    ChunkData = nullptr;
    ChunkSize = ChunkOriginalSize = 0;
    if (result == PCAP_ERROR_BREAK) {
        Finished = TStatus::End;
        return Finished;
    }
    Finished = TStatus::Damaged;
    Damage = "capture " + Path + " is damaged at byte offset " + std::to_string(FileOffset) +
             " (packet " + std::to_string(Chunks + 1) + "): " + pcap_geterr(Handle->Pcap);
    return Finished;
}

struct TCaptureWriter::TDumper {
    pcap_t* Dead = nullptr;
    pcap_dumper_t* Dump = nullptr;
    ~TDumper() {
        if (Dump != nullptr)
            pcap_dump_close(Dump);
        if (Dead != nullptr)
            pcap_close(Dead);
    }
};

namespace {

void PutLittle32(std::string& out, uint32_t value) {
    for (int i = 0; i < 4; ++i)
        out.push_back(static_cast<char>(value >> (8 * i) & 0xFF));
}

// The pcap file header: magic (nanosecond time stamps), version 2.4, time zone 0, accuracy 0,
// snapshot length, link type; little-endian.
std::string PcapFileHeader() {
    std::string header;
    PutLittle32(header, 0xA1B23C4Du);
    header += std::string("\x02\x00\x04\x00", 4);
    PutLittle32(header, 0);
    PutLittle32(header, 0);
    PutLittle32(header, kMaxChunkBytes);
    PutLittle32(header, kCaptureLinkType);
    return header;
}

}  // namespace

TCaptureWriter::TCaptureWriter() = default;
TCaptureWriter::~TCaptureWriter() {
    // Close libpcap's stream before the atomic file removes its temporary file.
    Dumper.reset();
    if (Growing.IsOpen() && Chunks == 0)
        Growing.Remove();
}

bool TCaptureWriter::Open(const std::string& path, std::string* error, TCaptureMode mode) {
    Dumper.reset();
    Straight = false;
    if (mode == TCaptureMode::Growing) {
        TOutputTarget target;
        if (!ResolveOutputTarget(path, target, error))
            return false;
        if (target.Kind == TOutputTarget::TKind::File) {
            if (!Growing.Create(target.Path, PcapFileHeader(), error))
                return false;
            Bytes = kPcapFileHeaderBytes;
            return true;
        }
        Straight = true;
    }
    if (!File.Open(path, error))
        return false;
    auto dumper = std::make_unique<TDumper>();
    dumper->Dead = pcap_open_dead_with_tstamp_precision(kCaptureLinkType, kMaxChunkBytes,
                                                        PCAP_TSTAMP_PRECISION_NANO);
    if (dumper->Dead == nullptr) {
        *error = "cannot write capture " + path + ": libpcap refused link type 147";
        File.Discard();
        return false;
    }
    FILE* stream = File.File();
    dumper->Dump = pcap_dump_fopen(dumper->Dead, stream);
    if (dumper->Dump == nullptr) {
        *error = "cannot write capture " + path + ": " + pcap_geterr(dumper->Dead);
        File.Discard();
        return false;
    }
    File.Detach();  // libpcap closes the stream now
    Dumper = std::move(dumper);
    Bytes = kPcapFileHeaderBytes;
    return true;
}

bool TCaptureWriter::Write(TCaptureTime time, const void* data, uint32_t size, std::string* error) {
    if (Dumper == nullptr && !Growing.IsOpen()) {
        *error = "capture not open";
        return false;
    }
    if (size == 0 || size > kMaxChunkBytes) {
        *error = "chunk of " + std::to_string(size) + " bytes cannot be captured (1.." +
                 std::to_string(kMaxChunkBytes) + ")";
        return false;
    }
    if (time.Seconds < 0 || time.Seconds > 0xFFFFFFFFLL || time.Nanoseconds > 999999999u) {
        *error = "time stamp cannot be captured (seconds 0..4294967295, nanoseconds 0..999999999)";
        return false;
    }
    if (Growing.IsOpen())
        return WriteGrowing(time, data, size, error);
    pcap_pkthdr header{};
    header.ts.tv_sec = static_cast<time_t>(time.Seconds);
    header.ts.tv_usec = static_cast<suseconds_t>(time.Nanoseconds);  // nanoseconds here
    header.caplen = size;
    header.len = size;
    pcap_dump(reinterpret_cast<u_char*>(Dumper->Dump), &header, static_cast<const u_char*>(data));
    Bytes += kPcapPacketHeaderBytes + size;
    ++Chunks;
    return !Straight || Flush(error);
}

// The packet header (seconds, nanoseconds, captured and original length; little-endian) and
// the chunk in one write.
bool TCaptureWriter::WriteGrowing(TCaptureTime time, const void* data, uint32_t size,
                                  std::string* error) {
    std::string header;
    PutLittle32(header, static_cast<uint32_t>(time.Seconds));
    PutLittle32(header, time.Nanoseconds);
    PutLittle32(header, size);
    PutLittle32(header, size);
    if (!Growing.Append(header.data(), header.size(), data, size, error))
        return false;
    Bytes += kPcapPacketHeaderBytes + size;
    ++Chunks;
    return true;
}

bool TCaptureWriter::Flush(std::string* error) {
    if (Growing.IsOpen())
        return true;
    if (Dumper == nullptr) {
        *error = "capture not open";
        return false;
    }
    if (pcap_dump_flush(Dumper->Dump) != 0) {
        // The stream's own record of the failure names its cause.
        if (File.Flush(error))
            *error = "cannot write " + File.Name() + ": the capture could not be flushed";
        return false;
    }
    return true;
}

bool TCaptureWriter::Sync(std::string* error) {
    return Growing.IsOpen() ? Growing.Sync(error) : Flush(error);
}

bool TCaptureWriter::Commit(std::string* error) {
    if (Growing.IsOpen())
        return Growing.Close(error);
    if (Dumper == nullptr) {
        *error = "capture not open";
        return false;
    }
    Dumper.reset();  // flushes and closes the stream; a failed write shows in the commit
    return File.Commit(error);
}

}  // namespace n95::host
