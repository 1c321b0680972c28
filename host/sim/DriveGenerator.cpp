#include "host/sim/DriveGenerator.h"

#include <cmath>
#include <cstdio>
#include <numbers>
#include <optional>

#include "host/common/DateTimeText.h"
#include "host/common/Geo.h"
#include "host/common/OutputFile.h"
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

// One drive being generated: the output files, the route and the car, and the schedule of
// the trace's bursts. The steps draw their random numbers in a fixed order (the set-off,
// then each second: its bursts, frame by frame, then its driving), so that a seed always
// gives the same files.
class TDriveGenerator {
public:
    TDriveGenerator(const TDriveOptions& options, TDriveObserver& watch, TDriveStats& stats,
                    std::string* error);
    // Opens the capture, the NMEA file and (if asked for) the GPX file with its head.
    bool Open(const std::string& capturePath, const std::string& nmeaPath);
    // Writes the whole drive; false when the capture cannot be written.
    bool Drive();
    // Completes the statistics, ends the GPX file and commits every file.
    bool Commit();

private:
    // The handset's replies to the trace switch-on sequence.
    void WriteSwitchOnReplies();
    // The route's directions and first leg, the first leg's speed and the first burst's time.
    void SetOff();
    // The fix at the start of the given second of the drive.
    void WriteFix(int64_t second);
    // One burst: the frames that arrived since the previous read.
    void WriteBurst();
    // One frame of the burst, appended to the chunk being filled (after writing the chunk
    // first, and moving the next one a millisecond later, when the frame would not fit).
    void AddFrame(int64_t& chunkNs);
    // The car's move during one second: waiting at a light, or driving along the route.
    void DriveOneSecond();
    const TMessageType& PickType();
    void WriteChunk(int64_t ns, const std::string& bytes);

    const TDriveOptions& Options;
    TDriveObserver& Watch;
    TDriveStats& Stats;
    std::string* Error;
    TRandom Random;
    TCaptureWriter Capture;
    TOutputFile Nmea, Gpx;
    int64_t StartNs = 0, EndNs = 0;
    double MetresPerDegreeLon = 0.0;
    unsigned TotalWeight = 0;

    // Made at the set-off: drawing its first leg is part of the drive's random sequence.
    std::optional<TRoute> Route;
    double LegSpeed = 0.0;
    int Waiting = 0;  // seconds still to wait at a red light
    double Speed = 0.0;

    int64_t NextBurst = 0, PreviousBurst = 0;
    bool Done = false;    // the drive has reached its length or size
    bool Failed = false;  // a chunk could not be written
    std::string Chunk, Payload, Text;
};

TDriveGenerator::TDriveGenerator(const TDriveOptions& options, TDriveObserver& watch,
                                 TDriveStats& stats, std::string* error)
    : Options(options), Watch(watch), Stats(stats), Error(error), Random(options.Seed) {
    const TDateTime start =
        options.Start > 0 ? options.Start : MakeDateTime(2024, 5, 14, 9, 20, 0.0);
    StartNs = static_cast<int64_t>(std::llround(DateTimeToUnixSeconds(start) * 1000.0)) * 1000000;
    EndNs = StartNs + static_cast<int64_t>(options.DurationSeconds * 1e9);
    MetresPerDegreeLon =
        kMetresPerDegreeLonAtEquator * std::cos(options.StartLatitude * std::numbers::pi / 180.0);
    for (const TMessageType& type : kMessageTypes)
        TotalWeight += type.Weight;
}

bool TDriveGenerator::Open(const std::string& capturePath, const std::string& nmeaPath) {
    if (!Capture.Open(capturePath, Error) || !Nmea.Open(nmeaPath, Error))
        return false;
    if (!Options.GpxPath.empty()) {
        if (!Gpx.Open(Options.GpxPath, Error))
            return false;
        const std::string head = GpxTrackHead("n95sim", "synthetic drive");
        std::fwrite(head.data(), 1, head.size(), Gpx.File());
    }
    return true;
}

bool TDriveGenerator::Drive() {
    WriteSwitchOnReplies();
    SetOff();
    for (int64_t second = 0; !Failed; ++second) {
        WriteFix(second);
        if (Done)
            break;
        const int64_t secondEnd = StartNs + (second + 1) * 1000000000;
        while (!Done && !Failed && NextBurst < secondEnd)
            WriteBurst();
        DriveOneSecond();
    }
    return !Failed;
}

bool TDriveGenerator::Commit() {
    Stats.RouteMetres = Route->Driven;
    Stats.CaptureBytes = Capture.BytesWritten();
    if (!Options.GpxPath.empty()) {
        std::fputs(kGpxTrackTail, Gpx.File());
        if (!Gpx.Commit(Error))
            return false;
    }
    return Capture.Commit(Error) && Nmea.Commit(Error);
}

void TDriveGenerator::WriteSwitchOnReplies() {
    const std::string ok(kAtReplyOk, kAtReplyOkSize);
    for (int i = 0; i < 3; ++i)
        WriteChunk(StartNs + 100000000 + i * 50000000, ok);
}

void TDriveGenerator::SetOff() {
    const int signEast = Random.Next() & 1 ? 1 : -1;
    const int signNorth = Random.Next() & 1 ? 1 : -1;
    Route.emplace(Random, signEast, signNorth);
    LegSpeed = Random.Uniform(8.0, 16.0);
    NextBurst = StartNs + 400000000 + static_cast<int64_t>(Random.Between(0, 999999));
    PreviousBurst = StartNs;
}

void TDriveGenerator::WriteFix(int64_t second) {
    const int64_t fixNs = StartNs + second * 1000000000;
    const TGpsPoint fix{Options.StartLongitude + Route->East / MetresPerDegreeLon,
                        Options.StartLatitude + Route->North / kMetresPerDegreeLat,
                        UnixSecondsToDateTime(static_cast<double>(fixNs / 1000000) / 1000.0)};
    Text = FormatNmeaFix(fix, Speed * 1.943844, Route->Course());
    std::fwrite(Text.data(), 1, Text.size(), Nmea.File());
    if (!Options.GpxPath.empty()) {
        Text.clear();
        AppendGpxPoint(Text, fix);
        std::fwrite(Text.data(), 1, Text.size(), Gpx.File());
    }
    Watch.OnFix(fix);
    ++Stats.Fixes;
    Stats.Seconds = static_cast<double>(second);
}

void TDriveGenerator::WriteBurst() {
    // The frames that arrived since the previous read, cut into chunks of whole frames; a
    // chunk after the first of a burst is read a millisecond later.
    const double gap = static_cast<double>(NextBurst - PreviousBurst) / 1e9;
    const auto frames = static_cast<uint64_t>(
        std::max(1.0, std::round(Options.FramesPerSecond * gap * Random.Uniform(0.6, 1.4))));
    int64_t chunkNs = NextBurst;
    Chunk.clear();
    for (uint64_t f = 0; f < frames; ++f)
        AddFrame(chunkNs);
    WriteChunk(chunkNs, Chunk);
    PreviousBurst = chunkNs;
    // Two draws in two statements: their order is part of every drive a seed makes.
    const auto gapMicroseconds = static_cast<int64_t>(Random.Between(60000, 180000));
    const auto gapNanoseconds = static_cast<int64_t>(Random.Between(0, 999));
    NextBurst = chunkNs + gapMicroseconds * 1000 + gapNanoseconds;
    Done = Options.TargetBytes > 0 ? Capture.BytesWritten() >= Options.TargetBytes
                                   : NextBurst >= EndNs;
}

void TDriveGenerator::AddFrame(int64_t& chunkNs) {
    const TMessageType& type = PickType();
    const auto length = static_cast<uint16_t>(Random.Between(type.MinPayload, type.MaxPayload));
    const bool longHeader = Random.Next() & 1;
    Payload.resize(length);
    for (uint16_t b = 0; b < length; ++b)
        Payload[b] = static_cast<char>(Random.Next() >> 56);
    for (int b = 0; b < 4 && b < length; ++b)
        Payload[b] = static_cast<char>(type.Code >> (24 - 8 * b));
    const std::size_t frameSize = (longHeader ? 10u : 6u) + length;
    if (!Chunk.empty() && Chunk.size() + frameSize > kMaxChunk) {
        WriteChunk(chunkNs, Chunk);
        Chunk.clear();
        chunkNs += 1000000;
    }
    uint8_t extension[4];
    const uint64_t bits = Random.Next();
    for (int b = 0; b < 4; ++b)
        extension[b] = static_cast<uint8_t>(bits >> (8 * b));
    AppendTraceFrame(Chunk, type.Message, longHeader, extension,
                     reinterpret_cast<const uint8_t*>(Payload.data()), length);
    Watch.OnFrame(CaptureTimeFromNanoseconds(chunkNs), type, longHeader, length);
    ++Stats.Frames;
}

void TDriveGenerator::DriveOneSecond() {
    if (Waiting > 0) {
        --Waiting;
        Speed = 0.0;
        return;
    }
    const double remaining = Route->RemainingOnLeg();
    Speed = remaining < 40.0 ? std::max(4.0, LegSpeed * remaining / 40.0) : LegSpeed;
    if (Speed >= remaining) {
        Route->Advance(remaining);
        Route->NextLeg();
        LegSpeed = Random.Uniform(8.0, 16.0);
        if (Random.Unit() < 0.15)
            Waiting = static_cast<int>(Random.Between(5, 20));  // a red light
        else
            Route->Advance(Speed - remaining);
    } else {
        Route->Advance(Speed);
    }
}

// A message type, drawn by weight.
const TMessageType& TDriveGenerator::PickType() {
    unsigned roll = static_cast<unsigned>(Random.Next() % TotalWeight);
    for (const TMessageType& type : kMessageTypes) {
        if (roll < type.Weight)
            return type;
        roll -= type.Weight;
    }
    return kMessageTypes.back();
}

// A chunk of the capture; a failed write is remembered, and the drive ends after the burst.
void TDriveGenerator::WriteChunk(int64_t ns, const std::string& bytes) {
    const TCaptureTime time = CaptureTimeFromNanoseconds(ns);
    if (!Capture.Write(time, bytes.data(), static_cast<uint32_t>(bytes.size()), Error))
        Failed = true;
    Watch.OnChunk(time, static_cast<uint32_t>(bytes.size()));
    ++Stats.Chunks;
}

}  // namespace

const std::vector<TMessageType>& DriveMessageTypes() {
    return kMessageTypes;
}

bool GenerateDrive(const TDriveOptions& options, const std::string& capturePath,
                   const std::string& nmeaPath, TDriveObserver* observer, TDriveStats& stats,
                   std::string* error) {
    stats = TDriveStats();
    TDriveObserver quiet;
    TDriveGenerator generator(options, observer != nullptr ? *observer : quiet, stats, error);
    return generator.Open(capturePath, nmeaPath) && generator.Drive() && generator.Commit();
}

}  // namespace n95::host
