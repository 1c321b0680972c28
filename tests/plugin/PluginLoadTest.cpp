// Loads the built plug-in the way a host does and uses it through the four exports only.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <set>
#include <vector>

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
        getFrequency =
            reinterpret_cast<TGetDeviceFrequencyProc>(dlsym(handle, "GetDeviceFrequency"));
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
        if (std::sscanf(line, "%*s %*s %399s", name) == 1)
            names.insert(name);
    }
    int status = pclose(pipe);
    if (status != 0 && names.empty())
        GTEST_SKIP() << "nm is not available";
    EXPECT_EQ(names, (std::set<std::string>(std::begin(kPluginExportNames),
                                            std::end(kPluginExportNames))));
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
    EXPECT_EQ(
        journal.Entries().back(),
        "Write:" +
            std::string(
                "AT*NTRACE=1,3,0,\"1\",1,\"7\",2,\"03BFFF\",3,\"1F\",4,\"1467F\",5,\"07BFFC\"\r"));
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

// The host's own records, reached through the two callbacks.
struct HostRecords {
    std::vector<TTestRecord> Records;
    void Add(int n) {
        TTestRecord unplaced{};
        unplaced.PosX = -9999.0;
        Records.resize(Records.size() + n, unplaced);
    }
    static int32_t Count(void* self, int32_t) {
        return static_cast<int32_t>(static_cast<HostRecords*>(self)->Records.size());
    }
    static TTestRecord* Get(void* self, int32_t, int32_t index) {
        return &static_cast<HostRecords*>(self)->Records[index];
    }
};

// A context whose fix counter or current fix is nil offers no fix: an accepted fix then
// changes nothing, neither the position nor any record (zeros from the missing reference
// would put them all at (0, 0), a real place). With both references back, tagging goes on
// from the last real fix.
TEST_F(PluginLoadTest, ContextWithoutFixReferencesTakesNoFix) {
    Journal journal;
    RecordingPort port(&journal);
    TestContext host("drive.pcap");  // a replay: connected at once, no AT lines
    HostRecords store;
    THandSetDecode* d = getDevice(&port, &host.Context);
    d->SetRecordBase(-1);
    d->SetOnRecordCount(TRecordCountEvent{&HostRecords::Count, &store});
    d->SetOnGetRecord(TGetRecordEvent{&HostRecords::Get, &store});
    d->StartTest();
    const std::string frame = MakeFrame(0x22, 0, 0, CodePayload(0x713A0301));
    std::string text;
    // The host's sequence for a fix, then one frame: returns the record copy it queued.
    auto fixThenFrame = [&](double x, double y) {
        ++host.FixCounter;
        host.Fix = TGpsPoint{x, y, port.TimeStamp += 2.0 / 86400};
        d->UpdatePosition(host.Fix);
        d->DecodeData(frame.data(), static_cast<int32_t>(frame.size()), text);
        return d->GetRecord(d->GetRecordCount() - 1);
    };

    store.Add(2);
    fixThenFrame(3.0, 4.0);              // first fix: both records get it
    THostContext hollow = host.Context;  // outlives the loop: the watcher may read it
    for (auto [counter, fix] : {std::pair{false, true}, {true, false}, {false, false}}) {
        SCOPED_TRACE(std::string("counter ") + (counter ? "set" : "nil") + ", fix " +
                     (fix ? "set" : "nil"));
        hollow.FixCounter = counter ? &host.FixCounter : nullptr;
        hollow.CurrentFix = fix ? &host.Fix : nullptr;
        d->SetContext(&hollow);
        EXPECT_EQ(d->GetLastTaggedIndex(), 1);  // also clears the updated flag
        store.Add(1);
        const TTestRecord* copy = fixThenFrame(8.0, 9.0);
        EXPECT_FALSE(d->GetPositionUpdated());
        EXPECT_EQ(Value(d->GetPosition().X), 3.0);
        EXPECT_EQ(Value(d->GetPosition().Y), 4.0);
        EXPECT_EQ(Value(copy->PosX), 3.0);
        EXPECT_EQ(Value(copy->PosY), 4.0);
        EXPECT_EQ(Value(store.Records.back().PosX), -9999.0);
    }
    d->SetContext(&host.Context);
    fixThenFrame(7.0, 10.0);  // the three pending records lie from (3, 4) to the new fix
    EXPECT_EQ(Value(store.Records[2].PosX), 3.0);
    EXPECT_EQ(Value(store.Records[3].PosY), 7.0);
    EXPECT_EQ(Value(store.Records[4].PosX), 7.0);
    // The queued copies are the host's to release, as after every hand-over.
    for (int32_t i = 0; i < d->GetRecordCount(); ++i)
        d->FreeRecord(i);
    d->ClearRecords();
    d->StopTest();
    delete d;
}

}  // namespace
}  // namespace n95::test
