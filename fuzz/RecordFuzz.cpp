// Fuzz target: CopyTestRecord and FreeTestRecord on records built from the fuzzer's bytes,
// with every body kind and every owned part (counts and lengths kept small).
//
// Input: a shape byte (kind in bits 0-2, Borrowed bit 3, CompactBody bit 4, nil body bit 5),
// then the header's values, then the body's parts in layout order; each count, length or
// flag byte decides whether a part is owned (and gets a tracked block filled from the input)
// or is an un-owned pointer value, which is nil or a marker address that must never be
// dereferenced or released.
//
// Properties: the copy equals the source field for field (owned parts by content, in fresh
// blocks; un-owned pointers bit for bit; Borrowed cleared); a record with CompactBody gives
// no copy; the source is left untouched; freeing the copy releases exactly the blocks the
// copy allocated, and freeing the source releases the rest: nothing leaks, nothing is
// released twice.
#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "fuzz/FuzzSupport.h"

namespace n95::fuzz {
namespace {

constexpr size_t kMaxListCount = 4;
constexpr size_t kMaxDataLen = 16;
constexpr size_t kMaxDualCount = 3;
constexpr size_t kMaxEntries = 3;
constexpr size_t kMaxBlobLen = 64;

// Addresses that are never mapped at the low end of the address space; the record operations
// must carry them without touching them.
void* Marker(uint8_t low) {
    return reinterpret_cast<void*>(static_cast<uintptr_t>(0x1000u + low * 16u));
}

class TBuilder {
public:
    TBuilder(TFuzzInput& in, TTrackedRecordHeap& heap) : In(in), Heap(heap) {}

    // A tracked block of `size` bytes, filled from one input byte.
    void* Block(size_t size) {
        auto* block = static_cast<uint8_t*>(Heap.Allocate(size));
        const uint8_t seed = In.U8();
        for (size_t i = 0; i < size; ++i)
            block[i] = static_cast<uint8_t>(seed + i * 7);
        return block;
    }
    void* Unowned() {
        const uint8_t v = In.U8();
        return (v & 1) != 0 ? nullptr : Marker(v);
    }

    void List(TBlobList* list) {
        const uint8_t count = In.U8() % (kMaxListCount + 1);
        list->Count = count;
        if (count == 0) {
            list->Items = static_cast<TBlobEntry*>(Unowned());
            return;
        }
        auto* items = static_cast<TBlobEntry*>(Heap.Allocate(count * sizeof(TBlobEntry)));
        for (size_t i = 0; i < count; ++i) {
            const std::string tag = In.Bytes(sizeof(items[i].Tag));
            std::memcpy(items[i].Tag, tag.data(), tag.size());
            const uint16_t len = In.U8() % (kMaxDataLen + 1);
            items[i].Len = len;
            items[i].Data = static_cast<uint8_t*>(len > 0 ? Block(len) : Unowned());
        }
        list->Items = items;
    }

    void Dual(TDualList* dual) {
        const uint8_t count = In.U8() % (kMaxDualCount + 1);
        dual->Count = count;
        dual->Bytes = static_cast<uint8_t*>(count > 0 ? Block(count) : Unowned());
        dual->Items = count > 0 ? Block(count * 12u) : Unowned();
    }

    template <typename TBody>
    void BlobListDual(TBody* body) {
        const uint16_t blobLen = In.U8() % (kMaxBlobLen + 1);
        body->BlobLen = blobLen;
        body->Blob = static_cast<uint8_t*>(blobLen > 0 ? Block(blobLen) : Unowned());
        List(&body->List);
        Dual(&body->Dual);
    }

    void Blocks(uint8_t kind, void* body, uint16_t* flagsField) {
        const uint16_t flags = In.U16();  // bits beyond the kind's blocks included
        std::memcpy(flagsField, &flags, sizeof flags);
        for (unsigned bit = 0; bit < MaxBlockBits; ++bit) {
            const size_t offset = BlockPointerOffset(kind, bit);
            if (offset == 0)
                continue;
            void* p = (flags & (1u << bit)) != 0 ? Block(BlockSizeTable[kind][bit]) : Unowned();
            std::memcpy(static_cast<uint8_t*>(body) + offset, &p, sizeof p);
        }
    }

    template <typename TBody>
    void EntryBody(uint8_t kind, TBody* body) {
        const std::string head = In.Bytes(4);
        std::memcpy(body->BodyHead, head.data(), head.size());
        const uint8_t selector = In.U8();
        if (selector % 4 == 3) {
            body->EntryCount = -static_cast<int32_t>(selector);  // negative: owns nothing
            body->Entries = Unowned();
        } else {
            const int32_t count = static_cast<int32_t>(selector % (kMaxEntries + 1));
            body->EntryCount = count;
            body->Entries = count > 0 ? Block(static_cast<size_t>(count) * 24u) : Unowned();
        }
        BlobListDual(body);
        uint16_t flags;
        Blocks(kind, body, &flags);
        body->BlockFlags = flags;
    }

    void* Body(uint8_t kind) {
        void* body = Heap.Allocate(TestBodySize(kind));
        switch (kind) {
            case 0: {
                auto* b = static_cast<TTestBody0*>(body);
                BlobListDual(b);
                uint16_t flags;
                Blocks(0, b, &flags);
                b->BlockFlags = flags;
                break;
            }
            case 1:
                EntryBody(1, static_cast<TTestBody1*>(body));
                break;
            case 2:
                EntryBody(2, static_cast<TTestBody2*>(body));
                break;
            case 3: {
                auto* b = static_cast<TTestBody3*>(body);
                EntryBody(3, b);
                const std::string plain = In.Bytes(4);
                std::memcpy(b->Plain50, plain.data(), plain.size());
                break;
            }
            case 4: {
                auto* b = static_cast<TTestBody4*>(body);
                List(&b->List);
                b->Value1 = static_cast<int32_t>(In.U32());
                b->Value2 = static_cast<int32_t>(In.U32());
                b->Value3 = static_cast<int32_t>(In.U32());
                b->Value4 = static_cast<int32_t>(In.U32());
                b->Value5 = static_cast<int32_t>(In.U32());
                break;
            }
        }
        return body;
    }

    void* CompactBody() {
        auto* body = static_cast<TCompactBody*>(Heap.Allocate(sizeof(TCompactBody)));
        List(&body->List);
        body->Extra = (In.U8() & 1) != 0 ? Block(1 + In.U8()) : nullptr;  // always owned
        return body;
    }

private:
    TFuzzInput& In;
    TTrackedRecordHeap& Heap;
};

// Compares a copy with its source, part by part; every owned part of the copy must be a
// fresh block (allocated by the copy, used once).
class TComparer {
public:
    TComparer(const std::set<void*>& sourceBlocks, const TTrackedRecordHeap& heap)
        : SourceBlocks(sourceBlocks), Heap(heap) {}

    void Fresh(const void* copy, const void* src, size_t size) {
        N95_FUZZ_CHECK(copy != nullptr && copy != src);
        N95_FUZZ_CHECK(Heap.Live.count(const_cast<void*>(copy)) == 1);
        N95_FUZZ_CHECK(SourceBlocks.count(const_cast<void*>(copy)) == 0);
        N95_FUZZ_CHECK(CopyBlocks.insert(copy).second);
        N95_FUZZ_CHECK(std::memcmp(copy, src, size) == 0);
    }

    void List(const TBlobList& src, const TBlobList& copy) {
        N95_FUZZ_CHECK(copy.Count == src.Count);
        if (src.Count == 0) {
            N95_FUZZ_CHECK(copy.Items == src.Items);
            return;
        }
        N95_FUZZ_CHECK(copy.Items != nullptr && copy.Items != src.Items);
        N95_FUZZ_CHECK(CopyBlocks.insert(copy.Items).second);
        N95_FUZZ_CHECK(Heap.Live.count(copy.Items) == 1 && SourceBlocks.count(copy.Items) == 0);
        for (size_t i = 0; i < src.Count; ++i) {
            const TBlobEntry& s = src.Items[i];
            const TBlobEntry& c = copy.Items[i];
            N95_FUZZ_CHECK(std::memcmp(c.Tag, s.Tag, sizeof s.Tag) == 0);
            N95_FUZZ_CHECK(c.Len == s.Len);
            if (s.Len > 0) {
                Fresh(c.Data, s.Data, s.Len);
            } else {
                N95_FUZZ_CHECK(c.Data == nullptr);  // an empty entry gets no allocation
            }
        }
    }

    void Dual(const TDualList& src, const TDualList& copy) {
        N95_FUZZ_CHECK(copy.Count == src.Count);
        if (src.Count == 0) {
            N95_FUZZ_CHECK(copy.Bytes == src.Bytes && copy.Items == src.Items);
            return;
        }
        Fresh(copy.Bytes, src.Bytes, src.Count);
        Fresh(copy.Items, src.Items, src.Count * 12u);
    }

    template <typename TBody>
    void BlobListDual(const TBody& src, const TBody& copy) {
        N95_FUZZ_CHECK(copy.BlobLen == src.BlobLen);
        if (src.BlobLen > 0) {
            Fresh(copy.Blob, src.Blob, src.BlobLen);
        } else {
            N95_FUZZ_CHECK(copy.Blob == src.Blob);
        }
        List(src.List, copy.List);
        Dual(src.Dual, copy.Dual);
    }

    void Blocks(uint8_t kind, const void* src, const void* copy, uint16_t flags) {
        for (unsigned bit = 0; bit < MaxBlockBits; ++bit) {
            const size_t offset = BlockPointerOffset(kind, bit);
            if (offset == 0)
                continue;
            void* s;
            void* c;
            std::memcpy(&s, static_cast<const uint8_t*>(src) + offset, sizeof s);
            std::memcpy(&c, static_cast<const uint8_t*>(copy) + offset, sizeof c);
            if ((flags & (1u << bit)) != 0) {
                Fresh(c, s, BlockSizeTable[kind][bit]);
            } else {
                N95_FUZZ_CHECK(c == s);
            }
        }
    }

    template <typename TBody>
    void EntryBody(uint8_t kind, const TBody& src, const TBody& copy) {
        N95_FUZZ_CHECK(std::memcmp(copy.BodyHead, src.BodyHead, 4) == 0);
        N95_FUZZ_CHECK(copy.EntryCount == src.EntryCount);
        if (src.EntryCount > 0) {
            Fresh(copy.Entries, src.Entries, static_cast<size_t>(src.EntryCount) * 24u);
        } else {
            N95_FUZZ_CHECK(copy.Entries == src.Entries);
        }
        BlobListDual(src, copy);
        N95_FUZZ_CHECK(copy.BlockFlags == src.BlockFlags);
        Blocks(kind, &src, &copy, src.BlockFlags);
    }

    void Body(uint8_t kind, const void* src, const void* copy) {
        switch (kind) {
            case 0: {
                const auto& s = *static_cast<const TTestBody0*>(src);
                const auto& c = *static_cast<const TTestBody0*>(copy);
                BlobListDual(s, c);
                N95_FUZZ_CHECK(c.BlockFlags == s.BlockFlags);
                Blocks(0, src, copy, s.BlockFlags);
                break;
            }
            case 1:
                EntryBody(1, *static_cast<const TTestBody1*>(src),
                          *static_cast<const TTestBody1*>(copy));
                break;
            case 2:
                EntryBody(2, *static_cast<const TTestBody2*>(src),
                          *static_cast<const TTestBody2*>(copy));
                break;
            case 3: {
                const auto& s = *static_cast<const TTestBody3*>(src);
                const auto& c = *static_cast<const TTestBody3*>(copy);
                EntryBody(3, s, c);
                N95_FUZZ_CHECK(std::memcmp(c.Plain50, s.Plain50, 4) == 0);
                break;
            }
            case 4: {
                const auto& s = *static_cast<const TTestBody4*>(src);
                const auto& c = *static_cast<const TTestBody4*>(copy);
                List(s.List, c.List);
                N95_FUZZ_CHECK(c.Value1 == s.Value1 && c.Value2 == s.Value2 &&
                               c.Value3 == s.Value3 && c.Value4 == s.Value4 &&
                               c.Value5 == s.Value5);
                break;
            }
        }
    }

    std::set<const void*> CopyBlocks;

private:
    const std::set<void*>& SourceBlocks;
    const TTrackedRecordHeap& Heap;
};

const void* DefaultBody(uint8_t kind) {
    switch (kind) {
        case 0:
            return &DefaultBody0;
        case 1:
            return &DefaultBody1;
        case 2:
            return &DefaultBody2;
        case 3:
            return &DefaultBody3;
        default:
            return &DefaultBody4;
    }
}

}  // namespace

int FuzzRecord(const uint8_t* data, size_t size) {
    TFuzzInput in(data, size);
    TTrackedRecordHeap heap;
    TBuilder build(in, heap);

    const uint8_t shape = in.U8();
    const uint8_t kind = shape & 7;
    const bool borrowed = (shape & 0x08) != 0;
    const bool compact = (shape & 0x10) != 0;
    const bool nilBody = (shape & 0x20) != 0;

    auto* src = static_cast<TTestRecord*>(heap.Allocate(sizeof(TTestRecord)));
    src->Head = in.U8();
    src->KindWord = (in.U32() & 0x07FFFFFFu) | (uint32_t{kind} << KindWordKindShift) |
                    (borrowed ? KindWordBorrowed : 0u) | (compact ? KindWordCompactBody : 0u);
    const std::string middle = in.Bytes(40);  // the four doubles and bytes 37..44
    std::memcpy(reinterpret_cast<uint8_t*>(src) + 5, middle.data(), middle.size());
    void* opaque = nullptr;  // kinds 5..7: a body that neither record owns
    if (nilBody) {
        src->Body = nullptr;
    } else if (compact) {
        src->Body = build.CompactBody();
    } else if (kind <= MaxTestRecordKind) {
        src->Body = build.Body(kind);
    } else {
        opaque = heap.Allocate(16);
        src->Body = opaque;
    }

    const std::set<void*> sourceBlocks(heap.Live.begin(), heap.Live.end());
    std::vector<uint8_t> srcHeader(sizeof(TTestRecord));
    std::memcpy(srcHeader.data(), src, sizeof(TTestRecord));
    const size_t bodySize = compact ? sizeof(TCompactBody) : TestBodySize(kind);
    std::vector<uint8_t> srcBody;
    if (src->Body != nullptr && bodySize > 0) {
        srcBody.assign(static_cast<uint8_t*>(src->Body),
                       static_cast<uint8_t*>(src->Body) + bodySize);
    }

    TTestRecord* copy = CopyTestRecord(src);

    // The source is untouched.
    N95_FUZZ_CHECK(std::memcmp(src, srcHeader.data(), sizeof(TTestRecord)) == 0);
    if (!srcBody.empty()) {
        N95_FUZZ_CHECK(std::memcmp(src->Body, srcBody.data(), srcBody.size()) == 0);
    }

    if (compact) {
        N95_FUZZ_CHECK(copy == nullptr);
        N95_FUZZ_CHECK(std::set<void*>(heap.Live.begin(), heap.Live.end()) == sourceBlocks);
    } else {
        N95_FUZZ_CHECK(copy != nullptr && copy != src);
        TComparer compare(sourceBlocks, heap);
        N95_FUZZ_CHECK(heap.Live.count(copy) == 1 && sourceBlocks.count(copy) == 0);
        compare.CopyBlocks.insert(copy);
        // Header: every byte but KindWord's Borrowed bit and, for kinds 0..4, the body.
        N95_FUZZ_CHECK(copy->Head == src->Head);
        N95_FUZZ_CHECK(copy->KindWord == (src->KindWord & ~KindWordBorrowed));
        N95_FUZZ_CHECK(std::memcmp(reinterpret_cast<uint8_t*>(copy) + 5,
                                   reinterpret_cast<uint8_t*>(src) + 5, 40) == 0);
        if (kind > MaxTestRecordKind) {
            N95_FUZZ_CHECK(copy->Body == src->Body);  // shared, owned by neither
        } else if (src->Body == nullptr) {
            compare.Fresh(copy->Body, DefaultBody(kind), TestBodySize(kind));
        } else {
            void* copyBody = copy->Body;
            N95_FUZZ_CHECK(copyBody != nullptr && copyBody != src->Body);
            N95_FUZZ_CHECK(heap.Live.count(copyBody) == 1 && sourceBlocks.count(copyBody) == 0);
            compare.CopyBlocks.insert(copyBody);
            compare.Body(kind, src->Body, copyBody);
        }
        // Every block the copy allocated is one of its parts.
        N95_FUZZ_CHECK(heap.Live.size() == sourceBlocks.size() + compare.CopyBlocks.size());

        FreeTestRecord(copy);
        N95_FUZZ_CHECK(std::set<void*>(heap.Live.begin(), heap.Live.end()) == sourceBlocks);
    }

    FreeTestRecord(src);
    if (borrowed) {
        // A borrowed record is not the holder's to free: nothing may have been released.
        N95_FUZZ_CHECK(std::set<void*>(heap.Live.begin(), heap.Live.end()) == sourceBlocks);
        src->KindWord = src->KindWord & ~KindWordBorrowed;
        FreeTestRecord(src);
    }
    if (opaque != nullptr) {
        N95_FUZZ_CHECK(heap.Live.size() == 1 && heap.Live.count(opaque) == 1);
        std::free(opaque);
        heap.Live.erase(opaque);
    }
    N95_FUZZ_CHECK(heap.Live.empty());
    N95_FUZZ_CHECK(heap.ForeignFrees == 0);
    return 0;
}

}  // namespace n95::fuzz

N95_FUZZ_ENTRY(n95::fuzz::FuzzRecord)
