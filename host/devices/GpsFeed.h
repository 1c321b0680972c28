// Live GPS for the live run: NMEA 0183 sentences read as they arrive, from a receiver on a
// terminal device (or a FIFO), or followed from a file that another program appends to (as
// `tail -f` does: what the file holds already is read first, then each new line).
//
// Complete lines go through the track reader of the replay (TNmeaReader): the same
// sentences, checks, line-length cap and skipped-line counts. A line still being written
// (no line end yet) waits for its end.
//
// Not thread-safe; one owner.
#pragma once

#include <cstddef>
#include <string>

#include "host/devices/FixSource.h"
#include "host/formats/Nmea.h"
#include "host/formats/Track.h"

namespace n95::host {

class TGpsFeed final : public TFixSource {
public:
    TGpsFeed();
    TGpsFeed(const TGpsFeed&) = delete;
    TGpsFeed& operator=(const TGpsFeed&) = delete;
    ~TGpsFeed() override;

    // Opens `path`: a terminal is put in raw mode at `baud`; a regular file is followed from
    // its start. False, with a message naming the path, when it cannot be opened (or `baud`
    // is not a supported speed for a terminal).
    bool Open(const std::string& path, int baud, std::string* error);

    // The descriptor to poll for input, or -1 for a followed file (call Poll on a timer) and
    // after the source was lost.
    int Descriptor() const override { return IsFile ? -1 : Fd; }

    // The most one Poll reads: a source that never stops sending (/dev/zero, a receiver
    // spewing garbage, a file far ahead of the run) must not keep the run from its port,
    // its status line or a stop. A receiver sends a few hundred bytes a second; a file
    // behind by more is caught up over several polls.
    static constexpr std::size_t kMaxBytesPerPoll = 1 << 20;

    // Reads what has arrived, up to kMaxBytesPerPoll, and parses the complete lines; garbage
    // is counted as skipped lines (a line without an end as soon as it is too long). Returns
    // how many fixes the track gained. A device that fails or hangs up is closed; Lost()
    // then says why, and no more fixes come.
    std::size_t Poll() override;

    std::string Name() const override { return SourcePath + " (NMEA)"; }
    const TTrack& Track() const override { return Fixes; }
    const std::string& Lost() const override { return LostMessage; }
    const std::string& Path() const { return SourcePath; }

private:
    std::string SourcePath;
    int Fd = -1;
    bool IsFile = false;
    TTrack Fixes;
    TNmeaReader Reader;
    std::string LostMessage;
};

}  // namespace n95::host
