// What the plug-in expects of the objects it does not implement: the host's port and
// context, the field store of the Varnex library and the WCDMA decoder of the Tolvane
// library. A host compiles against this header.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/DateTime.h"
#include "platform/Export.h"
#include "platform/Method.h"

struct TTestRecord;

#pragma pack(push, 1)
// A GPS fix. X is the first coordinate (longitude), Y the second (latitude); -9999.0 in a
// coordinate means no position. Time is the fix's date-time.
struct TGpsPoint {
    double X, Y, Time;
};
// The first 16 bytes of a fix.
struct TFixCoordinates {
    double X, Y;
};
#pragma pack(pop)
static_assert(sizeof(TGpsPoint) == 24);
static_assert(sizeof(TFixCoordinates) == 16);

// Host callbacks (method references): Self is the receiver the host stored with the code.
// OnRecordCount gives the number of records in the host's own store; OnGetRecord the
// record at Index, or nil; OnNotify is stored and returned, never called by the plug-in.
using TRecordCountEvent = TMethod<int32_t (*)(void* Self, int32_t Tag)>;
using TGetRecordEvent = TMethod<TTestRecord* (*)(void* Self, int32_t Tag, int32_t Index)>;
using TNotifyEvent = TMethod<void (*)(void* Self, void* Sender)>;

// The host's port object. Implemented by the host; the plug-in never creates, destroys or
// reads from it. Only WriteData may throw as part of normal operation (a failed send); the
// decoder then calls Close and goes on.
class THostPort {
public:
    virtual ~THostPort() = default;
    virtual bool IsOpen() = 0;
    virtual void SetPortSetting1(uint8_t Value) = 0;
    virtual void SetPortSetting2(int32_t Value) = 0;
    virtual void SetPortSetting3(int32_t Value) = 0;
    // The host's current time, day-based, with sub-second resolution.
    virtual TDateTime GetTimeStamp() = 0;
    virtual void WriteData(const void* Buffer, int32_t Count) = 0;  // may throw
    virtual void WriteDataAlt(const void* Buffer, int32_t Count) = 0;
    virtual void Open(bool Value) = 0;
    virtual void Close() = 0;
    virtual void PurgeInput() = 0;
    virtual void PurgeOutput() = 0;
};

// The host's context object. Owned by the host, which keeps it (and what its pointers
// reach) alive for as long as a decoder uses it. The plug-in reads it through the accessors
// below only. On 32-bit targets the offsets are those of the shared layout.
struct THostContext {
    void* HostData;                  // offset 0, not read
    const char* ReplayName;          // offset 4, NUL-terminated; nullptr or "" = live handset
    int32_t HostValue1, HostValue2;  // offsets 8 and 12, not read
    int32_t* FixCounter;             // offset 16: the host's GPS fix counter
    TGpsPoint* CurrentFix;           // offset 20: the host's current fix
};
#if defined(__i386__) || defined(_M_IX86)
static_assert(sizeof(THostContext) == 24);
static_assert(offsetof(THostContext, ReplayName) == 4);
static_assert(offsetof(THostContext, HostValue1) == 8);
static_assert(offsetof(THostContext, FixCounter) == 16);
static_assert(offsetof(THostContext, CurrentFix) == 20);
#endif

// Context accessors. Each accepts a nil context (and nil pointers inside it): a decoder whose
// host has replaced the context with none then behaves as a live, fix-less decoder instead
// of crashing.
bool IsReplaying(const THostContext* Context);                   // ReplayName non-empty
int32_t GetFixCount(const THostContext* Context);                // *FixCounter, 0 when absent
TGpsPoint GetFixPosition(const THostContext* Context);           // all 24 bytes, zero when absent
TFixCoordinates GetFixCoordinates(const THostContext* Context);  // X and Y only
void SetFixPosition(THostContext* Context, const TGpsPoint& P);  // does nothing

namespace n95 {

// True when Context is present and both its fix counter and current fix are set. The zeros
// that the accessors give otherwise are no position ((0, 0) is a real place), so the
// position tagging takes a fix only when this holds.
bool HasFixReferences(const THostContext* Context);

}  // namespace n95

// The field store. Made by NewHandsetFieldsInstance(), owned and destroyed by the decoder.
class THandsetFields {
public:
    virtual ~THandsetFields() = default;
    // The record given to SetRecord, as filled by the last successful decode.
    virtual TTestRecord* GetRecord() = 0;
    // The store fills Rec from now on; nil lets go of the previous record.
    virtual void SetRecord(TTestRecord* Rec) = 0;
};

#if defined(VARNEX_BUILD)
#define VARNEX_API N95_EXPORT
#else
#define VARNEX_API
#endif
#if defined(TOLVANE_BUILD)
#define TOLVANE_API N95_EXPORT
#else
#define TOLVANE_API
#endif

// Library Varnex: a new field store. The caller owns it.
VARNEX_API THandsetFields* NewHandsetFieldsInstance();

// Library Tolvane: decodes one whole trace frame (10-byte header and payload) into the
// store's record. State is the caller's state block, reserved for the decoder library.
// True when the frame was decoded (MessageCode set); false drops the frame.
TOLVANE_API bool Gain_WCDMA_Test_Point(uint8_t HandsetCode, const std::string& Frame,
                                       THandsetFields* Fields, void* State);
