// Helpers shared by the tests that drive live runs and replays in this process: a trace frame
// of the generated drive's first message type, a real-time wait for a port's bytes, and a
// fixture that loads the real plug-in or the test plug-in told how to fail.
#pragma once

#include <dlfcn.h>
#include <gtest/gtest.h>
#include <poll.h>

#include <cstdint>
#include <string>

#include "host/formats/TraceFrame.h"
#include "host/session/PluginHost.h"
#include "host/sim/DriveGenerator.h"
#include "tests/host/HostTestSupport.h"

namespace n95::host {

// One whole trace frame of the generated drive's first message type.
inline std::string OneFrame() {
    const TMessageType& type = DriveMessageTypes().front();
    const uint8_t payload[8] = {uint8_t(type.Code >> 24),
                                uint8_t(type.Code >> 16),
                                uint8_t(type.Code >> 8),
                                uint8_t(type.Code),
                                1,
                                2,
                                3,
                                4};
    const uint8_t extension[4] = {};
    std::string frame;
    AppendTraceFrame(frame, type.Message, false, extension, payload, sizeof payload);
    return frame;
}

// Blocks (in real time) until `fd` can be read, so that the run sees the bytes just written.
inline void AwaitInput(int fd) {
    pollfd p{fd, POLLIN, 0};
    poll(&p, 1, 5000);
}

#if defined(N95_PLUGIN_PATH) && defined(MISBEHAVING_PLUGIN_PATH)
// A scratch folder and a plug-in: the real one, or the test plug-in told to fail as
// LoadPlugin's argument says (told to behave again when the test ends).
template <typename TParam>
class TPluginTest : public n95::test::ScratchDirTest, public ::testing::WithParamInterface<TParam> {
protected:
    void TearDown() override {
        if (Misbehave != nullptr)
            Misbehave(nullptr);
        if (Library != nullptr)
            dlclose(Library);
        ScratchDirTest::TearDown();
    }

    void LoadPlugin(const std::string& misbehave) {
        std::string error;
        const char* path = misbehave.empty() ? N95_PLUGIN_PATH : MISBEHAVING_PLUGIN_PATH;
        ASSERT_TRUE(Plugin.Load(path, &error)) << error;
        if (misbehave.empty())
            return;
        Library = dlopen(path, RTLD_NOW | RTLD_NOLOAD);
        ASSERT_NE(Library, nullptr);
        Misbehave = reinterpret_cast<void (*)(const char*)>(dlsym(Library, "N95TestMisbehave"));
        ASSERT_NE(Misbehave, nullptr);
        Misbehave(misbehave.c_str());
    }

    TPlugin Plugin;
    void* Library = nullptr;
    void (*Misbehave)(const char*) = nullptr;
};
#endif

}  // namespace n95::host
