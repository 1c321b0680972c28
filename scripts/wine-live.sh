#!/usr/bin/env bash
# The Windows host's live run over COM ports, under Wine: n95host.exe drives two simulated
# handsets (n95sim serve, the Linux build) through COM7 and COM8, which a Wine prefix of this
# test's own maps to the simulators' pseudo-terminals, with a GPS log that grows as the run
# goes. Each simulator hangs up every 1,500 (1,700) frames and a new port appears at the same
# link (a replug); the host reconnects each time.
#
# Checked for each handset, against the Linux host driving identical simulators at the same
# time:
#   - the AT lines the handset received are the same, line for line (hang-ups included);
#   - the handset's bytes are all in the capture, chunk for chunk (n95sim compare);
#   - every hang-up was a reconnect, and records were decoded and placed;
#   - the Linux host's replay of the Windows capture (with its fix log) gives the Windows
#     run's CSV.
#
# Safety: Wine maps a COM port that no mapping names to the machine's own serial lines
# (COM1 is /dev/ttyS0). The test maps COM7 and COM8 in its own prefix, to links in its own
# folder,
# checks that Wine's device table says exactly that before the host runs, and refuses to run
# otherwise. The shared prefix of the other Windows tests is never touched (scripts/win32.sh
# ends its Wine server while this may run).
#
# Usage: scripts/wine-live.sh PRESET   (win64 or win32, built; build/native is built here)
set -uo pipefail
cd "$(dirname "$0")/.."

preset=${1:?usage: scripts/wine-live.sh PRESET}
fail() {
  echo "wine-live: FAILED: $*"
  exit 1
}

exe=$PWD/build/$preset/bin/n95host.exe
run=$PWD/build/$preset/wine-run.sh
[ -f "$exe" ] && [ -x "$run" ] || fail "$exe and $run are made by the $preset build"
linux=$PWD/build/native/bin
[ -x "$linux/n95host" ] && [ -x "$linux/n95sim" ] || fail "the Linux host and simulator (build/native)"

work=$PWD/build/$preset/wine-live
prefix=$PWD/build/$preset/wine-live-prefix
rm -rf "$work"
mkdir -p "$work/windows" "$work/linux"

# The prefix: a copy of the build's own, made once (a new prefix takes a minute to boot).
# The loader and the server that the build's own script names.
wine=$(sed -n "s/^exec '\([^']*\)'.*/\1/p" "$run")
server=$(grep -o "'[^']*wineserver'" "$run" | head -n 1 | tr -d "'")
[ -x "$wine" ] && [ -x "$server" ] || fail "no Wine loader or server named in $run"
export WINEPREFIX=$prefix WINEDEBUG=-all WINEDLLOVERRIDES='mscoree,mshtml=' N95_NO_MESSAGE_BOX=1
export WINEARCH
WINEARCH=$(sed -n 's/.*WINEARCH=\([a-z0-9]*\).*/\1/p' "$run")
if [ ! -f "$prefix/system.reg" ]; then
  "$run" cmd /c exit </dev/null >/dev/null 2>&1  # the build's prefix, booted
  WINEPREFIX="$PWD/build/$preset/wineprefix" "$server" -w
  rm -rf "$prefix.new"
  cp -a "build/$preset/wineprefix" "$prefix.new" && mv "$prefix.new" "$prefix" \
    || fail "could not copy the Wine prefix"
fi
# Every program the test started goes with it, however it ends.
cleanup() {
  local p
  for p in ${hosts:-}; do pkill -TERM -P "$p" 2>/dev/null; done  # timeout passes it on
  [ -n "${sims:-}${hosts:-}" ] && kill $sims $hosts 2>/dev/null
  "$server" -k >/dev/null 2>&1
  true
}
trap cleanup EXIT

# Handset a on COM7, b on COM8: each mapped to its simulator's link, and no other port.
declare -A port=([a]=COM7 [b]=COM8) seed=([a]=7 [b]=8) every=([a]=1500 [b]=1700)
"$server" -k >/dev/null 2>&1
"$server" -w >/dev/null 2>&1
"$wine" reg delete 'HKLM\Software\Wine\Ports' /f </dev/null >/dev/null 2>&1
for h in a b; do
  "$wine" reg add 'HKLM\Software\Wine\Ports' /v "${port[$h]}" /d "$work/windows/$h" /f </dev/null \
    >/dev/null 2>&1 || fail "could not map ${port[$h]}"
done
"$server" -k >/dev/null 2>&1
"$server" -w >/dev/null 2>&1
"$wine" cmd /c exit </dev/null >/dev/null 2>&1
for h in a b; do
  device=$prefix/dosdevices/${port[$h],,}
  [ "$(readlink "$device")" = "$work/windows/$h" ] \
    || fail "Wine does not map ${port[$h]} to the test's port ($device -> $(readlink "$device")); not running"
done

# Identical simulated handsets for each host.
sims=""
for side in windows linux; do
  for h in a b; do
    "$linux/n95sim" serve --rate 500 --count 4500 --seed "${seed[$h]}" --hangup-every "${every[$h]}" \
      --replug 0.3 --link "$work/$side/$h" --at-log "$work/$side/$h.at" \
      --sent-log "$work/$side/$h.sent" >"$work/$side/$h.sim.out" 2>"$work/$side/$h.sim.err" &
    sims="$sims $!"
  done
done
for side in windows linux; do
  for h in a b; do
    for _ in $(seq 1 100); do
      [ -s "$work/$side/$h.sim.out" ] && break
      sleep 0.1
    done
    [ -s "$work/$side/$h.sim.out" ] || fail "the $side simulator $h did not start"
  done
done

# Two names of one port are one device: refused before anything is opened.
timeout -k 5 60 "$wine" "$exe" live --device a=COM7 --device 'b=\\.\com7' --no-status -o "$work" \
  </dev/null >"$work/twice.out" 2>&1
[ $? -eq 2 ] && grep -q 'is given twice' "$work/twice.out" \
  || { cat "$work/twice.out"; fail "COM7 and \\\\.\\com7 were not taken for one port"; }

# The GPS: a generated drive's fixes from now on, appended a second apart to the file that
# both hosts follow (on Windows through the same seam as the port).
"$linux/n95sim" generate "$work/drive" --duration 40 --rate 1 \
  --start "$(date -u +%Y-%m-%dT%H:%M:%SZ)" >"$work/drive.out" 2>&1 || fail "the GPS drive"
: >"$work/gps.nmea"  # there before the host opens it
scripts/feed-gps.sh "$work/drive.nmea" "$work/gps.nmea" &
sims="$sims $!"

# The runs, at once: 4,500 frames at 500 a second and the replugs take about 11 s; a host
# still running after a minute has hung (status 124).
options=(--duration 14 --no-status --reconnect-tries 20 --reconnect-pause 0.5 --gps ../gps.nmea
  --csv)
(cd "$work/windows" && timeout -k 5 60 "$wine" "$exe" live --device a=COM7 --device b=COM8 \
  "${options[@]}" live.csv --capture live.pcap </dev/null >host.out 2>host.err
  echo $? >host.status) &
hosts=$!
(cd "$work/linux" && timeout -k 5 60 "$linux/n95host" live --device a=a --device b=b "${options[@]}" \
  live.csv --capture live.pcap </dev/null >host.out 2>host.err
  echo $? >host.status) &
hosts="$hosts $!"
wait $hosts
hosts=""
kill $sims 2>/dev/null
wait $sims 2>/dev/null
sims=""

for side in windows linux; do
  [ "$(cat "$work/$side/host.status")" = 0 ] \
    || { cat "$work/$side/host.err"; fail "the $side host ended with status $(cat "$work/$side/host.status")"; }
done
# The figures of handset $1's block in the Windows host's summary: "losses reconnects records
# placed".
figures() {
  awk -v h="$1" '
    /^Live run on / { mine = ($5 == "(" h ",") }
    mine && /^  port / { lost = $2; back = $4 }
    mine && /^  records +[0-9]/ { records = $2; sub(/:$/, "", records); placed = $3 }
    END { print lost + 0, back + 0, records + 0, placed + 0 }' "$work/windows/host.out"
}
said=""
for h in a b; do
  cmp -s "$work/windows/$h.at" "$work/linux/$h.at" \
    || { diff "$work/linux/$h.at" "$work/windows/$h.at" | head -20; fail "handset $h: the AT lines of n95host.exe differ from Linux's"; }
  "$linux/n95sim" compare "$work/windows/$h.sent" "$work/windows/live-$h.pcap" >"$work/compare-$h.out" 2>&1 \
    || { cat "$work/compare-$h.out"; fail "handset $h: the Windows capture does not hold what the handset sent"; }
  read -r losses reconnects records placed < <(figures "$h")
  [ "$losses" -ge 2 ] && [ "$losses" = "$reconnects" ] \
    || fail "handset $h: expected every hang-up reconnected, at least two: $losses lost, $reconnects reconnected"
  [ "$records" -gt 1000 ] && [ "$placed" -gt 0 ] \
    || fail "handset $h: expected over 1,000 records, some placed: $records, $placed placed"
  "$linux/n95host" replay "$work/windows/live-$h.pcap" --csv "$work/replay-$h.csv" --no-progress \
    >"$work/replay-$h.out" 2>&1 || { cat "$work/replay-$h.out"; fail "handset $h: the Linux replay of the Windows capture"; }
  cmp -s "$work/replay-$h.csv" "$work/windows/live-$h.csv" \
    || fail "handset $h: the replay of the Windows capture differs from the Windows live CSV"
  said="$said; $h on ${port[$h]}: $(wc -l <"$work/windows/$h.at") AT lines, $losses hang-ups, $records records ($placed placed)"
done
echo "wine-live: n95host.exe live ($preset), two handsets${said}; each as Linux's AT lines," \
  "every hang-up reconnected, the capture holding what was sent and replaying to the live CSV"
