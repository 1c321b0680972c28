// How the programs name their outputs: from the options, from -o DIR and the capture's name,
// with a handset's label. Pure functions of names (no file is looked at), so that every rule
// is tested without a process or a file system.
#pragma once

#include <string>
#include <vector>

#include "host/common/OutputTarget.h"
#include "host/outputs/OutputRegistry.h"
#include "platform/DateTime.h"

namespace n95::host {

// The file name of `path` without its folder and extension: the stem of outputs named
// after it.
std::string Stem(const std::string& path);
// The stem of the outputs named after a capture: Stem of its path without a last ".gz"
// (d.pcap.gz gives d); "stdin" for "-", standard input.
std::string CaptureStem(const std::string& capture);

// "NAME-LABEL.EXT" for "NAME.EXT": a handset's own name for an output of a run of several.
// Standard output, a descriptor ("/dev/fd/3") and /dev/null stay as they are; so does "".
std::string Labelled(const std::string& name, const std::string& label);
// Labelled, for every path of `paths`.
TOutputPaths LabelledPaths(const TOutputPaths& paths, const std::string& label);

// "live-20240514T092000Z": the stem of a live run's outputs started at `start` when no
// capture names them.
std::string LiveStem(TDateTime start);

// Fills the names that the options leave to be made: first the track's GeoJSON beside the
// records' (NAME.geojson gives NAME.track.geojson; see TrackGeoJsonBeside), then, with -o DIR
// (`dir` not empty), DIR/<stem><suffix> for every kind that -o writes and that is still
// empty.
void NameOutputs(const std::string& dir, const std::string& stem, TOutputPaths& paths);

// The outputs of `paths` as CheckDistinctFiles takes them, named by their options; those that
// `given` (the options alone) leaves empty were named by -o, or beside --geojson.
std::vector<TNamedFile> NamedOutputs(const TOutputPaths& paths, const TOutputPaths& given);

}  // namespace n95::host
