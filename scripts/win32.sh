#!/usr/bin/env bash
# The Windows leg: cross-builds N95.dll, Varnex.dll, Tolvane.dll and the tests for 32-bit
# Windows (preset win32, MinGW-w64), checks the plug-in's export and import tables, then runs
# the Windows test host and the whole test suite under Wine in a private prefix
# (build/win32/wineprefix). Installs the cross compilers and Wine when they are missing.
# Where the kernel cannot start 32-bit programs (so 32-bit Wine cannot run), the same tree is
# built for 64-bit Windows (preset win64) and that build's test host and suite run under
# 64-bit Wine instead: the Windows code is still run, and the summary says which build ran.
# The reference host, n95host.exe and n95sim.exe, is built in both (its libraries first, by
# scripts/win-deps.sh, cached under build/win-deps), and the Windows build that Wine runs
# replays the sample: its outputs, frame listing, command list and plug-in details must be
# the Linux build's (build/native), byte for byte.
# The last line printed is the summary, as ctest words it; exits non-zero on any failure.
set -uo pipefail
cd "$(dirname "$0")/.."

build=build/win32
bin=$build/bin
mkdir -p build

fail() {  # prints the reason as the summary line and stops
  echo "win32: FAILED: $*"
  exit 1
}

scripts/deps.sh windows || fail "could not install the cross compiler and Wine"
# The host's libraries for both Windows builds; nothing to do when they are there already.
deps_started=$SECONDS
scripts/win-deps.sh || fail "could not build the Windows host's libraries (scripts/win-deps.sh)"
echo "win32: the host's libraries ready in $((SECONDS - deps_started)) s"

export WINEDEBUG=-all
# Wine keeps a server (and its services) per prefix; end those of ours however this script
# ends.
trap 'for p in build/win32 build/win64; do WINEPREFIX="$PWD/$p/wineprefix" wineserver -k >/dev/null 2>&1; done; true' EXIT

# shellcheck source=scripts/i386-exec.sh
source scripts/i386-exec.sh
wine_runs=1
i386_native || wine_runs=0

# configure_and_build PRESET [TARGET...]: the build of one flavour, quietly; the warnings shown.
configure_and_build() {
  local preset=$1; shift
  local targets=()
  [ $# -gt 0 ] && targets=(--target "$@")
  cmake --preset "$preset" >"build/$preset-configure.log" 2>&1 \
    || { tail -n 30 "build/$preset-configure.log"; fail "configure $preset"; }
  # Create the prefix before the build: test discovery runs the test programs under Wine.
  # The wrapper does it without any dialog (no Mono or Gecko installer) and detached from our
  # output, so that nothing started by Wine holds a pipe of ours open.
  if [ $# -eq 0 ]; then
    "build/$preset/wine-run.sh" cmd /c exit </dev/null >/dev/null 2>&1 \
      || fail "could not start Wine in build/$preset/wineprefix"
  fi
  cmake --build --preset "$preset" "${targets[@]}" >"build/$preset-build.log" 2>&1 \
    || { grep -E -A5 'error' "build/$preset-build.log" | head -n 80; fail "build $preset"; }
  grep -E 'warning:' "build/$preset-build.log" | sort -u | head -n 20
}

# Without Wine for 32-bit programs, test discovery could not run the test programs: build
# the DLLs and the test host only.
if [ "$wine_runs" -eq 1 ]; then
  configure_and_build win32
else
  configure_and_build win32 N95 Varnex Tolvane win32host n95host n95sim
fi

objdump=i686-w64-mingw32-objdump
for dll in N95 Varnex Tolvane; do
  [ -f "$bin/$dll.dll" ] || fail "$bin/$dll.dll was not built"
done
echo "DLL sizes (bytes): $(stat -c '%n %s' "$bin"/N95.dll "$bin"/Varnex.dll "$bin"/Tolvane.dll \
  | sed "s|$bin/||" | paste -sd ' ')"

# The export table: exactly the four undecorated names.
exports=$("$objdump" -p "$bin/N95.dll" \
  | sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' | sed -n 's/^\s*\[ *[0-9]*\] //p' | sort)
expected=$(printf '%s\n' GetDeviceFrequency GetDeviceName GetDeviceType GetDllDevice)
echo "N95.dll exports: $(echo "$exports" | paste -sd ' ')"
[ "$exports" = "$expected" ] || fail "N95.dll must export exactly: $(echo "$expected" | paste -sd ' ')"

# One C++ runtime shared with the host: libstdc++ and libgcc are imported, not linked in,
# and ship beside the DLL.
imports=$("$objdump" -p "$bin/N95.dll" | sed -n 's/^\s*DLL Name: //p')
echo "N95.dll imports: $(echo "$imports" | paste -sd ' ')"
for dll in libstdc++-6.dll libgcc_s_dw2-1.dll; do
  echo "$imports" | grep -qx "$dll" || fail "N95.dll does not import $dll"
done
for dll in libstdc++-6.dll libgcc_s_dw2-1.dll libwinpthread-1.dll; do
  [ -f "$bin/$dll" ] || fail "$dll is missing beside N95.dll"
done

# The 32-bit host: built, and needing no DLL beyond the system's and those shipped beside it
# (pugixml and libpcap are linked in).
for exe in n95host n95sim; do
  [ -f "$bin/$exe.exe" ] || fail "$bin/$exe.exe was not built"
  for dll in $("$objdump" -p "$bin/$exe.exe" | sed -n 's/^\s*DLL Name: //p'); do
    case "$dll" in
      libstdc++-6.dll | libgcc_s_dw2-1.dll | libwinpthread-1.dll) ;;
      KERNEL32.dll | msvcrt.dll | ADVAPI32.dll | WS2_32.dll | IPHLPAPI.DLL | PSAPI.DLL | USER32.dll | WINMM.DLL) ;;
      *) fail "$exe.exe imports $dll, which is neither a system DLL nor shipped beside it" ;;
    esac
  done
done
echo "n95host.exe (i686): $(stat -c %s "$bin/n95host.exe") bytes; imports $("$objdump" -p "$bin/n95host.exe" \
  | sed -n 's/^\s*DLL Name: //p' | paste -sd ' ')"

# run_under_wine PRESET: the Windows test host (LoadLibrary, the four exports, a whole run,
# FreeLibrary), then the suite; prints the suite's summary and returns its status.
run_under_wine() {
  local preset=$1 log="build/$1-ctest.log"
  export WINEPREFIX="$PWD/build/$preset/wineprefix"
  "build/$preset/wine-run.sh" "build/$preset/bin/win32host.exe" </dev/null 2>&1 | tail -n 40
  [ "${PIPESTATUS[0]}" -eq 0 ] || fail "the Windows test host ($preset)"

  ctest --preset "$preset" </dev/null >"$log" 2>&1
  local status=$?
  grep -E 'Failed|\*\*\*|tests passed' "$log" | grep -v 'tests passed'
  local summary
  summary=$(grep -E 'tests passed' "$log" | tail -n 1)
  [ -n "$summary" ] || { tail -n 30 "$log"; fail "ctest $preset"; }

  # Wine itself (not the program under test) now and then dies of a Unix signal while a test
  # process exits, after the test has passed. Only when every failure is of that kind are
  # those tests run once more; they are named, and any other failure fails the leg at once.
  if [ $status -ne 0 ]; then
    local crashed failures
    crashed=$(awk '
      /Test +#[0-9]+: / {
        name = $0; sub(/.*Test +#[0-9]+: /, "", name); sub(/ .*/, "", name)
        current = ($0 ~ /\*\*\*Exception: SegFault/) ? name : ""
        if (current != "") crashed[current] = 1
        next
      }
      current != "" && /\[  PASSED  \] 1 test/ { passed[current] = 1 }
      END { for (n in crashed) if (passed[n]) print n }' "$log" | sort)
    failures=$(sed -n '/The following tests FAILED:/,$p' "$log" | grep -cE '^\s+[0-9]+ - ')
    if [ -n "$crashed" ] && [ "$failures" -eq "$(echo "$crashed" | wc -l)" ]; then
      echo "$preset: Wine crashed after these tests had passed; running them again: $(echo "$crashed" | paste -sd ' ')"
      if ctest --preset "$preset" --rerun-failed </dev/null >"build/$preset-ctest-rerun.log" 2>&1; then
        local total
        total=$(echo "$summary" | sed -n 's/.* out of \([0-9]*\)$/\1/p')
        summary="100% tests passed, 0 tests failed out of $total"
        status=0
      else
        grep -E '\*\*\*' "build/$preset-ctest-rerun.log"
      fi
    fi
  fi
  LAST_SUMMARY=$summary
  return $status
}

# check_host PRESET: the Windows host under Wine against the Linux one (build/native, built
# here when missing), on the sample: replay with its NMEA track into a folder (every output
# compared with cmp), frames, commands --list, and info (the plug-in's path aside). Windows
# paths with backslashes, relative to the repository, as a user types them.
check_host() {
  local preset=$1 check=build/win-check
  local exe="build/$preset/bin/n95host.exe" run="build/$preset/wine-run.sh"
  [ -f "$exe" ] || fail "$exe was not built"
  # Brought up to date even when built, so that both say the same commit in `info`.
  { [ -f build/native/CMakeCache.txt ] || cmake --preset native >build/native-configure.log 2>&1; } \
    && cmake --build --preset native --target n95host n95sim N95 >build/native-build.log 2>&1 \
    || fail "could not build the Linux host to compare with (build/native-build.log)"
  rm -rf "$check"
  mkdir -p "$check/linux" "$check/windows"
  build/native/bin/n95host replay samples/drive.pcap --gps samples/drive.nmea -o "$check/linux" \
    --no-progress >"$check/linux.log" 2>&1 || { cat "$check/linux.log"; fail "the Linux replay"; }
  "$run" "$exe" replay 'samples\drive.pcap' --gps 'samples\drive.nmea' -o 'build\win-check\windows' \
    --no-progress </dev/null >"$check/windows.log" 2>&1 \
    || { cat "$check/windows.log"; fail "n95host.exe replay under Wine ($preset)"; }
  local linux windows
  linux=$(cd "$check/linux" && find . -type f | sort)
  windows=$(cd "$check/windows" && find . -type f | sort)
  [ -n "$linux" ] || fail "the Linux replay wrote no output"
  [ "$linux" = "$windows" ] || fail "n95host.exe wrote other files than Linux's: $(echo $windows) (Linux: $(echo $linux))"
  # The report holds the printed summary (the plug-in's path, the memory used) and the names
  # of the files written with it: those are compared apart from it; all else byte for byte.
  local f
  for f in $linux; do
    if [[ $f == *.html ]]; then
      for side in linux windows; do
        sed '/^<pre class="summary">/,/^<\/pre>/d; /^<p class="note">Written with this report:/d' \
          "$check/$side/$f" >"$check/$side-report.html"
      done
      cmp "$check/linux-report.html" "$check/windows-report.html" \
        || fail "n95host.exe replay: $f differs from Linux's (beyond its summary and file names)"
      continue
    fi
    cmp "$check/linux/$f" "$check/windows/$f" || fail "n95host.exe replay: $f differs from Linux's"
  done
  # The capture gzip-compressed, and through a pipe as standard input: the same records.
  gzip -c samples/drive.pcap >"$check/drive.pcap.gz"
  "$run" "$exe" replay 'build\win-check\drive.pcap.gz' --gps 'samples\drive.nmea' \
    --csv 'build\win-check\windows-gz.csv' --no-progress </dev/null >"$check/windows-gz.log" 2>&1 \
    || { cat "$check/windows-gz.log"; fail "n95host.exe replay of a gzip capture ($preset)"; }
  cat samples/drive.pcap | "$run" "$exe" replay - --gps 'samples\drive.nmea' \
    --csv 'build\win-check\windows-pipe.csv' --no-progress >"$check/windows-pipe.log" 2>&1 \
    || { cat "$check/windows-pipe.log"; fail "n95host.exe replay of a capture through a pipe ($preset)"; }
  for f in gz pipe; do
    cmp "$check/linux/drive.csv" "$check/windows-$f.csv" \
      || fail "n95host.exe replay: the CSV of the capture as $f differs from Linux's"
  done
  build/native/bin/n95host frames samples/drive.pcap >"$check/linux-frames.txt"
  "$run" "$exe" frames 'samples\drive.pcap' </dev/null >"$check/windows-frames.txt" 2>/dev/null
  cmp "$check/linux-frames.txt" "$check/windows-frames.txt" || fail "n95host.exe frames differs from Linux's"
  build/native/bin/n95host commands --list >"$check/linux-commands.txt"
  "$run" "$exe" commands --list </dev/null >"$check/windows-commands.txt" 2>/dev/null
  cmp "$check/linux-commands.txt" "$check/windows-commands.txt" || fail "n95host.exe commands --list differs from Linux's"
  build/native/bin/n95host info | grep -v '^plug-in ' >"$check/linux-info.txt"
  "$run" "$exe" info </dev/null 2>/dev/null | grep -v '^plug-in ' >"$check/windows-info.txt"
  cmp "$check/linux-info.txt" "$check/windows-info.txt" || fail "n95host.exe info differs from Linux's"
  build/native/bin/n95sim generate "$check/linux-drive" --duration 30 --seed 5 --gpx >/dev/null 2>&1 \
    || fail "the Linux n95sim generate"
  "$run" "build/$preset/bin/n95sim.exe" generate 'build\win-check\windows-drive' --duration 30 \
    --seed 5 --gpx </dev/null >/dev/null 2>&1 || fail "n95sim.exe generate under Wine ($preset)"
  for f in pcap nmea gpx; do
    cmp "$check/linux-drive.$f" "$check/windows-drive.$f" || fail "n95sim.exe generate: its .$f differs from Linux's"
  done
  echo "$preset: n95host.exe under Wine: replay ($(echo "$linux" | wc -l) outputs; the capture" \
    "also gzipped and through a pipe), frames, commands --list and info are the Linux build's;" \
    "so is the drive n95sim.exe generates"
}

if [ "$wine_runs" -eq 1 ]; then
  check_host win32
  scripts/wine-live.sh win32 || fail "n95host.exe live over a COM port (win32)"
  run_under_wine win32
  status=$?
  echo "$LAST_SUMMARY"
  exit $status
fi

# This kernel runs no 32-bit programs: the same Windows code, built for 64-bit, under 64-bit
# Wine.
echo "win32: DLLs and the test host built, exports and imports checked; 32-bit Wine cannot run" \
  "here: the win64 build runs instead"
configure_and_build win64
check_host win64
scripts/wine-live.sh win64 || fail "n95host.exe live over a COM port (win64)"
run_under_wine win64
status=$?
echo "$LAST_SUMMARY (win64 build under 64-bit Wine; the win32 DLLs built and checked, NOT RUN: this kernel runs no 32-bit programs)"
exit $status
