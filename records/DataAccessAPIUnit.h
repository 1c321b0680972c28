// The measurement record shared with the host and the field store, its seven operations,
// and (through records/CoverFieldNumbering.h, included here) the host's coverage field
// numbering.
//
// Self-contained: depends on the standard library only, so a host can compile the .cpp
// into itself. Records, bodies and every owned part are allocated with std::calloc /
// std::malloc and released with std::free: the C heap is the memory manager that host and
// plug-in share, so what one side allocates the other may release.
//
// Layout. Every struct below is packed and is the shared memory format itself. With 32-bit
// pointers (the deployment target) sizes and offsets are exactly the documented ones and are
// checked at compile time at the end of the record part. With 64-bit pointers the same
// structs simply carry 8-byte pointers and grow accordingly; nothing may assume 4-byte
// pointers there. Fields are unaligned: read and write them through the packed struct
// members (or memcpy), never through a pointer to a multi-byte member.
//
// Ownership rule of bodies: a pointer inside a body is owned (allocated by the copy,
// released by the free) exactly when its governing count, length or flag says so: `Items`
// and `Bytes` when their `Count` > 0, `Data` when `Len` > 0, `Blob` when `BlobLen` > 0,
// `Entries` when `EntryCount` > 0, block pointer N when bit N of `BlockFlags` is set, and
// `Extra` always. Any other pointer value is carried bit for bit and never released.
//
// Threading: nothing here locks. Callers serialise access to a record.
#pragma once

#include <cstddef>
#include <cstdint>

#include "records/CoverFieldNumbering.h"

// ---------------------------------------------------------------------------------------
// Test record
// ---------------------------------------------------------------------------------------

#pragma pack(push, 1)

// The 49-byte record header. All multi-byte fields are little-endian; -9999.0 in a double
// field means no value.
struct TTestRecord {
    uint8_t Head;           // 0: not interpreted
    uint32_t KindWord;      // 1: kind and ownership bits (see the KindWord constants)
    double StampTime;       // 5: port time stamp, second reading
    double TestTime;        // 13: port time stamp, first reading: time of the measurement
    double PosX;            // 21: X of a GPS fix (longitude)
    double PosY;            // 29: Y of a GPS fix (latitude)
    uint8_t RecordFlag;     // 37: set outside this library
    uint8_t Reserved38[2];  // 38: not interpreted
    uint8_t CommittedFlag;  // 40: a copy of RecordFlag (CommitRecordFlag)
    uint32_t MessageCode;   // 41: code of the trace message, set by the field store
    void* Body;             // 45: the variant body, or nil
};

// One entry of a TBlobList (16 bytes): ten tag bytes carried as they are and its own
// variable-length data. Data is owned only when Len > 0.
struct TBlobEntry {
    uint8_t Tag[10];  // 0
    uint16_t Len;     // 10: length of Data
    uint8_t* Data;    // 12
};

// A counted list of entries (5 bytes). Items points to Count consecutive entries and is
// owned only when Count > 0.
struct TBlobList {
    uint8_t Count;      // 0
    TBlobEntry* Items;  // 1
};

// One count governing two parallel arrays (9 bytes): Count bytes and Count 12-byte items,
// both owned only when Count > 0. The items' inner layout belongs to the field store.
struct TDualList {
    uint8_t Count;   // 0
    uint8_t* Bytes;  // 1
    void* Items;     // 5
};

// Body of kind 0 (42 bytes). Block pointer N (at 22 + 4 * N) is owned when bit N of
// BlockFlags is set; bits above 4 are ignored.
struct TTestBody0 {
    uint16_t BlobLen;     // 0
    uint8_t* Blob;        // 2
    TBlobList List;       // 6
    TDualList Dual;       // 11
    uint16_t BlockFlags;  // 20
    void* Block0;         // 22
    void* Block1;         // 26
    void* Block2;         // 30
    void* Block3;         // 34
    void* Block4;         // 38
};

// Body of kind 1 (58 bytes). Kinds 1, 2 and 3 share their first 34 bytes. Entries points to
// EntryCount 24-byte entries (owned when EntryCount > 0). Block pointer N (at 34 + 4 * N) is
// owned when bit N of BlockFlags is set; bits above 5 are ignored.
struct TTestBody1 {
    uint8_t BodyHead[4];  // 0: carried as it is
    int32_t EntryCount;   // 4
    void* Entries;        // 8
    uint16_t BlobLen;     // 12
    uint8_t* Blob;        // 14
    TBlobList List;       // 18
    TDualList Dual;       // 23
    uint16_t BlockFlags;  // 32
    void* Block0;         // 34
    void* Block1;         // 38
    void* Block2;         // 42
    void* Block3;         // 46
    void* Block4;         // 50
    void* Block5;         // 54
};

// Body of kind 2 (70 bytes), the kind this library creates. Blocks for bits 0..8.
struct TTestBody2 {
    uint8_t BodyHead[4];  // 0
    int32_t EntryCount;   // 4
    void* Entries;        // 8
    uint16_t BlobLen;     // 12
    uint8_t* Blob;        // 14
    TBlobList List;       // 18
    TDualList Dual;       // 23
    uint16_t BlockFlags;  // 32
    void* Block0;         // 34
    void* Block1;         // 38
    void* Block2;         // 42
    void* Block3;         // 46
    void* Block4;         // 50
    void* Block5;         // 54
    void* Block6;         // 58
    void* Block7;         // 62
    void* Block8;         // 66
};

// Body of kind 3 (70 bytes): as kind 2, except that kind 3 has no block for bit 4. The four
// bytes where that pointer would stand are plain data, copied with the body and never
// allocated or released; bit 4 of BlockFlags is ignored.
struct TTestBody3 {
    uint8_t BodyHead[4];  // 0
    int32_t EntryCount;   // 4
    void* Entries;        // 8
    uint16_t BlobLen;     // 12
    uint8_t* Blob;        // 14
    TBlobList List;       // 18
    TDualList Dual;       // 23
    uint16_t BlockFlags;  // 32
    void* Block0;         // 34
    void* Block1;         // 38
    void* Block2;         // 42
    void* Block3;         // 46
    uint8_t Plain50[4];   // 50: plain data
    void* Block5;         // 54
    void* Block6;         // 58
    void* Block7;         // 62
    void* Block8;         // 66
};

// Body of kind 4 (25 bytes). Defaults: an empty list and five times -9999.
struct TTestBody4 {
    TBlobList List;  // 0
    int32_t Value1;  // 5
    int32_t Value2;  // 9
    int32_t Value3;  // 13
    int32_t Value4;  // 17
    int32_t Value5;  // 21
};

// The body of a record whose CompactBody bit is set, whatever its kind (9 bytes). Extra is
// a separately allocated block that the body always owns (nil allowed); its size is not
// known to this library.
struct TCompactBody {
    TBlobList List;  // 0
    void* Extra;     // 5
};

#pragma pack(pop)

// Bits of KindWord. Bits 0..26 are not interpreted and are 0 in every default.
//   31     Borrowed: neither the record nor its body is owned by whoever holds the pointer;
//          both free operations ignore such a record. A copy clears the bit.
//   28..30 kind: 0..4 select the body layout; 5..7 have none (the body is carried as an
//          opaque pointer: a copy shares it and a free leaves it alone).
//   27     CompactBody: the body is a TCompactBody whatever the kind. Only the free
//          operations honour it; CopyTestRecord refuses such records.
constexpr uint32_t KindWordBorrowed = 0x80000000u;
constexpr uint32_t KindWordKindMask = 0x70000000u;
constexpr unsigned KindWordKindShift = 28;
constexpr uint32_t KindWordCompactBody = 0x08000000u;

// The highest kind with a body layout, and the number of optional block bits of the
// largest body.
constexpr uint8_t MaxTestRecordKind = 4;
constexpr unsigned MaxBlockBits = 9;

// Sizes in bytes of the optional blocks, by kind (0..3) and flag bit (0..8); 0 where the
// kind has no block for that bit. The block for a set bit is one owned allocation of this
// size; its contents belong to the field store and the host.
extern const uint16_t BlockSizeTable[4][MaxBlockBits];

// Module constants, identified by address. DefaultHeader is the header default: Head 0,
// KindWord 0, the four doubles -9999.0, bytes 37..44 zero, Body nil. DefaultBody<N> is the
// default body of kind N: all zero for kinds 0..3; an empty list and five times -9999 for
// kind 4.
extern const TTestRecord DefaultHeader;
extern const TTestBody0 DefaultBody0;
extern const TTestBody1 DefaultBody1;
extern const TTestBody2 DefaultBody2;
extern const TTestBody3 DefaultBody3;
extern const TTestBody4 DefaultBody4;

// The three sentinel records. Each is a Borrowed kind-0 header with the default doubles;
// their Body fields hold nil, the value 255 and the value -9999 (pointer-sized integers,
// marker values that are never valid pointers). A pointer equal to the address of a
// sentinel means "no record": IsTestRecord is false for it, the free operations ignore it,
// CopyTestRecord returns nil for it and InitTestRecord leaves it alone.
extern const TTestRecord SentinelNil;
extern const TTestRecord Sentinel255;
extern const TTestRecord SentinelNone;

// Returns a new owned record of Kind with the kind's default header and body, or nil when
// Kind > 4. The caller releases it with FreeTestRecord. Throws std::bad_alloc when memory
// runs out (nothing is leaked).
TTestRecord* NewTestRecord(uint8_t Kind);

// Fills *Rec with the defaults of Kind: the default header, a fresh default body and the
// kind in KindWord. Does nothing when Rec is nil or a sentinel, or Kind > 4. The previous
// body is not released: release it first (FreeTestBody) if Rec owns one. Throws
// std::bad_alloc when the body cannot be allocated; Rec then holds the default header with
// a nil Body.
void InitTestRecord(TTestRecord* Rec, uint8_t Kind);

// Returns a new owned deep copy of *Src, which stays untouched: every part Src's body owns
// is copied into a fresh allocation; un-owned pointer values are carried as they are. The
// copy's Borrowed bit is clear, also when Src was Borrowed. A nil Body of kinds 0..4 yields
// a fresh default body; kinds 5..7 share Src's body pointer (owned by neither). Returns nil
// for nil, a sentinel, or a record with the CompactBody bit set (the size of its Extra
// block is unknown). Throws std::bad_alloc when memory runs out, after releasing whatever
// the copy had already allocated.
TTestRecord* CopyTestRecord(const TTestRecord* Src);

// Releases Rec's body and everything it owns; Rec itself and its Body field stay as they
// are (the field then dangles). Does nothing for nil, a sentinel, a nil Body, a Borrowed
// record, or kinds 5..7 without the CompactBody bit.
void FreeTestBody(TTestRecord* Rec);

// Releases an owned record: its body (as FreeTestBody) and the header. Does nothing for
// nil, a sentinel or a Borrowed record.
void FreeTestRecord(TTestRecord* Rec);

// True when Rec is not nil and is none of the three sentinels. Never reads *Rec.
bool IsTestRecord(const TTestRecord* Rec);

// True when IsTestRecord(Rec) and Rec->Body is not nil.
bool HasTestBody(const TTestRecord* Rec);

namespace n95 {

// The no-value markers of double and 32-bit integer fields.
constexpr double RecordNoValue = -9999.0;
constexpr int32_t RecordNoValueInt = -9999;

// The kind (0..7) held in bits 28..30 of a KindWord.
constexpr uint8_t KindOfWord(uint32_t kindWord) {
    return static_cast<uint8_t>((kindWord & KindWordKindMask) >> KindWordKindShift);
}

// Size in bytes of the body of a kind (0..4), or 0 for any other kind.
std::size_t TestBodySize(uint8_t kind);

// Byte offset, within a body of the kind (0..3), of the pointer to the block for flag bit
// `bit`, or 0 when the kind has no block for that bit (no block pointer ever stands at 0).
std::size_t BlockPointerOffset(uint8_t kind, unsigned bit);

// Allocation seam for tests (fault injection, counting). All record memory is obtained
// through one function and released through another; by default std::calloc (zero true)
// or std::malloc (zero false) and std::free. A hook receives the element count and size
// (both > 0) and returns the block or nullptr to simulate exhaustion, which the caller turns
// into std::bad_alloc. Blocks must remain releasable by the free in force when they are
// released. Each setter installs a hook (nullptr restores the default) and returns the
// previous one. Test-only: install hooks while no other thread uses records.
using TAllocHook = void* (*)(std::size_t count, std::size_t size, bool zero);
using TFreeHook = void (*)(void* block);
TAllocHook SetRecordAllocHookForTesting(TAllocHook hook);
TFreeHook SetRecordFreeHookForTesting(TFreeHook hook);

// True when pointers are 32-bit: the layout is then bit for bit the documented one.
constexpr bool kDocumentedLayout = sizeof(void*) == 4;

}  // namespace n95

// With 32-bit pointers every size and offset is the documented one.
#define N95_LAYOUT(expr) static_assert(!n95::kDocumentedLayout || (expr), #expr)
N95_LAYOUT(sizeof(TTestRecord) == 49);
N95_LAYOUT(offsetof(TTestRecord, Head) == 0);
N95_LAYOUT(offsetof(TTestRecord, KindWord) == 1);
N95_LAYOUT(offsetof(TTestRecord, StampTime) == 5);
N95_LAYOUT(offsetof(TTestRecord, TestTime) == 13);
N95_LAYOUT(offsetof(TTestRecord, PosX) == 21);
N95_LAYOUT(offsetof(TTestRecord, PosY) == 29);
N95_LAYOUT(offsetof(TTestRecord, RecordFlag) == 37);
N95_LAYOUT(offsetof(TTestRecord, Reserved38) == 38);
N95_LAYOUT(offsetof(TTestRecord, CommittedFlag) == 40);
N95_LAYOUT(offsetof(TTestRecord, MessageCode) == 41);
N95_LAYOUT(offsetof(TTestRecord, Body) == 45);

N95_LAYOUT(sizeof(TBlobEntry) == 16);
N95_LAYOUT(offsetof(TBlobEntry, Tag) == 0);
N95_LAYOUT(offsetof(TBlobEntry, Len) == 10);
N95_LAYOUT(offsetof(TBlobEntry, Data) == 12);
N95_LAYOUT(sizeof(TBlobList) == 5);
N95_LAYOUT(offsetof(TBlobList, Count) == 0);
N95_LAYOUT(offsetof(TBlobList, Items) == 1);
N95_LAYOUT(sizeof(TDualList) == 9);
N95_LAYOUT(offsetof(TDualList, Count) == 0);
N95_LAYOUT(offsetof(TDualList, Bytes) == 1);
N95_LAYOUT(offsetof(TDualList, Items) == 5);

N95_LAYOUT(sizeof(TTestBody0) == 42);
N95_LAYOUT(offsetof(TTestBody0, BlobLen) == 0);
N95_LAYOUT(offsetof(TTestBody0, Blob) == 2);
N95_LAYOUT(offsetof(TTestBody0, List) == 6);
N95_LAYOUT(offsetof(TTestBody0, Dual) == 11);
N95_LAYOUT(offsetof(TTestBody0, BlockFlags) == 20);
N95_LAYOUT(offsetof(TTestBody0, Block0) == 22 + 4 * 0);
N95_LAYOUT(offsetof(TTestBody0, Block1) == 22 + 4 * 1);
N95_LAYOUT(offsetof(TTestBody0, Block2) == 22 + 4 * 2);
N95_LAYOUT(offsetof(TTestBody0, Block3) == 22 + 4 * 3);
N95_LAYOUT(offsetof(TTestBody0, Block4) == 22 + 4 * 4);

// The 34-byte prefix shared by kinds 1..3.
#define N95_BODY_PREFIX_LAYOUT(T)                  \
    N95_LAYOUT(offsetof(T, BodyHead) == 0);        \
    N95_LAYOUT(offsetof(T, EntryCount) == 4);      \
    N95_LAYOUT(offsetof(T, Entries) == 8);         \
    N95_LAYOUT(offsetof(T, BlobLen) == 12);        \
    N95_LAYOUT(offsetof(T, Blob) == 14);           \
    N95_LAYOUT(offsetof(T, List) == 18);           \
    N95_LAYOUT(offsetof(T, Dual) == 23);           \
    N95_LAYOUT(offsetof(T, BlockFlags) == 32);     \
    N95_LAYOUT(offsetof(T, Block0) == 34 + 4 * 0); \
    N95_LAYOUT(offsetof(T, Block1) == 34 + 4 * 1); \
    N95_LAYOUT(offsetof(T, Block2) == 34 + 4 * 2); \
    N95_LAYOUT(offsetof(T, Block3) == 34 + 4 * 3)
N95_BODY_PREFIX_LAYOUT(TTestBody1);
N95_BODY_PREFIX_LAYOUT(TTestBody2);
N95_BODY_PREFIX_LAYOUT(TTestBody3);
#undef N95_BODY_PREFIX_LAYOUT

N95_LAYOUT(sizeof(TTestBody1) == 58);
N95_LAYOUT(offsetof(TTestBody1, Block4) == 34 + 4 * 4);
N95_LAYOUT(offsetof(TTestBody1, Block5) == 34 + 4 * 5);
N95_LAYOUT(sizeof(TTestBody2) == 70);
N95_LAYOUT(offsetof(TTestBody2, Block4) == 34 + 4 * 4);
N95_LAYOUT(offsetof(TTestBody2, Block5) == 34 + 4 * 5);
N95_LAYOUT(offsetof(TTestBody2, Block6) == 34 + 4 * 6);
N95_LAYOUT(offsetof(TTestBody2, Block7) == 34 + 4 * 7);
N95_LAYOUT(offsetof(TTestBody2, Block8) == 34 + 4 * 8);
N95_LAYOUT(sizeof(TTestBody3) == 70);
N95_LAYOUT(offsetof(TTestBody3, Plain50) == 50);
N95_LAYOUT(offsetof(TTestBody3, Block5) == 34 + 4 * 5);
N95_LAYOUT(offsetof(TTestBody3, Block6) == 34 + 4 * 6);
N95_LAYOUT(offsetof(TTestBody3, Block7) == 34 + 4 * 7);
N95_LAYOUT(offsetof(TTestBody3, Block8) == 34 + 4 * 8);

N95_LAYOUT(sizeof(TTestBody4) == 25);
N95_LAYOUT(offsetof(TTestBody4, List) == 0);
N95_LAYOUT(offsetof(TTestBody4, Value1) == 5);
N95_LAYOUT(offsetof(TTestBody4, Value2) == 9);
N95_LAYOUT(offsetof(TTestBody4, Value3) == 13);
N95_LAYOUT(offsetof(TTestBody4, Value4) == 17);
N95_LAYOUT(offsetof(TTestBody4, Value5) == 21);

N95_LAYOUT(sizeof(TCompactBody) == 9);
N95_LAYOUT(offsetof(TCompactBody, List) == 0);
N95_LAYOUT(offsetof(TCompactBody, Extra) == 5);
#undef N95_LAYOUT
