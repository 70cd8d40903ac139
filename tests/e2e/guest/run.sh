#!/bin/bash
# The test's scenarios on the booted panel, run by the image's e2e-runner unit
# once multi-user.target is reached. The package is installed and driven the
# way an admin would; what happened is recorded on the share and judged on the
# host (check.py). Progress goes to the serial console.
[ -n "${BASH_VERSION:-}" ] || exec /bin/bash "$0" "$@"
set -u
IO=/io
OUT=/io/out
LOG=/run/e2e/log
E2E=/run/e2e
BLDIR=/sys/class/backlight/backlight
BL=$BLDIR/brightness
DPY=:0.0
DROPIN=/etc/systemd/system/tavrin.service.d/xauthority.conf
KIOSK=/home/kiosk
PROM=/var/lib/prometheus/node-exporter/tavrin.prom
TPID=
# Which panel this boot is (run-e2e.sh's boot_panel): virtio runs every
# scenario, cirrus one blanking on a 16 bpp DRM framebuffer.
read -r PANEL <"$IO/panel" || PANEL=virtio
# How the panel starts X, and the cookie that the test itself and the
# admin's drop-in use: lightdm's on virtio, the one that startx leaves in
# the kiosk's home (which root reads, with every capability) on arm64, the
# test's own display manager's elsewhere.
case $PANEL in
    virtio) COOKIE=/var/run/lightdm/root/:0 ;;
    arm64) COOKIE=$KIOSK/.Xauthority ;;
    *) COOKIE=/run/panel-x/cookie ;;
esac

# Times are wall-clock seconds from bash itself, the clock the stand-ins in the
# sandbox can read too.
ev() { echo "$EPOCHREALTIME $*" >>"$LOG/events.log"; echo "e2e: $EPOCHREALTIME $*"; }

finish() {
    ev "finish $1"
    : >"$E2E/stop-poll"
    sleep 0.5
    journalctl -u tavrin -o json >"$LOG/journal.json" 2>&1
    journalctl -b -o short-monotonic >"$LOG/journal-all.txt" 2>&1
    cp /var/log/Xorg.0.log "$LOG/" 2>/dev/null
    cp -r "$LOG/." "$OUT/" 2>/dev/null
    echo "$1" >"$OUT/result"
    sync
    exit 0
}

# nap SECONDS: a sleep without a process. Under emulation every fork and exec
# costs the host milliseconds, and the waits and the sampler below would pay
# that several times a second on each panel. Nothing ever writes to the FIFO.
nap() { read -r -t "$1" -u "$NAP" _ || :; }

# wait_for SECONDS COMMAND...: COMMAND succeeds within SECONDS.
wait_for() {
    local n=0 limit=$(($1 * 5))
    shift
    until "$@"; do
        [ $n -lt $limit ] || return 1
        nap 0.2
        n=$((n + 1))
    done
}

X() { XAUTHORITY=$COOKIE /usr/bin/xset -display "$DPY" "$@" >>"$LOG/init-xset.log" 2>&1; }
x_answers() { XAUTHORITY=$COOKIE /usr/bin/xset -display "$DPY" q >/dev/null 2>&1; }

# tavrin-check as root with the cookie, as the unit runs tavrin; its PATH
# leaves out the stand-ins, whose log is the watcher's alone.
run_check() {
    XAUTHORITY=$COOKIE PATH=/usr/sbin:/usr/bin:/sbin:/bin timeout 60 tavrin-check >"$LOG/check-$1.txt" 2>&1
    echo "exit $?" >>"$LOG/check-$1.txt"
}

# report_record NAME: what the report says happened, in the form the node
# exporter collects, run by hand as root as the README says; beside it the
# recorder's own line, the clocks that read it (seconds since boot, then the
# wall clock) and the installed version.
report_record() {
    local t0 up rec=none
    t0=$EPOCHREALTIME
    XAUTHORITY=$COOKIE PATH=/usr/sbin:/usr/bin:/sbin:/bin timeout 60 tavrin-check --prometheus \
        >"$LOG/report-$1.prom" 2>"$LOG/report-$1.err"
    echo "exit $?" >>"$LOG/report-$1.err"
    read -r up _ </proc/uptime
    {
        echo "checked $t0 $EPOCHREALTIME"
        echo "clock $up $EPOCHREALTIME"
        read -r rec 2>/dev/null </run/tavrin/backlight
        echo "record $rec"
        echo "version $(dpkg-query -W -f='${Version}' tavrin)"
    } >"$LOG/report-$1.txt"
}

# clock_to_2038, clock_back: the wall clock set past 2^31 s for one blanking,
# then to where it would be by now, from the time since boot, which does not
# move with it. clock.txt holds both clocks around each step, for check.py
# to take the steps out of the records' wall times.
clock_mark() { local up; read -r up _ </proc/uptime; echo "$1 $up $EPOCHREALTIME" >>"$LOG/clock.txt"; }
clock_to_2038() {
    clock_mark from
    date -u -s '2038-02-01 12:00:00' >/dev/null
    clock_mark to
    ev clock-2038
}
clock_back() {
    local from_up from_wall up us
    read -r _ from_up from_wall <"$LOG/clock.txt"
    read -r up _ </proc/uptime
    # /proc/uptime has hundredths, EPOCHREALTIME millionths; date's own
    # start-up, under emulation some 0.15 s, leaves the clock that much behind.
    us=$((10#${from_wall/./} + (10#${up/./} - 10#${from_up/./}) * 10000))
    date -u -s "@$((us / 1000000)).$(printf %06d $((us % 1000000)))" >/dev/null
    clock_mark back
    ev clock-back
}

# new_main_pid OLD: tavrin.service has a main process, not OLD, and it runs
# tavrin: systemd's executor sets up the sandbox in that process first. The
# main process is the one in the unit's cgroup that systemd itself started;
# found with builtins alone, for the reason nap gives, while the unit starts.
new_main_pid() {
    local pid st
    while read -r pid; do
        read -r st 2>/dev/null <"/proc/$pid/stat" || continue
        st=${st##*) } && st=${st#* }
        [ "${st%% *}" = 1 ] && [ "$pid" != "$1" ] && [ "/proc/$pid/exe" -ef /usr/bin/tavrin ] &&
            TPID=$pid && return 0
    done 2>/dev/null </sys/fs/cgroup/system.slice/tavrin.service/cgroup.procs
    return 1
}
watcher_idle() { local k=; read -r k <"/proc/$TPID/task/$TPID/children"; [ -z "$k" ]; }
unit_idle() { ! systemctl list-jobs --no-legend | grep -q tavrin.service; }
# Records the watcher's pid for the sampler, once systemd has started it.
follow_tavrin() {
    wait_for 20 new_main_pid "${1:-0}" || return 1
    echo "$TPID" >"$E2E/tavrin.pid"
}

# Samples the watcher's process without forking, so sampling does not perturb it.
poll() {
    local t b a st nfd nfb kids kl k ks l pid=
    while [ ! -e "$E2E/stop-poll" ]; do
        t=$EPOCHREALTIME
        read -r pid <"$E2E/tavrin.pid"
        b='' a=''
        read -r b <"$BL" || :
        read -r a <"$BLDIR/actual_brightness" || :
        if read -r st 2>/dev/null <"/proc/$pid/stat"; then
            st=${st##*) }
            st=${st%% *}
            set -- /proc/"$pid"/fd/*
            nfd=$#
            nfb=0
            while read -r l; do
                case $l in */dev/fb0) nfb=$((nfb + 1)) ;; esac
            done <"/proc/$pid/maps"
            kids=
            kl=
            read -r kl 2>/dev/null <"/proc/$pid/task/$pid/children" || :
            for k in $kl; do
                ks=
                read -r ks 2>/dev/null <"/proc/$k/stat" || :
                ks=${ks##*) }
                kids="$kids $k:${ks%% *}"
            done
        else
            st=gone nfd=0 nfb=0 kids=
        fi
        echo "$t $b $a $st $nfd $nfb$kids" >>"$LOG/poll.log"
        nap 0.3
    done
}

# Answers the stand-in's request before DPMS is forced off: what /dev/fb0 holds
# and what QEMU shows (vm.py answers shot-ID.req with shot-ID.ppm, shot-ID.done).
shots() {
    local id n
    while read -r id; do
        cat /dev/fb0 >"$OUT/fb-$id.raw" 2>/dev/null
        : >"$OUT/shot-$id.req"
        n=0
        while [ ! -e "$OUT/shot-$id.done" ] && [ $n -lt 100 ]; do nap 0.1; n=$((n + 1)); done
        : >"$E2E/shot-$id.done"
    done <"$E2E/shots.fifo"
}

calls() { wc -l <"$LOG/calls.log"; }

# wait_readings MARK COUNT READING SECONDS: the watcher's queries since line MARK
# of the call log gave READING at least COUNT times. The log is read by bash
# alone, for the reason nap gives.
readings_seen() {
    local calls call n=0
    mapfile -t -s "$1" calls <"$LOG/calls.log"
    for call in "${calls[@]}"; do [[ $call != *" $3 xset -display :0.0 q" ]] || n=$((n + 1)); done
    [ "$n" -ge "$2" ]
}
wait_readings() { wait_for "$4" readings_seen "$1" "$2" "$3"; }

# wait_sequence MARK SECONDS: a repaint call appeared since MARK and the
# backlight is back at 8, i.e. a blanking sequence has run to its end.
sequence_done() {
    local calls b=
    mapfile -t -s "$1" calls <"$LOG/calls.log"
    [[ " ${calls[*]} " == *" xrefresh "* ]] || return 1
    read -r b <"$BL"
    [ "$b" = 8 ]
}
wait_sequence() { wait_for "$2" sequence_done "$1"; }

# blank_by_x SECONDS NAME: the X server switches the monitor off by itself
# after SECONDS idle, once the watcher has read it on twice; the scenario
# NAME ends a few quiet cycles later.
blank_by_x() {
    local m
    m=$(calls)
    wait_readings "$m" 2 On 20 || finish "$2: no 'Monitor is On' reading"
    m=$(calls)
    ev "$2-dpms-timeout $1"
    X dpms 0 0 "$1"
    X s reset
    wait_sequence "$m" 40 || finish "$2: no blanking sequence ran to its end"
    # The two readings after the sequence that the checks look at, however
    # slow the guest's cycles are.
    m=$(calls)
    wait_readings "$m" 2 Off 20 || finish "$2: no readings after the sequence"
    sleep 3
    ev "$2-end"
}

mkdir -p "$LOG" "$E2E"
mkfifo -m 600 "$E2E/nap.fifo"
exec {NAP}<>"$E2E/nap.fifo"
# A panel that its own scenario rebooted carries on with its first boot's records.
late=
[ ! -e /var/lib/e2e-rebooted ] || { cp -r "$OUT/." "$LOG/" && late=1; }
read -r up _ </proc/uptime
ev "runner-start uptime $up"
systemctl show -p ActiveEnterTimestampMonotonic --value multi-user.target >"$LOG/multi-user-usec.txt"

# The drivers that this boot held back probe now, after the watcher started;
# the udev rule restarts it into a sandbox that reaches both devices. The X
# server gave up at boot without a framebuffer.
if [ -n "$late" ]; then
    TPID=$(systemctl show -p MainPID --value tavrin)
    echo "before $(systemctl is-active tavrin) $TPID $(test -e /dev/fb0 && echo fb0) $(test -e "$BL" && echo backlight)" \
        >"$LOG/late.txt"
    rm /etc/modprobe.d/e2e-late.conf
    ev late-fb
    modprobe virtio_gpu && wait_for 30 test -e /dev/fb0 || finish "late: no /dev/fb0"
    ev late-backlight
    modprobe pwm_bl && wait_for 30 test -e "$BL" || finish "late: no backlight"
    # Both restarts queued by udev, and done.
    udevadm settle
    wait_for 30 unit_idle || finish "late: the watcher's restarts never ended"
    follow_tavrin "$TPID" || finish "late: the watcher was not restarted"
    echo "after $TPID $(cat /var/lib/systemd/backlight/*backlight* 2>/dev/null)" >>"$LOG/late.txt"
    systemctl reset-failed display-manager.service
    systemctl start display-manager.service
fi

# Drivers probe when they will, on some boots well after multi-user.target.
wait_for 90 test -e /dev/fb0 || finish "no /dev/fb0"
wait_for 90 test -e "$BL" || finish "no backlight class device"
for d in /sys/class/graphics/fb0 "$BLDIR"; do
    udevadm info -q property -p "$d" | sed -n "s|^USEC_INITIALIZED=|$d $(cat "$LOG/multi-user-usec.txt") |p"
done >>"$LOG/device-usec.txt"
# Without a text console on fb0 nothing but X and the watcher paints it.
for v in /sys/class/vtconsole/vtcon*; do
    grep -q "frame buffer" "$v/name" 2>/dev/null && echo 0 >"$v/bind"
done
# Virtual size, depth, and the visible mode ("U:1024x768p-0").
cat /sys/class/graphics/fb0/virtual_size /sys/class/graphics/fb0/bits_per_pixel \
    /sys/class/graphics/fb0/modes >"$LOG/fb-geometry.txt"

# The kernel's backlight class device, reached through sysfs's own symlink.
{
    readlink "$BLDIR"
    cat "$BLDIR/max_brightness"
    echo 9 >"$BL" 2>/dev/null && echo "accepted 9" || echo "refused 9"
} >"$LOG/backlight.txt"
# A level the watcher never writes, so any write shows.
echo 5 >"$BL"

# use_lightdm: the release's lightdm takes the test display manager's place,
# as dpkg-reconfigure would make it the panel's, and logs the kiosk in.
use_lightdm() {
    systemctl stop display-manager.service
    rm /etc/systemd/system/lightdm.service
    ln -sfn /usr/lib/systemd/system/lightdm.service /etc/systemd/system/display-manager.service
    systemctl daemon-reload
    systemctl start display-manager.service
}
# use_kiosk_session: no display manager; getty logs the kiosk in on the
# first console, whose ~/.bash_profile runs startx.
use_kiosk_session() {
    systemctl stop display-manager.service
    mkdir -p /etc/systemd/system/getty@tty1.service.d
    printf '[Service]\nExecStart=\nExecStart=-/sbin/agetty -o "-p -f -- \\\\u" --noclear --autologin kiosk %%I $TERM\n' \
        >/etc/systemd/system/getty@tty1.service.d/autologin.conf
    systemctl daemon-reload
    systemctl restart getty@tty1.service
}
# x_pid: the X server on :0, from its lock file.
x_pid() { local p; read -r p </tmp/.X0-lock && echo "$p"; }
# record_x NAME: who runs the X server and with which cookie; the cookie
# itself, to tell one server's from the next.
record_x() {
    local p auth
    p=$(x_pid)
    { echo "pid $p"; echo "$(stat -c %U "/proc/$p") $(tr '\0' ' ' <"/proc/$p/cmdline")"; } >"$LOG/x-$1.txt"
    auth=$(tr '\0' '\n' <"/proc/$p/cmdline" | sed -n '/^-auth$/{n;p}')
    [ -z "$auth" ] || stat -c 'auth %n %U %a' "$auth" >>"$LOG/x-$1.txt"
    [ -z "$auth" ] || echo "cookie $(xauth -f "$auth" list | sed 's/.* //')" >>"$LOG/x-$1.txt"
}

case $PANEL in
    virtio) use_lightdm ;;
    arm64) use_kiosk_session ;;
esac
ev x-start
[ "$PANEL" = arm64 ] || systemctl is-active display-manager.service >"$LOG/display-manager.txt"
wait_for 90 x_answers || finish "the panel's X server does not answer"
record_x boot
/usr/bin/xset -display "$DPY" q >"$LOG/xset-without-cookie.txt" 2>&1
echo "exit $?" >>"$LOG/xset-without-cookie.txt"
X s off
X +dpms
X dpms 0 0 0
ev x-up

# Calls and tool output reach the log through FIFOs that the stand-ins can open
# from inside the sandbox; the extra writer on each keeps its reader from ever
# seeing an end of file between calls.
for f in calls tools shots; do mkfifo -m 600 "$E2E/$f.fifo"; done
: >"$LOG/calls.log"
: >"$LOG/tools-out.log"
exec 5<>"$E2E/calls.fifo" 6<>"$E2E/tools.fifo" 7<>"$E2E/shots.fifo"
cat <&5 >>"$LOG/calls.log" &
cat <&6 >>"$LOG/tools-out.log" &
shots &
install -m 755 "$IO/wrap.sh" /usr/local/bin/xset
install -m 755 "$IO/wrap.sh" /usr/local/bin/xrefresh

# What the README tells an admin to do, the equivalent of `systemctl edit tavrin`.
add_dropin() {
    mkdir -p "${DROPIN%/*}"
    printf '[Service]\nEnvironment=XAUTHORITY=%s\n' "$COOKIE" >"$DROPIN"
}

# install_package DEB [COMMAND]: the package as a panel gets it, with dpkg -i
# unless told otherwise; its postinst enables and starts the unit.
install_package() {
    ev dpkg-install
    # shellcheck disable=SC2086 # COMMAND is words
    ${2:-dpkg -i} "$1" >"$LOG/dpkg-install.log" 2>&1 || finish "${2:-dpkg -i} of the package failed"
    {
        systemctl is-enabled tavrin
        systemctl is-active tavrin
    } >"$LOG/after-install.txt"
    echo "$(systemctl is-enabled tavrin-check.timer) $(systemctl is-active tavrin-check.timer)" >"$LOG/timer-after-install.txt"
    dpkg -L tavrin >"$LOG/package-files.txt"
    follow_tavrin || finish "tavrin.service has no main process after dpkg -i"
}

# How the panel ends: DPMS, the backlight, and whether systemd ever had to
# bring the watcher back.
record_end() {
    systemctl show -p NRestarts -p ExecMainCode -p ExecMainStatus tavrin >"$LOG/restarts-at-end.txt"
    XAUTHORITY=$COOKIE /usr/bin/xset -display "$DPY" q >"$LOG/final-xset-q.txt" 2>&1
    read -r b <"$BL"
    read -r a <"$BLDIR/actual_brightness"
    echo "$b $a" >"$LOG/final-brightness.txt"
    : >"$E2E/stop-poll"
    ev poll-end
}

# read_core: the watcher aborted; its core, handed over by the kernel's pipe
# (the sandbox would keep a core file from being written), read with gdb
# without and then with the debug symbols package of the running build.
read_core() {
    local old=$TPID pattern
    read -r pattern </proc/sys/kernel/core_pattern
    printf '#!/bin/sh\ncat >%s/core.part && mv %s/core.part %s/core.$1\n' "$E2E" "$E2E" "$E2E" \
        >/usr/local/sbin/e2e-save-core
    chmod 755 /usr/local/sbin/e2e-save-core
    echo "|/usr/local/sbin/e2e-save-core %p" >/proc/sys/kernel/core_pattern
    # Between cycles, in nanosleep: gdb cannot always unwind trixie's armhf
    # libc from inside the waits of system() and pclose().
    wait_for 10 watcher_idle
    ev "s6-abort $old"
    systemctl kill --kill-who=main -s SIGABRT tavrin
    wait_for 30 test -e "$E2E/core.$old" || finish "s6: no core of the aborted watcher"
    follow_tavrin "$old" || finish "s6: tavrin.service did not restart after SIGABRT"
    ev "s6-back $TPID"
    echo "$pattern" >/proc/sys/kernel/core_pattern
    gdb -nx -batch -ex bt /usr/bin/tavrin "$E2E/core.$old" >"$LOG/core-bt-stripped.txt" 2>&1
    dpkg -i "$IO/tavrin-dbgsym.ddeb" >"$LOG/dpkg-dbgsym.log" 2>&1 || finish "s6: dpkg -i of the symbols failed"
    gdb -nx -batch -ex bt /usr/bin/tavrin "$E2E/core.$old" >"$LOG/core-bt.txt" 2>&1
    echo "gdb-exit $?" >>"$LOG/core-bt.txt"
    ev s6-read
    rm -f "$E2E/core.$old"
    dpkg -r tavrin-dbgsym >>"$LOG/dpkg-dbgsym.log" 2>&1 || finish "s6: dpkg -r of the symbols failed"
}

# lifecycle: the package's life cycle as the admin sees it: install over a
# disabled unit, remove, purge.
lifecycle() {
    systemctl disable tavrin 2>&1
    dpkg -i "$IO/tavrin.deb" >>"$LOG/dpkg-install.log" 2>&1
    echo "reinstall-disabled $(systemctl is-enabled tavrin)"
    # The check's report in place, as the timer leaves it on a panel with the
    # node exporter, and the file that a run which crashed leaves beside it.
    # The exporter's directory is the test's own here: the panel's earlier
    # scenarios may have removed it.
    mkdir -p "${PROM%/*}"
    ev lifecycle-check-start >/dev/null
    systemctl start tavrin-check.service
    ev lifecycle-check-end >/dev/null
    : >"$PROM.tmp"
    exported before
    ev dpkg-remove >/dev/null
    dpkg -r tavrin >"$LOG/dpkg-remove.log" 2>&1
    echo "remove-exit $?"
    echo "remove-active $(systemctl is-active tavrin)"
    echo "remove-procs $(wc -l 2>/dev/null </sys/fs/cgroup/system.slice/tavrin.service/cgroup.procs || echo 0)"
    # The package has no conffiles: removing it leaves none of its files.
    files_left remove
    exported remove
    dpkg -P tavrin >>"$LOG/dpkg-remove.log" 2>&1
    echo "purge-exit $?"
    files_left purge
    exported purge
    # The enablement state of both units, kept by systemctl and deb-systemd-helper.
    for f in /etc/systemd/system/*.wants/tavrin* /var/lib/systemd/deb-systemd-helper-*/tavrin* \
        /var/lib/systemd/deb-systemd-helper-*/*.wants/tavrin*; do
        [ -e "$f" ] || [ -L "$f" ] && echo "purge-left $f"
    done
    echo "end"
}
# What the exporter's directory holds (it is not the package's, and stays),
# and whether the backlight's record is there.
exported() {
    local f
    f=$(ls -A "${PROM%/*}" 2>&1 | paste -sd' ' -)
    echo "exporter-$1 ${f:-empty}"
    echo "record-$1 $(test -e /run/tavrin && echo present || echo gone)"
}
files_left() { while read -r f; do [ -d "$f" ] || [ ! -e "$f" ] || echo "$1-left $f"; done <"$LOG/package-files.txt"; }

# hold_sequence NAME: a sequence that the stand-in holds at step 2, as a slow
# X server would, the backlight already at 0.
level_is() { local b=; read -r b <"$BL"; [ "$b" = "$1" ]; }
hold_sequence() {
    local m
    : >"$E2E/hold"
    X dpms 0 0 0
    X dpms force on
    m=$(calls)
    wait_readings "$m" 2 On 20 || finish "$1: no 'Monitor is On' reading"
    X dpms force off
    wait_for 20 level_is 0 && wait_for 10 pgrep -f "dpms force on" >/dev/null ||
        finish "$1: no sequence held at step 2"
}

# stop_at held|rest ACTION: the watcher stopped, restarted or killed while a
# sequence is held, or at rest at a level it never writes; then the level
# before and after, the monitor, and how many of the old processes live on.
stop_at() {
    local old=$TPID held= before after left=0 p
    if [ "$1" = held ]; then hold_sequence "$2"; held=$(pgrep -f "dpms force on"); else echo 5 >"$BL"; fi
    read -r before <"$BL"
    ev "$2-$1"
    if [ "$2" = kill ]; then systemctl kill -s SIGKILL tavrin; else systemctl "$2" tavrin; fi
    [ "$2" = stop ] || follow_tavrin "$old" || finish "$2: no new watcher"
    wait_for 30 unit_idle
    for p in $old $held; do kill -0 "$p" 2>/dev/null && left=$((left + 1)); done
    [ "$2" != stop ] || left=$((left + $(cat /sys/fs/cgroup/system.slice/tavrin.service/cgroup.procs 2>/dev/null | wc -l)))
    rm -f "$E2E/hold"
    read -r after <"$BL"
    echo "$2 $1 $before $after $(XAUTHORITY=$COOKIE /usr/bin/xset -display "$DPY" q | grep -o 'Monitor is [A-Za-z]*') $left" \
        >>"$LOG/stops.txt"
}

# check_unit_by_hand: the timer's service started by hand with the node
# exporter's directory there; the directory goes again, so that the timer's
# own runs during the test do nothing.
check_unit_by_hand() {
    mkdir -p "${PROM%/*}"
    ev check-unit-start
    systemctl start tavrin-check.service
    ev check-unit-end
    {
        systemctl show -p Result -p Environment tavrin-check
        stat -c 'mode %a %U' "$PROM"
        ls "${PROM%/*}"
        cat "$PROM"
    } >"$LOG/check-unit.txt" 2>&1
    rm -rf "${PROM%/*}"
}

# let_root_in: startx gives its X server a cookie file of its own in /tmp
# and the session's clients a copy in ~/.Xauthority, both the kiosk's, mode
# 0600, which the watcher, root without capabilities, cannot read: every
# query is refused, and tavrin-check is asked as an admin would run it.
# Then the README's step: the session's start-up file lets root in by its
# uid, and the session starts again.
let_root_in() {
    local m old
    m=$(calls)
    ev kiosk-refused
    wait_readings "$m" 3 none 30 || finish "kiosk: the watcher's queries were not refused"
    run_check kiosk-refused
    old=$(x_pid)
    ev kiosk-xhost
    printf '%s\n' 'xhost +si:localuser:root' 'exec /usr/local/bin/kiosk' >"$KIOSK/.xinitrc"
    loginctl terminate-user kiosk
    wait_for 90 x_replaced "$old" && wait_for 40 x_answers || finish "kiosk: no new X server after the session ended"
    record_x xhost
    ev kiosk-back
    X s off
    X +dpms
    X dpms 0 0 0
}
x_replaced() { local p; p=$(x_pid 2>/dev/null) && [ "$p" != "$1" ]; }

# The short boots: one blanking by X. Behind the test's own display manager,
# the admin's drop-in is in place before the package, so the unit's first
# start already has the cookie; the kiosk's own session needs none.
if [ "$PANEL" != virtio ]; then
    # As an admin installs a downloaded package: apt checks its dependencies.
    installer="apt install -y"
    if [ "$PANEL" = cirrus ]; then
        # With no VGA BIOS to set it up, the emulated card stays in monochrome
        # mode, where it ignores the driver's CRTC writes, and QEMU shows an 8x1
        # screen; the colour bit that the BIOS sets at power-on (Miscellaneous
        # Output register, port 0x3c2) lets the next mode set through, which
        # DPMS forced on does.
        printf '\147' | dd of=/dev/port bs=1 seek=$((0x3c2)) count=1 conv=notrunc 2>/dev/null ||
            finish "cannot set the emulated card's colour mode"
        installer="dpkg -i"
    fi
    if [ -z "$late" ]; then
        [ "$PANEL" = arm64 ] || add_dropin
        install_package "$IO/tavrin.deb" "$installer"
        # Rebooted in the middle of a sequence, with the drivers held back
        # until the watcher has started.
        if [ "$PANEL" = armhf64 ]; then
            hold_sequence reboot
            printf 'blacklist virtio_gpu\nblacklist pwm_bl\n' >/etc/modprobe.d/e2e-late.conf
            : >/var/lib/e2e-rebooted
            # The unit finishes the sequence at shutdown through the real X
            # tools: the stand-ins' readers end before it.
            rm /usr/local/bin/xset /usr/local/bin/xrefresh
            ev reboot
            cp -r "$LOG/." "$OUT/"
            : >"$OUT/rebooting"
            sync
            systemctl reboot
            exec sleep 600
        fi
    fi
    systemd-analyze security --no-pager tavrin.service >"$LOG/security.txt" 2>&1
    poll &
    [ "$PANEL" != arm64 ] || let_root_in
    ev "tavrin-start $TPID"
    # The arm64 panels are the healthy virtio panel on another architecture.
    run_check "${PANEL/*64/healthy}"
    [ "$PANEL" != arm64 ] || check_unit_by_hand
    # What the report says happened, before the blanking and after it; on the
    # armhf panel with a 64-bit time_t userland, with the clock past 2038.
    # (bookworm's own systemd-journald and systemd-udevd abort there, and its
    # shell and X tools fail with EOVERFLOW, so the cirrus panel cannot.)
    [ "$PANEL" = arm64 ] || report_record before
    [ "$PANEL" != armhf64 ] || clock_to_2038
    blank_by_x 5 "$PANEL"
    [ "$PANEL" = arm64 ] || report_record after
    if [ "$PANEL" = armhf64 ]; then
        run_check 2038
        clock_back
    fi
    record_end
    if [ "$PANEL" = arm64 ]; then
        # The backlight's driver bound again while the watcher runs: a new
        # class device, which the udev rule restarts the watcher for.
        ev rebind
        dev=$(readlink -f "$BLDIR/device") drv=$(readlink -f "$BLDIR/device/driver")
        echo "${dev##*/}" >"$drv/unbind" && echo "${dev##*/}" >"$drv/bind" || finish "rebind: cannot bind again"
        udevadm settle
        wait_for 30 unit_idle && follow_tavrin "$TPID" || finish "rebind: the watcher was not restarted"
        echo 5 >"$BL"
        X dpms 0 0 0
        X dpms force on
        blank_by_x 5 rebind
        ev stops
        stop_at held stop
        run_check stopped
        # An X server that accepts connections and never answers.
        xpid=$(x_pid)
        kill -STOP "$xpid"
        ev x-hung
        run_check x-hung
        ev x-hung-end
        kill -CONT "$xpid"
        systemctl start tavrin && follow_tavrin || finish "the watcher did not start again"
        stop_at held restart
        stop_at held kill
        stop_at rest stop
        systemctl start tavrin && follow_tavrin || finish "the watcher did not start again"
        read_core
        lifecycle >"$LOG/lifecycle.txt" 2>&1
    fi
    finish "done"
fi

# The version before the one under test: the upgrade comes after scenario 4.
install_package "$IO/tavrin-older.deb"
ev "tavrin-start-refused $TPID"
# Without the cookie the X server refuses every query: the journal's worst case.
sleep 30
ev refused-end

add_dropin
systemctl daemon-reload
systemctl restart tavrin
follow_tavrin "$TPID" || finish "tavrin.service did not come back after the drop-in"
ev "tavrin-start $TPID"
poll &

# What tavrin-check makes of the healthy panel, and of X's time-outs all 0.
X dpms 0 0 600
run_check healthy
XAUTHORITY=$COOKIE PATH=/usr/sbin:/usr/bin:/sbin:/bin tavrin-check --json >"$LOG/check-healthy.json" 2>"$LOG/check-healthy-json.err"

# The timer's service by hand: nothing without the exporter's directory;
# with it, and the cookie's drop-in linked as the README says, the report.
systemctl start tavrin-check.service
echo "condition $(systemctl show -p ConditionResult --value tavrin-check) $(test -e "${PROM%/*}" && echo made || echo absent)" >"$LOG/check-unit-absent.txt"
mkdir -p /etc/systemd/system/tavrin-check.service.d
ln -s ../tavrin.service.d/xauthority.conf /etc/systemd/system/tavrin-check.service.d/
systemctl daemon-reload
check_unit_by_hand
X dpms 0 0 0
run_check no-timeouts

# 1: the X server blanks by itself.
blank_by_x 5 s1

# 2: the X server goes away right after an "on" reading.
ev s2-wake
# X's own time-out off first: on a loaded host two of the watcher's cycles
# can outlast it, and X would blank again before the two "on" readings.
X dpms 0 0 0
X dpms force on
m=$(calls)
wait_readings "$m" 2 On 20 || finish "s2: no 'Monitor is On' reading after waking"
ev s2-x-kill
systemctl stop display-manager.service
ev s2-x-killed
# Whatever X left on the panel is replaced by black, so a white panel later can
# only come from the watcher.
cat /dev/zero >/dev/fb0 2>/dev/null
ev s2-fb-black
wait_sequence "$m" 30 || finish "s2: no blanking sequence after the X server went away"
run_check no-x
sleep 3
ev s2-end

# 3: the display manager starts a new X server, with a new cookie at the
# same path, which blanks by itself.
ev s3-x-restart
systemctl start display-manager.service
wait_for 40 x_answers || finish "s3: the new X server does not answer"
record_x s3
X s off
X dpms 0 0 0
blank_by_x 4 s3

# 4: the watcher killed outright comes back through Restart=always.
ev "s4-kill $TPID"
systemctl kill -s SIGKILL tavrin
follow_tavrin "$TPID" || finish "s4: tavrin.service did not restart after SIGKILL"
ev "s4-back $TPID"
systemctl show -p ExecMainStartTimestamp -p NRestarts tavrin >"$LOG/restart.txt"
X dpms 0 0 0
X dpms force on
blank_by_x 4 s4

# replace_package NAME DEB: DEB installed over the running watcher, as an
# upgrade through apt does it; records what an admin would look at then.
replace_package() {
    local old=$TPID old_inode
    old_inode=$(stat -c %i /usr/bin/tavrin)
    ev "$1-start $old"
    dpkg -i "$2" >"$LOG/dpkg-$1.log" 2>&1 || finish "$1: dpkg -i failed"
    ev "$1-done"
    follow_tavrin "$old" || finish "$1: tavrin.service has no new main process"
    ev "$1-back $TPID"
    {
        echo "expected $(dpkg-deb --field "$2" Version)"
        echo "version $(dpkg-query -W -f='${Version}' tavrin)"
        echo "check-version $(tavrin-check --version)"
        echo "pids $old $TPID"
        echo "exe $(readlink "/proc/$TPID/exe")"
        echo "inodes $old_inode $(stat -L -c %i "/proc/$TPID/exe") $(stat -c %i /usr/bin/tavrin)"
        echo "enabled $(systemctl is-enabled tavrin)"
        echo "active $(systemctl is-active tavrin)"
        echo "environ $(tr '\0' '\n' <"/proc/$TPID/environ" | grep '^XAUTHORITY=')"
        systemctl show -p DropInPaths -p InactiveEnterTimestampMonotonic \
            -p ActiveEnterTimestampMonotonic tavrin
    } >"$LOG/$1.txt" 2>&1
}

# 5: the package under test over the older one, the drop-in in place; the X
# server blanks by itself under the new watcher. Scenario 4's record ends
# here, so it first gets the two readings after its sequence that a slow
# guest may not have made yet.
m=$(calls)
wait_readings "$m" 2 Off 20 || finish "s5: no readings after scenario 4's sequence"
replace_package upgrade "$IO/tavrin.deb"
systemd-analyze security --no-pager tavrin.service >"$LOG/security.txt" 2>&1
X dpms 0 0 0
X dpms force on
blank_by_x 4 s5

# 6: a core of the new watcher, read on the panel; then back to the older
# package.
read_core
replace_package downgrade "$IO/tavrin-older.deb"
sleep 2
ev s6-end

record_end
lifecycle >"$LOG/lifecycle.txt" 2>&1
finish "done"
