#include "host/sim/SentLog.h"

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <fstream>
#include <sstream>

#include "host/common/Diagnostics.h"
#include "host/formats/PcapCapture.h"

namespace n95::host {

namespace {

constexpr char kFirstLine[] = "n95sim sent log 1";
constexpr const char* kKindNames[] = {"reply", "frame", "garbage"};

int HexValue(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

bool DecodeHex(const std::string& hex, std::string& bytes) {
    if (hex.size() % 2 != 0)
        return false;
    bytes.resize(hex.size() / 2);
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        const int high = HexValue(hex[2 * i]);
        const int low = HexValue(hex[2 * i + 1]);
        if (high < 0 || low < 0)
            return false;
        bytes[i] = static_cast<char>(high * 16 + low);
    }
    return true;
}

// "1733720000.123456": seconds and up to nine digits of a fraction.
bool ParseTime(const std::string& text, TCaptureTime& time) {
    const std::size_t point = text.find('.');
    const std::string whole = text.substr(0, point);
    const std::string fraction = point == std::string::npos ? "" : text.substr(point + 1);
    const auto digits = [](const std::string& s) {
        return std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; });
    };
    if (whole.empty() || whole.size() > 12 || !digits(whole) || fraction.size() > 9 ||
        !digits(fraction))
        return false;
    time.Seconds = std::stoll(whole);
    time.Nanoseconds = 0;
    for (std::size_t i = 0; i < 9; ++i)
        time.Nanoseconds = time.Nanoseconds * 10 + (i < fraction.size() ? fraction[i] - '0' : 0);
    return true;
}

std::string FormatTime(TCaptureTime t) {
    char text[40];
    std::snprintf(text, sizeof text, "%lld.%06u", static_cast<long long>(t.Seconds),
                  t.Nanoseconds / 1000u);
    return text;
}

double SecondsBetween(TCaptureTime from, TCaptureTime to) {
    return static_cast<double>(to.Seconds - from.Seconds) +
           (static_cast<double>(to.Nanoseconds) - static_cast<double>(from.Nanoseconds)) / 1e9;
}

struct TCaptureBytes {
    std::string Bytes;                                      // every chunk, one after the other
    std::vector<std::pair<uint64_t, TCaptureTime>> Starts;  // each chunk's offset and time
};

bool LoadCaptureBytes(const std::string& path, TCaptureBytes& capture, TSentComparison& result,
                      std::string* error) {
    TCaptureReader reader;
    if (!reader.Open(path, error))
        return false;
    TCaptureReader::TStatus status;
    while ((status = reader.Next()) == TCaptureReader::TStatus::Chunk) {
        capture.Starts.emplace_back(capture.Bytes.size(), reader.Time());
        capture.Bytes.append(reinterpret_cast<const char*>(reader.Data()), reader.Size());
        result.LastChunk = reader.Time();
    }
    if (status == TCaptureReader::TStatus::Damaged)
        result.CaptureDamage = reader.DamageMessage();
    result.CaptureChunks = capture.Starts.size();
    result.CaptureBytes = capture.Bytes.size();
    return true;
}

// Walks the log's writes along the capture's bytes (see the header for the rules).
class TComparer {
public:
    TComparer(const TCaptureBytes& capture, TSentComparison& result)
        : Capture(capture), Result(result) {}

    void Port(const std::string& path) {
        Result.Ports.push_back(TSentPort{});
        Result.Ports.back().Path = path;
        Matching = true;
        FirstWrite = true;
    }

    void Write(TSentKind kind, const std::string& bytes, TCaptureTime when) {
        TSentPort& port = Result.Ports.back();
        const auto k = static_cast<std::size_t>(kind);
        ++port.Writes;
        port.Bytes += bytes.size();
        ++Result.Writes[k];
        Result.Bytes[k] += bytes.size();
        if (!Matching)
            return;
        std::size_t same = Common(bytes, At);
        if (FirstWrite && same < bytes.size() && PartialBytes > 0 &&
            Common(bytes, At - PartialBytes) > same) {
            // The previous port's last write matched only in part: those bytes were this
            // port's first ones.
            At -= PartialBytes;
            Result.Ports[PartialPort].CapturedBytes -= PartialBytes;
            same = Common(bytes, At);
        }
        FirstWrite = false;
        PartialBytes = 0;
        At += same;
        port.CapturedBytes += same;
        if (same == bytes.size()) {
            ++port.CapturedWrites;
            ++Result.CapturedWrites[k];
            return;
        }
        Matching = false;
        PartialBytes = same;
        PartialPort = Result.Ports.size() - 1;
        port.FirstMissing = when;
    }

    void HangUp(long long unread) {
        Result.Ports.back().HungUp = true;
        Result.Ports.back().UnreadAtHangUp = unread;
    }

    // The rules, once every line has been walked.
    void Check() {
        for (std::size_t i = 0; i < Result.Ports.size(); ++i)
            CheckPort(i, Result.Ports[i]);
        Result.ExtraBytes = Capture.Bytes.size() - At;
        if (Result.ExtraBytes > 0) {
            const auto chunk =
                std::upper_bound(Capture.Starts.begin(), Capture.Starts.end(), At,
                                 [](uint64_t at, const auto& start) { return at < start.first; });
            const std::size_t index = static_cast<std::size_t>(chunk - Capture.Starts.begin()) - 1;
            Result.Problems.push_back(
                "the capture holds " + std::to_string(Result.ExtraBytes) +
                " bytes that the simulator did not send in that order, from byte " +
                std::to_string(At) + " (chunk " + std::to_string(index) + ", read at " +
                FormatTime(Capture.Starts[index].second) + ")");
        }
    }

private:
    std::size_t Common(const std::string& bytes, uint64_t at) const {
        const std::size_t room = Capture.Bytes.size() - at;
        const std::size_t n = std::min(bytes.size(), room);
        const auto mismatch =
            std::mismatch(bytes.begin(), bytes.begin() + n,
                          Capture.Bytes.begin() + static_cast<std::ptrdiff_t>(at));
        return static_cast<std::size_t>(mismatch.first - bytes.begin());
    }

    void CheckPort(std::size_t index, const TSentPort& port) {
        const uint64_t missing = port.Bytes - port.CapturedBytes;
        if (missing == 0)
            return;
        const std::string name = "port " + std::to_string(index + 1) + " (" + port.Path + ")";
        if (port.HungUp) {
            const long long bound = std::max(Result.Capacity, port.UnreadAtHangUp);
            if (bound < 0)
                Result.Problems.push_back(name + ": " + std::to_string(missing) +
                                          " bytes are missing and neither the hang-up nor the "
                                          "port's capacity was measured");
            else if (missing > static_cast<uint64_t>(bound))
                Result.Problems.push_back(
                    name + ": " + std::to_string(missing) +
                    " bytes sent before the hang-up are missing; " +
                    std::to_string(port.UnreadAtHangUp) + " were unread when it closed" +
                    (Result.Capacity >= 0
                         ? ", and a port holds at most " + std::to_string(Result.Capacity)
                         : std::string()));
            return;
        }
        if (index + 1 < Result.Ports.size()) {
            Result.Problems.push_back(name + ": " + std::to_string(missing) +
                                      " bytes are missing, and the port was not hung up");
            return;
        }
        const double before = SecondsBetween(port.FirstMissing, Result.LastChunk);
        if (before >= kSentTailSeconds) {
            char text[200];
            std::snprintf(text, sizeof text,
                          ": %llu bytes from %s on are missing, %.3f s before the capture's "
                          "last chunk",
                          static_cast<unsigned long long>(missing),
                          FormatTime(port.FirstMissing).c_str(), before);
            Result.Problems.push_back(name + text);
        }
    }

    const TCaptureBytes& Capture;
    TSentComparison& Result;
    uint64_t At = 0;  // the capture's next byte to account for
    bool Matching = true;
    bool FirstWrite = true;
    std::size_t PartialBytes = 0;  // how much of the last write that broke off matched
    std::size_t PartialPort = 0;   // and the port it went to
};

}  // namespace

TSentLog::~TSentLog() {
    if (File != nullptr)
        std::fclose(File);
}

bool TSentLog::Open(const std::string& path, std::string* error) {
    File = std::fopen(path.c_str(), "w");
    if (File == nullptr) {
        *error = SystemError("cannot write the sent log " + path, errno);
        return false;
    }
    Path = path;
    std::fprintf(File, "%s\n", kFirstLine);
    return true;
}

void TSentLog::Stamp(const char* event) {
    std::fprintf(File, "%s %s", event, FormatTime(CaptureTimeNow()).c_str());
}

void TSentLog::Capacity(long long bytes) {
    if (File == nullptr)
        return;
    Stamp("capacity");
    std::fprintf(File, " %lld\n", bytes);
}

void TSentLog::Port(const std::string& path) {
    if (File == nullptr)
        return;
    Stamp("port");
    std::fprintf(File, " %s\n", path.c_str());
}

void TSentLog::Write(TSentKind kind, const char* data, std::size_t size) {
    if (File == nullptr)
        return;
    static constexpr char kDigits[] = "0123456789abcdef";
    Stamp("write");
    Line.assign(" ");
    Line += kKindNames[static_cast<int>(kind)];
    Line.push_back(' ');
    for (std::size_t i = 0; i < size; ++i) {
        const auto byte = static_cast<unsigned char>(data[i]);
        Line.push_back(kDigits[byte >> 4]);
        Line.push_back(kDigits[byte & 15]);
    }
    Line.push_back('\n');
    std::fwrite(Line.data(), 1, Line.size(), File);
}

void TSentLog::HangUp(long long unread) {
    if (File == nullptr)
        return;
    Stamp("hangup");
    std::fprintf(File, " unread %lld\n", unread);
}

void TSentLog::End() {
    if (File == nullptr)
        return;
    Stamp("end");
    std::fputc('\n', File);
}

bool TSentLog::Flush(std::string* error) {
    if (File == nullptr)
        return true;
    if (std::fflush(File) != 0 || std::ferror(File) != 0) {
        *error = SystemError("cannot write the sent log " + Path, errno);
        return false;
    }
    return true;
}

bool CompareSentLog(const std::string& sentPath, const std::string& capturePath,
                    TSentComparison& result, std::string* error) {
    result = TSentComparison();
    std::ifstream log(sentPath);
    if (!log) {
        *error = SystemError("cannot read the sent log " + sentPath, errno);
        return false;
    }
    std::string line;
    if (!std::getline(log, line) || line != kFirstLine) {
        *error = sentPath + " is not a sent log of n95sim (its first line is not \"" + kFirstLine +
                 "\")";
        return false;
    }
    TCaptureBytes capture;
    if (!LoadCaptureBytes(capturePath, capture, result, error))
        return false;

    TComparer comparer(capture, result);
    std::string event, time, kind, data, bytes;
    for (uint64_t number = 2; std::getline(log, line); ++number) {
        std::istringstream fields(line);
        TCaptureTime when;
        const auto bad = [&](const std::string& why) {
            *error = sentPath + " line " + std::to_string(number) + ": " + why;
            return false;
        };
        if (!(fields >> event >> time) || !ParseTime(time, when))
            return bad("not an event and a time");
        if (event == "capacity") {
            if (!(fields >> result.Capacity))
                return bad("a capacity needs a number of bytes");
        } else if (event == "port") {
            std::getline(fields >> std::ws, data);
            comparer.Port(data);
        } else if (event == "write") {
            if (result.Ports.empty())
                return bad("a write before the first port");
            if (!(fields >> kind >> data) || !DecodeHex(data, bytes) || bytes.empty())
                return bad("a write needs a kind and its bytes in hexadecimal");
            const auto named = std::find_if(std::begin(kKindNames), std::end(kKindNames),
                                            [&](const char* name) { return kind == name; });
            if (named == std::end(kKindNames))
                return bad("unknown kind of write \"" + kind + "\"");
            comparer.Write(static_cast<TSentKind>(named - std::begin(kKindNames)), bytes, when);
        } else if (event == "hangup") {
            long long unread = 0;
            if (result.Ports.empty() || !(fields >> kind >> unread) || kind != "unread")
                return bad("a hangup needs a port before it and \"unread N\"");
            comparer.HangUp(unread);
        } else if (event != "end") {
            return bad("unknown event \"" + event + "\"");
        }
    }
    comparer.Check();
    if (!result.CaptureDamage.empty())
        result.Problems.push_back("the capture is damaged: " + result.CaptureDamage);
    return true;
}

}  // namespace n95::host
