// The handset's trace frame on the wire, as far as a host needs it: writing frames (the
// drive generator) and checking whether a chunk is made of whole frames (the replay's
// diagnosis when nothing decodes).
//
// Wire format, multi-byte fields big-endian: three message bytes; a header form byte (0x01:
// long header, four extension bytes follow; any other value: short header, none); a 16-bit
// payload length L; L payload bytes. A long frame takes 10 + L bytes, a short one 6 + L.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace n95::host {

// Appends one frame. `extension` (four bytes) is written only when longHeader is true.
void AppendTraceFrame(std::string& out, const uint8_t message[3], bool longHeader,
                      const uint8_t extension[4], const uint8_t* payload, uint16_t length);

// The AT result code as the handset sends it after a command: CR LF "OK" CR LF. A chunk of
// exactly these six bytes is skipped by the plug-in's parser.
inline constexpr char kAtReplyOk[] = "\r\nOK\r\n";
inline constexpr std::size_t kAtReplyOkSize = 6;

struct TChunkScan {
    uint32_t Frames = 0;   // complete frames from the start of the chunk
    bool Aligned = false;  // the chunk is exactly a sequence of complete frames
    bool AtReply = false;  // the chunk is exactly the AT reply "OK"
};

// Walks the chunk frame by frame from its first byte. A frame with an empty payload ends
// the walk as unaligned (the plug-in's parser swallows the byte after it).
TChunkScan ScanChunk(const uint8_t* data, std::size_t size);

// The whole frames at the start of the chunk, as ScanChunk counts them (views into `data`).
std::vector<std::string_view> SplitFrames(const uint8_t* data, std::size_t size);

}  // namespace n95::host
