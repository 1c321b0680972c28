// The subcommands of n95sim, one file each, wired to the command line by Main.cpp (as in
// n95host: each adds its options and returns how to run it).
#pragma once

#include "host/common/CommandLine.h"
#include "host/common/NumberOption.h"

namespace n95::host::sim {

using n95::host::TSubcommand;

TSubcommand AddGenerateCommand(CLI::App& app);
TSubcommand AddServeCommand(CLI::App& app);
TSubcommand AddCompareCommand(CLI::App& app);

}  // namespace n95::host::sim
