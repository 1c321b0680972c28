// Live GPS from gpsd: the fixes of its position reports (TPV), read through its client
// library, libgps, as JSON over a TCP connection (default localhost:2947).
//
// A drive must not end because gpsd went away (restarted, its receiver replugged, the network
// to it down): a lost connection is reported once as a warning, and the feed tries again
// every kRetrySeconds until it is back, which is reported once too. The handset's port must
// keep being read meanwhile, so nothing here blocks for long: a reconnection is a
// non-blocking connect that Poll looks at each time, and libgps reads a socket that is
// non-blocking. Only Open waits, up to kConnectSeconds, before the run starts.
//
// libgps is optional at build time (N95_HAVE_LIBGPS); without it Open says so and fails.
//
// Not thread-safe; one owner.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "host/common/RunClock.h"
#include "host/devices/FixSource.h"

namespace n95::host {

inline constexpr const char* kGpsdDefaultHost = "localhost";
inline constexpr const char* kGpsdDefaultPort = "2947";

struct TGpsdAddress {
    std::string Host = kGpsdDefaultHost;
    std::string Port = kGpsdDefaultPort;
};

// True when `source` (a --gps value) names gpsd: "gpsd", or anything starting "gpsd:".
bool IsGpsdSource(const std::string& source);

// "gpsd" (localhost:2947), "gpsd://HOST", "gpsd://HOST:PORT", "gpsd://[IPV6]:PORT". False,
// with a message, for anything else starting "gpsd:" or a port that is not 1 to 65535.
bool ParseGpsdAddress(const std::string& source, TGpsdAddress& address, std::string* error);

// What one gpsd position report says about a fix, taken out of libgps's gps_data_t.
struct TGpsdReport {
    int Mode = 0;  // gpsd's fix mode: 0 not seen yet, 1 no fix, 2 two-dimensional, 3 3D
    bool HasTime = false;
    int64_t Seconds = 0;  // UTC, since 1970
    long Nanoseconds = 0;
    bool HasPosition = false;
    double Latitude = 0.0;
    double Longitude = 0.0;
};

// Adds the report's fix to `track` (report `number`, from 1, names it in problems). A report
// without a 2D or 3D fix is no fix and no problem (gpsd sends them while the receiver
// searches). A fix without a time or a usable position is a problem: counted as skipped.
// A fix with a usable time goes through the track's outlier rule (TFixFilter), as the
// NMEA sources' fixes do. Returns how many fixes the track gained (a fix that jumped ahead
// is held until the next report: then two).
std::size_t AddGpsdFix(const TGpsdReport& report, uint64_t number, TTrack& track);

class TGpsdFeed final : public TFixSource {
public:
    static constexpr double kRetrySeconds = 2.0;    // between reconnection attempts
    static constexpr double kConnectSeconds = 5.0;  // for one connection to be made

    explicit TGpsdFeed(TRunClock& clock = TRunClock::System());
    TGpsdFeed(const TGpsdFeed&) = delete;
    TGpsdFeed& operator=(const TGpsdFeed&) = delete;
    ~TGpsdFeed() override;

    // Resolves the address, connects (waiting up to kConnectSeconds) and asks gpsd to
    // stream its reports. False, with a message naming the address, when gpsd cannot be
    // reached, or this program was built without libgps.
    bool Open(const TGpsdAddress& address, std::string* error);

    std::string Name() const override;
    int Descriptor() const override;
    std::size_t Poll() override;
    const TTrack& Track() const override { return Fixes; }
    const std::string& Lost() const override { return NeverLost; }
    std::vector<TFixNotice> TakeNotices() override;
    const char* EntryName() const override { return "reports"; }
    uint64_t Losses() const override { return LossCount; }
    uint64_t Recoveries() const override { return RecoveryCount; }
    // gpsd streams a report a second or so even without a fix: a connection that carries
    // nothing for this long has stalled, and is made again.
    void SetSilenceTimeout(double seconds) override { SilenceSeconds = seconds; }

private:
    struct TConnection;  // libgps's state, kept out of this header

    void Disconnect(const std::string& why);
    bool ReadReports(std::size_t* gained);
    bool StartAttempt(std::string* error);
    bool FinishAttempt(int waitMs, std::string* error);
    void Retry();

    TRunClock& Clock;
    TGpsdAddress Address;
    std::unique_ptr<TConnection> Connection;
    TTrack Fixes;
    uint64_t LossCount = 0;
    uint64_t RecoveryCount = 0;
    double NextAttempt = 0.0;  // on Clock, while disconnected
    double SilenceSeconds = 0.0;
    double LastHeard = 0.0;  // on Clock: the connection was made, or a report came
    std::vector<TFixNotice> Notices;
    std::string NeverLost;
};

}  // namespace n95::host
