// The handset's port when the system or the line misbehaves: calls that fail (through
// TFaultySystemCalls) and lines that say what only real hardware says (TLineSystemCalls),
// over a pseudo-terminal or a FIFO.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <memory>
#include <optional>

#include "host/common/FaultySystemCalls.h"
#include "host/devices/SerialPort.h"
#include "tests/host/HostTestSupport.h"
#include "tests/host/LineSystemCalls.h"

namespace n95::host {
namespace {

using TCall = TSystemCalls::TCall;
using TStatus = TSerialPort::TReadStatus;
using n95::test::Contains;
using n95::test::Pty;
using n95::test::TLineSystemCalls;

enum class TLineKind { Pty, Fifo, DevNull };

// A call of `Kind` to fail (the n-th, with errno `Errno`); none when N is 0.
struct TFault {
    TCall Kind = TCall::Count;
    uint64_t N = 0;
    int Errno = 0;
};

// The other end of the port: the handset on a pseudo-terminal's master, or a writer of a FIFO.
class TLine {
public:
    TLine(TLineKind kind, const std::string& dir) : Kind(kind) {
        if (kind == TLineKind::Pty) {
            Terminal = std::make_unique<Pty>();
            Path = Terminal->Slave;
        } else if (kind == TLineKind::Fifo) {
            Path = dir + "/line";
            if (mkfifo(Path.c_str(), 0600) == 0)
                Writer = open(Path.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
        } else {
            Path = "/dev/null";
        }
    }
    ~TLine() {
        if (Writer >= 0) {
            close(Writer);
            unlink(Path.c_str());
        }
    }
    void Write(const std::string& bytes) const {
        if (Terminal) {
            Terminal->Write(bytes);
        } else if (Writer >= 0) {
            ASSERT_EQ(write(Writer, bytes.data(), bytes.size()),
                      static_cast<ssize_t>(bytes.size()));
        }
    }
    std::string Read(std::size_t size) const { return Terminal ? Terminal->Read(size, 100) : ""; }

    TLineKind Kind;
    std::string Path;
    std::unique_ptr<Pty> Terminal;
    int Writer = -1;
};

class SerialPortLineTest : public n95::test::ScratchDirTest {
protected:
    // The double stack: faults first, then what the line says, then the system.
    void Install(const TFault& fault, const TLineSystemCalls::TScript& script = {}) {
        Installed.reset();
        Line.Start(script);
        Faulty = std::make_unique<TFaultySystemCalls>(Line);
        if (fault.N > 0)
            Faulty->FailAt(fault.Kind, fault.N, fault.Errno);
        Installed = std::make_unique<TScopedSystemCalls>(Faulty.get());
    }
    void TearDown() override {
        Installed.reset();
        ScratchDirTest::TearDown();
    }

    TLineSystemCalls Line;
    std::unique_ptr<TFaultySystemCalls> Faulty;
    std::unique_ptr<TScopedSystemCalls> Installed;
};

// `text` with PATH standing for `path`.
std::string WithPath(std::string text, const std::string& path) {
    if (const std::size_t at = text.find("PATH"); at != std::string::npos)
        text.replace(at, 4, path);
    return text;
}

TSerialOptions Quick() {
    TSerialOptions options;
    options.IdleGapMs = 20;
    options.WriteTimeoutMs = 200;
    return options;
}

TEST_F(SerialPortLineTest, OpenReportsEveryFailingStep) {
    struct Case {
        const char* Name;
        TLineKind Kind;
        TFault Fault;
        std::optional<TFileKind> Seen;  // what Status reports the device to be
        std::string Message;            // "" = it opens
        bool Terminal = true;           // when it opens
    };
    const TLineKind pty = TLineKind::Pty, fifo = TLineKind::Fifo, null = TLineKind::DevNull;
    const std::string eio = "PATH: Input/output error";
    const std::vector<Case> cases = {
        {"open refused", pty, {TCall::Open, 1, EACCES}, {}, "PATH: Permission denied"},
        {"name too long", pty, {TCall::Open, 1, ENAMETOOLONG}, {}, "PATH: File name too long"},
        {"the open port cannot be looked at", pty, {TCall::StatusOf, 1, EIO}, {}, eio},
        {"a disk", pty, {}, TFileKind::BlockDevice, "it is a block device (a disk)"},
        {"a device without locks", pty, {TCall::LockExclusive, 1, ENOLCK}, {}, ""},
        {"the lock fails", pty, {TCall::LockExclusive, 1, EIO}, {}, "cannot lock " + eio},
        // A terminal that answers oddly is not taken for a device that is none.
        {"an unclear answer to the kind check", pty, {TCall::IsTerminal, 1, EIO}, {}, ""},
        {"the terminal cannot be asked", pty, {TCall::IsTerminal, 2, EIO}, {}, "configure " + eio},
        {"raw mode fails", pty, {TCall::MakeRawTerminal, 1, EIO}, {}, "configure " + eio},
        {"no terminal, by EINVAL", null, {TCall::IsTerminal, 1, EINVAL}, {}, "not a terminal"},
        {"a FIFO is used as it is", fifo, {}, {}, "", false},
        {"a FIFO that says EINVAL", fifo, {TCall::IsTerminal, 1, EINVAL}, {}, "", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        TLine line(c.Kind, Dir);
        const std::string message = WithPath(c.Message, line.Path);
        Install(c.Fault, {0, 0, 0, c.Seen});
        TSerialPort port(line.Path, Quick());
        std::string error;
        const bool opened = port.OpenPort(&error);
        EXPECT_EQ(opened, message.empty()) << error;
        EXPECT_EQ(port.IsOpen(), opened);
        if (opened) {
            EXPECT_EQ(port.IsTerminal(), c.Terminal);
            EXPECT_TRUE(port.OpenPort(&error)) << "open already";
            continue;
        }
        EXPECT_TRUE(Contains(error, message)) << error;
        EXPECT_TRUE(Contains(error, line.Path)) << error;
        EXPECT_EQ(port.LastError(), error);
        if (c.Seen) {
            EXPECT_EQ(Faulty->Calls(TCall::Open), 0u) << "a disk is not even opened";
        }
        // What was opened was closed (and its lock with it): the next try opens.
        Installed.reset();
        if (c.Kind == TLineKind::Pty) {
            EXPECT_TRUE(port.OpenPort(&error)) << error;
        }
    }
}

TEST_F(SerialPortLineTest, ReadBurstReportsWhatTheLineSays) {
    using TScript = TLineSystemCalls::TScript;
    struct TRead {
        TStatus Status;
        std::string Chunk;
    };
    struct Case {
        const char* Name;
        TLineKind Kind;
        TFault Fault;
        TScript Script;
        TRead First, Second;  // the handset has sent "abc" before them
        std::string Error;    // in LastError after the two reads; "" = none
        int MaxBurstMs = 250;
        bool Quiet = false;  // the handset sends nothing
    };
    const TLineKind pty = TLineKind::Pty, fifo = TLineKind::Fifo;
    const TRead idle{TStatus::Idle, ""}, lost{TStatus::Lost, ""}, end{TStatus::End, ""},
        data{TStatus::Data, "abc"};
    const std::string eio = "PATH hung up (input/output error)";
    const std::vector<Case> cases = {
        {"poll fails", pty, {TCall::Poll, 1, EIO}, {}, lost, lost, "PATH: Input/output error"},
        {"poll interrupted", pty, {TCall::Poll, 1, EINTR}, {}, idle, data, ""},
        {"descriptor not open", pty, {}, {1, kPollInvalid}, lost, lost, "PATH is not open"},
        {"error condition", pty, {}, {1, kPollError}, lost, lost, "PATH failed (error condition"},
        {"terminal hangs up", pty, {}, {1, kPollHangUp}, lost, lost, "PATH hung up"},
        {"FIFO hangs up", fifo, {}, {1, kPollHangUp}, end, end, ""},
        {"read fails with EIO", pty, {TCall::Read, 1, EIO}, {}, lost, lost, eio},
        {"read refused", pty, {TCall::Read, 1, EACCES}, {}, lost, lost, "PATH: Permission denied"},
        {"terminal at its end", pty, {}, {0, 0, 1}, lost, lost, "PATH hung up"},
        {"FIFO at its end", fifo, {}, {0, 0, 1}, end, end, ""},
        // Bytes read before a failure come first; the failure with the next read.
        {"read fails after bytes", pty, {TCall::Read, 2, EIO}, {}, data, lost, eio},
        {"FIFO ends after bytes", fifo, {}, {0, 0, 2}, data, end, ""},
        {"hang-up after bytes", pty, {}, {2, kPollHangUp}, data, lost, "PATH hung up"},
        // A failing or interrupted wait within a burst ends the burst, nothing more.
        {"poll fails within a burst", pty, {TCall::Poll, 2, EIO}, {}, data, idle, ""},
        {"poll interrupted within a burst", pty, {TCall::Poll, 2, EINTR}, {}, data, idle, ""},
        {"woken with nothing to read", pty, {}, {1, kPollIn}, idle, idle, "", 250, true},
        {"no time left for a pause", pty, {TCall::Read, 1, EAGAIN}, {}, idle, data, "", 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        TLine line(c.Kind, Dir);
        TSerialOptions options = Quick();
        options.MaxBurstMs = c.MaxBurstMs;
        TSerialPort port(line.Path, options);
        std::string error;
        ASSERT_TRUE(port.OpenPort(&error)) << error;
        line.Write(c.Quiet ? "" : "abc");
        Install(c.Fault, c.Script);
        std::string chunk;
        for (const TRead& expected : {c.First, c.Second}) {
            EXPECT_EQ(port.ReadBurst(chunk, 200), expected.Status);
            EXPECT_EQ(chunk, expected.Chunk);
        }
        const std::string message = WithPath(c.Error, line.Path);
        if (message.empty()) {
            EXPECT_EQ(port.LastError(), "");
        } else {
            EXPECT_TRUE(Contains(port.LastError(), message)) << port.LastError();
        }
        Installed.reset();
    }
}

TEST_F(SerialPortLineTest, WriteDataFailsAsTheLineFails) {
    struct Case {
        const char* Name;
        std::size_t Size;  // bytes to write; nobody reads them while they are written
        TFault Fault;
        int PollAt;  // this poll finds PollFound at once (0: none)
        short PollFound;
        std::string Error;       // what the write fails with; "" = all arrive
        bool PollAgain = false;  // and every poll after it
    };
    constexpr std::size_t kFull = 1 << 20;  // far more than the terminal holds
    const std::vector<Case> cases = {
        {"the line fails", 1000, {TCall::Write, 1, EIO}, 0, 0, "PATH: Input/output error"},
        {"no room for a moment", 1000, {TCall::Write, 1, EAGAIN}, 0, 0, ""},
        {"a wait interrupted", kFull, {TCall::Poll, 1, EINTR}, 0, 0, "took no byte for 200 ms"},
        {"the wait fails", kFull, {TCall::Poll, 1, ENOMEM}, 0, 0, "Cannot allocate memory"},
        {"hung up while full", kFull, {}, 1, kPollHangUp, "PATH: the line hung up"},
        {"hung up but writable", kFull, {}, 1, kPollHangUp | kPollOut, "took no byte"},
        // A driver that always says it takes more and takes nothing: the time-out still ends
        // the write.
        {"said writable, full", kFull, {}, 1, kPollOut, "took no byte for 200 ms", true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        TLine line(TLineKind::Pty, Dir);
        TSerialPort port(line.Path, Quick());
        std::string error;
        ASSERT_TRUE(port.OpenPort(&error)) << error;
        Install(c.Fault, {c.PollAt, c.PollFound, 0, {}, c.PollAgain});
        std::string bytes(c.Size, '\0');
        for (std::size_t i = 0; i < bytes.size(); ++i)
            bytes[i] = static_cast<char>('a' + i % 26);
        const std::string message = WithPath(c.Error, line.Path);
        if (message.empty()) {
            EXPECT_NO_THROW(port.WriteData(bytes.data(), static_cast<int32_t>(bytes.size())));
            EXPECT_EQ(line.Read(bytes.size() + 1), bytes);
            EXPECT_EQ(port.LastError(), "");
        } else {
            EXPECT_THROW(port.WriteData(bytes.data(), static_cast<int32_t>(bytes.size())),
                         TPortError);
            EXPECT_TRUE(Contains(port.LastError(), message)) << port.LastError();
            // What the line took arrived whole and in order, and not all of it did.
            const std::string arrived = line.Read(bytes.size());
            EXPECT_LT(arrived.size(), bytes.size());
            EXPECT_TRUE(bytes.compare(0, arrived.size(), arrived) == 0);
        }
        Installed.reset();
    }
    // A negative count writes nothing.
    TLine line(TLineKind::Pty, Dir);
    TSerialPort port(line.Path, Quick());
    std::string error;
    ASSERT_TRUE(port.OpenPort(&error)) << error;
    EXPECT_NO_THROW(port.WriteData("x", -1));
    EXPECT_EQ(line.Read(1), "");
}

// A port that is closed, or no terminal, has nothing to read, purge or reopen.
TEST_F(SerialPortLineTest, ClosedPortsAndFifosTakeNoTerminalCalls) {
    Install({});
    TLine fifo(TLineKind::Fifo, Dir);
    TSerialPort port(fifo.Path, Quick());
    std::string chunk;
    EXPECT_EQ(port.ReadBurst(chunk, 0), TStatus::Lost);
    EXPECT_EQ(port.LastError(), fifo.Path + " is closed");
    port.PurgeInput();
    port.PurgeOutput();
    std::string error;
    ASSERT_TRUE(port.OpenPort(&error)) << error;
    EXPECT_FALSE(port.IsTerminal());
    port.PurgeInput();
    port.PurgeOutput();
    EXPECT_EQ(Faulty->Calls(TCall::FlushTerminal), 0u);

    TLine pty(TLineKind::Pty, Dir);
    TSerialPort terminal(pty.Path, Quick());
    ASSERT_TRUE(terminal.OpenPort(&error)) << error;
    pty.Write("old");
    terminal.WriteData("unsent", 6);
    terminal.PurgeOutput();
    terminal.PurgeInput();
    EXPECT_EQ(Faulty->Calls(TCall::FlushTerminal), 2u);

    // A port whose open failed keeps that reason when it is read.
    TSerialPort missing(Path("missing"), Quick());
    EXPECT_FALSE(missing.OpenPort(&error));
    EXPECT_EQ(missing.ReadBurst(chunk, 0), TStatus::Lost);
    EXPECT_EQ(missing.LastError(), error);
}

}  // namespace
}  // namespace n95::host
