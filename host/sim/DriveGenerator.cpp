#include "host/sim/DriveGenerator.h"

#include <cmath>
#include <cstdio>

#include "host/common/OutputFile.h"
#include "host/common/DateTimeText.h"
#include "host/common/Geo.h"
#include "host/formats/Gpx.h"
#include "host/formats/Nmea.h"
#include "host/formats/TraceFrame.h"

namespace n95::host {

namespace {

// Message table. Throttled keys ((b0*4096 + b1*64 + b2) mod 65536): 0x1000 (01 00 00, and
// 11 00 00 since only b0's low nibble counts), 0x1040 (01 01 00, and 01 00 40 since b1*64
// overlaps b2), 0x3080, 0x3081, 0x30C0, 0x30C1. Codes are chosen so that, after the
// plug-in's normalisation, every message class 0..3 appears, some codes through
// normalisation (0x0000060D -> 0x512F060D) and some directly (0x412F0112), and some codes
// have no class at all.
const std::vector<TMessageType> kMessageTypes = {
    {"serving cell report", {0x01, 0x00, 0x00}, 0x412F0112, 20, 60, 30},
    {"serving cell report (alias)", {0x11, 0x00, 0x00}, 0x412F0619, 20, 60, 8},
    {"neighbour report", {0x01, 0x01, 0x00}, 0x0000060D, 20, 60, 30},
    {"neighbour report (alias)", {0x01, 0x00, 0x40}, 0x0000061A, 20, 60, 10},
    {"active set update", {0x03, 0x02, 0x00}, 0x12340301, 12, 48, 25},
    {"measurement control", {0x03, 0x02, 0x01}, 0x0000030F, 12, 48, 25},
    {"rrc state", {0x03, 0x03, 0x00}, 0x0000032D, 8, 32, 20},
    {"cell reselection", {0x03, 0x03, 0x01}, 0x412F0310, 8, 32, 20},
    {"physical channel", {0x02, 0x10, 0x05}, 0x713A0307, 6, 40, 120},
    {"transport block", {0x02, 0x11, 0x07}, 0x000003C1, 6, 40, 100},
    {"power control", {0x04, 0x20, 0x01}, 0x0000032A, 6, 32, 80},
    {"handover report", {0x04, 0x21, 0x02}, 0x0000068D, 6, 32, 60},
    {"layer 1 status", {0x05, 0x01, 0x09}, 0x00000A2D, 6, 24, 80},
    {"system info", {0x05, 0x02, 0x0A}, 0x00030000, 6, 40, 60},
    {"mac status", {0x06, 0x00, 0x33}, 0x00000112, 6, 24, 100},
    {"rlc status", {0x07, 0x07, 0x07}, 0x12340519, 6, 24, 50},
    {"gsm cell report", {0x08, 0x08, 0x08}, 0x412F0401, 8, 40, 40},
    {"rrc state (unthrottled)", {0x09, 0x00, 0x01}, 0x713A032D, 8, 32, 40},
    {"keep-alive", {0x0F, 0x00, 0x00}, 0x00000000, 1, 3, 30},
};

constexpr std::size_t kMaxChunk = 4096;

// xoshiro256** seeded through splitmix64: fast, deterministic, good enough for test data.
class TRandom {
public:
    explicit TRandom(uint64_t seed) {
        for (uint64_t& word : State) {
            seed += 0x9E3779B97F4A7C15ull;
            uint64_t z = seed;
            z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
            z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
            word = z ^ (z >> 31);
        }
    }
    uint64_t Next() {
        const uint64_t result = Rotl(State[1] * 5, 7) * 9;
        const uint64_t t = State[1] << 17;
        State[2] ^= State[0];
        State[3] ^= State[1];
        State[1] ^= State[2];
        State[0] ^= State[3];
        State[2] ^= t;
        State[3] = Rotl(State[3], 45);
        return result;
    }
    // Uniform in [0, 1).
    double Unit() { return static_cast<double>(Next() >> 11) * 0x1.0p-53; }
    double Uniform(double low, double high) { return low + (high - low) * Unit(); }
    // Uniform integer in [low, high].
    uint64_t Between(uint64_t low, uint64_t high) { return low + Next() % (high - low + 1); }

private:
    static uint64_t Rotl(uint64_t x, int k) { return (x << k) | (x >> (64 - k)); }
    uint64_t State[4];
};

// The city-grid route: legs alternate between the east-west and the north-south axis.
class TRoute {
public:
    TRoute(TRandom& random, int signEast, int signNorth)
        : Random(random), SignEast(signEast), SignNorth(signNorth) {
        NewLeg();
    }
    double RemainingOnLeg() const { return LegLength - LegDone; }
    void Advance(double metres) {
        LegDone += metres;
        Driven += metres;
        (AlongEast ? East : North) += (AlongEast ? SignEast : SignNorth) * metres;
    }
    void NextLeg() {
        AlongEast = !AlongEast;
        NewLeg();
    }
    double East = 0.0, North = 0.0, Driven = 0.0;
    double Course() const {
        if (AlongEast)
            return SignEast > 0 ? 90.0 : 270.0;
        return SignNorth > 0 ? 0.0 : 180.0;
    }

private:
    void NewLeg() {
        LegLength = Random.Uniform(150.0, 500.0);
        LegDone = 0.0;
    }
    TRandom& Random;
    int SignEast, SignNorth;
    bool AlongEast = true;
    double LegLength = 0.0, LegDone = 0.0;
};

}  // namespace

const std::vector<TMessageType>& DriveMessageTypes() {
    return kMessageTypes;
}

bool GenerateDrive(const TDriveOptions& options, const std::string& capturePath,
                   const std::string& nmeaPath, TDriveObserver* observer, TDriveStats& stats,
                   std::string* error) {
    stats = TDriveStats();
    TDriveObserver quiet;
    TDriveObserver& watch = observer != nullptr ? *observer : quiet;
    TRandom random(options.Seed);

    TCaptureWriter capture;
    TOutputFile nmea, gpx;
    if (!capture.Open(capturePath, error) || !nmea.Open(nmeaPath, error))
        return false;
    if (!options.GpxPath.empty()) {
        if (!gpx.Open(options.GpxPath, error))
            return false;
        const std::string head = GpxTrackHead("n95sim", "synthetic drive");
        std::fwrite(head.data(), 1, head.size(), gpx.File());
    }

    const TDateTime start =
        options.Start > 0 ? options.Start : MakeDateTime(2024, 5, 14, 9, 20, 0.0);
    const auto startNs =
        static_cast<int64_t>(std::llround(DateTimeToUnixSeconds(start) * 1000.0)) * 1000000;
    const int64_t endNs = startNs + static_cast<int64_t>(options.DurationSeconds * 1e9);

    unsigned totalWeight = 0;
    for (const TMessageType& type : kMessageTypes)
        totalWeight += type.Weight;
    const auto pickType = [&]() -> const TMessageType& {
        unsigned roll = static_cast<unsigned>(random.Next() % totalWeight);
        for (const TMessageType& type : kMessageTypes) {
            if (roll < type.Weight)
                return type;
            roll -= type.Weight;
        }
        return kMessageTypes.back();
    };

    bool failed = false;
    const auto writeChunk = [&](int64_t ns, const std::string& bytes) {
        const TCaptureTime time = CaptureTimeFromNanoseconds(ns);
        if (!capture.Write(time, bytes.data(), static_cast<uint32_t>(bytes.size()), error))
            failed = true;
        watch.OnChunk(time, static_cast<uint32_t>(bytes.size()));
        ++stats.Chunks;
    };

    // The handset's replies to the trace switch-on sequence.
    const std::string ok(kAtReplyOk, kAtReplyOkSize);
    for (int i = 0; i < 3; ++i)
        writeChunk(startNs + 100000000 + i * 50000000, ok);

    const int signEast = random.Next() & 1 ? 1 : -1;
    const int signNorth = random.Next() & 1 ? 1 : -1;
    TRoute route(random, signEast, signNorth);
    const double metresPerDegreeLon =
        kMetresPerDegreeLonAtEquator * std::cos(options.StartLatitude * M_PI / 180.0);
    double legSpeed = random.Uniform(8.0, 16.0);
    int waiting = 0;
    double speed = 0.0;

    std::string chunk, payload, text;
    int64_t nextBurst = startNs + 400000000 + static_cast<int64_t>(random.Between(0, 999999));
    int64_t previousBurst = startNs;
    bool done = false;
    for (int64_t second = 0; !failed; ++second) {
        const int64_t fixNs = startNs + second * 1000000000;
        const TGpsPoint fix{options.StartLongitude + route.East / metresPerDegreeLon,
                            options.StartLatitude + route.North / kMetresPerDegreeLat,
                            UnixSecondsToDateTime(static_cast<double>(fixNs / 1000000) / 1000.0)};
        text = FormatNmeaFix(fix, speed * 1.943844, route.Course());
        std::fwrite(text.data(), 1, text.size(), nmea.File());
        if (!options.GpxPath.empty()) {
            text.clear();
            AppendGpxPoint(text, fix);
            std::fwrite(text.data(), 1, text.size(), gpx.File());
        }
        watch.OnFix(fix);
        ++stats.Fixes;
        stats.Seconds = static_cast<double>(second);
        if (done)
            break;

        const int64_t secondEnd = fixNs + 1000000000;
        while (!done && !failed && nextBurst < secondEnd) {
            // The frames that arrived since the previous read, cut into chunks of whole
            // frames; a chunk after the first of a burst is read a millisecond later.
            const double gap = static_cast<double>(nextBurst - previousBurst) / 1e9;
            const auto frames = static_cast<uint64_t>(std::max(
                1.0, std::round(options.FramesPerSecond * gap * random.Uniform(0.6, 1.4))));
            int64_t chunkNs = nextBurst;
            chunk.clear();
            for (uint64_t f = 0; f < frames; ++f) {
                const TMessageType& type = pickType();
                const auto length =
                    static_cast<uint16_t>(random.Between(type.MinPayload, type.MaxPayload));
                const bool longHeader = random.Next() & 1;
                payload.resize(length);
                for (uint16_t b = 0; b < length; ++b)
                    payload[b] = static_cast<char>(random.Next() >> 56);
                for (int b = 0; b < 4 && b < length; ++b)
                    payload[b] = static_cast<char>(type.Code >> (24 - 8 * b));
                const std::size_t frameSize = (longHeader ? 10u : 6u) + length;
                if (!chunk.empty() && chunk.size() + frameSize > kMaxChunk) {
                    writeChunk(chunkNs, chunk);
                    chunk.clear();
                    chunkNs += 1000000;
                }
                uint8_t extension[4];
                const uint64_t bits = random.Next();
                for (int b = 0; b < 4; ++b)
                    extension[b] = static_cast<uint8_t>(bits >> (8 * b));
                AppendTraceFrame(chunk, type.Message, longHeader, extension,
                                 reinterpret_cast<const uint8_t*>(payload.data()), length);
                watch.OnFrame(CaptureTimeFromNanoseconds(chunkNs), type, longHeader, length);
                ++stats.Frames;
            }
            writeChunk(chunkNs, chunk);
            previousBurst = chunkNs;
            nextBurst = chunkNs + static_cast<int64_t>(random.Between(60000, 180000)) * 1000 +
                        static_cast<int64_t>(random.Between(0, 999));
            done = options.TargetBytes > 0 ? capture.BytesWritten() >= options.TargetBytes
                                           : nextBurst >= endNs;
        }

        // One second of driving.
        if (waiting > 0) {
            --waiting;
            speed = 0.0;
            continue;
        }
        const double remaining = route.RemainingOnLeg();
        speed = remaining < 40.0 ? std::max(4.0, legSpeed * remaining / 40.0) : legSpeed;
        if (speed >= remaining) {
            route.Advance(remaining);
            route.NextLeg();
            legSpeed = random.Uniform(8.0, 16.0);
            if (random.Unit() < 0.15)
                waiting = static_cast<int>(random.Between(5, 20));  // a red light
            else
                route.Advance(speed - remaining);
        } else {
            route.Advance(speed);
        }
    }
    if (failed)
        return false;
    stats.RouteMetres = route.Driven;
    stats.CaptureBytes = capture.BytesWritten();

    if (!options.GpxPath.empty()) {
        std::fputs(kGpxTrackTail, gpx.File());
        if (!gpx.Commit(error))
            return false;
    }
    return capture.Commit(error) && nmea.Commit(error);
}

}  // namespace n95::host
