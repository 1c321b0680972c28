// Where a live run's GPS fixes come from: a receiver's serial device or a growing NMEA file
// (TGpsFeed), or gpsd (TGpsdFeed). The live run knows only this interface: it waits on the
// descriptor, polls, feeds the fixes the track gained, and reports what the source says.
//
// Every source keeps its fixes in a TTrack under the track's rules: positions only from
// usable fixes, times strictly increasing; what is refused is counted in Skipped.
//
// Not thread-safe; one owner, the live run's thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "host/formats/Track.h"

namespace n95::host {

// Something a source has to say while the run goes on: a connection lost, or regained.
struct TFixNotice {
    bool Warning = false;
    std::string Text;
};

class TFixSource {
public:
    virtual ~TFixSource() = default;

    // How messages and the summary name the source: "/dev/ttyUSB0 (NMEA)",
    // "gpsd localhost:2947".
    virtual std::string Name() const = 0;

    // The descriptor to wait on for input, or -1 when the source must be polled on a timer
    // (a followed file, a source that is reconnecting, one that is lost).
    virtual int Descriptor() const = 0;

    // Reads whatever has arrived without blocking for long; returns how many fixes the
    // track gained.
    virtual std::size_t Poll() = 0;

    virtual const TTrack& Track() const = 0;

    // Non-empty once the source is gone for good (a receiver unplugged): no more fixes will
    // come, and the run stops waiting for them. A source that reconnects by itself is never
    // lost; it says what happens through TakeNotices.
    virtual const std::string& Lost() const = 0;

    // What happened since the last call, in order; the run prints it.
    virtual std::vector<TFixNotice> TakeNotices() { return {}; }

    // The word for what the track counts as entries: "lines" (NMEA), "reports" (gpsd).
    virtual const char* EntryName() const { return "lines"; }

    // Times the connection was lost, and regained, for sources that reconnect.
    virtual uint64_t Losses() const { return 0; }
    virtual uint64_t Recoveries() const { return 0; }
};

// Opens the source that `source` names: "gpsd" or "gpsd://HOST[:PORT]" for gpsd, otherwise a
// receiver's device (at `baud`) or an NMEA file. Nil, with a message in *error, when it
// cannot be opened.
std::unique_ptr<TFixSource> OpenFixSource(const std::string& source, int baud, std::string* error);

}  // namespace n95::host
