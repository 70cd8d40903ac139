#!/bin/bash
# Installs what the tests need and runs all of them: the command CI runs.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/test-host.sh
scripts/test-armhf.sh

# The package tests above built both packages; Debian's checker must find
# no error in them (its warnings are printed, not fatal).
. scripts/lib.sh
need_packages lintian devscripts
lintian --fail-on error build/host/tavrin_*_amd64.deb build/armhf/tavrin_*_armhf.deb

# Debian's build hardening reached both builds. Control-flow protection is
# not among the flags bookworm builds its packages with (and armv7 has
# none); tavrin's fortify verdict is the false alarm that
# packaging/lintian-overrides explains.
for tree in build/host build/armhf; do
	hardening-check --nocfprotection "$tree/tavrin-check"
	hardening-check --nocfprotection --nofortify "$tree/tavrin"
done

# Sanitizers, valgrind, the soak, fuzzing and static analysis, in build
# trees of their own (the valgrind run and the soak use build/host).
scripts/test-hardening.sh

# Last, as the slowest: the armhf build on an emulated panel with a real X
# server (its image is cached between runs).
scripts/test-e2e.sh
