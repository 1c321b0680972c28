#include "trace/MessageClass.h"

#include <gtest/gtest.h>

namespace n95 {
namespace {

struct TCodeCase {
    uint32_t Code;
    uint32_t Normalised;
};

TEST(MessageClassTest, NormalisationTable) {
    // Low 12 bits all set, so every row shows which bits its mask keeps.
    const TCodeCase cases[] = {
        {0xABCD00FF, 0x522600FF},
        {0xABCD01FF, 0x522601FF},  // g = 0, 1
        {0xABCD03FF, 0x713A033F},
        {0xABCD05FF, 0x713A053F},  // g = 3, 5
        {0xABCD08FF, 0x713A083F},  // g = 8
        {0xABCD06FF, 0x512F067F},  // g = 6
        {0xABCD09FF, 0x713A09FF},  // g = 9
        {0xABCD0AFF, 0x713A0A7F},  // g = 10
        {0xABCD02FF, 0xABCD02FF},
        {0xABCD04FF, 0xABCD04FF},
        {0xABCD07FF, 0xABCD07FF},
        {0xABCD0BFF, 0xABCD0BFF},
        {0xABCD0CFF, 0xABCD0CFF},
        {0xABCD0DFF, 0xABCD0DFF},
        {0xABCD0EFF, 0xABCD0EFF},
        {0xABCD0FFF, 0xABCD0FFF},
        // Bits 12-15 take part in the "low 16 bits" test but not in g or the result.
        {0x0000F3C1, 0x713A0301},
        {0xABCD1000, 0x52260000},
        // Codes left alone: low 16 bits zero, or high 16 bits 0x412F.
        {0x00030000, 0x00030000},
        {0x412F0A00, 0x412F0A00},
        {0x412F03FF, 0x412F03FF},
        {0xABCD0000, 0xABCD0000},
        // Examples of the message catalogue.
        {0x12340301, 0x713A0301},
        {0x000003C1, 0x713A0301},
        {0x0000060D, 0x512F060D},
        {0x0000068D, 0x512F060D},
        {0x00000112, 0x52260112},
    };
    for (const TCodeCase& c : cases) {
        EXPECT_EQ(NormaliseMessageCode(c.Code), c.Normalised) << std::hex << c.Code;
    }
}

TEST(MessageClassTest, ClassTable) {
    struct TCase {
        uint32_t Code;
        int Class;
    };
    const TCase cases[] = {
        {0x412F0112, 0},
        {0x412F0310, 0},
        {0x412F0401, 0},
        {0x512F060D, 0},
        {0x512F0619, 0},
        {0x512F061A, 0},
        {0x512F061B, 0},
        {0x512F061C, 0},
        {0x713A032A, 0},
        {0x713A0301, 1},
        {0x713A0307, 2},
        {0x713A030F, 2},
        {0x713A032D, 3},
        // Near misses have no class.
        {0x52260112, -1},
        {0x412F0113, -1},
        {0x713A0300, -1},
        {0x713A032E, -1},
        {0x00000000, -1},
        {0xFFFFFFFF, -1},
    };
    for (const TCase& c : cases) {
        EXPECT_EQ(MessageClassOf(c.Code), c.Class) << std::hex << c.Code;
    }
}

// The lookup is a hash of the table: it must find every listed code and nothing else, which
// a near miss in any slot would break. Swept: every low half under the prefixes that occur.
TEST(MessageClassTest, LookupAgreesWithTheTableEverywhere) {
    const auto scan = [](uint32_t code) {
        for (const TMessageClassEntry& entry : MessageClassTable()) {
            if (entry.Code == code)
                return entry.Class;
        }
        return -1;
    };
    for (const uint32_t high : {0x0000u, 0x412Fu, 0x512Fu, 0x5226u, 0x713Au, 0xFFFFu}) {
        for (uint32_t low = 0; low <= 0xFFFFu; ++low) {
            const uint32_t code = high << 16 | low;
            ASSERT_EQ(MessageClassOf(code), scan(code)) << std::hex << code;
        }
    }
}

TEST(MessageClassTest, RawCodesReachTheirClassThroughNormalisation) {
    const struct {
        uint32_t Code;
        int Class;
    } cases[] = {
        {0x12340301, 1},  {0x000003C1, 1},  {0x0000060D, 0}, {0x0000068D, 0},
        {0x00000112, -1}, {0x0000052D, -1},  // g = 5 gives 0x713A052D, not 0x713A032D
        {0x000003ED, 3},                     // bits 6 and 7 cleared: 0x713A032D
        {0x412F0112, 0},                     // kept as it is
    };
    for (const auto& c : cases) {
        EXPECT_EQ(MessageClassOf(NormaliseMessageCode(c.Code)), c.Class) << std::hex << c.Code;
    }
}

}  // namespace
}  // namespace n95
