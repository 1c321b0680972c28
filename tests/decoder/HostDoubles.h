// Host-side test doubles: a journal, a port that records every call into it, a host context
// with its own fix, and trace frame builders. Nothing here links the library, so a test that
// loads the plug-in as a real host can use them too.
#pragma once

#include <cstring>
#include <functional>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

#include "decoder/HostObjects.h"
#include "tests/support/NullHostPort.h"

namespace n95::test {

// A copy of a field of a packed struct. Test macros bind their arguments by reference, and a
// reference to a misaligned packed field is undefined behaviour (UBSan reports it).
template <typename T>
T Value(T v) {
    return v;
}

// One ordered record of what the decoder did to the outside world.
class Journal {
public:
    void Add(std::string entry) {
        std::lock_guard<std::mutex> lock(mutex_);
        entries_.push_back(std::move(entry));
    }
    std::vector<std::string> Entries() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return entries_;
    }
    void Clear() {
        std::lock_guard<std::mutex> lock(mutex_);
        entries_.clear();
    }

private:
    mutable std::mutex mutex_;
    std::vector<std::string> entries_;
};

// A port that journals every call. Writes are journalled as "Write:<bytes>". Time stamps
// come from TimeStamp, which a test sets; FailWrites makes every WriteData throw (the
// failed write is journalled as "WriteFailed:<bytes>"), FailWriteNumbers only the listed ones
// (counted from 1). A failing write throws what FailWith throws: a std::runtime_error unless
// the test sets another (the port belongs to the host, and any exception from it is a failed
// send).
class RecordingPort final : public NullHostPort {
public:
    explicit RecordingPort(Journal* journal) : journal_(journal) { TimeStamp = 46000.5; }

    bool IsOpen() override {
        journal_->Add("IsOpen");
        return Opened;
    }
    void SetPortSetting1(uint8_t v) override {
        journal_->Add("Setting1(" + std::to_string(v) + ")");
    }
    void SetPortSetting2(int32_t v) override {
        journal_->Add("Setting2(" + std::to_string(v) + ")");
    }
    void SetPortSetting3(int32_t v) override {
        journal_->Add("Setting3(" + std::to_string(v) + ")");
    }
    TDateTime GetTimeStamp() override {
        ++TimeStampReads;
        return TimeStamp;
    }
    void WriteData(const void* buffer, int32_t count) override {
        ++WriteCount;
        std::string bytes(static_cast<const char*>(buffer), static_cast<std::size_t>(count));
        bool fail = FailWrites;
        for (int n : FailWriteNumbers)
            fail = fail || n == WriteCount;
        if (fail) {
            journal_->Add("WriteFailed:" + bytes);
            FailWith();
        }
        journal_->Add("Write:" + bytes);
    }
    void WriteDataAlt(const void*, int32_t) override { journal_->Add("WriteAlt"); }
    void Open(bool v) override {
        journal_->Add(std::string("Open(") + (v ? "1" : "0") + ")");
        Opened = true;
    }
    void Close() override {
        journal_->Add("Close");
        Opened = false;
    }
    void PurgeInput() override { journal_->Add("PurgeInput"); }
    void PurgeOutput() override { journal_->Add("PurgeOutput"); }

    bool Opened = false;
    bool FailWrites = false;
    std::vector<int> FailWriteNumbers;
    int WriteCount = 0;
    std::function<void()> FailWith = [] { throw std::runtime_error("port write failed"); };
    int TimeStampReads = 0;

private:
    Journal* journal_;
};

// A host context with its own fix counter and current fix.
struct TestContext {
    explicit TestContext(const char* replayName = "") {
        Context.HostData = nullptr;
        Context.ReplayName = replayName;
        Context.HostValue1 = Context.HostValue2 = 0;
        Context.FixCounter = &FixCounter;
        Context.CurrentFix = &Fix;
    }
    int32_t FixCounter = 0;
    TGpsPoint Fix{0.0, 0.0, 0.0};
    THostContext Context{};
};

// Builds one long-header trace frame: message bytes b0..b2, form 0x01, four extension
// bytes, big-endian length, payload.
inline std::string MakeFrame(uint8_t b0, uint8_t b1, uint8_t b2, const std::string& payload) {
    std::string f;
    f += static_cast<char>(b0);
    f += static_cast<char>(b1);
    f += static_cast<char>(b2);
    f += '\x01';
    f += std::string(4, '\0');
    f += static_cast<char>((payload.size() >> 8) & 0xFF);
    f += static_cast<char>(payload.size() & 0xFF);
    f += payload;
    return f;
}

// A payload whose first four bytes carry `code` big-endian (the stand-in decoder's message code).
inline std::string CodePayload(uint32_t code, std::size_t extra = 4) {
    std::string p;
    for (int shift = 24; shift >= 0; shift -= 8)
        p += static_cast<char>((code >> shift) & 0xFF);
    for (std::size_t i = 0; i < extra; ++i)
        p += static_cast<char>('a' + i % 26);
    return p;
}

}  // namespace n95::test
