// probe_capture OUTPUT.pcap [CODE...]: writes a capture made to hold a frame reader to the
// plug-in's rules, for scripts/clients.sh, which compares the Wireshark dissector with
// `n95host frames` on it.
//
// It holds one frame for every code of the library's class table and for every CODE given
// (hex; the script passes the dissector's table), frames whose codes reach every rule of the
// code normalisation, and chunks cut in every way the parser knows: AT replies, empty and
// short payloads, both header forms, tails cut in the header and in the payload, garbage at a
// chunk's start, and pseudo-random chunks.
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "host/formats/PcapCapture.h"
#include "host/formats/TraceFrame.h"
#include "trace/MessageClass.h"

namespace {

using n95::host::AppendTraceFrame;

struct TProbe {
    n95::host::TCaptureWriter Writer;
    std::string Error;
    int64_t Second = 1715678400;
    bool Ok = true;

    void Chunk(const std::string& bytes) {
        Ok = Ok &&
             Writer.Write({Second++, 0}, bytes.data(), static_cast<uint32_t>(bytes.size()), &Error);
    }
};

// A frame whose payload starts with `code`, big-endian; the header form alternates.
void AppendCodeFrame(std::string& chunk, uint32_t code, bool longHeader) {
    const uint8_t message[3] = {static_cast<uint8_t>(code >> 24), static_cast<uint8_t>(code >> 8),
                                static_cast<uint8_t>(code)};
    const uint8_t extension[4] = {0xE0, 0xE1, 0xE2, 0xE3};
    const uint8_t payload[6] = {static_cast<uint8_t>(code >> 24),
                                static_cast<uint8_t>(code >> 16),
                                static_cast<uint8_t>(code >> 8),
                                static_cast<uint8_t>(code),
                                0x5A,
                                0xA5};
    AppendTraceFrame(chunk, message, longHeader, extension, payload, longHeader ? 6 : 4);
}

// Frames of the given codes, in chunks of at most 4 KiB.
void CodeChunks(TProbe& probe, const std::vector<uint32_t>& codes) {
    std::string chunk;
    bool longHeader = false;
    for (const uint32_t code : codes) {
        AppendCodeFrame(chunk, code, longHeader = !longHeader);
        if (chunk.size() > 4000) {
            probe.Chunk(chunk);
            chunk.clear();
        }
    }
    if (!chunk.empty())
        probe.Chunk(chunk);
}

std::string Bytes(std::initializer_list<int> values) {
    std::string s;
    for (const int v : values)
        s.push_back(static_cast<char>(v));
    return s;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: probe_capture OUTPUT.pcap [CODE...]\n");
        return 2;
    }
    TProbe probe;
    if (!probe.Writer.Open(argv[1], &probe.Error)) {
        std::fprintf(stderr, "probe_capture: %s\n", probe.Error.c_str());
        return 1;
    }

    std::vector<uint32_t> tableCodes;
    for (const n95::TMessageClassEntry& entry : n95::MessageClassTable())
        tableCodes.push_back(entry.Code);
    CodeChunks(probe, tableCodes);
    std::vector<uint32_t> givenCodes;
    for (int i = 2; i < argc; ++i)
        givenCodes.push_back(static_cast<uint32_t>(std::strtoul(argv[i], nullptr, 16)));
    CodeChunks(probe, givenCodes);
    // Every group g (bits 8..11) with low bytes that set and clear bits 6 and 7, under high
    // halves that are and are not 0x412F; and codes whose low half is 0.
    std::vector<uint32_t> rules;
    for (const uint32_t high : {0x0000u, 0x1234u, 0x412Fu, 0x512Fu, 0x713Au, 0xFFFFu}) {
        rules.push_back(high << 16);
        for (uint32_t g = 0; g < 16; ++g)
            for (const uint32_t low :
                 {0x00u, 0x01u, 0x0Du, 0x12u, 0x2Au, 0x2Du, 0x41u, 0x8Du, 0xC1u, 0xCDu, 0xFFu})
                rules.push_back(high << 16 | g << 8 | low);
    }
    CodeChunks(probe, rules);

    const std::string ok = "\r\nOK\r\n";
    std::string frame;  // a short frame with code 0x0000032D (class 3)
    AppendCodeFrame(frame, 0x0000032D, false);
    const std::string garbage = Bytes({0xFF, 0x00, 0xFF, 0x00, 0xFF, 0xFF, 0xFF, 0xFF});
    const std::vector<std::string> cut = {
        ok,
        ok + frame,  // not the AT reply: parsed
        Bytes({1, 2, 3, 0, 0, 0}) + frame + Bytes({4, 5, 6, 1, 9, 9, 9, 9, 0, 0}),  // empty
        // Payloads of 1, 2 and 3 bytes (no code), header forms 0x02 and 0xFF (short).
        Bytes({1, 1, 0, 2, 0, 1, 0xAA, 1, 0, 0x40, 0xFF, 0, 2, 1, 2, 3, 3, 3, 0, 0, 3, 1, 2, 3}),
        frame + Bytes({1, 2}),                       // tail: key cut
        frame + Bytes({1, 2, 3, 1, 0xAA, 0xBB}),     // tail: extension cut
        frame + Bytes({1, 2, 3, 1}),                 // tail: form byte, then nothing
        frame + Bytes({1, 2, 3, 0, 0, 9, 1, 2, 3}),  // tail: payload cut
        garbage + frame + frame,                     // garbage at the start
        frame.substr(2) + frame,                     // starts inside a frame
        Bytes({7}),
    };
    for (const std::string& chunk : cut)
        probe.Chunk(chunk);
    std::string longest = Bytes({0x7F, 0x7F, 0x7F, 1, 0, 0, 0, 0, 0xFF, 0xFF});
    longest.append(65535, '\x33');
    probe.Chunk(longest + frame);
    // Pseudo-random bytes, read as frames all the same.
    uint32_t state = 12345;
    for (int c = 0; c < 40; ++c) {
        std::string chunk;
        state = state * 1103515245u + 12345u;
        const uint32_t size = 1 + (state >> 16) % 300;
        for (uint32_t i = 0; i < size; ++i) {
            state = state * 1103515245u + 12345u;
            // Every other chunk is mostly zeros: short lengths, so that its frames are whole.
            const uint32_t r = state >> 16;
            chunk.push_back(static_cast<char>(c % 2 == 0 ? r % 256 : (r % 10 < 7 ? 0 : r % 8)));
        }
        probe.Chunk(chunk);
    }

    if (!probe.Ok || !probe.Writer.Commit(&probe.Error)) {
        std::fprintf(stderr, "probe_capture: %s\n", probe.Error.c_str());
        return 1;
    }
    return 0;
}
