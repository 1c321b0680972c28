#include "host/devices/GpsdFeed.h"

#include <cerrno>
#include <cstring>
#include <ctime>

// libgps is POSIX (there is none for Windows): the sockets come with it.
#if N95_HAVE_LIBGPS
#include <fcntl.h>
#include <gps.h>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <csignal>
#endif

#include "host/common/Diagnostics.h"
#include "platform/DateTime.h"

namespace n95::host {

namespace {

bool AllDigits(const std::string& text) {
    return !text.empty() && text.find_first_not_of("0123456789") == std::string::npos;
}

}  // namespace

bool IsGpsdSource(const std::string& source) {
    return source == "gpsd" || source.rfind("gpsd:", 0) == 0;
}

bool ParseGpsdAddress(const std::string& source, TGpsdAddress& address, std::string* error) {
    address = TGpsdAddress();
    if (source == "gpsd")
        return true;
    const std::string prefix = "gpsd://";
    if (source.rfind(prefix, 0) != 0) {
        *error = "--gps " + source + ": gpsd is named gpsd or gpsd://HOST:PORT";
        return false;
    }
    std::string rest = source.substr(prefix.size());
    if (!rest.empty() && rest.back() == '/')
        rest.pop_back();
    std::string port;
    if (!rest.empty() && rest.front() == '[') {
        // An IPv6 address: [::1] or [::1]:2947.
        const std::size_t close = rest.find(']');
        if (close == std::string::npos || (close + 1 < rest.size() && rest[close + 1] != ':')) {
            *error = "--gps " + source + ": an IPv6 address is written [ADDRESS]:PORT";
            return false;
        }
        address.Host = rest.substr(1, close - 1);
        if (close + 1 < rest.size())
            port = rest.substr(close + 2);
        else
            port = kGpsdDefaultPort;
    } else {
        const std::size_t colon = rest.find(':');
        address.Host = rest.substr(0, colon);
        port = colon == std::string::npos ? kGpsdDefaultPort : rest.substr(colon + 1);
    }
    if (address.Host.empty())
        address.Host = kGpsdDefaultHost;
    if (address.Host.find_first_of("/@?#") != std::string::npos) {
        *error = "--gps " + source + ": not a host name: " + address.Host;
        return false;
    }
    if (!AllDigits(port) || port.size() > 5 || std::stoi(port) < 1 || std::stoi(port) > 65535) {
        *error = "--gps " + source + ": the port must be a number from 1 to 65535";
        return false;
    }
    address.Port = port;
    return true;
}

std::size_t AddGpsdFix(const TGpsdReport& report, uint64_t number, TTrack& track) {
    ++track.Entries;
    if (report.Mode < 2)
        return 0;  // no fix (yet): nothing to take, nothing wrong
    if (!report.HasTime || report.Seconds <= 0) {
        track.AddProblem(number, TTrackProblemKind::NoTime, "fix without a time; skipped");
        return 0;
    }
    if (!report.HasPosition || !IsValidPosition(report.Longitude, report.Latitude)) {
        track.AddProblem(number, TTrackProblemKind::OutOfRange,
                         "fix without a usable position; skipped");
        return 0;
    }
    const double seconds =
        static_cast<double>(report.Seconds) + static_cast<double>(report.Nanoseconds) * 1e-9;
    return track.AddFix({report.Longitude, report.Latitude, UnixSecondsToDateTime(seconds)},
                        number);
}

// The connection and the attempt to make one.
struct TGpsdFeed::TConnection {
    int Probe = -1;  // a non-blocking connect in progress
    double ProbeStart = 0.0;
    std::string Numeric;  // the address of the probe
    std::string LastError;
    bool Open = false;  // libgps holds a connection
#if N95_HAVE_LIBGPS
    struct TSocketAddress {
        sockaddr_storage Address;
        socklen_t Size;
        std::string Numeric;  // for libgps, which then has no name to look up
    };
    std::vector<TSocketAddress> Addresses;  // resolved once, by Open
    std::size_t NextAddress = 0;            // the next one an attempt tries
    gps_data_t Data{};
#endif

    ~TConnection() {
        CloseProbe();
        CloseLibgps();
    }
    void CloseProbe() {
#if N95_HAVE_LIBGPS
        if (Probe >= 0)
            ::close(Probe);
#endif
        Probe = -1;
    }
    void CloseLibgps() {
#if N95_HAVE_LIBGPS
        if (Open)
            gps_close(&Data);
#endif
        Open = false;
    }
};

TGpsdFeed::TGpsdFeed(TRunClock& clock) : Clock(clock), Connection(std::make_unique<TConnection>()) {
    Fixes.Format = "gpsd";
}

TGpsdFeed::~TGpsdFeed() = default;

std::string TGpsdFeed::Name() const {
    const bool ipv6 = Address.Host.find(':') != std::string::npos;
    return "gpsd " + (ipv6 ? "[" + Address.Host + "]" : Address.Host) + ":" + Address.Port;
}

int TGpsdFeed::Descriptor() const {
#if N95_HAVE_LIBGPS
    if (Connection->Open)
        return Connection->Data.gps_fd;
#endif
    return -1;
}

std::vector<TFixNotice> TGpsdFeed::TakeNotices() {
    std::vector<TFixNotice> notices;
    notices.swap(Notices);
    return notices;
}

#if N95_HAVE_LIBGPS

namespace {

// Reports read in one Poll at most, so that a flood cannot keep the run from its port.
constexpr int kMaxReportsPerPoll = 256;

// gps_stream writes to the socket: should gpsd have closed it already, the write must fail
// rather than raise SIGPIPE and end the program. The signal is blocked on this thread for the
// call and one it raised is taken off again.
int StreamWithoutSigpipe(gps_data_t* data) {
    sigset_t pipe, old;
    sigemptyset(&pipe);
    sigaddset(&pipe, SIGPIPE);
    sigset_t pending;
    sigemptyset(&pending);
    const bool wasPending = sigpending(&pending) == 0 && sigismember(&pending, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipe, &old);
    const int status = gps_stream(data, WATCH_ENABLE | WATCH_JSON, nullptr);
    const int savedErrno = errno;
    if (!wasPending) {
        const timespec zero{0, 0};
        while (sigtimedwait(&pipe, nullptr, &zero) == SIGPIPE) {
        }
    }
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
    errno = savedErrno;
    return status;
}

}  // namespace

bool TGpsdFeed::Open(const TGpsdAddress& address, std::string* error) {
    Address = address;
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    const int status = getaddrinfo(address.Host.c_str(), address.Port.c_str(), &hints, &found);
    if (status != 0) {
        *error = "cannot find " + Name() + ": " +
                 (status == EAI_SYSTEM ? std::strerror(errno) : gai_strerror(status));
        return false;
    }
    for (const addrinfo* a = found; a != nullptr; a = a->ai_next) {
        TConnection::TSocketAddress entry{};
        std::memcpy(&entry.Address, a->ai_addr, a->ai_addrlen);
        entry.Size = a->ai_addrlen;
        char numeric[NI_MAXHOST];
        if (getnameinfo(a->ai_addr, a->ai_addrlen, numeric, sizeof numeric, nullptr, 0,
                        NI_NUMERICHOST) != 0)
            continue;
        entry.Numeric = numeric;
        Connection->Addresses.push_back(entry);
    }
    freeaddrinfo(found);
    if (Connection->Addresses.empty()) {
        *error = "cannot find " + Name() + ": no usable address";
        return false;
    }
    // Each address is given kConnectSeconds at most; FinishAttempt moves on to the next.
    if (!StartAttempt(error))
        return false;
    while (!Connection->Open)
        if (!FinishAttempt(100, error))
            return false;
    return true;
}

// Starts a non-blocking connect to the next address; on to the one after when it fails at
// once. False, with the last address's message, when none is left (the next attempt starts
// from the first again).
bool TGpsdFeed::StartAttempt(std::string* error) {
    TConnection& c = *Connection;
    while (c.NextAddress < c.Addresses.size()) {
        const TConnection::TSocketAddress& a = c.Addresses[c.NextAddress++];
        const int fd = ::socket(a.Address.ss_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        if (fd < 0) {
            c.LastError = std::strerror(errno);
            continue;
        }
        if (::connect(fd, reinterpret_cast<const sockaddr*>(&a.Address), a.Size) != 0 &&
            errno != EINPROGRESS) {
            c.LastError = std::strerror(errno);
            ::close(fd);
            continue;
        }
        c.Probe = fd;
        c.ProbeStart = Clock.Seconds();
        c.Numeric = a.Numeric;
        return true;
    }
    c.NextAddress = 0;
    *error = "cannot connect to " + Name() + ": " + c.LastError;
    return false;
}

// Looks at the connect in progress, waiting up to `waitMs`. Once it is made, the probe
// socket has served its purpose (gpsd is there): libgps connects anew to the same numeric
// address, which now answers at once, and the reports are asked for. True while the attempt
// goes on or when it succeeded (Connection->Open); false, with a message, when every address
// failed.
bool TGpsdFeed::FinishAttempt(int waitMs, std::string* error) {
    TConnection& c = *Connection;
    if (c.Probe < 0)
        return true;
    pollfd p{c.Probe, POLLOUT, 0};
    const int ready = ::poll(&p, 1, waitMs);
    if (ready == 0) {
        if (Clock.Seconds() - c.ProbeStart < kConnectSeconds)
            return true;
        c.LastError =
            "no answer within " + std::to_string(static_cast<int>(kConnectSeconds)) + " s";
    } else if (ready < 0) {
        if (errno == EINTR)
            return true;
        c.LastError = std::strerror(errno);
    } else {
        int failure = 0;
        socklen_t size = sizeof failure;
        if (getsockopt(c.Probe, SOL_SOCKET, SO_ERROR, &failure, &size) != 0)
            failure = errno;
        if (failure == 0) {
            c.CloseProbe();
            c.Data = gps_data_t{};
            errno = 0;
            if (gps_open(c.Numeric.c_str(), Address.Port.c_str(), &c.Data) == 0) {
                c.Open = true;
                if (StreamWithoutSigpipe(&c.Data) == 0) {
                    const int flags = fcntl(c.Data.gps_fd, F_GETFL);
                    fcntl(c.Data.gps_fd, F_SETFL, flags | O_NONBLOCK);
                    c.NextAddress = 0;
                    LastHeard = Clock.Seconds();
                    return true;
                }
                c.LastError = "cannot ask for its reports: " + std::string(std::strerror(errno));
                c.CloseLibgps();
            } else {
                c.LastError = gps_errstr(errno);
            }
        } else {
            c.LastError = std::strerror(failure);
        }
    }
    c.CloseProbe();
    return StartAttempt(error);
}

// Reads the reports that have arrived. False, the connection being gone, when gpsd closed it
// or the read failed.
bool TGpsdFeed::ReadReports(std::size_t* gained) {
    gps_data_t& data = Connection->Data;
    for (int i = 0; i < kMaxReportsPerPoll; ++i) {
        errno = 0;
        const int n = gps_read(&data, nullptr, 0);
        if (n == 0)
            return true;  // nothing complete has come (the socket would block)
        if (n > 0)
            LastHeard = Clock.Seconds();
        if (n < 0) {
            Disconnect(errno == 0 || errno == EAGAIN ? "gpsd closed it" : std::strerror(errno));
            return false;
        }
        // A position report (TPV) carries the fix mode; the others (the version, the
        // devices, the sky view, ...) do not.
        if ((data.set & PACKET_SET) == 0 || (data.set & MODE_SET) == 0)
            continue;
        TGpsdReport report;
        report.Mode = data.fix.mode;
        report.HasTime = (data.set & TIME_SET) != 0;
        report.Seconds = static_cast<int64_t>(data.fix.time.tv_sec);
        report.Nanoseconds = data.fix.time.tv_nsec;
        report.HasPosition = (data.set & LATLON_SET) != 0;
        report.Latitude = data.fix.latitude;
        report.Longitude = data.fix.longitude;
        // Numbered as the track counts them (Entries), from 1.
        *gained += AddGpsdFix(report, Fixes.Entries + 1, Fixes);
    }
    return true;
}

#else  // no libgps

bool TGpsdFeed::Open(const TGpsdAddress& address, std::string* error) {
    Address = address;
    *error = "--gps " + Name() +
             ": this n95host was built without gpsd support (without libgps-dev, with "
             "N95_WITH_GPSD off, or for Windows, which libgps does not support); give the "
             "receiver's device or an NMEA file instead";
    return false;
}

bool TGpsdFeed::StartAttempt(std::string*) {
    return false;
}

bool TGpsdFeed::FinishAttempt(int, std::string*) {
    return false;
}

bool TGpsdFeed::ReadReports(std::size_t*) {
    return true;
}

#endif

void TGpsdFeed::Disconnect(const std::string& why) {
    Connection->CloseLibgps();
    ++LossCount;
    NextAttempt = Clock.Seconds() + kRetrySeconds;
    char every[32];
    std::snprintf(every, sizeof every, "%g s", kRetrySeconds);
    Notices.push_back({true, "lost the connection to " + Name() + " (" + why +
                                 "); trying again every " + every +
                                 ", records wait for the next fix"});
}

// While disconnected: a new attempt once the pause is over, and the attempt in progress
// looked at without waiting.
void TGpsdFeed::Retry() {
    std::string error;
    if (Connection->Probe < 0) {
        if (Clock.Seconds() < NextAttempt)
            return;
        if (!StartAttempt(&error)) {
            NextAttempt = Clock.Seconds() + kRetrySeconds;
            return;
        }
    }
    if (!FinishAttempt(0, &error)) {
        NextAttempt = Clock.Seconds() + kRetrySeconds;
        return;
    }
    if (Connection->Open) {
        ++RecoveryCount;
        Notices.push_back({false, "reconnected to " + Name()});
    }
}

std::size_t TGpsdFeed::Poll() {
    std::size_t gained = 0;
    if (!Connection->Open)
        Retry();
    if (Connection->Open && ReadReports(&gained) && SilenceSeconds > 0 &&
        Clock.Seconds() - LastHeard > SilenceSeconds) {
        char silent[48];
        std::snprintf(silent, sizeof silent, "nothing came for %.0f s", SilenceSeconds);
        Disconnect(silent);
    }
    return gained;
}

}  // namespace n95::host
