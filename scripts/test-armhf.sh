#!/bin/bash
# Cross-builds tavrin for the panel (armhf) and runs every unit, system and
# package test, the ARM programs under user-mode qemu with the cross
# compiler's sysroot as the root for ARM libraries.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/lib.sh
need_armhf_toolchain

cmake --preset armhf -DTAVRIN_BUILD_TESTS=ON >/dev/null
cmake --build --preset armhf
ctest --preset armhf
