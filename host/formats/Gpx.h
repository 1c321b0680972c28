// GPX 1.1 tracks: every <trkpt> of every <trk>/<trkseg>, in document order, with its lat
// and lon attributes and its <time>. Points without a usable time or position are skipped
// as problems of the track (with their line numbers).
#pragma once

#include <cstddef>
#include <string>

#include "host/formats/Track.h"

namespace n95::host {

// Appends the usable fixes of the GPX document in [data, data + size) to `track`. False,
// with a message in *error, when the document is not XML or its root is not <gpx>.
bool ParseGpx(const char* data, std::size_t size, TTrack& track, std::string* error);

}  // namespace n95::host
