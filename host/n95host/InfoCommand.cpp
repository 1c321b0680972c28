// n95host info: what the plug-in reports about itself.
#include <cstdio>

#include "host/common/ExitStatus.h"
#include "host/common/Version.h"
#include "host/n95host/Subcommands.h"

namespace n95::host {

TSubcommand AddInfoCommand(CLI::App& app, const std::string& pluginPath) {
    CLI::App* info = app.add_subcommand("info", "Show the plug-in's name, type and frequency code");
    info->footer(kInfoExitHelp);
    return {info, [&pluginPath] {
                TPlugin plugin;
                if (!LoadPlugin(plugin, pluginPath))
                    return static_cast<int>(kExitPluginError);
                std::printf("plug-in    %s\n", plugin.Path().c_str());
                std::printf("version    %s\n", VersionLine("n95host").c_str());
                std::printf("name       %s\n", plugin.DeviceName().c_str());
                // Both are constants of the plug-in, the same for every handset and state; it
                // gives them no meaning of its own: they are for the host application.
                std::printf("type       %s\n", plugin.DeviceType() ? "true" : "false");
                std::printf(
                    "           (GetDeviceType: a fixed flag the plug-in always "
                    "returns; it describes\n"
                    "           no property of the handset, which is not asked)\n");
                std::printf("frequency  %u\n", static_cast<unsigned>(plugin.DeviceFrequency()));
                std::printf("           (GetDeviceFrequency: a fixed code, likewise)\n");
                return static_cast<int>(kExitOk);
            }};
}

}  // namespace n95::host
