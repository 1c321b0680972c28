// A host port that takes every call and does nothing with it, for tests, benchmarks and fuzz
// targets: it reports itself open, drops every write, ignores the settings, Open, Close and
// the purges, and GetTimeStamp returns TimeStamp, which its user sets. A test derives from it
// and overrides only the calls it watches or makes fail.
//
// Header-only and free of the project's libraries, so a test that loads the plug-in as a real
// host (Linux or Windows) can use it too.
#pragma once

#include <cstdint>

#include "decoder/HostObjects.h"

namespace n95::test {

class NullHostPort : public THostPort {
public:
    bool IsOpen() override { return true; }
    void SetPortSetting1(uint8_t) override {}
    void SetPortSetting2(int32_t) override {}
    void SetPortSetting3(int32_t) override {}
    TDateTime GetTimeStamp() override { return TimeStamp; }
    void WriteData(const void*, int32_t) override {}
    void WriteDataAlt(const void*, int32_t) override {}
    void Open(bool) override {}
    void Close() override {}
    void PurgeInput() override {}
    void PurgeOutput() override {}

    TDateTime TimeStamp = 0.0;
};

}  // namespace n95::test
