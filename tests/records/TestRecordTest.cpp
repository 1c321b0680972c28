#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <set>
#include <vector>

#include <gtest/gtest.h>

#include "records/DataAccessAPIUnit.h"

namespace {

constexpr std::size_t P = sizeof(void*);

// A heap for the record operations that knows every live block. It counts the library's
// allocations and releases, fails the N-th allocation on request, and refuses (records,
// without releasing) any release of a block it did not hand out: such a release would be a
// stray pointer freed or a double free. Test code allocates the parts of source records
// here too, so the library may release them. Blocks still live at the end fail the test.
class TTrackedHeap {
public:
    TTrackedHeap() {
        Current = this;
        prevAlloc_ = n95::SetRecordAllocHookForTesting(&AllocHook);
        prevFree_ = n95::SetRecordFreeHookForTesting(&FreeHook);
    }
    ~TTrackedHeap() {
        n95::SetRecordAllocHookForTesting(prevAlloc_);
        n95::SetRecordFreeHookForTesting(prevFree_);
        Current = nullptr;
        EXPECT_TRUE(Live.empty()) << Live.size() << " blocks leaked";
        EXPECT_EQ(ForeignFrees, 0u);
        for (void* block : Live) {
            std::free(block);
        }
    }

    // A zero-filled block of `size` bytes owned by the test (or handed to a record).
    void* Alloc(std::size_t size) {
        void* block = std::calloc(1, size);
        Live.insert(block);
        return block;
    }
    void Free(void* block) { FreeHook(block); }

    // The n-th library allocation from now (1-based) fails; 0 disables.
    void FailAt(std::size_t n) { failAt_ = n == 0 ? 0 : Allocations + n; }

    std::size_t Allocations = 0;
    std::size_t Frees = 0;
    std::size_t ForeignFrees = 0;
    std::set<void*> Live;

private:
    static void* AllocHook(std::size_t count, std::size_t size, bool zero) {
        TTrackedHeap& heap = *Current;
        EXPECT_GT(count, 0u);
        EXPECT_GT(size, 0u);
        ++heap.Allocations;
        if (heap.Allocations == heap.failAt_) {
            return nullptr;
        }
        void* block = zero ? std::calloc(count, size) : std::malloc(count * size);
        heap.Live.insert(block);
        return block;
    }
    static void FreeHook(void* block) {
        TTrackedHeap& heap = *Current;
        ++heap.Frees;
        if (heap.Live.erase(block) == 0) {
            ++heap.ForeignFrees;
            return;
        }
        std::free(block);
    }

    static TTrackedHeap* Current;
    n95::TAllocHook prevAlloc_;
    n95::TFreeHook prevFree_;
    std::size_t failAt_ = 0;
};
TTrackedHeap* TTrackedHeap::Current = nullptr;

// Reads a packed (unaligned) field by value. GoogleTest's assertions bind their operands
// to references, which must not point at unaligned fields.
template <typename T>
T Get(T value) {
    return value;
}

void* Stray(uintptr_t value) {
    return reinterpret_cast<void*>(value);
}

void Fill(void* block, std::size_t size, uint8_t seed) {
    auto* bytes = static_cast<uint8_t*>(block);
    for (std::size_t i = 0; i < size; ++i) {
        bytes[i] = static_cast<uint8_t>(seed + i * 7);
    }
}

void* FilledBlock(TTrackedHeap& heap, std::size_t size, uint8_t seed) {
    void* block = heap.Alloc(size);
    Fill(block, size, seed);
    return block;
}

void* LoadPointer(const void* body, std::size_t offset) {
    void* value;
    std::memcpy(&value, static_cast<const uint8_t*>(body) + offset, sizeof(value));
    return value;
}

void StorePointer(void* body, std::size_t offset, void* value) {
    std::memcpy(static_cast<uint8_t*>(body) + offset, &value, sizeof(value));
}

// One owned pointer of a body: where it stands and how many bytes it owns.
struct TOwnedPart {
    std::size_t Offset;
    std::size_t Size;
    bool IsList;  // a TBlobList's Items: entries carry their own data
};

// A source record with every owned part populated, and the manifest of what it owns.
struct TFullRecord {
    TTestRecord* Rec;
    std::vector<TOwnedPart> Parts;
    std::size_t CopyAllocations;  // what a deep copy must allocate
};

constexpr uint8_t kListCount = 3;
constexpr uint16_t kEntryLens[kListCount] = {5, 0, 300};  // the 0-length entry has stray Data
constexpr uint8_t kPlain50[4] = {0xDE, 0xAD, 0xBE, 0xEF};

TBlobList FullList(TTrackedHeap& heap, uint8_t seed) {
    auto* items = static_cast<TBlobEntry*>(heap.Alloc(kListCount * sizeof(TBlobEntry)));
    for (unsigned i = 0; i < kListCount; ++i) {
        Fill(items[i].Tag, sizeof(items[i].Tag), static_cast<uint8_t>(seed + i));
        items[i].Len = kEntryLens[i];
        items[i].Data = kEntryLens[i] > 0
                            ? static_cast<uint8_t*>(
                                  FilledBlock(heap, kEntryLens[i], static_cast<uint8_t>(seed * i)))
                            : static_cast<uint8_t*>(Stray(0x5170));
    }
    return TBlobList{kListCount, items};
}

template <typename TBody>
void PopulateBlobListDual(TTrackedHeap& heap, TBody* b, std::vector<TOwnedPart>& parts) {
    b->BlobLen = 37;
    b->Blob = static_cast<uint8_t*>(FilledBlock(heap, 37, 0x31));
    b->List = FullList(heap, 0x40);
    b->Dual = TDualList{4, static_cast<uint8_t*>(FilledBlock(heap, 4, 0x51)),
                        FilledBlock(heap, 4 * 12, 0x52)};
    parts.push_back({offsetof(TBody, Blob), 37, false});
    parts.push_back({offsetof(TBody, List) + offsetof(TBlobList, Items),
                     kListCount * sizeof(TBlobEntry), true});
    parts.push_back({offsetof(TBody, Dual) + offsetof(TDualList, Bytes), 4, false});
    parts.push_back({offsetof(TBody, Dual) + offsetof(TDualList, Items), 4 * 12, false});
}

template <typename TBody>
void PopulateEntries(TTrackedHeap& heap, TBody* b, std::vector<TOwnedPart>& parts) {
    b->EntryCount = 3;
    b->Entries = FilledBlock(heap, 3 * 24, 0x21);
    parts.push_back({offsetof(TBody, Entries), 3 * 24, false});
}

// Every flag bit set, also those a kind ignores; kind 3's bit 4 holds plain data.
template <typename TBody>
void PopulateBlocks(TTrackedHeap& heap, uint8_t kind, TBody* b, std::vector<TOwnedPart>& parts) {
    b->BlockFlags = 0xFFFF;
    for (unsigned bit = 0; bit < MaxBlockBits; ++bit) {
        const std::size_t offset = n95::BlockPointerOffset(kind, bit);
        if (offset == 0) {
            continue;
        }
        const std::size_t size = BlockSizeTable[kind][bit];
        StorePointer(b, offset, FilledBlock(heap, size, static_cast<uint8_t>(0x60 + bit)));
        parts.push_back({offset, size, false});
    }
}

TFullRecord MakeFullRecord(TTrackedHeap& heap, uint8_t kind, uint32_t extraBits = 0) {
    TFullRecord full{};
    full.Rec = static_cast<TTestRecord*>(FilledBlock(heap, sizeof(TTestRecord), 0x11));
    full.Rec->KindWord =
        (static_cast<uint32_t>(kind) << KindWordKindShift) | 0x0123456u | extraBits;
    const std::size_t bodySize = n95::TestBodySize(kind);
    void* body = FilledBlock(heap, bodySize, 0x80);
    full.Rec->Body = body;
    switch (kind) {
        case 0:
            PopulateBlobListDual(heap, static_cast<TTestBody0*>(body), full.Parts);
            PopulateBlocks(heap, kind, static_cast<TTestBody0*>(body), full.Parts);
            break;
        case 1:
            PopulateEntries(heap, static_cast<TTestBody1*>(body), full.Parts);
            PopulateBlobListDual(heap, static_cast<TTestBody1*>(body), full.Parts);
            PopulateBlocks(heap, kind, static_cast<TTestBody1*>(body), full.Parts);
            break;
        case 2:
            PopulateEntries(heap, static_cast<TTestBody2*>(body), full.Parts);
            PopulateBlobListDual(heap, static_cast<TTestBody2*>(body), full.Parts);
            PopulateBlocks(heap, kind, static_cast<TTestBody2*>(body), full.Parts);
            break;
        case 3:
            PopulateEntries(heap, static_cast<TTestBody3*>(body), full.Parts);
            PopulateBlobListDual(heap, static_cast<TTestBody3*>(body), full.Parts);
            PopulateBlocks(heap, kind, static_cast<TTestBody3*>(body), full.Parts);
            std::memcpy(static_cast<TTestBody3*>(body)->Plain50, kPlain50, 4);
            break;
        case 4: {
            auto* b = static_cast<TTestBody4*>(body);
            b->List = FullList(heap, 0x44);
            full.Parts.push_back({offsetof(TTestBody4, List) + offsetof(TBlobList, Items),
                                  kListCount * sizeof(TBlobEntry), true});
            break;
        }
    }
    full.CopyAllocations = 2;  // header and body
    for (const auto& part : full.Parts) {
        full.CopyAllocations += 1;
        if (part.IsList) {
            for (uint16_t len : kEntryLens) {
                full.CopyAllocations += len > 0 ? 1 : 0;
            }
        }
    }
    return full;
}

std::vector<uint8_t> Bytes(const void* p, std::size_t n) {
    const auto* b = static_cast<const uint8_t*>(p);
    return std::vector<uint8_t>(b, b + n);
}

// Byte image with the pointers at `offsets` blanked: what must match between a source and
// its deep copy once owned pointers are set aside.
std::vector<uint8_t> Masked(const void* p, std::size_t n, const std::vector<std::size_t>& offsets) {
    std::vector<uint8_t> bytes = Bytes(p, n);
    for (std::size_t offset : offsets) {
        std::memset(bytes.data() + offset, 0, P);
    }
    return bytes;
}

// The header's bytes apart from KindWord and Body.
std::vector<uint8_t> HeaderImage(const TTestRecord* rec) {
    std::vector<uint8_t> bytes = Masked(rec, sizeof(TTestRecord), {offsetof(TTestRecord, Body)});
    std::memset(bytes.data() + offsetof(TTestRecord, KindWord), 0, sizeof(uint32_t));
    return bytes;
}

// Checks that `copy` is a deep copy of `src` as described by its manifest: equal bytes
// everywhere, fresh library-allocated blocks for every owned part.
void ExpectDeepCopy(const TTrackedHeap& heap, const TFullRecord& src, const TTestRecord* copy) {
    ASSERT_NE(copy, nullptr);
    EXPECT_EQ(Get(copy->KindWord), src.Rec->KindWord & ~KindWordBorrowed);
    EXPECT_EQ(HeaderImage(copy), HeaderImage(src.Rec));

    const uint8_t kind = n95::KindOfWord(src.Rec->KindWord);
    const std::size_t bodySize = n95::TestBodySize(kind);
    ASSERT_NE(Get(copy->Body), Get(src.Rec->Body));
    EXPECT_TRUE(heap.Live.count(Get(copy->Body)));
    std::vector<std::size_t> offsets;
    for (const auto& part : src.Parts) {
        offsets.push_back(part.Offset);
    }
    EXPECT_EQ(Masked(copy->Body, bodySize, offsets), Masked(src.Rec->Body, bodySize, offsets));

    std::set<const void*> fresh;
    for (const auto& part : src.Parts) {
        SCOPED_TRACE(part.Offset);
        const void* from = LoadPointer(src.Rec->Body, part.Offset);
        const void* to = LoadPointer(copy->Body, part.Offset);
        ASSERT_NE(to, nullptr);
        EXPECT_NE(to, from);
        EXPECT_TRUE(heap.Live.count(const_cast<void*>(to)));
        EXPECT_TRUE(fresh.insert(to).second);
        if (!part.IsList) {
            EXPECT_EQ(Bytes(to, part.Size), Bytes(from, part.Size));
            continue;
        }
        const auto* fromItems = static_cast<const TBlobEntry*>(from);
        const auto* toItems = static_cast<const TBlobEntry*>(to);
        for (unsigned i = 0; i < kListCount; ++i) {
            EXPECT_EQ(Masked(&toItems[i], sizeof(TBlobEntry), {offsetof(TBlobEntry, Data)}),
                      Masked(&fromItems[i], sizeof(TBlobEntry), {offsetof(TBlobEntry, Data)}));
            const uint16_t len = fromItems[i].Len;
            if (len == 0) {
                EXPECT_EQ(Get(toItems[i].Data), nullptr);
                continue;
            }
            EXPECT_NE(Get(toItems[i].Data), Get(fromItems[i].Data));
            EXPECT_TRUE(heap.Live.count(toItems[i].Data));
            EXPECT_EQ(Bytes(toItems[i].Data, len), Bytes(fromItems[i].Data, len));
        }
    }
}

// ---------------------------------------------------------------------------------------

TEST(TestRecordTest, LayoutFollowsPointerWidth) {
    // Packed layouts in terms of the pointer width P; with P = 4 these are the documented
    // offsets (also asserted at compile time there).
    EXPECT_EQ(sizeof(TTestRecord), 45 + P);
    EXPECT_EQ(offsetof(TTestRecord, MessageCode), 41u);
    EXPECT_EQ(offsetof(TTestRecord, Body), 45u);
    EXPECT_EQ(sizeof(TBlobEntry), 12 + P);
    EXPECT_EQ(sizeof(TBlobList), 1 + P);
    EXPECT_EQ(offsetof(TDualList, Items), 1 + P);
    EXPECT_EQ(sizeof(TDualList), 1 + 2 * P);
    EXPECT_EQ(sizeof(TCompactBody), 1 + 2 * P);

    EXPECT_EQ(offsetof(TTestBody0, List), 2 + P);
    EXPECT_EQ(offsetof(TTestBody0, Dual), 3 + 2 * P);
    EXPECT_EQ(offsetof(TTestBody0, BlockFlags), 4 + 4 * P);
    EXPECT_EQ(n95::TestBodySize(0), 6 + 9 * P);

    const std::size_t prefix[] = {
        offsetof(TTestBody1, Entries), offsetof(TTestBody2, BlobLen), offsetof(TTestBody3, Blob),
        offsetof(TTestBody1, List),    offsetof(TTestBody2, Dual),    offsetof(TTestBody3, Block0),
    };
    const std::size_t expectedPrefix[] = {8, 8 + P, 10 + P, 10 + 2 * P, 11 + 3 * P, 14 + 5 * P};
    for (std::size_t i = 0; i < std::size(prefix); ++i) {
        EXPECT_EQ(prefix[i], expectedPrefix[i]) << i;
    }
    EXPECT_EQ(offsetof(TTestBody3, Plain50), 14 + 9 * P);
    const std::size_t bodySizes[] = {6 + 9 * P, 14 + 11 * P, 14 + 14 * P, 18 + 13 * P, 21 + P};
    for (uint8_t kind = 0; kind <= MaxTestRecordKind; ++kind) {
        EXPECT_EQ(n95::TestBodySize(kind), bodySizes[kind]) << int(kind);
    }
    EXPECT_EQ(n95::TestBodySize(5), 0u);
    EXPECT_EQ(offsetof(TTestBody4, Value5), 17 + P);

    // Block pointers stand one pointer apart from the kind's first; kinds lack some bits.
    // Kind 3's bit-4 slot is four plain bytes, so its later pointers come P - 4 earlier.
    const std::size_t first[] = {offsetof(TTestBody0, Block0), offsetof(TTestBody1, Block0),
                                 offsetof(TTestBody2, Block0), offsetof(TTestBody3, Block0)};
    const unsigned bits[] = {5, 6, 9, 9};
    for (uint8_t kind = 0; kind < 4; ++kind) {
        for (unsigned bit = 0; bit < MaxBlockBits + 2; ++bit) {
            SCOPED_TRACE(testing::Message() << "kind " << int(kind) << " bit " << bit);
            const bool present = bit < bits[kind] && !(kind == 3 && bit == 4);
            const std::size_t shift = kind == 3 && bit > 4 ? P - 4 : 0;
            EXPECT_EQ(n95::BlockPointerOffset(kind, bit),
                      present ? first[kind] + P * bit - shift : 0);
        }
    }
    EXPECT_EQ(n95::BlockPointerOffset(2, 8), offsetof(TTestBody2, Block8));
    EXPECT_EQ(n95::BlockPointerOffset(3, 5), offsetof(TTestBody3, Block5));
    EXPECT_EQ(n95::BlockPointerOffset(2, 9), 0u) << "no flag bit above the last block";
    EXPECT_EQ(n95::BlockPointerOffset(0, 5), 0u);
}

TEST(TestRecordTest, BlockSizes) {
    // Rows are flag bits, columns kinds 0..3; 0 where the kind has no block.
    const uint16_t byBit[MaxBlockBits][4] = {
        {260, 92, 124, 364}, {44, 72, 24, 24}, {116, 44, 52, 52},
        {104, 164, 72, 176}, {673, 68, 72, 0}, {0, 673, 256, 256},
        {0, 0, 116, 116},    {0, 0, 104, 104}, {0, 0, 673, 673},
    };
    for (unsigned bit = 0; bit < MaxBlockBits; ++bit) {
        for (uint8_t kind = 0; kind < 4; ++kind) {
            EXPECT_EQ(BlockSizeTable[kind][bit], byBit[bit][kind]) << int(kind) << "/" << bit;
            EXPECT_EQ(BlockSizeTable[kind][bit] != 0, n95::BlockPointerOffset(kind, bit) != 0);
        }
    }
}

TEST(TestRecordTest, DefaultHeaderAndSentinels) {
    const uint8_t noValue[8] = {0x00, 0x00, 0x00, 0x00, 0x80, 0x87, 0xC3, 0xC0};
    struct {
        const TTestRecord* Rec;
        uint32_t KindWord;
        intptr_t Body;
    } cases[] = {
        {&DefaultHeader, 0, 0},
        {&SentinelNil, 0x80000000u, 0},
        {&Sentinel255, 0x80000000u, 255},
        {&SentinelNone, 0x80000000u, -9999},
    };
    for (const auto& c : cases) {
        const auto* bytes = reinterpret_cast<const uint8_t*>(c.Rec);
        EXPECT_EQ(bytes[0], 0);
        EXPECT_EQ(Get(c.Rec->KindWord), c.KindWord);
        for (std::size_t offset : {5u, 13u, 21u, 29u}) {
            EXPECT_EQ(std::memcmp(bytes + offset, noValue, 8), 0) << offset;
        }
        EXPECT_EQ(Bytes(bytes + 37, 8), std::vector<uint8_t>(8, 0));
        EXPECT_EQ(reinterpret_cast<intptr_t>(c.Rec->Body), c.Body);
        EXPECT_EQ(IsTestRecord(c.Rec), c.Rec == &DefaultHeader);
        EXPECT_FALSE(HasTestBody(c.Rec));
    }
    EXPECT_FALSE(IsTestRecord(nullptr));
    EXPECT_FALSE(HasTestBody(nullptr));
}

TEST(TestRecordTest, NewRecordDefaultsByKind) {
    TTrackedHeap heap;
    const void* defaults[] = {&DefaultBody0, &DefaultBody1, &DefaultBody2, &DefaultBody3,
                              &DefaultBody4};
    for (uint8_t kind = 0; kind <= MaxTestRecordKind; ++kind) {
        SCOPED_TRACE(int(kind));
        TTestRecord* rec = NewTestRecord(kind);
        ASSERT_NE(rec, nullptr);
        EXPECT_EQ(Get(rec->KindWord), static_cast<uint32_t>(kind) << 28);
        EXPECT_EQ(Get(rec->TestTime), -9999.0);
        EXPECT_EQ(Get(rec->PosY), -9999.0);
        EXPECT_EQ(HeaderImage(rec), HeaderImage(&DefaultHeader));
        ASSERT_TRUE(HasTestBody(rec));
        const std::size_t size = n95::TestBodySize(kind);
        EXPECT_EQ(Bytes(rec->Body, size), Bytes(defaults[kind], size));
        if (kind < 4) {
            EXPECT_EQ(Bytes(rec->Body, size), std::vector<uint8_t>(size, 0));
        }
        EXPECT_EQ(heap.Allocations, 2u);
        FreeTestRecord(rec);
        EXPECT_EQ(heap.Frees, 2u);
        heap.Allocations = heap.Frees = 0;
    }
    const auto* b4 = &DefaultBody4;
    EXPECT_EQ(b4->List.Count, 0);
    EXPECT_EQ(Get(b4->List.Items), nullptr);
    for (int32_t v : {b4->Value1, b4->Value2, b4->Value3, b4->Value4, b4->Value5}) {
        EXPECT_EQ(v, -9999);
    }
    for (uint8_t kind : {5, 7, 8, 255}) {
        EXPECT_EQ(NewTestRecord(kind), nullptr) << int(kind);
    }
    EXPECT_EQ(heap.Allocations, 0u);
}

TEST(TestRecordTest, InitOverwritesHeaderAndIgnoresBadArguments) {
    TTrackedHeap heap;
    auto* rec = static_cast<TTestRecord*>(FilledBlock(heap, sizeof(TTestRecord), 0x99));
    const std::vector<uint8_t> garbage = Bytes(rec, sizeof(TTestRecord));
    InitTestRecord(rec, 5);
    InitTestRecord(rec, 255);
    EXPECT_EQ(Bytes(rec, sizeof(TTestRecord)), garbage);
    InitTestRecord(nullptr, 2);
    EXPECT_EQ(heap.Allocations, 0u);

    // Writing into a shared sentinel would change it for every holder.
    for (const TTestRecord* sentinel : {&SentinelNil, &Sentinel255, &SentinelNone}) {
        const std::vector<uint8_t> before = Bytes(sentinel, sizeof(TTestRecord));
        InitTestRecord(const_cast<TTestRecord*>(sentinel), 2);
        EXPECT_EQ(Bytes(sentinel, sizeof(TTestRecord)), before);
    }

    InitTestRecord(rec, 3);
    EXPECT_EQ(Get(rec->KindWord), 0x30000000u);  // stale bits are gone, not OR-ed in
    EXPECT_EQ(Get(rec->MessageCode), 0u);
    EXPECT_EQ(Get(rec->StampTime), -9999.0);
    FreeTestRecord(rec);
}

TEST(TestRecordTest, FreeIgnoresNilSentinelsAndBorrowed) {
    TTrackedHeap heap;
    TFullRecord full = MakeFullRecord(heap, 2, KindWordBorrowed);
    const std::vector<uint8_t> before = Bytes(full.Rec->Body, n95::TestBodySize(2));
    const std::size_t live = heap.Live.size();
    for (TTestRecord* rec :
         {static_cast<TTestRecord*>(nullptr), const_cast<TTestRecord*>(&SentinelNil),
          const_cast<TTestRecord*>(&Sentinel255), const_cast<TTestRecord*>(&SentinelNone),
          full.Rec}) {
        FreeTestBody(rec);
        FreeTestRecord(rec);
    }
    EXPECT_EQ(heap.Frees, 0u);
    EXPECT_EQ(heap.Live.size(), live);
    EXPECT_EQ(Bytes(full.Rec->Body, n95::TestBodySize(2)), before);

    full.Rec->KindWord &= ~KindWordBorrowed;
    FreeTestRecord(full.Rec);
}

TEST(TestRecordTest, CopyOfNilAndSentinelsAndCompactIsNil) {
    TTrackedHeap heap;
    EXPECT_EQ(CopyTestRecord(nullptr), nullptr);
    EXPECT_EQ(CopyTestRecord(&SentinelNil), nullptr);
    EXPECT_EQ(CopyTestRecord(&Sentinel255), nullptr);
    EXPECT_EQ(CopyTestRecord(&SentinelNone), nullptr);
    TFullRecord full = MakeFullRecord(heap, 2);
    full.Rec->KindWord |= KindWordCompactBody;
    EXPECT_EQ(CopyTestRecord(full.Rec), nullptr);
    EXPECT_EQ(heap.Allocations, 0u);
    full.Rec->KindWord &= ~KindWordCompactBody;
    FreeTestRecord(full.Rec);
}

// Every owned part populated, in plain and Borrowed sources; both sides freed afterwards.
TEST(TestRecordTest, DeepCopyOfFullyPopulatedRecords) {
    for (uint32_t borrowed : {0u, KindWordBorrowed}) {
        for (uint8_t kind = 0; kind <= MaxTestRecordKind; ++kind) {
            SCOPED_TRACE(testing::Message() << "kind " << int(kind) << " borrowed " << borrowed);
            TTrackedHeap heap;
            TFullRecord full = MakeFullRecord(heap, kind, borrowed);
            const std::vector<uint8_t> srcHeader = Bytes(full.Rec, sizeof(TTestRecord));
            const std::vector<uint8_t> srcBody = Bytes(full.Rec->Body, n95::TestBodySize(kind));

            TTestRecord* copy = CopyTestRecord(full.Rec);
            EXPECT_EQ(heap.Allocations, full.CopyAllocations);
            ExpectDeepCopy(heap, full, copy);
            EXPECT_EQ(Bytes(full.Rec, sizeof(TTestRecord)), srcHeader);
            EXPECT_EQ(Bytes(full.Rec->Body, n95::TestBodySize(kind)), srcBody);
            if (kind == 3) {
                EXPECT_EQ(Bytes(static_cast<TTestBody3*>(copy->Body)->Plain50, 4),
                          Bytes(kPlain50, 4));
            }

            FreeTestRecord(copy);
            EXPECT_EQ(heap.Frees, full.CopyAllocations);
            full.Rec->KindWord &= ~KindWordBorrowed;
            FreeTestRecord(full.Rec);
        }
    }
}

TEST(TestRecordTest, CopyOfNilBodyGetsDefaultBody) {
    TTrackedHeap heap;
    const void* defaults[] = {&DefaultBody0, &DefaultBody1, &DefaultBody2, &DefaultBody3,
                              &DefaultBody4};
    for (uint8_t kind = 0; kind <= 7; ++kind) {
        SCOPED_TRACE(int(kind));
        TTestRecord src = DefaultHeader;
        src.KindWord = static_cast<uint32_t>(kind) << 28;
        TTestRecord* copy = CopyTestRecord(&src);
        ASSERT_NE(copy, nullptr);
        if (kind <= MaxTestRecordKind) {
            ASSERT_NE(Get(copy->Body), nullptr);
            const std::size_t size = n95::TestBodySize(kind);
            EXPECT_EQ(Bytes(copy->Body, size), Bytes(defaults[kind], size));
        } else {
            EXPECT_EQ(Get(copy->Body), nullptr);
        }
        FreeTestRecord(copy);
    }
}

// A count, length or flag of zero owns nothing: the pointer beside it is carried as it is
// and never released (the heap refuses any release of such a pointer).
TEST(TestRecordTest, ZeroCountsCarryStrayPointers) {
    for (uint8_t kind = 0; kind <= MaxTestRecordKind; ++kind) {
        for (int32_t entryCount : {0, -5}) {
            SCOPED_TRACE(testing::Message() << "kind " << int(kind) << " entries " << entryCount);
            TTrackedHeap heap;
            const std::size_t size = n95::TestBodySize(kind);
            auto* src = static_cast<TTestRecord*>(heap.Alloc(sizeof(TTestRecord)));
            *src = DefaultHeader;
            src->KindWord = static_cast<uint32_t>(kind) << 28;
            src->Body = heap.Alloc(size);
            // Every pointer-sized slot gets a distinct stray value, then the counts are
            // zeroed through the typed fields.
            for (std::size_t offset = 0; offset + P <= size; offset += P) {
                StorePointer(src->Body, offset, Stray(0x1000 + offset));
            }
            auto zeroCounts = [&](auto* b) {
                b->BlobLen = 0;
                b->List.Count = 0;
                b->Dual.Count = 0;
                b->BlockFlags = 0;
            };
            switch (kind) {
                case 0:
                    zeroCounts(static_cast<TTestBody0*>(src->Body));
                    break;
                case 1:
                    zeroCounts(static_cast<TTestBody1*>(src->Body));
                    static_cast<TTestBody1*>(src->Body)->EntryCount = entryCount;
                    break;
                case 2:
                    zeroCounts(static_cast<TTestBody2*>(src->Body));
                    static_cast<TTestBody2*>(src->Body)->EntryCount = entryCount;
                    break;
                case 3:
                    zeroCounts(static_cast<TTestBody3*>(src->Body));
                    static_cast<TTestBody3*>(src->Body)->EntryCount = entryCount;
                    break;
                case 4:
                    static_cast<TTestBody4*>(src->Body)->List.Count = 0;
                    break;
            }

            TTestRecord* copy = CopyTestRecord(src);
            ASSERT_NE(copy, nullptr);
            EXPECT_EQ(heap.Allocations, 2u);
            EXPECT_EQ(Bytes(copy->Body, size), Bytes(src->Body, size));
            FreeTestRecord(copy);
            FreeTestRecord(src);
            EXPECT_EQ(heap.Frees, 4u);
        }
    }
}

// A positive count beside a nil pointer is malformed; the copy must not read through nil and
// gets zero-filled parts that both frees handle.
TEST(TestRecordTest, CopyOfCountWithNilPointerIsZeroFilled) {
    TTrackedHeap heap;
    auto* src = static_cast<TTestRecord*>(heap.Alloc(sizeof(TTestRecord)));
    *src = DefaultHeader;
    src->KindWord = 2u << 28;
    auto* body = static_cast<TTestBody2*>(heap.Alloc(sizeof(TTestBody2)));
    body->BlobLen = 10;
    body->List.Count = 2;
    body->Dual.Count = 3;
    body->BlockFlags = 1;
    src->Body = body;

    TTestRecord* copy = CopyTestRecord(src);
    ASSERT_NE(copy, nullptr);
    const auto* b = static_cast<const TTestBody2*>(Get(copy->Body));
    EXPECT_EQ(Bytes(Get(b->Blob), 10), std::vector<uint8_t>(10, 0));
    EXPECT_EQ(Bytes(Get(b->Block0), BlockSizeTable[2][0]),
              std::vector<uint8_t>(BlockSizeTable[2][0], 0));
    EXPECT_EQ(Bytes(Get(b->List.Items), 2 * sizeof(TBlobEntry)),
              std::vector<uint8_t>(2 * sizeof(TBlobEntry), 0));
    FreeTestRecord(copy);
    FreeTestRecord(src);
}

TEST(TestRecordTest, HighKindsShareTheBody) {
    for (uint8_t kind = 5; kind <= 7; ++kind) {
        SCOPED_TRACE(int(kind));
        TTrackedHeap heap;
        auto* src = static_cast<TTestRecord*>(heap.Alloc(sizeof(TTestRecord)));
        *src = DefaultHeader;
        src->KindWord = (static_cast<uint32_t>(kind) << 28) | KindWordBorrowed;
        void* body = FilledBlock(heap, 16, 0x77);
        src->Body = body;

        TTestRecord* copy = CopyTestRecord(src);
        ASSERT_NE(copy, nullptr);
        EXPECT_EQ(heap.Allocations, 1u);
        EXPECT_EQ(Get(copy->Body), body);
        EXPECT_EQ(Get(copy->KindWord), static_cast<uint32_t>(kind) << 28);
        FreeTestRecord(copy);
        src->KindWord &= ~KindWordBorrowed;
        FreeTestBody(src);
        FreeTestRecord(src);
        EXPECT_EQ(heap.Frees, 2u);  // the two headers only
        EXPECT_TRUE(heap.Live.count(body));
        heap.Free(body);
    }
}

// A compact body is released whatever the kind bits say: its list with the entries' data,
// Extra (nil allowed) and the body itself.
TEST(TestRecordTest, FreeReleasesCompactBodyWhateverTheKind) {
    for (uint8_t kind : {0, 2, 3, 4, 6}) {
        for (bool withExtra : {true, false}) {
            SCOPED_TRACE(testing::Message() << "kind " << int(kind) << " extra " << withExtra);
            TTrackedHeap heap;
            auto* rec = static_cast<TTestRecord*>(heap.Alloc(sizeof(TTestRecord)));
            *rec = DefaultHeader;
            rec->KindWord = (static_cast<uint32_t>(kind) << 28) | KindWordCompactBody;
            auto* body = static_cast<TCompactBody*>(heap.Alloc(sizeof(TCompactBody)));
            body->List = FullList(heap, 0x12);
            body->Extra = withExtra ? FilledBlock(heap, 33, 0x34) : nullptr;
            rec->Body = body;
            const std::size_t live = heap.Live.size();
            FreeTestRecord(rec);
            EXPECT_EQ(heap.Frees, live);
        }
    }
}

TEST(TestRecordTest, FreeBodyKeepsTheHeader) {
    TTrackedHeap heap;
    TFullRecord full = MakeFullRecord(heap, 1);
    FreeTestBody(full.Rec);
    ASSERT_EQ(heap.Live.size(), 1u);
    EXPECT_TRUE(heap.Live.count(full.Rec));
    heap.Free(full.Rec);
}

// Fails each allocation of a deep copy in turn: every failure throws std::bad_alloc and
// releases all the copy had allocated; the source is untouched.
TEST(TestRecordTest, CopyFailingAtEveryAllocationLeaksNothing) {
    for (uint8_t kind = 0; kind <= MaxTestRecordKind; ++kind) {
        SCOPED_TRACE(int(kind));
        TTrackedHeap heap;
        TFullRecord full = MakeFullRecord(heap, kind);
        const std::set<void*> sourceBlocks = heap.Live;
        const std::vector<uint8_t> srcBody = Bytes(full.Rec->Body, n95::TestBodySize(kind));
        std::size_t failures = 0;
        for (std::size_t n = 1;; ++n) {
            heap.Allocations = heap.Frees = 0;
            heap.FailAt(n);
            TTestRecord* copy = nullptr;
            try {
                copy = CopyTestRecord(full.Rec);
            } catch (const std::bad_alloc&) {
                ++failures;
                EXPECT_EQ(heap.Allocations, n);
                EXPECT_EQ(heap.Frees, n - 1) << "failed at " << n;
                EXPECT_EQ(heap.Live, sourceBlocks) << "failed at " << n;
                continue;
            }
            heap.FailAt(0);
            ExpectDeepCopy(heap, full, copy);
            FreeTestRecord(copy);
            break;
        }
        EXPECT_EQ(failures, full.CopyAllocations);
        EXPECT_EQ(Bytes(full.Rec->Body, n95::TestBodySize(kind)), srcBody);
        FreeTestRecord(full.Rec);
    }
}

TEST(TestRecordTest, NewAndInitFailingLeakNothing) {
    TTrackedHeap heap;
    for (std::size_t n : {1u, 2u}) {
        heap.FailAt(n);
        EXPECT_THROW(NewTestRecord(2), std::bad_alloc) << n;
        EXPECT_TRUE(heap.Live.empty()) << n;
    }
    auto* rec = static_cast<TTestRecord*>(FilledBlock(heap, sizeof(TTestRecord), 0x42));
    heap.FailAt(1);
    EXPECT_THROW(InitTestRecord(rec, 4), std::bad_alloc);
    EXPECT_EQ(Get(rec->Body), nullptr);
    heap.FailAt(0);
    FreeTestRecord(rec);
}

}  // namespace
