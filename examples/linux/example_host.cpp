// A minimal Linux host of the N95 plug-in: loads it with dlopen, feeds it the chunks of a
// capture (pcap, link type 147) as if they came from the handset's port, and prints the
// records it hands over, one line each, then their count.
//   example_host CAPTURE.pcap [PLUGIN]   (PLUGIN: default the installed libN95.so.0)
#include <dlfcn.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "decoder/DecodeInterfaces.h"
#include "decoder/HostObjects.h"
#include "plugin/PluginExports.h"
#include "records/DataAccessAPIUnit.h"

// The host's port. A replay sends nothing; its clock is the time of the chunk being fed, so
// the plug-in time-stamps and throttles as it did when the capture was recorded.
class ReplayPort final : public THostPort {
public:
    TDateTime Now = 0.0;
    bool IsOpen() override { return true; }
    void SetPortSetting1(uint8_t) override {}
    void SetPortSetting2(int32_t) override {}
    void SetPortSetting3(int32_t) override {}
    TDateTime GetTimeStamp() override { return Now; }
    void WriteData(const void*, int32_t) override {}
    void WriteDataAlt(const void*, int32_t) override {}
    void Open(bool) override {}
    void Close() override {}
    void PurgeInput() override {}
    void PurgeOutput() override {}
};

// Reads a little-endian field of a pcap file.
static uint32_t Read32(const unsigned char* p) {
    return p[0] | p[1] << 8 | p[2] << 16 | static_cast<uint32_t>(p[3]) << 24;
}

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s CAPTURE.pcap [PLUGIN]\n", argv[0]);
        return 2;
    }
    std::ifstream file(argv[1], std::ios::binary);
    const std::vector<unsigned char> pcap{std::istreambuf_iterator<char>(file), {}};
    const uint32_t magic = pcap.size() >= 24 ? Read32(pcap.data()) : 0;
    if (magic != 0xA1B2C3D4 && magic != 0xA1B23C4D) {
        std::fprintf(stderr, "%s: not a little-endian pcap capture\n", argv[1]);
        return 3;
    }
    const double fraction = magic == 0xA1B23C4D ? 1e-9 : 1e-6;  // nano- or microseconds

    const char* pluginPath = argc > 2 ? argv[2] : N95_PLUGIN_FILE;
    void* plugin = dlopen(pluginPath, RTLD_NOW | RTLD_LOCAL);
    if (plugin == nullptr) {
        std::fprintf(stderr, "cannot load the plug-in: %s\n", dlerror());
        return 4;
    }
    auto getDllDevice = reinterpret_cast<TGetDllDeviceProc>(dlsym(plugin, "GetDllDevice"));
    if (getDllDevice == nullptr) {
        std::fprintf(stderr, "%s does not export GetDllDevice\n", pluginPath);
        return 4;
    }

    ReplayPort port;
    int32_t fixCount = 0;  // no GPS in this example
    TGpsPoint fix{0.0, 0.0, 0.0};
    THostContext context{nullptr, "example", 0, 0, &fixCount, &fix};  // non-empty: a replay
    THandSetDecode* decoder = getDllDevice(&port, &context);
    decoder->StartTest();

    long records = 0;
    std::string text;
    for (std::size_t at = 24; at + 16 <= pcap.size();) {  // each packet is one chunk
        const unsigned char* header = pcap.data() + at;
        const uint32_t size = Read32(header + 8);
        if (at + 16 + size > pcap.size())
            break;  // a cut last packet
        port.Now = 25569.0 + (Read32(header) + Read32(header + 4) * fraction) / 86400.0;
        decoder->DecodeData(header + 16, static_cast<int32_t>(size), text);
        at += 16 + size;

        // The records this chunk made: read each, then release the plug-in's copies.
        const int32_t count = decoder->GetRecordCount();
        for (int32_t i = 0; i < count; ++i) {
            if (const TTestRecord* record = decoder->GetRecord(i)) {
                const double time = record->TestTime;
                const uint32_t code = record->MessageCode;
                std::printf("record %ld: time %.8f code 0x%08X\n", ++records, time, code);
            }
            decoder->FreeRecord(i);
        }
        if (count > 0)
            decoder->ClearRecords();
    }
    decoder->StopTest();
    delete decoder;  // before the library goes
    dlclose(plugin);
    std::printf("records: %ld\n", records);
    return 0;
}
