// Loads the built plug-in the way a host does and uses it through the four exports only.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <set>

#include "plugin/PluginExports.h"
#include "records/DataAccessAPIUnit.h"
#include "tests/decoder/HostDoubles.h"

namespace n95::test {
namespace {

class PluginLoadTest : public ::testing::Test {
protected:
    void SetUp() override {
        handle = dlopen(N95_PLUGIN_PATH, RTLD_NOW | RTLD_LOCAL);
        ASSERT_NE(handle, nullptr) << dlerror();
        getName = reinterpret_cast<TGetDeviceNameProc>(dlsym(handle, "GetDeviceName"));
        getType = reinterpret_cast<TGetDeviceTypeProc>(dlsym(handle, "GetDeviceType"));
        getFrequency = reinterpret_cast<TGetDeviceFrequencyProc>(dlsym(handle, "GetDeviceFrequency"));
        getDevice = reinterpret_cast<TGetDllDeviceProc>(dlsym(handle, "GetDllDevice"));
        ASSERT_TRUE(getName && getType && getFrequency && getDevice);
    }
    void TearDown() override {
        if (handle) {
            EXPECT_EQ(dlclose(handle), 0);
        }
    }

    void* handle = nullptr;
    TGetDeviceNameProc getName = nullptr;
    TGetDeviceTypeProc getType = nullptr;
    TGetDeviceFrequencyProc getFrequency = nullptr;
    TGetDllDeviceProc getDevice = nullptr;
};

TEST_F(PluginLoadTest, ExportsAnswerTheirConstants) {
    for (int i = 0; i < 2; ++i) {
        EXPECT_TRUE(getType());
        EXPECT_EQ(getFrequency(), 3);
    }
    std::string name = "previous contents that must go";
    getName(name);
    EXPECT_EQ(name, "N95");
}

TEST_F(PluginLoadTest, ExactlyFourSymbolsAreExported) {
    std::string command = std::string("nm -D --defined-only ") + N95_PLUGIN_PATH + " 2>/dev/null";
    FILE* pipe = popen(command.c_str(), "r");
    ASSERT_NE(pipe, nullptr);
    std::set<std::string> names;
    char line[512];
    while (std::fgets(line, sizeof line, pipe)) {
        char name[400];
        if (std::sscanf(line, "%*s %*s %399s", name) == 1) names.insert(name);
    }
    int status = pclose(pipe);
    if (status != 0 && names.empty()) GTEST_SKIP() << "nm is not available";
    EXPECT_EQ(names, (std::set<std::string>(std::begin(kPluginExportNames), std::end(kPluginExportNames))));
}

TEST_F(PluginLoadTest, TwoDecodersAreIndependent) {
    Journal journal;
    RecordingPort port(&journal);
    TestContext context;
    THandSetDecode* first = getDevice(&port, &context.Context);
    THandSetDecode* second = getDevice(&port, &context.Context);
    ASSERT_NE(first, nullptr);
    ASSERT_NE(first, second);
    first->SetState(rsTesting);
    delete first;

    second->Connect(false);
    EXPECT_EQ(second->GetState(), rsAwaitingTrace);
    EXPECT_EQ(journal.Entries().back(), "Write:" + std::string("AT*NTRACE=1,3,0,\"1\",1,\"7\",2,\"03BFFF\",3,\"1F\",4,\"1467F\",5,\"07BFFC\"\r"));
    std::string frame = MakeFrame(0x22, 0, 0, CodePayload(0x713A0301));
    std::string text;
    second->DecodeData(frame.data(), static_cast<int32_t>(frame.size()), text);
    EXPECT_TRUE(second->GetConnected());
    second->StartTest();
    second->DecodeData(frame.data(), static_cast<int32_t>(frame.size()), text);
    EXPECT_EQ(text, frame);
    ASSERT_EQ(second->GetRecordCount(), 1);
    EXPECT_EQ(Value(second->GetRecord(0)->MessageCode), 0x713A0301u);
    EXPECT_TRUE(second->FreeRecord(0));
    EXPECT_TRUE(second->ClearRecords());
    try {
        second->ReservedAbstract3();
        ADD_FAILURE() << "no exception";
    } catch (const EAbstractError& e) {  // caught by type across the library boundary
        EXPECT_STREQ(e.what(), "Abstract Error");
    }
    second->StopTest();
    delete second;
}

}  // namespace
}  // namespace n95::test
