#!/usr/bin/env bash
# End-to-end replay benchmark: generates a synthetic drive of the given capture size on the
# fly (never committed), replays it through the plug-in with its GPS track, writing the CSV
# and the SVG map, and reports the replay time per GB and the peak resident memory.
#
#   bench/ReplayBench.sh [SIZE [RATE]]      SIZE: 1G by default (K, M, G suffixes)
#                                           RATE: mean trace frames per second (default 300)
#
# Builds n95host, n95sim and the plug-in in the Release preset "bench" if needed
# (N95_BENCH_BUILD=<build folder> uses another Release build). The work
# folder (capture, track, outputs: about 3.5 times SIZE) is under $TMPDIR and removed at the
# end. Memory must not grow with the capture: only the records since the last GPS fix are
# kept, so run it with two sizes to see the peak stay flat.
set -euo pipefail
cd "$(dirname "$0")/.."
size=${1:-1G}
rate=${2:-300}
build=${N95_BENCH_BUILD:-build/bench}

if [ ! -x "$build/bin/n95host" ] || [ ! -x "$build/bin/n95sim" ] || [ ! -e "$build/bin/libN95.so" ]; then
  cmake --preset bench >/dev/null
  cmake --build "$build" -j2 --target n95host n95sim N95 >/dev/null
fi

work=$(mktemp -d "${TMPDIR:-/tmp}/n95-replay-bench.XXXXXX")
trap 'rm -rf "$work"' EXIT

echo "generating a $size drive ($rate frames/s) in $work"
start=$(date +%s.%N)
"$build/bin/n95sim" generate "$work/drive" --seed 1 --size "$size" --rate "$rate"
echo "generation took $(awk -v a="$start" -v b="$(date +%s.%N)" 'BEGIN { printf "%.1f", b - a }') s"

bytes=$(stat -c %s "$work/drive.pcap")
start=$(date +%s.%N)
"$build/bin/n95host" replay "$work/drive.pcap" --gps "$work/drive.nmea" \
  --csv "$work/drive.csv" --map "$work/drive.svg" --no-progress | tee "$work/summary.txt"
seconds=$(awk -v a="$start" -v b="$(date +%s.%N)" 'BEGIN { print b - a }')
peak=$(sed -n 's/.*peak resident memory \([0-9.]*\) MB.*/\1/p' "$work/summary.txt")
csv=$(stat -c %s "$work/drive.csv")

echo
awk -v bytes="$bytes" -v csv="$csv" -v s="$seconds" -v peak="$peak" 'BEGIN {
  printf "capture        %.0f bytes (%.3f GB)\n", bytes, bytes / 1e9
  printf "csv            %.0f bytes\n", csv
  printf "replay         %.1f s: %.1f s per GB, %.1f MB/s\n", s, s * 1e9 / bytes, bytes / s / 1e6
  printf "peak memory    %s MB resident\n", peak
}' 
