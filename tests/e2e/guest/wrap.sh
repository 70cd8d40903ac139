#!/bin/bash
# Stand-in for xset and xrefresh, installed in /usr/local/bin, which the
# packaged unit's PATH puts before /usr/bin. It records each call (time, argv,
# exit status, the backlight's level at that moment) and runs the real tool.
# The tool's output still reaches the watcher's streams, and is also logged,
# so that anything else in the journal is the watcher's own.
#
# It runs inside the units' sandbox: a read-only file system but for a
# private /tmp and, with ProcSubset=pid, no /proc/uptime. So it takes its
# clock from bash, reads the backlight with a builtin, and reports through
# FIFOs under /run/e2e, which may be opened for writing on a read-only mount.
E2E=/run/e2e
BL=/sys/class/backlight/backlight
tool=${0##*/}
t0=$EPOCHREALTIME
bl=absent abl=absent
read -r bl <"$BL/brightness" 2>/dev/null
read -r abl <"$BL/actual_brightness" 2>/dev/null

# A slow X server: the test holds the sequence at step 2 while this file is there.
while [ "$tool $*" = "xset -display :0.0 dpms force on" ] && [ -e "$E2E/hold" ]; do sleep 0.1; done
if [ "$tool $*" = "xset -display :0.0 dpms force off" ]; then
    # The panel is meant to be white right now: the test dumps the framebuffer
    # and takes a screenshot before the monitor goes off (bounded wait).
    echo $$ >"$E2E/shots.fifo"
    n=0
    while [ ! -e "$E2E/shot-$$.done" ] && [ $n -lt 150 ]; do sleep 0.1; n=$((n + 1)); done
fi

# The real tool is run as a child, not exec'd, because its output and status
# must be seen after it ends. Its error output waits in the private /tmp
# rather than passing through a tee: under emulation that process took 0.17 s
# of the query's 0.43 s, every second.
err=/tmp/e2e-$tool.err
out=$("/usr/bin/$tool" "$@" 2>"$err")
rc=$?
t1=$EPOCHREALTIME
if IFS= read -r -d '' msg <"$err" || [ -n "$msg" ]; then
    printf '%s' "$msg" >&2
    printf '%s' "$msg" >"$E2E/tools.fifo"
fi

reading=-
if [ "$*" = "-display :0.0 q" ]; then
    case $out in
        *"Monitor is On"*) reading=On ;;
        *"Monitor is Off"*) reading=Off ;;
        *) reading=none ;;
    esac
elif [ -n "$out" ]; then
    printf '%s\n' "$out" >"$E2E/tools.fifo"
fi
echo "$t0 $t1 $$ $bl $abl $rc $reading $tool $*" >"$E2E/calls.fifo"
[ -z "$out" ] || printf '%s\n' "$out"
exit $rc
