// n95host: the reference host tool. Drives a handset on a serial port through the plug-in,
// replays a captured drive through it, prints the AT command lines of a test action, shows
// what the plug-in says about itself, and lists the trace frames of a capture.
//
// This file only wires the subcommands (one file each, see Subcommands.h) to the command
// line.
#include "host/common/CommandLine.h"
#include "host/common/Diagnostics.h"
#include "host/common/ExitStatus.h"
#include "host/n95host/Subcommands.h"

namespace n95::host {
namespace {

int Main(int argc, char** argv) {
    SetProgramName("n95host");
    CLI::App app{
        "Reference host of the N95 handset plug-in: drives a handset live, replays "
        "captured drives through it.",
        "n95host"};
    app.require_subcommand(1);
    app.fallthrough();
    app.footer(kExitStatusHelp);
    std::string pluginPath;
    app.add_option("--plugin", pluginPath,
                   "The plug-in library to load (default: libN95.so beside this program)");

    const std::vector<TSubcommand> subcommands = {
        AddReplayCommand(app, pluginPath),
        AddLiveCommand(app, pluginPath),
        AddCommandsCommand(app, pluginPath),
        AddInfoCommand(app, pluginPath),
        AddFramesCommand(app),
    };
    return ParseAndRun(app, subcommands, argc, argv);
}

}  // namespace
}  // namespace n95::host

int main(int argc, char** argv) {
    return n95::host::Main(argc, argv);
}
