// Distances on the ground for the small areas a drive covers: a local equirectangular
// approximation, metres per degree of latitude and of longitude (the latter shrinking with
// the cosine of the latitude). Good to a fraction of a percent over a city; not for long
// distances.
#pragma once

#include <algorithm>
#include <cmath>
#include <numbers>

namespace n95::host {

inline constexpr double kMetresPerDegreeLat = 110574.0;
inline constexpr double kMetresPerDegreeLonAtEquator = 111320.0;

// Metres per degree of longitude at `latitudeDegrees`, kept above a floor near the poles so
// that a projection never divides by zero.
inline double MetresPerDegreeLon(double latitudeDegrees) {
    return kMetresPerDegreeLonAtEquator *
           std::max(std::cos(latitudeDegrees * std::numbers::pi / 180.0), 0.01);
}

}  // namespace n95::host
