#include "host/formats/PcapCapture.h"

#include <gtest/gtest.h>
#include <pcap/pcap.h>

#include <filesystem>

#include "host/common/DateTimeText.h"
#include "tests/host/HostTestSupport.h"

namespace n95::host {
namespace {

using n95::test::ReadFile;
using n95::test::WriteFile;

class PcapCaptureTest : public n95::test::ScratchDirTest {
protected:
    // Three chunks of different sizes, nanosecond times.
    void WriteThreeChunks(const std::string& path) {
        TCaptureWriter writer;
        std::string error;
        ASSERT_TRUE(writer.Open(path, &error)) << error;
        for (int i = 0; i < 3; ++i) {
            const std::string chunk(static_cast<std::size_t>(10 + i * 100),
                                    static_cast<char>('a' + i));
            ASSERT_TRUE(writer.Write({1715678400 + i, static_cast<uint32_t>(123456789 + i)},
                                     chunk.data(), static_cast<uint32_t>(chunk.size()), &error));
        }
        EXPECT_FALSE(FileExists(path)) << "visible before Commit";
        ASSERT_TRUE(writer.Commit(&error)) << error;
    }
    static bool FileExists(const std::string& p) { return std::filesystem::exists(p); }
};

TEST_F(PcapCaptureTest, ChunksRoundTripWithNanosecondTimes) {
    WriteThreeChunks(Path("c.pcap"));
    TCaptureReader reader;
    std::string error;
    ASSERT_TRUE(reader.Open(Path("c.pcap"), &error)) << error;
    EXPECT_EQ(reader.FileSize(), 24u + 3 * 16 + 10 + 110 + 210);
    for (int i = 0; i < 3; ++i) {
        ASSERT_EQ(reader.Next(), TCaptureReader::TStatus::Chunk);
        EXPECT_EQ(reader.Size(), static_cast<uint32_t>(10 + i * 100));
        EXPECT_EQ(reader.OriginalSize(), reader.Size());
        EXPECT_EQ(reader.Data()[0], 'a' + i);
        EXPECT_EQ(reader.Time().Seconds, 1715678400 + i);
        EXPECT_EQ(reader.Time().Nanoseconds, static_cast<uint32_t>(123456789 + i));
    }
    EXPECT_EQ(reader.Offset(), reader.FileSize());
    EXPECT_EQ(reader.Next(), TCaptureReader::TStatus::End);
    EXPECT_EQ(reader.Next(), TCaptureReader::TStatus::End);
    EXPECT_EQ(reader.ChunkCount(), 3u);
    EXPECT_EQ(FormatIso8601(CaptureTimeToDateTime({1715678400, 123456789})),
              "2024-05-14T09:20:00.123Z");
}

TEST_F(PcapCaptureTest, TruncatedLastPacketKeepsTheCompleteOnesAndNamesTheOffset) {
    WriteThreeChunks(Path("c.pcap"));
    const std::string whole = ReadFile(Path("c.pcap"));
    const std::size_t lastPacket = 24 + 16 + 10 + 16 + 110;
    // Cut inside the last packet's data, and inside its header.
    for (const std::size_t cut : {whole.size() - 1, lastPacket + 7}) {
        WriteFile(Path("t.pcap"), whole.substr(0, cut));
        TCaptureReader reader;
        std::string error;
        ASSERT_TRUE(reader.Open(Path("t.pcap"), &error)) << error;
        EXPECT_EQ(reader.Next(), TCaptureReader::TStatus::Chunk);
        EXPECT_EQ(reader.Next(), TCaptureReader::TStatus::Chunk);
        EXPECT_EQ(reader.Next(), TCaptureReader::TStatus::Damaged);
        EXPECT_EQ(reader.Next(), TCaptureReader::TStatus::Damaged);
        EXPECT_EQ(reader.ChunkCount(), 2u);
        EXPECT_NE(reader.DamageMessage().find("offset " + std::to_string(lastPacket)),
                  std::string::npos)
            << reader.DamageMessage();
    }
}

TEST_F(PcapCaptureTest, OpenRejectsWhatIsNotAPortCapture) {
    // Another link type, written by libpcap itself.
    {
        pcap_t* dead = pcap_open_dead(DLT_EN10MB, 65535);
        pcap_dumper_t* dump = pcap_dump_open(dead, Path("ether.pcap").c_str());
        ASSERT_NE(dump, nullptr);
        pcap_dump_close(dump);
        pcap_close(dead);
    }
    WriteThreeChunks(Path("good.pcap"));
    WriteFile(Path("empty.pcap"), "");
    WriteFile(Path("text.pcap"), "this is not a capture at all, just some words\n");
    WriteFile(Path("short.pcap"), ReadFile(Path("good.pcap")).substr(0, 10));
    std::filesystem::create_directory(Path("folder.pcap"));

    struct Case {
        const char* Name;
        const char* Message;
    };
    const Case cases[] = {
        {"missing.pcap", "No such file"}, {"empty.pcap", "empty (0 bytes)"},
        {"text.pcap", "not a pcap file"}, {"short.pcap", "not a pcap file"},
        {"ether.pcap", "link type 1 "},   {"folder.pcap", "is a directory"},
    };
    for (const Case& c : cases) {
        TCaptureReader reader;
        std::string error;
        EXPECT_FALSE(reader.Open(Path(c.Name), &error)) << c.Name;
        EXPECT_NE(error.find(c.Message), std::string::npos) << c.Name << ": " << error;
        EXPECT_NE(error.find(Path(c.Name)), std::string::npos) << error;
    }
}

TEST_F(PcapCaptureTest, HeaderOnlyCaptureEndsAtOnce) {
    TCaptureWriter writer;
    std::string error;
    ASSERT_TRUE(writer.Open(Path("h.pcap"), &error));
    ASSERT_TRUE(writer.Commit(&error));
    TCaptureReader reader;
    ASSERT_TRUE(reader.Open(Path("h.pcap"), &error)) << error;
    EXPECT_EQ(reader.Next(), TCaptureReader::TStatus::End);
}

TEST_F(PcapCaptureTest, WriterRefusesEmptyAndOversizedChunksAndLeavesNothingUncommitted) {
    {
        TCaptureWriter writer;
        std::string error;
        ASSERT_TRUE(writer.Open(Path("w.pcap"), &error));
        EXPECT_FALSE(writer.Write({0, 0}, "", 0, &error));
        const std::string big(kMaxChunkBytes + 1, 'x');
        EXPECT_FALSE(writer.Write({0, 0}, big.data(), kMaxChunkBytes + 1, &error));
        EXPECT_TRUE(writer.Write({0, 0}, big.data(), kMaxChunkBytes, &error));
    }  // never committed
    EXPECT_TRUE(n95::test::ListDir(Dir).empty());
}

}  // namespace
}  // namespace n95::host
