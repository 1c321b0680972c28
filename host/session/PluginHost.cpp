#include "host/session/PluginHost.h"

#include <dlfcn.h>
#include <unistd.h>

#include <climits>
#include <type_traits>

namespace n95::host {

std::string DefaultPluginPath() {
    char buffer[PATH_MAX];
    const ssize_t n = readlink("/proc/self/exe", buffer, sizeof buffer - 1);
    if (n <= 0)
        return kPluginFileName;
    std::string self(buffer, static_cast<std::size_t>(n));
    const std::size_t slash = self.rfind('/');
    return self.substr(0, slash + 1) + kPluginFileName;
}

TPlugin::~TPlugin() {
    if (Handle != nullptr)
        dlclose(Handle);
}

bool TPlugin::Load(const std::string& path, std::string* error) {
    if (Handle != nullptr) {
        dlclose(Handle);
        Handle = nullptr;
    }
    LoadedPath = path;
    const std::string loadPath = path.find('/') == std::string::npos ? "./" + path : path;
    dlerror();
    void* handle = dlopen(loadPath.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) {
        const char* message = dlerror();
        *error = "cannot load plug-in " + path + ": " + (message ? message : "unknown error");
        return false;
    }
    const auto bind = [&](const char* name, auto& slot) {
        dlerror();
        void* symbol = dlsym(handle, name);
        const char* message = dlerror();
        if (symbol == nullptr || message != nullptr) {
            *error = "plug-in " + path + " does not export " + name + ": " +
                     (message ? message : "null symbol");
            return false;
        }
        slot = reinterpret_cast<std::remove_reference_t<decltype(slot)>>(symbol);
        return true;
    };
    if (!bind("GetDeviceName", GetName) || !bind("GetDeviceType", GetType) ||
        !bind("GetDeviceFrequency", GetFrequency) || !bind("GetDllDevice", GetDevice)) {
        dlclose(handle);
        return false;
    }
    Handle = handle;
    return true;
}

std::string TPlugin::DeviceName() const {
    std::string name;
    GetName(name);
    return name;
}

bool TPlugin::DeviceType() const {
    return GetType();
}

uint8_t TPlugin::DeviceFrequency() const {
    return GetFrequency();
}

TDecoderPtr TPlugin::NewDecoder(THostPort* port, THostContext* context) const {
    return TDecoderPtr(GetDevice(port, context));
}

}  // namespace n95::host
