#!/usr/bin/env bash
# The Windows leg: cross-builds N95.dll, Varnex.dll, Tolvane.dll and the tests for 32-bit
# Windows (preset win32, MinGW-w64), checks the plug-in's export and import tables, then runs
# the Windows test host and the whole test suite under Wine in a private prefix
# (build/win32/wineprefix). Installs the cross compilers and Wine when they are missing.
# Where the kernel cannot start 32-bit programs (so 32-bit Wine cannot run), the same tree is
# built for 64-bit Windows (preset win64) and that build's test host and suite run under
# 64-bit Wine instead: the Windows code is still run, and the summary says which build ran.
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
  configure_and_build win32 N95 Varnex Tolvane win32host
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

if [ "$wine_runs" -eq 1 ]; then
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
run_under_wine win64
status=$?
echo "$LAST_SUMMARY (win64 build under 64-bit Wine; the win32 DLLs built and checked, NOT RUN: this kernel runs no 32-bit programs)"
exit $status
