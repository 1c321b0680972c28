#include "host/formats/PcapCapture.h"

#include <gtest/gtest.h>
#include <pcap/pcap.h>
#include <sys/stat.h>

#include <fcntl.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <thread>

#include "host/common/DateTimeText.h"
#include "host/session/CaptureReadAhead.h"
#include "tests/host/GzipForTests.h"
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

    // `count` chunks of 1..300 bytes that do not repeat (so that a part of their gzip
    // decompresses to a part of them), a millisecond apart.
    void WriteManyChunks(const std::string& path, int count) {
        TCaptureWriter writer;
        std::string error;
        ASSERT_TRUE(writer.Open(path, &error)) << error;
        uint32_t seed = 7;
        for (int i = 0; i < count; ++i) {
            std::string chunk(1 + (i * 37) % 300, '\0');
            for (char& c : chunk)
                c = static_cast<char>((seed = seed * 1103515245u + 12345u) >> 24);
            ASSERT_TRUE(writer.Write({1715678400, static_cast<uint32_t>(i) * 1000000u},
                                     chunk.data(), static_cast<uint32_t>(chunk.size()), &error));
        }
        ASSERT_TRUE(writer.Commit(&error)) << error;
    }

    struct TChunkCopy {
        std::string Bytes;
        int64_t Seconds;
        uint32_t Nanoseconds;
        bool operator==(const TChunkCopy&) const = default;
    };
    // Every chunk until the reader stops giving them; the status it stopped with.
    static TCaptureReader::TStatus ReadAll(TCaptureReader& reader, std::vector<TChunkCopy>& out) {
        TCaptureReader::TStatus status;
        while ((status = reader.Next()) == TCaptureReader::TStatus::Chunk)
            out.push_back({std::string(reinterpret_cast<const char*>(reader.Data()), reader.Size()),
                           reader.Time().Seconds, reader.Time().Nanoseconds});
        return status;
    }
};

// Writes `bytes` to `fd` and closes it, on a thread of its own (a pipe holds only 64 KiB).
std::thread Feed(int fd, std::string bytes) {
    return std::thread([fd, bytes = std::move(bytes)] {
        for (std::size_t at = 0; at < bytes.size();) {
            const ssize_t n = write(fd, bytes.data() + at, bytes.size() - at);
            if (n <= 0)
                break;
            at += static_cast<std::size_t>(n);
        }
        close(fd);
    });
}

// A capture from a file, a pipe, a FIFO or standard input, plain or gzip (one member or
// several), gives the chunks of the plain file; a gzip stream that is cut short or damaged
// gives those before the damage and says where.
TEST_F(PcapCaptureTest, EveryFormOfInputGivesThePlainFilesChunks) {
    WriteManyChunks(Path("c.pcap"), 600);
    const std::string plain = ReadFile(Path("c.pcap"));
    std::vector<TChunkCopy> want;
    {
        TCaptureReader reader;
        std::string error;
        ASSERT_TRUE(reader.Open(Path("c.pcap"), &error)) << error;
        ASSERT_EQ(ReadAll(reader, want), TCaptureReader::TStatus::End);
        ASSERT_EQ(want.size(), 600u);
    }
    const std::string gz = n95::test::Gzip(plain);
    const std::string members = n95::test::Gzip(plain.substr(0, 1000)) + n95::test::Gzip("") +
                                n95::test::Gzip(plain.substr(1000));
    std::string flipped = gz;
    flipped[gz.size() / 2] = static_cast<char>(flipped[gz.size() / 2] ^ 0x55);

    enum class TVia { File, Pipe, Fifo, StandardInput };
    const struct {
        const char* Name;
        TVia Via;
        std::string Bytes;
        bool Compressed;
        const char* Damage;  // null: read to its end
    } cases[] = {
        {"plain file", TVia::File, plain, false, nullptr},
        {"gzip file", TVia::File, gz, true, nullptr},
        {"multi-member gzip", TVia::File, members, true, nullptr},
        {"plain pipe", TVia::Pipe, plain, false, nullptr},
        {"gzip pipe", TVia::Pipe, gz, true, nullptr},
        {"plain FIFO", TVia::Fifo, plain, false, nullptr},
        {"multi-member gzip FIFO", TVia::Fifo, members, true, nullptr},
        {"gzip standard input", TVia::StandardInput, gz, true, nullptr},
        {"truncated gzip", TVia::File, gz.substr(0, gz.size() / 2), true, "truncated"},
        {"truncated gzip pipe", TVia::Pipe, gz.substr(0, gz.size() / 2), true, "truncated"},
        {"gzip and more", TVia::File, gz + "more", true, "are not gzip"},
        {"damaged gzip", TVia::File, flipped, true, "damaged at byte offset"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Name);
        std::string path = Path("in.pcap.gz");
        std::thread writer;
        int savedInput = -1, pipeEnd = -1;
        std::filesystem::remove(path);  // a FIFO of the case before
        if (c.Via == TVia::File) {
            WriteFile(path, c.Bytes);
        } else if (c.Via == TVia::Fifo) {
            ASSERT_EQ(mkfifo(path.c_str(), 0600), 0);
            // The writer's open waits for the reader's.
            writer = std::thread([path, bytes = c.Bytes] {
                const int fd = open(path.c_str(), O_WRONLY | O_CLOEXEC);
                if (fd >= 0)
                    Feed(fd, bytes).join();
            });
        } else {
            int ends[2];
            ASSERT_EQ(pipe2(ends, O_CLOEXEC), 0);
            writer = Feed(ends[1], c.Bytes);
            pipeEnd = ends[0];
            path = "/dev/fd/" + std::to_string(ends[0]);
            if (c.Via == TVia::StandardInput) {
                savedInput = dup(0);
                ASSERT_EQ(dup2(ends[0], 0), 0);
                path = "-";
            }
        }
        TCaptureReader reader;
        std::string error;
        const bool opened = reader.Open(path, &error);
        std::vector<TChunkCopy> got;
        const TCaptureReader::TStatus status =
            opened ? ReadAll(reader, got) : TCaptureReader::TStatus::End;
        if (writer.joinable())
            writer.join();
        if (savedInput >= 0) {
            dup2(savedInput, 0);
            close(savedInput);
        }
        if (pipeEnd >= 0)
            close(pipeEnd);
        ASSERT_TRUE(opened) << error;
        EXPECT_EQ(reader.IsCompressed(), c.Compressed);
        EXPECT_EQ(reader.IsStream(), c.Via != TVia::File);
        ASSERT_LE(got.size(), want.size());
        // Damaged deflate data may decompress to wrong bytes before zlib can tell (its check
        // is at the member's end): the chunks are the plain file's but for that case.
        EXPECT_TRUE(c.Bytes == flipped || std::equal(got.begin(), got.end(), want.begin()))
            << "not the plain file's chunks";
        ASSERT_TRUE(reader.FirstTime().has_value());
        EXPECT_EQ(reader.FirstTime()->Nanoseconds, want[0].Nanoseconds);
        if (c.Damage == nullptr) {
            EXPECT_EQ(status, TCaptureReader::TStatus::End) << reader.DamageMessage();
            EXPECT_EQ(got.size(), want.size());
            EXPECT_EQ(reader.Offset(), plain.size());
            EXPECT_EQ(reader.FileSize(), c.Bytes.size());
        } else {
            EXPECT_EQ(status, TCaptureReader::TStatus::Damaged);
            EXPECT_NE(reader.DamageMessage().find(c.Damage), std::string::npos)
                << reader.DamageMessage();
            EXPECT_NE(reader.DamageMessage().find("of its decompressed data"), std::string::npos)
                << reader.DamageMessage();
            if (c.Bytes.size() < gz.size()) {  // cut short: the first half is there
                EXPECT_GT(got.size(), 0u);
            }
        }
    }
}

// The stop flag as the program has it: set by a signal's handler, on the thread it reaches.
volatile std::sig_atomic_t gStreamStop = 0;
void SetStreamStop(int) {
    gStreamStop = 1;
}

// A stop ends a wait for a stream's bytes: for a FIFO's writer at Open, for a pipe that stays
// open in Next (the flag, or Cancel from another thread as the read-ahead's destructor does).
TEST_F(PcapCaptureTest, AStopEndsAWaitForAStreamsBytes) {
    WriteManyChunks(Path("c.pcap"), 3);
    const std::string plain = ReadFile(Path("c.pcap"));
    struct sigaction action {};
    action.sa_handler = SetStreamStop;
    ASSERT_EQ(sigaction(SIGUSR2, &action, nullptr), 0);
    volatile std::sig_atomic_t& stop = gStreamStop;
    stop = 0;
    const pthread_t self = pthread_self();
    const auto signalStop = [self] { pthread_kill(self, SIGUSR2); };
    const auto stopSoon = [](const std::function<void()>& how) {
        return std::thread([how] {
            usleep(150000);
            how();
        });
    };

    ASSERT_EQ(mkfifo(Path("f.pcap").c_str(), 0600), 0);
    {
        std::thread stopper = stopSoon(signalStop);
        TCaptureReader reader;
        std::string error;
        EXPECT_FALSE(reader.Open(Path("f.pcap"), &error, &stop));  // no writer ever comes
        stopper.join();
        EXPECT_NE(error.find("interrupted"), std::string::npos) << error;
    }
    enum class THow { Flag, Cancel, ReadAheadEnds };
    for (const THow how : {THow::Flag, THow::Cancel, THow::ReadAheadEnds}) {
        stop = 0;
        int ends[2];
        ASSERT_EQ(pipe2(ends, O_CLOEXEC), 0);
        // The header and the first chunk; the pipe stays open.
        const std::size_t firstChunk = 24 + 16 + 1;
        ASSERT_EQ(write(ends[1], plain.data(), firstChunk), static_cast<ssize_t>(firstChunk));
        TCaptureReader reader;
        std::string error;
        ASSERT_TRUE(reader.Open("/dev/fd/" + std::to_string(ends[0]), &error, &stop)) << error;
        if (how == THow::ReadAheadEnds) {
            // Its thread waits in Next for the chunks of a batch when the owner is done.
            TCaptureReadAhead ahead(reader);
            usleep(50000);
        } else {
            ASSERT_EQ(reader.Next(), TCaptureReader::TStatus::Chunk);
            std::thread stopper =
                how == THow::Flag ? stopSoon(signalStop) : stopSoon([&reader] { reader.Cancel(); });
            EXPECT_EQ(reader.Next(), TCaptureReader::TStatus::Stopped);
            stopper.join();
            EXPECT_EQ(reader.Next(), TCaptureReader::TStatus::Stopped);
        }
        close(ends[0]);
        close(ends[1]);
    }
}

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
    // A device that never ends: refused for what it is, not read forever nor taken for an
    // empty file.
    std::filesystem::create_symlink("/dev/zero", Path("zero.pcap"));

    struct Case {
        const char* Name;
        const char* Message;
    };
    const Case cases[] = {
        {"missing.pcap", "No such file"},       {"empty.pcap", "empty (0 bytes)"},
        {"text.pcap", "not a pcap file"},       {"short.pcap", "not a pcap file"},
        {"ether.pcap", "link type 1 "},         {"folder.pcap", "is a directory"},
        {"zero.pcap", "is a character device"},
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
