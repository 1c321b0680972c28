#!/usr/bin/env bash
# Runs the whole test suite: every build leg, each with its test runner's summary.
#   scripts/test.sh                 all legs
#   scripts/test.sh native asan     only the named legs
# Legs: format (every C++ file as .clang-format lays it out), native, clients (the Wireshark
# dissector against n95host frames, with tshark; the GeoJSON and KML outputs through
# ogr2ogr and gpsbabel; the HTML report in headless Chromium), soak (a 60-second live soak:
# simulated handsets at 1,000 frames/s with garbage and hang-ups, scripts/soak.sh), i386,
# asan, tsan, valgrind, win32 (the DLL under Wine), fuzz (the corpora replayed and every
# libFuzzer target fuzzed for 30 s), package (the .deb and the Windows SDK zip made and
# checked as a host developer meets them, scripts/package.sh --check). Exits non-zero when
# any leg fails.
# Coverage has its own command: scripts/coverage.sh.
set -uo pipefail
cd "$(dirname "$0")/.."

scripts/deps.sh || exit 1
# Builds go through ccache where it is installed: a clean clone (CI) then rebuilds only what
# changed since the last run on this machine. Paths are taken relative to the clone, and the
# build folder is left out of the hash, so that another clone of the same sources hits too.
if command -v ccache >/dev/null; then
  export CMAKE_C_COMPILER_LAUNCHER=ccache CMAKE_CXX_COMPILER_LAUNCHER=ccache
  export CCACHE_BASEDIR="$PWD" CCACHE_NOHASHDIR=1
fi
# shellcheck source=scripts/i386-exec.sh
source scripts/i386-exec.sh

legs=("$@")
[ ${#legs[@]} -eq 0 ] && legs=(format native clients soak i386 asan tsan valgrind win32 fuzz package)

declare -A summary seconds
failed=0

run_preset() {  # configure, build and test one preset; the last ctest line is its summary
  local preset=$1; shift
  local log="build/$preset-ctest.log"
  mkdir -p build
  cmake --preset "$preset" >"build/$preset-configure.log" 2>&1 || { cat "build/$preset-configure.log"; return 1; }
  cmake --build --preset "$preset" >"build/$preset-build.log" 2>&1 \
    || { grep -E -A5 'error' "build/$preset-build.log" | head -n 80; return 1; }
  grep -E 'warning:' "build/$preset-build.log" | sort -u | head -n 20
  "$@" ctest --preset "$preset" 2>&1 | tee "$log" | grep -E 'Failed|\*\*\*|tests passed' || true
  summary[$preset]=$(grep -E 'tests passed' "$log" | tail -n 1)
  grep -q '100% tests passed' "$log"
}

for leg in "${legs[@]}"; do
  echo "=== $leg ==="
  leg_started=$SECONDS
  case "$leg" in
    format)
      # The files that differ from their formatted selves, with the first lines of each
      # difference; fix with: git ls-files '*.cpp' '*.h' | xargs clang-format -i
      unformatted=()
      while IFS= read -r file; do
        clang-format "$file" | cmp -s "$file" - || unformatted+=("$file")
      done < <(git ls-files '*.cpp' '*.h')
      for file in "${unformatted[@]}"; do
        echo "not formatted: $file"
        clang-format "$file" | diff "$file" - | head -n 10
      done
      if [ ${#unformatted[@]} -eq 0 ]; then
        summary[format]="format: every C++ file as .clang-format lays it out"
      else
        summary[format]="format: ${#unformatted[@]} files differ from clang-format"; failed=1
      fi ;;
    native|asan)
      run_preset "$leg" || failed=1 ;;
    i386)
      # Where the kernel does not run 32-bit programs, they run under qemu-i386.
      note=""
      if ! i386_runs; then
        i386_emulate || { echo "i386: cannot run 32-bit programs, nor set up qemu-i386"; }
        note=" (run under qemu-i386: this machine's kernel does not run 32-bit programs)"
      fi
      run_preset i386 || failed=1
      summary[i386]="${summary[i386]:-}$note" ;;
    tsan)
      # Clang 14's TSan can abort on kernels with high mmap randomisation; run without it.
      export TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1 suppressions=$PWD/scripts/tsan.supp"
      run_preset tsan setarch "$(uname -m)" -R || failed=1 ;;
    valgrind)
      scripts/valgrind.sh && summary[valgrind]="valgrind: no errors, no definite or indirect loss" \
        || { summary[valgrind]="valgrind: FAILED"; failed=1; } ;;
    fuzz)
      if scripts/fuzz.sh --replay && scripts/fuzz.sh --time 30; then
        summary[fuzz]="fuzz: corpora replayed, every target fuzzed 30 s, no finding"
      else
        summary[fuzz]="fuzz: FAILED"; failed=1
      fi ;;
    clients)
      # Reuses build/native; builds only the programs the comparison runs.
      mkdir -p build
      if scripts/deps.sh clients && cmake --preset native >build/clients-configure.log 2>&1 \
        && cmake --build --preset native --target N95 n95host n95sim probe_capture \
          >build/clients-build.log 2>&1; then
        scripts/clients.sh 2>&1 | tee build/clients-leg.log
        status=${PIPESTATUS[0]}
        scripts/gis.sh 2>&1 | tee build/gis-leg.log
        [ "${PIPESTATUS[0]}" -eq 0 ] || status=1
        summary[clients]="$(tail -n 1 build/clients-leg.log); $(tail -n 1 build/gis-leg.log)"
      else
        tail -n 30 build/clients-configure.log build/clients-build.log 2>/dev/null
        summary[clients]="clients: FAILED: tshark, GDAL, gpsbabel, Chromium or the build"; status=1
      fi
      [ "$status" -eq 0 ] || failed=1 ;;
    soak)
      # Reuses build/native; builds only the programs the soak runs.
      mkdir -p build
      if cmake --preset native >build/soak-configure.log 2>&1 \
        && cmake --build --preset native --target N95 n95host n95sim >build/soak-build.log 2>&1; then
        scripts/soak.sh 60 2>&1 | tee build/soak-leg.log
        status=${PIPESTATUS[0]}
        summary[soak]=$(tail -n 1 build/soak-leg.log)
      else
        tail -n 30 build/soak-configure.log build/soak-build.log 2>/dev/null
        summary[soak]="soak: FAILED: the build"; status=1
      fi
      [ "$status" -eq 0 ] || failed=1 ;;
    win32)
      scripts/win32.sh 2>&1 | tee build/win32-leg.log
      status=${PIPESTATUS[0]}
      summary[win32]=$(tail -n 1 build/win32-leg.log)
      [ "$status" -eq 0 ] || failed=1 ;;
    package)
      # Reuses build/native and build/win32; builds only what is installed.
      mkdir -p build
      scripts/package.sh --check 2>&1 | tee build/package-leg.log
      status=${PIPESTATUS[0]}
      summary[package]=$(tail -n 1 build/package-leg.log)
      [ "$status" -eq 0 ] || failed=1 ;;
    *)
      echo "unknown leg: $leg"; failed=1 ;;
  esac
  seconds[$leg]=$((SECONDS - leg_started))
done

echo
echo "=== summary ==="
for leg in "${legs[@]}"; do
  printf '%-9s %5s s  %s\n' "$leg" "${seconds[$leg]:-}" "${summary[$leg]:-FAILED}"
done
echo "total     $SECONDS s"
exit $failed
