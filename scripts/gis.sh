#!/usr/bin/env bash
# The GeoJSON and KML outputs against the readers people open them with: GDAL's ogr2ogr
# converts the records' GeoJSON to a GeoPackage and a Shapefile, the track's GeoJSON to a
# Shapefile and the KML to a GeoPackage, and gpsbabel reads the KML; each must find as many
# features as the replay's summary counts (records with a position, GPS fixes). The GeoJSON
# files are also checked against RFC 7946's rules (WGS 84 positions, no "crs", a LineString
# of two positions or more) with Python's json module. The GeoPackage that n95host writes
# itself (--gpkg) is read with ogrinfo: every record of the CSV in `records`, those with a
# position as points, the track's fixes in `track`, and a spatial index on both.
#   scripts/gis.sh [BIN]    BIN: the folder of the built programs (build/native/bin)
# Drives: the bundled sample, a generated drive with a GPX track, thinned with --max-points,
# and a generated drive of over 50,000 records, thinned by default.
# The same replays write the HTML report (--report) and the JSON summary, which
# scripts/report-check.sh loads in headless Chromium and compares; an n95host without
# --report, or a machine without Chromium, skips that part with a message.
#
# Without ogr2ogr or gpsbabel it prints a message and skips (exit 0); `scripts/deps.sh
# clients` installs them. The last line printed is the summary; exits non-zero on any
# difference.
set -uo pipefail
cd "$(dirname "$0")/.."

bin=${1:-build/native/bin}
fail() {  # prints the reason as the summary line and stops
  echo "gis: FAILED: $*"
  exit 1
}
for tool in ogr2ogr ogrinfo gpsbabel python3; do
  if ! command -v "$tool" >/dev/null 2>&1; then
    echo "gis: SKIPPED: $tool is not installed (scripts/deps.sh clients installs it)"
    exit 0
  fi
done
for program in n95host n95sim; do
  [ -x "$bin/$program" ] || fail "$bin/$program is not built"
done

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# The feature count of one layer as ogrinfo reports it.
features() {  # FILE [LAYER]
  ogrinfo -ro -so -al "$@" 2>/dev/null | sed -n 's/^Feature Count: //p' | head -n 1
}
# The placemarks of the KML's record folders (a layer per class for GDAL), the track's aside.
kml_records() {  # FILE
  ogrinfo -ro -so -al "$1" 2>/dev/null | awk '
    /^Layer name: / { layer = substr($0, 13) }
    /^Feature Count: / { if (layer != "Track") sum += $3 }
    END { print sum + 0 }'
}
geometry() {  # FILE
  ogrinfo -ro -so -al "$1" 2>/dev/null | sed -n 's/^Geometry: //p' | head -n 1
}
expect() {  # WHAT GOT WANTED
  [ "$2" = "$3" ] || fail "$1: $2, expected $3"
}

rfc7946() {  # FILE KIND(records|track) COUNT
  python3 - "$@" <<'PY' || fail "$1 breaks RFC 7946"
import json, sys
path, kind, count = sys.argv[1], sys.argv[2], int(sys.argv[3])
doc = json.load(open(path))
assert doc["type"] == "FeatureCollection" and "crs" not in doc, "not a plain FeatureCollection"
def position(p):
    assert len(p) == 2 and all(isinstance(v, float) for v in p), p
    assert -180 <= p[0] <= 180 and -90 <= p[1] <= 90, p
for f in doc["features"]:
    g = f["geometry"]
    assert f["type"] == "Feature" and isinstance(f["properties"], dict)
    if g["type"] == "Point":
        position(g["coordinates"])
    else:
        assert kind == "track" and g["type"] == "LineString" and len(g["coordinates"]) >= 2, g["type"]
        for p in g["coordinates"]:
            position(p)
kinds = {f["geometry"]["type"] for f in doc["features"]}
assert kind == "track" or kinds <= {"Point"}, kinds
assert len(doc["features"]) == count, (len(doc["features"]), count)
PY
}

# The HTML report: each replay writes it with its JSON summary, and the browser check reads
# both.
"$bin/n95host" replay --help 2>/dev/null | grep -q -- '--report' || fail "n95host has no --report"
report_args=(--report)

# The first value ogrinfo's SQL query gives.
sql_value() {  # FILE SQL
  ogrinfo -ro -q -sql "$2" "$1" 2>/dev/null | sed -n 's/^ *[^=]* = //p' | head -n 1
}

# CAPTURE TRACK NAME: replays with --gpkg and --csv, and reads the GeoPackage back.
check_gpkg() {
  local capture=$1 track=$2 name=$3
  local gpkg="$work/$name.gpkg" csv="$work/$name.csv" summary fixes rows positioned
  summary=$("$bin/n95host" replay "$capture" --gps "$track" --gpkg "$gpkg" --csv "$csv" \
    --no-progress) || fail "$name: n95host replay --gpkg"
  fixes=$(sed -n 's/^  track .*: \([0-9]*\) fixes,.*/\1/p' <<<"$summary")
  rows=$(($(wc -l <"$csv") - 1))
  positioned=$(awk -F, 'NR > 1 && $4 != ""' "$csv" | wc -l)
  [ "$positioned" -gt 0 ] && [ -n "$fixes" ] || fail "$name: no record with a position, or no fix"
  expect "$name: GeoPackage records" "$(features "$gpkg" records)" "$rows"
  expect "$name: GeoPackage records with a point" \
    "$(sql_value "$gpkg" "SELECT COUNT(*) AS n FROM records WHERE geom IS NOT NULL")" "$positioned"
  expect "$name: GeoPackage geometry of the records" "$(ogrinfo -ro -so "$gpkg" records 2>/dev/null \
    | sed -n 's/^Geometry: //p')" Point
  expect "$name: GeoPackage track" "$(features "$gpkg" track)" 1
  expect "$name: GeoPackage track's points" "$(ogrinfo -ro -q "$gpkg" track 2>/dev/null \
    | grep -o 'LINESTRING ([^)]*)' | tr -cd ',' | wc -c)" "$((fixes > 1 ? fixes - 1 : 1))"
  expect "$name: GeoPackage spatial indexes" "$(sql_value "$gpkg" "SELECT group_concat(t) AS t FROM \
    (SELECT table_name AS t FROM gpkg_extensions WHERE extension_name = 'gpkg_rtree_index' \
    ORDER BY t)")" "records,track"
  expect "$name: GeoPackage records' index" \
    "$(sql_value "$gpkg" "SELECT COUNT(*) AS n FROM rtree_records_geom")" "$positioned"
  expect "$name: GeoPackage records' index check" \
    "$(sql_value "$gpkg" "SELECT rtreecheck('rtree_records_geom') AS r")" ok
  echo "gis: $name: GeoPackage of $rows records ($positioned points) and $fixes fixes read back by ogrinfo"
}

# CAPTURE TRACK NAME [MAX-POINTS]: replays, then converts and counts.
check_drive() {
  local capture=$1 track=$2 name=$3 max=${4:-}
  local out="$work/$name" summary shown positioned fixes
  local report=()
  [ ${#report_args[@]} -eq 0 ] \
    || report=(--report "$work/$name.report.html" --summary-json "$work/$name.summary.json")
  summary=$("$bin/n95host" replay "$capture" --gps "$track" -o "$out" --no-progress \
    ${max:+--max-points "$max"} "${report[@]}") || fail "$name: n95host replay"
  positioned=$(sed -n 's/^  records *[0-9]*: \([0-9]*\) with a position.*/\1/p' <<<"$summary")
  fixes=$(sed -n 's/^  track .*: \([0-9]*\) fixes,.*/\1/p' <<<"$summary")
  [ -n "$positioned" ] && [ "$positioned" -gt 0 ] && [ -n "$fixes" ] \
    || fail "$name: no record with a position, or no fix, in the summary"
  # Without --max-points the point layers keep 50,000 records by default.
  local limit=${max:-50000}
  shown=$positioned
  if [ "$limit" -lt "$positioned" ]; then
    shown=$limit
    grep -q "thinned  *$limit of $positioned records" <<<"$summary" \
      || fail "$name: the summary does not say how many were kept"
  fi
  local stem
  stem=$(basename "$capture" .pcap)
  rfc7946 "$out/$stem.geojson" records "$shown"
  rfc7946 "$out/$stem.track.geojson" track 1

  ogr2ogr -f GPKG "$work/$name-records.gpkg" "$out/$stem.geojson" 2>"$work/ogr.err" \
    || { cat "$work/ogr.err"; fail "$name: ogr2ogr GeoJSON to GeoPackage"; }
  expect "$name: GeoPackage of the records' GeoJSON" "$(features "$work/$name-records.gpkg")" "$shown"
  ogr2ogr -f "ESRI Shapefile" "$work/$name-records-shp" "$out/$stem.geojson" 2>"$work/ogr.err" \
    || { cat "$work/ogr.err"; fail "$name: ogr2ogr GeoJSON to Shapefile"; }
  expect "$name: Shapefile of the records" "$(features "$work/$name-records-shp")" "$shown"
  expect "$name: Shapefile geometry of the records" "$(geometry "$work/$name-records-shp")" Point
  ogr2ogr -f "ESRI Shapefile" "$work/$name-track-shp" "$out/$stem.track.geojson" 2>"$work/ogr.err" \
    || { cat "$work/ogr.err"; fail "$name: ogr2ogr track GeoJSON to Shapefile"; }
  expect "$name: Shapefile geometry of the track" "$(geometry "$work/$name-track-shp")" "Line String"

  ogr2ogr -f GPKG "$work/$name-kml.gpkg" "$out/$stem.kml" 2>"$work/ogr.err" \
    || { cat "$work/ogr.err"; fail "$name: ogr2ogr KML to GeoPackage"; }
  expect "$name: GeoPackage layers of the KML's record folders" "$(kml_records "$work/$name-kml.gpkg")" "$shown"
  expect "$name: GeoPackage layer Track of the KML" "$(features "$work/$name-kml.gpkg" Track)" 1
  # The KML's schema types the fields.
  ogrinfo -ro -so "$work/$name-kml.gpkg" "class 0" 2>/dev/null | grep -q '^index: Integer' \
    || fail "$name: the KML's index field is not typed as an integer"

  gpsbabel -i kml -f "$out/$stem.kml" -o gpx -F "$work/$name.gpx" 2>"$work/babel.err" \
    || { cat "$work/babel.err"; fail "$name: gpsbabel could not read the KML"; }
  expect "$name: gpsbabel's track points from the KML" "$(grep -c '<trkpt' "$work/$name.gpx")" "$fixes"
  expect "$name: gpsbabel's waypoints from the KML" "$(grep -c '<wpt' "$work/$name.gpx")" "$shown"
  echo "gis: $name: $shown records of $positioned and $fixes fixes read back by ogr2ogr and gpsbabel"

  if [ ${#report[@]} -gt 0 ]; then
    scripts/report-check.sh "$work/$name.report.html" "$work/$name.summary.json" \
      >"$work/report.out" 2>&1 || { cat "$work/report.out"; fail "$name: the HTML report"; }
    echo "gis: $name: $(tail -n 1 "$work/report.out")"
  fi
}

check_drive samples/drive.pcap samples/drive.nmea sample
"$bin/n95sim" generate "$work/gen/seed5" --seed 5 --duration 120 --gpx >/dev/null \
  || fail "n95sim generate"
check_drive "$work/gen/seed5.pcap" "$work/gen/seed5.gpx" seed5-thinned 700
"$bin/n95sim" generate "$work/gen/long" --seed 21 --duration 220 >/dev/null || fail "n95sim generate"
check_drive "$work/gen/long.pcap" "$work/gen/long.nmea" long-default
check_gpkg samples/drive.pcap samples/drive.nmea sample-gpkg
check_gpkg "$work/gen/long.pcap" "$work/gen/long.nmea" long-gpkg
echo "gis: GeoJSON and KML of 3 drives (one over the default 50,000 points) converted by ogr2ogr and read by gpsbabel, 2 GeoPackages read by ogrinfo, with the right counts; their HTML reports open in Chromium without a warning and show the summary's counts"
