#!/usr/bin/env bash
# The live soak: simulated handsets (n95sim serve) at 1,000 frames/s each, with garbage, and
# hang-ups followed by replugs for as long as they run, driven by `n95host live` for
# DURATION seconds in one run (`--device LABEL=PATH` for each) with live GPS (an NMEA file that grows by one fix a second, the fixes'
# times those of the run, so that records get positions); then the checks:
#   - the live run ended by its duration (status 0), every simulator ended cleanly;
#   - every hang-up was followed by a reconnect;
#   - the host's resident memory (VmRSS) flat after the warm-up (the first minute; a third
#     of the run when it is shorter than three minutes) until the duration (then the
#     outputs are made): no sample in between more than SOAK_RSS_SLACK_KB above the first
#     sample after the warm-up;
#   - no file descriptor (/proc/PID/fd) or thread (/proc/PID/task) growth: no sample after
#     the warm-up above the most seen during it;
#   - each host read what its capture holds (the bytes its summary counts);
#   - each handset's capture replayed with its fix log (NAME.nmea) gives the live CSV, row
#     for row, hang-ups included (the hang-ups, the rows compared and those differing are
#     printed);
#   - each handset's capture against its simulator's sent log (n95sim compare): every byte
#     the host read is in the capture, in order; at a hang-up nothing is missing but what
#     was still unread in the port when the simulator closed it (measured there); at the end
#     only what was sent after the host's last read.
# Exits non-zero, naming each failed check, when any fails. Not for CI at full length: the
# test command runs a 60-second soak (scripts/test.sh soak).
#
#   scripts/soak.sh DURATION          DURATION in seconds (at least 30)
# Environment:
#   SOAK_DIR           work folder (created; default: a new folder under /tmp, removed
#                      after a run that passed)
#   SOAK_BIN           the built programs (build/native/bin)
#   SOAK_HANDSETS      simulated handsets, at least 2 (2)
#   SOAK_RATE          frames per second per handset (1000)
#   SOAK_HANGUP_EVERY  frames between hang-ups of the first handset; the others hang up a
#                      little later each, so the hang-ups do not coincide (15000)
#   SOAK_REPLUG        seconds from a hang-up to the new port (1)
#   SOAK_SAMPLE        seconds between samples of the host (5)
#   SOAK_RSS_SLACK_KB  allowed growth of VmRSS after the warm-up (2048)
#   SOAK_GPS           1: live GPS as above; 0: none (the host keeps every fix for the map
#                      and the GeoJSON, so its memory grows with them by design) (1)
# The programs' outputs, the samples and the comparisons stay in the work folder
# (samples.tsv: seconds, pid, VmRSS kB, fds, threads, CPU seconds used so far).
set -uo pipefail
cd "$(dirname "$0")/.."

duration=${1:-}
if ! [[ "$duration" =~ ^[0-9]+$ ]] || [ "$duration" -lt 30 ]; then
  echo "usage: scripts/soak.sh DURATION   (seconds, at least 30)" >&2
  exit 2
fi
bin=$(realpath -m "${SOAK_BIN:-build/native/bin}")
handsets=${SOAK_HANDSETS:-2}
rate=${SOAK_RATE:-1000}
hangup_every=${SOAK_HANGUP_EVERY:-15000}
replug=${SOAK_REPLUG:-1}
sample_every=${SOAK_SAMPLE:-5}
rss_slack=${SOAK_RSS_SLACK_KB:-2048}
use_gps=${SOAK_GPS:-1}
for setting in "SOAK_HANDSETS=$handsets" "SOAK_RATE=$rate" "SOAK_HANGUP_EVERY=$hangup_every" \
  "SOAK_SAMPLE=$sample_every" "SOAK_RSS_SLACK_KB=$rss_slack"; do
  [[ "${setting#*=}" =~ ^[1-9][0-9]*$ ]] || { echo "soak: ${setting%%=*} must be a positive whole number" >&2; exit 2; }
done
[[ "$use_gps" =~ ^[01]$ ]] || { echo "soak: SOAK_GPS must be 0 or 1" >&2; exit 2; }
[[ "$replug" =~ ^[0-9]+(\.[0-9]+)?$ ]] || { echo "soak: SOAK_REPLUG must be a number of seconds" >&2; exit 2; }
if [ "$handsets" -lt 2 ]; then
  echo "soak: SOAK_HANDSETS must be at least 2" >&2
  exit 2
fi
for program in n95host n95sim; do
  [ -x "$bin/$program" ] || { echo "soak: FAILED: $bin/$program is not built"; exit 1; }
done
warmup=60
[ "$duration" -lt 180 ] && warmup=$((duration / 3))

if [ -n "${SOAK_DIR:-}" ]; then
  work=$SOAK_DIR
  mkdir -p "$work" || exit 1
  # A soak writes gigabytes an hour under fixed names: never over an earlier one.
  if [ -n "$(ls -A "$work")" ]; then
    echo "soak: $work is not empty; give a new or empty SOAK_DIR" >&2
    exit 2
  fi
  keep=1
else
  work=$(mktemp -d /tmp/soak-XXXXXX)
  keep=0
fi
work=$(realpath "$work")

failures=()
fail() { failures+=("$*"); echo "soak: check failed: $*"; }

sim_pids=()
host_pids=()
gps_pid=
cleanup() {
  local pid
  for pid in "${host_pids[@]}" "${sim_pids[@]}"; do
    kill -INT "$pid" 2>/dev/null
  done
  [ -n "$gps_pid" ] && kill "$gps_pid" 2>/dev/null
}
trap cleanup EXIT
trap 'exit 130' INT TERM

echo "soak: $handsets handsets at $rate frames/s for $duration s, work folder $work"
echo "soak: machine $(uname -srm), $(nproc) cores; load at start:$(uptime | sed 's/.*load average//')"

# The simulators: each prints its link as the first line once the port exists.
for i in $(seq 1 "$handsets"); do
  "$bin/n95sim" serve --rate "$rate" --seed "$i" \
    --garbage-every $((997 + 12 * i)) \
    --hangup-every $((hangup_every + (i - 1) * hangup_every / 6)) --replug "$replug" \
    --link "$work/hs$i" --sent-log "$work/hs$i.sent" --at-log "$work/hs$i.at" \
    >"$work/hs$i.sim.out" 2>"$work/hs$i.sim.err" &
  sim_pids+=($!)
done
for i in $(seq 1 "$handsets"); do
  for _ in $(seq 1 100); do
    [ -s "$work/hs$i.sim.out" ] && break
    sleep 0.1
  done
  [ -s "$work/hs$i.sim.out" ] || { echo "soak: FAILED: simulator $i did not start"; exit 1; }
done

# The GPS: a generated drive's fixes from now on, appended to the file the host reads, each
# at its own time.
gps=()
if [ "$use_gps" -eq 1 ]; then
  gps=(--gps "$work/gps.nmea")
  "$bin/n95sim" generate "$work/drive" --duration $((duration + 120)) --rate 1 \
    --start "$(date -u +%Y-%m-%dT%H:%M:%SZ)" >"$work/drive.out" 2>&1 \
    || { echo "soak: FAILED: the GPS drive could not be generated"; cat "$work/drive.out"; exit 1; }
  : >"$work/gps.nmea"  # there before the host opens it
  scripts/feed-gps.sh "$work/drive.nmea" "$work/gps.nmea" &
  gps_pid=$!
fi

# One live run for all handsets, labelled hs1, hs2, ...: the captures are
# soak-hs1.pcap, ..., the other outputs beside them.
devices=()
for i in $(seq 1 "$handsets"); do
  devices+=(--device "hs$i=$work/hs$i")
done
"$bin/n95host" live "${devices[@]}" "${gps[@]}" --duration "$duration" --no-status \
  --reconnect-tries 1000 --reconnect-pause 0.5 --capture "$work/soak.pcap" -o "$work" \
  >"$work/host.out" 2>"$work/host.err" &
host_pids+=($!)

# Samples of the host until it has ended.
printf 'seconds\tpid\trss_kb\tfds\tthreads\tcpu_s\n' >"$work/samples.tsv"
ticks=$(getconf CLK_TCK)
start=$(date +%s)
while :; do
  alive=0
  now=$(($(date +%s) - start))
  for pid in "${host_pids[@]}"; do
    [ -r "/proc/$pid/status" ] || continue
    rss=$(awk '/^VmRSS:/ {print $2}' "/proc/$pid/status" 2>/dev/null)
    fds=$(ls "/proc/$pid/fd" 2>/dev/null | wc -l)
    threads=$(ls "/proc/$pid/task" 2>/dev/null | wc -l)
    # User and system time, fields 14 and 15 after the command's closing parenthesis.
    cpu=$(sed 's/.*) //' "/proc/$pid/stat" 2>/dev/null | awk -v t="$ticks" '{printf "%.1f", ($12 + $13) / t}')
    # A process that has just ended (a zombie) has no VmRSS.
    [ -n "$rss" ] && printf '%s\t%s\t%s\t%s\t%s\t%s\n' "$now" "$pid" "$rss" "$fds" "$threads" "$cpu" \
      >>"$work/samples.tsv"
    alive=1
  done
  [ "$alive" -eq 0 ] && break
  sleep "$sample_every"
done

wait "${host_pids[0]}"
status=$?
[ "$status" -eq 0 ] || fail "the live run ended with status $status (see $work/host.err)"
host_pids=()
# Each handset's block of the summary, from its first line "Live run on PATH (LABEL, ...".
for i in $(seq 1 "$handsets"); do
  awk -v label="(hs$i," '/^Live run on / { mine = index($0, label) > 0 } mine' \
    "$work/host.out" >"$work/host$i.out"
done

# A simulator ends a second after its host has closed the port, unless a hang-up came last
# and its new port was never opened: then it is asked to stop.
sleep 3
for pid in "${sim_pids[@]}"; do
  kill -0 "$pid" 2>/dev/null && kill -INT "$pid"
done
for i in $(seq 1 "$handsets"); do
  wait "${sim_pids[$((i - 1))]}"
  status=$?
  [ "$status" -eq 0 ] || fail "simulator $i ended with status $status (see $work/hs$i.sim.err)"
done
sim_pids=()
echo "soak: load at the end:$(uptime | sed 's/.*load average//')"

if [ -n "$gps_pid" ]; then
  kill "$gps_pid" 2>/dev/null
  wait "$gps_pid" 2>/dev/null
  gps_pid=
fi

# Hang-ups and reconnects, handset by handset.
total_hangups=0
for i in $(seq 1 "$handsets"); do
  sim_line=$(grep '^frames sent' "$work/hs$i.sim.out")
  hangups=$(sed -n 's/.*hang-ups \([0-9]*\).*/\1/p' <<<"$sim_line")
  reconnects=$(sed -n 's/.*port *\([0-9]*\) lost, \([0-9]*\) reconnected.*/\2/p' "$work/host$i.out")
  echo "soak: handset $i: simulator: $sim_line"
  echo "soak: handset $i: host: $(grep -E '^  (port|chunks|bytes|records|gps) ' "$work/host$i.out" | tr -s ' ' | paste -sd ';')"
  total_hangups=$((total_hangups + ${hangups:-0}))
  [ "${hangups:-0}" -ge 1 ] || fail "handset $i was never hung up"
  # A hang-up just before the end may have no reconnect yet.
  if [ -z "$reconnects" ] || [ "$reconnects" -lt $((hangups - 1)) ] || [ "$reconnects" -gt "$hangups" ]; then
    fail "handset $i: $hangups hang-ups but ${reconnects:-no} reconnects"
  fi
done

# Memory, descriptors and threads, host by host.
while read -r pid; do
  # Samples from the duration on catch the host making its outputs from their spool after
  # the handsets' threads ended (more memory, the output files open): not the run's
  # steady state, so not compared.
  awk -v pid="$pid" -v warmup="$warmup" -v slack="$rss_slack" -v duration="$duration" '
    $2 != pid || $1 >= duration { next }
    $1 <= warmup { if ($4 > wfd) wfd = $4; if ($5 > wth) wth = $5; wn++; next }
    {
      if (!n) { base = $3; minr = $3 }
      n++; last = $3
      if ($3 > maxr) maxr = $3
      if ($3 < minr) minr = $3
      if ($4 > afd) afd = $4
      if ($5 > ath) ath = $5
      sx += $1; sy += $3; sxx += $1 * $1; sxy += $1 * $3
      cpu = $6; t = $1
    }
    END {
      if (!wn || n < 2) { printf "FAIL host %s: too few samples (%d in the warm-up, %d after)\n", pid, wn, n; exit }
      slope = (n * sxy - sx * sy) / (n * sxx - sx * sx) * 3600
      printf "host %s: VmRSS after the warm-up (%d s): first %d kB, min %d, max %d, last %d, trend %+.0f kB/h (%d samples); fds %d (warm-up max %d); threads %d (warm-up max %d); CPU %.1f s in %d s\n", \
        pid, warmup, base, minr, maxr, last, slope, n, afd, wfd, ath, wth, cpu, t
      if (maxr - base > slack) printf "FAIL host %s: VmRSS grew %d kB after the warm-up (allowed %d)\n", pid, maxr - base, slack
      if (afd > wfd) printf "FAIL host %s: file descriptors grew from %d to %d\n", pid, wfd, afd
      if (ath > wth) printf "FAIL host %s: threads grew from %d to %d\n", pid, wth, ath
    }' "$work/samples.tsv" >"$work/resources-$pid.txt"
  while read -r line; do
    case "$line" in
      FAIL*) fail "${line#FAIL }" ;;
      *) echo "soak: $line" ;;
    esac
  done <"$work/resources-$pid.txt"
done < <(awk 'NR > 1 {print $2}' "$work/samples.tsv" | sort -un)

# Each capture against what its simulator sent.
for i in $(seq 1 "$handsets"); do
  "$bin/n95sim" compare "$work/hs$i.sent" "$work/soak-hs$i.pcap" >"$work/compare$i.out" 2>&1
  status=$?
  sed "s/^/soak: handset $i: /" "$work/compare$i.out"
  [ "$status" -eq 0 ] || fail "handset $i: the capture does not hold what the simulator sent (status $status)"
  # What the host says it read is what its capture holds.
  read_bytes=$(sed -n 's/^  bytes *\([0-9]*\) read.*/\1/p' "$work/host$i.out")
  captured=$(sed -n 's/^  capture *[0-9]* chunks, \([0-9]*\) bytes.*/\1/p' "$work/compare$i.out")
  [ -n "$read_bytes" ] && [ "$read_bytes" = "$captured" ] \
    || fail "handset $i: the host read ${read_bytes:-?} bytes, its capture holds ${captured:-?}"
done

# Each capture replayed with its fix log: the replay asks the plug-in for every reconnect
# where the live run did, so its CSV is the live CSV, row for row, hang-ups included.
for i in $(seq 1 "$handsets"); do
  gps_log=()
  [ "$use_gps" -eq 1 ] && gps_log=(--gps "$work/soak-hs$i.nmea")
  hangups=$(sed -n 's/.*hang-ups \([0-9]*\).*/\1/p' "$work/hs$i.sim.out")
  if ! "$bin/n95host" replay "$work/soak-hs$i.pcap" "${gps_log[@]}" --csv "$work/replay-hs$i.csv" \
    --no-progress -q >"$work/replay$i.out" 2>&1; then
    fail "handset $i: the replay of its capture failed (see $work/replay$i.out)"
    continue
  fi
  # Rows compared: those of the longer CSV (header aside); differing: those not equal at the
  # same row, and those one CSV has beyond the other.
  read -r compared differing < <(awk '
    FNR == 1 { file++; next }
    file == 1 { live[FNR] = $0; n1 = FNR - 1; next }
    { n2 = FNR - 1; if (!(FNR in live) || live[FNR] != $0) d++ }
    END { n = n1 > n2 ? n1 : n2; if (n1 > n2) d += n1 - n2; printf "%d %d\n", n, d + 0 }' \
    "$work/soak-hs$i.csv" "$work/replay-hs$i.csv")
  echo "soak: handset $i: replay with the fix log: ${hangups:-0} hang-ups, $compared rows compared, $differing rows differing"
  [ "$compared" -gt 0 ] || fail "handset $i: no row to compare"
  [ "$differing" -eq 0 ] || fail "handset $i: $differing of $compared replayed rows differ from the live CSV"
done

if [ ${#failures[@]} -eq 0 ]; then
  [ "$keep" -eq 0 ] && rm -rf "$work"
  echo "soak: passed: $handsets handsets, $duration s at $rate frames/s each, $total_hangups hang-ups; memory, descriptors and threads flat; every capture holds what was read and replays to the live CSV"
  exit 0
fi
echo "soak: FAILED: ${#failures[@]} checks failed (work folder kept: $work): ${failures[0]}"
exit 1
