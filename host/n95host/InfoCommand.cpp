// n95host info: what the plug-in reports about itself.
#include <cstdio>

#include "host/common/ExitStatus.h"
#include "host/n95host/Subcommands.h"

namespace n95::host {

TSubcommand AddInfoCommand(CLI::App& app, const std::string& pluginPath) {
    CLI::App* info = app.add_subcommand("info", "Show the plug-in's name, type and frequency code");
    info->footer(kExitStatusHelp);
    return {info, [&pluginPath] {
                TPlugin plugin;
                if (!LoadPlugin(plugin, pluginPath))
                    return static_cast<int>(kExitPluginError);
                std::printf("plug-in    %s\n", plugin.Path().c_str());
                std::printf("name       %s\n", plugin.DeviceName().c_str());
                std::printf("type       %s\n", plugin.DeviceType() ? "true" : "false");
                std::printf("frequency  %u\n", static_cast<unsigned>(plugin.DeviceFrequency()));
                return static_cast<int>(kExitOk);
            }};
}

}  // namespace n95::host
