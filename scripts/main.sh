#!/usr/bin/env bash
# The main job: builds the plug-in, its two stand-in libraries and the tools, then replays the
# bundled sample drive through the plug-in with its GPS track, writing the CSV, the GeoJSON
# (records and track), the KML and the SVG map into out/ and printing the replay's summary.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
cmake --preset native >/dev/null
cmake --build --preset native
echo
echo "Built:"
for f in libN95.so libVarnex.so libTolvane.so n95host n95sim; do
  [ -e "build/native/bin/$f" ] && echo "  $(realpath "build/native/bin/$f")"
done
echo
build/native/bin/n95host replay samples/drive.pcap --gps samples/drive.nmea -o out
echo
echo "Outputs:"
for f in out/drive.csv out/drive.geojson out/drive.track.geojson out/drive.kml out/drive.svg; do
  echo "  $(realpath "$f")"
done
