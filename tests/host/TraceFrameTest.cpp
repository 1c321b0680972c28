#include "host/formats/TraceFrame.h"

#include <gtest/gtest.h>

namespace n95::host {
namespace {

std::string Bytes(std::initializer_list<int> values) {
    std::string s;
    for (int v : values)
        s.push_back(static_cast<char>(v));
    return s;
}

TEST(TraceFrameTest, AppendWritesBothHeaderForms) {
    const uint8_t message[3] = {1, 2, 3};
    const uint8_t extension[4] = {0xAA, 0xBB, 0xCC, 0xDD};
    const uint8_t payload[2] = {0x11, 0x22};
    std::string out;
    AppendTraceFrame(out, message, true, extension, payload, 2);
    EXPECT_EQ(out, Bytes({1, 2, 3, 1, 0xAA, 0xBB, 0xCC, 0xDD, 0, 2, 0x11, 0x22}));
    out.clear();
    AppendTraceFrame(out, message, false, extension, payload, 2);
    EXPECT_EQ(out, Bytes({1, 2, 3, 0, 0, 2, 0x11, 0x22}));
}

TEST(TraceFrameTest, ScanFindsWholeFramesFromTheChunkStart) {
    const std::string longFrame = Bytes({1, 2, 3, 1, 9, 9, 9, 9, 0, 2, 0x11, 0x22});
    const std::string shortFrame = Bytes({1, 2, 3, 2, 0, 1, 0x33});  // form 2: short header
    struct Case {
        std::string Chunk;
        uint32_t Frames;
        bool Aligned;
        bool AtReply;
    };
    const Case cases[] = {
        {longFrame + shortFrame, 2, true, false},
        {longFrame + shortFrame.substr(0, 5), 1, false, false},     // the last frame is cut
        {shortFrame.substr(3), 0, false, false},                    // starts mid-frame
        {Bytes({1, 2, 3, 0, 0, 0}) + shortFrame, 0, false, false},  // empty payload
        {"\r\nOK\r\n", 0, false, true},
        {"\r\nOK\r\n" + longFrame, 0, false, false},
        {"", 0, false, false},
    };
    for (const Case& c : cases) {
        const TChunkScan scan =
            ScanChunk(reinterpret_cast<const uint8_t*>(c.Chunk.data()), c.Chunk.size());
        EXPECT_EQ(scan.Frames, c.Frames) << c.Chunk.size();
        EXPECT_EQ(scan.Aligned, c.Aligned) << c.Chunk.size();
        EXPECT_EQ(scan.AtReply, c.AtReply) << c.Chunk.size();
    }
}

}  // namespace
}  // namespace n95::host
