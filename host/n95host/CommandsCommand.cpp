// n95host commands: the AT command lines the plug-in builds for a test action.
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <map>
#include <memory>
#include <optional>

#include "control/ActionCodes.h"
#include "host/common/Diagnostics.h"
#include "host/common/ExitStatus.h"
#include "host/formats/AtLines.h"
#include "host/n95host/Subcommands.h"
#include "host/session/Replay.h"

namespace n95::host {

namespace {

const std::map<std::string, int32_t>& ActionNames() {
    static const std::map<std::string, int32_t> names = {
        {"dial", acDial},
        {"hangup", acHangUp},
        {"answer", acAnswer},
        {"system-lock", acSystemLock},
        {"sector-lock", acSectorLock},
        {"sector-unlock", acSectorLockRelease},
        {"channel-lock", acChannelLock},
        {"channel-unlock", acChannelLockRelease},
        {"vt-dial", acVtDial},
        {"vt-answer", acVtAnswer},
        {"vt-hangup", acVtHangUp},
        {"geran-hoprms-1", acGeranHoprms1},
        {"geran-hoprms-off", acGeranHoprmsOff1},
        {"geran-hoprms-2", acGeranHoprms2},
        {"wran-hoprms-1", acWranHoprms1},
        {"wran-hoprms-off", acWranHoprmsOff1},
        {"wran-hoprms-2", acWranHoprms2},
        {"audio-test-1", acAudioTest1},
        {"audio-test-2", acAudioTest2},
        {"ba-lock", acBaLock},
        {"ba-unlock", acBaLockRelease},
        {"gsm-scan", acGsmScanStart},
        {"gsm-scan-stop", acGsmScanStop},
        {"wcdma-scan", acWcdmaScanStart},
        {"wcdma-scan-stop", acWcdmaScanStop},
    };
    return names;
}

std::string ActionHelp() {
    std::string text = "Action names (or give the numeric code):\n";
    for (const auto& [name, code] : ActionNames())
        text += "  " + name + std::string(18 - std::min<std::size_t>(17, name.size()), ' ') +
                std::to_string(code) + "\n";
    return text;
}

bool ParseAction(const std::string& text, int32_t& action) {
    const auto found = ActionNames().find(text);
    if (found != ActionNames().end()) {
        action = found->second;
        return true;
    }
    if (text.empty())
        return false;
    char* end = nullptr;
    errno = 0;
    const long value = std::strtol(text.c_str(), &end, 10);
    if (*end != '\0' || errno != 0 || value < INT32_MIN || value > INT32_MAX)
        return false;
    action = static_cast<int32_t>(value);
    return true;
}

struct TCommandsArgs {
    std::string Action;
    std::vector<std::string> Params;
    std::optional<std::string> Text;
    bool Raw = false;
};

int RunCommandsCommand(const TCommandsArgs& args, const std::string& pluginPath) {
    int32_t action;
    if (!ParseAction(args.Action, action)) {
        PrintError("unknown action \"" + args.Action + "\" (a number or a name; see --help)");
        return kExitUsage;
    }
    if (args.Text && !args.Params.empty()) {
        PrintError("give NAME=VALUE parameters or --text, not both");
        return kExitUsage;
    }
    std::string paramText = args.Text.value_or("");
    for (const std::string& p : args.Params) {
        if (p.find('=') == std::string::npos) {
            PrintError("parameter \"" + p + "\" is not NAME=VALUE");
            return kExitUsage;
        }
        if (!paramText.empty())
            paramText += "\r\n";
        paramText += p;
    }
    TPlugin plugin;
    if (!LoadPlugin(plugin, pluginPath))
        return kExitPluginError;
    TReplayPort port;
    int32_t fixCounter = 0;
    TGpsPoint fix{};
    THostContext context{nullptr, "commands", 0, 0, &fixCounter, &fix};
    std::vector<std::string> lines;
    {
        TDecoderPtr decoder = plugin.NewDecoder(&port, &context);
        TCommandParams commandParams{0, paramText.c_str()};
        lines = decoder->BuildTestCommands(action, &commandParams);
    }
    if (lines.empty()) {
        PrintError("action " + std::to_string(action) +
                   " gives no command line (an unknown code, or a required parameter text is "
                   "empty)");
        return kExitIncomplete;
    }
    for (const std::string& line : lines) {
        if (args.Raw)
            std::fwrite(line.data(), 1, line.size(), stdout);
        else
            std::printf("%s\n", VisibleText(line).c_str());
    }
    return kExitOk;
}

}  // namespace

TSubcommand AddCommandsCommand(CLI::App& app, const std::string& pluginPath) {
    auto args = std::make_shared<TCommandsArgs>();
    auto text = std::make_shared<std::string>();
    CLI::App* commands = app.add_subcommand(
        "commands", "Print the AT command lines the plug-in builds for a test action");
    commands->footer(ActionHelp() + "\n" + kExitStatusHelp);
    commands->add_option("action", args->Action, "Action code or name")->required();
    commands->add_option("params", args->Params,
                         "Parameters NAME=VALUE (for example UARFCN=10713)");
    CLI::Option* textOption =
        commands->add_option("--text", *text, "Parameter text used as it is (a dial string)");
    commands->add_flag("--raw", args->Raw,
                       "Write the lines' bytes as they are (carriage returns, no newline)");
    return {commands, [args, text, textOption, &pluginPath] {
                if (textOption->count() > 0)
                    args->Text = *text;
                return RunCommandsCommand(*args, pluginPath);
            }};
}

}  // namespace n95::host
