#include "trace/NokiaBryParse.h"

#include <algorithm>
#include <cstdint>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "gtest/gtest.h"
#include "tests/framing/ByteModel.h"

namespace {

using Bytes = std::vector<uint8_t>;

// Collects delivered frames and checks what every delivery must satisfy.
struct TRecorder {
    void* ExpectedSender = nullptr;
    std::vector<std::string> Frames;
    int ThrowAt = -1;  // delivery index at which to throw

    static void OnParsed(void* self, void* sender, const TNokiaBrySrc& src) {
        auto* recorder = static_cast<TRecorder*>(self);
        EXPECT_EQ(sender, recorder->ExpectedSender);
        EXPECT_TRUE(src.Complete);
        EXPECT_EQ(src.Header.size(), 10u);
        EXPECT_EQ(src.Frame.size(), 10u + src.PayloadLen);
        EXPECT_EQ(src.Frame.compare(0, 10, src.Header), 0);
        if (static_cast<int>(recorder->Frames.size()) == recorder->ThrowAt) {
            recorder->Frames.push_back("<thrown>");
            throw std::runtime_error("handler failed");
        }
        recorder->Frames.push_back(src.Frame);
    }

    TParsedEvent Handler() { return TParsedEvent{&TRecorder::OnParsed, this}; }
};

std::string Str(const Bytes& b) {
    return std::string(b.begin(), b.end());
}

Bytes Cat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& part : parts) {
        out.insert(out.end(), part.begin(), part.end());
    }
    return out;
}

Bytes Payload(size_t length, uint8_t seed) {
    Bytes out(length);
    for (size_t i = 0; i < length; ++i) {
        out[i] = static_cast<uint8_t>(seed + i * 7);
    }
    return out;
}

Bytes LongFrame(uint8_t key, const Bytes& payload) {
    const auto length = static_cast<uint16_t>(payload.size());
    return Cat({{key, 0x20, 0x30, 0x01, 0xAA, 0xBB, 0xCC, 0xDD, static_cast<uint8_t>(length >> 8),
                 static_cast<uint8_t>(length & 0xFF)},
                payload});
}

Bytes ShortFrame(uint8_t key, uint8_t form, const Bytes& payload) {
    const auto length = static_cast<uint16_t>(payload.size());
    return Cat({{key, 0x20, 0x30, form, static_cast<uint8_t>(length >> 8),
                 static_cast<uint8_t>(length & 0xFF)},
                payload});
}

// The delivered form of ShortFrame: four zero extension bytes inserted.
Bytes Normalised(const Bytes& shortFrame) {
    Bytes out(shortFrame.size() + 4, 0x00);
    std::copy(shortFrame.begin(), shortFrame.begin() + 4, out.begin());
    std::copy(shortFrame.begin() + 4, shortFrame.end(), out.begin() + 8);
    return out;
}

class TParserFixture {
public:
    TParserFixture() : Parser(&Owner) {
        Recorder.ExpectedSender = &Owner;
        Parser.SetOnParsed(Recorder.Handler());
    }
    std::vector<std::string> Parse(const Bytes& chunk) {
        Recorder.Frames.clear();
        Parser.ParseBuffer(chunk.data(), static_cast<int32_t>(chunk.size()));
        return Recorder.Frames;
    }

    int Owner = 0;
    TRecorder Recorder;
    TNokiaBryParse Parser;
};

const Bytes kOk = {0x0D, 0x0A, 0x4F, 0x4B, 0x0D, 0x0A};

struct TChunkCase {
    const char* Name;
    Bytes Chunk;
    std::vector<Bytes> Expected;
};

TEST(NokiaBryParseTest, ChunksDeliverTheirCompleteFramesInOrder) {
    const Bytes longA = LongFrame(0x11, Payload(3, 1));
    const Bytes shortB = ShortFrame(0x22, 0x00, Payload(5, 9));
    const Bytes shortC = ShortFrame(0x33, 0x02, Payload(1, 4));
    const Bytes zeroLong = LongFrame(0x44, {});
    const Bytes zeroShort = ShortFrame(0x55, 0x7F, {});
    const Bytes okPayload = Payload(0x0D0A, 3);  // length bytes of the OK reply: 0x0D 0x0A
    Bytes longestShortCut = ShortFrame(2, 0, Payload(65535, 6));
    longestShortCut.pop_back();
    const std::vector<TChunkCase> cases = {
        {"long header",
         {0x01, 0x02, 0x03, 0x01, 0xAA, 0xBB, 0xCC, 0xDD, 0x00, 0x02, 0x11, 0x22},
         {{0x01, 0x02, 0x03, 0x01, 0xAA, 0xBB, 0xCC, 0xDD, 0x00, 0x02, 0x11, 0x22}}},
        {"short header",
         {0x01, 0x02, 0x03, 0x00, 0x00, 0x02, 0x11, 0x22},
         {{0x01, 0x02, 0x03, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x02, 0x11, 0x22}}},
        {"form 0x02 is short", shortC, {Normalised(shortC)}},
        {"form 0xFF is short", ShortFrame(1, 0xFF, {7}), {Normalised(ShortFrame(1, 0xFF, {7}))}},
        {"three frames",
         Cat({longA, shortB, shortC}),
         {longA, Normalised(shortB), Normalised(shortC)}},
        {"truncated tail dropped", Cat({longA, Bytes(shortB.begin(), shortB.end() - 1)}), {longA}},
        {"header cut at tail",
         Cat({shortB, Bytes(longA.begin(), longA.begin() + 9)}),
         {Normalised(shortB)}},
        {"OK reply alone", kOk, {}},
        {"OK reply as frame bytes",
         Cat({kOk, okPayload}),
         {Cat({{0x0D, 0x0A, 0x4F, 0x4B, 0, 0, 0, 0, 0x0D, 0x0A}, okPayload})}},
        {"OK reply cut short", Bytes(kOk.begin(), kOk.end() - 1), {}},
        {"zero length long alone", zeroLong, {zeroLong}},
        {"zero length short alone", zeroShort, {Normalised(zeroShort)}},
        {"zero length then frame", Cat({zeroLong, shortB}), {zeroLong, Normalised(shortB)}},
        {"zero lengths in a row",
         Cat({zeroShort, zeroLong, zeroShort}),
         {Normalised(zeroShort), zeroLong, Normalised(zeroShort)}},
        {"frame then zero length at end", Cat({longA, zeroShort}), {longA, Normalised(zeroShort)}},
        {"longest long", LongFrame(1, Payload(65535, 5)), {LongFrame(1, Payload(65535, 5))}},
        {"longest short then frame",
         Cat({ShortFrame(2, 0, Payload(65535, 6)), longA}),
         {Normalised(ShortFrame(2, 0, Payload(65535, 6))), longA}},
        {"longest short one byte missing", longestShortCut, {}},
    };
    TParserFixture fixture;
    for (const TChunkCase& c : cases) {
        SCOPED_TRACE(c.Name);
        std::vector<std::string> expected;
        for (const Bytes& frame : c.Expected) {
            expected.push_back(Str(frame));
        }
        EXPECT_EQ(fixture.Parse(c.Chunk), expected);
    }
}

TEST(NokiaBryParseTest, FrameSplitOverTwoChunksIsNeverDelivered) {
    TParserFixture fixture;
    const Bytes frame = {0x01, 0x02, 0x03, 0x01, 0xAA, 0xBB, 0xCC, 0xDD, 0x00, 0x02, 0x11, 0x22};
    for (size_t cut = 1; cut < frame.size(); ++cut) {
        SCOPED_TRACE(cut);
        EXPECT_TRUE(fixture.Parse(Bytes(frame.begin(), frame.begin() + cut)).empty());
        // The second chunk's first byte is message byte 0 of a new frame: the rest of the
        // split frame is not taken as its continuation.
        const Bytes rest(frame.begin() + cut, frame.end());
        std::vector<std::string> expected;
        n95::TByteModel().Parse(rest.data(), rest.size(),
                                [&](const std::string& f) { expected.push_back(f); });
        EXPECT_EQ(fixture.Parse(rest), expected);
        EXPECT_EQ(fixture.Parse(frame), std::vector<std::string>{Str(frame)});
    }
}

TEST(NokiaBryParseTest, ThrowingHandlerResetsParserAndPropagates) {
    TParserFixture fixture;
    const Bytes first = LongFrame(1, Payload(4, 1));
    const Bytes second = ShortFrame(2, 0, Payload(4, 2));
    const Bytes third = LongFrame(3, Payload(4, 3));
    fixture.Recorder.ThrowAt = 1;
    const Bytes chunk = Cat({first, second, third});
    EXPECT_THROW(fixture.Parser.ParseBuffer(chunk.data(), static_cast<int32_t>(chunk.size())),
                 std::runtime_error);
    // The rest of the chunk was not parsed.
    EXPECT_EQ(fixture.Recorder.Frames, (std::vector<std::string>{Str(first), "<thrown>"}));

    fixture.Recorder.ThrowAt = -1;
    EXPECT_EQ(fixture.Parse(Cat({third, first})),
              (std::vector<std::string>{Str(third), Str(first)}));
}

TEST(NokiaBryParseTest, WithoutHandlerFramesAreDropped) {
    int owner = 0;
    TNokiaBryParse parser(&owner);
    const Bytes chunk = Cat({LongFrame(1, Payload(8, 1)), ShortFrame(2, 0, {})});
    parser.ParseBuffer(chunk.data(), static_cast<int32_t>(chunk.size()));  // never assigned

    TRecorder recorder;
    recorder.ExpectedSender = &owner;
    // A receiver without code is unassigned: still no delivery.
    parser.SetOnParsed(TParsedEvent{nullptr, &recorder});
    parser.ParseBuffer(chunk.data(), static_cast<int32_t>(chunk.size()));
    EXPECT_TRUE(recorder.Frames.empty());

    parser.SetOnParsed(recorder.Handler());
    parser.ParseBuffer(chunk.data(), static_cast<int32_t>(chunk.size()));
    EXPECT_EQ(recorder.Frames.size(), 2u);

    parser.SetOnParsed(TParsedEvent{});
    parser.ParseBuffer(chunk.data(), static_cast<int32_t>(chunk.size()));
    EXPECT_EQ(recorder.Frames.size(), 2u);
}

TEST(NokiaBryParseTest, NilOrEmptyBufferParsesNothing) {
    TParserFixture fixture;
    const Bytes frame = LongFrame(1, {});
    fixture.Parser.ParseBuffer(nullptr, 10);
    fixture.Parser.ParseBuffer(frame.data(), 0);
    fixture.Parser.ParseBuffer(frame.data(), -1);
    fixture.Parser.ParseBuffer(frame.data(), INT32_MIN);
    EXPECT_TRUE(fixture.Recorder.Frames.empty());
    fixture.Parser.ResetParse();
    EXPECT_EQ(fixture.Parse(frame).size(), 1u);
}

// One random chunk: frames of both forms with random lengths (0 included), an occasional
// OK reply, garbage, and a tail that may be cut anywhere.
Bytes RandomChunk(std::mt19937& rng) {
    auto pick = [&](uint32_t n) { return static_cast<uint32_t>(rng() % n); };
    Bytes chunk;
    if (pick(40) == 0) {
        chunk = kOk;
    }
    const uint32_t pieces = pick(12);
    for (uint32_t i = 0; i < pieces; ++i) {
        const uint32_t kind = pick(10);
        if (kind == 0) {
            for (uint32_t n = pick(24); n > 0; --n) {
                chunk.push_back(static_cast<uint8_t>(rng()));
            }
            continue;
        }
        uint32_t length;
        switch (pick(6)) {
            case 0:
                length = 0;
                break;
            case 1:
                length = pick(2000);
                break;
            case 2:
                length = pick(200) == 0 ? 65535 - pick(4) : pick(64);
                break;
            default:
                length = pick(64);
                break;
        }
        Bytes payload(length);
        for (uint8_t& b : payload) {
            b = static_cast<uint8_t>(rng());
        }
        if (kind < 6) {
            chunk = Cat({chunk, LongFrame(static_cast<uint8_t>(rng()), payload)});
        } else {
            chunk =
                Cat({chunk, ShortFrame(static_cast<uint8_t>(rng()),
                                       static_cast<uint8_t>(pick(3) == 0 ? rng() : 0), payload)});
        }
    }
    if (!chunk.empty() && pick(3) == 0) {
        chunk.resize(chunk.size() - 1 - pick(static_cast<uint32_t>(chunk.size())));
    }
    return chunk;
}

TEST(NokiaBryParseTest, MatchesByteAtATimeModelOnRandomChunks) {
    std::mt19937 rng(20240611);
    TParserFixture fixture;
    n95::TByteModel model;
    size_t delivered = 0;
    for (int round = 0; round < 3000; ++round) {
        const Bytes chunk = RandomChunk(rng);
        std::vector<std::string> expected;
        model.Parse(chunk.data(), chunk.size(),
                    [&](const std::string& f) { expected.push_back(f); });
        const std::vector<std::string> actual = fixture.Parse(chunk);
        ASSERT_EQ(actual.size(), expected.size()) << "round " << round;
        for (size_t i = 0; i < actual.size(); ++i) {
            ASSERT_EQ(actual[i], expected[i]) << "round " << round << " frame " << i;
        }
        delivered += actual.size();
    }
    // The generator must actually exercise delivery, not only garbage.
    EXPECT_GT(delivered, 5000u);
}

}  // namespace
