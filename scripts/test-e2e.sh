#!/bin/bash
# Cross-builds the armhf package and installs it on an emulated ARM panel
# that boots with systemd: real kernel framebuffer and backlight, real X
# server and X tools. Needs root; the first run builds and caches a root
# filesystem image (several minutes), later runs reuse it.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/lib.sh
need_armhf_toolchain

cmake --preset armhf -DTAVRIN_BUILD_TESTS=ON >/dev/null
cmake --build --preset armhf --target package
ctest --preset e2e
