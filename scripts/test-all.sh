#!/bin/bash
# Installs what the tests need and runs all of them: the command CI runs.
# Ends with a table of its phases' wall times, also when a phase fails.
#
# Two cores are kept busy where the proofs allow: the emulated panels' images,
# mostly one core of qemu-user, are built from the start beside the suites;
# the chroot test and the fuzzers run beside the soak, which uses one core and
# measures no time. The boots, whose checks time the panel, run last, alone.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/lib.sh

mkdir -p build
export TAVRIN_PHASES=$PWD/build/phases.tsv
: >"$TAVRIN_PHASES"
background=()
finish() {
	local status=$?
	[ ${#background[@]} -eq 0 ] || kill "${background[@]}" 2>/dev/null || true
	wait 2>/dev/null || true
	printf '\n'
	print_phases "$TAVRIN_PHASES"
	exit "$status"
}
trap finish EXIT

# Everything, in one apt-get run, so that no two runs meet later.
install_everything() {
	need_packages "${build_packages[@]}" "${test_packages[@]}" "${armhf_packages[@]}" \
		"${arm64_packages[@]}" "${hardening_packages[@]}" "${e2e_host_packages[@]}" \
		lintian devscripts git diffoscope-minimal
	borrow_packages prometheus prometheus-node-exporter
}
phase installs install_everything

# Should an image build fail here, the end-to-end test builds it again and
# shows why.
phase "image armhf" tests/e2e/run-e2e.sh --image-only >build/e2e-image.log 2>&1 &
background+=($!)

phase "host suite" scripts/test-host.sh
phase "armhf suite" scripts/test-armhf.sh
phase "arm64 suite" scripts/test-arm64.sh
# Rebuilds the packages the suites just built, elsewhere and otherwise.
phase reproducibility scripts/test-reproducible.sh

# Debian's checker must find no error in the three packages and their debug
# symbols packages (its warnings are printed, not fatal), and Debian's build
# hardening reached the three builds. Control-flow protection is not among
# the flags bookworm builds its packages with (armv7 has none, and bookworm
# adds no branch protection on arm64); tavrin's fortify verdict is the false
# alarm that packaging/lintian-overrides explains.
check_packages() {
	lintian --fail-on error build/host/tavrin{,-dbgsym}_*_amd64.*deb \
		build/armhf/tavrin{,-dbgsym}_*_armhf.*deb build/arm64/tavrin{,-dbgsym}_*_arm64.*deb
	local tree
	for tree in build/host build/armhf build/arm64; do
		hardening-check --nocfprotection "$tree/tavrin-check"
		hardening-check --nocfprotection --nofortify "$tree/tavrin"
	done
}
phase "lintian, hardening-check" check_packages

scripts/test-hardening.sh cppcheck clang-tidy asan valgrind
scripts/test-hardening.sh soak &
soak=$!
background+=($soak)
scripts/test-hardening.sh fuzz
phase chroot scripts/test-chroot.sh
wait "$soak"

wait "${background[0]}" || echo "test-all: the image build failed; see build/e2e-image.log"
phase "end-to-end" scripts/test-e2e.sh
