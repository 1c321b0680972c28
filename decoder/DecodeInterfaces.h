// The decoder interface that the host shares with every handset plug-in.
//
// The host calls these operations by their position in the virtual table, so their order is
// the binary contract: TVirtualDecode declares operations 1-28, TDeviceDecode 29-46 and
// THandSetDecode 47-70, after the virtual destructor (which takes two slots in the Itanium
// ABI: operation N is slot N + 1). Never reorder, insert or remove a declaration here.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

#include "decoder/HostObjects.h"
#include "platform/InOutError.h"
#include "platform/Method.h"

#pragma pack(push, 1)
// Two words kept for the host.
struct TOptionRecord {
    int32_t Word1, Word2;
};
#pragma pack(pop)
static_assert(sizeof(TOptionRecord) == 8);

// The host's command-parameter object: the first field is not read, Text is the
// Name=Value parameter text (NUL-terminated; nullptr reads as empty).
struct TCommandParams {
    int32_t Reserved;
    const char* Text;
};

// The decoder's run state, as GetState and SetState carry it (one byte). Frames are decoded
// into records only while testing; awaiting the trace, a frame confirms it; in every other
// state frames are only counted. SetState stores any value, also one outside these four.
enum TRunState : uint8_t {
    rsStopped = 0,        // StopTest, StopDecoding, and the trace check (confirmed or late)
    rsAwaitingTrace = 1,  // Connect switched the trace on and waits for its first frame
    rsIdle = 2,           // a new decoder, and after Disconnect
    rsTesting = 3,        // StartTest, RestartTest, Reconnect
};

// A short lower-case name of a run state for status lines: "stopped", "awaiting trace",
// "idle", "testing", or "state ?" for any other value.
constexpr const char* RunStateName(uint8_t State) {
    switch (State) {
        case rsStopped:
            return "stopped";
        case rsAwaitingTrace:
            return "awaiting trace";
        case rsIdle:
            return "idle";
        case rsTesting:
            return "testing";
        default:
            return "state ?";
    }
}

// Raised by the operations that keep their place in the table but are not implemented.
class EAbstractError : public std::logic_error {
public:
    EAbstractError() : std::logic_error("Abstract Error") {}
};

class TVirtualDecode {
public:
    virtual ~TVirtualDecode() = default;
    virtual bool GetConnected() = 0;                                                    // 1
    virtual bool GetOptionFlag() = 0;                                                   // 2
    virtual TOptionRecord GetOptionRecord() = 0;                                        // 3
    virtual THostContext* GetContext() = 0;                                             // 4
    virtual TGpsPoint GetPosition() = 0;                                                // 5
    virtual std::string GetLogFileName() = 0;                                           // 6
    virtual uint8_t GetState() = 0;                                                     // 7
    virtual int32_t GetStatusValue() = 0;                                               // 8
    virtual bool GetLogEnabled() = 0;                                                   // 9
    virtual THostPort* GetPort() = 0;                                                   // 10
    virtual void SetOptionFlag(bool Value) = 0;                                         // 11
    virtual void SetOptionRecord(const TOptionRecord& Value) = 0;                       // 12
    virtual void SetContext(THostContext* Value) = 0;                                   // 13
    virtual void SetPosition(const TGpsPoint& Value) = 0;                               // 14
    virtual void SetLogFileName(const std::string& Name) = 0;                           // 15
    virtual void SetState(uint8_t Value) = 0;                                           // 16
    virtual void SetStatusValue(int32_t Value) = 0;                                     // 17
    virtual void SetLogEnabled(bool Value) = 0;                                         // 18
    virtual void SetPort(THostPort* Value) = 0;                                         // 19
    virtual void DecodeData(const void* Buffer, int32_t Count, std::string& Text) = 0;  // 20
    virtual void Connect(bool SkipHandshake) = 0;                                       // 21
    virtual void Disconnect() = 0;                                                      // 22
    virtual void StopDecoding() = 0;                                                    // 23
    virtual void StartTest() = 0;                                                       // 24
    virtual void RestartTest() = 0;                                                     // 25
    virtual void StopTest() = 0;                                                        // 26
    virtual void Reserved1(int32_t A, int32_t B) = 0;                                   // 27
    virtual void Reserved2(int32_t A, int32_t B) = 0;                                   // 28
};

class TDeviceDecode : public TVirtualDecode {
public:
    virtual bool GetRecordsReady() = 0;                   // 29
    virtual bool GetPositionUpdated() = 0;                // 30
    virtual int32_t GetRecordBase() = 0;                  // 31
    virtual void SetRecordBase(int32_t Value) = 0;        // 32
    virtual uint8_t GetDeviceKind() = 0;                  // 33
    virtual void ReservedAbstract1() = 0;                 // 34
    virtual bool FreeRecord(int32_t Index) = 0;           // 35
    virtual int32_t GetLastTaggedIndex() = 0;             // 36
    virtual TTestRecord* GetRecord(int32_t Index) = 0;    // 37
    virtual bool ClearRecords() = 0;                      // 38
    virtual int32_t GetRecordCount() = 0;                 // 39
    virtual void Reconnect() = 0;                         // 40
    virtual bool Unsupported1() = 0;                      // 41
    virtual bool Unsupported2() = 0;                      // 42
    virtual bool Unsupported3() = 0;                      // 43
    virtual void ReservedAbstract2() = 0;                 // 44
    virtual void UpdatePosition(const TGpsPoint& P) = 0;  // 45
    virtual void ReservedAbstract3() = 0;                 // 46
};

class THandSetDecode : public TDeviceDecode {
public:
    virtual void ReservedAbstract4() = 0;                        // 47
    virtual int32_t GetOptionValue() = 0;                        // 48
    virtual bool GetTestFlag() = 0;                              // 49
    virtual int32_t GetCallbackTag() = 0;                        // 50
    virtual TRecordCountEvent GetOnRecordCount() = 0;            // 51
    virtual TGetRecordEvent GetOnGetRecord() = 0;                // 52
    virtual TNotifyEvent GetOnNotify() = 0;                      // 53
    virtual uint8_t GetMessageClass() = 0;                       // 54
    virtual void SetTestFlag(bool Value) = 0;                    // 55
    virtual void SetCallbackTag(int32_t Value) = 0;              // 56
    virtual void SetOnRecordCount(TRecordCountEvent Value) = 0;  // 57
    virtual void SetOnGetRecord(TGetRecordEvent Value) = 0;      // 58
    virtual void SetOnNotify(TNotifyEvent Value) = 0;            // 59
    virtual void SetMessageClass(uint8_t Value) = 0;             // 60
    virtual void SetOptionValue(int32_t Value) = 0;              // 61
    virtual uint8_t GetHandsetCode() = 0;                        // 62
    virtual void ReservedAbstract5() = 0;                        // 63
    virtual std::vector<std::string> BuildTestCommands(int32_t Action,
                                                       const TCommandParams* Params) = 0;  // 64
    virtual void Reserved3(int32_t Value) = 0;                                             // 65
    virtual void CommitRecordFlag(int32_t Value) = 0;                                      // 66
    virtual void Reserved4(int32_t Value) = 0;                                             // 67
    virtual void Reserved5(int32_t Value) = 0;                                             // 68
    virtual int32_t GetDataRate() = 0;                                                     // 69
    virtual void Reserved6(int32_t Value) = 0;                                             // 70
};
