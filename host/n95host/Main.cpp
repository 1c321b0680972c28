// n95host: the reference host tool. Drives a handset on a serial port through the plug-in,
// replays a captured drive through it, prints the AT command lines of a test action, shows
// what the plug-in says about itself, and lists the trace frames of a capture.
//
// This file only wires the subcommands (one file each, see Subcommands.h) to the command
// line.
#include "host/common/CommandLine.h"
#include "host/common/Diagnostics.h"
#include "host/common/ExitStatus.h"
#include "host/common/OutputTarget.h"
#include "host/common/Version.h"
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
    app.set_version_flag("--version", VersionLine("n95host"), "Print the version and exit");
    std::string pluginPath;
    app.add_option("--plugin", pluginPath,
                   "The plug-in library to load (default: libN95.so.0 beside this program, "
                   "else in ../lib/<triplet>/n95 of an installed tree)");

    const std::vector<TSubcommand> subcommands = {
        AddReplayCommand(app, pluginPath),
        AddLiveCommand(app, pluginPath),
        AddCommandsCommand(app, pluginPath),
        AddInfoCommand(app, pluginPath),
        AddFramesCommand(app),
    };
    // The one place where an error of the plug-in ends a subcommand: every call into it goes
    // through TPlugin's guard, so whatever it raised arrives here as EPluginError. The replay
    // and the live run catch their own to keep what they can; what reaches here found
    // nothing to keep (commands, info, or the plug-in failing before any file was opened).
    try {
        return ParseAndRun(app, subcommands, argc, argv);
    } catch (const EPluginError& e) {
        PrintError(e.what());
        return kExitOutputError;
    }
}

}  // namespace
}  // namespace n95::host

int main(int argc, char** argv) {
    // Before anything is opened: only what the shell handed over is an output by /dev/fd/N.
    n95::host::RememberInheritedDescriptors();
    return n95::host::Main(argc, argv);
}
