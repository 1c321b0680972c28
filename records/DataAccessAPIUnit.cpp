#include "records/DataAccessAPIUnit.h"

#include <atomic>
#include <cassert>
#include <cstdlib>
#include <cstring>
#include <new>

namespace n95 {
namespace {

std::atomic<TAllocHook> allocHook{nullptr};
std::atomic<TFreeHook> freeHook{nullptr};

// Returns a block of count * size bytes (zero-filled when asked), or nil for an empty
// request: a zero count or length owns nothing. Throws std::bad_alloc on exhaustion.
void* Allocate(std::size_t count, std::size_t size, bool zero) {
    if (count == 0 || size == 0) {
        return nullptr;
    }
    void* block = nullptr;
    if (TAllocHook hook = allocHook.load(std::memory_order_relaxed)) {
        block = hook(count, size, zero);
    } else if (zero) {
        block = std::calloc(count, size);
    } else if (count <= SIZE_MAX / size) {
        block = std::malloc(count * size);
    }
    if (block == nullptr) {
        throw std::bad_alloc();
    }
    return block;
}

void Release(void* block) {
    if (block == nullptr) {
        return;
    }
    if (TFreeHook hook = freeHook.load(std::memory_order_relaxed)) {
        hook(block);
    } else {
        std::free(block);
    }
}

// Collects every block a copy allocates so that a copy failing half-way releases them all
// before the exception leaves. The bound is fixed by the format: header, body, entries,
// blob, list items with up to 255 entry data blocks, the two dual arrays, 9 blocks.
class TCopyScope {
public:
    TCopyScope() = default;
    TCopyScope(const TCopyScope&) = delete;
    TCopyScope& operator=(const TCopyScope&) = delete;
    ~TCopyScope() {
        if (!committed_) {
            for (std::size_t i = count_; i > 0; --i) {
                Release(blocks_[i - 1]);
            }
        }
    }

    void* Allocate(std::size_t count, std::size_t size, bool zero) {
        void* block = n95::Allocate(count, size, zero);
        if (block != nullptr) {
            assert(count_ < kMaxBlocks);
            blocks_[count_++] = block;
        }
        return block;
    }

    // A fresh copy of `count` elements of `size` bytes at `src`, or nil for an empty request.
    // A nil `src` (a malformed record: count > 0 with no data) leaves the copy zero-filled.
    void* Duplicate(const void* src, std::size_t count, std::size_t size) {
        void* block = Allocate(count, size, true);
        if (block != nullptr && src != nullptr) {
            std::memcpy(block, src, count * size);
        }
        return block;
    }

    // Everything allocated so far now belongs to the finished copy.
    void Commit() { committed_ = true; }

private:
    static constexpr std::size_t kMaxBlocks = 2 + 1 + 1 + (1 + 255) + 2 + MaxBlockBits;
    void* blocks_[kMaxBlocks];
    std::size_t count_ = 0;
    bool committed_ = false;
};

constexpr std::size_t kEntrySize = 24;
constexpr std::size_t kDualItemSize = 12;

constexpr std::size_t kBodySizes[MaxTestRecordKind + 1] = {
    sizeof(TTestBody0), sizeof(TTestBody1), sizeof(TTestBody2),
    sizeof(TTestBody3), sizeof(TTestBody4),
};

const void* const kDefaultBodies[MaxTestRecordKind + 1] = {
    &DefaultBody0, &DefaultBody1, &DefaultBody2, &DefaultBody3, &DefaultBody4,
};

// 0 marks a bit without a block: no block pointer stands at body offset 0.
constexpr std::size_t kBlockOffsets[4][MaxBlockBits] = {
    {offsetof(TTestBody0, Block0), offsetof(TTestBody0, Block1), offsetof(TTestBody0, Block2),
     offsetof(TTestBody0, Block3), offsetof(TTestBody0, Block4), 0, 0, 0, 0},
    {offsetof(TTestBody1, Block0), offsetof(TTestBody1, Block1), offsetof(TTestBody1, Block2),
     offsetof(TTestBody1, Block3), offsetof(TTestBody1, Block4), offsetof(TTestBody1, Block5), 0, 0,
     0},
    {offsetof(TTestBody2, Block0), offsetof(TTestBody2, Block1), offsetof(TTestBody2, Block2),
     offsetof(TTestBody2, Block3), offsetof(TTestBody2, Block4), offsetof(TTestBody2, Block5),
     offsetof(TTestBody2, Block6), offsetof(TTestBody2, Block7), offsetof(TTestBody2, Block8)},
    {offsetof(TTestBody3, Block0), offsetof(TTestBody3, Block1), offsetof(TTestBody3, Block2),
     offsetof(TTestBody3, Block3), 0, offsetof(TTestBody3, Block5), offsetof(TTestBody3, Block6),
     offsetof(TTestBody3, Block7), offsetof(TTestBody3, Block8)},
};

// Block pointers are reached by offset, so they are moved with memcpy: they are unaligned.
void* LoadPointer(const void* body, std::size_t offset) {
    void* value;
    std::memcpy(&value, static_cast<const unsigned char*>(body) + offset, sizeof(value));
    return value;
}

void StorePointer(void* body, std::size_t offset, void* value) {
    std::memcpy(static_cast<unsigned char*>(body) + offset, &value, sizeof(value));
}

bool IsSentinel(const TTestRecord* rec) {
    return rec == &SentinelNil || rec == &Sentinel255 || rec == &SentinelNone;
}

// --- Copying. Each function receives a body (or part) that already holds the source's
// bytes and replaces the owned pointers in it by fresh copies of what they point to.

void CopyBlobList(TCopyScope& scope, TBlobList* list) {
    const uint8_t count = list->Count;
    if (count == 0) {
        return;
    }
    const TBlobEntry* srcItems = list->Items;
    auto* items = static_cast<TBlobEntry*>(scope.Duplicate(srcItems, count, sizeof(TBlobEntry)));
    for (unsigned i = 0; i < count; ++i) {
        const uint16_t len = items[i].Len;
        const uint8_t* srcData = srcItems != nullptr ? srcItems[i].Data : nullptr;
        items[i].Data = static_cast<uint8_t*>(scope.Duplicate(srcData, len, 1));
    }
    list->Items = items;
}

void CopyDualList(TCopyScope& scope, TDualList* dual) {
    const uint8_t count = dual->Count;
    if (count == 0) {
        return;
    }
    dual->Bytes = static_cast<uint8_t*>(scope.Duplicate(dual->Bytes, count, 1));
    dual->Items = scope.Duplicate(dual->Items, count, kDualItemSize);
}

void CopyBlocks(TCopyScope& scope, uint8_t kind, void* body, uint16_t flags) {
    for (unsigned bit = 0; bit < MaxBlockBits; ++bit) {
        const std::size_t offset = kBlockOffsets[kind][bit];
        if (offset == 0 || (flags & (1u << bit)) == 0) {
            continue;
        }
        void* block = scope.Duplicate(LoadPointer(body, offset), 1, BlockSizeTable[kind][bit]);
        StorePointer(body, offset, block);
    }
}

// Blob, List and Dual, in that order: the part common to kinds 0..3.
template <typename TBody>
void CopyBlobListDual(TCopyScope& scope, TBody* body) {
    const uint16_t blobLen = body->BlobLen;
    if (blobLen > 0) {
        body->Blob = static_cast<uint8_t*>(scope.Duplicate(body->Blob, blobLen, 1));
    }
    CopyBlobList(scope, &body->List);
    CopyDualList(scope, &body->Dual);
}

template <typename TBody>
void CopyEntryBody(TCopyScope& scope, uint8_t kind, TBody* body) {
    const int32_t entryCount = body->EntryCount;
    if (entryCount > 0) {
        body->Entries =
            scope.Duplicate(body->Entries, static_cast<std::size_t>(entryCount), kEntrySize);
    }
    CopyBlobListDual(scope, body);
    CopyBlocks(scope, kind, body, body->BlockFlags);
}

void CopyOwnedParts(TCopyScope& scope, uint8_t kind, void* body) {
    switch (kind) {
        case 0: {
            auto* b = static_cast<TTestBody0*>(body);
            CopyBlobListDual(scope, b);
            CopyBlocks(scope, kind, b, b->BlockFlags);
            break;
        }
        case 1:
            CopyEntryBody(scope, kind, static_cast<TTestBody1*>(body));
            break;
        case 2:
            CopyEntryBody(scope, kind, static_cast<TTestBody2*>(body));
            break;
        case 3:
            CopyEntryBody(scope, kind, static_cast<TTestBody3*>(body));
            break;
        case 4:
            CopyBlobList(scope, &static_cast<TTestBody4*>(body)->List);
            break;
    }
}

// --- Releasing.

void ReleaseBlobList(const TBlobList& list) {
    const uint8_t count = list.Count;
    if (count == 0) {
        return;
    }
    TBlobEntry* items = list.Items;
    if (items != nullptr) {
        for (unsigned i = 0; i < count; ++i) {
            if (items[i].Len > 0) {
                Release(items[i].Data);
            }
        }
    }
    Release(items);
}

void ReleaseDualList(const TDualList& dual) {
    if (dual.Count > 0) {
        Release(dual.Bytes);
        Release(dual.Items);
    }
}

template <typename TBody>
void ReleaseBlocks(uint8_t kind, TBody* body) {
    const uint16_t flags = body->BlockFlags;
    for (unsigned bit = 0; bit < MaxBlockBits; ++bit) {
        const std::size_t offset = kBlockOffsets[kind][bit];
        if (offset != 0 && (flags & (1u << bit)) != 0) {
            Release(LoadPointer(body, offset));
        }
    }
    body->BlockFlags = 0;
}

template <typename TBody>
void ReleaseBlobListDual(TBody* body) {
    if (body->BlobLen > 0) {
        Release(body->Blob);
    }
    ReleaseDualList(body->Dual);
    ReleaseBlobList(body->List);
}

template <typename TBody>
void ReleaseEntryBody(uint8_t kind, TBody* body) {
    ReleaseBlocks(kind, body);
    if (body->EntryCount > 0) {
        Release(body->Entries);
    }
    ReleaseBlobListDual(body);
    Release(body);
}

}  // namespace

std::size_t TestBodySize(uint8_t kind) {
    return kind <= MaxTestRecordKind ? kBodySizes[kind] : 0;
}

std::size_t BlockPointerOffset(uint8_t kind, unsigned bit) {
    return kind < 4 && bit < MaxBlockBits ? kBlockOffsets[kind][bit] : 0;
}

TAllocHook SetRecordAllocHookForTesting(TAllocHook hook) {
    return allocHook.exchange(hook);
}

TFreeHook SetRecordFreeHookForTesting(TFreeHook hook) {
    return freeHook.exchange(hook);
}

}  // namespace n95

using n95::RecordNoValue;
using n95::RecordNoValueInt;

const uint16_t BlockSizeTable[4][MaxBlockBits] = {
    {260, 44, 116, 104, 673, 0, 0, 0, 0},
    {92, 72, 44, 164, 68, 673, 0, 0, 0},
    {124, 24, 52, 72, 72, 256, 116, 104, 673},
    {364, 24, 52, 176, 0, 256, 116, 104, 673},
};

namespace {

// A header with the default doubles and zero bytes, apart from KindWord and Body.
constexpr TTestRecord HeaderWith(uint32_t kindWord, void* body) {
    TTestRecord rec{};
    rec.KindWord = kindWord;
    rec.StampTime = RecordNoValue;
    rec.TestTime = RecordNoValue;
    rec.PosX = RecordNoValue;
    rec.PosY = RecordNoValue;
    rec.Body = body;
    return rec;
}

void* MarkerPointer(intptr_t value) {
    return reinterpret_cast<void*>(value);
}

}  // namespace

const TTestRecord DefaultHeader = HeaderWith(0, nullptr);

const TTestBody0 DefaultBody0 = {};
const TTestBody1 DefaultBody1 = {};
const TTestBody2 DefaultBody2 = {};
const TTestBody3 DefaultBody3 = {};
const TTestBody4 DefaultBody4 = {
    {0, nullptr},     RecordNoValueInt, RecordNoValueInt,
    RecordNoValueInt, RecordNoValueInt, RecordNoValueInt,
};

// The Body values of the last two sentinels are markers, never dereferenced; -9999 is
// stored sign-extended to the pointer's width.
const TTestRecord SentinelNil = HeaderWith(KindWordBorrowed, nullptr);
const TTestRecord Sentinel255 = HeaderWith(KindWordBorrowed, MarkerPointer(255));
const TTestRecord SentinelNone = HeaderWith(KindWordBorrowed, MarkerPointer(RecordNoValueInt));

bool IsTestRecord(const TTestRecord* Rec) {
    return Rec != nullptr && !n95::IsSentinel(Rec);
}

bool HasTestBody(const TTestRecord* Rec) {
    return IsTestRecord(Rec) && Rec->Body != nullptr;
}

void InitTestRecord(TTestRecord* Rec, uint8_t Kind) {
    // A sentinel is shared by everyone who holds its address: never write into it.
    if (!IsTestRecord(Rec) || Kind > MaxTestRecordKind) {
        return;
    }
    std::memcpy(Rec, &DefaultHeader, sizeof(TTestRecord));
    const std::size_t size = n95::TestBodySize(Kind);
    void* body = n95::Allocate(1, size, true);
    std::memcpy(body, n95::kDefaultBodies[Kind], size);
    Rec->Body = body;
    Rec->KindWord = Rec->KindWord | (static_cast<uint32_t>(Kind) << KindWordKindShift);
}

TTestRecord* NewTestRecord(uint8_t Kind) {
    if (Kind > MaxTestRecordKind) {
        return nullptr;
    }
    auto* rec = static_cast<TTestRecord*>(n95::Allocate(1, sizeof(TTestRecord), true));
    try {
        InitTestRecord(rec, Kind);
    } catch (...) {
        n95::Release(rec);
        throw;
    }
    return rec;
}

TTestRecord* CopyTestRecord(const TTestRecord* Src) {
    if (!IsTestRecord(Src) || (Src->KindWord & KindWordCompactBody) != 0) {
        return nullptr;
    }
    n95::TCopyScope scope;
    // Every byte of the header is overwritten, so it need not be zero-filled.
    auto* copy = static_cast<TTestRecord*>(scope.Allocate(1, sizeof(TTestRecord), false));
    std::memcpy(copy, Src, sizeof(TTestRecord));
    copy->KindWord = copy->KindWord & ~KindWordBorrowed;

    const uint8_t kind = n95::KindOfWord(copy->KindWord);
    if (kind <= MaxTestRecordKind) {
        const std::size_t size = n95::TestBodySize(kind);
        const void* srcBody = Src->Body;
        void* body =
            scope.Duplicate(srcBody != nullptr ? srcBody : n95::kDefaultBodies[kind], 1, size);
        if (srcBody != nullptr) {
            n95::CopyOwnedParts(scope, kind, body);
        }
        copy->Body = body;
    }
    // Kinds 5..7 keep the source's body pointer: shared, and released by neither free.
    scope.Commit();
    return copy;
}

void FreeTestBody(TTestRecord* Rec) {
    if (!HasTestBody(Rec)) {
        return;
    }
    const uint32_t kindWord = Rec->KindWord;
    if ((kindWord & KindWordBorrowed) != 0) {
        return;
    }
    void* body = Rec->Body;
    if ((kindWord & KindWordCompactBody) != 0) {
        auto* compact = static_cast<TCompactBody*>(body);
        n95::ReleaseBlobList(compact->List);
        n95::Release(compact->Extra);
        n95::Release(compact);
        return;
    }
    const uint8_t kind = n95::KindOfWord(kindWord);
    switch (kind) {
        case 0: {
            auto* b = static_cast<TTestBody0*>(body);
            n95::ReleaseBlocks(kind, b);
            n95::ReleaseBlobListDual(b);
            n95::Release(b);
            break;
        }
        case 1:
            n95::ReleaseEntryBody(kind, static_cast<TTestBody1*>(body));
            break;
        case 2:
            n95::ReleaseEntryBody(kind, static_cast<TTestBody2*>(body));
            break;
        case 3:
            n95::ReleaseEntryBody(kind, static_cast<TTestBody3*>(body));
            break;
        case 4: {
            auto* b = static_cast<TTestBody4*>(body);
            n95::ReleaseBlobList(b->List);
            n95::Release(b);
            break;
        }
        default:
            // Kinds 5..7 have no body layout; the body is not the record's to release.
            break;
    }
}

void FreeTestRecord(TTestRecord* Rec) {
    if (!IsTestRecord(Rec) || (Rec->KindWord & KindWordBorrowed) != 0) {
        return;
    }
    FreeTestBody(Rec);
    n95::Release(Rec);
}
