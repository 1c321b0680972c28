// The command-line shape both programs share: subcommands, each adding its options to the
// command line and returning how to run it once the line is parsed.
//
// Only the programs' own folders (n95host/, n95sim/) include this header: it pulls in CLI11.
#pragma once

#include <CLI/CLI.hpp>
#include <functional>
#include <vector>

#include "host/common/ExitStatus.h"

namespace n95::host {

// For options that name a file or folder: an empty value ("-o \"\"") is a usage error, not
// the option left out.
inline const CLI::Validator kNonEmpty(
    [](std::string& value) {
        return value.empty() ? std::string("the name is empty") : std::string();
    },
    "", "NonEmpty");

struct TSubcommand {
    CLI::App* App = nullptr;
    std::function<int()> Run;  // the exit status
};

// Parses the command line and runs the subcommand it names. A parse error (or --help) is
// reported by CLI11: status 0 for --help, kExitUsage otherwise.
inline int ParseAndRun(CLI::App& app, const std::vector<TSubcommand>& subcommands, int argc,
                       char** argv) {
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        return app.exit(e) == 0 ? kExitOk : kExitUsage;
    }
    for (const TSubcommand& subcommand : subcommands)
        if (*subcommand.App)
            return subcommand.Run();
    return kExitUsage;
}

}  // namespace n95::host
