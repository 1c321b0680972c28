// The trace frame parser: cuts the handset's binary trace byte stream into frames.
//
// A frame on the wire (multi-byte fields big-endian):
//   bytes 0-2  message bytes (the message key)
//   byte  3    header form: 0x01 = long header, anything else = short header
//   bytes 4-7  long header only: extension bytes, carried through unchanged
//   2 bytes    payload length L, 0..65535 (offset 8 long / 4 short)
//   L bytes    payload
// Every frame is delivered with a normalised 10-byte header (a short header gets four 0x00
// extension bytes), followed by its payload: 10 + L bytes.
//
// Every ParseBuffer call starts with a fresh frame at the chunk's first byte. A frame whose
// bytes are not all inside one chunk is never delivered; that is deliberate, the parser
// resynchronises on every chunk.
//
// Threading: none. A parser is used by one thread at a time; its handler runs synchronously
// on that thread inside ParseBuffer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/Method.h"

// The record the parser fills and hands to its handler. It is valid only during the
// handler call: the parser resets it right afterwards, so a handler that keeps the frame
// copies Frame.
struct TNokiaBrySrc {
    // The normalised header, always exactly 10 bytes; all zero after a reset.
    std::string Header;
    // On delivery: Header followed by the L payload bytes (10 + L bytes).
    std::string Frame;
    // True once the frame is complete; the handler only ever sees true.
    bool Complete;
    // L, as read from header bytes 8-9.
    uint32_t PayloadLen;
};

// The frame handler: Self is the handler's receiver, Sender the parser's owner.
using TParsedEvent = TMethod<void (*)(void* Self, void* Sender, const TNokiaBrySrc& Src)>;

class TNokiaBryParse {
public:
    // Owner is passed to the handler as its sender; the parser does not own it.
    explicit TNokiaBryParse(void* Owner);

    TNokiaBryParse(const TNokiaBryParse&) = delete;
    TNokiaBryParse& operator=(const TNokiaBryParse&) = delete;

    // Stores the handler. An unassigned handler (Code == nullptr) disables delivery: frames
    // are still assembled, then dropped.
    void SetOnParsed(TParsedEvent Handler);

    // Parses one chunk of Count bytes at Bytes and delivers every frame completed inside it,
    // in order, before returning. A chunk of exactly CR LF "OK" CR LF (the handset's reply
    // to an AT command) is not parsed. A nil Bytes or Count <= 0 parses nothing.
    // A frame of length 0 is delivered as soon as its second length byte is read; the next
    // byte starts the next frame.
    // If the handler throws, the parser is reset, the exception propagates and the rest of
    // the chunk is not parsed; the parser stays usable. The handler may call SetOnParsed
    // but must not destroy the parser.
    void ParseBuffer(const void* Bytes, int32_t Count);

    // Drops any frame being assembled and returns to the first header byte.
    void ResetParse();

private:
    // Assembly states: 0-9 = next header byte index (4-7 skipped for a short header),
    // 10 = collecting payload. Completion is transient and never stored.
    static constexpr uint8_t kPayloadState = 10;

    void Clear();
    void SizeFrame(size_t size);
    void StepHeader(uint8_t b);
    void BeginPayload();
    void Deliver();

    void* Owner;
    TNokiaBrySrc Src;
    uint8_t State;
    int32_t Remaining;  // payload bytes still expected
    TParsedEvent OnParsed;
};
