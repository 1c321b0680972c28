#include "host/session/PluginHost.h"

#include <exception>
#include <type_traits>

#include "host/common/SystemCalls.h"

namespace n95::host {

namespace {

// Calls `call` (a call into the plug-in named `what`) and turns whatever it throws into an
// EPluginError that names the call. An EPluginError passes unchanged: it comes from a guard
// further in (the plug-in called back into the host, which called the plug-in again).
template <typename TCall>
auto Guarded(const char* what, TCall&& call) -> decltype(call()) {
    try {
        return call();
    } catch (const EPluginError&) {
        throw;
    } catch (const std::exception& e) {
        throw EPluginError(std::string("the plug-in's ") + what + " raised an error: " + e.what());
    } catch (...) {
        throw EPluginError(std::string("the plug-in's ") + what +
                           " raised an exception of an unknown type");
    }
}

// The plug-in's decoder behind the guard: every operation forwards to it through Guarded, in
// the table's order. Owns the decoder.
class TGuardedDecode final : public THandSetDecode {
public:
    explicit TGuardedDecode(THandSetDecode* inner) : Inner(inner) {}

    bool GetConnected() override {
        return Guarded("GetConnected", [&] { return Inner->GetConnected(); });
    }
    bool GetOptionFlag() override {
        return Guarded("GetOptionFlag", [&] { return Inner->GetOptionFlag(); });
    }
    TOptionRecord GetOptionRecord() override {
        return Guarded("GetOptionRecord", [&] { return Inner->GetOptionRecord(); });
    }
    THostContext* GetContext() override {
        return Guarded("GetContext", [&] { return Inner->GetContext(); });
    }
    TGpsPoint GetPosition() override {
        return Guarded("GetPosition", [&] { return Inner->GetPosition(); });
    }
    std::string GetLogFileName() override {
        return Guarded("GetLogFileName", [&] { return Inner->GetLogFileName(); });
    }
    uint8_t GetState() override {
        return Guarded("GetState", [&] { return Inner->GetState(); });
    }
    int32_t GetStatusValue() override {
        return Guarded("GetStatusValue", [&] { return Inner->GetStatusValue(); });
    }
    bool GetLogEnabled() override {
        return Guarded("GetLogEnabled", [&] { return Inner->GetLogEnabled(); });
    }
    THostPort* GetPort() override {
        return Guarded("GetPort", [&] { return Inner->GetPort(); });
    }
    void SetOptionFlag(bool Value) override {
        return Guarded("SetOptionFlag", [&] { return Inner->SetOptionFlag(Value); });
    }
    void SetOptionRecord(const TOptionRecord& Value) override {
        return Guarded("SetOptionRecord", [&] { return Inner->SetOptionRecord(Value); });
    }
    void SetContext(THostContext* Value) override {
        return Guarded("SetContext", [&] { return Inner->SetContext(Value); });
    }
    void SetPosition(const TGpsPoint& Value) override {
        return Guarded("SetPosition", [&] { return Inner->SetPosition(Value); });
    }
    void SetLogFileName(const std::string& Name) override {
        return Guarded("SetLogFileName", [&] { return Inner->SetLogFileName(Name); });
    }
    void SetState(uint8_t Value) override {
        return Guarded("SetState", [&] { return Inner->SetState(Value); });
    }
    void SetStatusValue(int32_t Value) override {
        return Guarded("SetStatusValue", [&] { return Inner->SetStatusValue(Value); });
    }
    void SetLogEnabled(bool Value) override {
        return Guarded("SetLogEnabled", [&] { return Inner->SetLogEnabled(Value); });
    }
    void SetPort(THostPort* Value) override {
        return Guarded("SetPort", [&] { return Inner->SetPort(Value); });
    }
    void DecodeData(const void* Buffer, int32_t Count, std::string& Text) override {
        return Guarded("DecodeData", [&] { return Inner->DecodeData(Buffer, Count, Text); });
    }
    void Connect(bool SkipHandshake) override {
        return Guarded("Connect", [&] { return Inner->Connect(SkipHandshake); });
    }
    void Disconnect() override {
        return Guarded("Disconnect", [&] { return Inner->Disconnect(); });
    }
    void StopDecoding() override {
        return Guarded("StopDecoding", [&] { return Inner->StopDecoding(); });
    }
    void StartTest() override {
        return Guarded("StartTest", [&] { return Inner->StartTest(); });
    }
    void RestartTest() override {
        return Guarded("RestartTest", [&] { return Inner->RestartTest(); });
    }
    void StopTest() override {
        return Guarded("StopTest", [&] { return Inner->StopTest(); });
    }
    void Reserved1(int32_t A, int32_t B) override {
        return Guarded("Reserved1", [&] { return Inner->Reserved1(A, B); });
    }
    void Reserved2(int32_t A, int32_t B) override {
        return Guarded("Reserved2", [&] { return Inner->Reserved2(A, B); });
    }
    bool GetRecordsReady() override {
        return Guarded("GetRecordsReady", [&] { return Inner->GetRecordsReady(); });
    }
    bool GetPositionUpdated() override {
        return Guarded("GetPositionUpdated", [&] { return Inner->GetPositionUpdated(); });
    }
    int32_t GetRecordBase() override {
        return Guarded("GetRecordBase", [&] { return Inner->GetRecordBase(); });
    }
    void SetRecordBase(int32_t Value) override {
        return Guarded("SetRecordBase", [&] { return Inner->SetRecordBase(Value); });
    }
    uint8_t GetDeviceKind() override {
        return Guarded("GetDeviceKind", [&] { return Inner->GetDeviceKind(); });
    }
    void ReservedAbstract1() override {
        return Guarded("ReservedAbstract1", [&] { return Inner->ReservedAbstract1(); });
    }
    bool FreeRecord(int32_t Index) override {
        return Guarded("FreeRecord", [&] { return Inner->FreeRecord(Index); });
    }
    int32_t GetLastTaggedIndex() override {
        return Guarded("GetLastTaggedIndex", [&] { return Inner->GetLastTaggedIndex(); });
    }
    TTestRecord* GetRecord(int32_t Index) override {
        return Guarded("GetRecord", [&] { return Inner->GetRecord(Index); });
    }
    bool ClearRecords() override {
        return Guarded("ClearRecords", [&] { return Inner->ClearRecords(); });
    }
    int32_t GetRecordCount() override {
        return Guarded("GetRecordCount", [&] { return Inner->GetRecordCount(); });
    }
    void Reconnect() override {
        return Guarded("Reconnect", [&] { return Inner->Reconnect(); });
    }
    bool Unsupported1() override {
        return Guarded("Unsupported1", [&] { return Inner->Unsupported1(); });
    }
    bool Unsupported2() override {
        return Guarded("Unsupported2", [&] { return Inner->Unsupported2(); });
    }
    bool Unsupported3() override {
        return Guarded("Unsupported3", [&] { return Inner->Unsupported3(); });
    }
    void ReservedAbstract2() override {
        return Guarded("ReservedAbstract2", [&] { return Inner->ReservedAbstract2(); });
    }
    void UpdatePosition(const TGpsPoint& P) override {
        return Guarded("UpdatePosition", [&] { return Inner->UpdatePosition(P); });
    }
    void ReservedAbstract3() override {
        return Guarded("ReservedAbstract3", [&] { return Inner->ReservedAbstract3(); });
    }
    void ReservedAbstract4() override {
        return Guarded("ReservedAbstract4", [&] { return Inner->ReservedAbstract4(); });
    }
    int32_t GetOptionValue() override {
        return Guarded("GetOptionValue", [&] { return Inner->GetOptionValue(); });
    }
    bool GetTestFlag() override {
        return Guarded("GetTestFlag", [&] { return Inner->GetTestFlag(); });
    }
    int32_t GetCallbackTag() override {
        return Guarded("GetCallbackTag", [&] { return Inner->GetCallbackTag(); });
    }
    TRecordCountEvent GetOnRecordCount() override {
        return Guarded("GetOnRecordCount", [&] { return Inner->GetOnRecordCount(); });
    }
    TGetRecordEvent GetOnGetRecord() override {
        return Guarded("GetOnGetRecord", [&] { return Inner->GetOnGetRecord(); });
    }
    TNotifyEvent GetOnNotify() override {
        return Guarded("GetOnNotify", [&] { return Inner->GetOnNotify(); });
    }
    uint8_t GetMessageClass() override {
        return Guarded("GetMessageClass", [&] { return Inner->GetMessageClass(); });
    }
    void SetTestFlag(bool Value) override {
        return Guarded("SetTestFlag", [&] { return Inner->SetTestFlag(Value); });
    }
    void SetCallbackTag(int32_t Value) override {
        return Guarded("SetCallbackTag", [&] { return Inner->SetCallbackTag(Value); });
    }
    void SetOnRecordCount(TRecordCountEvent Value) override {
        return Guarded("SetOnRecordCount", [&] { return Inner->SetOnRecordCount(Value); });
    }
    void SetOnGetRecord(TGetRecordEvent Value) override {
        return Guarded("SetOnGetRecord", [&] { return Inner->SetOnGetRecord(Value); });
    }
    void SetOnNotify(TNotifyEvent Value) override {
        return Guarded("SetOnNotify", [&] { return Inner->SetOnNotify(Value); });
    }
    void SetMessageClass(uint8_t Value) override {
        return Guarded("SetMessageClass", [&] { return Inner->SetMessageClass(Value); });
    }
    void SetOptionValue(int32_t Value) override {
        return Guarded("SetOptionValue", [&] { return Inner->SetOptionValue(Value); });
    }
    uint8_t GetHandsetCode() override {
        return Guarded("GetHandsetCode", [&] { return Inner->GetHandsetCode(); });
    }
    void ReservedAbstract5() override {
        return Guarded("ReservedAbstract5", [&] { return Inner->ReservedAbstract5(); });
    }
    std::vector<std::string> BuildTestCommands(int32_t Action,
                                               const TCommandParams* Params) override {
        return Guarded("BuildTestCommands",
                       [&] { return Inner->BuildTestCommands(Action, Params); });
    }
    void Reserved3(int32_t Value) override {
        return Guarded("Reserved3", [&] { return Inner->Reserved3(Value); });
    }
    void CommitRecordFlag(int32_t Value) override {
        return Guarded("CommitRecordFlag", [&] { return Inner->CommitRecordFlag(Value); });
    }
    void Reserved4(int32_t Value) override {
        return Guarded("Reserved4", [&] { return Inner->Reserved4(Value); });
    }
    void Reserved5(int32_t Value) override {
        return Guarded("Reserved5", [&] { return Inner->Reserved5(Value); });
    }
    int32_t GetDataRate() override {
        return Guarded("GetDataRate", [&] { return Inner->GetDataRate(); });
    }
    void Reserved6(int32_t Value) override {
        return Guarded("Reserved6", [&] { return Inner->Reserved6(Value); });
    }

private:
    TDecoderPtr Inner;
};

}  // namespace

std::string DefaultPluginPath() {
    // The versioned file's link name (the SONAME) and the installed plug-in folder relative
    // to the installed program, both from the build; the defaults are those of a Linux build.
#ifndef N95_PLUGIN_FILE_NAME
#define N95_PLUGIN_FILE_NAME "libN95.so.0"
#endif
#ifndef N95_PLUGIN_DIR_FROM_BIN
#define N95_PLUGIN_DIR_FROM_BIN "../lib/n95"
#endif
    TSystemCalls& system = System();
    const std::string self = system.ProgramPath();
    const std::size_t separator = LastPathSeparator(self);
    if (separator == std::string::npos)
        return N95_PLUGIN_FILE_NAME;
    const std::string bin = self.substr(0, separator + 1);
    // Beside the program in the build folder; in an installed tree (wherever it was
    // unpacked), in the plug-in folder. A missing plug-in is reported at the first place.
    const std::string beside = bin + N95_PLUGIN_FILE_NAME;
    const std::string installed = bin + N95_PLUGIN_DIR_FROM_BIN "/" N95_PLUGIN_FILE_NAME;
    TFileInfo info;
    if (system.Status(beside, info) != 0 && system.Status(installed, info) == 0)
        return installed;
    return beside;
}

TPlugin::~TPlugin() {
    if (Handle != nullptr)
        System().UnloadModule(Handle);
}

bool TPlugin::Load(const std::string& path, std::string* error) {
    TSystemCalls& system = System();
    if (Handle != nullptr) {
        system.UnloadModule(Handle);
        Handle = nullptr;
    }
    LoadedPath = path;
    const std::string loadPath = HasFolder(path) ? path : "./" + path;
    std::string message;
    void* handle = system.LoadModule(loadPath, &message);
    if (handle == nullptr) {
        *error = "cannot load plug-in " + path + ": " + message;
        return false;
    }
    const auto bind = [&](const char* name, auto& slot) {
        void* symbol = system.ModuleSymbol(handle, name, &message);
        if (symbol == nullptr) {
            *error = "plug-in " + path + " does not export " + name + ": " + message;
            return false;
        }
        slot = reinterpret_cast<std::remove_reference_t<decltype(slot)>>(symbol);
        return true;
    };
    if (!bind("GetDeviceName", GetName) || !bind("GetDeviceType", GetType) ||
        !bind("GetDeviceFrequency", GetFrequency) || !bind("GetDllDevice", GetDevice)) {
        system.UnloadModule(handle);
        return false;
    }
    Handle = handle;
    return true;
}

void TPlugin::Identify() {
    std::string name;
    Guarded("GetDeviceName", [&] { GetName(name); });
    Type = Guarded("GetDeviceType", [&] { return GetType(); });
    Frequency = Guarded("GetDeviceFrequency", [&] { return GetFrequency(); });
    Name = std::move(name);
}

TDecoderPtr TPlugin::NewDecoder(THostPort* port, THostContext* context) const {
    THandSetDecode* decoder = Guarded("GetDllDevice", [&] { return GetDevice(port, context); });
    if (decoder == nullptr)
        throw EPluginError("the plug-in's GetDllDevice gave no decoder");
    TDecoderPtr owned(decoder);
    auto guarded = std::make_unique<TGuardedDecode>(owned.get());
    owned.release();
    return guarded;
}

}  // namespace n95::host
