// A plug-in that misbehaves on purpose, for the host tool's tests: the real decoder, with
// one export or operation made to fail as the environment variable N95_TEST_MISBEHAVE says
// (read once, when the library is loaded):
//
//   nil-decoder              GetDllDevice returns nil
//   factory-throws           GetDllDevice throws std::runtime_error
//   name-throws              GetDeviceName throws an int (not a std::exception)
//   type-throws              GetDeviceType throws std::runtime_error
//   frequency-throws         GetDeviceFrequency throws std::runtime_error
//   throw:OPERATION          that operation throws std::runtime_error
//   throw-int:OPERATION      that operation throws an int
//
// OPERATION is one of DecodeData, Connect, StartTest, StopTest, BuildTestCommands,
// GetRecordCount. Unset or anything else: the plug-in behaves.
#include <cstdlib>
#include <stdexcept>
#include <string>

#include "decoder/NokiaMSN95Decode.h"
#include "plugin/PluginExports.h"

namespace {

const std::string& Behaviour() {
    static const std::string behaviour = [] {
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

// Throws when the behaviour names `operation`.
void MaybeFail(const char* operation) {
    if (Behaviour() == std::string("throw:") + operation)
        Fail(operation, false);
    if (Behaviour() == std::string("throw-int:") + operation)
        Fail(operation, true);
}

class TMisbehavingDecode final : public TNokiaMSN95Decode {
public:
    using TNokiaMSN95Decode::TNokiaMSN95Decode;

    void DecodeData(const void* Buffer, int32_t Count, std::string& Text) override {
        MaybeFail("DecodeData");
        TNokiaMSN95Decode::DecodeData(Buffer, Count, Text);
    }
    void Connect(bool SkipHandshake) override {
        MaybeFail("Connect");
        TNokiaMSN95Decode::Connect(SkipHandshake);
    }
    void StartTest() override {
        MaybeFail("StartTest");
        TNokiaMSN95Decode::StartTest();
    }
    void StopTest() override {
        MaybeFail("StopTest");
        TNokiaMSN95Decode::StopTest();
    }
    int32_t GetRecordCount() override {
        MaybeFail("GetRecordCount");
        return TNokiaMSN95Decode::GetRecordCount();
    }
    std::vector<std::string> BuildTestCommands(int32_t Action,
                                               const TCommandParams* Params) override {
        MaybeFail("BuildTestCommands");
        return TNokiaMSN95Decode::BuildTestCommands(Action, Params);
    }
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

}  // extern "C"
