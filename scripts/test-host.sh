#!/bin/bash
# Builds tavrin for this machine and runs every unit and system test.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/lib.sh
need_host_toolchain

cmake --preset host >/dev/null
cmake --build --preset host
ctest --preset host
