// Live GPS for the live run: NMEA 0183 sentences read as they arrive, from a receiver on a
// terminal device (or a FIFO), or followed from a file that another program appends to (as
// `tail -f` does: what the file holds already is read first, then each new line).
//
// Complete lines go through the track reader of the replay (TNmeaReader): the same
// sentences, checks, line-length cap and skipped-line counts. A line still being written
// (no line end yet) waits for its end.
//
// A receiver that hangs up or fails (unplugged), or that sends nothing for longer than the
// silence timeout, is closed and opened again by its path every kRetrySeconds, as gpsd is
// reconnected; each loss is said once (TakeNotices), the recovery once bytes come again (a
// FIFO opens without a writer and ends at once: no recovery). A followed file that
// is silent is only reopened when its path now names another file (a log rotated or
// written anew by its writer); a file that merely stopped growing stays as it is.
//
// Not thread-safe; one owner.
#pragma once

#include <cstddef>
#include <string>
#include <utility>
#include <vector>

#include "host/common/RunClock.h"
#include "host/devices/FixSource.h"
#include "host/formats/Nmea.h"
#include "host/formats/Track.h"

namespace n95::host {

class TGpsFeed final : public TFixSource {
public:
    static constexpr double kRetrySeconds = 2.0;  // between attempts to reopen a receiver

    explicit TGpsFeed(TRunClock& clock = TRunClock::System());
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
    // how many fixes the track gained. A device that fails or hangs up is closed and
    // reopened (see above); it is never lost for good.
    std::size_t Poll() override;
    std::vector<TFixNotice> TakeNotices() override { return std::exchange(Notices, {}); }
    void SetSilenceTimeout(double seconds) override { SilenceSeconds = seconds; }
    uint64_t Losses() const override { return LossCount; }
    uint64_t Recoveries() const override { return RecoveryCount; }

    std::string Name() const override { return SourcePath + " (NMEA)"; }
    const TTrack& Track() const override { return Fixes; }
    const std::string& Lost() const override { return LostMessage; }
    const std::string& Path() const { return SourcePath; }

private:
    // Opens SourcePath into Fd (a terminal in raw mode at Baud). False, with a message.
    bool OpenPath(std::string* error);
    // The receiver is gone (`why`): closed, said, and tried again after the pause (at once
    // when `now`).
    void Drop(const std::string& why, bool now);
    // While closed: an attempt to reopen once the pause is over.
    void Retry();
    // A silent followed file: reopened when its path names another file now.
    void FollowReplacedFile();

    TRunClock& Clock;
    std::string SourcePath;
    int Baud = 4800;
    int Fd = -1;
    uint64_t Offset = 0;  // bytes read since Fd was opened
    bool IsFile = false;
    bool Reopening = false;    // closed after a loss; Retry reopens it
    bool Confirming = false;   // reopened; the recovery is said when bytes come
    double NextAttempt = 0.0;  // on Clock, while reopening
    double LastHeard = 0.0;    // on Clock: opened, or bytes came
    double SilenceSeconds = 0.0;
    uint64_t LossCount = 0, RecoveryCount = 0;
    std::vector<TFixNotice> Notices;
    TTrack Fixes;
    TNmeaReader Reader;
    std::string LostMessage;
};

}  // namespace n95::host
