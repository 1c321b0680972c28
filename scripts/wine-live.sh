#!/usr/bin/env bash
# The Windows host's live run over a COM port, under Wine: n95host.exe drives a simulated
# handset (n95sim serve, the Linux build) through COM7, which a Wine prefix of this test's
# own maps to the simulator's pseudo-terminal. The simulator hangs up every 1,500 frames and
# a new port appears at the same link (a replug); the host reconnects each time.
#
# Checked, against the Linux host driving an identical simulator at the same time:
#   - the AT lines the handset received are the same, line for line (hang-ups included);
#   - the handset's bytes are all in the capture, chunk for chunk (n95sim compare);
#   - every hang-up was a reconnect, and records were decoded;
#   - the Linux host's replay of the Windows capture gives the Windows run's CSV.
#
# Safety: Wine maps a COM port that no mapping names to the machine's own serial lines
# (COM1 is /dev/ttyS0). The test maps COM7 in its own prefix, to a link in its own folder,
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
wine=$(sed -n "s/^exec '\([^']*\)'.*/\1/p" "$run")
[ -x "$wine" ] || fail "no Wine loader named in $run"
export WINEPREFIX=$prefix WINEDEBUG=-all WINEDLLOVERRIDES='mscoree,mshtml=' N95_NO_MESSAGE_BOX=1
export WINEARCH
WINEARCH=$(sed -n 's/.*WINEARCH=\([a-z0-9]*\).*/\1/p' "$run")
if [ ! -f "$prefix/system.reg" ]; then
  "$run" cmd /c exit </dev/null >/dev/null 2>&1  # the build's prefix, booted
  WINEPREFIX="$PWD/build/$preset/wineprefix" wineserver -w
  rm -rf "$prefix.new"
  cp -a "build/$preset/wineprefix" "$prefix.new" && mv "$prefix.new" "$prefix" \
    || fail "could not copy the Wine prefix"
fi
cleanup() {
  [ -n "${sims:-}" ] && kill $sims 2>/dev/null
  wineserver -k >/dev/null 2>&1
  true
}
trap cleanup EXIT

# COM7 -> the simulator's link, and no other port mapped.
wineserver -k >/dev/null 2>&1
wineserver -w >/dev/null 2>&1
"$wine" reg delete 'HKLM\Software\Wine\Ports' /f </dev/null >/dev/null 2>&1
"$wine" reg add 'HKLM\Software\Wine\Ports' /v COM7 /d "$work/windows/port" /f </dev/null \
  >/dev/null 2>&1 || fail "could not map COM7"
wineserver -k >/dev/null 2>&1
wineserver -w >/dev/null 2>&1
"$wine" cmd /c exit </dev/null >/dev/null 2>&1
[ "$(readlink "$prefix/dosdevices/com7")" = "$work/windows/port" ] \
  || fail "Wine does not map COM7 to the test's port (dosdevices/com7 -> $(readlink "$prefix/dosdevices/com7")); not running"

# Two identical simulated handsets: one for each host.
sims=""
for side in windows linux; do
  "$linux/n95sim" serve --rate 500 --count 4500 --seed 7 --hangup-every 1500 --replug 0.3 \
    --link "$work/$side/port" --at-log "$work/$side/at.log" --sent-log "$work/$side/sent.log" \
    >"$work/$side/sim.out" 2>"$work/$side/sim.err" &
  sims="$sims $!"
done
for side in windows linux; do
  for _ in $(seq 1 100); do
    [ -s "$work/$side/sim.out" ] && break
    sleep 0.1
  done
  [ -s "$work/$side/sim.out" ] || fail "the $side simulator did not start"
done

# The GPS: a generated drive's fixes from now on, appended a second apart to the file that
# both hosts follow (on Windows through the same seam as the port).
"$linux/n95sim" generate "$work/drive" --duration 40 --rate 1 \
  --start "$(date -u +%Y-%m-%dT%H:%M:%SZ)" >"$work/drive.out" 2>&1 || fail "the GPS drive"
: >"$work/gps.nmea"
(
  fix=0 t0=$(date +%s)
  while IFS= read -r line; do
    printf '%s\n' "$line" >>"$work/gps.nmea"
    if [[ "$line" == \$G?GGA* ]]; then
      fix=$((fix + 1))
      while [ "$(date +%s)" -lt $((t0 + fix)) ]; do sleep 0.1; done
    fi
  done <"$work/drive.nmea"
) &
sims="$sims $!"

# The runs, at once: 4,500 frames at 500 a second and the replugs take about 11 s.
options=(--duration 14 --no-status --reconnect-tries 20 --reconnect-pause 0.5 --gps ../gps.nmea
  --csv)
(cd "$work/windows" && "$wine" "$exe" live --device COM7 "${options[@]}" live.csv \
  --capture live.pcap </dev/null >host.out 2>host.err; echo $? >host.status) &
windows_host=$!
(cd "$work/linux" && "$linux/n95host" live --device port "${options[@]}" live.csv \
  --capture live.pcap </dev/null >host.out 2>host.err; echo $? >host.status) &
wait $windows_host $!
kill $sims 2>/dev/null
wait $sims 2>/dev/null
sims=""

for side in windows linux; do
  [ "$(cat "$work/$side/host.status")" = 0 ] \
    || { cat "$work/$side/host.err"; fail "the $side host ended with status $(cat "$work/$side/host.status")"; }
done
cmp -s "$work/windows/at.log" "$work/linux/at.log" \
  || { diff "$work/linux/at.log" "$work/windows/at.log" | head -20; fail "the AT lines of n95host.exe differ from Linux's"; }
"$linux/n95sim" compare "$work/windows/sent.log" "$work/windows/live.pcap" >"$work/compare.out" 2>&1 \
  || { cat "$work/compare.out"; fail "the Windows capture does not hold what the handset sent"; }
lost=$(sed -n 's/^  port *\([0-9]*\) lost, \([0-9]*\) reconnected$/\1 \2/p' "$work/windows/host.out")
read -r losses reconnects <<<"${lost:-0 0}"
[ "$losses" -ge 2 ] && [ "$losses" = "$reconnects" ] \
  || fail "expected every hang-up reconnected, at least two: '$lost' (host.out)"
read -r records placed < <(sed -n 's/^  records *\([0-9]*\): \([0-9]*\) with a position.*/\1 \2/p' \
  "$work/windows/host.out")
[ "${records:-0}" -gt 1000 ] && [ "${placed:-0}" -gt 0 ] \
  || fail "expected over 1,000 records, some with a position: ${records:-none}, ${placed:-none} placed"
"$linux/n95host" replay "$work/windows/live.pcap" --csv "$work/replay.csv" --no-progress \
  >"$work/replay.out" 2>&1 || { cat "$work/replay.out"; fail "the Linux replay of the Windows capture"; }
cmp -s "$work/replay.csv" "$work/windows/live.csv" \
  || fail "the replay of the Windows capture differs from the Windows live CSV"
echo "wine-live: n95host.exe live over COM7 ($preset): $(wc -l <"$work/windows/at.log") AT lines as" \
  "Linux's, $losses hang-ups each reconnected, $records records ($placed placed by the followed GPS" \
  "log); the capture holds what was sent and replays to the live CSV"
