#!/bin/bash
# The hardening checks: cppcheck and clang-tidy, every test under ASan and
# UBSan, the system tests with tavrin under valgrind, the soak, and each
# fuzzer for TAVRIN_FUZZ_SECONDS (default 60). Each build has its own tree.
#   scripts/test-hardening.sh           all of them, the fuzzers beside the soak
#   scripts/test-hardening.sh STEP...   those steps alone, in that order:
#                                       cppcheck clang-tidy asan valgrind soak fuzz
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/lib.sh
need_hardening_tools

# Newer cppcheck limits its analysis of branches unless asked for all of it,
# as older ones did it, and reports the limit as a finding.
cppcheck_depth() {
	case $(cppcheck --help) in *--check-level=*) echo --check-level=exhaustive ;; esac
}

# Newer cppcheck's POSIX model takes mmap for an allocator that fails with a
# null pointer; mmap fails with MAP_FAILED, which fb_fill.cpp checks, and
# that file allocates nothing else.
run_cppcheck() {
	cppcheck --enable=warning,portability,performance --error-exitcode=1 --inline-suppr -q \
		--std=c++17 --library=googletest --library=posix $(cppcheck_depth) \
		--suppress=nullPointerOutOfMemory:src/framebuffer/fb_fill.cpp \
		--suppress=ctunullpointerOutOfMemory:src/framebuffer/fb_fill.cpp \
		-I src -I tests/support src fuzz tests/support tests/system tests/panel tests/soak
}

# clang-tidy reads the compile commands, so both clang trees are configured
# first; fuzz/ is only built in its own.
configure_clang_trees() {
	cmake --preset asan -DTAVRIN_BUILD_TESTS=ON >/dev/null
	cmake --preset fuzz -DTAVRIN_FUZZ_SECONDS="${TAVRIN_FUZZ_SECONDS:-60}" >/dev/null
}
tidy() {
	local tree=$1
	shift
	find "$@" -name '*.cpp' -print0 |
		xargs -0 -n 1 -P 2 clang-tidy -p "$tree" --quiet 2>/dev/null
}
run_clang_tidy() {
	configure_clang_trees
	tidy build/asan src tests/soak
	tidy build/fuzz fuzz
}

run_asan() {
	configure_clang_trees
	cmake --build --preset asan
	ctest --preset asan
}

run_valgrind() {
	cmake --preset host -DTAVRIN_BUILD_TESTS=ON >/dev/null
	cmake --build --preset host
	ctest --preset valgrind
}

# The soak keeps one core busy for minutes, and prints its figures.
run_soak() {
	cmake --preset host -DTAVRIN_BUILD_TESTS=ON >/dev/null
	cmake --build --preset host
	ctest --preset soak >build/soak.log 2>&1 || { cat build/soak.log; return 1; }
	cat build/soak.log
}

run_fuzz() {
	configure_clang_trees
	local status=0
	{ cmake --build --preset fuzz && ctest --preset fuzz; } || status=$?
	# Each fuzzing run's last line: executions, coverage (cov) and features (ft).
	grep -E '^[0-9]+/[0-9]+ Test: |^#[0-9]+[[:space:]]+DONE' build/fuzz/Testing/Temporary/LastTest.log || true
	return $status
}

step() {
	printf '\n== %s (%d s so far)\n' "$1" "$SECONDS"
	phase "hardening: $1" "run_${1//-/_}"
}

if [ $# -gt 0 ]; then
	for name in "$@"; do
		declare -F "run_${name//-/_}" >/dev/null || { echo "test-hardening: no step $name" >&2; exit 2; }
		step "$name"
	done
	exit
fi

step cppcheck
step clang-tidy
step asan
step valgrind
# The fuzzers, which measure no time, run beside the soak.
step soak &
soak=$!
fuzz_status=0
step fuzz || fuzz_status=$?
soak_status=0
wait "$soak" || soak_status=$?
printf '\n== done (%d s)\n' "$SECONDS"
[ "$fuzz_status" -eq 0 ] && [ "$soak_status" -eq 0 ]
