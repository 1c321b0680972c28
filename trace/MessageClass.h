// Classification of decoded trace messages.
//
// The external decoder sets a record's MessageCode; several codes that stand for the same
// message (different layers or variants of one protocol message) are first mapped to one
// normalised code, which then selects one of four message classes. The decoder reports the
// class of the last classified message through GetMessageClass. The record keeps its own
// code; the normalised code is used for classification only.
//
// Pure functions, safe from any thread.
#pragma once

#include <cstdint>
#include <span>

namespace n95 {

// The normalised form of a message code c:
//   - c unchanged when its low 16 bits are 0 or its high 16 bits are 0x412F;
//   - otherwise, with g = bits 8..11 of c:
//       g = 0, 1     -> 0x52260000 + (c & 0xFFF)
//       g = 3, 5, 8  -> 0x713A0000 + (c & 0xF3F)   (bits 6 and 7 cleared)
//       g = 6        -> 0x512F0000 + (c & 0xF7F)   (bit 7 cleared)
//       g = 9        -> 0x713A0000 + (c & 0xFFF)
//       g = 10       -> 0x713A0000 + (c & 0xF7F)   (bit 7 cleared)
//       other g      -> c unchanged
uint32_t NormaliseMessageCode(uint32_t code);

// The class (0..3) of a normalised code, or -1 when the code has no class (the decoder then
// keeps the class it had).
int MessageClassOf(uint32_t normalisedCode);

// The class table that MessageClassOf reads: every normalised code that has a class. Exposed
// for the tools that must agree with it (the Wireshark dissector is checked against it).
struct TMessageClassEntry {
    uint32_t Code;
    int Class;
};
std::span<const TMessageClassEntry> MessageClassTable();

}  // namespace n95
