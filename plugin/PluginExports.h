// The plug-in's four exported functions, and their pointer types for hosts that bind them
// by name (dlopen/dlsym, LoadLibrary/GetProcAddress).
//
// The host owns every decoder GetDllDevice returns and destroys it with delete through the
// virtual destructor, before it unloads the library.
#pragma once

#include <cstdint>
#include <string>

#include "decoder/DecodeInterfaces.h"
#include "platform/Export.h"

#if defined(_WIN32) && (defined(__i386__) || defined(_M_IX86))
#define N95_CALL __stdcall
#else
#define N95_CALL
#endif

#if defined(N95_PLUGIN_BUILD)
#define N95_PLUGIN_API N95_EXPORT
#else
#define N95_PLUGIN_API
#endif

extern "C" {
// Replaces Name with the device name, "N95".
N95_PLUGIN_API void N95_CALL GetDeviceName(std::string& Name);
// Always true.
N95_PLUGIN_API bool N95_CALL GetDeviceType();
// Always 3.
N95_PLUGIN_API uint8_t N95_CALL GetDeviceFrequency();
// A new, independent decoder for the host's port and context (both stored, not owned).
N95_PLUGIN_API THandSetDecode* N95_CALL GetDllDevice(THostPort* Port, THostContext* Context);
}

using TGetDeviceNameProc = void(N95_CALL*)(std::string& Name);
using TGetDeviceTypeProc = bool(N95_CALL*)();
using TGetDeviceFrequencyProc = uint8_t(N95_CALL*)();
using TGetDllDeviceProc = THandSetDecode*(N95_CALL*)(THostPort* Port, THostContext* Context);

// The exported names, for hosts and for the test that checks the export table.
inline constexpr const char* kPluginExportNames[] = {"GetDeviceName", "GetDeviceType",
                                                     "GetDeviceFrequency", "GetDllDevice"};
