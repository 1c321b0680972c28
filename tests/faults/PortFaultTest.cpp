// A host port that fails on one write of an AT sequence, for every write of every sequence in
// turn: the decoder closes the port right after the failed write, the rest of the sequence
// runs exactly as it would have, and the writes that reached the port are the expected lines
// minus the failed one.
#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "decoder/NokiaMSN95Decode.h"
#include "tests/decoder/DecoderTestSupport.h"

namespace n95::test {
namespace {

using Lines = std::vector<std::string>;

// Journals like RecordingPort, but its failing write throws whatever the test asks for: the
// port belongs to the host, and any exception from it is a failed send.
class ThrowingPort final : public THostPort {
public:
    enum class Throw { RuntimeError, Integer, BadAlloc };

    explicit ThrowingPort(Journal* journal) : journal_(journal) {}

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
    TDateTime GetTimeStamp() override { return 46000.5; }
    void WriteData(const void* buffer, int32_t count) override {
        const std::string bytes(static_cast<const char*>(buffer), static_cast<std::size_t>(count));
        if (++Writes == FailWrite) {
            journal_->Add("WriteFailed:" + bytes);
            switch (Kind) {
                case Throw::RuntimeError:
                    throw std::runtime_error("port write failed");
                case Throw::Integer:
                    throw 5;
                case Throw::BadAlloc:
                    throw std::bad_alloc();
            }
        }
        journal_->Add("Write:" + bytes);
    }
    void WriteDataAlt(const void*, int32_t) override { journal_->Add("WriteAlt"); }
    void Open(bool) override {
        journal_->Add("Open");
        Opened = true;
    }
    void Close() override {
        journal_->Add("Close");
        Opened = false;
    }
    void PurgeInput() override { journal_->Add("PurgeInput"); }
    void PurgeOutput() override { journal_->Add("PurgeOutput"); }

    bool Opened = true;
    int Writes = 0;
    int FailWrite = 0;  // 0 = none
    Throw Kind = Throw::RuntimeError;

private:
    Journal* journal_;
};

struct Sequence {
    const char* Name;
    std::function<void(TNokiaMSN95Decode&)> Prepare;  // not journalled
    std::function<void(TNokiaMSN95Decode&)> Run;
};

const Sequence kSequences[] = {
    {"Connect", [](TNokiaMSN95Decode&) {}, [](TNokiaMSN95Decode& d) { d.Connect(false); }},
    {"StopTest", [](TNokiaMSN95Decode& d) { d.StartTest(); },
     [](TNokiaMSN95Decode& d) { d.StopTest(); }},
    {"RestartTest", [](TNokiaMSN95Decode& d) { d.StartTest(); },
     [](TNokiaMSN95Decode& d) { d.RestartTest(); }},
    {"Reconnect", [](TNokiaMSN95Decode& d) { d.StartTest(); },
     [](TNokiaMSN95Decode& d) { d.Reconnect(); }},
};

struct Outcome {
    Lines Journal;
    uint8_t State;
    bool Connected;
    bool Watcher;
};

// Runs one sequence on a fresh decoder whose port fails on write `failWrite` (0 = never).
Outcome RunSequence(const Sequence& s, int failWrite, ThrowingPort::Throw kind) {
    Journal journal;
    JournalEnv env(&journal);
    ScopedEnv scoped(&env);
    ThrowingPort port(&journal);
    TestContext context;
    TNokiaMSN95Decode d(&port, &context.Context);
    s.Prepare(d);
    journal.Clear();
    port.FailWrite = failWrite;
    port.Kind = kind;
    EXPECT_NO_THROW(s.Run(d)) << s.Name << " write " << failWrite;
    return Outcome{journal.Entries(), d.GetState(), d.GetConnected(), d.HasWatcher()};
}

Lines WritesOf(const Lines& journal) {
    Lines writes;
    for (const std::string& e : journal) {
        if (e.rfind("Write:", 0) == 0)
            writes.push_back(e.substr(6));
    }
    return writes;
}

TEST(PortFaultTest, EachFailedWriteClosesThePortAndTheSequenceGoesOn) {
    for (const Sequence& s : kSequences) {
        SCOPED_TRACE(s.Name);
        const Outcome clean = RunSequence(s, 0, ThrowingPort::Throw::RuntimeError);
        const Lines lines = WritesOf(clean.Journal);
        ASSERT_GE(lines.size(), 2u);

        for (auto kind : {ThrowingPort::Throw::RuntimeError, ThrowingPort::Throw::Integer,
                          ThrowingPort::Throw::BadAlloc}) {
            for (std::size_t k = 1; k <= lines.size(); ++k) {
                SCOPED_TRACE("failing write " + std::to_string(k) + ", exception kind " +
                             std::to_string(static_cast<int>(kind)));
                const Outcome failed = RunSequence(s, static_cast<int>(k), kind);

                // The journal is the clean one with the k-th write failed and a Close after it.
                Lines expected;
                std::size_t writes = 0;
                for (const std::string& e : clean.Journal) {
                    if (e.rfind("Write:", 0) == 0 && ++writes == k) {
                        expected.push_back("WriteFailed:" + e.substr(6));
                        expected.push_back("Close");
                    } else {
                        expected.push_back(e);
                    }
                }
                EXPECT_EQ(failed.Journal, expected);

                // What reached the handset: every line but the failed one, in order.
                Lines sent = lines;
                sent.erase(sent.begin() + static_cast<std::ptrdiff_t>(k - 1));
                EXPECT_EQ(WritesOf(failed.Journal), sent);

                EXPECT_EQ(failed.State, clean.State);
                EXPECT_EQ(failed.Connected, clean.Connected);
                EXPECT_EQ(failed.Watcher, clean.Watcher);
            }
        }
    }
}

// A port whose every write fails: one Close per line, and every line is still attempted.
TEST(PortFaultTest, EveryWriteFailingClosesOncePerLine) {
    for (const Sequence& s : kSequences) {
        SCOPED_TRACE(s.Name);
        const Lines lines = WritesOf(RunSequence(s, 0, ThrowingPort::Throw::RuntimeError).Journal);

        Journal journal;
        JournalEnv env(&journal);
        ScopedEnv scoped(&env);
        // A port that fails every write: FailWrite is moved on after each failure.
        class AlwaysFailing final : public THostPort {
        public:
            explicit AlwaysFailing(Journal* j) : j_(j) {}
            bool IsOpen() override { return false; }
            void SetPortSetting1(uint8_t) override {}
            void SetPortSetting2(int32_t) override {}
            void SetPortSetting3(int32_t) override {}
            TDateTime GetTimeStamp() override { return 0; }
            void WriteData(const void* b, int32_t n) override {
                j_->Add("WriteFailed:" + std::string(static_cast<const char*>(b), n));
                throw std::runtime_error("no line");
            }
            void WriteDataAlt(const void*, int32_t) override {}
            void Open(bool) override {}
            void Close() override { j_->Add("Close"); }
            void PurgeInput() override {}
            void PurgeOutput() override {}

        private:
            Journal* j_;
        } port(&journal);
        TestContext context;
        TNokiaMSN95Decode d(&port, &context.Context);
        s.Prepare(d);
        journal.Clear();
        ASSERT_NO_THROW(s.Run(d));

        Lines expected;
        for (const std::string& line : lines) {
            expected.push_back("WriteFailed:" + line);
            expected.push_back("Close");
        }
        Lines got;
        for (const std::string& e : journal.Entries()) {
            if (e.rfind("Sleep", 0) != 0)
                got.push_back(e);
        }
        // Reconnect closes the port before its sequence, as it always does.
        if (std::string(s.Name) == "Reconnect") {
            ASSERT_FALSE(got.empty());
            EXPECT_EQ(got.front(), "Close");
            got.erase(got.begin());
        }
        EXPECT_EQ(got, expected);
    }
}

}  // namespace
}  // namespace n95::test
