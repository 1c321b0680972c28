#!/usr/bin/env bash
# The Wireshark dissector (wireshark/n95-trace.lua) against `n95host frames`: both must cut
# every chunk of a capture into the same items (trace frames, incomplete tails, AT replies)
# at the same offsets, with the same sizes, header forms, keys, lengths, message codes,
# normalised codes and classes.
#   scripts/clients.sh [BIN]    BIN: the folder of the built programs (build/native/bin)
# Captures: the bundled sample; two generated drives; a live run of n95host against n95sim's
# simulated handset with garbage in its stream (AT replies, chunks that start with garbage,
# incomplete tails); and probe_capture's capture, which holds every code of the library's
# class table and of the dissector's (read from the .lua between its marker lines), codes
# that reach every normalisation rule, and chunks cut in every way the parser knows. The
# dissector's table and normalisation are copies of the library's: this is what ties them.
#
# Without tshark it prints a message and skips (exit 0); `scripts/deps.sh clients` installs
# it. The last line printed is the summary; exits non-zero on any difference.
#
# Running tshark as root: tshark warns, and it loads Lua scripts given with -X only when its
# init.lua sets run_user_scripts_when_superuser (Debian's does, other builds do not); for
# root it also ignores WIRESHARK_CONFIG_DIR. So as root this script runs tshark as the user
# nobody (setpriv): Lua always runs, and a private HOME and WIRESHARK_CONFIG_DIR keep the
# caller's own preferences and Lua plug-ins (an installed copy of this dissector) out. The
# dissector and the captures are copied into a scratch folder that nobody can read.
set -uo pipefail
cd "$(dirname "$0")/.."

bin=${1:-build/native/bin}
fail() {  # prints the reason as the summary line and stops
  echo "clients: FAILED: $*"
  exit 1
}

if ! command -v tshark >/dev/null 2>&1; then
  echo "clients: SKIPPED: tshark is not installed (scripts/deps.sh clients installs it)"
  exit 0
fi
for program in n95host n95sim probe_capture; do
  [ -x "$bin/$program" ] || fail "$bin/$program is not built"
done

work=$(mktemp -d)
sim_pid=
cleanup() {
  [ -n "$sim_pid" ] && kill "$sim_pid" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT
chmod 755 "$work"
mkdir -m 777 "$work/home"
cp wireshark/n95-trace.lua "$work/"
chmod 644 "$work/n95-trace.lua"

run_tshark() {
  if [ "$(id -u)" -eq 0 ] && command -v setpriv >/dev/null 2>&1; then
    HOME="$work/home" WIRESHARK_CONFIG_DIR="$work/home" \
      setpriv --reuid=nobody --regid="$(id -g nobody)" --clear-groups tshark "$@"
  else
    HOME="$work/home" WIRESHARK_CONFIG_DIR="$work/home" tshark "$@"
  fi
}

# --- the captures -------------------------------------------------------------------------
captures=()
cp samples/drive.pcap "$work/sample.pcap"
captures+=(sample.pcap)
"$bin/n95sim" generate "$work/seed11" --seed 11 --duration 40 >/dev/null \
  && "$bin/n95sim" generate "$work/seed12" --seed 12 --duration 20 --rate 900 >/dev/null \
  || fail "n95sim generate"
captures+=(seed11.pcap seed12.pcap)

# A live run against the simulated handset: 8 garbage bytes before every 4th frame.
"$bin/n95sim" serve --garbage-every 4 --rate 100 --link "$work/handset" >"$work/serve.out" 2>&1 &
sim_pid=$!
for _ in $(seq 50); do [ -e "$work/handset" ] && break; sleep 0.1; done
"$bin/n95host" live --device "$work/handset" --duration 2 --capture "$work/garbage.pcap" \
  --no-status >"$work/live.out" 2>&1 || { cat "$work/live.out"; fail "n95host live"; }
wait "$sim_pid"
sim_pid=
captures+=(garbage.pcap)

# The dissector's class table: the codes between its marker lines.
lua_codes=$(sed -n '/-- class table begin/,/-- class table end/p' wireshark/n95-trace.lua \
  | grep -o '\[0x[0-9A-Fa-f]*\]' | tr -d '[]')
[ -n "$lua_codes" ] || fail "no class table found in wireshark/n95-trace.lua"
# shellcheck disable=SC2086
"$bin/probe_capture" "$work/probe.pcap" $lua_codes || fail "probe_capture"
captures+=(probe.pcap)
chmod 644 "$work"/*.pcap

# The dissector must load (an unknown field in a filter is an error): never compare nothing.
run_tshark -X lua_script:"$work/n95-trace.lua" -r "$work/probe.pcap" -Y n95.code -c 1 \
  >/dev/null 2>"$work/load.err" \
  || { cat "$work/load.err"; fail "tshark did not load the dissector"; }

# --- the comparison -----------------------------------------------------------------------
# One line per item: chunk|offset|kind|size|form|key|throttle_key|length|code|normalised|class
from_host() {
  "$bin/n95host" frames --csv "$1" \
    | awk -F, -v OFS='|' 'NR > 1 { print $1, $3, $4, $5, $6, $7, $8, $9, $10, $11, $12 }'
}
from_dissector() {
  run_tshark -X lua_script:"$work/n95-trace.lua" -r "$1" -T pdml -J n95 2>/dev/null | awk '
    function hex(x) { x = toupper(x); sub(/^0X/, "0x", x); return x }
    function flush() {
      if (kind != "")
        print chunk "|" v["n95.offset"] "|" kind "|" v["n95.size"] "|" v["n95.form"] "|" \
          hex(v["n95.key"]) "|" hex(v["n95.throttle_key"]) "|" v["n95.len"] "|" \
          hex(v["n95.code"]) "|" hex(v["n95.norm"]) "|" v["n95.class"]
      kind = ""
      split("", v)
    }
    /<packet>/ { flush(); chunk++ }
    /Lua Error/ { flush(); print chunk "|" substr($0, index($0, "Lua Error")) }
    /<field name="n95\./ {
      split($0, q, "\"")
      name = q[2]
      if (name == "n95.frame") { flush(); kind = "frame" }
      else if (name == "n95.tail") { flush(); kind = "tail" }
      else if (name == "n95.at_reply") { flush(); kind = "at-reply" }
      at = index($0, " show=\"")
      if (at > 0) { rest = substr($0, at + 7); v[name] = substr(rest, 1, index(rest, "\"") - 1) }
    }
    END { flush() }'
}

total=0
for capture in "${captures[@]}"; do
  from_host "$work/$capture" >"$work/host.txt"
  from_dissector "$work/$capture" >"$work/dissector.txt"
  items=$(wc -l <"$work/host.txt")
  frames=$(grep -c '|frame|' "$work/host.txt")
  tails=$(grep -c '|tail|' "$work/host.txt")
  replies=$(grep -c '|at-reply|' "$work/host.txt")
  [ "$items" -gt 0 ] || fail "$capture: n95host frames listed nothing"
  if ! diff "$work/host.txt" "$work/dissector.txt" >"$work/diff.txt"; then
    echo "$capture: the dissector and n95host frames differ (< n95host, > dissector):"
    head -n 20 "$work/diff.txt"
    fail "$capture differs"
  fi
  echo "clients: $capture: $frames frames, $tails incomplete tails, $replies AT replies: equal"
  total=$((total + items))
done
echo "clients: ${#captures[@]} captures, $total items: the dissector agrees with n95host frames"
