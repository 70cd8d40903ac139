#!/bin/bash
# Cross-builds the armhf and arm64 packages and installs them on emulated ARM
# panels that boot with systemd: real kernel framebuffer and backlight, real
# X server and X tools. Needs root; the first run builds and caches a root
# filesystem image per architecture (several minutes each), later runs
# reuse them.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/lib.sh
need_armhf_toolchain
need_arm64_toolchain

# The armhf tree's test takes the arm64 package from the arm64 preset's tree.
cmake --preset arm64 >/dev/null
cmake --build --preset arm64 --target package
cmake --preset armhf -DTAVRIN_BUILD_TESTS=ON >/dev/null
cmake --build --preset armhf --target package
ctest --preset e2e
