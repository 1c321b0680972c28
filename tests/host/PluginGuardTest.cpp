// The guard between the host and the plug-in, in process: each of the decoder's 70 operations,
// made to fail in each way by the test plug-in (MisbehavingPlugin.cpp), reaches the host as
// EPluginError naming that operation; an EPluginError from the host's own callback passes
// unchanged. Loading refuses what is not a plug-in, and n95host finds its plug-in in an
// installed tree.
#include "host/session/PluginHost.h"

#include <dlfcn.h>
#include <gnu/libc-version.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "tests/host/HostTestSupport.h"

namespace n95::host {
namespace {

using n95::test::Contains;

constexpr const char* kHostFailure = "the host's own callback failed";

// The host's port: does nothing, except that PurgeInput fails once armed, as a host callback
// whose own call into a plug-in failed.
class TPort final : public THostPort {
public:
    bool FailPurge = false;

    bool IsOpen() override { return true; }
    void SetPortSetting1(uint8_t) override {}
    void SetPortSetting2(int32_t) override {}
    void SetPortSetting3(int32_t) override {}
    TDateTime GetTimeStamp() override { return 45000.5; }
    void WriteData(const void*, int32_t) override {}
    void WriteDataAlt(const void*, int32_t) override {}
    void Open(bool) override {}
    void Close() override {}
    void PurgeInput() override {
        if (FailPurge)
            throw EPluginError(kHostFailure);
    }
    void PurgeOutput() override {}
};

struct TOperation {
    const char* Name;
    std::function<void(THandSetDecode&, TPort&)> Call;
};

void PrintTo(const TOperation& operation, std::ostream* out) {
    *out << operation.Name;
}

#define N95_OPERATION(Name, ...)                                               \
    TOperation {                                                               \
#Name, [](THandSetDecode& d, TPort& port) { (void)port; d.Name(__VA_ARGS__); } \
    }

const TGpsPoint kFix{24.9, 60.2, 45000.5};
const TOptionRecord kOptions{1, 2};
const TCommandParams kParams{0, "UARFCN=10713"};

const TOperation kOperations[] = {
    N95_OPERATION(GetConnected),
    N95_OPERATION(GetOptionFlag),
    N95_OPERATION(GetOptionRecord),
    N95_OPERATION(GetContext),
    N95_OPERATION(GetPosition),
    N95_OPERATION(GetLogFileName),
    N95_OPERATION(GetState),
    N95_OPERATION(GetStatusValue),
    N95_OPERATION(GetLogEnabled),
    N95_OPERATION(GetPort),
    N95_OPERATION(SetOptionFlag, true),
    N95_OPERATION(SetOptionRecord, kOptions),
    N95_OPERATION(SetContext, d.GetContext()),
    N95_OPERATION(SetPosition, kFix),
    N95_OPERATION(SetLogFileName, ""),
    N95_OPERATION(SetState, 2),
    N95_OPERATION(SetStatusValue, 7),
    N95_OPERATION(SetLogEnabled, false),
    N95_OPERATION(SetPort, &port),
    TOperation{"DecodeData",
               [](THandSetDecode& d, TPort&) {
                   std::string text;
                   d.DecodeData("\x01\x02", 2, text);
               }},
    N95_OPERATION(Connect, true),
    N95_OPERATION(Disconnect),
    N95_OPERATION(StopDecoding),
    N95_OPERATION(StartTest),
    N95_OPERATION(RestartTest),
    N95_OPERATION(StopTest),
    N95_OPERATION(Reserved1, 1, 2),
    N95_OPERATION(Reserved2, 1, 2),
    N95_OPERATION(GetRecordsReady),
    N95_OPERATION(GetPositionUpdated),
    N95_OPERATION(GetRecordBase),
    N95_OPERATION(SetRecordBase, -1),
    N95_OPERATION(GetDeviceKind),
    N95_OPERATION(ReservedAbstract1),
    N95_OPERATION(FreeRecord, 0),
    N95_OPERATION(GetLastTaggedIndex),
    N95_OPERATION(GetRecord, 0),
    N95_OPERATION(ClearRecords),
    N95_OPERATION(GetRecordCount),
    N95_OPERATION(Reconnect),
    N95_OPERATION(Unsupported1),
    N95_OPERATION(Unsupported2),
    N95_OPERATION(Unsupported3),
    N95_OPERATION(ReservedAbstract2),
    N95_OPERATION(UpdatePosition, kFix),
    N95_OPERATION(ReservedAbstract3),
    N95_OPERATION(ReservedAbstract4),
    N95_OPERATION(GetOptionValue),
    N95_OPERATION(GetTestFlag),
    N95_OPERATION(GetCallbackTag),
    N95_OPERATION(GetOnRecordCount),
    N95_OPERATION(GetOnGetRecord),
    N95_OPERATION(GetOnNotify),
    N95_OPERATION(GetMessageClass),
    N95_OPERATION(SetTestFlag, true),
    N95_OPERATION(SetCallbackTag, 5),
    N95_OPERATION(SetOnRecordCount, TRecordCountEvent{}),
    N95_OPERATION(SetOnGetRecord, TGetRecordEvent{}),
    N95_OPERATION(SetOnNotify, TNotifyEvent{}),
    N95_OPERATION(SetMessageClass, 1),
    N95_OPERATION(SetOptionValue, 3),
    N95_OPERATION(GetHandsetCode),
    N95_OPERATION(ReservedAbstract5),
    N95_OPERATION(BuildTestCommands, 0, &kParams),
    N95_OPERATION(Reserved3, 1),
    N95_OPERATION(CommitRecordFlag, 1),
    N95_OPERATION(Reserved4, 1),
    N95_OPERATION(Reserved5, 1),
    N95_OPERATION(GetDataRate),
    N95_OPERATION(Reserved6, 1),
};
#undef N95_OPERATION

static_assert(std::size(kOperations) == 70);

class PluginGuardTest : public ::testing::TestWithParam<TOperation> {
protected:
    void SetUp() override {
        std::string error;
        ASSERT_TRUE(Plugin.Load(MISBEHAVING_PLUGIN_PATH, &error)) << error;
        Library = dlopen(MISBEHAVING_PLUGIN_PATH, RTLD_NOW | RTLD_NOLOAD);
        ASSERT_NE(Library, nullptr);
        Misbehave = reinterpret_cast<void (*)(const char*)>(dlsym(Library, "N95TestMisbehave"));
        ASSERT_NE(Misbehave, nullptr);
    }
    void TearDown() override {
        if (Misbehave != nullptr)
            Misbehave(nullptr);
        if (Library != nullptr)
            dlclose(Library);
    }

    TPlugin Plugin;
    void* Library = nullptr;
    void (*Misbehave)(const char*) = nullptr;
};

// The operation's failure, whatever its kind, is an EPluginError whose message names the
// operation (a guard that named another one would send the user the wrong way); what the
// plug-in's decoder raises when it behaves is reported the same way.
TEST_P(PluginGuardTest, EveryFailureOfTheOperationIsReportedUnderItsName) {
    const TOperation& operation = GetParam();
    const std::string name = operation.Name;
    struct TCase {
        std::string Behaviour;
        std::string Message;  // "": the operation may succeed
    };
    const TCase cases[] = {
        {"", ""},
        {"throw:" + name,
         "the plug-in's " + name + " raised an error: " + name + " failed on purpose"},
        {"throw-int:" + name, "the plug-in's " + name + " raised an exception of an unknown type"},
        {"call-host:" + name, kHostFailure},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.Behaviour);
        TPort port;
        int32_t fixCounter = 0;
        TGpsPoint fix{};
        THostContext context{nullptr, "replay", 0, 0, &fixCounter, &fix};
        TDecoderPtr decoder = Plugin.NewDecoder(&port, &context);
        port.FailPurge = Contains(c.Behaviour, "call-host:");
        Misbehave(c.Behaviour.c_str());
        try {
            operation.Call(*decoder, port);
            EXPECT_EQ(c.Message, "") << "no failure";
        } catch (const EPluginError& e) {
            if (c.Message.empty())
                EXPECT_TRUE(Contains(e.what(), "the plug-in's " + name + " raised ")) << e.what();
            else
                EXPECT_EQ(std::string(e.what()), c.Message);
        }
        Misbehave(nullptr);
        port.FailPurge = false;
    }
}

INSTANTIATE_TEST_SUITE_P(Operations, PluginGuardTest, ::testing::ValuesIn(kOperations),
                         [](const ::testing::TestParamInfo<TOperation>& info) {
                             return std::string(info.param.Name);
                         });

// What is not a plug-in is refused with the loader's words, and a bare file name is looked
// for in the current folder only, never along the loader's search path.
TEST(PluginLoadTest, RefusesWhatIsNotAPlugIn) {
    // A function of the C library itself that no sanitizer intercepts (dlopen's address
    // would be the interceptor's, in the test program).
    Dl_info libc{};
    ASSERT_NE(dladdr(reinterpret_cast<void*>(&gnu_get_libc_version), &libc), 0);
    struct TCase {
        std::string Path;
        std::string Message;
    };
    const TCase cases[] = {
        {"/nowhere/libN95.so.0", "cannot load plug-in /nowhere/libN95.so.0: /nowhere/libN95.so.0"},
        // The system's C library is on the search path, but not in the current folder.
        {"libc.so.6", "cannot load plug-in libc.so.6: ./libc.so.6"},
        {libc.dli_fname,
         std::string("plug-in ") + libc.dli_fname + " does not export GetDeviceName"},
    };
    // Each on a plug-in loaded before: a failed load leaves none loaded.
    for (const TCase& c : cases) {
        TPlugin plugin;
        std::string error;
        ASSERT_TRUE(plugin.Load(MISBEHAVING_PLUGIN_PATH, &error)) << error;
        EXPECT_FALSE(plugin.Load(c.Path, &error)) << c.Path;
        EXPECT_TRUE(Contains(error, c.Message)) << error;
    }
}

// n95host without --plugin: the plug-in beside the program (the build folder), else the one
// in the installed tree's plug-in folder, wherever the tree was unpacked; a missing plug-in
// is reported at the place beside the program.
class DefaultPluginTest : public n95::test::ScratchDirTest {};

TEST_F(DefaultPluginTest, FoundBesideTheProgramOrInTheInstalledTree) {
    namespace fs = std::filesystem;
    const fs::path plugin = MISBEHAVING_PLUGIN_PATH;
    const fs::path buildDir = plugin.parent_path();
    // What lies at each place: the plug-in, a file that is not a library, or nothing.
    struct TCase {
        const char* Name;
        const char* Beside;
        const char* Installed;
        int Status;
        std::string Says;
    };
    const TCase cases[] = {
        {"beside", "plugin", "", 0, "N95 (misbehaving)"},
        {"installed", "", "plugin", 0, "N95 (misbehaving)"},
        {"first", "plugin", "junk", 0, "N95 (misbehaving)"},
        {"neither", "", "", 4, "cannot load plug-in " + Path("neither/bin/" N95_PLUGIN_FILE_NAME)},
    };
    for (const TCase& c : cases) {
        const fs::path bin = fs::path(Path(c.Name)) / "bin";
        const fs::path pluginDir = bin / N95_PLUGIN_DIR_FROM_BIN;
        fs::create_directories(pluginDir);
        fs::copy_file(N95HOST_PATH, bin / "n95host");
        const auto place = [&](const std::string& what, const fs::path& dir) {
            if (what == "junk")
                n95::test::WriteFile((dir / N95_PLUGIN_FILE_NAME).string(), "not a library\n");
            if (what != "plugin")
                return;
            // The plug-in finds the decoder libraries beside itself.
            fs::copy_file(plugin, dir / N95_PLUGIN_FILE_NAME);
            for (const char* library : {"libVarnex.so.0", "libTolvane.so.0"})
                fs::copy_file(buildDir / library, dir / library);
        };
        place(c.Beside, bin);
        place(c.Installed, pluginDir);
        const n95::test::ProgramResult r =
            n95::test::RunProgram((bin / "n95host").string(), {"info"});
        EXPECT_EQ(r.Status, c.Status) << c.Name << "\n" << r.Errors;
        EXPECT_TRUE(Contains(r.Output + r.Errors, c.Says)) << c.Name << "\n"
                                                           << r.Output << r.Errors;
    }
}

}  // namespace
}  // namespace n95::host
