#!/bin/bash
# Builds the host preset and prints the benchmark figures.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/lib.sh
need_build_tools

cmake --preset host >/dev/null
cmake --build --preset host --target tavrin tavrin_fill_bench >/dev/null
echo "== white fill against memset"
build/host/tavrin_fill_bench
echo "== idle cycles"
bench/idle_cycle.sh build/host/tavrin 30
