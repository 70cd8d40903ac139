#!/bin/bash
# The hardening checks: cppcheck and clang-tidy, every test under ASan and
# UBSan, the system tests with tavrin under valgrind, the soak, and each
# fuzzer for TAVRIN_FUZZ_SECONDS (default 60). Each build has its own tree.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/lib.sh
need_hardening_tools

step() { printf '\n== %s (%d s so far)\n' "$1" "$SECONDS"; }

step "cppcheck"
cppcheck --enable=warning,portability,performance --error-exitcode=1 --inline-suppr -q \
	--std=c++17 --library=googletest --library=posix \
	-I src -I tests/support src fuzz tests/support tests/system tests/panel tests/soak

# clang-tidy reads the compile commands, so both clang trees are configured
# first; fuzz/ is only built in its own.
cmake --preset asan >/dev/null
cmake --preset fuzz -DTAVRIN_FUZZ_SECONDS="${TAVRIN_FUZZ_SECONDS:-60}" >/dev/null

step "clang-tidy"
tidy() {
	local tree=$1
	shift
	find "$@" -name '*.cpp' -print0 |
		xargs -0 -n 1 -P 2 clang-tidy -p "$tree" --quiet 2>/dev/null
}
tidy build/asan src tests/soak
tidy build/fuzz fuzz

step "ASan and UBSan: every test"
cmake --build --preset asan
ctest --preset asan

step "valgrind: system tests"
cmake --preset host >/dev/null
cmake --build --preset host
ctest --preset valgrind

# The soak keeps one core busy for minutes; the fuzzers, which measure no
# time, run beside it.
step "soak, and fuzzing beside it"
ctest --preset soak >build/soak.log 2>&1 &
soak=$!
fuzz_status=0
{ cmake --build --preset fuzz && ctest --preset fuzz; } || fuzz_status=$?
# Each fuzzing run's last line: executions, coverage (cov) and features (ft).
grep -E '^[0-9]+/[0-9]+ Test: |^#[0-9]+[[:space:]]+DONE' build/fuzz/Testing/Temporary/LastTest.log || true
soak_status=0
wait "$soak" || soak_status=$?
cat build/soak.log
[ "$fuzz_status" -eq 0 ] && [ "$soak_status" -eq 0 ]

step "done"
