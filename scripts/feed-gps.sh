#!/usr/bin/env bash
# Plays an NMEA log into a file as a receiver would: each line of DRIVE is appended to OUT
# (which the caller makes before its run opens it), each GGA sentence (a fix) a second after
# the one before, from now on. For the tests whose live runs follow a growing GPS log
# (scripts/soak.sh, scripts/wine-live.sh); run it in the background and end it when the run
# is over.
#
# Usage: scripts/feed-gps.sh DRIVE.nmea OUT.nmea
set -uo pipefail
drive=${1:?usage: scripts/feed-gps.sh DRIVE.nmea OUT.nmea}
out=${2:?usage: scripts/feed-gps.sh DRIVE.nmea OUT.nmea}
t0=$(date +%s)
fix=0
while IFS= read -r line; do
  printf '%s\n' "$line" >>"$out"
  if [[ "$line" == \$G?GGA* ]]; then
    fix=$((fix + 1))
    while [ "$(date +%s)" -lt $((t0 + fix)) ]; do sleep 0.1; done
  fi
done <"$drive"
