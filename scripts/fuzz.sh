#!/usr/bin/env bash
# Builds the libFuzzer targets (Clang 14, ASan + UBSan, library instrumented) in build/fuzz
# and replays or fuzzes them, one target at a time (one process each: the machine is shared).
#
#   scripts/fuzz.sh --replay                 replay every committed corpus once (-runs=0)
#   scripts/fuzz.sh --time 60                fuzz each target 60 s (CI)
#   scripts/fuzz.sh --time 600 [target...]   the long runs
#   scripts/fuzz.sh --merge [target...]      minimise what the runs found into the committed
#                                            corpus (-merge=1)
#   --keep-going (with --time)               go on after a crash (-fork=1 -ignore_crashes=1,
#                                            still one process at a time); crashes are
#                                            counted and kept in the artifacts folder
#
# The committed corpus fuzz/corpus/<target> is only read while fuzzing; new inputs go to
# build/fuzz/corpus/<target>, crashes and leaks to build/fuzz/artifacts/<target>/. A run that
# finds a crash fails the script; keep the input in the committed corpus once it is fixed.
# Prints one line per target: executions, executions per second, coverage (cov: edges,
# ft: features), corpus size and the outcome.
set -uo pipefail
cd "$(dirname "$0")/.."

mode=""
seconds=60
keep_going=0
while [ $# -gt 0 ]; do
  case "$1" in
    --replay) mode=replay; shift ;;
    --keep-going) keep_going=1; shift ;;
    --merge) mode=merge; shift ;;
    --time) mode=fuzz; seconds=${2:?--time needs seconds}; shift 2 ;;
    -h|--help) sed -n '2,19p' "$0"; exit 0 ;;
    -*) echo "unknown option $1" >&2; exit 2 ;;
    *) break ;;
  esac
done
[ -n "$mode" ] || { sed -n '2,19p' "$0"; exit 2; }
fork=()
[ $keep_going -eq 1 ] && fork=(-fork=1 -ignore_crashes=1)

build=build/fuzz
all_targets=(decoder_fuzz commands_fuzz record_fuzz host_readers_fuzz)
targets=("$@")
[ ${#targets[@]} -eq 0 ] && targets=("${all_targets[@]}")

instrument="-fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=all"
instrument+=" -fno-omit-frame-pointer"
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_C_COMPILER=clang-14 -DCMAKE_CXX_COMPILER=clang++-14 \
  -DCMAKE_C_FLAGS="$instrument" -DCMAKE_CXX_FLAGS="$instrument" \
  -DCMAKE_EXE_LINKER_FLAGS="-fsanitize=address,undefined" \
  -DCMAKE_SHARED_LINKER_FLAGS="-fsanitize=address,undefined" \
  -DN95_BUILD_FUZZERS=ON -DN95_BUILD_TESTS=OFF -DN95_BUILD_BENCHMARKS=OFF -DN95_MIMALLOC=OFF \
  >"$build-configure.log" 2>&1 || { cat "$build-configure.log"; exit 1; }

built=()
for t in "${targets[@]}"; do
  if cmake --build "$build" -j2 --target "$t" >"$build-$t-build.log" 2>&1; then
    built+=("$t")
  elif grep -q "No rule to make target\|unknown target" "$build-$t-build.log"; then
    echo "$t: not configured here (skipped)"
  else
    grep -E -A5 'error' "$build-$t-build.log" | head -n 40
    exit 1
  fi
done

export ASAN_OPTIONS="detect_leaks=1:allocator_may_return_null=0"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
status=0
printf '%-18s %12s %10s %8s %8s %8s  %s\n' target executions exec/s cov ft corpus outcome
for t in "${built[@]}"; do
  seeds="fuzz/corpus/$t"
  dict="fuzz/$t.dict"
  log="$build/$t-$mode.log"
  found="$build/corpus/$t"
  artifacts="$build/artifacts/$t/"
  mkdir -p "$found" "$artifacts"
  case "$mode" in
    replay)
      "$build/bin/$t" -runs=0 -dict="$dict" -artifact_prefix="$artifacts" "$seeds" >"$log" 2>&1 ;;
    fuzz)
      "$build/bin/$t" "${fork[@]}" -max_total_time="$seconds" -print_final_stats=1 -dict="$dict" \
        -artifact_prefix="$artifacts" -max_len=4096 "$found" "$seeds" >"$log" 2>&1 ;;
    merge)
      "$build/bin/$t" -merge=1 -dict="$dict" -artifact_prefix="$artifacts" "$seeds" "$found" \
        >"$log" 2>&1 ;;
  esac
  rc=$?
  # The last status line carries the totals: "#N <event> cov: C ft: F corp: K/..B ... exec/s: E"
  # (in fork mode "#N: cov: C ft: F corp: K exec/s: E oom/timeout/crash: ...").
  last=$(grep -E '^#[0-9]+' "$log" | tail -n 1)
  execs=$(grep -oE 'stat::number_of_executed_units: *[0-9]+' "$log" | grep -oE '[0-9]+$')
  [ -n "$execs" ] || execs=$(sed -nE 's/^#([0-9]+).*/\1/p' <<<"$last")
  rate=$(grep -oE 'stat::average_exec_per_sec: *[0-9]+' "$log" | grep -oE '[0-9]+$')
  [ -n "$rate" ] || rate=$(grep -oE 'exec/s:? [0-9]+' <<<"$last" | grep -oE '[0-9]+')
  cov=$(grep -oE 'cov: [0-9]+' <<<"$last" | grep -oE '[0-9]+')
  ft=$(grep -oE 'ft: [0-9]+' <<<"$last" | grep -oE '[0-9]+')
  corp=$(grep -oE 'corp: [0-9]+' <<<"$last" | grep -oE '[0-9]+')
  crashes=$(grep -oE 'crash: [0-9]+/[0-9]+/[0-9]+' <<<"$last" | cut -d/ -f3)
  if [ $rc -eq 0 ] && [ "${crashes:-0}" -eq 0 ]; then
    outcome=ok
  elif [ $keep_going -eq 1 ] && [ -n "$crashes" ]; then
    outcome="$(ls "$artifacts" | wc -l) crashing inputs kept in $artifacts"
    status=1
  else
    outcome="FAILED (exit $rc, see $log)"
    status=1
    grep -E 'ERROR|fuzz property failed|SUMMARY|Test unit written' "$log" | head -n 5
  fi
  printf '%-18s %12s %10s %8s %8s %8s  %s\n' "$t" "${execs:--}" "${rate:--}" "${cov:--}" \
    "${ft:--}" "${corp:--}" "$outcome"
done
exit $status
