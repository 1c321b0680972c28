// The handset's trace frame on the wire, as far as a host needs it: writing frames (the
// drive generator), walking a chunk frame by frame as the plug-in's parser cuts it (the
// frames listing), and checking whether a chunk is made of whole frames (the replay's
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

// One piece of a chunk as the plug-in's parser (trace/NokiaBryParse) cuts it.
struct TChunkItem {
    enum class TKind {
        Frame,    // a whole frame: the parser delivers it
        Tail,     // the chunk's last bytes, a frame that does not end inside the chunk: dropped
        AtReply,  // the whole chunk is the AT reply "OK": not parsed
    };
    TKind Kind = TKind::Frame;
    std::size_t Offset = 0;  // of the item's first byte in the chunk
    std::size_t Size = 0;    // bytes of the chunk the item takes (a tail: up to the chunk's end)

    // The header as far as the item's bytes go: a tail may end inside it. An AT reply has
    // none of it.
    bool HasKey = false;     // message bytes 0..2 are present
    bool HasForm = false;    // the header form byte is present
    bool HasLength = false;  // the whole header is present, length included
    uint8_t Message[3] = {};
    bool LongHeader = false;
    uint8_t Extension[4] = {};  // zero for a short header, as the parser delivers it
    uint16_t PayloadLength = 0;
    // The payload bytes present in the chunk: all of them for a frame, the first ones (if
    // any) for a tail.
    std::string_view Payload;
};

// Walks a chunk with the rules of the plug-in's parser: every chunk starts with a frame at
// its first byte; a frame is whole when its header and its payload lie inside the chunk, and
// the next frame starts right after it (also after a frame with an empty payload); the first
// frame that does not fit makes the rest of the chunk a tail; a chunk of exactly the AT reply
// "OK" is one AtReply item. There is no search for a start marker: bytes that are not a
// frame are read as a frame header all the same, as the parser reads them.
//
// Keeps views into `data`, which must outlive the walker and the items.
class TChunkWalker {
public:
    TChunkWalker(const uint8_t* data, std::size_t size);
    // The next item; false at the end of the chunk (an empty chunk has no item).
    bool Next(TChunkItem& item);

private:
    const uint8_t* Data;
    std::size_t Size;
    std::size_t Pos = 0;
};

struct TChunkScan {
    uint32_t Frames = 0;   // complete frames from the start of the chunk
    bool Aligned = false;  // the chunk is exactly a sequence of complete frames
    bool AtReply = false;  // the chunk is exactly the AT reply "OK"
    // The AT replies "OK" the chunk is made of, when it is made of nothing else: 1 for
    // AtReply, more when the port delivered several replies in one read (the plug-in then
    // parses them as bytes of a frame, and they give nothing), 0 otherwise.
    uint32_t AtReplies = 0;
};

// Counts the chunk's items as TChunkWalker cuts it.
TChunkScan ScanChunk(const uint8_t* data, std::size_t size);

// The whole frames at the start of the chunk, as TChunkWalker cuts it (views into `data`).
std::vector<std::string_view> SplitFrames(const uint8_t* data, std::size_t size);

}  // namespace n95::host
