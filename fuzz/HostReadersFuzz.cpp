// Fuzz target: the host tool's readers of the files it replays: pcap captures (chunk by
// chunk), NMEA logs (whole and line by line) and GPX tracks.
//
// Input: one selector byte (its value modulo 4: 0 capture, 1 NMEA log, 2 GPX document, 3 an
// NMEA fix written and read back), then the file's bytes.
//
// Properties. Capture: opening never crashes; the chunks come with sizes within the limit,
// time stamps of 0..2^32-1 seconds and nanoseconds below one second, offsets that add up to the
// bytes read and stay within the file; End and Damaged are final; a capture read to its end is
// written again with the writer and reads back identical. NMEA: the fixes are usable positions in
// strictly increasing time; feeding the log line by line gives the same track as the whole
// text. GPX: the same invariants of the track. Round trip: a fix formatted as NMEA sentences
// is read back as one fix within the sentences' precision.
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz/FuzzSupport.h"
#include "host/formats/Gpx.h"
#include "host/formats/Nmea.h"
#include "host/formats/PcapCapture.h"
#include "host/formats/Track.h"

namespace n95::fuzz {
namespace {

using host::TCaptureReader;
using host::TCaptureTime;
using host::TCaptureWriter;
using host::TTrack;

void CheckTrack(const TTrack& track) {
    for (std::size_t i = 0; i < track.Fixes.size(); ++i) {
        const TGpsPoint& f = track.Fixes[i];
        N95_FUZZ_CHECK(host::IsValidPosition(f.X, f.Y));
        N95_FUZZ_CHECK(std::isfinite(f.Time));
        if (i > 0)
            N95_FUZZ_CHECK(f.Time > track.Fixes[i - 1].Time);
    }
    N95_FUZZ_CHECK(track.Skipped <= track.Entries);
    N95_FUZZ_CHECK(track.FirstProblems.size() <= TTrack::kReportedProblems);
    N95_FUZZ_CHECK(track.FirstProblems.size() <= track.Skipped);
    uint64_t byKind = 0;
    for (const uint64_t count : track.ProblemCounts)
        byKind += count;
    N95_FUZZ_CHECK(byKind == track.Skipped);
}

bool SameFixes(const TTrack& a, const TTrack& b) {
    if (a.Fixes.size() != b.Fixes.size())
        return false;
    return a.Fixes.empty() ||
           std::memcmp(a.Fixes.data(), b.Fixes.data(), a.Fixes.size() * sizeof(TGpsPoint)) == 0;
}

void FuzzNmea(std::string_view text) {
    TTrack whole;
    host::ParseNmea(text, whole);
    CheckTrack(whole);

    // Bytes in pieces, as a live feed and a track file are read: the same lines, whatever
    // the cuts, and the reader keeps no state across lines that the whole-text parse would
    // not.
    TTrack lines;
    host::TNmeaReader reader(lines);
    for (std::size_t at = 0; at < text.size(); at += 7)
        reader.Take(text.data() + at, std::min<std::size_t>(7, text.size() - at));
    reader.Finish();
    N95_FUZZ_CHECK(SameFixes(whole, lines));
    N95_FUZZ_CHECK(whole.Skipped == lines.Skipped && whole.Entries == lines.Entries);
}

void FuzzGpx(std::string_view text) {
    TTrack track;
    std::string error;
    if (host::ParseGpx(text.data(), text.size(), track, &error)) {
        CheckTrack(track);
    } else {
        N95_FUZZ_CHECK(!error.empty());
    }
}

// A fix from the input, within the range the sentences can carry (two-digit years
// 1980..2079), formatted and read back.
void FuzzNmeaRoundTrip(TFuzzInput& in) {
    const double lon = (in.U32() / 4294967295.0) * 360.0 - 180.0;
    const double lat = (in.U32() / 4294967295.0) * 180.0 - 90.0;
    const double first = 29221.0;  // 1980-01-01
    const double last = 65745.0;   // 2079-12-31
    const double time = first + (in.U32() / 4294967295.0) * (last - first);
    const TGpsPoint fix{lon, lat, time};
    const std::string text = host::FormatNmeaFix(fix, in.U8() / 2.0, in.U16() / 182.0);
    TTrack track;
    host::ParseNmea(text, track);
    N95_FUZZ_CHECK(track.Skipped == 0);
    N95_FUZZ_CHECK(track.Fixes.size() == 1);
    const TGpsPoint& back = track.Fixes[0];
    const double degreeUnit = 1.0 / 60.0 / 100000.0;  // 1e-5 minute
    N95_FUZZ_CHECK(std::fabs(back.X - lon) <= degreeUnit * 0.5 + 1e-9);
    N95_FUZZ_CHECK(std::fabs(back.Y - lat) <= degreeUnit * 0.5 + 1e-9);
    N95_FUZZ_CHECK(std::fabs(back.Time - time) * 86400.0 <= 0.005 + 1e-6);
}

struct TChunk {
    TCaptureTime Time;
    std::string Data;
};

// The capture in `bytes`, read through a file that only lives in memory.
void FuzzCapture(std::string_view bytes) {
    const int fd = memfd_create("n95-capture", 0);
    N95_FUZZ_CHECK(fd >= 0);
    N95_FUZZ_CHECK(write(fd, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size()));
    const std::string path = "/proc/self/fd/" + std::to_string(fd);

    TCaptureReader reader;
    std::string error;
    std::vector<TChunk> chunks;
    bool ended = false;
    if (reader.Open(path, &error)) {
        N95_FUZZ_CHECK(reader.FileSize() == bytes.size());
        uint64_t offset = reader.Offset();
        // A pcapng file's first blocks have no fixed size. The offsets of a gzip capture are
        // those of its decompressed data, which may be larger than the file.
        N95_FUZZ_CHECK(reader.IsPcapng() ? reader.IsCompressed() || offset <= bytes.size()
                                         : offset == host::kPcapFileHeaderBytes);
        for (;;) {
            const TCaptureReader::TStatus status = reader.Next();
            if (status != TCaptureReader::TStatus::Chunk) {
                N95_FUZZ_CHECK(reader.Next() == status);  // final
                N95_FUZZ_CHECK(reader.Size() == 0);
                if (status == TCaptureReader::TStatus::Damaged) {
                    N95_FUZZ_CHECK(!reader.DamageMessage().empty());
                } else {
                    ended = true;
                }
                break;
            }
            N95_FUZZ_CHECK(reader.Size() <= host::kMaxChunkBytes);
            N95_FUZZ_CHECK(reader.Size() == 0 || reader.Data() != nullptr);
            // The format's seconds are an unsigned 32-bit count, whatever the byte order.
            N95_FUZZ_CHECK(reader.Time().Seconds >= 0 && reader.Time().Seconds <= 0xFFFFFFFFll);
            N95_FUZZ_CHECK(reader.Time().Nanoseconds <= 999999999u);
            if (reader.IsPcapng()) {
                N95_FUZZ_CHECK(reader.Offset() > offset);
            } else {
                // At least the packet's header and the bytes kept; more when a packet longer
                // than the snapshot length was cut to it (its bytes are in the file).
                N95_FUZZ_CHECK(reader.Offset() >=
                               offset + host::kPcapPacketHeaderBytes + reader.Size());
            }
            offset = reader.Offset();
            N95_FUZZ_CHECK(reader.IsCompressed() || reader.Offset() <= reader.FileSize());
            N95_FUZZ_CHECK(reader.ChunkCount() == chunks.size() + 1);
            chunks.push_back(
                TChunk{reader.Time(),
                       std::string(reinterpret_cast<const char*>(reader.Data()), reader.Size())});
        }
    } else {
        N95_FUZZ_CHECK(!error.empty());
    }
    close(fd);

    // Written again and read back, a capture is the same chunks.
    bool writable = ended && chunks.size() <= 8;
    for (const TChunk& c : chunks)
        writable = writable && !c.Data.empty();
    if (!writable)
        return;
    const std::string copyPath = "/tmp/n95-host-readers-fuzz-" + std::to_string(getpid()) + ".pcap";
    TCaptureWriter writer;
    N95_FUZZ_CHECK(writer.Open(copyPath, &error));
    for (const TChunk& c : chunks) {
        N95_FUZZ_CHECK(
            writer.Write(c.Time, c.Data.data(), static_cast<uint32_t>(c.Data.size()), &error));
    }
    N95_FUZZ_CHECK(writer.Commit(&error));
    TCaptureReader again;
    N95_FUZZ_CHECK(again.Open(copyPath, &error));
    for (const TChunk& c : chunks) {
        N95_FUZZ_CHECK(again.Next() == TCaptureReader::TStatus::Chunk);
        N95_FUZZ_CHECK(again.Time().Seconds == c.Time.Seconds);
        N95_FUZZ_CHECK(again.Time().Nanoseconds == c.Time.Nanoseconds);
        N95_FUZZ_CHECK(
            std::string_view(reinterpret_cast<const char*>(again.Data()), again.Size()) == c.Data);
    }
    N95_FUZZ_CHECK(again.Next() == TCaptureReader::TStatus::End);
    std::remove(copyPath.c_str());
}

}  // namespace

int FuzzHostReaders(const uint8_t* data, size_t size) {
    TFuzzInput in(data, size);
    const uint8_t selector = in.U8() % 4;
    if (selector == 3) {
        FuzzNmeaRoundTrip(in);
        return 0;
    }
    const std::string rest = in.Rest();
    switch (selector) {
        case 0:
            FuzzCapture(rest);
            break;
        case 1:
            FuzzNmea(rest);
            break;
        default:
            FuzzGpx(rest);
            break;
    }
    return 0;
}

}  // namespace n95::fuzz

N95_FUZZ_ENTRY(n95::fuzz::FuzzHostReaders)
