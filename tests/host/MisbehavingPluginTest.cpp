// Every subcommand of n95host that loads the plug-in, run against a plug-in that fails one
// export or operation (MisbehavingPlugin.cpp): each ends with status 5 and the plug-in's
// reason, never with a crash.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "tests/host/HostTestSupport.h"

namespace n95::test {
namespace {

struct TMisbehaviour {
    const char* Behaviour;  // N95_TEST_MISBEHAVE
    const char* Command;    // commands, info, replay or live
    const char* Message;    // what standard error must say
};

std::ostream& operator<<(std::ostream& out, const TMisbehaviour& m) {
    return out << m.Command << " with " << m.Behaviour;
}

const TMisbehaviour kMisbehaviours[] = {
    {"nil-decoder", "commands", "the plug-in's GetDllDevice gave no decoder"},
    {"nil-decoder", "replay", "the plug-in's GetDllDevice gave no decoder"},
    {"nil-decoder", "live", "the plug-in's GetDllDevice gave no decoder"},
    {"factory-throws", "commands", "GetDllDevice raised an error: GetDllDevice failed on purpose"},
    {"factory-throws", "replay", "GetDllDevice raised an error: GetDllDevice failed on purpose"},
    {"factory-throws", "live", "GetDllDevice raised an error: GetDllDevice failed on purpose"},
    {"name-throws", "info", "GetDeviceName raised an exception of an unknown type"},
    {"name-throws", "commands", "GetDeviceName raised an exception of an unknown type"},
    {"name-throws", "replay", "GetDeviceName raised an exception of an unknown type"},
    {"name-throws", "live", "GetDeviceName raised an exception of an unknown type"},
    {"type-throws", "info", "GetDeviceType raised an error: GetDeviceType failed on purpose"},
    {"frequency-throws", "info", "GetDeviceFrequency raised an error"},
    {"throw:BuildTestCommands", "commands", "BuildTestCommands raised an error"},
    {"throw-int:BuildTestCommands", "commands", "BuildTestCommands raised an exception of an"},
    {"throw:DecodeData", "replay", "DecodeData raised an error: DecodeData failed on purpose"},
    {"throw-int:DecodeData", "replay", "DecodeData raised an exception of an unknown type"},
    {"throw-int:StartTest", "replay", "StartTest raised an exception of an unknown type"},
    {"throw-int:GetRecordCount", "replay", "GetRecordCount raised an exception of an"},
    {"throw-int:Connect", "live", "Connect raised an exception of an unknown type"},
    {"throw-int:DecodeData", "live", "DecodeData raised an exception of an unknown type"},
    {"throw-int:StartTest", "live", "StartTest raised an exception of an unknown type"},
    {"throw-int:StopTest", "live", "StopTest raised an exception of an unknown type"},
};

class MisbehavingPluginTest : public ScratchDirTest,
                              public ::testing::WithParamInterface<TMisbehaviour> {
protected:
    void TearDown() override {
        unsetenv("N95_TEST_MISBEHAVE");
        ScratchDirTest::TearDown();
    }

    // The subcommand's arguments; for live, a simulated handset is started first.
    std::vector<std::string> Arguments(const std::string& command) {
        std::vector<std::string> args = {"--plugin", MISBEHAVING_PLUGIN_PATH, command};
        if (command == "commands")
            args.insert(args.end(), {"sector-lock", "UARFCN=10713", "PSC=276"});
        if (command == "replay")
            args.insert(args.end(),
                        {N95_SAMPLES_DIR "/drive.pcap", "--csv", Path("r.csv"), "--kml",
                         Path("r.kml"), "--no-progress", "--summary-json", Path("s.json")});
        if (command == "live") {
            EXPECT_TRUE(Sim.Start(N95SIM_PATH, {"serve", "--rate", "200"}));
            const std::string port = Sim.FirstLine(60.0);
            EXPECT_FALSE(port.empty());
            args.insert(args.end(), {"--device", port, "--duration", "2", "--capture",
                                     Path("c.pcap"), "--csv", Path("l.csv"), "--no-status"});
        }
        return args;
    }

    ChildProgram Sim;  // killed, if still running, when the test ends
};

TEST_P(MisbehavingPluginTest, EndsWithStatus5AndTheReason) {
    const TMisbehaviour& m = GetParam();
    const std::vector<std::string> args = Arguments(m.Command);
    setenv("N95_TEST_MISBEHAVE", m.Behaviour, 1);
    const ProgramResult r = RunProgram(N95HOST_PATH, args);
    EXPECT_EQ(r.Status, 5) << r.Errors;
    EXPECT_TRUE(Contains(r.Errors, m.Message)) << r.Errors;
    EXPECT_FALSE(Contains(r.Errors, "SIGINT")) << "no signal ended it\n" << r.Errors;
    // Nothing is written from a run the plug-in failed before the test started, but for the
    // JSON summary, which says why.
    if (std::string(m.Command) == "replay") {
        EXPECT_FALSE(FileExists(Path("r.csv")) || FileExists(Path("r.kml")));
        const std::string summary = ReadFile(Path("s.json"));
        EXPECT_TRUE(Contains(summary, "\"exit_status\":5}")) << summary;
        EXPECT_TRUE(Contains(summary, m.Message)) << summary;
    }
}

INSTANTIATE_TEST_SUITE_P(Table, MisbehavingPluginTest, ::testing::ValuesIn(kMisbehaviours));

TEST(MisbehavingPluginBaseline, AWellBehavedRunOfTheTestPlugInSucceeds) {
    // The table's failures come from the behaviours, not from the test plug-in itself.
    const ProgramResult r = RunProgram(N95HOST_PATH, {"--plugin", MISBEHAVING_PLUGIN_PATH, "info"});
    EXPECT_EQ(r.Status, 0) << r.Errors;
    EXPECT_TRUE(Contains(r.Output, "N95 (misbehaving)")) << r.Output;
}

}  // namespace
}  // namespace n95::test
