// n95host commands: the AT command lines the plug-in builds for a test action.
#include <strings.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <map>
#include <memory>
#include <optional>

#include "control/ActionCodes.h"
#include "control/TestCommands.h"
#include "host/common/Diagnostics.h"
#include "host/common/ExitStatus.h"
#include "host/formats/AtLines.h"
#include "host/formats/Nmea.h"
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
    bool List = false;
};

bool IsDialAction(int32_t action) {
    return action == acDial || action == acDialAlt || action == acVtDial;
}

std::string ActionLabel(const std::string& given, int32_t action) {
    return given == std::to_string(action) ? "action " + given : given;
}

std::string Range(const n95::TActionParameter& p) {
    return std::to_string(p.Min) + ".." + std::to_string(p.Max);
}

// "UARFCN (0..65535), PSC (0..65535)", or "no parameters".
std::string DescribeParameters(const std::vector<n95::TActionParameter>& parameters) {
    std::string text;
    for (const n95::TActionParameter& p : parameters)
        text += (text.empty() ? "" : ", ") + std::string(p.Name) + " (" + Range(p) + ")";
    return text.empty() ? "no parameters" : text;
}

bool SameName(const std::string& a, const char* b) {
    return strcasecmp(a.c_str(), b) == 0;  // the plug-in matches names ignoring case
}

// Checks one NAME=VALUE line against what `action` reads. Empty when it is sound, else the
// message naming the parameter and what it accepts.
std::string CheckParameter(const std::string& label, const std::string& line,
                           const std::vector<n95::TActionParameter>& parameters) {
    const std::size_t equals = line.find('=');
    if (equals == std::string::npos)
        return "parameter \"" + line + "\" is not NAME=VALUE";
    const std::string name = line.substr(0, equals);
    const std::string value = line.substr(equals + 1);
    for (const n95::TActionParameter& p : parameters) {
        if (!SameName(name, p.Name))
            continue;
        int32_t number = 0;
        if (!n95::TryParseParamValue(value, number))
            return std::string(p.Name) + "=" + value + " is not a whole 32-bit number; " + p.Name +
                   " takes " + Range(p) + " (decimal, or hexadecimal after $ or 0x)";
        if (number < p.Min || number > p.Max)
            return std::string(p.Name) + "=" + value + " is outside what " + label + " can send; " +
                   p.Name + " takes " + Range(p);
        return "";
    }
    return label + " has no parameter \"" + name + "\"; it takes " + DescribeParameters(parameters);
}

// A dial string the handset takes: empty when it is, else why not.
std::string CheckDialText(const std::string& label, const std::string& text) {
    if (text.empty())
        return label + " needs the number to dial: --text NUMBER";
    const std::size_t at = n95::FindRefusedDialCharacter(text);
    if (at == std::string::npos)
        return "";
    return "the dial text holds \"" + VisibleText(text.substr(at, 1)) + "\" at position " +
           std::to_string(at + 1) +
           ", which is no dial character (0-9 * # + A-D , T P W ! @ I G > blank - ( ), or a "
           "memory name after \">\" as in >SM1)";
}

// The parameter text the plug-in is to get, or a usage message in *error. The parameters
// are checked against what the action reads; an action that reads none but is built only
// from a parameter text gets one that names it (the plug-in looks only at its presence).
bool MakeParameterText(const TCommandsArgs& args, int32_t action, std::string& text,
                       std::string* error) {
    const std::string label = ActionLabel(args.Action, action);
    if (IsDialAction(action)) {
        if (!args.Params.empty()) {
            *error = label + " takes the number to dial as --text NUMBER, not NAME=VALUE";
            return false;
        }
        text = args.Text.value_or("");
        *error = CheckDialText(label, text);
        return error->empty();
    }
    std::vector<std::string> lines = args.Params;
    if (args.Text)
        n95::host::ForEachLine(*args.Text, [&](std::string_view line) {
            if (!line.empty())
                lines.emplace_back(line);
        });
    const std::vector<n95::TActionParameter> parameters = n95::TestActionParameters(action);
    for (const std::string& line : lines) {
        *error = CheckParameter(label, line, parameters);
        if (!error->empty())
            return false;
        text += (text.empty() ? "" : "\r\n") + line;
    }
    if (text.empty() && n95::TestActionNeedsText(action)) {
        if (!parameters.empty()) {
            *error = label + " needs its parameters: " + DescribeParameters(parameters) +
                     " (one left out is sent as 0)";
            return false;
        }
        text = "Action=" + std::to_string(action);
    }
    return true;
}

// commands --list: every action by name, its code and what it takes.
void PrintActionList() {
    for (const auto& [name, code] : ActionNames()) {
        std::string takes;
        if (IsDialAction(code))
            takes =
                "--text NUMBER: the dial string (0-9 * # + A-D , T P W ! @ I G > - ( ) and "
                "blanks; >SM1 dials stored number 1 of memory SM)";
        else
            takes = DescribeParameters(n95::TestActionParameters(code)) +
                    (n95::TestActionParameters(code).empty() ? "" : "; one left out is 0");
        std::printf("%-18s%-5d%s\n", name.c_str(), code, takes.c_str());
    }
}

int RunCommandsCommand(const TCommandsArgs& args, const std::string& pluginPath) {
    if (args.List) {
        PrintActionList();
        return kExitOk;
    }
    int32_t action;
    if (!ParseAction(args.Action, action)) {
        PrintError("unknown action \"" + args.Action + "\" (a number or a name; see --list)");
        return kExitUsage;
    }
    if (args.Text && !args.Params.empty()) {
        PrintError("give NAME=VALUE parameters or --text, not both");
        return kExitUsage;
    }
    std::string paramText, error;
    if (!MakeParameterText(args, action, paramText, &error)) {
        PrintError(error);
        return kExitUsage;
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
                   " gives no command line: the plug-in knows no such action (see --list)");
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
    commands->footer(ActionHelp() + "\n" + kCommandsExitHelp);
    commands->add_option("action", args->Action, "Action code or name");
    commands->add_flag("--list", args->List,
                       "List every action with its code and the parameters it takes, their "
                       "ranges and defaults");
    commands->add_option("params", args->Params,
                         "Parameters NAME=VALUE (for example UARFCN=10713)");
    CLI::Option* textOption =
        commands->add_option("--text", *text, "Parameter text used as it is (a dial string)");
    commands->add_flag("--raw", args->Raw,
                       "Write the lines' bytes as they are (carriage returns, no newline)");
    return {commands, [args, text, textOption, &pluginPath] {
                if (textOption->count() > 0)
                    args->Text = *text;
                if (!args->List && args->Action.empty()) {
                    PrintError("commands: give an action (a name or a code; see --list)");
                    return static_cast<int>(kExitUsage);
                }
                return RunCommandsCommand(*args, pluginPath);
            }};
}

}  // namespace n95::host
