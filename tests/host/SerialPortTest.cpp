// The handset's port over a real pseudo-terminal: the test plays the handset on the master
// side, the port under test has the slave side.
#include "host/devices/SerialPort.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "control/TestCommands.h"
#include "host/formats/PcapCapture.h"
#include "host/formats/TraceFrame.h"
#include "host/session/DecoderSession.h"
#include "host/session/PluginHost.h"
#include "tests/host/HostTestSupport.h"

namespace n95::host {
namespace {

using TStatus = TSerialPort::TReadStatus;
using n95::test::Pty;

class SerialPortTest : public n95::test::ScratchDirTest {};

TSerialOptions Quick(int gapMs = 20) {
    TSerialOptions options;
    options.IdleGapMs = gapMs;
    return options;
}

// Reads bursts until `total` bytes came (or a read is idle for a second).
std::vector<std::string> Bursts(TSerialPort& port, std::size_t total) {
    std::vector<std::string> bursts;
    std::size_t got = 0;
    std::string chunk;
    while (got < total) {
        const TStatus status = port.ReadBurst(chunk, 1000);
        if (status != TStatus::Data)
            break;
        got += chunk.size();
        bursts.push_back(chunk);
    }
    return bursts;
}

TEST_F(SerialPortTest, RawModePassesEveryByteBothWays) {
    Pty pty;
    ASSERT_FALSE(pty.Slave.empty());
    TSerialPort port(pty.Slave, Quick());
    std::string error;
    ASSERT_TRUE(port.OpenPort(&error)) << error;
    EXPECT_TRUE(port.IsTerminal());
    // Every byte value, CR, LF, ^C, ^D, ^S, ^Q and DEL included: nothing is translated,
    // echoed, swallowed or turned into a signal.
    std::string all;
    for (int b = 0; b < 256; ++b)
        all.push_back(static_cast<char>(b));
    all += "\r\n\r\x03\x04\x11\x13\x7f";
    port.WriteData(all.data(), static_cast<int32_t>(all.size()));
    EXPECT_EQ(pty.Read(all.size()), all);
    pty.Write(all);
    std::string got;
    for (const std::string& burst : Bursts(port, all.size()))
        got += burst;
    EXPECT_EQ(got, all);
    // No echo came back to the handset.
    EXPECT_EQ(pty.Read(1, 100), "");
}

TEST_F(SerialPortTest, ReadBurstEndsAtAnIdleGapOrAtItsLimits) {
    struct Case {
        const char* Name;
        TSerialOptions Options;
        std::vector<std::string> Writes;  // "" = a pause of 400 ms
        std::vector<std::string> Bursts;  // expected
    };
    TSerialOptions gap = Quick(100);
    TSerialOptions bytes = Quick(100);
    bytes.MaxBurstBytes = 100;
    const std::string a(250, 'a');
    const std::vector<Case> cases = {
        {"gap", gap, {"ab", "cd", "", "ef"}, {"abcd", "ef"}},
        {"byte limit", bytes, {a}, {a.substr(0, 100), a.substr(100, 100), a.substr(200)}},
    };
    for (const Case& c : cases) {
        Pty pty;
        TSerialPort port(pty.Slave, c.Options);
        std::string error;
        ASSERT_TRUE(port.OpenPort(&error)) << error;
        std::thread writer([&] {
            for (const std::string& w : c.Writes) {
                if (w.empty())
                    std::this_thread::sleep_for(std::chrono::milliseconds(400));
                else
                    pty.Write(w);
            }
        });
        std::size_t total = 0;
        for (const std::string& w : c.Writes)
            total += w.size();
        const std::vector<std::string> bursts = Bursts(port, total);
        writer.join();
        EXPECT_EQ(bursts, c.Bursts) << c.Name;
    }
}

TEST_F(SerialPortTest, ALineThatIsNeverIdleIsCutByTime) {
    Pty pty;
    TSerialOptions options = Quick(100);
    options.MaxBurstMs = 100;
    TSerialPort port(pty.Slave, options);
    std::string error;
    ASSERT_TRUE(port.OpenPort(&error)) << error;
    // A byte every 10 ms for 600 ms: never 100 ms of silence.
    std::thread writer([&] {
        for (int i = 0; i < 60; ++i) {
            pty.Write(std::string(1, static_cast<char>('A' + i % 26)));
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    });
    const std::vector<std::string> bursts = Bursts(port, 60);
    writer.join();
    std::string all;
    for (const std::string& b : bursts)
        all += b;
    EXPECT_EQ(all.size(), 60u);
    EXPECT_GE(bursts.size(), 2u);
}

TEST_F(SerialPortTest, HangUpIsReportedAndTheSendsFail) {
    Pty pty;
    TSerialPort port(pty.Slave, Quick());
    std::string error;
    ASSERT_TRUE(port.OpenPort(&error)) << error;
    std::string chunk;
    EXPECT_EQ(port.ReadBurst(chunk, 0), TStatus::Idle);
    pty.HangUp();
    EXPECT_EQ(port.ReadBurst(chunk, 1000), TStatus::Lost);
    EXPECT_NE(port.LastError().find(pty.Slave + " hung up"), std::string::npos) << port.LastError();
    EXPECT_EQ(port.ReadBurst(chunk, 0), TStatus::Lost) << "it stays lost";
    EXPECT_TRUE(chunk.empty());
    const char line[] = "AT\r";
    EXPECT_THROW(port.WriteData(line, 3), TPortError);
    port.Close();
    EXPECT_FALSE(port.IsOpen());
    EXPECT_THROW(port.WriteData(line, 3), TPortError);
}

TEST_F(SerialPortTest, WriteDataWaitsForRoomAndWritesEverything) {
    Pty pty;
    TSerialPort port(pty.Slave, Quick());
    std::string error;
    ASSERT_TRUE(port.OpenPort(&error)) << error;
    // Far more than the terminal buffers, read slowly: the port must wait, not drop.
    std::string data(300000, '\0');
    for (std::size_t i = 0; i < data.size(); ++i)
        data[i] = static_cast<char>(i * 7 + i / 251);
    std::string received;
    std::thread reader([&] {
        while (received.size() < data.size()) {
            const std::string piece =
                pty.Read(std::min<std::size_t>(8192, data.size() - received.size()), 3000);
            if (piece.empty())
                break;
            received += piece;
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    });
    port.WriteData(data.data(), static_cast<int32_t>(data.size()));
    reader.join();
    EXPECT_TRUE(received == data) << received.size() << " of " << data.size();
}

TEST_F(SerialPortTest, WriteDataFailsWhenTheLineTakesNothing) {
    Pty pty;
    TSerialOptions options = Quick();
    options.WriteTimeoutMs = 200;
    TSerialPort port(pty.Slave, options);
    std::string error;
    ASSERT_TRUE(port.OpenPort(&error)) << error;
    const std::string data(1 << 20, 'x');  // nobody reads the master
    EXPECT_THROW(port.WriteData(data.data(), static_cast<int32_t>(data.size())), TPortError);
    EXPECT_NE(port.LastError().find("took no byte for 200 ms"), std::string::npos)
        << port.LastError();
}

TEST_F(SerialPortTest, OpenRefusesWhatIsNotAPort) {
    const std::string dir = Dir;
    n95::test::WriteFile(dir + "/plain", "x");
    Pty pty;
    TSerialOptions odd = Quick();
    odd.Baud = 12345;
    struct Case {
        std::string Path;
        TSerialOptions Options;
        std::string Message;
    };
    const std::vector<Case> cases = {
        {dir + "/missing", Quick(), "cannot open " + dir + "/missing: No such file"},
        // Whatever can be storage is refused before a byte is written to it, and so is a
        // character device that no terminal answers for.
        {dir + "/plain", Quick(), "it is a regular file, not a serial port"},
        {dir, Quick(), "cannot use " + dir + ": it is a folder"},
        {"/dev/null", Quick(),
         "cannot use /dev/null: it is a character device that is not a terminal"},
        {pty.Slave, odd, "12345 is not a supported baud rate"},
    };
    for (const Case& c : cases) {
        TSerialPort port(c.Path, c.Options);
        std::string error;
        EXPECT_FALSE(port.OpenPort(&error)) << c.Path;
        EXPECT_FALSE(port.IsOpen());
        EXPECT_NE(error.find(c.Message), std::string::npos) << error;
        EXPECT_EQ(port.LastError(), error);
    }
    // The plug-in's Open (Connect, Reconnect) cannot report: the port stays closed and
    // keeps the reason.
    TSerialPort missing(dir + "/missing", Quick());
    missing.Open(true);
    EXPECT_FALSE(missing.IsOpen());
    EXPECT_NE(missing.LastError().find("cannot open " + dir + "/missing"), std::string::npos);

    // A port is one run's while it is open, whatever name it is opened by.
    {
        TSerialPort first(pty.Slave, Quick()), second(pty.Slave, Quick());
        std::string error;
        ASSERT_TRUE(first.OpenPort(&error)) << error;
        EXPECT_FALSE(second.OpenPort(&error));
        EXPECT_EQ(error, "cannot use " + pty.Slave +
                             ": the port is in use (another program holds its lock)");
        first.Close();
        EXPECT_TRUE(second.OpenPort(&error)) << error;
    }

    EXPECT_TRUE(IsSupportedBaud(115200));
    EXPECT_TRUE(IsSupportedBaud(4800));
    EXPECT_FALSE(IsSupportedBaud(12345));
    EXPECT_FALSE(IsSupportedBaud(0));
}

TEST_F(SerialPortTest, SettingsTimeStampsAndPurge) {
    Pty pty;
    TSerialPort port(pty.Slave, Quick());
    std::string error;
    ASSERT_TRUE(port.OpenPort(&error)) << error;
    EXPECT_EQ(port.Settings(), (std::array<int32_t, 3>{0, 0, 0}));
    port.SetPortSetting1(16);
    port.SetPortSetting2(10);
    port.SetPortSetting3(-7);
    EXPECT_EQ(port.Settings(), (std::array<int32_t, 3>{16, 10, -7}));

    const TDateTime now = CaptureTimeToDateTime(CaptureTimeNow());
    EXPECT_NEAR(port.GetTimeStamp(), now, SecondsToDays(2.0));
    port.HoldTimeStamp(40000.25);
    EXPECT_EQ(port.GetTimeStamp(), 40000.25);
    port.ReleaseTimeStamp();
    EXPECT_NEAR(port.GetTimeStamp(), now, SecondsToDays(2.0));

    pty.Write("unread");
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    port.PurgeInput();
    std::string chunk;
    EXPECT_EQ(port.ReadBurst(chunk, 100), TStatus::Idle);
    pty.Write("fresh");
    EXPECT_EQ(port.ReadBurst(chunk, 1000), TStatus::Data);
    EXPECT_EQ(chunk, "fresh");
}

// The plug-in through this port, in process: Connect opens the closed port itself,
// configures it and sends its three lines; the first frame confirms the trace; StopTest
// sends the two switch-off lines.
TEST_F(SerialPortTest, ThePlugInDrivesAHandsetThroughIt) {
    TPlugin plugin;
    std::string error;
    ASSERT_TRUE(plugin.Load(N95_PLUGIN_PATH, &error)) << error;
    Pty pty;
    TSerialPort port(pty.Slave, Quick());
    std::vector<TRecordRow> rows;
    TDecoderSession session([&](const TRecordRow& row) { rows.push_back(row); });
    ASSERT_TRUE(session.Create(plugin, port, "", "", &error)) << error;
    THandSetDecode& decoder = session.Decoder();

    decoder.Connect(false);
    EXPECT_TRUE(port.IsOpen());
    EXPECT_EQ(port.Settings(), (std::array<int32_t, 3>{16, 10, 10}));
    EXPECT_EQ(decoder.GetState(), 1);
    const std::string start = "ATE0\r" + GetTraceCommand(false) + GetTraceCommand(true);
    EXPECT_EQ(pty.Read(start.size()), start);

    std::string frames;
    const uint8_t message[3] = {0x02, 0x11, 0x07};
    const uint8_t extension[4] = {0, 0, 0, 0};
    const uint8_t payload[6] = {0x00, 0x00, 0x03, 0xC1, 9, 9};
    for (int i = 0; i < 3; ++i)
        AppendTraceFrame(frames, message, i == 1, extension, payload, 6);
    pty.Write(frames);
    std::string chunk;
    ASSERT_EQ(port.ReadBurst(chunk, 1000), TStatus::Data);
    EXPECT_EQ(chunk, frames);
    session.Feed(chunk.data(), chunk.size());
    EXPECT_EQ(decoder.GetState(), 0);
    EXPECT_TRUE(decoder.GetConnected());

    decoder.StartTest();
    port.HoldTimeStamp(45000.5);
    session.Feed(chunk.data(), chunk.size());
    port.ReleaseTimeStamp();
    decoder.StopTest();
    const std::string stop = GetTraceCommand(false) + "AT*NTESTSYSTEM=0\r";
    EXPECT_EQ(pty.Read(stop.size()), stop);
    session.Finish();
    session.ReleaseAll();
    ASSERT_EQ(rows.size(), 3u);
    for (const TRecordRow& row : rows) {
        EXPECT_EQ(row.MessageCode, 0x000003C1u);
        EXPECT_EQ(row.TestTime, 45000.5) << "records carry the held time stamp";
    }
}

}  // namespace
}  // namespace n95::host
