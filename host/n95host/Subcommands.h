// The subcommands of n95host, one file each: each adds its options to the command line and
// returns how to run it once the line is parsed. Main.cpp only wires them together.
//
// What more than one subcommand needs (loading the plug-in, naming outputs after an input,
// reporting a track's skipped entries) is declared here too.
#pragma once

#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "host/common/CommandLine.h"
#include "host/common/NumberOption.h"
#include "host/formats/Track.h"
#include "host/outputs/OutputSet.h"
#include "host/session/PluginHost.h"

namespace n95::host {

// `pluginPath` is the --plugin option's value; it is read when the subcommand runs.
TSubcommand AddReplayCommand(CLI::App& app, const std::string& pluginPath);
TSubcommand AddLiveCommand(CLI::App& app, const std::string& pluginPath);
TSubcommand AddCommandsCommand(CLI::App& app, const std::string& pluginPath);
TSubcommand AddInfoCommand(CLI::App& app, const std::string& pluginPath);
// Reads a capture only; never loads the plug-in.
TSubcommand AddFramesCommand(CLI::App& app);

// Loads the plug-in at `path` (empty: the default beside this program) and asks it its name,
// type and frequency (TPlugin::Identify). False, having printed the reason, when it cannot be
// loaded; throws EPluginError when an export raises an exception (Main reports it: status 5).
bool LoadPlugin(TPlugin& plugin, const std::string& path);

// The outputs replay and live both write: an option for every kind of the registry, and
// --max-points for the GeoJSON and the KML (`maxPoints` must hold the
// default, kDefaultMaxPoints, beforehand; "all" gives 0).
void AddOutputOptions(CLI::App& command, TOutputPaths& paths, uint64_t& maxPoints);

// The text of what `print` writes, line by line (through an anonymous temporary file, as
// the summaries' printers write to a stream): a summary for the report. Empty when no such
// file can be had.
std::vector<std::string> LinesOf(const std::function<void(FILE*)>& print);

// A warning with the first problems and a count of each kind, when the track `path` had
// entries skipped.
void ReportTrack(const std::string& path, const TTrack& track);

}  // namespace n95::host
