#!/bin/bash
# Builds tavrin for this machine and runs every unit and system test.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/lib.sh
need_test_tools

cmake --preset host -DTAVRIN_BUILD_TESTS=ON >/dev/null
cmake --build --preset host
ctest --preset host
