// Loading the plug-in the way a host does: dlopen by path, the four exports bound by name,
// nothing else of the library used.
//
// Every decoder obtained from NewDecoder must be destroyed before the TPlugin that made it
// (its code lives in the library). Not thread-safe.
#pragma once

#include <memory>
#include <string>

#include "plugin/PluginExports.h"

namespace n95::host {

// The file name of the plug-in on this platform.
inline constexpr const char* kPluginFileName = "libN95.so";

// The plug-in beside the running executable (found through /proc/self/exe), or just the
// file name when that link cannot be read.
std::string DefaultPluginPath();

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
    // export. A path without '/' is made relative to the current folder, so the loader's
    // search path is never used.
    bool Load(const std::string& path, std::string* error);

    const std::string& Path() const { return LoadedPath; }

    // The exports. Load must have succeeded.
    std::string DeviceName() const;
    bool DeviceType() const;
    uint8_t DeviceFrequency() const;
    // A new decoder for `port` and `context` (both stored by it, not owned; `context` must
    // not be nil and must outlive the decoder).
    TDecoderPtr NewDecoder(THostPort* port, THostContext* context) const;

private:
    void* Handle = nullptr;
    std::string LoadedPath;
    TGetDeviceNameProc GetName = nullptr;
    TGetDeviceTypeProc GetType = nullptr;
    TGetDeviceFrequencyProc GetFrequency = nullptr;
    TGetDllDeviceProc GetDevice = nullptr;
};

}  // namespace n95::host
