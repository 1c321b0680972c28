#include "decoder/NokiaMSN95Decode.h"

#include <exception>
#include <new>

#include "control/TestCommands.h"
#include "records/DataAccessAPIUnit.h"
#include "trace/MessageClass.h"

namespace {

constexpr uint32_t kLinePause = 50;         // ms between AT lines
constexpr uint32_t kDisconnectPause = 100;  // ms
constexpr uint32_t kPurgePause = 20;        // ms in StopTest and Reconnect

// The three settings ConfigurePort gives the host's port before the trace is switched on.
// Their meaning is undocumented: the port interface knows them only by number, and the
// plug-in passes these values without reading anything back.
constexpr uint8_t kPortSetting1 = 16;
constexpr int32_t kPortSetting2 = 10;
constexpr int32_t kPortSetting3 = 10;

const std::string kEchoOff = "ATE0\r";
const std::string kTestSystemOff = "AT*NTESTSYSTEM=0\r";

}  // namespace

void TNokiaMSN95Decode::FreeRecordDeleter::operator()(TTestRecord* rec) const {
    FreeTestRecord(rec);
}

// A constructor that fails half-way (out of memory, no field store) releases what it built,
// in the destructor's order: the record first, then the store lets go of it and goes.
TNokiaMSN95Decode::TNokiaMSN95Decode(THostPort* Port, THostContext* Context)
    : Env(n95::CurrentEnv()) {
    Connected = IsReplaying(Context);
    LogEnabled = false;
    ByteCount = 0;
    RunState = rsIdle;
    try {
        FieldStore.reset(NewHandsetFieldsInstance());
        if (FieldStore == nullptr)
            throw std::bad_alloc();
        CurrentRecord.reset(NewTestRecord(kRecordKind));
        FieldStore->SetRecord(CurrentRecord.get());
        Parser = std::make_unique<TNokiaBryParse>(this);
        Parser->SetOnParsed(TParsedEvent{&TNokiaMSN95Decode::HandleFrameThunk, this});
    } catch (...) {
        ReleaseRecordAndStore();
        throw;
    }
    this->Context.store(Context, std::memory_order_release);
    this->Port = Port;
    RecordsReady = false;
}

// The log closes itself last (its destructor flushes and never throws); record copies still
// queued belong to the host, which releases them with FreeRecord.
TNokiaMSN95Decode::~TNokiaMSN95Decode() {
    StopWatcher();
    ReleaseRecordAndStore();
    if (Parser)
        Parser->SetOnParsed(TParsedEvent{});
    Parser.reset();
}

void TNokiaMSN95Decode::ReleaseRecordAndStore() {
    CurrentRecord.reset();
    if (FieldStore)
        FieldStore->SetRecord(nullptr);
    FieldStore.reset();
}

// ---- Stored values -------------------------------------------------------------------------

bool TNokiaMSN95Decode::GetConnected() {
    return Connected;
}
bool TNokiaMSN95Decode::GetOptionFlag() {
    return OptionFlag;
}
TOptionRecord TNokiaMSN95Decode::GetOptionRecord() {
    return OptionRecord;
}
THostContext* TNokiaMSN95Decode::GetContext() {
    return Context.load(std::memory_order_acquire);
}
TGpsPoint TNokiaMSN95Decode::GetPosition() {
    return Tagger.CurrentFix;
}
std::string TNokiaMSN95Decode::GetLogFileName() {
    return LogFileName;
}
uint8_t TNokiaMSN95Decode::GetState() {
    return RunState;
}
int32_t TNokiaMSN95Decode::GetStatusValue() {
    return StatusValue;
}
bool TNokiaMSN95Decode::GetLogEnabled() {
    return LogEnabled;
}
THostPort* TNokiaMSN95Decode::GetPort() {
    return Port;
}
void TNokiaMSN95Decode::SetOptionFlag(bool Value) {
    OptionFlag = Value;
}
void TNokiaMSN95Decode::SetOptionRecord(const TOptionRecord& Value) {
    OptionRecord = Value;
}
void TNokiaMSN95Decode::SetContext(THostContext* Value) {
    Context.store(Value, std::memory_order_release);
}
void TNokiaMSN95Decode::SetPosition(const TGpsPoint& Value) {
    Tagger.CurrentFix = Value;
}
void TNokiaMSN95Decode::SetState(uint8_t Value) {
    RunState = Value;
}
void TNokiaMSN95Decode::SetStatusValue(int32_t Value) {
    StatusValue = Value;
}
void TNokiaMSN95Decode::SetPort(THostPort* Value) {
    Port = Value;
}
void TNokiaMSN95Decode::Reserved1(int32_t, int32_t) {}
void TNokiaMSN95Decode::Reserved2(int32_t, int32_t) {}

bool TNokiaMSN95Decode::GetRecordsReady() {
    return RecordsReady;
}
bool TNokiaMSN95Decode::GetPositionUpdated() {
    return Tagger.PositionUpdated;
}
int32_t TNokiaMSN95Decode::GetRecordBase() {
    return Tagger.RecordBase;
}
void TNokiaMSN95Decode::SetRecordBase(int32_t Value) {
    Tagger.RecordBase = Value;
}
uint8_t TNokiaMSN95Decode::GetDeviceKind() {
    return kDeviceKind;
}
int32_t TNokiaMSN95Decode::GetLastTaggedIndex() {
    return Tagger.LastTaggedIndex();
}
// The three unsupported queries do nothing; they answer false so the host sees a defined value.
bool TNokiaMSN95Decode::Unsupported1() {
    return false;
}
bool TNokiaMSN95Decode::Unsupported2() {
    return false;
}
bool TNokiaMSN95Decode::Unsupported3() {
    return false;
}

int32_t TNokiaMSN95Decode::GetOptionValue() {
    return OptionValue;
}
bool TNokiaMSN95Decode::GetTestFlag() {
    return TestFlag;
}
int32_t TNokiaMSN95Decode::GetCallbackTag() {
    return Tagger.CallbackTag;
}
TRecordCountEvent TNokiaMSN95Decode::GetOnRecordCount() {
    return Tagger.OnRecordCount;
}
TGetRecordEvent TNokiaMSN95Decode::GetOnGetRecord() {
    return Tagger.OnGetRecord;
}
TNotifyEvent TNokiaMSN95Decode::GetOnNotify() {
    return OnNotify;
}
uint8_t TNokiaMSN95Decode::GetMessageClass() {
    return MessageClass;
}
void TNokiaMSN95Decode::SetTestFlag(bool Value) {
    TestFlag = Value;
}
void TNokiaMSN95Decode::SetCallbackTag(int32_t Value) {
    Tagger.CallbackTag = Value;
}
void TNokiaMSN95Decode::SetOnRecordCount(TRecordCountEvent Value) {
    Tagger.OnRecordCount = Value;
}
void TNokiaMSN95Decode::SetOnGetRecord(TGetRecordEvent Value) {
    Tagger.OnGetRecord = Value;
}
void TNokiaMSN95Decode::SetOnNotify(TNotifyEvent Value) {
    OnNotify = Value;
}
void TNokiaMSN95Decode::SetMessageClass(uint8_t Value) {
    if (MessageClass != Value)
        MessageClass = Value;
}
void TNokiaMSN95Decode::SetOptionValue(int32_t Value) {
    OptionValue = Value;
}
uint8_t TNokiaMSN95Decode::GetHandsetCode() {
    return kHandsetCode;
}
void TNokiaMSN95Decode::Reserved3(int32_t) {}
void TNokiaMSN95Decode::Reserved4(int32_t) {}
void TNokiaMSN95Decode::Reserved5(int32_t) {}
void TNokiaMSN95Decode::Reserved6(int32_t) {}

void TNokiaMSN95Decode::CommitRecordFlag(int32_t) {
    CurrentRecord->CommittedFlag = CurrentRecord->RecordFlag;
}

std::vector<std::string> TNokiaMSN95Decode::BuildTestCommands(int32_t Action,
                                                              const TCommandParams* Params) {
    const char* text = (Params != nullptr && Params->Text != nullptr) ? Params->Text : "";
    return MakeTestCommands(Action, text);
}

// The five operations that keep their places in the table but have no implementation.
void TNokiaMSN95Decode::ReservedAbstract1() {
    throw EAbstractError();
}
void TNokiaMSN95Decode::ReservedAbstract2() {
    throw EAbstractError();
}
void TNokiaMSN95Decode::ReservedAbstract3() {
    throw EAbstractError();
}
void TNokiaMSN95Decode::ReservedAbstract4() {
    throw EAbstractError();
}
void TNokiaMSN95Decode::ReservedAbstract5() {
    throw EAbstractError();
}

int32_t TNokiaMSN95Decode::FixCountForWatcher() const {
    return Tagger.FixCount();
}

// ---- Talking to the handset ----------------------------------------------------------------

// A failed send closes the port and is otherwise ignored: the sequence goes on, and the
// port's own state (IsOpen) is what tells the host.
void TNokiaMSN95Decode::PortWriteText(const std::string& text) {
    if (Port == nullptr || text.empty())
        return;
    try {
        Port->WriteData(text.data(), static_cast<int32_t>(text.size()));
    } catch (...) {
        Port->Close();
    }
}

void TNokiaMSN95Decode::SwitchTrace(bool on) {
    if (IsReplaying(GetContext()))
        return;  // no handset is attached during a replay
    if (on) {
        PortWriteText(kEchoOff);
        Env->Sleep(kLinePause);
        PortWriteText(GetTraceCommand(false));
        Env->Sleep(kLinePause);
        PortWriteText(GetTraceCommand(true));
    } else {
        PortWriteText(GetTraceCommand(false));
        Env->Sleep(kLinePause);
        PortWriteText(kTestSystemOff);
    }
}

void TNokiaMSN95Decode::ConfigurePort() {
    THostPort* port = GetPort();
    port->SetPortSetting1(kPortSetting1);
    port->SetPortSetting2(kPortSetting2);
    port->SetPortSetting3(kPortSetting3);
}

void TNokiaMSN95Decode::Connect(bool SkipHandshake) {
    if (SkipHandshake) {
        Connected = true;
        return;
    }
    Connected = false;
    TraceOnTime = Env->Now();
    SetState(rsAwaitingTrace);
    if (THostPort* port = GetPort(); port != nullptr) {
        if (!port->IsOpen())
            port->Open(true);
        ConfigurePort();
    }
    SwitchTrace(true);
}

void TNokiaMSN95Decode::Disconnect() {
    if (!IsReplaying(GetContext()))
        Env->Sleep(kDisconnectPause);
    RunState = rsIdle;
}

void TNokiaMSN95Decode::StopDecoding() {
    RunState = rsStopped;
}

void TNokiaMSN95Decode::StartTest() {
    StopDecoding();
    RunState = rsTesting;
    SetTestFlag(false);
    Tagger.ResetPositionState(GetContext() != nullptr);
    RecordsReady = false;
    StopWatcher();
    if (GetContext() == nullptr)
        return;  // no context: the test runs without a watcher
    Watcher = std::make_unique<TMSWatcher>(this, Env);
    Watcher->SetOnFixLag(TWatcherEvent{&TNokiaMSN95Decode::WatcherHandler, this});
}

void TNokiaMSN95Decode::RestartSequence() {
    if (Port != nullptr) {
        Port->PurgeInput();
        Port->PurgeOutput();
    }
    StartTest();
    SwitchTrace(true);
}

void TNokiaMSN95Decode::RestartTest() {
    QueuedCount = 0;
    Tagger.TaggedCount = 0;
    RestartSequence();
}

void TNokiaMSN95Decode::Reconnect() {
    if (Port != nullptr)
        Port->Close();
    Env->Sleep(kPurgePause);
    if (Port != nullptr)
        Port->Open(true);
    RestartSequence();
}

void TNokiaMSN95Decode::StopTest() {
    if (Port != nullptr) {
        Port->PurgeInput();
        Port->PurgeOutput();
    }
    RunState = rsStopped;
    Env->Sleep(kPurgePause);
    StopWatcher();
    Tagger.SkipPendingRecords();
    SwitchTrace(false);
}

// Stop wakes the thread, so destroying the watcher (which joins) waits for one check at most.
void TNokiaMSN95Decode::StopWatcher() {
    if (Watcher == nullptr)
        return;
    Watcher->Stop();
    Watcher.reset();
}

// The decoder's handler does nothing: a lagging position feed has no effect on its data.
void TNokiaMSN95Decode::WatcherHandler(void*, TMSWatcher*) {}

// ---- Record hand-over ----------------------------------------------------------------------

TTestRecord* TNokiaMSN95Decode::GetRecord(int32_t Index) {
    return RecordQueue.RecordAt(Index);
}

// The entry is cleared after its record is released, so a second FreeRecord or a later
// GetRecord of the same index finds nil instead of a released record.
bool TNokiaMSN95Decode::FreeRecord(int32_t Index) {
    FreeTestRecord(GetRecord(Index));
    RecordQueue.ClearEntry(Index);
    return true;
}

bool TNokiaMSN95Decode::ClearRecords() {
    bool result = RecordQueue.Clear();
    RecordsReady = false;
    return result;
}

int32_t TNokiaMSN95Decode::GetRecordCount() {
    return RecordsReady ? RecordQueue.RecordCount() : 0;
}

// ---- Frames --------------------------------------------------------------------------------

namespace {

// Flushes the frame log when a DecodeData call wrote to it, so a host that dies between two
// calls loses no logged frame. On the normal path a flush error reaches the host; while
// another error is already on its way out, that first error is the one the host sees.
class LogFlushGuard {
public:
    LogFlushGuard(n95::TFrameLog& log, const bool& written) : log_(log), written_(written) {}
    ~LogFlushGuard() noexcept(false) {
        if (!written_)
            return;
        if (std::uncaught_exceptions() > exceptions_) {
            try {
                log_.Flush();
            } catch (...) {
            }
        } else {
            log_.Flush();
        }
    }

private:
    n95::TFrameLog& log_;
    const bool& written_;
    int exceptions_ = std::uncaught_exceptions();
};

}  // namespace

void TNokiaMSN95Decode::DecodeData(const void* Buffer, int32_t Count, std::string& Text) {
    DecodedText.clear();
    LogWritten = false;
    if (Buffer != nullptr && Count > 0) {
        LogFlushGuard flush(LogFile, LogWritten);
        Parser->ParseBuffer(Buffer, Count);
    }
    Text.swap(DecodedText);  // the text is rebuilt from empty by the next call
}

void TNokiaMSN95Decode::HandleFrameThunk(void* self, void*, const TNokiaBrySrc& src) {
    static_cast<TNokiaMSN95Decode*>(self)->HandleFrame(src.Frame);
}

void TNokiaMSN95Decode::HandleFrame(const std::string& frame) {
    ByteCount += static_cast<uint32_t>(frame.size());
    switch (RunState) {
        case rsAwaitingTrace:
            CheckTrace();
            break;
        case rsTesting:
            DecodeFrame(frame);
            break;
        default:  // stopped and idle: counted only
            break;
    }
}

void TNokiaMSN95Decode::CheckTrace() {
    if (Env->Now() - TraceOnTime >= kTraceLimit) {
        RunState = rsStopped;  // too late: the trace is not confirmed
        return;
    }
    Connected = true;
    SetStatusValue(0);
    SetState(rsStopped);
}

// The host's time base; a decoder without a port falls back to the local clock.
TDateTime TNokiaMSN95Decode::TimeStamp() {
    return Port != nullptr ? Port->GetTimeStamp() : Env->Now();
}

bool TNokiaMSN95Decode::DecodeFrame(const std::string& frame) {
    if (!Throttle.Pass(frame, [this] { return TimeStamp(); }))
        return false;
    if (!Gain_WCDMA_Test_Point(kHandsetCode, frame, FieldStore.get(), DecodeState))
        return false;
    TTestRecord* rec = FieldStore->GetRecord();
    if (!IsTestRecord(rec))
        return false;  // a store that lost its record decodes nothing

    ClassifyMessage(rec->MessageCode);
    rec->TestTime = TimeStamp();
    rec->StampTime = TimeStamp();
    DecodedText += frame;

    if (TTestRecord* copy = CopyTestRecord(rec); copy != nullptr) {
        try {
            RecordQueue.AddRecord(copy);
        } catch (...) {
            FreeTestRecord(copy);
            throw;
        }
        ++QueuedCount;
        RecordsReady = true;
    }

    // Logging enabled while no file is open (the name was set to empty) writes nothing.
    if (LogEnabled && LogFile.IsOpen()) {
        LogWritten = true;
        LogFile.WriteLine(frame);
    }
    return true;
}

void TNokiaMSN95Decode::ClassifyMessage(uint32_t messageCode) {
    int messageClass = n95::MessageClassOf(n95::NormaliseMessageCode(messageCode));
    if (messageClass >= 0)
        SetMessageClass(static_cast<uint8_t>(messageClass));
}

// ---- Frame log and data rate ---------------------------------------------------------------

// A name that cannot be opened (or an old log that cannot be closed cleanly) leaves the
// decoder without a log: name empty, logging off. The error still reaches the host.
void TNokiaMSN95Decode::SetLogFileName(const std::string& Name) {
    if (Name == LogFileName)
        return;
    try {
        if (!LogFileName.empty())
            LogFile.Close();
        LogFileName = Name;
        if (!Name.empty())
            LogFile.Open(Name);
    } catch (...) {
        LogFileName.clear();
        LogEnabled = false;
        throw;
    }
}

void TNokiaMSN95Decode::SetLogEnabled(bool Value) {
    if (LogFileName.empty()) {
        Env->ShowMessage("Please Set the LogFileName First !!!");
        return;
    }
    LogEnabled = Value;
}

int32_t TNokiaMSN95Decode::GetDataRate() {
    return RateMeter.Sample(ByteCount, Env->Now());
}

// ---- Positions -----------------------------------------------------------------------------

void TNokiaMSN95Decode::UpdatePosition(const TGpsPoint& P) {
    Tagger.UpdatePosition(P, GetContext(), CurrentRecord.get());
}
