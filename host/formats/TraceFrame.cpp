#include "host/formats/TraceFrame.h"

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

// The length of the whole frame at `pos`, or 0 when none starts there.
std::size_t FrameAt(const uint8_t* data, std::size_t size, std::size_t pos) {
    if (size - pos < 4)
        return 0;
    const std::size_t header = data[pos + 3] == 0x01 ? 10 : 6;
    if (size - pos < header)
        return 0;
    const std::size_t length = data[pos + header - 2] * 256u + data[pos + header - 1];
    // An empty payload is never a whole frame to the plug-in's parser: it is delivered only
    // with the byte after it, which it swallows.
    if (length == 0 || size - pos - header < length)
        return 0;
    return header + length;
}

}  // namespace

TChunkScan ScanChunk(const uint8_t* data, std::size_t size) {
    TChunkScan scan;
    if (size == kAtReplyOkSize && std::memcmp(data, kAtReplyOk, kAtReplyOkSize) == 0) {
        scan.AtReply = true;
        return scan;
    }
    std::size_t pos = 0;
    while (pos < size) {
        const std::size_t frame = FrameAt(data, size, pos);
        if (frame == 0)
            return scan;
        pos += frame;
        ++scan.Frames;
    }
    scan.Aligned = size > 0;
    return scan;
}

std::vector<std::string_view> SplitFrames(const uint8_t* data, std::size_t size) {
    std::vector<std::string_view> frames;
    if (size == kAtReplyOkSize && std::memcmp(data, kAtReplyOk, kAtReplyOkSize) == 0)
        return frames;
    std::size_t pos = 0;
    while (pos < size) {
        const std::size_t frame = FrameAt(data, size, pos);
        if (frame == 0)
            break;
        frames.emplace_back(reinterpret_cast<const char*>(data) + pos, frame);
        pos += frame;
    }
    return frames;
}

}  // namespace n95::host
