#!/usr/bin/env bash
# Runs every test program of the native build under valgrind memcheck: any error, definite
# or indirect loss fails. Tests that measure real time are skipped here (valgrind slows them).
set -uo pipefail
cd "$(dirname "$0")/.."
[ -d build/native/bin ] || { cmake --preset native >/dev/null && cmake --build --preset native >/dev/null; } || exit 1
status=0
# Fault-injection tests that replace operator new fall back to the record hooks under valgrind.
export N95_UNDER_VALGRIND=1
for t in build/native/bin/*_tests; do
  [ -x "$t" ] || continue
  echo "valgrind: $(basename "$t")"
  valgrind --quiet --error-exitcode=99 --suppressions=scripts/valgrind.supp --leak-check=full --errors-for-leak-kinds=definite,indirect \
    --show-leak-kinds=definite,indirect "$t" --gtest_brief=1 --gtest_filter='-*RealTime*:*Tsan*' \
    >"build/valgrind-$(basename "$t").log" 2>&1 || { status=1; tail -n 40 "build/valgrind-$(basename "$t").log"; }
done
exit $status
