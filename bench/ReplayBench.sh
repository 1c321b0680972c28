#!/usr/bin/env bash
# End-to-end replay benchmark: generates a synthetic drive of the given capture size on the
# fly (never committed), then times, in the same run and on the same file:
#
#   read alone   the capture read once (cat to /dev/null): the I/O floor;
#   no outputs   the replay through the plug-in with its GPS track, writing nothing;
#   csv and map  the same replay writing the CSV and the SVG map;
#   -o           the same replay writing everything -o writes (CSV, GeoJSON, KML, map,
#                report: what the README shows), the point layers thinned as by default;
#   csv only     the CSV alone, and
#   gpkg         the GeoPackage alone (when the build has GDAL), as a ratio to the CSV.
#
# and reports each as seconds per GB, as a ratio to the runs before it, with its CPU time
# and the peak resident memory of the replays. On a shared machine the wall-clock times are
# noisy; the ratios of one run, and the load printed at the end, say how far to trust them.
#
#   bench/ReplayBench.sh [SIZE [RATE]]      SIZE: 1G by default (K, M, G suffixes)
#                                           RATE: mean trace frames per second (default 300)
#
# Builds n95host, n95sim and the plug-in in the Release preset "bench" if needed
# (N95_BENCH_BUILD=<build folder> uses another Release build). The work
# folder (capture, track, outputs: about 3.5 times SIZE) is under $TMPDIR and removed at the
# end. Memory must not grow with the capture: only the records since the last GPS fix are
# kept and the rows wait in a bounded queue, so run it with two sizes (100M, 1G) to see the
# peak stay flat.
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

# Runs a command, its output into $work/$1.out; leaves "wall user+sys" seconds in $work/$1.time.
timed() {
  local name=$1; shift
  local TIMEFORMAT='%R %U %S'
  { time "$@" >"$work/$name.out" 2>"$work/$name.err"; } 2>"$work/$name.times" \
    || { cat "$work/$name.err"; exit 1; }
  awk '{ print $1, $2 + $3 }' "$work/$name.times" >"$work/$name.time"
}
peak() { sed -n 's/.*peak resident memory \([0-9.]*\) MB.*/\1/p' "$work/$1.out"; }

timed read cat "$work/drive.pcap"
timed bare "$build/bin/n95host" replay "$work/drive.pcap" --gps "$work/drive.nmea" --no-progress
timed full "$build/bin/n95host" replay "$work/drive.pcap" --gps "$work/drive.nmea" \
  --csv "$work/drive.csv" --map "$work/drive.svg" --no-progress
cat "$work/full.out"
csv=$(stat -c %s "$work/drive.csv")
timed outdir "$build/bin/n95host" replay "$work/drive.pcap" --gps "$work/drive.nmea" \
  -o "$work/out" --no-progress
timed csv "$build/bin/n95host" replay "$work/drive.pcap" --gps "$work/drive.nmea" \
  --csv "$work/only.csv" --no-progress
gpkg="0 0"
if "$build/bin/n95host" replay --help | grep -q -- --gpkg; then
  timed gpkg "$build/bin/n95host" replay "$work/drive.pcap" --gps "$work/drive.nmea" \
    --gpkg "$work/drive.gpkg" --no-progress
  gpkg=$(cat "$work/gpkg.time")
fi

echo
awk -v bytes="$bytes" -v csv="$csv" -v peakBare="$(peak bare)" -v peakFull="$(peak full)" \
  -v read="$(cat "$work/read.time")" -v bare="$(cat "$work/bare.time")" \
  -v full="$(cat "$work/full.time")" -v outdir="$(cat "$work/outdir.time")" \
  -v peakOut="$(peak outdir)" -v csvOnly="$(cat "$work/csv.time")" -v gpkg="$gpkg" \
  -v peakGpkg="$( [ "$gpkg" != "0 0" ] && peak gpkg)" 'BEGIN {
  gb = bytes / 1e9
  split(read, r, " "); split(bare, b, " "); split(full, f, " "); split(outdir, o, " ")
  split(csvOnly, c, " "); split(gpkg, g, " ")
  printf "capture        %.0f bytes (%.3f GB), csv %.0f bytes\n", bytes, gb, csv
  printf "read alone     %6.2f s: %5.2f s per GB (cpu %.2f s)  the I/O floor\n", r[1], r[1] / gb, r[2]
  printf "no outputs     %6.2f s: %5.2f s per GB (cpu %.2f s)  %.1fx the floor, peak %s MB\n",
    b[1], b[1] / gb, b[2], b[1] / r[1], peakBare
  printf "csv and map    %6.2f s: %5.2f s per GB (cpu %.2f s)  %.2fx no outputs, peak %s MB\n",
    f[1], f[1] / gb, f[2], f[1] / b[1], peakFull
  printf "-o (report)    %6.2f s: %5.2f s per GB (cpu %.2f s)  %.2fx csv and map, peak %s MB\n",
    o[1], o[1] / gb, o[2], o[1] / f[1], peakOut
  printf "csv only       %6.2f s: %5.2f s per GB (cpu %.2f s)\n", c[1], c[1] / gb, c[2]
  if (g[1] > 0)
    printf "gpkg           %6.2f s: %5.2f s per GB (cpu %.2f s)  %.2fx csv only, peak %s MB\n",
      g[1], g[1] / gb, g[2], g[1] / c[1], peakGpkg
  else
    printf "gpkg           not measured: this build has no GeoPackage output\n"
  printf "replay         %.1f s: %.1f s per GB, %.1f MB/s\n", f[1], f[1] / gb, bytes / f[1] / 1e6
  printf "peak memory    %s MB resident\n", peakFull
}'
echo "load          $(uptime | sed 's/.*load average/load average/') on $(nproc) cores"
