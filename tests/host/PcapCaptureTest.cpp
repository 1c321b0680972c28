#include "host/formats/PcapCapture.h"

#include <gtest/gtest.h>
#include <pcap/pcap.h>
#include <sys/stat.h>

#include <filesystem>

#include "host/common/DateTimeText.h"
#include "tests/host/HostTestSupport.h"

namespace n95::host {
namespace {

using n95::test::ReadFile;
using n95::test::WriteFile;

// A pcapng file made by hand (little-endian): a section header, one interface of `linkType`
// (with if_tsresol when `tsresol` is not 0) and an enhanced packet per (ticks, bytes).
std::string Pcapng(uint16_t linkType, uint8_t tsresol,
                   const std::vector<std::pair<uint64_t, std::string>>& packets) {
    std::string out;
    const auto u32 = [&out](uint32_t v) { out.append(reinterpret_cast<const char*>(&v), 4); };
    const auto u16 = [&out](uint16_t v) { out.append(reinterpret_cast<const char*>(&v), 2); };
    for (const uint32_t v : {0x0A0D0D0Au, 28u, 0x1A2B3C4Du, 1u, ~0u, ~0u, 28u})
        u32(v);  // version 1.0 as one word, section length unknown
    const uint32_t idb = tsresol != 0 ? 32 : 20;
    u32(1), u32(idb), u16(linkType), u16(0), u32(kMaxChunkBytes);
    if (tsresol != 0)
        u16(9), u16(1), u32(tsresol), u32(0);  // if_tsresol, padded; end of options
    u32(idb);
    for (const auto& [ticks, data] : packets) {
        const auto size = static_cast<uint32_t>(data.size()), padded = (size + 3) & ~3u;
        u32(6), u32(32 + padded), u32(0), u32(static_cast<uint32_t>(ticks >> 32));
        u32(static_cast<uint32_t>(ticks)), u32(size), u32(size);
        out += data + std::string(padded - size, '\0');
        u32(32 + padded);
    }
    return out;
}

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
    // Inputs that are no files: refused for what they are, not read forever nor taken for
    // empty files.
    ASSERT_EQ(mkfifo(Path("fifo.pcap").c_str(), 0600), 0);
    std::filesystem::create_symlink("/dev/zero", Path("zero.pcap"));

    struct Case {
        const char* Name;
        const char* Message;
    };
    const Case cases[] = {
        {"missing.pcap", "No such file"},   {"empty.pcap", "empty (0 bytes)"},
        {"text.pcap", "not a pcap file"},   {"short.pcap", "not a pcap file"},
        {"ether.pcap", "link type 1 "},     {"folder.pcap", "is a directory"},
        {"fifo.pcap", "is a pipe or FIFO"}, {"zero.pcap", "is a character device"},
    };
    for (const Case& c : cases) {
        TCaptureReader reader;
        std::string error;
        EXPECT_FALSE(reader.Open(Path(c.Name), &error)) << c.Name;
        EXPECT_NE(error.find(c.Message), std::string::npos) << c.Name << ": " << error;
        EXPECT_NE(error.find(Path(c.Name)), std::string::npos) << error;
    }
}

TEST_F(PcapCaptureTest, PcapngIsReadAtEachInterfacesTimeResolution) {
    const struct {
        uint8_t TsResol;
        uint64_t PerSecond, Fraction;
        uint32_t Nanoseconds;
    } cases[] = {
        {0, 1000000, 123456, 123456000},  // no if_tsresol: microseconds
        {9, 1000000000, 123456789, 123456789},
        {3, 1000, 7, 7000000},
        {0x8A, 1024, 512, 500000000},  // 2^-10 s
    };
    const std::string chunks[] = {"abc", "defgh"};
    for (const auto& c : cases) {
        std::vector<std::pair<uint64_t, std::string>> packets;
        for (uint64_t i = 0; i < 2; ++i)
            packets.emplace_back((1715678400 + i) * c.PerSecond + c.Fraction, chunks[i]);
        WriteFile(Path("c.pcapng"), Pcapng(kCaptureLinkType, c.TsResol, packets));
        TCaptureReader reader;
        std::string error;
        ASSERT_TRUE(reader.Open(Path("c.pcapng"), &error)) << error;
        EXPECT_TRUE(reader.IsPcapng());
        for (int i = 0; i < 2; ++i) {
            ASSERT_EQ(reader.Next(), TCaptureReader::TStatus::Chunk);
            EXPECT_EQ(std::string(reinterpret_cast<const char*>(reader.Data()), reader.Size()),
                      chunks[i]);
            EXPECT_EQ(reader.Time().Seconds, 1715678400 + i);
            EXPECT_EQ(reader.Time().Nanoseconds, c.Nanoseconds) << int(c.TsResol);
        }
        EXPECT_EQ(reader.Next(), TCaptureReader::TStatus::End);
        EXPECT_EQ(reader.Offset(), reader.FileSize());
    }
    WriteFile(Path("e.pcapng"), Pcapng(1, 9, {}));
    TCaptureReader ether;
    std::string error;
    EXPECT_FALSE(ether.Open(Path("e.pcapng"), &error));
    EXPECT_NE(error.find("link type 1 "), std::string::npos) << error;
}

// The offset after each packet is counted for a plain pcap file, and must still be the true
// one where libpcap skips bytes: a packet longer than the snapshot length is cut to it.
TEST_F(PcapCaptureTest, OffsetFollowsEveryPacketEvenOneCutToTheSnapshot) {
    std::string file;
    const auto u32 = [&file](uint32_t v) { file.append(reinterpret_cast<const char*>(&v), 4); };
    for (const uint32_t v : {0xA1B23C4Du, 0x00040002u, 0u, 0u, 8u, uint32_t{kCaptureLinkType}})
        u32(v);  // nanosecond magic, version 2.4, snapshot length 8
    const struct {
        uint32_t Stored;  // bytes in the file
        uint32_t Read;    // bytes libpcap hands over
    } packets[] = {{5, 5}, {20, 8}, {8, 8}, {3, 3}};
    for (const auto& p : packets) {
        u32(1715678400), u32(0), u32(p.Stored), u32(p.Stored);
        file += std::string(p.Stored, 'x');
    }
    WriteFile(Path("s.pcap"), file);
    TCaptureReader reader;
    std::string error;
    ASSERT_TRUE(reader.Open(Path("s.pcap"), &error)) << error;
    uint64_t offset = 24;
    for (const auto& p : packets) {
        ASSERT_EQ(reader.Next(), TCaptureReader::TStatus::Chunk);
        offset += 16 + p.Stored;
        EXPECT_EQ(reader.Size(), p.Read);
        EXPECT_EQ(reader.Offset(), offset) << "after a packet of " << p.Stored << " bytes";
    }
    EXPECT_EQ(reader.Next(), TCaptureReader::TStatus::End);
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

// A live capture: under its own name from the start, every chunk readable as soon as it is
// written (a killed run leaves them all), never over a file that is there; one that got no
// chunk is removed when abandoned, one that did is kept.
TEST_F(PcapCaptureTest, GrowingCaptureHoldsEveryChunkAsItGoesAndReplacesNothing) {
    std::string error;
    {
        TCaptureWriter writer;
        ASSERT_TRUE(writer.Open(Path("g.pcap"), &error, TCaptureMode::Growing)) << error;
        for (uint32_t i = 0; i < 3; ++i) {
            const std::string chunk(10 + i * 100, static_cast<char>('a' + i));
            ASSERT_TRUE(writer.Write({1715678400 + i, 999999999u - i}, chunk.data(),
                                     static_cast<uint32_t>(chunk.size()), &error));
            TCaptureReader reader;  // while the writer is still open, nothing flushed
            ASSERT_TRUE(reader.Open(Path("g.pcap"), &error)) << error;
            for (uint32_t j = 0; j <= i; ++j) {
                ASSERT_EQ(reader.Next(), TCaptureReader::TStatus::Chunk) << i << " " << j;
                EXPECT_EQ(reader.Size(), 10 + j * 100);
                EXPECT_EQ(reader.Data()[0], 'a' + static_cast<char>(j));
                EXPECT_EQ(reader.Time().Seconds, 1715678400 + j);
                EXPECT_EQ(reader.Time().Nanoseconds, 999999999u - j);
            }
            EXPECT_EQ(reader.Next(), TCaptureReader::TStatus::End);
        }
        EXPECT_TRUE(writer.Sync(&error)) << error;
    }  // never committed, but it holds chunks
    const std::string kept = ReadFile(Path("g.pcap"));
    EXPECT_EQ(kept.size(), 24u + 3 * 16 + 10 + 110 + 210);

    TCaptureWriter again;
    EXPECT_FALSE(again.Open(Path("g.pcap"), &error, TCaptureMode::Growing));
    EXPECT_NE(error.find("File exists"), std::string::npos) << error;
    EXPECT_EQ(ReadFile(Path("g.pcap")), kept);
    {
        TCaptureWriter empty;
        ASSERT_TRUE(empty.Open(Path("e.pcap"), &error, TCaptureMode::Growing)) << error;
        EXPECT_EQ(ReadFile(Path("e.pcap")).size(), 24u);
    }
    EXPECT_EQ(n95::test::ListDir(Dir), std::vector<std::string>{"g.pcap"});
}

}  // namespace
}  // namespace n95::host
