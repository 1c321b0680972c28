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

    // The source's track: what it read and skipped, and its fixes (a view of a shared source
    // keeps none there; read the fixes through FixCount and FixAt).
    virtual const TTrack& Track() const = 0;

    // The fixes gained so far, counted from the first (forgotten ones too).
    virtual uint64_t FixCount() const { return Track().Fixes.size(); }
    // Fix `index` (< FixCount()) that is not forgotten; the last one never is.
    virtual const TGpsPoint& FixAt(uint64_t index) const {
        return Track().Fixes[static_cast<std::size_t>(index)];
    }
    // The run has taken the fixes before `index`: a source that keeps them for no one else
    // (a view of a shared source) lets them go, so that an hour's run holds one copy of its
    // track (the source's own, which the outputs need at the end). A source's own track
    // keeps them.
    virtual void ForgetFixes(uint64_t index) { (void)index; }

    // Non-empty once the source is gone for good (a receiver unplugged): no more fixes will
    // come, and the run stops waiting for them. A source that reconnects by itself is never
    // lost; it says what happens through TakeNotices.
    virtual const std::string& Lost() const = 0;

    // What happened since the last call, in order; the run prints it.
    virtual std::vector<TFixNotice> TakeNotices() { return {}; }

    // The word for what the track counts as entries: "lines" (NMEA), "reports" (gpsd).
    virtual const char* EntryName() const { return "lines"; }

    // A source that sends nothing at all for longer than this (a receiver or gpsd gone
    // quiet, a log that stopped growing and was replaced) is closed and opened again, as a
    // lost one is; 0: never. Sources that cannot be reopened ignore it.
    virtual void SetSilenceTimeout(double seconds) { (void)seconds; }

    // Times the connection was lost, and regained, for sources that reconnect.
    virtual uint64_t Losses() const { return 0; }
    virtual uint64_t Recoveries() const { return 0; }
};

// Opens the source that `source` names: "gpsd" or "gpsd://HOST[:PORT]" for gpsd, otherwise a
// receiver's device (at `baud`) or an NMEA file. Nil, with a message in *error, when it
// cannot be opened.
std::unique_ptr<TFixSource> OpenFixSource(const std::string& source, int baud, std::string* error);

}  // namespace n95::host
