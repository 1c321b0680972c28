#!/usr/bin/env bash
# Line and branch coverage of the whole test suite, per folder.
#
#   scripts/coverage.sh            build (GCC --coverage) in build/coverage, run the suite,
#                                  print the per-folder table
#   scripts/coverage.sh --files    also print the per-file report with the uncovered lines
#
# Branches are counted by gcov on the source's own decisions: the branches the compiler adds
# for exception handling and those on lines without code are left out
# (--exclude-throw-branches, --exclude-unreachable-branches). Tests, fuzz targets, benchmarks
# and GoogleTest are not measured. Reports land in build/coverage/coverage.{txt,json,html}.
# Counters are updated atomically (-fprofile-update=atomic): the decoder, the watcher, the
# replay's writer and the live rig run threads, and counters raced without atomics come out
# torn (negative branch counts that gcovr refuses). `host` is split by its folders.
# Exits non-zero when the build fails or a test fails; a failed report is printed, not fatal.
# Slow (a full build and the whole suite under instrumentation): not part of scripts/test.sh.
set -uo pipefail
cd "$(dirname "$0")/.."

files=0
[ "${1:-}" = "--files" ] && files=1

build=build/coverage
launcher=()
command -v ccache >/dev/null && launcher=(-DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Debug "${launcher[@]}" \
  -DCMAKE_C_COMPILER=gcc -DCMAKE_CXX_COMPILER=g++ \
  -DCMAKE_C_FLAGS="--coverage -fprofile-update=atomic" \
  -DCMAKE_CXX_FLAGS="--coverage -fprofile-update=atomic" \
  -DCMAKE_EXE_LINKER_FLAGS="--coverage" -DCMAKE_SHARED_LINKER_FLAGS="--coverage" \
  -DN95_BUILD_TESTS=ON -DN95_BUILD_BENCHMARKS=OFF \
  >"$build-configure.log" 2>&1 || { cat "$build-configure.log"; exit 1; }
cmake --build "$build" -j2 >"$build-build.log" 2>&1 \
  || { grep -E -A5 'error' "$build-build.log" | head -n 60; exit 1; }

find "$build" -name '*.gcda' -delete
status=0
ctest --test-dir "$build" -j2 --output-on-failure >"$build-ctest.log" 2>&1 || status=1
grep -E 'tests passed|tests failed' "$build-ctest.log"
[ $status -eq 0 ] || grep -E '^\s*[0-9]+ - ' "$build-ctest.log" | head -n 20

folders=(platform records control trace inhouse decoder plugin host)
filters=()
for f in "${folders[@]}"; do filters+=(--filter "$f/"); done
gcovr --root . --object-directory "$build" "${filters[@]}" \
  --exclude-throw-branches --exclude-unreachable-branches \
  --json-summary-pretty --json-summary "$build/coverage.json" \
  --txt "$build/coverage.txt" --branches \
  --html-details "$build/coverage.html" \
  >"$build-gcovr.log" 2>&1 || { tail -n 20 "$build-gcovr.log"; echo "coverage: gcovr failed"; exit $status; }

python3 - "$build/coverage.json" "${folders[@]}" <<'EOF'
import json, sys
summary = json.load(open(sys.argv[1]))
order = sys.argv[2:]
totals = {}
for f in summary["files"]:
    parts = f["filename"].split("/")
    folder = "/".join(parts[:2]) if parts[0] == "host" and len(parts) > 2 else parts[0]
    t = totals.setdefault(folder, [0, 0, 0, 0])
    t[0] += f["line_covered"]; t[1] += f["line_total"]
    t[2] += f["branch_covered"]; t[3] += f["branch_total"]
def pct(a, b):
    return "%.1f%%" % (100.0 * a / b) if b else "-"
def show(name, t):
    print("%-14s %7d / %6d %8s %7d / %6d %8s"
          % (name, t[0], t[1], pct(t[0], t[1]), t[2], t[3], pct(t[2], t[3])))
print("%-14s %16s %8s %16s %8s" % ("folder", "lines", "", "branches", ""))
all_ = [0, 0, 0, 0]
subs = ["common", "formats", "devices", "outputs", "session", "sim", "n95host", "n95sim"]
names = []
for folder in order:
    if folder == "host":
        names += ["host/" + s for s in subs]
        names += sorted(k for k in totals if k.startswith("host/") and k[5:] not in subs)
    else:
        names.append(folder)
for folder in names:
    if folder in totals:
        all_ = [x + y for x, y in zip(all_, totals[folder])]
        show(folder, totals[folder])
show("total", all_)
EOF
if [ $files -eq 1 ]; then
  cat "$build/coverage.txt"
fi
exit $status
