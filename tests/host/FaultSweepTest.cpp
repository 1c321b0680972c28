// The host's outputs under system-call faults: every call of a clean run is made to fail in
// turn, with each of the errors a disk or a file system gives, and the run must end cleanly.
//
// An output set (Open, rows, Commit) that meets a fault fails and leaves every file that was
// there as it was, byte for byte and mode for mode, and no other file (no hidden temporary
// name either); an interruption (EINTR) is retried, and the run ends as a clean one. Live's
// capture and fix log, which grow under their own names, keep a prefix of whole packets
// (whole appends) of what was written, and the failure is reported.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <functional>
#include <map>

#include "host/common/FaultySystemCalls.h"
#include "host/common/GrowingFile.h"
#include "host/formats/PcapCapture.h"
#include "host/outputs/OutputSet.h"
#include "tests/host/HostTestSupport.h"

namespace n95::host {
namespace {

namespace fs = std::filesystem;
using TCall = TSystemCalls::TCall;
using n95::test::ReadFile;
using n95::test::WriteFile;

constexpr int kErrnos[] = {ENOSPC, EIO, EINTR, EACCES, ENAMETOOLONG};

// Calls whose failure a run survives by design: the name limit of a folder that cannot be
// told (the name is tried, and its creation says whether it fits), the owner of a replaced
// file that this user may not give (the file stays this user's, as a copy would), and the
// close of a descriptor whose file is already synced or in place (a close that loses a
// write is reported through the stream). After such a fault a run may succeed, and must
// then end as a clean one.
bool Tolerated(TCall kind) {
    return kind == TCall::NameMax || kind == TCall::ChangeOwner || kind == TCall::Close;
}

// "ENOSPC at call 12 (Rename)".
std::string FaultName(const TFaultySystemCalls& faulty, int errnum, uint64_t n) {
    return std::string(std::strerror(errnum)) + " at call " + std::to_string(n) + " (" +
           TFaultySystemCalls::Name(faulty.FiredCall()) + ")";
}

// What a folder holds: every file (hidden ones too, in sub-folders too) with its bytes and
// permission bits.
struct TEntry {
    std::string Bytes;
    unsigned Mode = 0;
    bool operator==(const TEntry& other) const {
        return Bytes == other.Bytes && Mode == other.Mode;
    }
};
using TSnapshot = std::map<std::string, TEntry>;

TSnapshot Snapshot(const std::string& dir) {
    TSnapshot files;
    for (const auto& entry : fs::recursive_directory_iterator(dir)) {
        struct stat info {};
        if (lstat(entry.path().c_str(), &info) != 0 || S_ISDIR(info.st_mode))
            continue;
        files[fs::relative(entry.path(), dir).string()] = {ReadFile(entry.path().string()),
                                                           info.st_mode & 07777u};
    }
    return files;
}

std::string Describe(const TSnapshot& files) {
    std::string text;
    for (const auto& [name, entry] : files)
        text += " " + name + "(" + std::to_string(entry.Bytes.size()) + " bytes, mode " +
                std::to_string(entry.Mode) + ")";
    return text;
}

std::vector<TRecordRow> Rows() {
    std::vector<TRecordRow> rows;
    for (int i = 0; i < 40; ++i) {
        TRecordRow row;
        row.Index = i;
        row.TestTime = row.StampTime = 46000.5 + i / 86400.0;
        if (i % 7 != 3) {
            row.X = 24.9 + i * 0.001;
            row.Y = 60.1 + i * 0.0005;
        }
        row.MessageCode = 0x1000u + static_cast<uint32_t>(i % 5);
        row.MessageClass = i % 5 - 1;
        row.PayloadLength = i % 3 == 0 ? -1 : 20 + i;
        rows.push_back(row);
    }
    return rows;
}

const std::vector<TGpsPoint> kTrack = {
    {24.9, 60.1, 46000.5}, {24.91, 60.105, 46000.6}, {24.92, 60.11, 46000.7}};

// One output set of the sweep: its names (relative to the scratch folder, or descriptors),
// the files that stand at some of them before the run, and how it is opened.
struct TSetCase {
    std::string Name;
    TOutputPaths Paths;
    std::map<std::string, std::pair<std::string, unsigned>> Existing;  // name: bytes, mode
    bool TrackComplete = true;
    uint64_t MaxPoints = 0;
    bool Descriptor = false;  // the CSV goes to a pipe, as /dev/fd/N
};

class FaultSweepTest : public ::testing::Test {
protected:
    void SetUp() override {
        // A memory file system where there is one: the sweep syncs thousands of files.
        const std::string base = fs::is_directory("/dev/shm") && access("/dev/shm", W_OK) == 0
                                     ? "/dev/shm"
                                     : fs::temp_directory_path().string();
        std::string pattern = base + "/n95-faults-XXXXXX";
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        Dir = pattern;
    }
    void TearDown() override {
        std::error_code ec;
        fs::remove_all(Dir, ec);
        for (int fd : Pipe)
            if (fd >= 0)
                close(fd);
    }

    std::string At(const std::string& name) const { return Dir + "/" + name; }

    // Empties the folder and puts the case's existing files back.
    void Restore(const TSetCase& c) {
        for (const auto& entry : fs::directory_iterator(Dir))
            fs::remove_all(entry.path());
        for (const auto& [name, content] : c.Existing) {
            fs::create_directories(fs::path(At(name)).parent_path());
            WriteFile(At(name), content.first);
            chmod(At(name).c_str(), content.second);
        }
    }

    TOutputPaths Absolute(const TSetCase& c) const {
        TOutputPaths p = c.Paths;
        for (std::size_t i = 0; i < p.Size(); ++i)
            if (!p.At(i).empty() && p.At(i).front() != '/')
                p.At(i) = At(p.At(i));
        if (c.Descriptor)
            p["csv"] = "/dev/fd/" + std::to_string(Pipe[1]);
        return p;
    }

    // Open, rows, Commit: true when every step succeeded.
    bool Run(const TSetCase& c, std::string* error) {
        TOutputSet set;
        set.SetMaxPoints(c.MaxPoints);
        if (!set.Open(Absolute(c), kTrack, c.TrackComplete, error))
            return false;
        if (!c.Paths["frame-log"].empty()) {
            // The plug-in's frame log, written by name as the plug-in does it.
            FILE* log = std::fopen(set.FrameLogWritePath().c_str(), "ab");
            if (log == nullptr) {
                *error = "frame log: " + std::string(std::strerror(errno));
                return false;
            }
            std::fputs("frame 1\nframe 2\n", log);
            std::fclose(log);
        }
        set.SetTitle("drive", "sweep");
        for (const TRecordRow& row : Rows())
            set.Add(row);
        return set.Commit(error);
    }

    void DrainPipe() {
        char buffer[65536];
        while (read(Pipe[0], buffer, sizeof buffer) > 0) {
        }
    }

    void Sweep(const TSetCase& c);
    void SweepGrowing(const std::string& name, const std::function<bool(std::string*)>& write,
                      const std::function<void(bool, const std::string&)>& check);

    std::string Dir;
    int Pipe[2] = {-1, -1};
};

void FaultSweepTest::Sweep(const TSetCase& c) {
    if (c.Descriptor) {
        ASSERT_EQ(pipe2(Pipe, O_NONBLOCK | O_CLOEXEC), 0);
    }
    TFaultySystemCalls faulty;
    TScopedSystemCalls installed(&faulty);
    Restore(c);
    const TSnapshot before = Snapshot(Dir);
    std::string error;
    ASSERT_TRUE(Run(c, &error)) << c.Name << ": " << error;
    const TSnapshot clean = Snapshot(Dir);
    for (const auto& [name, content] : c.Existing)
        EXPECT_EQ(clean.at(name).Mode, content.second)
            << c.Name << ": a replaced file keeps its mode";
    const uint64_t calls = faulty.Calls();
    ASSERT_GT(calls, 10u) << c.Name;
    DrainPipe();
    for (const int errnum : kErrnos) {
        for (uint64_t n = 1; n <= calls; ++n) {
            Restore(c);
            faulty.Reset();
            faulty.FailAt(TCall::Count, n, errnum);
            error.clear();
            const bool ok = Run(c, &error);
            DrainPipe();
            const TSnapshot after = Snapshot(Dir);
            const std::string where = c.Name + ": " + FaultName(faulty, errnum, n);
            if (errnum == EINTR || !faulty.Fired() || (ok && Tolerated(faulty.FiredCall()))) {
                EXPECT_TRUE(ok) << where << ": " << error;
                EXPECT_TRUE(after == clean) << where << ":" << Describe(after);
            } else if (!ok && faulty.FiredCall() == TCall::Unlink &&
                       error.find("left at") != std::string::npos) {
                // The outputs stand; what one replaced could not be removed, and the message
                // names where it was left.
                TSnapshot published = after;
                for (auto it = published.begin(); it != published.end();)
                    it = error.find(fs::path(it->first).filename().string()) != std::string::npos &&
                                 it->first.find(".tmp-") != std::string::npos
                             ? published.erase(it)
                             : std::next(it);
                EXPECT_TRUE(published == clean) << where << ":" << Describe(after);
            } else {
                EXPECT_FALSE(ok) << where << ": a fault went unreported";
                EXPECT_FALSE(error.empty()) << where;
                EXPECT_TRUE(after == before) << where << ":" << Describe(after) << "\n  " << error;
            }
            if (HasFailure())
                return;  // the first failure says enough
        }
    }
}

TEST_F(FaultSweepTest, AnOutputSetFailsWholeOrSucceedsWhole) {
    TOutputPaths csvOnly;
    csvOnly["csv"] = "a.csv";
    TOutputPaths all;
    all["csv"] = "a.csv";
    all["geojson"] = "a.geojson";
    all["kml"] = "a.kml";
    all["map"] = "a.svg";
    NameOutputs("", "", all);  // a.track.geojson
    TOutputPaths outDir;
    NameOutputs("out", "drive", outDir);
    TOutputPaths mixed;
    mixed["geojson"] = "m.geojson";
    mixed["map"] = "m.svg";
    TOutputPaths frames;
    frames["csv"] = "f.csv";
    frames["frame-log"] = "frames.log";
    const std::vector<TSetCase> cases = {
        {"CSV", csvOnly, {{"a.csv", {"old csv\n", 0600}}}},
        {"every output (live)",
         all,
         {{"a.csv", {"old csv\n", 0600}}, {"a.kml", {"<kml/>", 0640}}},
         false},
        {"-o names, thinned",
         outDir,
         {{"out/drive.geojson", {"{}", 0600}}, {"out/drive.svg", {"<svg/>", 0644}}},
         true,
         10},
        {"a descriptor among files", mixed, {{"m.svg", {"<svg/>", 0600}}}, true, 0, true},
        {"frame log", frames, {{"frames.log", {"old frames\n", 0600}}}},
    };
    for (const TSetCase& c : cases) {
        Sweep(c);
        if (HasFailure())
            return;
    }
}

// The chunks of a growing capture, written until the first failure.
std::vector<std::string> Chunks() {
    std::vector<std::string> chunks;
    for (int i = 0; i < 12; ++i)
        chunks.push_back(
            std::string(static_cast<std::size_t>(30 + i * 7), static_cast<char>('a' + i)));
    return chunks;
}

// A file that grows under its own name (the live capture, the fix log), written by `write`
// with the fault at every call of a clean run, for every errno: the result tells the fault
// (EINTR and the tolerated calls aside), the folder holds `name` or nothing, and `check`
// looks at what the file holds.
void FaultSweepTest::SweepGrowing(const std::string& name,
                                  const std::function<bool(std::string*)>& write,
                                  const std::function<void(bool, const std::string&)>& check) {
    const std::string path = At(name);
    TFaultySystemCalls faulty;
    TScopedSystemCalls installed(&faulty);
    std::string error;
    ASSERT_TRUE(write(&error)) << error;
    const uint64_t calls = faulty.Calls();
    for (const int errnum : kErrnos) {
        for (uint64_t n = 1; n <= calls; ++n) {
            fs::remove(path);
            faulty.Reset();
            faulty.FailAt(TCall::Count, n, errnum);
            error.clear();
            const bool ok = write(&error);
            const std::string where = FaultName(faulty, errnum, n);
            if (!Tolerated(faulty.FiredCall())) {
                EXPECT_EQ(ok, errnum == EINTR || !faulty.Fired()) << where << ": " << error;
            }
            const std::vector<std::string> names = n95::test::ListDir(Dir);
            EXPECT_TRUE(names.empty() || names == std::vector<std::string>{name}) << where;
            if (!names.empty())
                check(ok, where);
            if (HasFailure())
                return;
        }
    }
}

TEST_F(FaultSweepTest, AGrowingCaptureKeepsWholePacketsAndReportsTheFault) {
    const std::string path = At("live.pcap");
    const std::vector<std::string> chunks = Chunks();
    // Writes the capture; false at the first failure, as the live run stops there.
    const auto write = [&](std::string* error) {
        TCaptureWriter writer;
        if (!writer.Open(path, error, TCaptureMode::Growing))
            return false;
        for (std::size_t i = 0; i < chunks.size(); ++i) {
            const TCaptureTime time{1700000000 + static_cast<int64_t>(i), 0};
            if (!writer.Write(time, chunks[i].data(), static_cast<uint32_t>(chunks[i].size()),
                              error) ||
                (i % 4 == 3 && !writer.Sync(error)))
                return false;
        }
        return writer.Commit(error);
    };
    SweepGrowing("live.pcap", write, [&](bool ok, const std::string& where) {
        std::string error;
        TCaptureReader reader;
        ASSERT_TRUE(reader.Open(path, &error)) << where << ": " << error;
        std::size_t read = 0;
        TCaptureReader::TStatus status;
        while ((status = reader.Next()) == TCaptureReader::TStatus::Chunk) {
            ASSERT_LT(read, chunks.size()) << where;
            EXPECT_EQ(std::string(reinterpret_cast<const char*>(reader.Data()), reader.Size()),
                      chunks[read])
                << where;
            ++read;
        }
        EXPECT_EQ(status, TCaptureReader::TStatus::End) << where << ": " << reader.DamageMessage();
        if (ok) {
            EXPECT_EQ(read, chunks.size()) << where;
        }
    });
}

TEST_F(FaultSweepTest, AFixLogKeepsWholeAppendsAndReportsTheFault) {
    const std::string path = At("fixes.nmea");
    std::vector<std::string> lines;
    for (int i = 0; i < 10; ++i)
        lines.push_back("$GPRMC,fix " + std::to_string(i) + "*00\r\n");
    const auto write = [&](std::string* error) {
        TGrowingFile log;
        if (!log.Create(path, "", error))
            return false;
        for (std::size_t i = 0; i < lines.size(); ++i)
            if (!log.Append("# marker\n", 9, lines[i].data(), lines[i].size(), error) ||
                (i % 3 == 2 && !log.Sync(error)))
                return false;
        return log.Close(error);
    };
    SweepGrowing("fixes.nmea", write, [&](bool ok, const std::string& where) {
        const std::string text = ReadFile(path);
        std::string whole;
        std::size_t appends = 0;
        while (appends < lines.size() && whole.size() < text.size())
            whole += "# marker\n" + lines[appends++];
        EXPECT_EQ(text, whole) << where << ": a torn append";
        if (ok) {
            EXPECT_EQ(appends, lines.size()) << where;
        }
    });
}

}  // namespace
}  // namespace n95::host
