// A Windows host in miniature: loads N95.dll with LoadLibrary, binds the four exports by
// their undecorated names and drives a whole run through the decoder's virtual operations,
// with its own port, context and record store. It links no library of the project; it sees
// only the public headers and compiles the record unit into itself, as a real host does.
//
// Usage: win32host [path\to\N95.dll]   (default: N95.dll beside this program)
// Exit status 0 when every check passed; otherwise each failed check is printed.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
// <windows.h> first, as a host usually has it: its macros (SetPort -> SetPortA, ...) then
// rename declarations and calls alike, and the virtual table is used by position anyway.
#include <windows.h>
// After <windows.h>, which it needs.
#include <tlhelp32.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <exception>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include "decoder/DecodeInterfaces.h"
#include "decoder/HostObjects.h"
#include "plugin/PluginExports.h"
#include "records/DataAccessAPIUnit.h"
#include "tests/support/NullHostPort.h"

namespace {

int g_checks = 0;
int g_failures = 0;

void Check(bool ok, int line, const std::string& what) {
    ++g_checks;
    if (!ok) {
        ++g_failures;
        std::fprintf(stderr, "FAILED (line %d): %s\n", line, what.c_str());
    }
}

template <typename A, typename B>
std::string Describe(const char* expression, const A& actual, const B& expected) {
    std::ostringstream out;
    out.precision(17);
    out << expression << ": got " << actual << ", expected " << expected;
    return out.str();
}

#define CHECK(cond) Check((cond), __LINE__, #cond)
#define CHECK_EQ(actual, expected) \
    Check((actual) == (expected), __LINE__, Describe(#actual, (actual), (expected)))

// Bytes shown as C-escaped text, for messages about AT lines and frames.
std::string Printable(const std::string& bytes) {
    std::string out;
    char buf[8];
    for (unsigned char c : bytes) {
        if (c == '\r') {
            out += "\\r";
        } else if (c >= 0x20 && c < 0x7F && c != '\\') {
            out += static_cast<char>(c);
        } else {
            std::snprintf(buf, sizeof buf, "\\x%02X", c);
            out += buf;
        }
    }
    return out;
}

// The host's port: journals every call; WriteData keeps the exact bytes.
class HostPort final : public n95::test::NullHostPort {
public:
    HostPort() { TimeStamp = 46000.5; }
    bool IsOpen() override {
        Journal.push_back("IsOpen");
        return Opened;
    }
    void SetPortSetting1(uint8_t v) override { Journal.push_back("Setting1=" + std::to_string(v)); }
    void SetPortSetting2(int32_t v) override { Journal.push_back("Setting2=" + std::to_string(v)); }
    void SetPortSetting3(int32_t v) override { Journal.push_back("Setting3=" + std::to_string(v)); }
    void WriteData(const void* buffer, int32_t count) override {
        Journal.push_back("Write:" + std::string(static_cast<const char*>(buffer), count));
    }
    void WriteDataAlt(const void*, int32_t) override { Journal.push_back("WriteAlt"); }
    void Open(bool v) override {
        Journal.push_back(v ? "Open(1)" : "Open(0)");
        Opened = true;
    }
    void Close() override {
        Journal.push_back("Close");
        Opened = false;
    }
    void PurgeInput() override { Journal.push_back("PurgeInput"); }
    void PurgeOutput() override { Journal.push_back("PurgeOutput"); }

    std::vector<std::string> Journal;
    bool Opened = false;
};

// The host's context with its own fix counter and current fix.
struct HostContext {
    HostContext() {
        Context.HostData = nullptr;
        Context.ReplayName = "";
        Context.HostValue1 = Context.HostValue2 = 0;
        Context.FixCounter = &FixCounter;
        Context.CurrentFix = &Fix;
    }
    int32_t FixCounter = 0;
    TGpsPoint Fix{0.0, 0.0, 0.0};
    THostContext Context;
};

// The host's own record store, reached by the decoder through two callbacks.
struct HostStore {
    static constexpr int32_t kTag = 4242;

    static int32_t Count(void* self, int32_t tag) {
        auto* store = static_cast<HostStore*>(self);
        if (tag != kTag)
            ++store->WrongTags;
        return static_cast<int32_t>(store->Records.size());
    }
    static TTestRecord* Get(void* self, int32_t tag, int32_t index) {
        auto* store = static_cast<HostStore*>(self);
        if (tag != kTag)
            ++store->WrongTags;
        if (index < 0 || index >= static_cast<int32_t>(store->Records.size()))
            return nullptr;
        return store->Records[index];
    }
    ~HostStore() {
        for (TTestRecord* r : Records)
            FreeTestRecord(r);
    }

    std::vector<TTestRecord*> Records;  // owned: copies made on this side of the boundary
    int WrongTags = 0;
};

constexpr double kSecond = 1.0 / n95::kSecondsPerDay;

// A long-header trace frame: three message bytes, form 0x01, four extension bytes, the
// big-endian payload length, the payload. The stand-in decoder reads the message code from
// the first four payload bytes (big-endian).
std::string MakeFrame(uint8_t b0, uint32_t code, const std::string& tail) {
    std::string payload;
    for (int shift = 24; shift >= 0; shift -= 8)
        payload += static_cast<char>((code >> shift) & 0xFF);
    payload += tail;
    std::string frame{
        static_cast<char>(b0), '\x10', '\x05', '\x01', '\xA1', '\xB2', '\xC3', '\xD4'};
    frame += static_cast<char>((payload.size() >> 8) & 0xFF);
    frame += static_cast<char>(payload.size() & 0xFF);
    return frame + payload;
}

std::string Feed(THandSetDecode* d, const std::string& chunk) {
    std::string text = "stale text that DecodeData must replace";
    d->DecodeData(chunk.data(), static_cast<int32_t>(chunk.size()), text);
    return text;
}

// Collects the queued copies the way a host does: read, copy into the host store, free
// across the boundary, then clear. Returns the message codes.
std::vector<uint32_t> Collect(THandSetDecode* d, HostStore* store, TDateTime expectedTime) {
    std::vector<uint32_t> codes;
    const int32_t n = d->GetRecordCount();
    for (int32_t i = 0; i < n; ++i) {
        TTestRecord* r = d->GetRecord(i);
        CHECK(r != nullptr);
        if (r == nullptr)
            continue;
        codes.push_back(r->MessageCode);
        CHECK_EQ(static_cast<double>(r->TestTime), expectedTime);
        CHECK_EQ(static_cast<double>(r->StampTime), expectedTime);
        if (store != nullptr)
            store->Records.push_back(CopyTestRecord(r));
        CHECK(d->FreeRecord(i));
    }
    CHECK(d->ClearRecords());
    CHECK_EQ(d->GetRecordCount(), 0);
    CHECK(!d->GetRecordsReady());
    return codes;
}

// Threads of this process right now.
int CountThreads() {
    HANDLE snapshot = ::CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    if (snapshot == INVALID_HANDLE_VALUE)
        return -1;
    THREADENTRY32 entry;
    entry.dwSize = sizeof entry;
    int count = 0;
    const DWORD self = ::GetCurrentProcessId();
    for (BOOL ok = ::Thread32First(snapshot, &entry); ok; ok = ::Thread32Next(snapshot, &entry)) {
        if (entry.th32OwnerProcessID == self)
            ++count;
    }
    ::CloseHandle(snapshot);
    return count;
}

// The names in a loaded module's export table, and its number of exported functions.
std::vector<std::string> ExportedNames(HMODULE module, DWORD* functionCount) {
    const auto* base = reinterpret_cast<const uint8_t*>(module);
    const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
    const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
    const IMAGE_DATA_DIRECTORY& dir =
        nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_EXPORT];
    std::vector<std::string> names;
    *functionCount = 0;
    if (dir.VirtualAddress == 0)
        return names;
    const auto* exports =
        reinterpret_cast<const IMAGE_EXPORT_DIRECTORY*>(base + dir.VirtualAddress);
    const auto* nameRvas = reinterpret_cast<const DWORD*>(base + exports->AddressOfNames);
    for (DWORD i = 0; i < exports->NumberOfNames; ++i) {
        names.emplace_back(reinterpret_cast<const char*>(base + nameRvas[i]));
    }
    *functionCount = exports->NumberOfFunctions;
    std::sort(names.begin(), names.end());
    return names;
}

std::string ProgramDirectory() {
    char path[MAX_PATH];
    DWORD n = ::GetModuleFileNameA(nullptr, path, MAX_PATH);
    std::string s(path, n);
    std::size_t slash = s.find_last_of("\\/");
    return slash == std::string::npos ? std::string() : s.substr(0, slash + 1);
}

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

const std::string kTraceOn =
    "AT*NTRACE=1,3,0,\"1\",1,\"7\",2,\"03BFFF\",3,\"1F\",4,\"1467F\",5,\"07BFFC\"\r";

struct Exports {
    TGetDeviceNameProc GetDeviceName;
    TGetDeviceTypeProc GetDeviceType;
    TGetDeviceFrequencyProc GetDeviceFrequency;
    TGetDllDeviceProc GetDllDevice;
};

// Binds an export by name to its typed pointer (nullptr when the name is not exported).
template <typename Proc>
void Bind(HMODULE module, const char* name, Proc* proc) {
    FARPROC address = ::GetProcAddress(module, name);
    static_assert(sizeof address == sizeof *proc);
    std::memcpy(proc, &address, sizeof *proc);
}

void CheckExports(HMODULE module) {
    DWORD functions = 0;
    std::vector<std::string> names = ExportedNames(module, &functions);
    std::vector<std::string> expected(std::begin(kPluginExportNames), std::end(kPluginExportNames));
    std::sort(expected.begin(), expected.end());
    std::string listed;
    for (const std::string& n : names)
        listed += n + " ";
    Check(names == expected, __LINE__, "export table is exactly the four names; got: " + listed);
    CHECK_EQ(functions, 4u);
    for (const char* decorated : {"GetDeviceName@4", "_GetDeviceName@4", "GetDllDevice@8",
                                  "_GetDllDevice@8", "_GetDeviceType@0"}) {
        Check(::GetProcAddress(module, decorated) == nullptr, __LINE__,
              std::string("decorated name not exported: ") + decorated);
    }
}

// Connect on a closed port: opened, configured, then the three trace-on lines.
void CheckConnect(THandSetDecode* d, HostPort& port) {
    port.Journal.clear();
    d->Connect(false);
    const std::vector<std::string> expected = {
        "IsOpen",      "Open(1)",      "Setting1=16",         "Setting2=10",
        "Setting3=10", "Write:ATE0\r", "Write:AT*NTRACE=0\r", "Write:" + kTraceOn};
    std::string got;
    for (const std::string& e : port.Journal)
        got += "[" + Printable(e) + "] ";
    Check(port.Journal == expected, __LINE__, "Connect port calls; got: " + got);
    CHECK_EQ(static_cast<int>(d->GetState()), static_cast<int>(rsAwaitingTrace));
    CHECK(!d->GetConnected());

    // The first frame, within 50 s, confirms the trace; it is not decoded.
    CHECK_EQ(Feed(d, MakeFrame(0x22, 0x1234, "abcd")), "");
    CHECK_EQ(static_cast<int>(d->GetState()), static_cast<int>(rsStopped));
    CHECK(d->GetConnected());
    CHECK_EQ(d->GetStatusValue(), 0);
    CHECK_EQ(d->GetRecordCount(), 0);
}

// Frames decoded into records, collected and freed across the boundary.
void CheckRecords(THandSetDecode* d, HostPort& port, HostStore& store) {
    // Payloads carry CR, LF and NUL bytes: nothing on the way may treat them as text.
    const std::vector<uint32_t> codes = {0x713A0301, 0x00030000, 0x412F0401};
    std::string chunk;
    std::vector<std::string> frames;
    for (uint32_t code : codes) {
        frames.push_back(MakeFrame(0x22, code, std::string("\r\n\0tail", 7)));
        chunk += frames.back();
    }
    port.TimeStamp = 46001.25;
    CHECK(Printable(Feed(d, chunk)) == Printable(chunk));
    CHECK(d->GetRecordsReady());
    CHECK_EQ(d->GetRecordCount(), 3);
    for (int32_t i = 0; i < 3; ++i) {
        TTestRecord* r = d->GetRecord(i);
        CHECK(r != nullptr && r->Body != nullptr);
        if (r == nullptr || r->Body == nullptr)
            continue;
        // The stand-in decoder copies the whole payload into the kind-2 body's blob.
        const auto* body = static_cast<const TTestBody2*>(r->Body);
        const std::string payload = frames[i].substr(10);
        CHECK_EQ(static_cast<std::size_t>(body->BlobLen), payload.size());
        CHECK(body->BlobLen == payload.size() &&
              std::memcmp(body->Blob, payload.data(), payload.size()) == 0);
    }
    CHECK(Collect(d, &store, 46001.25) == codes);
    CHECK_EQ(static_cast<int>(d->GetMessageClass()), 0);  // 0x412F0401 came last
}

// A first fix tags every pending host record; the records decoded after it carry the fix;
// the next fix spreads the records between the two fixes along the line, by index.
void CheckPositions(THandSetDecode* d, HostPort& port, HostContext& context, HostStore& store) {
    d->SetCallbackTag(HostStore::kTag);
    d->SetRecordBase(-1);
    d->SetOnRecordCount(TRecordCountEvent{&HostStore::Count, &store});
    d->SetOnGetRecord(TGetRecordEvent{&HostStore::Get, &store});
    const std::size_t firstBatch = store.Records.size();

    const TDateTime t1 = 46001.5;
    context.FixCounter = 1;
    context.Fix = TGpsPoint{10.0, 20.0, t1};
    d->UpdatePosition(context.Fix);
    CHECK(d->GetPositionUpdated());
    CHECK_EQ(d->GetLastTaggedIndex(), static_cast<int32_t>(firstBatch) - 1);
    CHECK(!d->GetPositionUpdated());
    for (TTestRecord* r : store.Records) {
        CHECK_EQ(static_cast<double>(r->PosX), 10.0);
        CHECK_EQ(static_cast<double>(r->PosY), 20.0);
    }
    TGpsPoint p = d->GetPosition();
    CHECK(p.X == 10.0 && p.Y == 20.0 && p.Time == t1);

    for (int i = 0; i < 5; ++i) {
        const TDateTime at = t1 + (i + 1) * 0.2 * kSecond;
        port.TimeStamp = at;
        std::string frame = MakeFrame(0x22, 0x100 + i, "pos");
        CHECK(Feed(d, frame) == frame);
        const std::size_t before = store.Records.size();
        Collect(d, &store, at);
        CHECK_EQ(store.Records.size(), before + 1);
        TTestRecord* last = store.Records.back();
        CHECK(last->PosX == 10.0 && last->PosY == 20.0);  // the current fix at decode time
    }

    context.FixCounter = 2;
    context.Fix = TGpsPoint{20.0, 40.0, t1 + 2 * kSecond};
    d->UpdatePosition(context.Fix);
    CHECK_EQ(d->GetLastTaggedIndex(), static_cast<int32_t>(store.Records.size()) - 1);
    for (std::size_t i = firstBatch; i < store.Records.size(); ++i) {
        const double h = static_cast<double>(i - firstBatch) / 4.0;
        CHECK_EQ(static_cast<double>(store.Records[i]->PosX), 10.0 + 10.0 * h);
        CHECK_EQ(static_cast<double>(store.Records[i]->PosY), 20.0 + 20.0 * h);
    }
    p = d->GetPosition();
    CHECK(p.X == 20.0 && p.Y == 40.0);

    // A fix less than half a second after the last one changes nothing.
    context.Fix = TGpsPoint{30.0, 60.0, t1 + 2.4 * kSecond};
    d->UpdatePosition(context.Fix);
    CHECK(!d->GetPositionUpdated());
    CHECK_EQ(d->GetPosition().X, 20.0);
    CHECK_EQ(store.WrongTags, 0);
}

// The plug-in's exception reaches the host and is caught there (one shared C++ runtime).
void CheckAbstractError(THandSetDecode* d) {
    bool caught = false;
    try {
        d->ReservedAbstract1();
    } catch (const std::exception& e) {
        caught = true;
        CHECK_EQ(std::string(e.what()), "Abstract Error");
        CHECK(dynamic_cast<const EAbstractError*>(&e) != nullptr);
    } catch (...) {
        Check(false, __LINE__, "ReservedAbstract1 raised something other than std::exception");
        caught = true;
    }
    CHECK(caught);
}

// Every decoded frame is written to the log as its raw bytes and CR LF; others are not.
void CheckFrameLog(THandSetDecode* d, HostPort& port) {
    d->SetLogEnabled(true);  // no file name: a message (to stderr here), logging stays off
    CHECK(!d->GetLogEnabled());

    char dir[MAX_PATH];
    DWORD n = ::GetTempPathA(MAX_PATH, dir);
    const std::string path =
        std::string(dir, n) + "n95-win32host-" + std::to_string(::GetCurrentProcessId()) + ".log";
    d->SetLogFileName(path);
    CHECK_EQ(d->GetLogFileName(), path);
    d->SetLogEnabled(true);
    CHECK(d->GetLogEnabled());

    port.TimeStamp = 46002.0;
    const std::string a = MakeFrame(0x22, 0x0A0D0A0D, std::string("\0\r\n\x1A\xFF", 5));
    const std::string b = MakeFrame(0x23, 0x00000112, "\n\n");
    // A 2-byte payload: the stand-in decoder rejects the frame, so it is not logged.
    const std::string rejected = a.substr(0, 8) + std::string("\x00\x02zz", 4);
    CHECK(Printable(Feed(d, a + b)) == Printable(a + b));
    CHECK_EQ(Feed(d, rejected), "");
    CHECK(Feed(d, a) == a);
    Collect(d, nullptr, 46002.0);

    d->SetLogFileName("");  // closes the log
    const std::string expected = a + "\r\n" + b + "\r\n" + a + "\r\n";
    const std::string logged = ReadFile(path);
    Check(logged == expected, __LINE__,
          "frame log content; got " + Printable(logged) + " expected " + Printable(expected));
    ::DeleteFileA(path.c_str());
}

void CheckStopTest(THandSetDecode* d, HostPort& port) {
    port.Journal.clear();
    d->StopTest();
    const std::vector<std::string> expected = {"PurgeInput", "PurgeOutput", "Write:AT*NTRACE=0\r",
                                               "Write:AT*NTESTSYSTEM=0\r"};
    std::string got;
    for (const std::string& e : port.Journal)
        got += "[" + Printable(e) + "] ";
    Check(port.Journal == expected, __LINE__, "StopTest port calls; got: " + got);
    CHECK_EQ(static_cast<int>(d->GetState()), static_cast<int>(rsStopped));
}

void Run(const std::string& dllPath) {
    const int threadsBefore = CountThreads();
    HMODULE module = ::LoadLibraryA(dllPath.c_str());
    Check(module != nullptr, __LINE__, "LoadLibrary " + dllPath);
    if (module == nullptr)
        return;
    // Loading builds the command catalogue and nothing else: no thread is started.
    CHECK_EQ(CountThreads(), threadsBefore);
    CheckExports(module);

    Exports x{};
    Bind(module, "GetDeviceName", &x.GetDeviceName);
    Bind(module, "GetDeviceType", &x.GetDeviceType);
    Bind(module, "GetDeviceFrequency", &x.GetDeviceFrequency);
    Bind(module, "GetDllDevice", &x.GetDllDevice);
    CHECK(x.GetDeviceName && x.GetDeviceType && x.GetDeviceFrequency && x.GetDllDevice);
    if (!(x.GetDeviceName && x.GetDeviceType && x.GetDeviceFrequency && x.GetDllDevice))
        return;

    std::string name = "  text the host had before  ";
    x.GetDeviceName(name);  // the plug-in assigns a string the host owns
    CHECK_EQ(name, "N95");
    for (int i = 0; i < 2; ++i) {
        CHECK(x.GetDeviceType());
        CHECK_EQ(static_cast<int>(x.GetDeviceFrequency()), 3);
    }

    {
        HostPort port;
        HostContext context;
        HostStore store;
        THandSetDecode* first = x.GetDllDevice(&port, &context.Context);
        THandSetDecode* second = x.GetDllDevice(&port, &context.Context);
        CHECK(first != nullptr && second != nullptr && first != second);
        CHECK_EQ(static_cast<int>(second->GetState()), static_cast<int>(rsIdle));
        CHECK_EQ(static_cast<int>(second->GetDeviceKind()), 2);
        CHECK_EQ(static_cast<int>(second->GetHandsetCode()), 24);
        CHECK(!second->GetConnected());
        CHECK_EQ(second->GetRecordCount(), 0);
        // The second decoder is destroyed in the middle of a test, its watcher running.
        second->StartTest();
        CHECK_EQ(CountThreads(), threadsBefore + 1);
        delete second;
        CHECK_EQ(CountThreads(), threadsBefore);

        CheckConnect(first, port);
        first->StartTest();
        CHECK_EQ(static_cast<int>(first->GetState()), static_cast<int>(rsTesting));
        CHECK_EQ(CountThreads(), threadsBefore + 1);  // its watcher
        CheckRecords(first, port, store);
        CheckPositions(first, port, context, store);
        CheckAbstractError(first);
        CheckFrameLog(first, port);
        CheckStopTest(first, port);
        CHECK_EQ(CountThreads(), threadsBefore);
        delete first;
    }

    CHECK(::FreeLibrary(module));
    CHECK(::GetModuleHandleA("N95.dll") == nullptr);
}

}  // namespace

int main(int argc, char** argv) {
    // The plug-in's one message box would wait for a click: have it write to stderr.
    ::SetEnvironmentVariableA("N95_NO_MESSAGE_BOX", "1");
    const std::string dllPath = argc > 1 ? argv[1] : ProgramDirectory() + "N95.dll";
    try {
        Run(dllPath);
    } catch (const std::exception& e) {
        Check(false, __LINE__, std::string("unexpected exception: ") + e.what());
    }
    if (g_failures == 0) {
        std::printf("win32host: all %d checks passed\n", g_checks);
        return 0;
    }
    std::printf("win32host: %d of %d checks FAILED\n", g_failures, g_checks);
    return 1;
}
