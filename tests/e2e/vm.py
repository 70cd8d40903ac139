#!/usr/bin/env python3
"""Host side of a test VM run: answers the guest's screenshot requests over QMP
until QEMU goes away or the deadline passes.

The guest asks by creating OUT/shot-ID.req on the 9p share; the answer is
OUT/shot-ID.ppm (a QMP screendump) followed by OUT/shot-ID.done.
Exit status: 0 when QEMU ended by itself, 3 on the deadline.
"""
import argparse
import json
import os
import select
import socket
import sys
import time


class Qmp:
    def __init__(self, path, deadline):
        while True:
            try:
                self.sock = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
                self.sock.connect(path)
                break
            except OSError:
                self.sock.close()
                if time.monotonic() > deadline:
                    raise
                time.sleep(0.1)
        self.buf = b""
        self.recv()  # greeting
        self.command("qmp_capabilities")

    def recv(self):
        """One JSON message, or None once QEMU has closed the socket."""
        while b"\n" not in self.buf:
            data = self.sock.recv(65536)
            if not data:
                return None
            self.buf += data
        line, self.buf = self.buf.split(b"\n", 1)
        return json.loads(line)

    def command(self, name, **arguments):
        msg = {"execute": name}
        if arguments:
            msg["arguments"] = arguments
        self.sock.sendall(json.dumps(msg).encode() + b"\n")
        while True:
            reply = self.recv()
            if reply is None:
                raise EOFError("QEMU closed QMP")
            if "return" in reply or "error" in reply:
                return reply

    def closed(self, timeout):
        """Wait up to timeout for QEMU to close the socket; events are dropped."""
        if b"\n" in self.buf:
            self.recv()
            return False
        if not select.select([self.sock], [], [], timeout)[0]:
            return False
        data = self.sock.recv(65536)
        self.buf += data
        return not data


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--qmp", required=True)
    ap.add_argument("--out", required=True)
    ap.add_argument("--timeout", type=float, required=True)
    args = ap.parse_args()
    deadline = time.monotonic() + args.timeout
    try:
        qmp = Qmp(args.qmp, time.monotonic() + 30)
    except OSError as e:
        print(f"vm.py: cannot reach QMP at {args.qmp}: {e}", file=sys.stderr)
        return 2
    served = set()
    while time.monotonic() < deadline:
        for name in sorted(os.listdir(args.out)):
            if not name.endswith(".req") or name in served:
                continue
            served.add(name)
            stem = os.path.join(args.out, name[:-4])
            try:
                reply = qmp.command("screendump", filename=stem + ".ppm")
            except EOFError:
                return 0
            if "error" in reply:
                print(f"vm.py: screendump failed: {reply['error']}", file=sys.stderr)
            with open(stem + ".done", "w"):
                pass
        if qmp.closed(0.1):
            return 0
    print(f"vm.py: VM still running after {args.timeout:.0f} s", file=sys.stderr)
    return 3


if __name__ == "__main__":
    sys.exit(main())
