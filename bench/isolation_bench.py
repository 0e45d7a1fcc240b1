#!/usr/bin/env python3
"""Isolated delivery: does a sick target delay anybody else?

1. A healthy task beside a sick one. Task 0 sends to a target that is sick in
   one of three ways (it refuses connections; its accept queue is full, so
   connects are dropped as on a dead route; it accepts and never answers, as a
   hung web application does), and its input changes every second so it keeps
   trying. Task 1's input is rewritten every 250 ms and sent to a healthy
   receiver. The figure is task 1's staleness: from each write until that value
   or a newer one arrived; a value not covered within the run's end plus 5 s
   counts as lost.
2. Fan-out: 100 tasks whose inputs change at once, each sending to its own
   target (100 ports on 127.0.0.1) that answers after 200 ms; the figure is the
   time from the change to the last value's arrival.

Usage: bench/isolation_bench.py PATH/TO/quillrade [PATH/TO/reference] [--writes N]
Each binary is measured in turn, in one run. Everything listens on 127.0.0.1.
"""
import argparse
import http.server
import os
import shutil
import socket
import tempfile
import threading
import time

from http_receiver import Receiver
from quillrade_bench import overwrite, percentile, start, write_whole
from status_idle import Receiver as OkReceiver

FANOUT_TASKS = 100
FANOUT_DELAY_S = 0.2
HEALTHY_GAP_S = 0.25


class SickTarget:
    """A port on 127.0.0.1 that is sick in the given way until closed."""

    def __init__(self, kind):
        self.sock = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        self.sock.bind(("127.0.0.1", 0))
        self.port = self.sock.getsockname()[1]
        self.held = []
        if kind == "hung":
            self.sock.listen(64)
            threading.Thread(target=self._accept_forever, daemon=True).start()
        elif kind == "dropped":
            # A backlog of 0 filled by two connects nobody accepts: the kernel
            # drops every further SYN.
            self.sock.listen(0)
            for _ in range(2):
                filler = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
                filler.setblocking(False)
                filler.connect_ex(("127.0.0.1", self.port))
                self.held.append(filler)
        # "refused": bound but not listening.

    def _accept_forever(self):
        while True:
            try:
                connection, _ = self.sock.accept()
            except OSError:
                return
            self.held.append(connection)

    def close(self):
        for s in self.held:
            s.close()
        self.sock.close()


def pair_config(receiver, sick_port):
    return ("[global]\nhttp_timeout_seconds=5\n"
            "[Input0]\nfile=in0.txt\ntext0=line=0 trim=1\n"
            "[Output0]\nformat0=%%text0%%\nUrl0=http://127.0.0.1:%d/s?v=%%format0%%\n"
            "[Input1]\nfile=in1.txt\ntext0=line=0 trim=1\n"
            "[Output1]\nformat0=%%text0%%\nUrl0=%s/h?v=%%format0%%\n"
            % (sick_port, receiver.base_url()))


def staleness_beside(binary, kind, writes):
    folder = tempfile.mkdtemp(prefix="quillrade-bench-")
    receiver = Receiver()
    sick = SickTarget(kind)
    try:
        write_whole(os.path.join(folder, "in0.txt"), "sick 0\n")
        write_whole(os.path.join(folder, "in1.txt"), "start\n")
        program = start(binary, folder, pair_config(receiver, sick.port), receiver, 0)
        written = []
        for i in range(writes):
            if i % 4 == 0:
                overwrite(os.path.join(folder, "in0.txt"), "sick %d\n" % i)
            written.append(overwrite(os.path.join(folder, "in1.txt"), "v%d\n" % i))
            time.sleep(HEALTHY_GAP_S)
        receiver.wait_target("/h?v=v%d" % (writes - 1), 5)
        program.proc.kill()
        program.proc.wait()
        arrivals = {}
        for target in receiver.targets():
            if target.startswith("/h?v=v"):
                arrivals[int(target[6:])] = receiver.wait_target(target, 0)
        samples, lost = [], 0
        for i, at in enumerate(written):
            # The first arrival of this value or a newer one.
            covered = [arrivals[j] for j in arrivals if j >= i]
            if not covered:
                lost += 1
            else:
                samples.append(max(0.0, min(covered) - at))
        return samples, lost
    finally:
        sick.close()
        receiver.close()
        shutil.rmtree(folder, ignore_errors=True)


class SlowHandler(OkReceiver):
    arrivals = {}
    lock = threading.Lock()

    def do_GET(self):
        time.sleep(FANOUT_DELAY_S)
        with SlowHandler.lock:
            SlowHandler.arrivals.setdefault(self.path, time.monotonic())
        self.answer_ok()


def fanout(binary):
    folder = tempfile.mkdtemp(prefix="quillrade-bench-")
    servers = []
    for _ in range(FANOUT_TASKS):
        server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), SlowHandler)
        threading.Thread(target=server.serve_forever, daemon=True).start()
        servers.append(server)
    sections = ["[global]\nhttp_timeout_seconds=5\n"]
    for i, server in enumerate(servers):
        write_whole(os.path.join(folder, "in%d.txt" % i), "start\n")
        sections.append("[Input%d]\nfile=in%d.txt\ntext0=line=0 trim=1\n"
                        "[Output%d]\nformat0=%%text0%%\n"
                        "Url0=http://127.0.0.1:%d/t%d?v=%%format0%%\n"
                        % (i, i, i, server.server_address[1], i))
    try:
        program = start(binary, folder, "".join(sections), None, 0)
        targets = ["/t%d?v=start" % i for i in range(FANOUT_TASKS)]
        deadline = time.monotonic() + 60
        while time.monotonic() < deadline:
            with SlowHandler.lock:
                if all(t in SlowHandler.arrivals for t in targets):
                    break
            time.sleep(0.05)
        changed = time.monotonic()
        for i in range(FANOUT_TASKS):
            write_whole(os.path.join(folder, "in%d.txt" % i), "changed\n")
        targets = ["/t%d?v=changed" % i for i in range(FANOUT_TASKS)]
        deadline = time.monotonic() + 60
        last = None
        while time.monotonic() < deadline:
            with SlowHandler.lock:
                if all(t in SlowHandler.arrivals for t in targets):
                    last = max(SlowHandler.arrivals[t] for t in targets)
                    break
            time.sleep(0.02)
        program.proc.kill()
        program.proc.wait()
        return None if last is None else last - changed
    finally:
        for server in servers:
            server.shutdown()
            server.server_close()
        with SlowHandler.lock:
            SlowHandler.arrivals.clear()
        shutil.rmtree(folder, ignore_errors=True)


def measure(binary, writes):
    print("== %s (load average %.1f)" % (binary, os.getloadavg()[0]))
    print("%-9s %9s %9s %9s %6s" % ("task 0", "p50 ms", "p99 ms", "max ms", "lost"))
    for kind in ("refused", "dropped", "hung"):
        samples, lost = staleness_beside(binary, kind, writes)
        if samples:
            print("%-9s %9.1f %9.1f %9.1f %6d" % (
                kind, percentile(samples, 0.5) * 1000, percentile(samples, 0.99) * 1000,
                max(samples) * 1000, lost))
        else:
            print("%-9s %9s %9s %9s %6d" % (kind, "-", "-", "-", lost))
    took = fanout(binary)
    print("fan-out of %d tasks, %d ms answers: %s" % (
        FANOUT_TASKS, FANOUT_DELAY_S * 1000,
        "not delivered within 60 s" if took is None else "%.2f s" % took))


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("binaries", nargs="+")
    parser.add_argument("--writes", type=int, default=80)
    args = parser.parse_args()
    for binary in args.binaries:
        measure(os.path.abspath(binary), args.writes)


if __name__ == "__main__":
    main()
