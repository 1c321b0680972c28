// NMEA 0183 position sentences: reading a GPS log into a track, and writing the sentences of
// a fix (for the drive generator).
//
// Read: $GPRMC/$GNRMC (date, time, position; status A only) and $GPGGA/$GNGGA (time and
// position; fix quality > 0; the date is that of the last RMC sentence). Every sentence must
// carry its checksum ("*hh", the XOR of the characters between '$' and '*'). Blank lines
// and well-formed sentences of other types are ignored; lines that fail the checksum or do
// not parse are skipped as problems of the track.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "decoder/HostObjects.h"
#include "host/formats/Track.h"

namespace n95::host {

// The XOR of the bytes of `body` (the text between '$' and '*').
uint8_t NmeaChecksum(std::string_view body);

// "$" body "*HH" CR LF.
std::string NmeaSentence(std::string_view body);

// The proprietary sentence "$PN95,FEED,<chunk>" that a live run writes before the sentences
// of each fix it fed: the fix was fed before the capture's chunk <chunk> (from 0) was
// decoded. Other NMEA readers ignore it, as they do every proprietary sentence.
std::string NmeaFeedMarker(int64_t chunk);

// Reads an NMEA log line by line into a track (so a long log is never held whole).
class TNmeaReader {
public:
    explicit TNmeaReader(TTrack& track);
    // One line, without its line end.
    void Line(std::string_view line);

private:
    TTrack& Track;
    uint64_t LineNumber = 0;
    bool HasDate = false;        // an RMC sentence has given the date
    double DateDays = 0.0;       // TDateTime of 00:00 of that date
    double DateTimeOfDay = 0.0;  // seconds of the day of that RMC sentence
    int64_t PendingFeed = -1;    // a feed marker for the next fix
};

// Calls `line` with each line of `text` in order, without its line end (CR LF, LF or CR).
void ForEachLine(std::string_view text, const std::function<void(std::string_view)>& line);

// Appends the usable fixes of an NMEA log (line ends CR LF, LF or CR) to `track`.
void ParseNmea(std::string_view text, TTrack& track);

// The sentences of one fix at `speedKnots` and `courseDegrees`: an RMC and a GGA sentence
// with the talker "GP", time to the centisecond and positions to 1e-5 minute.
std::string FormatNmeaFix(const TGpsPoint& fix, double speedKnots, double courseDegrees);

}  // namespace n95::host
