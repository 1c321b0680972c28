#include "host/formats/TraceFrame.h"

#include <gtest/gtest.h>

#include <random>

#include "trace/NokiaBryParse.h"

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
        {longFrame + shortFrame.substr(0, 5), 1, false, false},    // the last frame is cut
        {shortFrame.substr(3), 0, false, false},                   // starts mid-frame
        {Bytes({1, 2, 3, 0, 0, 0}) + shortFrame, 2, true, false},  // an empty payload is whole
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

// ScanChunk counts without the walker: it must cut every chunk as the walker does.
TEST(TraceFrameTest, ScanCountsAsTheWalkerCuts) {
    std::mt19937 random(5);
    for (int round = 0; round < 20000; ++round) {
        // Small lengths and forms 0/1 dominate, so that whole frames, cut ones and every
        // header size all come up.
        std::string chunk;
        const int bytes = static_cast<int>(random() % 40);
        for (int i = 0; i < bytes; ++i)
            chunk.push_back(static_cast<char>(random() % 4 == 0 ? random() : random() % 3));
        const auto* data = reinterpret_cast<const uint8_t*>(chunk.data());
        uint32_t frames = 0;
        bool tail = false;
        TChunkWalker walker(data, chunk.size());
        TChunkItem item;
        while (walker.Next(item)) {
            frames += item.Kind == TChunkItem::TKind::Frame ? 1 : 0;
            tail = tail || item.Kind == TChunkItem::TKind::Tail;
        }
        const TChunkScan scan = ScanChunk(data, chunk.size());
        ASSERT_EQ(scan.Frames, frames) << round;
        ASSERT_EQ(scan.Aligned, !chunk.empty() && !tail) << round;
    }
}

struct TItemCase {
    const char* Name;
    std::string Chunk;
    // Each item: kind (F frame, T tail, A AT reply), offset, size, and the header fields
    // present: 'k' key, 'f' form, 'l' length (with its value).
    std::vector<std::tuple<char, std::size_t, std::size_t, std::string, int>> Items;
};

char KindLetter(TChunkItem::TKind kind) {
    return kind == TChunkItem::TKind::Frame ? 'F' : kind == TChunkItem::TKind::Tail ? 'T' : 'A';
}

TEST(TraceFrameTest, WalkerCutsAChunkIntoFramesTailsAndAtReplies) {
    const std::string longFrame = Bytes({1, 2, 3, 1, 9, 8, 7, 6, 0, 2, 0x11, 0x22});
    const std::string shortFrame = Bytes({4, 5, 6, 0xFF, 0, 1, 0x33});
    const std::string empty = Bytes({7, 7, 7, 0, 0, 0});
    const std::vector<TItemCase> cases = {
        {"both forms", longFrame + shortFrame, {{'F', 0, 12, "kfl", 2}, {'F', 12, 7, "kfl", 1}}},
        {"empty payloads",
         empty + longFrame + empty,
         {{'F', 0, 6, "kfl", 0}, {'F', 6, 12, "kfl", 2}, {'F', 18, 6, "kfl", 0}}},
        {"key cut", shortFrame + Bytes({1, 2}), {{'F', 0, 7, "kfl", 1}, {'T', 7, 2, "", 0}}},
        {"extension cut", Bytes({1, 2, 3, 1, 9, 9, 0, 0}), {{'T', 0, 8, "kf", 0}}},
        {"payload cut", longFrame.substr(0, 11), {{'T', 0, 11, "kfl", 2}}},
        {"garbage first",
         Bytes({0xFF, 0, 0xFF, 0, 0xFF, 0xFF}) + longFrame,
         {{'T', 0, 18, "kfl", 65535}}},
        {"AT reply", "\r\nOK\r\n", {{'A', 0, 6, "", 0}}},
        {"AT reply and more", "\r\nOK\r\n" + shortFrame, {{'T', 0, 13, "kfl", 0x0D0A}}},
        {"empty chunk", "", {}},
    };
    for (const TItemCase& c : cases) {
        TChunkWalker walker(reinterpret_cast<const uint8_t*>(c.Chunk.data()), c.Chunk.size());
        TChunkItem item;
        std::size_t n = 0;
        for (; walker.Next(item); ++n) {
            ASSERT_LT(n, c.Items.size()) << c.Name;
            const auto& [kind, offset, size, header, length] = c.Items[n];
            EXPECT_EQ(KindLetter(item.Kind), kind) << c.Name << " item " << n;
            EXPECT_EQ(item.Offset, offset) << c.Name << " item " << n;
            EXPECT_EQ(item.Size, size) << c.Name << " item " << n;
            EXPECT_EQ(item.HasKey, header.find('k') != std::string::npos) << c.Name << " " << n;
            EXPECT_EQ(item.HasForm, header.find('f') != std::string::npos) << c.Name << " " << n;
            EXPECT_EQ(item.HasLength, header.find('l') != std::string::npos) << c.Name << " " << n;
            EXPECT_EQ(item.PayloadLength, length) << c.Name << " item " << n;
        }
        EXPECT_EQ(n, c.Items.size()) << c.Name;
    }
}

// The walker's frames, normalised as the parser delivers them, are exactly the parser's.
TEST(TraceFrameTest, WalkerDeliversTheFramesThePluginParserDelivers) {
    struct TCollect {
        std::vector<std::string> Frames;
        static void On(void* self, void*, const TNokiaBrySrc& src) {
            static_cast<TCollect*>(self)->Frames.push_back(src.Frame);
        }
    };
    std::vector<std::string> chunks = {
        Bytes({1, 2, 3, 0, 0, 0, 4, 5, 6, 1, 1, 2, 3, 4, 0, 1, 9}),
        Bytes({1, 2, 3, 1, 0, 0, 0, 0, 0, 0}),
        "\r\nOK\r\n",
        "\r\nOK\r\n\r\nOK\r\n",
    };
    std::mt19937 random(7);
    for (int c = 0; c < 2000; ++c) {
        // Mostly zeros and small bytes, so that lengths are short and many frames whole.
        std::string chunk(random() % 64, '\0');
        for (char& b : chunk) {
            const unsigned r = random() % 8;
            b = static_cast<char>(r == 0 ? random() % 256 : r < 3 ? random() % 10 : 0);
        }
        chunks.push_back(chunk);
    }
    TNokiaBryParse parser(nullptr);
    TCollect parsed;
    std::size_t compared = 0;
    parser.SetOnParsed(TParsedEvent{&TCollect::On, &parsed});
    for (const std::string& chunk : chunks) {
        parsed.Frames.clear();
        parser.ParseBuffer(chunk.data(), static_cast<int32_t>(chunk.size()));
        std::vector<std::string> walked;
        TChunkWalker walker(reinterpret_cast<const uint8_t*>(chunk.data()), chunk.size());
        TChunkItem item;
        while (walker.Next(item)) {
            if (item.Kind != TChunkItem::TKind::Frame)
                continue;
            std::string frame(reinterpret_cast<const char*>(item.Message), 3);
            frame.push_back(chunk[item.Offset + 3]);
            frame.append(reinterpret_cast<const char*>(item.Extension), 4);
            frame.push_back(static_cast<char>(item.PayloadLength >> 8));
            frame.push_back(static_cast<char>(item.PayloadLength & 0xFF));
            walked.push_back(frame.append(item.Payload));
        }
        ASSERT_EQ(walked, parsed.Frames) << "chunk of " << chunk.size() << " bytes";
        compared += walked.size();
    }
    EXPECT_GT(compared, 1000u);  // the chunks hold many whole frames, not only tails
}

}  // namespace
}  // namespace n95::host
