// NMEA 0183 position sentences: reading a GPS log into a track, and writing the sentences of
// a fix (for the drive generator).
//
// Read: $GPRMC/$GNRMC (date, time, position; status A only) and $GPGGA/$GNGGA (time and
// position; fix quality > 0; the date is that of the last RMC sentence, or the reader's
// default date when no RMC sentence came before). Every sentence must carry its checksum
// ("*hh", the XOR of the characters between '$' and '*'). Blank lines and well-formed
// sentences of other types are ignored; lines that fail the checksum, do not parse, are
// too long or report no fix are skipped as problems of the track.
#pragma once

#include <cstddef>
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

// The proprietary sentence "$PN95,<EVENT>,<chunk>,<fixes>" that a live run writes where it
// asked the plug-in for `kind` (EVENT: RECONNECT, RESTART, STOP, START): before the
// capture's chunk <chunk> was decoded, after the first <fixes> fixes of the log were fed. The
// fix count orders the event among the fixes fed before the same chunk, whose order decides
// the positions (a reconnect starts the plug-in's tagging afresh).
std::string NmeaRunMarker(const TRunMarker& marker);

// "RECONNECT", ...: the event's word in its marker.
const char* RunMarkerWord(TRunMarkerKind kind);

// The longest line the NMEA readers take (the replay's track and the live GPS), without its
// line end. A sentence has at most 82 characters: a longer "line" is noise, or not NMEA at
// all. It is skipped whole, as one problem, and never held in memory.
inline constexpr std::size_t kMaxNmeaLine = 4096;

// Reads an NMEA log line by line into a track (so a long log is never held whole).
class TNmeaReader {
public:
    explicit TNmeaReader(TTrack& track, const TNmeaDefaultDate& defaultDate = {});
    // One line, without its line end.
    void Line(std::string_view line);

    // Bytes of the log as they come, cut anywhere: CR LF, LF and CR each end a line. At most
    // kMaxNmeaLine bytes of a line are held; a longer line is skipped as a problem, counted
    // as soon as it passes the limit.
    void Take(const char* data, std::size_t size);
    // The end of the log: a last line without a line end is read too, and a fix the track
    // holds is decided (see TFixFilter::Finish). Reading may go on after it.
    void Finish();
    // Counts `count` blank lines, as if they had been read.
    void SkipBlankLines(uint64_t count) { LineNumber += count; }
    // Forgets the line being received: the log starts afresh.
    void DropPartialLine();

private:
    void EndLine();
    void SkipLongLine();

    TTrack& Track;
    uint64_t LineNumber = 0;
    bool HasDate = false;          // an RMC sentence has given the date
    double DateDays = 0.0;         // TDateTime of 00:00 of that date
    double DateTimeOfDay = 0.0;    // seconds of the day of that RMC sentence
    TNmeaDefaultDate DefaultDate;  // for GGA sentences before any RMC and any fix
    std::string Partial;           // the line being received by Take
    bool PendingCr = false;        // the last byte taken was CR: a LF after it ends no line
    bool TooLong = false;          // the line being received is over kMaxNmeaLine
    int64_t PendingFeed = -1;      // a feed marker for the next fix
};

// Calls `line` with each line of `text` in order, without its line end (CR LF, LF or CR).
void ForEachLine(std::string_view text, const std::function<void(std::string_view)>& line);

// Appends the usable fixes of a whole NMEA log (line ends CR LF, LF or CR) to `track`.
void ParseNmea(std::string_view text, TTrack& track);

// The sentences of one fix at `speedKnots` and `courseDegrees`: an RMC and a GGA sentence
// with the talker "GP", time to the centisecond and positions to 1e-5 minute.
std::string FormatNmeaFix(const TGpsPoint& fix, double speedKnots, double courseDegrees);

}  // namespace n95::host
