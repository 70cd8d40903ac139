#!/bin/bash
# Installs what the tests need and runs all of them: the command CI runs.
# Ends with a table of its phases' wall times, also when a phase fails.
#
# What runs beside what, on two cores:
# - the emulated panels' images, in two chains (mostly one core of
#   qemu-user each, and the network), and the chroot tests of bookworm and
#   trixie (dpkg, builds, and suites that mostly wait on tavrin's cycle)
#   start at once, beside everything up to the boots;
# - the three trees are built one after the other, then their suites run
#   side by side: they mostly wait on tavrin's one-second cycle;
# - the soak, which times nothing, runs at the lowest priority from the end
#   of the suites on, on whatever CPU the other phases leave idle;
# - the boots come last, beside each other and the soak's remainder only.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/lib.sh

mkdir -p build
export TAVRIN_PHASES=$PWD/build/phases.tsv
: >"$TAVRIN_PHASES"
background=()
# descendants PID...: every process under them. A background phase's
# subshell dies at once when killed, and what it runs would live on.
descendants() {
	local pid child
	for pid in "$@"; do
		for child in $(cat /proc/"$pid"/task/*/children 2>/dev/null); do
			echo "$child"
			descendants "$child"
		done
	done
}
finish() {
	local status=$?
	[ ${#background[@]} -eq 0 ] ||
		kill "${background[@]}" $(descendants "${background[@]}") 2>/dev/null || true
	wait 2>/dev/null || true
	printf '\n'
	print_phases "$TAVRIN_PHASES"
	exit "$status"
}
trap finish EXIT

# wait_all PID...: every one of them succeeded.
wait_all() {
	local pid status=0
	for pid in "$@"; do wait "$pid" || status=1; done
	return $status
}

phase installs install_everything
# Phases run in subshells: what the installs export (PATH to the borrowed
# tools) is set here again, which now only looks.
install_everything
use_compiler_cache

# Should an image build fail here, the end-to-end test builds it again and
# shows why. Two chains, each image locked by the one building it (the
# armhf64 panel's graft waits for the trixie armhf image of the first): one
# chain had built only the two trixie images after 1094 s of a cold run,
# where two chains built all three in 1052 s.
image() { TAVRIN_E2E_PANELS=$2 phase "image $1" tests/e2e/run-e2e.sh --image-only; }
{ image "trixie armhf" virtio && image "bookworm armhf" cirrus; } >build/e2e-image-1.log 2>&1 &
images=($!)
image "trixie arm64" "arm64 armhf64" >build/e2e-image-2.log 2>&1 &
images+=($!)
background+=("${images[@]}")
# The tree is still HEAD's here, as the chroots' clones require. The two
# releases side by side, as each mostly waits on downloads, dpkg and tavrin's
# cycle; test-all installed mmdebstrap, so their installs cannot meet.
chroots=()
for release in bookworm trixie; do
	phase "chroot $release" scripts/test-chroot.sh "$release" >"build/chroot-$release.log" 2>&1 &
	chroots+=($!)
done
background+=("${chroots[@]}")

build_tree() {
	cmake --preset "$1" -DTAVRIN_BUILD_TESTS=ON >/dev/null
	cmake --build --preset "$1"
}
for preset in host armhf arm64; do
	phase "$preset build" build_tree "$preset"
done
suites=()
for preset in host armhf arm64; do
	phase "$preset suite" "scripts/test-$preset.sh" >"build/$preset-suite.log" 2>&1 &
	suites+=($!)
done
suite_status=0
wait_all "${suites[@]}" || suite_status=1
for preset in host armhf arm64; do
	echo "== $preset suite"
	sed -n '/tests passed\|tests failed\|The following tests/,$p' "build/$preset-suite.log"
done
[ "$suite_status" -eq 0 ] || { cat build/{host,armhf,arm64}-suite.log; exit 1; }

# The host suite built the soak; no configure of its own can race the
# hardening steps' configures of the same tree.
phase "soak (niced)" nice -n 19 ctest --preset soak >build/soak.log 2>&1 &
soak=$!
background+=($soak)

# Rebuilds the packages the suites just built, elsewhere and otherwise.
phase reproducibility scripts/test-reproducible.sh

# Debian's checker must find no error in the three packages and their debug
# symbols packages (its warnings are printed, not fatal), and Debian's build
# hardening reached the three builds. Control-flow protection is not among
# the flags bookworm builds its packages with (armv7 has none, and bookworm
# adds no branch protection on arm64); tavrin's fortify verdict is the false
# alarm that packaging/lintian-overrides explains. A checker that knows
# arm64's branch protection (trixie's) is told the same of it: the builds
# keep bookworm's flags wherever they are built.
check_packages() {
	lintian --fail-on error build/host/tavrin{,-dbgsym}_*_amd64.*deb \
		build/armhf/tavrin{,-dbgsym}_*_armhf.*deb build/arm64/tavrin{,-dbgsym}_*_arm64.*deb
	local tree unasked=(--nocfprotection)
	[[ "$(hardening-check --help 2>&1)" != *--nobranchprotection* ]] || unasked+=(--nobranchprotection)
	for tree in build/host build/armhf build/arm64; do
		hardening-check "${unasked[@]}" "$tree/tavrin-check"
		hardening-check "${unasked[@]}" --nofortify "$tree/tavrin"
	done
}
phase "lintian, hardening-check" check_packages

# Each fuzzer for 30 s: in a 60 s run from the kept corpus, both reached
# their whole coverage and features within the first 18 s, and found
# nothing after.
TAVRIN_FUZZ_SECONDS=30 scripts/test-hardening.sh cppcheck clang-tidy asan valgrind fuzz

echo "== chroot"
wait_all "${chroots[@]}" || { cat build/chroot-{bookworm,trixie}.log; exit 1; }
grep -h '^test-chroot: ' build/chroot-{bookworm,trixie}.log
wait_all "${images[@]}" || echo "test-all: an image build failed; see build/e2e-image-{1,2}.log"
TAVRIN_E2E_SIDE_BY_SIDE=1 phase "end-to-end" scripts/test-e2e.sh
echo "== soak"
wait "$soak" || { cat build/soak.log; exit 1; }
cat build/soak.log
