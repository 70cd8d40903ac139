#!/bin/bash
# Builds tavrin for this machine and runs it in the foreground.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/lib.sh
need_host_toolchain

cmake --preset host >/dev/null
cmake --build --preset host --target tavrin
exec build/host/tavrin
