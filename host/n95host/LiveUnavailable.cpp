// n95host live in the Windows build: not there yet. The live run drives a handset on a serial
// line and reads GPS receivers and gpsd, all of it POSIX today (termios, poll, sockets); its
// Windows port (COM ports) comes later. Until then the subcommand is listed, takes whatever
// it is given, and says so, rather than being an unknown word to the command line.
#include <cstdio>

#include "host/common/Diagnostics.h"
#include "host/common/ExitStatus.h"
#include "host/n95host/Subcommands.h"

namespace n95::host {

TSubcommand AddLiveCommand(CLI::App& app, const std::string&) {
    CLI::App* live = app.add_subcommand(
        "live", "Drive a handset live (not in this Windows build yet: use the Linux build)");
    live->allow_extras();
    return {live, [] {
                PrintError(
                    "live: this Windows build has no live run yet (COM ports come in a later "
                    "version); replay, frames, commands and info work as on Linux");
                return static_cast<int>(kExitUsage);
            }};
}

}  // namespace n95::host
