#include "trace/NokiaBryParse.h"

#include <algorithm>
#include <cstddef>
#include <cstring>

namespace {

// The handset's reply to an AT command, sent as a chunk of its own.
constexpr uint8_t kOkReply[6] = {0x0D, 0x0A, 'O', 'K', 0x0D, 0x0A};
// Header byte 3 of a long header; any other value means a short header.
constexpr uint8_t kLongForm = 0x01;
constexpr size_t kHeaderSize = 10;
constexpr size_t kShortHeaderWireSize = 6;

}  // namespace

TNokiaBryParse::TNokiaBryParse(void* owner)
    : Owner(owner),
      Src{std::string(kHeaderSize, '\0'), std::string(), false, 0},
      State(0),
      Remaining(0) {}

void TNokiaBryParse::SetOnParsed(TParsedEvent handler) {
    OnParsed = handler;
}

// Inline: it runs after every delivered frame.
inline void TNokiaBryParse::Clear() {
    State = 0;
    // Header keeps its 10 bytes; zeroing them in place avoids a call per frame.
    if (Src.Header.size() == kHeaderSize) {
        std::memset(Src.Header.data(), 0, kHeaderSize);
    } else {
        Src.Header.assign(kHeaderSize, '\0');
    }
    // clear() keeps the capacity, so a run of similar frames allocates once.
    Src.Frame.clear();
    Src.Complete = false;
    Src.PayloadLen = 0;
    Remaining = 0;
}

void TNokiaBryParse::ResetParse() {
    Clear();
}

// Makes room for a whole frame at once, so appending its pieces never reallocates.
inline void TNokiaBryParse::SizeFrame(size_t size) {
    if (Src.Frame.capacity() < size) {
        Src.Frame.reserve(size);
    }
}

// One header byte, exactly as the byte-at-a-time machine takes it. Used only for the
// incomplete frame at a chunk's tail.
void TNokiaBryParse::StepHeader(uint8_t b) {
    char* header = Src.Header.data();
    switch (State) {
        case 3:
            header[3] = static_cast<char>(b);
            if (b == kLongForm) {
                State = 4;
            } else {
                std::memset(header + 4, 0, 4);
                State = 8;
            }
            break;
        case 9:
            header[9] = static_cast<char>(b);
            BeginPayload();
            break;
        default:
            header[State] = static_cast<char>(b);
            ++State;
            break;
    }
}

// The header is complete: size the frame once and put the header at its start, so the
// payload is copied straight into the delivered frame.
void TNokiaBryParse::BeginPayload() {
    const auto* header = reinterpret_cast<const uint8_t*>(Src.Header.data());
    Src.PayloadLen = (static_cast<uint32_t>(header[8]) << 8) | header[9];
    Remaining = static_cast<int32_t>(Src.PayloadLen);
    SizeFrame(kHeaderSize + Src.PayloadLen);
    Src.Frame.append(Src.Header);
    State = kPayloadState;
}

inline void TNokiaBryParse::Deliver() {
    if (OnParsed.Assigned() && Src.Complete) {
        try {
            OnParsed.Code(OnParsed.Data, Owner, Src);
        } catch (...) {
            Clear();
            throw;
        }
    }
    Clear();
}

void TNokiaBryParse::ParseBuffer(const void* bytes, int32_t count) {
    ResetParse();
    if (bytes == nullptr || count <= 0) {
        return;
    }
    const auto* p = static_cast<const uint8_t*>(bytes);
    const uint8_t* const end = p + count;
    if (count == static_cast<int32_t>(sizeof kOkReply) &&
        std::memcmp(p, kOkReply, sizeof kOkReply) == 0) {
        return;
    }

    while (p < end) {
        // The common case: a whole frame, header and payload, lies inside the chunk from p
        // on. It is taken in one step, and the delivered frame is built with one copy of the
        // payload (a long-header frame is its wire bytes unchanged). Frame is empty here (a
        // reset precedes every frame), so appending builds it; append is cheaper than assign.
        const size_t left = static_cast<size_t>(end - p);
        if (State == 0 && left >= kShortHeaderWireSize) {
            const bool isLong = p[3] == kLongForm;
            const size_t wireHeader = isLong ? kHeaderSize : kShortHeaderWireSize;
            const uint32_t length =
                left < wireHeader
                    ? 0
                    : (static_cast<uint32_t>(p[wireHeader - 2]) << 8) | p[wireHeader - 1];
            if (left >= wireHeader && left - wireHeader >= length) {
                char* header = Src.Header.data();
                const char* wire = reinterpret_cast<const char*>(p);
                if (isLong) {
                    std::memcpy(header, wire, kHeaderSize);
                    Src.Frame.append(wire, kHeaderSize + length);
                } else {
                    std::memcpy(header, wire, 4);
                    std::memset(header + 4, 0, 4);
                    header[8] = wire[4];
                    header[9] = wire[5];
                    SizeFrame(kHeaderSize + length);
                    Src.Frame.append(header, kHeaderSize);
                    Src.Frame.append(wire + kShortHeaderWireSize, length);
                }
                Src.PayloadLen = length;
                Src.Complete = true;
                p += wireHeader + length;
                Deliver();
                continue;
            }
        }
        // The chunk's tail holds at most one incomplete frame: its header goes one byte at a
        // time, exactly as the machine takes it, and whatever payload there is in one piece.
        if (State < kPayloadState) {
            StepHeader(*p++);
        }
        if (State == kPayloadState) {
            // A zero-length frame completes here without taking a byte.
            const size_t take =
                std::min(static_cast<size_t>(Remaining), static_cast<size_t>(end - p));
            Src.Frame.append(reinterpret_cast<const char*>(p), take);
            p += take;
            Remaining -= static_cast<int32_t>(take);
            if (Remaining == 0) {
                Src.Complete = true;
                Deliver();
            }
        }
    }
    // A frame still incomplete here is dropped by the next call's reset.
}
