#!/usr/bin/env python3
"""Judges the records of one test VM run (the guest's /io/out directory).

Prints a timeline and the measurements, then one line per failed check.
Exit status 0 when every check passed.
"""
import collections
import json
import os
import re
import sys

Q = "xset -display :0.0 q"
SEQUENCE = [
    "xset -display :0.0 dpms force on",
    "xset -display :0.0 dpms force off",
    "xrefresh -display :0.0 -black",
]
ZERO, EIGHT = "0", "8"  # backlight levels as the kernel reads them back
# Journal entries about the unit that the watcher's streams did not write.
SYSTEMD_OWN = {"systemd", "systemd-journald"}
# How each panel starts X: the X server's -auth (startx's is a fresh mktemp
# name) and the owner of that file. The X server runs as root on all of them.
X_SETUPS = {
    "virtio": ("/var/run/lightdm/root/:0", "root"),  # lightdm
    "arm64": ("/tmp/serverauth.", "kiosk"),  # the kiosk's own startx
}
PANEL_X = ("/run/panel-x/cookie", "root")  # the test's own display manager


# Wall times from 2^31 s on: the armhf64 panel's clock was set past 2038 for
# one blanking and then back.
Y2038 = 2**31


def clock_steps(run):
    """Takes the clock's step to 2038 out of a wall time: clock.txt holds the
    time since boot and the wall clock around each step."""
    marks = {}
    for line in run.text("clock.txt", "").splitlines():
        f = line.split()
        if len(f) == 3:
            marks[f[0]] = float(f[2]) - float(f[1])
    if "from" not in marks or "to" not in marks:
        return lambda t: t
    step = marks["to"] - marks["from"]
    return lambda t: t - step if t >= Y2038 else t


class Call:
    def __init__(self, line, origin, wall=lambda t: t):
        f = line.split(" ", 8)
        # As the guest's clock read them, for what the guest itself compares.
        self.raw0, self.raw1 = float(f[0]), float(f[1])
        self.t0, self.t1 = wall(float(f[0])) - origin, wall(float(f[1])) - origin
        self.pid, self.bl, self.abl, self.rc, self.reading = f[2], f[3], f[4], int(f[5]), f[6]
        self.cmd = f[7] + " " + f[8]

    def __repr__(self):
        r = "" if self.reading == "-" else f" -> {self.reading}"
        return f"{self.t0:8.2f} {self.cmd}{r} (brightness {self.bl}/{self.abl}, rc {self.rc})"


class Run:
    def __init__(self, out):
        self.out = out
        self.failures = []

    def text(self, name, default=None):
        try:
            with open(os.path.join(self.out, name), errors="replace") as f:
                return f.read()
        except OSError:
            if default is None:
                self.fail(f"missing record {name}")
                return ""
            return default

    def fail(self, msg):
        self.failures.append(msg)

    def expect(self, ok, msg):
        if not ok:
            self.fail(msg)
        return ok


def ppm_mean(path):
    with open(path, "rb") as f:
        data = f.read()
    # P6 header: magic, width, height, maxval, one whitespace byte, then pixels.
    m = re.match(rb"P6\s+(?:#.*\s+)*(\d+)\s+(\d+)\s+(\d+)\s", data)
    if not m:
        raise ValueError("not a binary PPM")
    w, h = int(m.group(1)), int(m.group(2))
    pixels = data[m.end():m.end() + 3 * w * h]
    return w, h, sum(pixels) / len(pixels)


def check_sequence(run, name, calls, since, trigger_reading, x_alive, level_before):
    """One scenario: exactly one blanking sequence, one cycle after the first
    on-to-not-on reading that followed event time `since`."""
    blocks, i = [], 0
    while i < len(calls):
        if calls[i].cmd == Q:
            i += 1
            continue
        j = i
        while j < len(calls) and calls[j].cmd != Q:
            j += 1
        blocks.append((i, j))
        i = j
    if not run.expect(len(blocks) == 1, f"{name}: expected exactly one blanking sequence, saw "
                      f"{len(blocks)}: {[[c.cmd for c in calls[a:b]] for a, b in blocks]}"):
        return None
    a, b = blocks[0]
    seq = calls[a:b]
    run.expect([c.cmd for c in seq] == SEQUENCE,
               f"{name}: X commands of the sequence were {[c.cmd for c in seq]}, expected {SEQUENCE}")
    if not run.expect(a >= 3, f"{name}: sequence without the readings that should precede it"):
        return None
    was_on, trigger, last_query = calls[a - 3], calls[a - 2], calls[a - 1]
    run.expect(was_on.reading == "On" and trigger.reading == trigger_reading,
               f"{name}: readings before the sequence were {was_on.reading!r} then {trigger.reading!r}, "
               f"expected 'On' then {trigger_reading!r} and one more cycle")
    run.expect(trigger.t1 > since, f"{name}: the not-on reading came before the scenario made it happen")
    delay = seq[0].t0 - trigger.t0
    run.expect(delay >= 0.98, f"{name}: sequence started {delay:.2f} s after the not-on reading, "
               "without the one-second wait of a cycle")
    run.expect(all(c.bl == ZERO and c.abl == ZERO for c in seq),
               f"{name}: brightness/actual during the X commands was {[(c.bl, c.abl) for c in seq]}, "
               f"expected all {ZERO!r}")
    run.expect(last_query.bl == level_before,
               f"{name}: brightness before the sequence was {last_query.bl!r}, expected {level_before!r}")
    after = calls[b:]
    run.expect(len(after) >= 2 and after[0].bl == EIGHT and after[0].abl == EIGHT,
               f"{name}: after the sequence expected brightness and actual {EIGHT!r} and at least two "
               f"more queries, saw {after[:2]}")
    run.expect(all(c.reading != "On" for c in after),
               f"{name}: monitor read on again after the sequence: {[c for c in after if c.reading == 'On']}")
    if x_alive:
        run.expect(all(c.rc == 0 for c in seq), f"{name}: X commands failed: {seq}")
    else:
        run.expect(all(c.rc != 0 for c in seq), f"{name}: X commands succeeded without an X server: {seq}")

    # The panel just before DPMS is forced off, seen by QEMU and read back from /dev/fb0.
    offs = [c for c in seq if c.cmd == SEQUENCE[1]]
    if not run.expect(offs, f"{name}: DPMS never forced off"):
        return None
    off = offs[0]
    geo = run.text("fb-geometry.txt").split()
    xres_virtual = int(geo[0].split(",")[0])
    xres, yres = (int(v) for v in re.match(r"\w:(\d+)x(\d+)", geo[2]).groups())
    shot = os.path.join(run.out, f"shot-{off.pid}.ppm")
    mean = None
    try:
        w, h, mean = ppm_mean(shot)
        # The whole panel, not whatever mode the emulated card was left in.
        run.expect((w, h) == (xres, yres) and mean >= 250,
                   f"{name}: screenshot before DPMS off is not the white panel: mean {mean:.1f} ({w}x{h})")
    except (OSError, ValueError) as e:
        run.fail(f"{name}: no usable screenshot before DPMS off: {e}")
    length = (2 * yres * yres * int(geo[1]) % 2**32) // 8
    memory = None
    try:
        # Reading /dev/fb0 gives the driver's whole memory, and no more.
        with open(os.path.join(run.out, f"fb-{off.pid}.raw"), "rb") as f:
            fb = f.read()
        memory = len(fb)
        # The region, cut at the mapping and at the memory.
        painted = min(4 * yres * xres_virtual, length, memory)
        white = fb[:painted].count(0xFF)
        run.expect(painted > 0 and white == painted,
                   f"{name}: /dev/fb0 before DPMS off: {white} of the {painted} bytes to paint are 0xFF")
        print(f"{name}: /dev/fb0 before DPMS off: {fb.count(0xFF)} of its {memory} bytes white "
              f"(tavrin maps {length})")
    except OSError as e:
        run.fail(f"{name}: no framebuffer dump before DPMS off: {e}")
    return {"seq": seq, "trigger": trigger, "delay": delay, "mean": mean, "memory": memory, "after": after}


def journal(run, origin, wall):
    """The unit's journal entries: (time, identifier, pid, message)."""
    entries = []
    for line in run.text("journal.json").splitlines():
        try:
            e = json.loads(line)
        except ValueError:
            run.fail(f"journalctl printed something other than JSON: {line[:80]!r}")
            continue
        msg = e.get("MESSAGE", "")
        if isinstance(msg, list):  # journalctl's form for bytes that are not UTF-8
            msg = bytes(msg).decode(errors="replace")
        entries.append((wall(int(e["__REALTIME_TIMESTAMP"]) / 1e6) - origin,
                        e.get("SYSLOG_IDENTIFIER", ""), e.get("_PID", ""), msg))
    return entries


def x_record(run, name):
    """Who ran the X server, its pid, its cookie file and the cookie's value."""
    lines = run.text(f"x-{name}.txt").splitlines()
    rec = {"pid": None, "user": None, "args": "", "auth": [], "cookie": None}
    for l in lines:
        key, _, value = l.partition(" ")
        if key in ("pid", "cookie"):
            rec[key] = value
        elif key == "auth":
            rec["auth"] = value.split()
        elif rec["user"] is None:
            rec["user"], rec["args"] = key, value
    return rec


def check_x_server(run, panel, name):
    """The X server runs as root, on the panel's own cookie, owned as it
    should be and readable by its owner alone."""
    auth, owner = X_SETUPS.get(panel, PANEL_X)
    rec = x_record(run, name)
    print(f"X server ({name}): pid {rec['pid']}, user {rec['user']}, {rec['args']}; "
          f"cookie file {rec['auth']}, cookie {rec['cookie']}")
    run.expect(rec["user"] == "root" and f"-auth {auth}" in rec["args"],
               f"X server ({name}) not run as root with -auth {auth}: {rec}")
    run.expect(len(rec["auth"]) == 3 and rec["auth"][0].startswith(auth) and rec["auth"][1:] == [owner, "600"]
               and rec["cookie"], f"X server's cookie ({name}) is not {owner}'s, mode 600: {rec}")
    return rec


def check_setup(run, panel):
    """The panel as booted: real backlight, display manager, cookie, package."""
    usec = run.text("multi-user-usec.txt").strip()
    if run.expect(usec.isdigit(), f"no time for multi-user.target: {usec!r}"):
        print(f"multi-user.target reached {int(usec) / 1e6:.1f} s after the kernel started")
        for dev, reached, at in (l.split() for l in run.text("device-usec.txt").splitlines()):
            print(f"{dev} registered {(int(at) - int(reached)) / 1e6:+.1f} s after multi-user.target")
    bl = run.text("backlight.txt").split("\n")
    run.expect(len(bl) >= 3 and bl[0] == "../../devices/platform/backlight/backlight/backlight"
               and bl[1].isdigit() and int(bl[1]) >= 8 and bl[2] == "refused 9",
               f"backlight is not the kernel's pwm-backlight with max_brightness 8: {bl}")
    if panel != "arm64":
        run.expect(run.text("display-manager.txt").strip() == "active", "display-manager.service not active")
    check_x_server(run, panel, "boot")
    refused = run.text("xset-without-cookie.txt")
    run.expect("unable to open display" in refused and "exit 0" not in refused,
               "X server answered a client without its cookie:\n" + refused)
    run.expect(run.text("after-install.txt").split() == ["enabled", "active"],
               "after dpkg -i tavrin.service is not enabled and active: "
               + run.text("after-install.txt").replace("\n", " "))


def check_new_cookie(run):
    """lightdm stopped and started again: a new X server, with a new cookie
    at the same path, which the drop-in names."""
    boot, again = x_record(run, "boot"), check_x_server(run, "virtio", "s3")
    run.expect(boot["pid"] != again["pid"] and boot["auth"][:1] == again["auth"][:1] and
               boot["cookie"] and again["cookie"] and boot["cookie"] != again["cookie"],
               f"lightdm's second X server does not have a new cookie at the same path: {boot} then {again}")


def check_kiosk(run, calls, events, entries):
    """The kiosk's own X server, on a cookie in its files: the watcher's
    queries refused until the session lets root in, after which a new X
    server with a new cookie answers them."""
    a, b = events.get("dpkg-install"), events.get("kiosk-xhost")
    if not run.expect(a is not None and b is not None, "kiosk: no window before the README's step"):
        return
    refused = [c for c in calls if a < c.t0 < b]
    run.expect(len(refused) >= 3 and all(c.cmd == Q and c.reading == "none" and c.rc != 0 for c in refused),
               f"kiosk: the watcher's queries before the README's step were not all refused: {refused[:4]}")
    lines = [m for t, ident, _, m in entries if a <= t < b and ident not in SYSTEMD_OWN]
    print(f"kiosk before the README's step: {len(refused)} queries refused; journal: {lines[:2]}")
    run.expect(any("unable to open display" in m for m in lines),
               f"kiosk: the journal does not say the watcher could not open the display: {lines[:4]}")
    before, after = x_record(run, "boot"), check_x_server(run, "arm64", "xhost")
    run.expect(before["pid"] != after["pid"] and before["cookie"] != after["cookie"],
               f"kiosk: the session did not start a new X server with a new cookie: {before} then {after}")
    out = run.text("check-kiosk-refused.txt")
    print("tavrin-check by hand, kiosk's cookie unreadable to the watcher:\n" + out)
    # Run as root with every capability and the kiosk's cookie at hand, it
    # judges for the unit all the same.
    auth = before["auth"][:1] or ["?"]
    at = expect_cookie_line(run, "kiosk's cookie", out, f"FAIL  X cookie: {auth[0]}, the X server's, owner kiosk, "
                            "mode 0600: tavrin.service, as root without capabilities, cannot read it")
    lines = out.splitlines()
    fix = lines[at + 1] if at is not None and at + 1 < len(lines) else ""
    run.expect(fix.strip().startswith("fix:") and "xhost +si:localuser:root" in fix,
               f"tavrin-check, kiosk's cookie: no fix line with xhost +si:localuser:root: {fix!r}")
    run.expect("exit 1" in lines[-1:], f"tavrin-check, kiosk's cookie: expected exit 1:\n{out}")


def check_lifecycle(run):
    lines = run.text("lifecycle.txt").splitlines()
    print("Package life cycle:", "; ".join(lines))
    # The check's report and a crashed run's file are in place before dpkg -r
    # and gone after it; the exporter's directory is not the package's.
    expected = ["reinstall-disabled disabled", "exporter-before tavrin.prom tavrin.prom.tmp",
                "record-before present", "remove-exit 0", "remove-active inactive", "remove-procs 0",
                "exporter-remove empty", "record-remove gone", "purge-exit 0", "exporter-purge empty",
                "record-purge gone", "end"]
    run.expect([l for l in lines if l in expected] == expected and
               not [l for l in lines if l.startswith(("remove-left", "purge-left"))],
               f"package life cycle: expected {expected} and nothing left, saw {lines}")


def check_journal(run, entries, calls, events):
    """Nothing in the journal is the watcher's own, and its volume while the X
    server refuses every query."""
    own = collections.Counter(m for _, ident, _, m in entries if ident not in SYSTEMD_OWN)
    own.subtract(collections.Counter(run.text("tools-out.log").splitlines()))
    extra = [l for l, n in own.items() if n > 0]
    run.expect(not extra, f"the journal holds lines the X tools did not print: {extra[:5]}")
    # From the package's first query, which may come before dpkg -i returns.
    installed, b = events.get("dpkg-install"), events.get("refused-end")
    first = [c.t0 for c in calls if installed is not None and c.t0 > installed]
    if not run.expect(first and b is not None, "no window with the X server refusing"):
        return
    a = first[0]
    queries = [c for c in calls if c.cmd == Q and a <= c.t0 < b]
    run.expect(queries and all(c.reading == "none" and c.rc != 0 for c in queries),
               f"queries without the cookie did not all fail: {queries[:3]}")
    run.expect(all(c.cmd == Q for c in calls if a <= c.t0 < b), "a sequence ran while X refused")
    stamped = [(t, m) for t, ident, _, m in entries if a <= t < b and ident not in SYSTEMD_OWN]
    lines = [m for _, m in stamped]
    window = b - a
    last = f", the last {stamped[-1][0] - a:.1f} s in" if stamped else ""
    print(f"X refusing for {window:.1f} s: {len(queries)} queries, {len(lines)} journal lines{last}")
    # Each refused query prints two lines; the unit's rate limit lets only the
    # first of them through.
    run.expect(len(lines) < 2 * len(queries),
               f"journald dropped nothing: {len(lines)} lines for {len(queries)} refused queries")
    # journald keeps no empty lines.
    run.expect(lines[:2] == [m for m in run.text("tools-out.log").splitlines() if m][:2],
               f"the first lines of the outage did not reach the journal: {lines[:2]}")


def check_restart(run, calls, events):
    """systemd brings the watcher back after SIGKILL (Restart=always)."""
    kill = events.get("s4-kill")
    first = [c for c in calls if kill is not None and c.cmd == Q and c.t0 > kill]
    if run.expect(first, "no query after the watcher was killed"):
        delay = first[0].t0 - kill
        print(f"after SIGKILL the new watcher asked X again {delay:.2f} s later")
        # systemd first runs ExecStopPost= in the sandbox (2.5 s with four
        # panels side by side), then waits RestartSec=.
        run.expect(delay <= 10.0, f"the watcher came back {delay:.2f} s after SIGKILL")
    run.expect("NRestarts=1" in run.text("restart.txt"), "systemd did not count one restart:\n"
               + run.text("restart.txt"))


def check_replacement(run, name, calls, events, entries):
    """The package installed over the running watcher (upgrade or downgrade):
    one restart, into the new file, with the admin's drop-in and enablement."""
    rec = {}
    for line in run.text(f"{name}.txt").splitlines():
        key, _, value = line.partition("=" if line[:1].isupper() else " ")
        rec[key] = value
    print(f"{name}: " + "; ".join(f"{k} {v}" for k, v in rec.items()))
    expected = rec.get("expected", "?")
    run.expect(rec.get("version") == expected and rec.get("check-version") == f"tavrin-check {expected}",
               f"{name}: installed {rec.get('version')!r} ({rec.get('check-version')!r}), expected {expected!r}")
    pids = rec.get("pids", "").split()
    run.expect(len(pids) == 2 and pids[0] != pids[1], f"{name}: no new watcher: pids {pids}")
    inodes = rec.get("inodes", "").split()
    run.expect(rec.get("exe") == "/usr/bin/tavrin" and len(inodes) == 3 and inodes[1] == inodes[2] != inodes[0],
               f"{name}: the new watcher does not run the installed file: exe {rec.get('exe')!r}, "
               f"inodes (before, running, installed) {inodes}")
    run.expect(rec.get("enabled") == "enabled" and rec.get("active") == "active",
               f"{name}: unit {rec.get('enabled')!r}, {rec.get('active')!r}, expected enabled and active")
    run.expect(rec.get("environ") == "XAUTHORITY=" + X_SETUPS["virtio"][0] and
               "xauthority.conf" in rec.get("DropInPaths", ""),
               f"{name}: the admin's drop-in no longer applies: {rec.get('environ')!r}, {rec.get('DropInPaths')!r}")
    start, back = events.get(f"{name}-start"), events.get(f"{name}-back")
    if not run.expect(start is not None and back is not None, f"{name}: no events"):
        return []
    unit = [(t, m) for t, ident, _, m in entries if ident == "systemd" and start <= t <= back]
    started = [t for t, m in unit if m.startswith("Started ")]
    stopped = [t for t, m in unit if m.startswith("Stopped ")]
    run.expect(len(started) == 1 and len(stopped) == 1,
               f"{name}: expected one stop and one start of the unit, saw {[m for _, m in unit]}")
    try:
        down = (int(rec["ActiveEnterTimestampMonotonic"]) - int(rec["InactiveEnterTimestampMonotonic"])) / 1e6
    except (KeyError, ValueError):
        down = None
    queries = [c for c in calls if c.cmd == Q and start <= c.t0 <= back + 3]
    gap = max((n.t0 - p.t1 for p, n in zip(queries, queries[1:])), default=None)
    print(f"{name}: inactive for {down} s by systemd's clock; longest pause between queries {gap} s")
    # systemd's clock times the restart itself; the pause between queries
    # also holds the cycles of a guest that may be slowed by its host.
    run.expect(down is not None and 0 <= down <= 3.0, f"{name}: the unit was down {down} s")
    run.expect(gap is not None and gap <= 15.0, f"{name}: no query for {gap} s around the restart")
    return started


def check_core(run, entries, events):
    """The aborted watcher's core, read by gdb on the panel with the symbols package."""
    out = run.text("core-bt.txt")
    frames = [l for l in out.splitlines() if re.match(r"#\d+ ", l)]
    print("Backtrace of the aborted watcher's core:\n   " + "\n   ".join(frames))
    run.expect("Program terminated with signal SIGABRT" in out and "gdb-exit 0" in out,
               f"gdb did not read a core of SIGABRT:\n{out}")
    # The shipped executable alone names none of its own functions.
    stripped = run.text("core-bt-stripped.txt")
    run.expect("Program terminated with signal SIGABRT" in stripped and "watch_loop" not in stripped,
               f"gdb without the symbols package read a different core, or named watch_loop:\n{stripped}")
    run.expect(any(re.search(r"\bwatch_loop \(\) at \S*watch_loop\.cpp:\d+", l) for l in frames),
               f"no watch_loop frame with its source line in the backtrace:\n{out}")
    a, b = events.get("s6-abort", 1e9), events.get("s6-back", -1)
    run.expect(any("code=dumped, status=6/ABRT" in m for t, ident, _, m in entries
                   if ident == "systemd" and a <= t <= b),
               "systemd did not see the watcher dump core on SIGABRT")


def expect_cookie_line(run, name, out, expected):
    """tavrin-check's X cookie item, right after the display's, is
    `expected`. Returns its index."""
    lines = out.splitlines()
    at = [i for i, l in enumerate(lines) if re.match(r"\S+ +X cookie: ", l)]
    # The item before it, past its fix line if it has one.
    before = [l for l in lines[:at[0]] if not l.startswith(" ")][-1:] if at else []
    run.expect(len(at) == 1 and before and re.match(r"\w+ +display :0\.0: ", before[0]) and
               lines[at[0]] == expected,
               f"tavrin-check, {name}: expected {expected!r} right after the display line:\n{out}")
    return at[0] if at else None


def healthy_cookie_line(run, panel):
    """What tavrin-check says of the cookie of a panel whose watcher blanks:
    the one it reads, or on the kiosk's panel the one it goes without."""
    if panel == "arm64":
        auth = x_record(run, "xhost")["auth"][:1] or ["?"]
        return f"ok    X cookie: {auth[0]}, the X server's, unused: the server lets tavrin.service in without it"
    return f"ok    X cookie: {X_SETUPS.get(panel, PANEL_X)[0]}, the X server's, readable by tavrin.service"


def check_tavrin_check(run, panel, names=("healthy", "no-timeouts", "no-x")):
    """tavrin-check on the same panel: healthy, X's time-outs all 0, no X,
    the watcher stopped, X hung."""
    for name, status, phrase in (("healthy", 0, None), ("no-timeouts", None, "X never blanks by itself"),
                                 ("no-x", 1, "no X server"), ("stopped", 1, "watcher"),
                                 ("x-hung", 1, "did not answer")):
        if name not in names:
            continue
        out = run.text(f"check-{name}.txt")
        lines = out.splitlines()
        print(f"tavrin-check, {name}: " + " | ".join(l for l in lines if not l.startswith(" ")))
        if status is not None:
            run.expect(f"exit {status}" in lines[-1:], f"tavrin-check, {name}: expected exit {status}:\n{out}")
        if name in ("healthy", "no-x"):
            expect_cookie_line(run, name, out, healthy_cookie_line(run, panel) if name == "healthy"
                               else "-     X cookie: not checked: no X server listens")
        if name == "healthy":
            verdicts = [l for l in lines if l.startswith(("ok", "warn", "FAIL"))]
            run.expect(verdicts and "all six" in verdicts[-1],
                       f"tavrin-check, healthy: last line does not say all six steps can work:\n{out}")
        elif name == "no-timeouts":
            run.expect(any(l.startswith("warn") and phrase in l for l in lines),
                       f"tavrin-check, time-outs 0: no warn line about X never blanking:\n{out}")
        else:
            run.expect(any(l.startswith("FAIL") and phrase in l for l in lines),
                       f"tavrin-check, {name}: no FAIL line saying {phrase!r}:\n{out}")


def check_check_unit(run, dropin=True):
    """tavrin-check.service started by hand: nothing without the exporter's
    directory, then a readable exposition saying all six steps can run, the
    cookie coming from tavrin.service's drop-in linked for both units; or,
    on the kiosk panel, with no cookie, the display ok."""
    if dropin:
        absent = run.text("check-unit-absent.txt").split()
        run.expect(absent == ["condition", "no", "absent"],
                   f"tavrin-check.service without the exporter's directory: {absent}")
    timer = run.text("timer-after-install.txt").split()
    run.expect(timer == ["enabled", "active"], f"after dpkg -i tavrin-check.timer is {timer}")
    out = run.text("check-unit.txt")
    print("tavrin-check.service's exposition:\n" + out)
    lines = out.splitlines()
    cookie = any(l.startswith("Environment=") and "XAUTHORITY=" in l for l in lines)
    run.expect("Result=success" in lines and cookie == dropin,
               "tavrin-check.service did not succeed " +
               ("with the cookie from the linked drop-in" if dropin else "without a cookie"))
    display = [l for l in lines if l.startswith('tavrin_check_item_verdict{item="display ')]
    run.expect(display and all(l.endswith("} 0") for l in display),
               f"the exposition does not say the display is ok: {display}")
    run.expect('tavrin_check_item_verdict{item="X cookie"} 0' in lines,
               "the exposition does not say the X cookie is ok")
    run.expect("mode 644 root" in lines and "tavrin.prom" in lines and
               not any(l.endswith(".tmp") for l in lines),
               "the exposition is not a lone world-readable tavrin.prom")
    steps = [l for l in lines if l.startswith("tavrin_blanking_step_runnable{")]
    run.expect(len(steps) == 6 and all(l.endswith("} 1") for l in steps) and
               "tavrin_blanking_possible 1" in lines,
               f"the exposition does not say all six steps can run: {steps}")
    if not dropin:
        return
    try:
        document = json.loads(run.text("check-healthy.json"))
        print("tavrin-check --json, healthy:", json.dumps(document, indent=2))
        run.expect(document["exit_status"] == 0 and document["blanks"] and
                   [s["runs"] for s in document["steps"]] == [True] * 6,
                   "tavrin-check --json on the healthy panel does not say all six")
        cookie = [i for i in document["items"] if i["name"] == "X cookie"]
        run.expect(len(cookie) == 1 and cookie[0]["verdict"] == "ok" and
                   cookie[0]["detail"].startswith(X_SETUPS["virtio"][0] + ", the X server's"),
                   f"tavrin-check --json on the healthy panel: X cookie item {cookie}")
    except (ValueError, KeyError, TypeError) as e:
        run.fail(f"tavrin-check --json on the healthy panel: {e}")


def check_cirrus(run, found):
    """The 16 bpp DRM panel: X at the panel's depth, the watcher never killed
    by its fill, and tavrin-check naming the cut at the device's memory."""
    run.expect(re.search(r"Depth 16\b", run.text("Xorg.0.log")),
               "the X server does not run at depth 16 on the cirrus panel")
    out = run.text("check-cirrus.txt")
    print("tavrin-check, cirrus: " + " | ".join(l for l in out.splitlines() if not l.startswith(" ")))
    expect_cookie_line(run, "cirrus", out, healthy_cookie_line(run, "cirrus"))
    run.expect("exit 0" in out.splitlines()[-1:], f"tavrin-check, cirrus: expected exit 0:\n{out}")
    run.expect(re.search(r"^ok +mapping: .* past the device's memory", out, re.M) and
               re.search(r"^warn +painted: .* cut at the device's memory$", out, re.M),
               f"tavrin-check, cirrus: no mapping past memory and cut at it:\n{out}")
    smem = re.search(r"smem_len (\d+)", out)
    if found and smem:
        run.expect(found[0]["memory"] == int(smem.group(1)),
                   f"framebuffer dump of {found[0]['memory']} bytes, smem_len {smem.group(1)}")


def series(text):
    """An exposition's samples, by name with its labels."""
    return dict(l.rsplit(" ", 1) for l in text.splitlines() if l and not l.startswith("#"))


def check_record(run, found):
    """What the report says happened: no sequence before the blanking; after
    it one, the backlight back at 8, when its level-0 write came by the
    guest's own clock, and the installed version. On the armhf64 panel the
    clock was past 2038 for it."""
    past_2038 = run.text("clock.txt", "") != ""
    reports = {}
    for name in ("before", "after"):
        rec = dict(l.split(" ", 1) for l in run.text(f"report-{name}.txt").splitlines() if " " in l)
        prom = series(run.text(f"report-{name}.prom"))
        reports[name] = rec, prom
        shown = {k: v for k, v in prom.items() if k.startswith(("tavrin_sequences", "tavrin_last", "tavrin_build"))}
        print(f"tavrin-check --prometheus {name} the sequence: {shown}; record {rec.get('record')!r}")
        version = rec.get("version", "?")
        run.expect(prom.get(f'tavrin_build_info{{version="{version}"}}') == "1",
                   f"report {name} the sequence: no tavrin_build_info of the installed {version!r}")
    (_, before), (rec, after) = reports["before"], reports["after"]
    run.expect(before.get("tavrin_sequences_total") == "0" and
               before.get("tavrin_last_sequence_timestamp_seconds") == "0" and
               before.get("tavrin_last_sequence_backlight_restored") == "1",
               "report before the sequence: expected none since boot")
    run.expect(after.get("tavrin_sequences_total") == "1" and
               after.get("tavrin_last_sequence_backlight_restored") == "1",
               "report after the sequence: expected one, the backlight back at 8")
    if not found:
        return
    seq, rest = found[0]["seq"], found[0]["after"]
    # The level-0 write comes just before the first X command of the sequence,
    # whose start the stand-in stamped with the guest's clock of the moment.
    dark = seq[0].raw0
    try:
        at = int(after["tavrin_last_sequence_timestamp_seconds"])
        checked = int(after["tavrin_check_timestamp_seconds"])
        t0, t1 = (float(v) for v in rec["checked"].split())
    except (KeyError, ValueError) as e:
        run.fail(f"report after the sequence: {e}")
        return
    print(f"last sequence at {at}, its first X command by the guest's clock {dark:.2f}; checked at {checked}")
    # The recorder reads the time since boot when udev has run it, and the
    # report adds whole seconds to the kernel's whole-second boot time.
    run.expect(-4 <= at - dark <= 3, f"report: the last sequence at {at}, its first X command at {dark:.2f}")
    run.expect(int(t0) <= checked <= t1, f"report: checked at {checked}, run between {t0:.2f} and {t1:.2f}")
    if past_2038:
        run.expect(at >= Y2038 and checked >= Y2038, f"report in 2038: times {at} and {checked} before 2^31")
        text = run.text("check-2038.txt")
        line = [l for l in text.splitlines() if "last sequence:" in l]
        print("tavrin-check in 2038:", line)
        run.expect(len(line) == 1 and re.match(r"ok +last sequence: 1 since boot; the last at 2038-02-01 "
                                               r"\d\d:\d\d:\d\d UTC, back at level 8 \d+\.\d\d s later$", line[0]),
                   f"tavrin-check in 2038: no last sequence on 2038-02-01:\n{text}")
    # The recorder's own line: one sequence, level 8, and by the time since
    # boot the level-0 write and the way back where the stand-ins saw them.
    try:
        count, dark_up, level, back_up = rec["record"].split()
        up, now = (float(v) for v in rec["clock"].split())
        dark_at, back_at = now - up + float(dark_up), now - up + float(back_up)
    except (KeyError, ValueError) as e:
        run.fail(f"the backlight's record: {e}: {rec.get('record')!r}")
        return
    run.expect(count == "1" and level == EIGHT, f"the backlight's record: {rec['record']!r}, expected 1 and level 8")
    # In the guest's own wall times: the level-0 write before the first X
    # command, the level-8 one after the last and before the next query; each
    # recorded once udev has run the recorder.
    run.expect(seq[0].raw0 - 1.5 <= dark_at <= seq[0].raw0 + 2,
               f"the record's level-0 write at {dark_at:.2f}, the sequence's first X command at {seq[0].raw0:.2f}")
    run.expect(seq[-1].raw1 - 0.05 <= back_at <= rest[0].raw0 + 2,
               f"the record's level-8 write at {back_at:.2f}, the sequence's last X command ended at "
               f"{seq[-1].raw1:.2f}, the next query began at {rest[0].raw0:.2f}")


def check_stops(run, events):
    """A stop, restart or SIGKILL while a sequence holds at step 2 ends with the
    level at 8, the monitor off and none of the old processes left; a stop at
    rest changes nothing. The check bounds its own hung query."""
    lines = run.text("stops.txt").splitlines()
    print("Stops (action, when, level before and after, monitor, old processes left):\n   " + "\n   ".join(lines))
    expected = [f"{a} {levels} Monitor is Off 0" for a, levels in (("stop held", "0 8"), ("restart held", "0 8"),
                                                                   ("kill held", "0 8"), ("stop rest", "5 5"))]
    run.expect(lines == expected, f"stops: expected {expected}")
    hung = events.get("x-hung-end", 1e9) - events.get("x-hung", 0)
    print(f"tavrin-check against a hung X server took {hung:.1f} s")
    run.expect(hung <= 10, f"tavrin-check took {hung:.1f} s against a hung X server")


def check_late(run):
    """Rebooted in the middle of a sequence: the level saved at shutdown is 8;
    the watcher started before both devices and was restarted once they came."""
    late = [l.split() for l in run.text("late.txt").splitlines()]
    print("Devices held back at boot:", late)
    run.expect(len(late) == 2 and late[0][:2] == ["before", "active"] and len(late[0]) == 3 and
               late[1][0] == "after" and late[1][1] != late[0][2] and late[1][2:] == [EIGHT],
               f"expected the watcher active without its devices, restarted, and level 8 saved: {late}")


# The unit's seccomp filter kills with SIGSYS whatever makes a call it does not
# allow: not the watcher, nor the shells and X tools it starts, nor anything
# else (the kernel logs each kill). systemd's rating of the sandbox on each
# panel is compared by run-e2e.sh; the short boots never restart the watcher.
def check_sandbox(run, panel):
    killed = [l for l in run.text("journal-all.txt").splitlines() if "audit: type=1326 " in l]
    run.expect(not killed, f"the seccomp filter killed a process: {killed[:3]}")
    run.expect("Overall exposure level for tavrin.service: " in run.text("security.txt"),
               "systemd-analyze security rated no tavrin.service")
    end = run.text("restarts-at-end.txt")
    print("tavrin.service at the end: " + " ".join(end.split()))
    run.expect(panel == "virtio" or "NRestarts=0" in end, "systemd had to restart the watcher:\n" + end)


# Per panel: each scenario's name, the event after which its trigger
# happens, the reading that triggers it, whether X is there, the backlight
# level before it, and the event that starts its window of calls.
PANELS = {
    "virtio": [
        ("scenario 1 (X blanks by itself)", "s1-dpms-timeout", "Off", True, "5", "tavrin-start"),
        ("scenario 2 (X server killed after an on reading)", "s2-x-kill", "none", False, EIGHT, "s2-wake"),
        ("scenario 3 (new X server blanks by itself)", "s3-dpms-timeout", "Off", True, EIGHT, "s3-x-restart"),
        ("scenario 4 (watcher back after SIGKILL, X blanks)", "s4-dpms-timeout", "Off", True, EIGHT, "s4-kill"),
        ("scenario 5 (upgraded package, X blanks)", "s5-dpms-timeout", "Off", True, EIGHT, "upgrade-start"),
    ],
    "cirrus": [
        ("cirrus (X blanks a 16 bpp DRM panel by itself)", "cirrus-dpms-timeout", "Off", True, "5", "tavrin-start"),
    ],
    "arm64": [
        ("arm64 (X blanks the 64-bit panel by itself)", "arm64-dpms-timeout", "Off", True, "5", "tavrin-start"),
        ("arm64 rebind (the backlight's driver bound again, X blanks)", "rebind-dpms-timeout", "Off", True, "5", "rebind"),
    ],
    "armhf64": [("armhf64 (armhf on the 64-bit kernel, devices after the watcher, X blanks)",
                 "armhf64-dpms-timeout", "Off", True, "5", "tavrin-start")],
}


def main():
    run = Run(sys.argv[1])
    panel = run.text("../panel", "virtio").strip()
    print(f"Panel: {panel}")
    result = run.text("result").strip()
    run.expect(result == "done", f"guest did not finish its scenarios: {result or 'no result'}")

    events = {}
    wall = clock_steps(run)
    raw_events = [l.split(" ", 2) for l in run.text("events.log").splitlines()]
    origin = float(raw_events[0][0]) if raw_events else 0.0
    for f in raw_events:
        events.setdefault(f[1], wall(float(f[0])) - origin)
    calls = [Call(l, origin, wall) for l in run.text("calls.log").splitlines() if l.strip()]
    entries = journal(run, origin, wall)
    print("Calls seen by the xset/xrefresh stand-ins (s since the runner started):")
    for c in calls:
        print("  ", c)
    print("Guest events:", ", ".join(f"{k} {v:.2f}" for k, v in events.items()))
    check_setup(run, panel)

    scenarios = PANELS[panel]
    bounds = [events.get(s[5], 1e9) for s in scenarios] + [events.get("stops", 1e9)]
    found = []
    if result == "done":
        for k, (name, since, reading, alive, before, _) in enumerate(scenarios):
            window = [c for c in calls if bounds[k] <= c.t1 < bounds[k + 1]]
            r = check_sequence(run, name, window, events.get(since, 1e9), reading, alive, before)
            if r:
                found.append(r)
                print(f"{name}: sequence {r['delay']:.2f} s after the {reading!r} reading "
                      f"(from its end: {r['seq'][0].t0 - r['trigger'].t1:.2f} s); "
                      f"screenshot mean {r['mean'] if r['mean'] is None else round(r['mean'], 2)}")
        check_sandbox(run, panel)
        if panel in ("cirrus", "armhf64"):
            check_record(run, found)
        if panel == "cirrus":
            check_cirrus(run, found)
        elif panel == "arm64":
            check_core(run, entries, events)
            check_lifecycle(run)
            check_tavrin_check(run, panel, ("healthy", "stopped", "x-hung"))
            check_check_unit(run, dropin=False)
            check_kiosk(run, calls, events, entries)
            check_stops(run, events)
        elif panel == "armhf64":
            check_tavrin_check(run, panel, ("healthy",))
            check_late(run)
        else:
            if "s2-fb-black" in events and len(found) > 1:
                run.expect(events["s2-fb-black"] < found[1]["seq"][0].t0,
                           "scenario 2: the panel was blacked out only after the sequence had started")
            check_restart(run, calls, events)
            check_journal(run, entries, calls, events)
            for name in ("upgrade", "downgrade"):
                check_replacement(run, name, calls, events, entries)
            check_core(run, entries, events)
            check_lifecycle(run)
            check_tavrin_check(run, panel)
            check_check_unit(run)
            check_new_cookie(run)

    # Cadence: after each query (and the sequence, if due) a one-second wait,
    # except where systemd restarted the watcher in between.
    restarts = [events.get("tavrin-start", 1e9), events.get("s4-kill", 1e9)]
    restarts += [t for t, ident, _, m in entries if ident == "systemd" and m.startswith("Started ")]
    # The wall clock's steps to 2038 and back: the step back is only as exact
    # as date's start-up (0.15 s seen).
    restarts += [events.get("clock-2038", 1e9), events.get("clock-back", 1e9)]
    # tavrin-check.service asks X through the same stand-in.
    by_hand = [(events.get(f"{w}-start", 1e9), events.get(f"{w}-end", 1e9))
               for w in ("check-unit", "lifecycle-check")]
    queries = [c for c in calls if c.cmd == Q]
    for p, n in zip(queries, queries[1:]):
        if any(p.t0 < r < n.t0 for r in restarts) or any(p.t0 <= b and n.t0 >= a for a, b in by_hand):
            continue
        busy = sum(c.t1 - c.t0 for c in calls if c.cmd != Q and p.t0 <= c.t0 < n.t0)
        idle = n.t0 - p.t1 - busy
        run.expect(0.99 <= idle <= 8.0,
                   f"queries at {p.t0:.2f} and {n.t0:.2f}: {idle:.2f} s between them outside X commands")

    # The watcher's process, sampled about three times a second.
    samples = []
    for line in run.text("poll.log").splitlines():
        f = line.split()
        if len(f) >= 6:
            kids = [k.split(":") for k in f[6:]]
            samples.append((wall(float(f[0])) - origin, f[1], f[2], f[3], int(f[4]), int(f[5]), kids))
    # The sampler stops at poll-end; scenarios after it are judged by their calls.
    polled = sum(events.get(s[5], 1e9) < events.get("poll-end", 1e9) for s in scenarios)
    if run.expect(samples, "no samples of the watcher's process"):
        for col, what in ((1, "Brightness"), (2, "Actual brightness")):
            levels = [s[col] for s in samples]
            steps = [v for i, v in enumerate(levels) if i == 0 or v != levels[i - 1]]
            print(f"{what} over time:", " -> ".join(steps))
            run.expect(steps == ["5"] + ["0", "8"] * polled,
                       f"{what.lower()} went {steps}, expected 5 then 0/8 once per sequence")
        # Where the watcher was meant to be gone: killed, replaced by another
        # package's, aborted.
        away = [(events.get(a, 1e9), events.get(b, 1e9) + 0.5) for a, b in
                (("s4-kill", "s4-back"), ("upgrade-start", "upgrade-back"), ("s6-abort", "s6-back"),
                 ("downgrade-start", "downgrade-back"))]
        dead = [s for s in samples if s[3] in ("gone", "Z", "X", "x")
                and not any(a <= s[0] <= b for a, b in away)]
        run.expect(not dead, f"watcher ended: state {dead[0][3]} at {dead[0][0]:.2f}" if dead else "")
        zombie = {}  # pid -> (first, last) sample time seen as a zombie
        for t, _, _, _, _, _, kids in samples:
            for pid, state in kids:
                if state == "Z":
                    zombie[pid] = (zombie.get(pid, (t, t))[0], t)
        lasting = {p: round(b - a, 2) for p, (a, b) in zombie.items() if b - a >= 1.0}
        run.expect(not lasting, f"children of the watcher left as zombies (pid: seconds): {lasting}")
        start = events.get("tavrin-start", 0.0) + 0.5
        end_last = found[polled - 1]["seq"][-1].t1 + 0.5 if found[:polled] else 1e9
        # Idle: no child at work (a popen pipe is open while one is).
        idle = [s for s in samples if s[3] not in ("gone",) and all(state == "Z" for _, state in s[6])]
        early = [s[4] for s in idle if start <= s[0] < start + 10]
        late = [s for s in idle if s[0] > end_last]
        if run.expect(early and late, "too few quiet samples of the watcher's descriptors"):
            lo_early, lo_late = min(early), min(s[4] for s in late)
            print(f"Open descriptors of the watcher when idle: {lo_early} at start, {lo_late} at the end")
            run.expect(lo_late <= lo_early, f"open descriptors grew from {lo_early} to {lo_late}")
            run.expect(all(s[5] == 0 for s in late), "framebuffer still mapped after the last sequence")

    final_q = run.text("final-xset-q.txt")
    run.expect("Monitor is Off" in final_q, "monitor not off at the end:\n" + final_q)
    final_bl = run.text("final-brightness.txt").split()
    run.expect(final_bl == [EIGHT, EIGHT], f"backlight and actual at the end {final_bl}, expected 8 and 8")

    for msg in run.failures:
        print("FAIL:", msg)
    print("e2e:", "FAILED" if run.failures else "PASSED", f"({len(run.failures)} failed checks)")
    return 1 if run.failures else 0


if __name__ == "__main__":
    sys.exit(main())
