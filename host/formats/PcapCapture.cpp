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
#include "host/common/InputStream.h"
#include "host/formats/CaptureOpen.h"
#include "host/formats/PcapStream.h"

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

// libpcap hands over nanoseconds whatever the file's resolution (pcapng: each interface's
// if_tsresol). The seconds field of a pcap file is unsigned 32-bit on the wire whatever the
// byte order (libpcap reads little-endian files as signed), so times after 2038 read back
// unchanged. A pcapng time is 64-bit: see TimeFault.
TCaptureTime TimeOf(const pcap_pkthdr* header, bool pcapng) {
    const int64_t seconds = header->ts.tv_sec;
    return {pcapng ? seconds : static_cast<int64_t>(static_cast<uint32_t>(seconds)),
            static_cast<uint32_t>(header->ts.tv_usec)};  // nanoseconds here
}

// What is wrong with a chunk's time, or null: one outside the capture clock's range (1970 ..
// 2106, as a pcap file holds it) is damage.
const char* TimeFault(const TCaptureTime& time) {
    if (time.Nanoseconds > 999999999u)
        return "time stamp fraction out of range";
    if (time.Seconds < 0 || time.Seconds > 0xFFFFFFFFLL)
        return "time stamp out of range (before 1970 or after 2106)";
    return nullptr;
}

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

bool TCaptureReader::Open(const std::string& path, std::string* error,
                          const volatile std::sig_atomic_t* stopRequested) {
    Path = path;
    Name = path == "-" ? "- (standard input)" : path;
    Handle.reset();
    Stream.reset();
    HaveAhead = false;
    First.reset();
    if (path != "-") {
        struct stat info;
        if (stat(path.c_str(), &info) != 0) {
            *error = SystemError("cannot open capture " + path, errno);
            return false;
        }
        // A pipe or FIFO is streamed. A character device (/dev/zero, a handset's port) never
        // ends: a handset is read live (n95host live --device). Refused with the reason
        // rather than read for ever or taken for empty.
        if (!S_ISREG(info.st_mode) && !S_ISFIFO(info.st_mode)) {
            const char* what = S_ISDIR(info.st_mode) ? "is a directory"
                               : S_ISCHR(info.st_mode)
                                   ? "is a character device, which never ends (a handset is "
                                     "read by n95host live --device)"
                                   : "is not a regular file, a pipe or a FIFO";
            *error = "cannot open capture " + path + ": " + what;
            return false;
        }
        if (S_ISREG(info.st_mode)) {
            if (info.st_size == 0) {
                *error = "capture " + path + " is empty (0 bytes): not a pcap file";
                return false;
            }
            TotalSize = static_cast<uint64_t>(info.st_size);
            // A plain file is read by libpcap itself; a gzip file goes the stream's way.
            if (OpenFile(error))
                return true;
            if (!error->empty())
                return false;
        }
    }
    return OpenStream(stopRequested, error);
}

// A regular file whose first bytes are not gzip's. False with an empty *error when they are.
bool TCaptureReader::OpenFile(std::string* error) {
    error->clear();
    // The stream is opened here rather than by libpcap so that it gets a large buffer before
    // its first read: libpcap reads each packet with two freads, and with stdio's default
    // 4 KiB buffer a replay spent a twentieth of its time in read(2). libpcap closes the
    // stream with the handle (OpenCaptureReader takes it over).
    FILE* stream = std::fopen(Path.c_str(), "rb");
    if (stream == nullptr) {
        *error = SystemError("cannot open capture " + Path, errno);
        return false;
    }
    std::setvbuf(stream, nullptr, _IOFBF, kReadBufferBytes);
    // The magic says which form the file has; libpcap then reads it from the start.
    Magic = {};
    if (std::fread(Magic.data(), 1, Magic.size(), stream) != Magic.size())
        Magic = {};
    if (Magic[0] == '\x1F' && Magic[1] == '\x8B') {
        std::fclose(stream);
        return false;
    }
    std::rewind(stream);
    char errbuf[PCAP_ERRBUF_SIZE] = "";
    auto handle = std::make_unique<TPcap>();
    handle->Pcap = OpenCaptureReader(stream, Path, errbuf);  // takes the stream over
    if (handle->Pcap == nullptr) {
        // libpcap's words for a readable file it does not recognise.
        const std::string message = errbuf;
        if (message.find("unknown file format") != std::string::npos ||
            message.find("truncated dump file") != std::string::npos)
            *error = "capture " + Path + " is not a pcap file (nor pcapng: " + message + ")";
        else
            *error = "cannot open capture " + Path + ": " + message;
        return false;
    }
    Handle = std::move(handle);
    return OpenPcap(error);
}

// Standard input, a pipe, a FIFO or a gzip file: read through the input stream, once.
bool TCaptureReader::OpenStream(const volatile std::sig_atomic_t* stopRequested,
                                std::string* error) {
    auto input = std::make_unique<TInputStream>();
    if (!input->Open(Path, true, stopRequested)) {
        *error = SystemError("cannot open capture " + Name, errno);
        return false;
    }
    if (input->Kind() == TFileKind::Directory || input->Kind() == TFileKind::CharDevice ||
        input->Kind() == TFileKind::BlockDevice) {
        *error = "cannot open capture " + Name +
                 (input->Kind() == TFileKind::Directory
                      ? ": is a directory"
                      : ": is a terminal or a device, which never ends (a handset is read by "
                        "n95host live --device; a capture comes from a file or a pipe)");
        return false;
    }
    std::string head;
    switch (input->Peek(Magic.size(), head)) {
        case TInputStream::TResult::Bytes:
            break;
        case TInputStream::TResult::End:
            *error = "capture " + Name + " is empty (0 bytes" +
                     (input->IsCompressed() ? " once decompressed" : "") + "): not a pcap file";
            return false;
        case TInputStream::TResult::Stopped:
            *error = "interrupted while reading capture " + Name;
            return false;
        case TInputStream::TResult::Failed:
            *error = "cannot read capture " + Name + ": " + input->Failure();
            return false;
    }
    Magic = {};
    std::copy(head.begin(), head.end(), Magic.begin());
    char errbuf[PCAP_ERRBUF_SIZE] = "";
    auto handle = std::make_unique<TPcap>();
    handle->Pcap = OpenPcapStream(*input, errbuf);
    if (handle->Pcap == nullptr) {
        const std::string message = errbuf;
        if (input->Stopped())
            *error = "interrupted while reading capture " + Name;
        else if (!input->Failure().empty())
            *error = "cannot read capture " + Name + ": " + input->Failure();
        else if (message.find("unknown file format") != std::string::npos ||
                 message.find("truncated dump file") != std::string::npos)
            *error = "capture " + Name + " is not a pcap file (nor pcapng: " + message + ")";
        else
            *error = "cannot open capture " + Name + ": " + message;
        return false;
    }
    Stream = std::move(input);
    Handle = std::move(handle);
    return OpenPcap(error);
}

// The link type and the form of the capture libpcap has opened, and its first packet.
bool TCaptureReader::OpenPcap(std::string* error) {
    const int linkType = pcap_datalink(Handle->Pcap);
    if (linkType != kCaptureLinkType) {
        const char* name = pcap_datalink_val_to_name(linkType);
        *error = "capture " + Name + " has link type " + std::to_string(linkType) +
                 (name != nullptr ? std::string(" (") + name + ")" : std::string()) + ", not " +
                 std::to_string(kCaptureLinkType) +
                 " (LINKTYPE_USER0): it is not a handset port capture";
        Handle.reset();
        Stream.reset();
        return false;
    }
    Pcapng = std::memcmp(Magic.data(), kPcapngMagic, Magic.size()) == 0;
    PlainPcap = std::any_of(std::begin(kPcapMagics), std::end(kPcapMagics), [&](const char* m) {
        return std::memcmp(Magic.data(), m, Magic.size()) == 0;
    });
    Snapshot = static_cast<uint32_t>(std::max(pcap_snapshot(Handle->Pcap), 0));
    // libpcap has read the headers (a pcapng file's first blocks, of no fixed size).
    const long at = std::ftell(pcap_file(Handle->Pcap));
    FileOffset = at > 0 ? static_cast<uint64_t>(at) : kPcapFileHeaderBytes;
    ReadOffset = FileOffset;
    Chunks = 0;
    Damage.clear();
    Finished = TStatus::Chunk;
    // The first chunk is read now, so that its time is known before the replay (it dates a
    // track of GGA sentences) without opening the capture twice, which a stream cannot be.
    ReadAhead();
    if (Ahead.Result == 1) {
        const auto* header = static_cast<const pcap_pkthdr*>(Ahead.Header);
        const TCaptureTime time = TimeOf(header, Pcapng);
        if (TimeFault(time) == nullptr)
            First = time;
    }
    return true;
}

void TCaptureReader::ReadAhead() {
    pcap_pkthdr* header = nullptr;
    const u_char* data = nullptr;
    Ahead.Result = pcap_next_ex(Handle->Pcap, &header, &data);
    Ahead.Header = header;
    Ahead.Data = data;
    HaveAhead = true;
    if (Ahead.Result != 1)
        return;
    // A pcap packet is its 16-byte header and its data, so its end is known without asking
    // the stream (ftell costs an lseek(2) per chunk). Not so for a packet libpcap cut to the
    // snapshot length (it skipped the rest), a pcapng block (padding, options, blocks that
    // are not packets) or a rarer pcap variant: there the stream is asked.
    if (PlainPcap && header->caplen < Snapshot) {
        ReadOffset += kPcapPacketHeaderBytes + header->caplen;
    } else {
        const long at = std::ftell(pcap_file(Handle->Pcap));
        ReadOffset = at > 0 ? static_cast<uint64_t>(at)
                            : ReadOffset + kPcapPacketHeaderBytes + header->caplen;
    }
    Ahead.EndOffset = ReadOffset;
}

std::string TCaptureReader::DamageAt(const std::string& what) const {
    return "capture " + Name + " is damaged at byte offset " + std::to_string(FileOffset) +
           (IsCompressed() ? " of its decompressed data" : "") + " (packet " +
           std::to_string(Chunks + 1) + "): " + what;
}

TCaptureReader::TStatus TCaptureReader::Next() {
    if (Handle == nullptr)
        return TStatus::End;  // never opened: nothing to read
    if (Finished != TStatus::Chunk)
        return Finished;
    if (!HaveAhead)
        ReadAhead();
    HaveAhead = false;
    if (Ahead.Result == 1) {
        const auto* header = static_cast<const pcap_pkthdr*>(Ahead.Header);
        ChunkData = Ahead.Data;
        ChunkSize = header->caplen;
        ChunkOriginalSize = header->len;
        ChunkTime = TimeOf(header, Pcapng);
        if (const char* wrong = TimeFault(ChunkTime)) {
            ChunkData = nullptr;
            ChunkSize = ChunkOriginalSize = 0;
            Finished = TStatus::Damaged;
            Damage = DamageAt(wrong);
            return Finished;
        }
        FileOffset = Ahead.EndOffset;
        ++Chunks;
        return TStatus::Chunk;
    }
    ChunkData = nullptr;
    ChunkSize = ChunkOriginalSize = 0;
    if (Ahead.Result == PCAP_ERROR_BREAK) {
        Finished = TStatus::End;
        return Finished;
    }
    // A failed read of the stream: its own words say why, or a stop was asked for.
    if (Stream != nullptr && Stream->Failure().empty() && Stream->Stopped()) {
        Finished = TStatus::Stopped;
        return Finished;
    }
    Finished = TStatus::Damaged;
    Damage = DamageAt(Stream != nullptr && !Stream->Failure().empty()
                          ? Stream->Failure()
                          : std::string(pcap_geterr(Handle->Pcap)));
    return Finished;
}

void TCaptureReader::Cancel() {
    if (Stream != nullptr)
        Stream->Cancel();
}

uint64_t TCaptureReader::FileSize() const {
    if (Stream == nullptr)
        return TotalSize;
    return Stream->IsStream() ? Stream->StoredBytesRead() : Stream->StoredSize();
}

bool TCaptureReader::SizeKnown() const {
    return Stream == nullptr || !Stream->IsStream();
}

uint64_t TCaptureReader::StoredOffset() const {
    return Stream == nullptr ? FileOffset : Stream->StoredBytesRead();
}

bool TCaptureReader::IsStream() const {
    return Stream != nullptr && Stream->IsStream();
}

bool TCaptureReader::IsCompressed() const {
    return Stream != nullptr && Stream->IsCompressed();
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
