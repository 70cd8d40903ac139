#!/bin/sh
# Stand-in for xset and xrefresh, first on the watcher's PATH. It records each
# call (uptime, argv, exit status, backlight bytes at that moment) and then runs
# the real tool. The tool's output still reaches the watcher's streams, and is
# also logged, so that anything else in the watcher's output is its own.
# The real tool is run as a child, not exec'd, because its output and status
# must be seen after it ends.
LOG=/tmp/log
OUT=/io/out
tool=${0##*/}
read -r t0 _ </proc/uptime
bl=$(od -An -tx1 /sys/class/backlight/backlight/brightness 2>/dev/null | tr -d ' \n')

if [ "$tool $*" = "xset -display :0.0 dpms force off" ]; then
    # The panel is meant to be white right now: dump the framebuffer and ask the
    # host for a screenshot before the monitor goes off (bounded wait).
    cat /dev/fb0 >"$OUT/fb-$$.raw" 2>/dev/null
    : >"$OUT/shot-$$.req"
    n=0
    while [ ! -e "$OUT/shot-$$.done" ] && [ $n -lt 150 ]; do sleep 0.1; n=$((n + 1)); done
fi

o=/tmp/wrap.$$.out
e=/tmp/wrap.$$.err
"/usr/bin/$tool" "$@" >"$o" 2>"$e"
rc=$?
read -r t1 _ </proc/uptime

reading=-
if [ "$*" = "-display :0.0 q" ]; then
    reading=none
    while IFS= read -r line; do
        case $line in
            *"Monitor is On"*) reading=On; break ;;
            *"Monitor is Off"*) reading=Off; break ;;
        esac
    done <"$o"
else
    cat "$o" >>"$LOG/tools-out.log"
fi
cat "$e" >>"$LOG/tools-out.log"
echo "$t0 $t1 $$ ${bl:-absent} $rc $reading $tool $*" >>"$LOG/calls.log"
cat "$o"
cat "$e" >&2
rm -f "$o" "$e"
exit $rc
