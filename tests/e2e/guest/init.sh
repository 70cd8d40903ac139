#!/bin/sh
# PID 1 of the test VM, exec'd by the image's stage 0 once /io is mounted.
# Drives three scenarios against the unchanged watcher and records what happened;
# the host judges the records (check.py). Progress goes to the serial console.
set -u
IO=/io
OUT=/io/out
LOG=/tmp/log
BL=/sys/class/backlight/backlight/brightness
DPY=:0.0
XPID=
TPID=

ev() { read -r t _ </proc/uptime; echo "$t $*" >>"$LOG/events.log"; echo "e2e: $t $*"; }

finish() {
    ev "finish $1"
    [ -n "$TPID" ] && [ -d "/proc/$TPID" ] && cat "/proc/$TPID/status" >"$LOG/tavrin-status.txt"
    : >/tmp/stop-poll
    sleep 0.5
    cp -r "$LOG/." "$OUT/" 2>/dev/null
    echo "$1" >"$OUT/result"
    sync
    echo o >/proc/sysrq-trigger
    sleep 30
}

mountpoint -q /tmp || mount -t tmpfs tmp /tmp
mkdir -p /dev/pts "$LOG" && { mountpoint -q /dev/pts || mount -t devpts devpts /dev/pts; }
ev boot

modprobe virtio_gpu
n=0
while [ ! -e /dev/fb0 ] && [ $n -lt 100 ]; do sleep 0.1; n=$((n + 1)); done
[ -e /dev/fb0 ] || finish "no /dev/fb0 after modprobe virtio_gpu"
# Without a text console on fb0 nothing but X and the watcher paints it.
for v in /sys/class/vtconsole/vtcon*; do
    grep -q "frame buffer" "$v/name" 2>/dev/null && echo 0 >"$v/bind"
done
cat /sys/class/graphics/fb0/virtual_size /sys/class/graphics/fb0/bits_per_pixel >"$LOG/fb-geometry.txt"

mount -t tmpfs -o mode=755 backlight /sys/class/backlight
mkdir /sys/class/backlight/backlight
# A level the watcher never writes, so any write shows.
printf 5 >"$BL"

mkdir -p /tmp/wrap
cp "$IO/wrap.sh" /tmp/wrap/xset
cp "$IO/wrap.sh" /tmp/wrap/xrefresh
cp "$IO/tavrin" /tmp/tavrin
cp "$IO/xorg.conf" /tmp/xorg.conf
chmod 755 /tmp/wrap/xset /tmp/wrap/xrefresh /tmp/tavrin
: >"$LOG/calls.log"
: >"$LOG/tools-out.log"

# A child that has exited stays in /proc as a zombie until it is waited for.
running() {
    st=
    read -r st 2>/dev/null <"/proc/$1/stat" || return 1
    st=${st##*) }
    [ "${st%% *}" != Z ]
}

X() { /usr/bin/xset -display "$DPY" "$@" >>"$LOG/init-xset.log" 2>&1; }

start_x() {
    Xorg :0 -config /tmp/xorg.conf -nolisten tcp -noreset -logfile "$LOG/Xorg.$1.log" \
        >"$LOG/Xorg.$1.out" 2>&1 &
    XPID=$!
    n=0
    until /usr/bin/xset -display "$DPY" q >/dev/null 2>&1; do
        [ $n -lt 150 ] || finish "Xorg ($1) did not come up"
        sleep 0.2
        n=$((n + 1))
    done
    X s off
    X +dpms
    X dpms 0 0 0
    ev "x-up $1"
}

# Samples the watcher's process without forking, so sampling does not perturb it.
poll() {
    while [ ! -e /tmp/stop-poll ]; do
        read -r t _ </proc/uptime
        b=
        read -r b <"$BL" || :
        if read -r st 2>/dev/null <"/proc/$TPID/stat"; then
            st=${st##*) }
            st=${st%% *}
            set -- /proc/"$TPID"/fd/*
            nfd=$#
            nfb=0
            while read -r l; do
                case $l in */dev/fb0) nfb=$((nfb + 1)) ;; esac
            done <"/proc/$TPID/maps"
            kids=
            kl=
            read -r kl 2>/dev/null <"/proc/$TPID/task/$TPID/children" || :
            for k in $kl; do
                ks=
                read -r ks 2>/dev/null <"/proc/$k/stat" || :
                ks=${ks##*) }
                kids="$kids $k:${ks%% *}"
            done
        else
            st=gone nfd=0 nfb=0 kids=
        fi
        echo "$t $b $st $nfd $nfb$kids" >>"$LOG/poll.log"
        sleep 0.3
    done
}

calls() { wc -l <"$LOG/calls.log"; }

# wait_readings MARK COUNT READING SECONDS: the watcher's queries since line MARK
# of the call log gave READING at least COUNT times.
wait_readings() {
    n=0
    while [ "$(tail -n +$(($1 + 1)) "$LOG/calls.log" | grep -c " $3 xset -display :0.0 q\$")" -lt "$2" ]; do
        [ $n -lt $(($4 * 5)) ] || return 1
        sleep 0.2
        n=$((n + 1))
    done
}

# wait_sequence MARK SECONDS: a repaint call appeared since MARK and the
# backlight is back at "8", i.e. a blanking sequence has run to its end.
wait_sequence() {
    n=0
    while :; do
        if tail -n +$(($1 + 1)) "$LOG/calls.log" | grep -q " xrefresh "; then
            b=
            read -r b <"$BL" || :
            [ "$b" = 8 ] && return 0
        fi
        [ $n -lt $(($2 * 5)) ] || return 1
        sleep 0.2
        n=$((n + 1))
    done
}

start_x 1
PATH=/tmp/wrap:/usr/sbin:/usr/bin:/sbin:/bin /tmp/tavrin </dev/null >>"$LOG/tavrin.out" 2>&1 &
TPID=$!
echo "$TPID" >"$LOG/tavrin.pid"
ev "tavrin-start $TPID"
poll &

# 1: the X server blanks by itself.
m=$(calls)
wait_readings "$m" 2 On 20 || finish "scenario 1: no 'Monitor is On' reading"
m=$(calls)
ev "s1-dpms-timeout 5"
X dpms 0 0 5
X s reset
wait_sequence "$m" 40 || finish "scenario 1: no blanking sequence ran to its end"
sleep 5
ev s1-end

# 2: the X server goes away right after an "on" reading.
ev s2-wake
X dpms force on
m=$(calls)
wait_readings "$m" 2 On 20 || finish "scenario 2: no 'Monitor is On' reading after waking"
ev s2-x-kill
kill "$XPID"
n=0
while running "$XPID" && [ $n -lt 50 ]; do sleep 0.2; n=$((n + 1)); done
kill -9 "$XPID" 2>/dev/null
wait "$XPID"
ev s2-x-killed
# Whatever X left on the panel is replaced by black, so a white panel later can
# only come from the watcher.
cat /dev/zero >/dev/fb0 2>/dev/null
ev s2-fb-black
wait_sequence "$m" 30 || finish "scenario 2: no blanking sequence after the X server went away"
sleep 4
ev s2-end

# 3: a new X server; the watcher must blank again when it blanks by itself.
ev s3-x-restart
start_x 2
m=$(calls)
wait_readings "$m" 2 On 20 || finish "scenario 3: no 'Monitor is On' reading from the new X server"
m=$(calls)
ev "s3-dpms-timeout 4"
X dpms 0 0 4
X s reset
wait_sequence "$m" 40 || finish "scenario 3: no blanking sequence ran to its end"
sleep 4
ev s3-end

/usr/bin/xset -display "$DPY" q >"$LOG/final-xset-q.txt" 2>&1
od -An -tx1 "$BL" | tr -d ' \n' >"$LOG/final-brightness.hex"
finish done
