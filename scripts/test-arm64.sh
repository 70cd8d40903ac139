#!/bin/bash
# Cross-builds tavrin for panels with a 64-bit ARM userland (arm64) and runs
# every unit, system and package test, the ARM programs under user-mode qemu
# with the cross compiler's sysroot as the root for ARM libraries.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/lib.sh
need_arm64_toolchain

cmake --preset arm64 -DTAVRIN_BUILD_TESTS=ON >/dev/null
cmake --build --preset arm64
ctest --preset arm64
