#include "trace/MessageClass.h"

namespace n95 {

namespace {

// The rule of each g (bits 8..11): add Base to the code's bits under Mask. The codes a group
// leaves alone have Base 0 and every bit in Mask. A table rather than a switch: the decoder
// normalises every decoded frame, and the switch's indirect jump mispredicted on a mixed
// trace.
struct TGroupRule {
    uint32_t Base;
    uint32_t Mask;
};
constexpr TGroupRule kKeep = {0, 0xFFFFFFFFu};
constexpr TGroupRule kGroupRules[16] = {
    {0x52260000u, 0xFFFu},
    {0x52260000u, 0xFFFu},
    kKeep,  // 0, 1, 2
    {0x713A0000u, 0xF3Fu},
    kKeep,  // 3, 4
    {0x713A0000u, 0xF3Fu},
    {0x512F0000u, 0xF7Fu},
    kKeep,  // 5, 6, 7
    {0x713A0000u, 0xF3Fu},
    {0x713A0000u, 0xFFFu},  // 8, 9
    {0x713A0000u, 0xF7Fu},
    kKeep,
    kKeep,
    kKeep,
    kKeep,
    kKeep,
};

}  // namespace

uint32_t NormaliseMessageCode(uint32_t code) {
    if ((code & 0xFFFFu) == 0 || (code >> 16) == 0x412Fu)
        return code;
    const TGroupRule& rule = kGroupRules[(code >> 8) & 0xFu];
    return rule.Base + (code & rule.Mask);
}

namespace {

constexpr TMessageClassEntry kClasses[] = {
    {0x412F0112u, 0}, {0x412F0310u, 0}, {0x412F0401u, 0}, {0x512F060Du, 0}, {0x512F0619u, 0},
    {0x512F061Au, 0}, {0x512F061Bu, 0}, {0x512F061Cu, 0}, {0x713A032Au, 0}, {0x713A0301u, 1},
    {0x713A0307u, 2}, {0x713A030Fu, 2}, {0x713A032Du, 3},
};

// MessageClassOf runs for every decoded frame (in the plug-in and again in the host), so the
// table is also laid out as a perfect hash of 32 slots: one load and one compare per lookup.
// The slot function was chosen so that the table's codes all land in different slots, which
// the build checks. An empty slot holds code 0 with no class; code 0 itself has no class.
constexpr unsigned kClassSlots = 32;

constexpr unsigned ClassSlotOf(uint32_t code) {
    return (code ^ (code >> 5)) & (kClassSlots - 1);
}

struct TClassSlots {
    TMessageClassEntry Slots[kClassSlots] = {};
    bool Distinct = true;  // no two codes share a slot, and none is 0
};

constexpr TClassSlots MakeClassSlots() {
    TClassSlots table;
    for (TMessageClassEntry& slot : table.Slots)
        slot = {0, -1};
    for (const TMessageClassEntry& entry : kClasses) {
        TMessageClassEntry& slot = table.Slots[ClassSlotOf(entry.Code)];
        if (slot.Code != 0 || entry.Code == 0)
            table.Distinct = false;
        slot = entry;
    }
    return table;
}

constexpr TClassSlots kClassBySlot = MakeClassSlots();
static_assert(kClassBySlot.Distinct,
              "two classified codes share a slot: choose another slot function");

}  // namespace

int MessageClassOf(uint32_t normalisedCode) {
    const TMessageClassEntry& slot = kClassBySlot.Slots[ClassSlotOf(normalisedCode)];
    // Without a branch, which a mixed trace mispredicts: all ones on a hit, zero otherwise;
    // a miss gives Class | -1, that is -1.
    const int hit = -static_cast<int>(slot.Code == normalisedCode);
    return slot.Class | ~hit;
}

std::span<const TMessageClassEntry> MessageClassTable() {
    return kClasses;
}

}  // namespace n95
