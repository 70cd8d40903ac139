#!/bin/bash
# Prints tavrin's own CPU time per idle cycle and its memory, read from /proc
# after CYCLES cycles against the stand-in xset with the monitor on (nothing
# to blank). Usage: bench/idle_cycle.sh path/to/tavrin [CYCLES]
set -euo pipefail
tavrin=$(realpath "$1")
cycles=${2:-30}
here=$(cd "$(dirname "$0")" && pwd)

sim=$(mktemp -d)
trap 'kill "$pid" 2>/dev/null; wait "$pid" 2>/dev/null; rm -rf "$sim"' EXIT
echo On >"$sim/dpms"

TAVRIN_SIM=$sim PATH="$here/../tests/panel/bin:/usr/bin:/bin" "$tavrin" >/dev/null 2>&1 &
pid=$!
# Sampled once the first query is under way, so start-up costs are excluded.
until grep -q query "$sim/events" 2>/dev/null; do sleep 0.05; done
read -r cpu_start _ </proc/$pid/schedstat
fds_start=$(ls /proc/$pid/fd | wc -l)
queries_start=$(grep -c query "$sim/events")
until [ "$(grep -c query "$sim/events")" -ge $((queries_start + cycles)) ]; do sleep 0.2; done
read -r cpu_end _ </proc/$pid/schedstat
queries_end=$(grep -c query "$sim/events")

done_cycles=$((queries_end - queries_start))
echo "cycles measured:        $done_cycles"
echo "own CPU time per cycle: $(( (cpu_end - cpu_start) / done_cycles / 1000 )) us"
grep -E '^(VmRSS|VmHWM|VmSize)' /proc/$pid/status | sed 's/:\s*/: /'
# Whatever the starting shell left open counts in both figures alike.
echo "open descriptors:       $fds_start at start, $(ls /proc/$pid/fd | wc -l) at end"
