#!/bin/bash
# Installs what the tests need and runs all of them: the command CI runs.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/test-host.sh
scripts/test-armhf.sh
scripts/test-arm64.sh
# Rebuilds the armhf packages the suite just built, elsewhere and otherwise.
scripts/test-reproducible.sh

# The package tests above built the three packages and their debug symbols
# packages; Debian's checker must find no error in them (its warnings are
# printed, not fatal).
. scripts/lib.sh
need_packages lintian devscripts
lintian --fail-on error build/host/tavrin{,-dbgsym}_*_amd64.*deb \
	build/armhf/tavrin{,-dbgsym}_*_armhf.*deb build/arm64/tavrin{,-dbgsym}_*_arm64.*deb

# Debian's build hardening reached the three builds. Control-flow protection
# is not among the flags bookworm builds its packages with (armv7 has none,
# and bookworm adds no branch protection on arm64); tavrin's fortify verdict
# is the false alarm that packaging/lintian-overrides explains.
for tree in build/host build/armhf build/arm64; do
	hardening-check --nocfprotection "$tree/tavrin-check"
	hardening-check --nocfprotection --nofortify "$tree/tavrin"
done

# The emulated panel's image takes minutes to build on a new machine, mostly
# on one core; it is built beside the hardening checks, whose soak leaves a
# core idle for most of its ten minutes. Their tools are installed first, so
# that no two apt-get runs meet. Should the build fail here, the end-to-end
# test builds it again and shows why.
need_hardening_tools
tests/e2e/run-e2e.sh --image-only >build/e2e-image.log 2>&1 &
image=$!
trap 'kill "$image" 2>/dev/null || true' EXIT

# Sanitizers, valgrind, the soak, fuzzing and static analysis, in build
# trees of their own (the valgrind run and the soak use build/host).
scripts/test-hardening.sh
wait "$image" || echo "test-all: the image build beside the hardening checks failed; see build/e2e-image.log"

# Last, as the slowest: the armhf build on an emulated panel with a real X
# server (its image is cached between runs).
scripts/test-e2e.sh
