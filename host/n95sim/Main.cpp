// n95sim: writes synthetic drives (a capture and its GPS track) for samples, tests and
// benchmarks, and plays a simulated handset on a pseudo-terminal for the live run.
//
// This file only wires the subcommands (one file each, see Subcommands.h) to the command
// line.
#include "host/common/CommandLine.h"
#include "host/common/Diagnostics.h"
#include "host/common/ExitStatus.h"
#include "host/common/OutputTarget.h"
#include "host/common/Version.h"
#include "host/n95sim/Subcommands.h"

namespace n95::host::sim {
namespace {

int Main(int argc, char** argv) {
    SetProgramName("n95sim");
    CLI::App app{
        "Synthetic drives for the N95 plug-in (a trace capture and its GPS track), and a "
        "simulated handset on a pseudo-terminal, and the check of a live capture against what "
        "the simulated handset sent.",
        "n95sim"};
    app.require_subcommand(1);
    app.footer(
        "Exit status: 0 ok; 1 (compare) the capture does not hold what was sent; 2 usage "
        "error; 3 (serve) the capture cannot be read, (compare) a file cannot be read; 5 an "
        "output cannot be written (nothing is left behind), or the pseudo-terminal cannot be "
        "made.");

    app.set_version_flag("--version", VersionLine("n95sim"), "Print the version and exit");

    const std::vector<TSubcommand> subcommands = {AddGenerateCommand(app), AddServeCommand(app),
                                                  AddCompareCommand(app)};
    return ParseAndRun(app, subcommands, argc, argv);
}

}  // namespace
}  // namespace n95::host::sim

int main(int argc, char** argv) {
    // Before anything is opened: only what the shell handed over is an output by /dev/fd/N.
    n95::host::RememberInheritedDescriptors();
    return n95::host::sim::Main(argc, argv);
}
