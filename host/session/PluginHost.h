// Loading the plug-in the way a host does: loaded by path (dlopen, LoadLibraryEx: through the
// system seam, SystemCalls.h), the four exports bound by name,
// nothing else of the library used.
//
// A plug-in is code the host does not control, so every call into it goes through one guard:
// an exception of any type thrown by an export or by an operation of a decoder reaches the
// host as EPluginError, whose message names the call and the plug-in's reason, and a factory
// that gives no decoder is reported the same way. Callers therefore handle one exception type
// and never see a nil decoder.
//
// Every decoder obtained from NewDecoder must be destroyed before the TPlugin that made it
// (its code lives in the library). Not thread-safe, except that decoders made by one TPlugin
// may be used on different threads (one thread each), as the live run's handsets do.
#pragma once

#include <memory>
#include <stdexcept>
#include <string>

#include "plugin/PluginExports.h"

namespace n95::host {

// The plug-in (its versioned file's link name, libN95.so.0; N95.dll on Windows) beside the
// running executable (TSystemCalls::ProgramPath), as in the build folder, or else in the installed
// tree's plug-in folder relative to it (../lib/<triplet>/n95/); just the file name when that link
// cannot be read.
std::string DefaultPluginPath();

// The plug-in failed a call: an export or an operation raised an exception, or GetDllDevice
// gave no decoder. what() reads "the plug-in's DecodeData raised an error: ...".
class EPluginError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Owns a decoder; deletes it through its virtual destructor.
using TDecoderPtr = std::unique_ptr<THandSetDecode>;

class TPlugin {
public:
    TPlugin() = default;
    TPlugin(const TPlugin&) = delete;
    TPlugin& operator=(const TPlugin&) = delete;
    ~TPlugin();

    // Loads the library at `path` and binds the four exports. False, with a message that
    // names the path and the loader's own words, when the file cannot be loaded or lacks an
    // export. A path without a folder separator is made relative to the current folder, so the
    // loader's search path is never used.
    bool Load(const std::string& path, std::string* error);

    const std::string& Path() const { return LoadedPath; }

    // Asks the plug-in its name, type and frequency code (GetDeviceName, GetDeviceType,
    // GetDeviceFrequency) and keeps the answers, which are constants of the plug-in. Throws
    // EPluginError when an export raises an exception. Load must have succeeded.
    void Identify();

    // The kept answers. Identify must have succeeded.
    const std::string& DeviceName() const { return Name; }
    bool DeviceType() const { return Type; }
    uint8_t DeviceFrequency() const { return Frequency; }

    // A new decoder for `port` and `context` (both stored by it, not owned; `context` must
    // not be nil and must outlive the decoder); never nil. It is the plug-in's decoder behind
    // the guard (see above): each operation forwards to it, and an exception it raises
    // reaches the caller as EPluginError. Throws EPluginError when GetDllDevice raises an
    // exception or gives no decoder. Load must have succeeded.
    TDecoderPtr NewDecoder(THostPort* port, THostContext* context) const;

private:
    void* Handle = nullptr;
    std::string LoadedPath;
    TGetDeviceNameProc GetName = nullptr;
    TGetDeviceTypeProc GetType = nullptr;
    TGetDeviceFrequencyProc GetFrequency = nullptr;
    TGetDllDeviceProc GetDevice = nullptr;
    std::string Name;
    bool Type = false;
    uint8_t Frequency = 0;
};

}  // namespace n95::host
