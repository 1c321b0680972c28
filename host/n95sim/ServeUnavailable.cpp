// n95sim in the Windows build has no `serve`: the simulated handset plays on a POSIX
// pseudo-terminal. The subcommand is not added, so the word is unknown to the command line
// there; the slot Main.cpp fills is one that never runs.
#include "host/common/ExitStatus.h"
#include "host/n95sim/Subcommands.h"

namespace n95::host::sim {

TSubcommand AddServeCommand(CLI::App&) {
    static CLI::App never;  // never parsed, so never chosen
    return {&never, [] { return static_cast<int>(kExitUsage); }};
}

}  // namespace n95::host::sim
