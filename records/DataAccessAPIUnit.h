// The measurement record shared with the host and the field store, its seven operations,
// and the host's coverage field numbering.
//
// Self-contained: depends on the standard library only, so a host can compile the .cpp
// into itself. Records, bodies and every owned part are allocated with std::calloc /
// std::malloc and released with std::free: the C heap is the memory manager that host and
// plug-in share, so what one side allocates the other may release.
#pragma once

#include <cstddef>
#include <cstdint>

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

#pragma pack(pop)

// The operations. Ownership: New and Copy return records the caller owns and releases
// with FreeTestRecord; nil, the sentinels and Borrowed records are never released.
TTestRecord* NewTestRecord(uint8_t Kind);
void InitTestRecord(TTestRecord* Rec, uint8_t Kind);
TTestRecord* CopyTestRecord(const TTestRecord* Src);
void FreeTestBody(TTestRecord* Rec);
void FreeTestRecord(TTestRecord* Rec);
bool IsTestRecord(const TTestRecord* Rec);
bool HasTestBody(const TTestRecord* Rec);
