// The N95 handset driver that the host receives from GetDllDevice.
//
// It keeps the host's port and context, switches the handset's binary trace on and off
// with AT commands, cuts the bytes the host hands to DecodeData into trace frames, decodes
// them in the testing state into record copies that the host collects, and tags positions
// from the host's GPS fixes.
//
// Ownership: the decoder owns its field store, current record, parser, record queue, frame
// log and watcher; the host owns the port, the context, the objects behind its callbacks,
// every record copy handed out (released through FreeRecord) and every string list returned.
//
// Threading: every operation runs on the host's calling thread, takes no lock and must not
// be called concurrently with another. The only other thread is the watcher, which reads
// the context pointer and the fix count through GetContext() and FixCountForWatcher(),
// both atomic.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "decoder/DecodeInterfaces.h"
#include "decoder/MSWatcher.h"
#include "platform/Env.h"
#include "records/TestDataBox.h"
#include "trace/FrameLog.h"
#include "trace/NokiaBryParse.h"
#include "trace/PositionTagger.h"
#include "trace/RateMeter.h"
#include "trace/Throttle.h"

class TNokiaMSN95Decode : public THandSetDecode {
public:
    static constexpr uint8_t kHandsetCode = 24;
    static constexpr uint8_t kDeviceKind = 2;
    static constexpr uint8_t kRecordKind = 2;
    // 50 s as a day fraction: the double nearest to 50/86400 (bits 0x3F42F684BDA12F68).
    static constexpr double kTraceLimit = 0.0005787037037037037;
    static constexpr std::size_t kDecodeStateSize = 45;

    // The port and context are stored, not owned. The port is not touched here.
    TNokiaMSN95Decode(THostPort* Port, THostContext* Context);
    ~TNokiaMSN95Decode() override;
    TNokiaMSN95Decode(const TNokiaMSN95Decode&) = delete;
    TNokiaMSN95Decode& operator=(const TNokiaMSN95Decode&) = delete;

    // TVirtualDecode
    bool GetConnected() override;
    bool GetOptionFlag() override;
    TOptionRecord GetOptionRecord() override;
    THostContext* GetContext() override;
    TGpsPoint GetPosition() override;
    std::string GetLogFileName() override;
    uint8_t GetState() override;
    int32_t GetStatusValue() override;
    bool GetLogEnabled() override;
    THostPort* GetPort() override;
    void SetOptionFlag(bool Value) override;
    void SetOptionRecord(const TOptionRecord& Value) override;
    void SetContext(THostContext* Value) override;
    void SetPosition(const TGpsPoint& Value) override;
    void SetLogFileName(const std::string& Name) override;
    void SetState(uint8_t Value) override;
    void SetStatusValue(int32_t Value) override;
    void SetLogEnabled(bool Value) override;
    void SetPort(THostPort* Value) override;
    void DecodeData(const void* Buffer, int32_t Count, std::string& Text) override;
    void Connect(bool SkipHandshake) override;
    void Disconnect() override;
    void StopDecoding() override;
    void StartTest() override;
    void RestartTest() override;
    void StopTest() override;
    void Reserved1(int32_t A, int32_t B) override;
    void Reserved2(int32_t A, int32_t B) override;

    // TDeviceDecode
    bool GetRecordsReady() override;
    bool GetPositionUpdated() override;
    int32_t GetRecordBase() override;
    void SetRecordBase(int32_t Value) override;
    uint8_t GetDeviceKind() override;
    void ReservedAbstract1() override;
    bool FreeRecord(int32_t Index) override;
    int32_t GetLastTaggedIndex() override;
    TTestRecord* GetRecord(int32_t Index) override;
    bool ClearRecords() override;
    int32_t GetRecordCount() override;
    void Reconnect() override;
    bool Unsupported1() override;
    bool Unsupported2() override;
    bool Unsupported3() override;
    void ReservedAbstract2() override;
    void UpdatePosition(const TGpsPoint& P) override;
    void ReservedAbstract3() override;

    // THandSetDecode
    void ReservedAbstract4() override;
    int32_t GetOptionValue() override;
    bool GetTestFlag() override;
    int32_t GetCallbackTag() override;
    TRecordCountEvent GetOnRecordCount() override;
    TGetRecordEvent GetOnGetRecord() override;
    TNotifyEvent GetOnNotify() override;
    uint8_t GetMessageClass() override;
    void SetTestFlag(bool Value) override;
    void SetCallbackTag(int32_t Value) override;
    void SetOnRecordCount(TRecordCountEvent Value) override;
    void SetOnGetRecord(TGetRecordEvent Value) override;
    void SetOnNotify(TNotifyEvent Value) override;
    void SetMessageClass(uint8_t Value) override;
    void SetOptionValue(int32_t Value) override;
    uint8_t GetHandsetCode() override;
    void ReservedAbstract5() override;
    std::vector<std::string> BuildTestCommands(int32_t Action,
                                               const TCommandParams* Params) override;
    void Reserved3(int32_t Value) override;
    void CommitRecordFlag(int32_t Value) override;
    void Reserved4(int32_t Value) override;
    void Reserved5(int32_t Value) override;
    int32_t GetDataRate() override;
    void Reserved6(int32_t Value) override;

    // For the watcher thread: the fix count of the last accepted fix (0 = none yet).
    int32_t FixCountForWatcher() const;
    // Whether a watcher thread currently runs (tests).
    bool HasWatcher() const { return Watcher != nullptr; }
    // The record the field store fills (tests).
    TTestRecord* CurrentRecordForTesting() { return CurrentRecord.get(); }

private:
    struct FreeRecordDeleter {
        void operator()(TTestRecord* rec) const;
    };

    static void HandleFrameThunk(void* self, void* sender, const TNokiaBrySrc& src);
    static void WatcherHandler(void* self, TMSWatcher* sender);

    void PortWriteText(const std::string& text);
    void SwitchTrace(bool on);
    void ConfigurePort();
    void RestartSequence();
    void StopWatcher();
    void HandleFrame(const std::string& frame);
    void CheckTrace();
    bool DecodeFrame(const std::string& frame);
    void ClassifyMessage(uint32_t messageCode);
    TDateTime TimeStamp();
    void ReleaseRecordAndStore();

    n95::Env* const Env;

    std::unique_ptr<THandsetFields> FieldStore;
    std::unique_ptr<TTestRecord, FreeRecordDeleter> CurrentRecord;
    std::unique_ptr<TNokiaBryParse> Parser;
    std::string DecodedText;
    THostPort* Port = nullptr;
    uint8_t RunState = rsIdle;  // a TRunState, or any byte the host set
    bool RecordsReady = false;
    bool LogEnabled = false;
    int32_t QueuedCount = 0;
    bool Connected = false;
    bool OptionFlag = false;
    TOptionRecord OptionRecord{0, 0};
    TDateTime TraceOnTime = 0.0;
    std::atomic<THostContext*> Context{nullptr};
    // Total bytes of every frame delivered, in any state. Unsigned so that it wraps
    // (about every 13 hours at full serial speed) without undefined behaviour; the rate
    // meter subtracts modulo 2^32.
    uint32_t ByteCount = 0;
    n95::TRateMeter RateMeter;
    bool TestFlag = false;
    uint8_t MessageClass = 0;
    int32_t StatusValue = 0;
    TNotifyEvent OnNotify;
    std::string LogFileName;
    n95::TFrameLog LogFile;       // the frame is written straight from the parser's delivered frame
    bool LogWritten = false;      // a line was written during the current DecodeData call
    n95::TPositionTagger Tagger;  // CurrentFix, FixCount, TaggedCount, PositionUpdated,
                                  // RecordBase, CallbackTag and the two record callbacks
    TTstDataBox RecordQueue;
    std::unique_ptr<TMSWatcher> Watcher;
    int32_t OptionValue = 0;
    alignas(8) uint8_t DecodeState[kDecodeStateSize] = {};
    n95::TThrottle Throttle;
};
