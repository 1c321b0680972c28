#include "trace/MessageClass.h"

namespace n95 {

uint32_t NormaliseMessageCode(uint32_t code) {
    if ((code & 0xFFFFu) == 0 || (code >> 16) == 0x412Fu)
        return code;
    switch ((code >> 8) & 0xFu) {
        case 0:
        case 1:
            return 0x52260000u + (code & 0xFFFu);
        case 3:
        case 5:
        case 8:
            return 0x713A0000u + (code & 0xF3Fu);
        case 6:
            return 0x512F0000u + (code & 0xF7Fu);
        case 9:
            return 0x713A0000u + (code & 0xFFFu);
        case 10:
            return 0x713A0000u + (code & 0xF7Fu);
        default:
            return code;
    }
}

namespace {

constexpr TMessageClassEntry kClasses[] = {
    {0x412F0112u, 0}, {0x412F0310u, 0}, {0x412F0401u, 0}, {0x512F060Du, 0}, {0x512F0619u, 0},
    {0x512F061Au, 0}, {0x512F061Bu, 0}, {0x512F061Cu, 0}, {0x713A032Au, 0}, {0x713A0301u, 1},
    {0x713A0307u, 2}, {0x713A030Fu, 2}, {0x713A032Du, 3},
};

}  // namespace

int MessageClassOf(uint32_t normalisedCode) {
    for (const TMessageClassEntry& entry : kClasses) {
        if (entry.Code == normalisedCode)
            return entry.Class;
    }
    return -1;
}

std::span<const TMessageClassEntry> MessageClassTable() {
    return kClasses;
}

}  // namespace n95
