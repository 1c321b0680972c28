// The subcommands of n95host, one file each: each adds its options to the command line and
// returns how to run it once the line is parsed. Main.cpp only wires them together.
//
// What more than one subcommand needs (loading the plug-in, naming outputs after an input,
// reporting a track's skipped entries) is declared here too.
#pragma once

#include <cstdint>
#include <string>

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

// The file name of `path` without its folder and extension: the stem of outputs named
// after it.
std::string Stem(const std::string& path);
// The stem of the outputs named after a capture: Stem of its path without a last ".gz"
// (d.pcap.gz gives d); "stdin" for "-", standard input.
std::string CaptureStem(const std::string& capture);

// The outputs replay and live both write: --csv, --geojson, --track-geojson, --kml, --map and
// --frame-log, and --max-points for the GeoJSON and the KML (`maxPoints` must hold the
// default, kDefaultMaxPoints, beforehand; "all" gives 0).
void AddOutputOptions(CLI::App& command, TOutputPaths& paths, uint64_t& maxPoints);

// A warning with the first problems and a count of each kind, when the track `path` had
// entries skipped.
void ReportTrack(const std::string& path, const TTrack& track);

}  // namespace n95::host
