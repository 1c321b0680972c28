// A plug-in that misbehaves on purpose, for the host tool's tests: the real decoder, with
// one export or operation made to fail as the environment variable N95_TEST_MISBEHAVE says
// (read when the plug-in is first used):
//
//   nil-decoder              GetDllDevice returns nil
//   factory-throws           GetDllDevice throws std::runtime_error
//   name-throws              GetDeviceName throws an int (not a std::exception)
//   type-throws              GetDeviceType throws std::runtime_error
//   frequency-throws         GetDeviceFrequency throws std::runtime_error
//   throw:OPERATION          that operation throws std::runtime_error
//   throw-int:OPERATION      that operation throws an int
//   call-host:OPERATION      that operation calls the host's PurgeInput first (an in-process
//                            test's port throws from there, as a host whose callback failed)
//
// OPERATION is any of the 70 operations of THandSetDecode. Unset or anything else: the
// plug-in behaves. An in-process test changes the behaviour with N95TestMisbehave.
#include <cstdlib>
#include <stdexcept>
#include <string>

#include "decoder/NokiaMSN95Decode.h"
#include "plugin/PluginExports.h"

namespace {

std::string& Behaviour() {
    static std::string behaviour = [] {
        const char* value = std::getenv("N95_TEST_MISBEHAVE");
        return std::string(value != nullptr ? value : "");
    }();
    return behaviour;
}

[[noreturn]] void Fail(const std::string& what, bool asInt) {
    if (asInt)
        throw 42;
    throw std::runtime_error(what + " failed on purpose");
}

// Each operation first calls this with its name: it throws, or calls the host, when the
// behaviour names the operation.
class TMisbehavingDecode final : public TNokiaMSN95Decode {
public:
    using TNokiaMSN95Decode::TNokiaMSN95Decode;

    void MaybeFail(const char* operation) {
        const std::string& behaviour = Behaviour();
        if (behaviour == std::string("throw:") + operation)
            Fail(operation, false);
        if (behaviour == std::string("throw-int:") + operation)
            Fail(operation, true);
        if (behaviour == std::string("call-host:") + operation)
            TNokiaMSN95Decode::GetPort()->PurgeInput();
    }

// An operation that may fail, then does what the real decoder does.
#define N95_MISBEHAVING(Result, Name, Parameters, Arguments) \
    Result Name Parameters override {                        \
        MaybeFail(#Name);                                    \
        return TNokiaMSN95Decode::Name Arguments;            \
    }

    N95_MISBEHAVING(bool, GetConnected, (), ())
    N95_MISBEHAVING(bool, GetOptionFlag, (), ())
    N95_MISBEHAVING(TOptionRecord, GetOptionRecord, (), ())
    N95_MISBEHAVING(THostContext*, GetContext, (), ())
    N95_MISBEHAVING(TGpsPoint, GetPosition, (), ())
    N95_MISBEHAVING(std::string, GetLogFileName, (), ())
    N95_MISBEHAVING(uint8_t, GetState, (), ())
    N95_MISBEHAVING(int32_t, GetStatusValue, (), ())
    N95_MISBEHAVING(bool, GetLogEnabled, (), ())
    N95_MISBEHAVING(THostPort*, GetPort, (), ())
    N95_MISBEHAVING(void, SetOptionFlag, (bool Value), (Value))
    N95_MISBEHAVING(void, SetOptionRecord, (const TOptionRecord& Value), (Value))
    N95_MISBEHAVING(void, SetContext, (THostContext * Value), (Value))
    N95_MISBEHAVING(void, SetPosition, (const TGpsPoint& Value), (Value))
    N95_MISBEHAVING(void, SetLogFileName, (const std::string& Name), (Name))
    N95_MISBEHAVING(void, SetState, (uint8_t Value), (Value))
    N95_MISBEHAVING(void, SetStatusValue, (int32_t Value), (Value))
    N95_MISBEHAVING(void, SetLogEnabled, (bool Value), (Value))
    N95_MISBEHAVING(void, SetPort, (THostPort * Value), (Value))
    N95_MISBEHAVING(void, DecodeData, (const void* Buffer, int32_t Count, std::string& Text),
                    (Buffer, Count, Text))
    N95_MISBEHAVING(void, Connect, (bool SkipHandshake), (SkipHandshake))
    N95_MISBEHAVING(void, Disconnect, (), ())
    N95_MISBEHAVING(void, StopDecoding, (), ())
    N95_MISBEHAVING(void, StartTest, (), ())
    N95_MISBEHAVING(void, RestartTest, (), ())
    N95_MISBEHAVING(void, StopTest, (), ())
    N95_MISBEHAVING(void, Reserved1, (int32_t A, int32_t B), (A, B))
    N95_MISBEHAVING(void, Reserved2, (int32_t A, int32_t B), (A, B))
    N95_MISBEHAVING(bool, GetRecordsReady, (), ())
    N95_MISBEHAVING(bool, GetPositionUpdated, (), ())
    N95_MISBEHAVING(int32_t, GetRecordBase, (), ())
    N95_MISBEHAVING(void, SetRecordBase, (int32_t Value), (Value))
    N95_MISBEHAVING(uint8_t, GetDeviceKind, (), ())
    N95_MISBEHAVING(void, ReservedAbstract1, (), ())
    N95_MISBEHAVING(bool, FreeRecord, (int32_t Index), (Index))
    N95_MISBEHAVING(int32_t, GetLastTaggedIndex, (), ())
    N95_MISBEHAVING(TTestRecord*, GetRecord, (int32_t Index), (Index))
    // A host that could not release every record (this plug-in failing its GetRecord, which
    // its FreeRecord goes through, on purpose) leaves them in the queue: released here, so
    // that a test of that failure leaks nothing in the test process.
    bool ClearRecords() override {
        MaybeFail("ClearRecords");
        for (int32_t i = 0, n = TNokiaMSN95Decode::GetRecordCount(); i < n; ++i)
            FreeTestRecord(TNokiaMSN95Decode::GetRecord(i));
        return TNokiaMSN95Decode::ClearRecords();
    }
    N95_MISBEHAVING(int32_t, GetRecordCount, (), ())
    N95_MISBEHAVING(void, Reconnect, (), ())
    N95_MISBEHAVING(bool, Unsupported1, (), ())
    N95_MISBEHAVING(bool, Unsupported2, (), ())
    N95_MISBEHAVING(bool, Unsupported3, (), ())
    N95_MISBEHAVING(void, ReservedAbstract2, (), ())
    N95_MISBEHAVING(void, UpdatePosition, (const TGpsPoint& P), (P))
    N95_MISBEHAVING(void, ReservedAbstract3, (), ())
    N95_MISBEHAVING(void, ReservedAbstract4, (), ())
    N95_MISBEHAVING(int32_t, GetOptionValue, (), ())
    N95_MISBEHAVING(bool, GetTestFlag, (), ())
    N95_MISBEHAVING(int32_t, GetCallbackTag, (), ())
    N95_MISBEHAVING(TRecordCountEvent, GetOnRecordCount, (), ())
    N95_MISBEHAVING(TGetRecordEvent, GetOnGetRecord, (), ())
    N95_MISBEHAVING(TNotifyEvent, GetOnNotify, (), ())
    N95_MISBEHAVING(uint8_t, GetMessageClass, (), ())
    N95_MISBEHAVING(void, SetTestFlag, (bool Value), (Value))
    N95_MISBEHAVING(void, SetCallbackTag, (int32_t Value), (Value))
    N95_MISBEHAVING(void, SetOnRecordCount, (TRecordCountEvent Value), (Value))
    N95_MISBEHAVING(void, SetOnGetRecord, (TGetRecordEvent Value), (Value))
    N95_MISBEHAVING(void, SetOnNotify, (TNotifyEvent Value), (Value))
    N95_MISBEHAVING(void, SetMessageClass, (uint8_t Value), (Value))
    N95_MISBEHAVING(void, SetOptionValue, (int32_t Value), (Value))
    N95_MISBEHAVING(uint8_t, GetHandsetCode, (), ())
    N95_MISBEHAVING(void, ReservedAbstract5, (), ())
    N95_MISBEHAVING(std::vector<std::string>, BuildTestCommands,
                    (int32_t Action, const TCommandParams* Params), (Action, Params))
    N95_MISBEHAVING(void, Reserved3, (int32_t Value), (Value))
    N95_MISBEHAVING(void, CommitRecordFlag, (int32_t Value), (Value))
    N95_MISBEHAVING(void, Reserved4, (int32_t Value), (Value))
    N95_MISBEHAVING(void, Reserved5, (int32_t Value), (Value))
    N95_MISBEHAVING(int32_t, GetDataRate, (), ())
    N95_MISBEHAVING(void, Reserved6, (int32_t Value), (Value))
#undef N95_MISBEHAVING
};

}  // namespace

extern "C" {

void N95_CALL GetDeviceName(std::string& Name) {
    if (Behaviour() == "name-throws")
        Fail("GetDeviceName", true);
    Name = "N95 (misbehaving)";
}

bool N95_CALL GetDeviceType() {
    if (Behaviour() == "type-throws")
        Fail("GetDeviceType", false);
    return true;
}

uint8_t N95_CALL GetDeviceFrequency() {
    if (Behaviour() == "frequency-throws")
        Fail("GetDeviceFrequency", false);
    return 3;
}

THandSetDecode* N95_CALL GetDllDevice(THostPort* Port, THostContext* Context) {
    if (Behaviour() == "nil-decoder")
        return nullptr;
    if (Behaviour() == "factory-throws")
        Fail("GetDllDevice", false);
    return new TMisbehavingDecode(Port, Context);
}

// For in-process tests: replaces the behaviour read from the environment (nil: behaves).
// Not to be called while another thread is inside the plug-in.
N95_PLUGIN_API void N95_CALL N95TestMisbehave(const char* Value) {
    Behaviour() = Value != nullptr ? Value : "";
}

}  // extern "C"
