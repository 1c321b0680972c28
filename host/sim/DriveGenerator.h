// A synthetic drive: a capture of the handset's trace and the GPS track of the same drive,
// deterministic from a seed.
//
// The route is a city-grid drive: straight legs of 150-500 m, alternately along a parallel
// and a meridian, always turning the same two ways (for example north and east), so it
// never crosses itself and both coordinates change monotonically along it. The car drives
// 8-16 m/s, slows down before corners and sometimes waits at one. The GPS logs one fix per
// second (an RMC and a GGA sentence).
//
// The trace comes in bursts every 60-180 ms, a few hundred frames per second on average
// (set by the rate), each burst one chunk of whole frames (split at frame boundaries above
// 4 KiB). The capture opens with three AT replies ("OK"), as after the trace switch-on
// sequence. Frames of both header forms carry message codes that cover every message class
// and codes without one, the six throttled message keys (two of them also reached by other
// message bytes that share the key), and short status frames that the decoder rejects.
//
// Not thread-safe; each call is independent.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "decoder/HostObjects.h"
#include "host/formats/PcapCapture.h"

namespace n95::host {

struct TDriveOptions {
    uint64_t Seed = 1;
    double DurationSeconds = 240.0;  // drive length; ignored when TargetBytes > 0
    uint64_t TargetBytes = 0;        // > 0: drive until the capture holds this many bytes
    double FramesPerSecond = 300.0;  // mean frame rate
    TDateTime Start = 0.0;           // first fix; 0 = 2024-05-14T09:20:00Z
    double StartLatitude = 60.1699;
    double StartLongitude = 24.9384;
    std::string GpxPath;  // also write the track as GPX 1.1 here; empty = no
};

// One kind of trace message the generator sends.
struct TMessageType {
    const char* Name;
    uint8_t Message[3];   // message bytes 0..2 of the header
    uint32_t Code;        // first four payload bytes, big-endian
    uint16_t MinPayload;  // payload bytes, 1..
    uint16_t MaxPayload;
    unsigned Weight;  // relative frequency
};

// The generator's message table.
const std::vector<TMessageType>& DriveMessageTypes();

// What the generator put in, frame by frame (for tests and statistics).
class TDriveObserver {
public:
    virtual ~TDriveObserver() = default;
    // A frame, with the capture time of its chunk.
    virtual void OnFrame(TCaptureTime chunkTime, const TMessageType& type, bool longHeader,
                         uint16_t payloadLength) {
        (void)chunkTime, (void)type, (void)longHeader, (void)payloadLength;
    }
    virtual void OnChunk(TCaptureTime time, uint32_t size) { (void)time, (void)size; }
    virtual void OnFix(const TGpsPoint& fix) { (void)fix; }
};

struct TDriveStats {
    uint64_t Chunks = 0;
    uint64_t Frames = 0;
    uint64_t CaptureBytes = 0;
    uint64_t Fixes = 0;
    double Seconds = 0.0;      // from the first to the last fix
    double RouteMetres = 0.0;  // distance driven
};

// Writes the capture to `capturePath` and the NMEA track to `nmeaPath` (each atomically).
// False with a message in *error when a file cannot be written.
bool GenerateDrive(const TDriveOptions& options, const std::string& capturePath,
                   const std::string& nmeaPath, TDriveObserver* observer, TDriveStats& stats,
                   std::string* error);

}  // namespace n95::host
