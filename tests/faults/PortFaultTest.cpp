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

// What a failing port write throws: the port belongs to the host, and any exception from it
// is a failed send.
enum class Throw { RuntimeError, Integer, BadAlloc };

std::function<void()> Thrower(Throw kind) {
    switch (kind) {
        case Throw::Integer:
            return [] { throw 5; };
        case Throw::BadAlloc:
            return [] { throw std::bad_alloc(); };
        case Throw::RuntimeError:
            break;
    }
    return [] { throw std::runtime_error("port write failed"); };
}

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
Outcome RunSequence(const Sequence& s, int failWrite, Throw kind) {
    Journal journal;
    JournalEnv env(&journal);
    ScopedEnv scoped(&env);
    RecordingPort port(&journal);
    port.Opened = true;
    TestContext context;
    TNokiaMSN95Decode d(&port, &context.Context);
    s.Prepare(d);
    journal.Clear();
    if (failWrite > 0)
        port.FailWriteNumbers = {failWrite};
    port.FailWith = Thrower(kind);
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
        const Outcome clean = RunSequence(s, 0, Throw::RuntimeError);
        const Lines lines = WritesOf(clean.Journal);
        ASSERT_GE(lines.size(), 2u);

        for (auto kind : {Throw::RuntimeError, Throw::Integer, Throw::BadAlloc}) {
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
        const Lines lines = WritesOf(RunSequence(s, 0, Throw::RuntimeError).Journal);

        Journal journal;
        JournalEnv env(&journal);
        ScopedEnv scoped(&env);
        // A closed port whose every write fails; it journals only the failures and the closes.
        class AlwaysFailing final : public NullHostPort {
        public:
            explicit AlwaysFailing(Journal* j) : j_(j) {}
            bool IsOpen() override { return false; }
            void WriteData(const void* b, int32_t n) override {
                j_->Add("WriteFailed:" + std::string(static_cast<const char*>(b), n));
                throw std::runtime_error("no line");
            }
            void Close() override { j_->Add("Close"); }

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
