#!/bin/bash
# Installs what the tests need and runs all of them: the command CI runs.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/test-host.sh
