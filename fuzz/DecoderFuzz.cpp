// Fuzz target: the decoder's testing-state pipeline fed fuzzer-chosen chunks through
// DecodeData (parser, throttle, stand-in decoder, copy, queue, frame log, hand-over, free).
//
// Input: one flag byte, then chunks, each as a big-endian 16-bit length, a step byte and that
// many bytes (fewer at the end of the input).
//   flags bit 0: start with StartTest (no context) instead of SetState(rsTesting)
//   flags bit 1: log the frames to a file and compare it at the end
//   flags bit 2: hand the records over after every chunk (else once, at the end)
//   flags bit 3: free the records in reverse order
//   step bits 0-6: the port clock advances by step * 50 ms before the chunk
//   step bit 7: the chunk arrives in the idle state (counted, never decoded)
//
// Properties, for every chunk: the text returned is exactly the concatenation, in order, of
// the frames that a separate parser delivers from the same chunk and that pass an
// independent model of the chain (the six throttled keys with their intervals, then the
// stand-in decoder's "payload of at least four bytes"); each queued record belongs to one
// of those frames, in the same order (payload as blob, message code, both time stamps). At the
// end: every queued record was freed exactly once, the record heap is back to empty, and the
// log holds the same frames, each followed by CR LF.
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "decoder/NokiaMSN95Decode.h"
#include "fuzz/FuzzSupport.h"
#include "platform/FakeEnv.h"
#include "tests/support/NullHostPort.h"
#include "trace/NokiaBryParse.h"

namespace n95::fuzz {
namespace {

constexpr double kStepSeconds = 0.05;

// The chain as a model, written from the frame format and the gate rules only.
class TChainModel {
public:
    // Whether `frame` passes the chain at port time `now`; updates the gate state.
    bool Passes(const std::string& frame, TDateTime now) {
        const auto b = [&](size_t i) { return static_cast<uint8_t>(frame[i]); };
        const uint16_t key = static_cast<uint16_t>((b(0) << 12) + (b(1) << 6) + b(2));
        for (Gate& g : Gates) {
            if (g.Key != key)
                continue;
            if (g.Seen && !(now - g.Last >= g.Interval))
                return false;
            g.Seen = true;
            g.Last = now;  // consumed even if the decoder then rejects the frame
            break;
        }
        return frame.size() >= 10 + 4;
    }

private:
    struct Gate {
        uint16_t Key;
        double Interval;
        bool Seen;
        double Last;
    };
    Gate Gates[6] = {
        {0x1000, 0.5 / kSecondsPerDay, false, 0}, {0x1040, 0.5 / kSecondsPerDay, false, 0},
        {0x3080, 0.5 / kSecondsPerDay, false, 0}, {0x3081, 0.5 / kSecondsPerDay, false, 0},
        {0x30C0, 1.0 / kSecondsPerDay, false, 0}, {0x30C1, 1.0 / kSecondsPerDay, false, 0},
    };
};

std::vector<std::string> DeliveredFrames(const std::string& chunk) {
    std::vector<std::string> frames;
    TNokiaBryParse parser(nullptr);
    parser.SetOnParsed(TParsedEvent{[](void* self, void*, const TNokiaBrySrc& src) {
                                        static_cast<std::vector<std::string>*>(self)->push_back(
                                            src.Frame);
                                    },
                                    &frames});
    parser.ParseBuffer(chunk.data(), static_cast<int32_t>(chunk.size()));
    return frames;
}

uint32_t BigEndian32(const std::string& s, size_t at) {
    uint32_t v = 0;
    for (size_t i = 0; i < 4; ++i)
        v = (v << 8) | static_cast<uint8_t>(s[at + i]);
    return v;
}

// A queued record must be the copy made for `frame` at port time `now`.
void CheckRecord(const TTestRecord* rec, const std::string& frame, TDateTime now) {
    N95_FUZZ_CHECK(IsTestRecord(rec) && rec->Body != nullptr);
    N95_FUZZ_CHECK(KindOfWord(rec->KindWord) == 2);
    N95_FUZZ_CHECK((rec->KindWord & KindWordBorrowed) == 0);
    const double testTime = rec->TestTime;
    const double stampTime = rec->StampTime;
    N95_FUZZ_CHECK(testTime == now && stampTime == now);
    N95_FUZZ_CHECK(rec->MessageCode == BigEndian32(frame, 10));
    const auto* body = static_cast<const TTestBody2*>(rec->Body);
    const size_t blobLen = body->BlobLen;
    N95_FUZZ_CHECK(blobLen == frame.size() - 10);
    N95_FUZZ_CHECK(std::string(reinterpret_cast<const char*>(body->Blob), blobLen) ==
                   frame.substr(10));
}

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Takes every queued record, checks it against the expected frames, frees it exactly once
// and clears the queue.
void HandOver(TNokiaMSN95Decode& d, std::vector<std::pair<std::string, TDateTime>>& expected,
              bool reverse) {
    const int32_t n = d.GetRecordCount();
    N95_FUZZ_CHECK(n == static_cast<int32_t>(expected.size()));
    N95_FUZZ_CHECK(d.GetRecord(-1) == nullptr && d.GetRecord(n) == nullptr);
    for (int32_t k = 0; k < n; ++k) {
        const int32_t i = reverse ? n - 1 - k : k;
        const TTestRecord* rec = d.GetRecord(i);
        CheckRecord(rec, expected[static_cast<size_t>(i)].first,
                    expected[static_cast<size_t>(i)].second);
        N95_FUZZ_CHECK(d.FreeRecord(i));
        N95_FUZZ_CHECK(d.GetRecord(i) == nullptr);
        N95_FUZZ_CHECK(d.FreeRecord(i));  // a second release of the index finds nil
    }
    N95_FUZZ_CHECK(d.ClearRecords());
    N95_FUZZ_CHECK(d.GetRecordCount() == 0);
    expected.clear();
}

}  // namespace

int FuzzDecoder(const uint8_t* data, size_t size) {
    static FakeEnv env;
    ScopedEnv scopedEnv(&env);
    TFuzzInput in(data, size);
    const uint8_t flags = in.U8();
    const bool startTest = (flags & 1) != 0;
    const bool logFrames = (flags & 2) != 0;
    const bool handOverEachChunk = (flags & 4) != 0;
    const bool reverse = (flags & 8) != 0;
    const std::string logPath = "/tmp/n95-decoder-fuzz-" + std::to_string(::getpid()) + ".log";

    TTrackedRecordHeap heap;
    test::NullHostPort port;  // the port clock: moved on by the step bytes
    port.TimeStamp = 46000.5;
    std::string expectedLog;
    {
        TNokiaMSN95Decode d(&port, nullptr);
        const size_t ownBlocks = heap.Live.size();  // the current record and its body
        if (startTest) {
            d.StartTest();  // without a context: no watcher
        } else {
            d.SetState(rsTesting);
        }
        N95_FUZZ_CHECK(d.GetState() == rsTesting);
        if (logFrames) {
            d.SetLogFileName(logPath);
            d.SetLogEnabled(true);
        }

        TChainModel model;
        std::vector<std::pair<std::string, TDateTime>> expected;  // queued, not handed over
        while (!in.Empty()) {
            const uint16_t length = in.U16();
            const uint8_t step = in.U8();
            const std::string chunk = in.Bytes(length);
            const bool idle = (step & 0x80) != 0;
            port.TimeStamp += (step & 0x7F) * kStepSeconds / kSecondsPerDay;

            std::string wanted;
            if (!idle) {
                for (const std::string& frame : DeliveredFrames(chunk)) {
                    if (!model.Passes(frame, port.TimeStamp))
                        continue;
                    wanted += frame;
                    expected.emplace_back(frame, port.TimeStamp);
                    if (logFrames)
                        expectedLog += frame + "\r\n";
                }
            }
            if (idle)
                d.SetState(rsIdle);
            std::string text = "stale";
            d.DecodeData(chunk.data(), static_cast<int32_t>(chunk.size()), text);
            if (idle)
                d.SetState(rsTesting);
            N95_FUZZ_CHECK(text == wanted);
            if (handOverEachChunk) {
                HandOver(d, expected, reverse);
                N95_FUZZ_CHECK(heap.Live.size() == ownBlocks);
            }
        }
        HandOver(d, expected, reverse);
        N95_FUZZ_CHECK(heap.Live.size() == ownBlocks);
        if (logFrames) {
            d.SetLogFileName("");  // closes (and flushes) the log
            N95_FUZZ_CHECK(ReadFile(logPath) == expectedLog);
            std::remove(logPath.c_str());
        }
    }
    // Every block allocated through the record heap was released exactly once. The one
    // foreign release allowed is the current record's blob, which the stand-in decoder
    // allocates with std::malloc.
    N95_FUZZ_CHECK(heap.Live.empty());
    N95_FUZZ_CHECK(heap.Allocations == heap.Frees);
    N95_FUZZ_CHECK(heap.ForeignFrees <= 1);
    return 0;
}

}  // namespace n95::fuzz

N95_FUZZ_ENTRY(n95::fuzz::FuzzDecoder)
