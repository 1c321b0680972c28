// The subcommands of n95sim, one file each, wired to the command line by Main.cpp (as in
// n95host: each adds its options and returns how to run it).
#pragma once

#include <CLI/CLI.hpp>
#include <functional>

namespace n95::host::sim {

struct TSubcommand {
    CLI::App* App = nullptr;
    std::function<int()> Run;  // the exit status
};

TSubcommand AddGenerateCommand(CLI::App& app);
TSubcommand AddServeCommand(CLI::App& app);

}  // namespace n95::host::sim
