#!/usr/bin/env python3
"""Delivery after an outage: how long after its target comes back does the
latest value arrive, and does anything stale arrive?

One push task sends to a receiver on 127.0.0.1 whose port is kept bound while it
is "down" (so connection attempts are refused, as with a web server that is
restarting). For each outage length L:
  * "one change": two values are pushed at the start of the outage (the first
    is stale at once), the target returns after L seconds;
  * "changing": a new value is pushed every 0.5 s throughout the outage.
The figure is the time from the target's return (its listen()) to the arrival
of the latest value. Retries wait 1 s, doubling to 60 s, counted from the last
change, so the figure for "one change" lies between 0 and the wait that was
running when the target came back. A last round with retry_unreachable_targets=0
shows the behaviour without retries (the value waits for the next change).

Usage: bench/outage_bench.py PATH/TO/quillrade [--lengths 0.5 2 5 10 20]
Standard library only; everything listens on 127.0.0.1. Exits 1 when a stale
value arrives or a latest value does not.
"""
import argparse
import os
import re
import socket
import subprocess
import sys
import tempfile
import threading
import time
import urllib.request

CHANGE_GAP_S = 0.5
# Longest wait between two tries (the program's cap) plus room for a slow pass.
DELIVERY_LIMIT_S = 65.0


class FlakyTarget:
    """A fixed loopback port that refuses connections while down and answers
    200 while up; records (target, monotonic arrival time)."""

    def __init__(self):
        self.port = 0
        self.sock = None
        self.arrivals = []
        self.cond = threading.Condition()
        self.up = False
        self._bind()

    def _bind(self):
        self.sock = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self.sock.bind(("127.0.0.1", self.port))
        self.port = self.sock.getsockname()[1]

    def come_back(self):
        """Starts listening; returns the monotonic time just before."""
        at = time.monotonic()
        self.sock.listen(64)
        self.up = True
        threading.Thread(target=self._accept, args=(self.sock,), daemon=True).start()
        return at

    def go_down(self):
        self.up = False
        # Wakes the thread blocked in accept(); a plain close would leave the port
        # listening until that call returns.
        self.sock.shutdown(socket.SHUT_RDWR)
        self.sock.close()
        self._bind()

    def _accept(self, sock):
        while self.up:
            try:
                conn, _ = sock.accept()
            except OSError:
                return
            threading.Thread(target=self._serve, args=(conn,), daemon=True).start()

    def _serve(self, conn):
        with conn:
            data = b""
            while b"\r\n\r\n" not in data:
                chunk = conn.recv(4096)
                if not chunk:
                    return
                data += chunk
            now = time.monotonic()
            target = data.split(b"\r\n", 1)[0].split(b" ")[1].decode("latin-1")
            with self.cond:
                self.arrivals.append((target, now))
                self.cond.notify_all()
            conn.sendall(b"HTTP/1.1 200 OK\r\nContent-Length: 0\r\nConnection: close\r\n\r\n")

    def wait_arrival(self, target, timeout):
        deadline = time.monotonic() + timeout
        with self.cond:
            while True:
                for seen, at in self.arrivals:
                    if seen == target:
                        return at
                left = deadline - time.monotonic()
                if left <= 0:
                    return None
                self.cond.wait(left)

    def targets(self):
        with self.cond:
            return [seen for seen, _ in self.arrivals]


class ProgramUnderTest:
    def __init__(self, binary, folder, config_text):
        config = os.path.join(folder, "outage.ini")
        with open(config, "w") as f:
            f.write(config_text)
        self.text = ""
        self.lock = threading.Lock()
        self.proc = subprocess.Popen(
            [binary, "run", "ini_file=" + config], cwd=folder, stdin=subprocess.PIPE,
            stdout=subprocess.PIPE, stderr=subprocess.STDOUT, env=dict(os.environ, NO_COLOR="1"))
        threading.Thread(target=self._drain, daemon=True).start()
        deadline = time.monotonic() + 30
        while "Running Indefinitely." not in self.output():
            if time.monotonic() > deadline:
                self.stop()
                sys.exit("the program did not start:\n" + self.output())
            time.sleep(0.05)
        self.http_port = int(re.search(r" \* http://127\.0\.0\.1:(\d+)", self.output()).group(1))

    def _drain(self):
        for chunk in iter(lambda: self.proc.stdout.read1(65536), b""):
            with self.lock:
                self.text = (self.text + chunk.decode("latin-1"))[-(1 << 20):]

    def output(self):
        with self.lock:
            return self.text

    def push(self, value):
        url = "http://127.0.0.1:%d/input0?set=%s" % (self.http_port, value)
        urllib.request.urlopen(url, timeout=5).read()

    def stop(self):
        try:
            self.proc.stdin.write(b"\x1b")
            self.proc.stdin.flush()
            self.proc.wait(timeout=10)
        except (OSError, subprocess.TimeoutExpired):
            self.proc.kill()
            self.proc.wait()


def push_task_config(port, retry):
    return ("[global]\nretry_unreachable_targets=%d\n"
            "[Input0]\ntype=push\ntext0=line=0\n"
            "[Output0]\nformat0=%%text0%%\nUrl0=http://127.0.0.1:%d/v?x=%%format0%%\n" % (retry, port))


def outage_round(program, target, name, length, changing, limit=DELIVERY_LIMIT_S):
    """One outage; returns (seconds from return to delivery or None, stale count)."""
    before = len(target.targets())
    target.go_down()
    start = time.monotonic()
    values = ["%s-stale" % name, "%s-0" % name]
    for value in values:
        program.push(value)
    while changing and time.monotonic() - start + CHANGE_GAP_S < length:
        time.sleep(CHANGE_GAP_S)
        values.append("%s-%d" % (name, len(values) - 1))
        program.push(values[-1])
    time.sleep(max(0.0, length - (time.monotonic() - start)))
    returned = target.come_back()
    arrived = target.wait_arrival("/v?x=" + values[-1], limit)
    time.sleep(1.2)  # longer than the first retry wait: late stale tries would show
    stale = [t for t in target.targets()[before:] if t != "/v?x=" + values[-1]]
    return (None if arrived is None else arrived - returned), len(stale)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("binary")
    parser.add_argument("--lengths", type=float, nargs="+", default=[0.5, 2, 5, 10, 20])
    args = parser.parse_args()

    failed = False
    print("load average at start: %.2f" % os.getloadavg()[0])
    print("%-10s %-11s %-22s %s" % ("outage s", "changes", "return -> delivery", "stale arrivals"))
    with tempfile.TemporaryDirectory() as folder:
        target = FlakyTarget()
        target.come_back()
        program = ProgramUnderTest(args.binary, folder, push_task_config(target.port, 1))
        try:
            for i, length in enumerate(args.lengths):
                for changing in (False, True):
                    name = "r%d%s" % (i, "c" if changing else "o")
                    delay, stale = outage_round(program, target, name, length, changing)
                    shown = "NOT DELIVERED" if delay is None else "%.0f ms" % (delay * 1000)
                    print("%-10g %-11s %-22s %d" % (length, "every 0.5s" if changing else "one",
                                                     shown, stale))
                    failed = failed or delay is None or stale > 0
        finally:
            program.stop()

        program = ProgramUnderTest(args.binary, folder, push_task_config(target.port, 0))
        try:
            delay, stale = outage_round(program, target, "off", 2, False, limit=5)
            shown = "not delivered" if delay is None else "%.0f ms" % (delay * 1000)
            print("retry_unreachable_targets=0, 2 s outage: %s (waits for the next change)" % shown)
        finally:
            program.stop()
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
