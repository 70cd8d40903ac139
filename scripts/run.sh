#!/bin/bash
# Builds tavrin and shows it at work on a simulated panel: no X server or
# devices needed. tavrin-check reports on the panel first, then the real,
# unmodified tavrin runs; both with the system tests' stand-in xset/xrefresh
# first on PATH and their preloaded library standing in for /dev/fb0 and the
# backlight. The pictures and the simulation's files
# are left in build/demo.
#
#   scripts/run.sh          the demonstration, ends by itself (~6 s)
#   scripts/run.sh --real   builds tavrin and runs it for real, in the foreground
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/lib.sh

case "${1:-}" in
--real)
	need_build_tools
	cmake --preset host >/dev/null
	cmake --build --preset host --target tavrin >/dev/null
	exec build/host/tavrin
	;;
"") ;;
*)
	echo "usage: $0 [--real]" >&2
	exit 2
	;;
esac

need_build_tools
need_packages python3
cmake --preset host >/dev/null
cmake --build --preset host --target tavrin tavrin-check tavrin_fake_panel >/dev/null
exec python3 scripts/demo_panel.py \
	--tavrin build/host/tavrin \
	--check build/host/tavrin-check \
	--preload "$PWD/build/host/tests/panel/libtavrin_fake_panel.so" \
	--stand-ins "$PWD/tests/panel/bin" \
	--out build/demo
