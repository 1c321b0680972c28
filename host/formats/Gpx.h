// GPX 1.1 tracks.
//
// Reading: every <trkpt> of every <trk>/<trkseg>, in document order, with its lat
// and lon attributes and its <time>. Points without a usable time or position are skipped
// as problems of the track (with their line numbers).
#pragma once

#include <csignal>
#include <cstddef>
#include <string>

#include "host/formats/Track.h"

namespace n95::host {

// Appends the usable fixes of the GPX document in [data, data + size) to `track`, in time
// linear in its size and in stack independent of its depth. False, with a message in *error,
// when the document is not XML or its root is not <gpx>, or (with "interrupted") when
// `stopRequested` (may be null) was set while the points were collected.
bool ParseGpx(const char* data, std::size_t size, TTrack& track, std::string* error,
              const volatile std::sig_atomic_t* stopRequested = nullptr);

// Writing one track of one segment: the head (XML declaration, <gpx>, <trk> with its name,
// <trkseg>), a line per point (positions to 1e-7 degree, times to the millisecond), the tail.
// `creator` and `name` are written as they are: plain text without markup characters.
std::string GpxTrackHead(const std::string& creator, const std::string& name);
void AppendGpxPoint(std::string& out, const TGpsPoint& fix);
inline constexpr const char* kGpxTrackTail = "</trkseg></trk>\n</gpx>\n";

}  // namespace n95::host
