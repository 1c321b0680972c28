#include "host/formats/TraceFrame.h"

#include <algorithm>
#include <cstring>

namespace n95::host {

void AppendTraceFrame(std::string& out, const uint8_t message[3], bool longHeader,
                      const uint8_t extension[4], const uint8_t* payload, uint16_t length) {
    out.append(reinterpret_cast<const char*>(message), 3);
    if (longHeader) {
        out.push_back('\x01');
        out.append(reinterpret_cast<const char*>(extension), 4);
    } else {
        out.push_back('\x00');
    }
    out.push_back(static_cast<char>(length >> 8));
    out.push_back(static_cast<char>(length & 0xFF));
    out.append(reinterpret_cast<const char*>(payload), length);
}

namespace {

constexpr uint8_t kLongForm = 0x01;
constexpr std::size_t kLongHeader = 10;
constexpr std::size_t kShortHeader = 6;

bool IsAtReply(const uint8_t* data, std::size_t size) {
    return size == kAtReplyOkSize && std::memcmp(data, kAtReplyOk, kAtReplyOkSize) == 0;
}

}  // namespace

TChunkWalker::TChunkWalker(const uint8_t* data, std::size_t size) : Data(data), Size(size) {}

bool TChunkWalker::Next(TChunkItem& item) {
    if (Pos >= Size)
        return false;
    item = TChunkItem();
    item.Offset = Pos;
    if (Pos == 0 && IsAtReply(Data, Size)) {
        item.Kind = TChunkItem::TKind::AtReply;
        item.Size = Size;
        Pos = Size;
        return true;
    }
    const uint8_t* p = Data + Pos;
    const std::size_t left = Size - Pos;
    item.HasKey = left >= 3;
    if (item.HasKey)
        std::memcpy(item.Message, p, 3);
    item.HasForm = left >= 4;
    item.LongHeader = item.HasForm && p[3] == kLongForm;
    const std::size_t header = item.LongHeader ? kLongHeader : kShortHeader;
    if (item.LongHeader)
        std::memcpy(item.Extension, p + 4, std::min<std::size_t>(4, left - 4));
    item.HasLength = left >= header;
    if (item.HasLength)
        item.PayloadLength = static_cast<uint16_t>(p[header - 2] << 8 | p[header - 1]);
    if (item.HasLength && left - header >= item.PayloadLength) {
        item.Kind = TChunkItem::TKind::Frame;
        item.Size = header + item.PayloadLength;
    } else {
        item.Kind = TChunkItem::TKind::Tail;
        item.Size = left;
    }
    if (item.HasLength)
        item.Payload = std::string_view(reinterpret_cast<const char*>(p) + header,
                                        std::min<std::size_t>(item.PayloadLength, left - header));
    Pos += item.Size;
    return true;
}

TChunkScan ScanChunk(const uint8_t* data, std::size_t size) {
    // TChunkWalker's cut, counting only: a replay scans every chunk, so the items' details
    // are not filled in.
    TChunkScan scan;
    bool tail = false;
    scan.AtReply = IsAtReply(data, size);
    for (std::size_t pos = 0; !scan.AtReply && pos < size;) {
        const uint8_t* p = data + pos;
        const std::size_t left = size - pos;
        const std::size_t header = left >= 4 && p[3] == kLongForm ? kLongHeader : kShortHeader;
        const std::size_t length = left >= header ? (p[header - 2] << 8 | p[header - 1]) : 0;
        if (left < header || left - header < length) {
            tail = true;
            break;
        }
        ++scan.Frames;
        pos += header + length;
    }
    scan.Aligned = size > 0 && !tail && !scan.AtReply;
    if (size > 0 && size % kAtReplyOkSize == 0) {
        std::size_t at = 0;
        while (at < size && std::memcmp(data + at, kAtReplyOk, kAtReplyOkSize) == 0)
            at += kAtReplyOkSize;
        if (at == size) {
            scan.AtReplies = static_cast<uint32_t>(size / kAtReplyOkSize);
            scan.Aligned = false;
            scan.Frames = 0;
        }
    }
    return scan;
}

std::vector<std::string_view> SplitFrames(const uint8_t* data, std::size_t size) {
    std::vector<std::string_view> frames;
    TChunkWalker walker(data, size);
    TChunkItem item;
    while (walker.Next(item))
        if (item.Kind == TChunkItem::TKind::Frame)
            frames.emplace_back(reinterpret_cast<const char*>(data) + item.Offset, item.Size);
    return frames;
}

}  // namespace n95::host
