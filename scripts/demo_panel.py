#!/usr/bin/env python3
"""Runs the real tavrin against the simulated panel of the system tests and
narrates what it does, after tavrin-check's report on the same panel: each DPMS reading, each of the six blanking steps, the
framebuffer before and after as PNG files, and the backlight's history.

The simulated X server reports the monitor on, then switches DPMS off after
--off-after seconds, as a real server does when its blanking timeout expires.
tavrin is stopped with SIGTERM once it has run its sequence and read once more.
"""

import argparse
import os
import shutil
import signal
import struct
import subprocess
import sys
import time
import zlib

# A small portrait panel at 16 bits per pixel (RGB565, little-endian).
WIDTH, HEIGHT, BPP = 240, 320, 16
SCREEN_BYTES = WIDTH * HEIGHT * BPP // 8
# tavrin maps 2 x yres x yres x bpp / 8 bytes; the simulated driver refuses
# a mapping larger than its memory, so the memory is sized to hold it.
DEVICE_BYTES = 2 * HEIGHT * HEIGHT * BPP // 8
START_BRIGHTNESS = "6"
MAX_BRIGHTNESS = "10"

STEPS = {
    "brightness 0": "step 1: backlight to 0",
    "xset dpms force on begin": "step 2: xset -display :0.0 dpms force on",
    "xset dpms force off begin": "step 4: xset -display :0.0 dpms force off",
    "xrefresh -display :0.0 -black begin": "step 5: xrefresh -display :0.0 -black",
    "brightness 8": "step 6: backlight to 8",
}


def color_bars():
    """Eight vertical bars in RGB565, so that the white fill is plain to see."""
    bars = [0xFFFF, 0xFFE0, 0x07FF, 0x07E0, 0xF81F, 0xF800, 0x001F, 0x0000]
    row = b"".join(struct.pack("<H", bars[x * len(bars) // WIDTH]) for x in range(WIDTH))
    return row * HEIGHT


def write_png(path, framebuffer):
    """The first screen of an RGB565 framebuffer as an 8-bit RGB PNG."""
    rows = []
    for y in range(HEIGHT):
        line = bytearray(b"\0")  # filter type None
        start = y * WIDTH * 2
        for (pixel,) in struct.iter_unpack("<H", framebuffer[start:start + WIDTH * 2]):
            r, g, b = pixel >> 11, (pixel >> 5) & 0x3F, pixel & 0x1F
            line += bytes(((r * 255 + 15) // 31, (g * 255 + 31) // 63, (b * 255 + 15) // 31))
        rows.append(bytes(line))

    def chunk(kind, data):
        body = kind + data
        return struct.pack(">I", len(data)) + body + struct.pack(">I", zlib.crc32(body))

    header = struct.pack(">IIBBBBB", WIDTH, HEIGHT, 8, 2, 0, 0, 0)
    with open(path, "wb") as out:
        out.write(b"\x89PNG\r\n\x1a\n")
        out.write(chunk(b"IHDR", header))
        out.write(chunk(b"IDAT", zlib.compress(b"".join(rows), 9)))
        out.write(chunk(b"IEND", b""))


def describe(what):
    """The narration line for an event, or None for the panel's bookkeeping."""
    if what.startswith("query "):
        state = what.split()[1]
        return f"reading: Monitor is {state}"
    if what.startswith("fb painted "):
        _, _, painted, _, mapped = what.split()
        return f"step 3: /dev/fb0 painted white ({painted} of {mapped} mapped bytes)"
    if what.startswith("fb mmap refused") or what == "fb ioctl refused":
        return f"step 3: /dev/fb0 not painted ({what})"
    return STEPS.get(what)


class EventLog:
    """Follows the simulation's event log, one complete line at a time."""

    def __init__(self, path):
        self.path = path
        self.offset = 0
        self.pending = b""

    def new_events(self):
        with open(self.path, "rb") as log:
            log.seek(self.offset)
            data = log.read()
        self.offset += len(data)
        self.pending += data
        *lines, self.pending = self.pending.split(b"\n")
        for line in lines:
            stamp, _, what = line.decode().partition(" ")
            yield float(stamp), what


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--tavrin", required=True, help="the tavrin executable")
    parser.add_argument("--check", required=True, help="the tavrin-check executable")
    parser.add_argument("--preload", required=True, help="the fake panel library")
    parser.add_argument("--stand-ins", required=True, help="directory of the stand-in X tools")
    parser.add_argument("--out", required=True,
                        help="directory for the PNG files and the simulation")
    parser.add_argument("--off-after", type=float, default=3.0,
                        help="seconds before the X server switches DPMS off")
    parser.add_argument("--timeout", type=float, default=20.0,
                        help="seconds to wait for the sequence before giving up")
    args = parser.parse_args()

    # Kept after the run, with the full event log, for a closer look.
    sim = os.path.join(args.out, "panel")
    shutil.rmtree(sim, ignore_errors=True)
    os.makedirs(sim)
    def sim_file(name):
        return os.path.join(sim, name)

    before = color_bars() + bytes(DEVICE_BYTES - SCREEN_BYTES)
    with open(sim_file("fb"), "wb") as fb:
        fb.write(before)
    with open(sim_file("fb-geometry"), "w") as geometry:
        geometry.write(f"{WIDTH} {HEIGHT} {HEIGHT} {BPP}\n")
    with open(sim_file("brightness"), "w") as brightness:
        brightness.write(START_BRIGHTNESS + "\n")
    with open(sim_file("max_brightness"), "w") as max_brightness:
        max_brightness.write(MAX_BRIGHTNESS + "\n")
    os.makedirs(sim_file("backlight-class/backlight"))
    with open(sim_file("dpms"), "w") as dpms:
        dpms.write("On\n")
    open(sim_file("events"), "w").close()
    before_png = os.path.join(args.out, "framebuffer-before.png")
    after_png = os.path.join(args.out, "framebuffer-after.png")
    write_png(before_png, before)

    env = dict(os.environ)
    env.update(PATH=f"{args.stand_ins}:/usr/bin:/bin", LD_PRELOAD=args.preload, TAVRIN_SIM=sim)
    print(f"simulated panel in {sim}: {WIDTH}x{HEIGHT} at {BPP} bpp, backlight at "
          f"{START_BRIGHTNESS}, X server reports the monitor on")
    print(f"{args.check}:", flush=True)
    check = subprocess.run([args.check], env=env)
    print(f"(exit status {check.returncode})")
    # The check's own look at the panel is not part of the narration below.
    open(sim_file("events"), "w").close()
    print(f"starting {args.tavrin}; DPMS goes off after {args.off_after:g} s")
    started = time.time()
    tavrin = subprocess.Popen([args.tavrin], env=env)

    log = EventLog(sim_file("events"))
    history = [(None, START_BRIGHTNESS)]
    dpms_switched = False
    finished_at = None
    read_again = False
    try:
        while True:
            now = time.time()
            if not dpms_switched and now - started >= args.off_after:
                with open(sim_file("dpms"), "w") as dpms:
                    dpms.write("Off\n")
                dpms_switched = True
                print(f"{now - started:6.2f} s  X server: DPMS switches the monitor off")
            for stamp, what in log.new_events():
                line = describe(what)
                if line is not None:
                    print(f"{stamp - started:6.2f} s  {line}", flush=True)
                if what.startswith("brightness ") and what[-1].isdigit():
                    history.append((stamp - started, what[-1]))
                if what == "brightness 8":
                    finished_at = stamp
                elif finished_at is not None and what.startswith("query "):
                    # One more reading after the sequence shows that it does not repeat.
                    read_again = True
            if read_again:
                break
            if tavrin.poll() is not None:
                sys.exit(f"tavrin exited with status {tavrin.returncode}")
            if now - started > args.timeout:
                sys.exit(f"no blanking sequence within {args.timeout:g} s")
            time.sleep(0.02)
    finally:
        if tavrin.poll() is None:
            tavrin.send_signal(signal.SIGTERM)
            tavrin.wait()
    print(f"{time.time() - started:6.2f} s  tavrin stopped with SIGTERM")

    with open(sim_file("fb"), "rb") as fb:
        after = fb.read()
    write_png(after_png, after)
    white = sum(1 for byte in after if byte == 0xFF)
    print(f"framebuffer: {white} of {len(after)} bytes white (0xFF is white in RGB565)")
    print(f"  before: {before_png}")
    print(f"  after:  {after_png}")
    steps = [f"{level} at start" if at is None else f"{level} at {at:.2f} s" for at, level in history]
    with open(sim_file("brightness")) as brightness:
        final = brightness.read().strip()
    print(f"brightness: {' -> '.join(steps)}; the file now holds {final}")


if __name__ == "__main__":
    main()
