#!/usr/bin/env bash
# The Windows leg: cross-builds N95.dll, Varnex.dll, Tolvane.dll and the tests for 32-bit
# Windows (preset win32, MinGW-w64), checks the plug-in's export and import tables, then runs
# the Windows test host and the whole test suite under Wine in a private prefix
# (build/win32/wineprefix). Installs the cross compiler and Wine when they are missing.
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
export WINEPREFIX="$PWD/$build/wineprefix"
# Wine keeps a server (and its services) per prefix; end ours however this script ends.
trap 'wineserver -k >/dev/null 2>&1 || true' EXIT

cmake --preset win32 >build/win32-configure.log 2>&1 \
  || { tail -n 30 build/win32-configure.log; fail "configure"; }

# shellcheck source=scripts/i386-exec.sh
source scripts/i386-exec.sh
# Wine runs the Windows programs as 32-bit processes: where the kernel does not run those
# (qemu-user emulation does not carry Wine), the DLLs are built and their tables checked,
# and the summary says that nothing ran.
wine_runs=1
i386_native || wine_runs=0

# Create the prefix before the build: test discovery runs the test programs under Wine.
# The wrapper does it without any dialog (no Mono or Gecko installer) and detached from our
# output, so that nothing started by Wine holds a pipe of ours open.
if [ "$wine_runs" -eq 1 ]; then
  "$build/wine-run.sh" cmd /c exit </dev/null >/dev/null 2>&1 \
    || fail "could not start Wine in $WINEPREFIX"
  build_targets=()
else
  # Test discovery would run the test programs: build the DLLs and the test host only.
  build_targets=(--target N95 Varnex Tolvane win32host)
fi

cmake --build --preset win32 "${build_targets[@]}" >build/win32-build.log 2>&1 \
  || { grep -E -A5 'error' build/win32-build.log | head -n 80; fail "build"; }
grep -E 'warning:' build/win32-build.log | sort -u | head -n 20

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

if [ "$wine_runs" -eq 0 ]; then
  echo "win32: DLLs and the test host built, exports and imports checked; NOT RUN under Wine:" \
    "this machine's kernel does not run 32-bit programs"
  exit 0
fi

# The Windows host: LoadLibrary, the four exports, a whole run, FreeLibrary.
"$build/wine-run.sh" "$bin/win32host.exe" </dev/null 2>&1 | tail -n 40
[ "${PIPESTATUS[0]}" -eq 0 ] || fail "the Windows test host"

log=build/win32-ctest.log
ctest --preset win32 </dev/null >"$log" 2>&1
status=$?
grep -E 'Failed|\*\*\*|tests passed' "$log" | grep -v 'tests passed'
summary=$(grep -E 'tests passed' "$log" | tail -n 1)
[ -n "$summary" ] || { tail -n 30 "$log"; fail "ctest"; }

# Wine itself (not the program under test) now and then dies of a Unix signal while a test
# process exits, after the test has passed. Only when every failure is of that kind are those
# tests run once more; they are named, and any other failure fails the leg at once.
if [ $status -ne 0 ]; then
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
    echo "win32: Wine crashed after these tests had passed; running them again: $(echo "$crashed" | paste -sd ' ')"
    if ctest --preset win32 --rerun-failed </dev/null >build/win32-ctest-rerun.log 2>&1; then
      total=$(echo "$summary" | sed -n 's/.* out of \([0-9]*\)$/\1/p')
      summary="100% tests passed, 0 tests failed out of $total"
      status=0
    else
      grep -E '\*\*\*' build/win32-ctest-rerun.log
    fi
  fi
fi
echo "$summary"
exit $status
