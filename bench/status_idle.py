#!/usr/bin/env python3
"""Status page and push latency while idle connections are held open.

Starts the program in its console test mode with one push task, then measures
the time to a complete answer for /health, the status page ("/") and a push
("/input0?set=..."), each over a fresh connection from an address of its own
(127.0.0.254):
  1. with nothing else connected;
  2. while N connections are held open that never send a byte (each one the
     server closes is opened again at once, so N stay held);
  3. while N connections are held open that send one byte of a request head
     every second (slowloris).
It also reports how long the server keeps an idle connection open, and the
program's resident memory.

With --addresses A the held connections come from A addresses of 127.0.0.0/8
(127.0.0.2 on), else all from 127.0.0.1; --wrk adds a wrk -c32 run against "/"
while the idle connections are held.

Usage: bench/status_idle.py PATH/TO/quillrade [--idle N] [--addresses A]
                            [--samples S] [--wrk]
Everything runs on 127.0.0.0/8.
"""
import argparse
import http.server
import os
import re
import socket
import statistics
import subprocess
import sys
import tempfile
import threading
import time

from status_load import Program, wait_for

REQUEST_LIMIT_S = 60.0


class Receiver(http.server.BaseHTTPRequestHandler):
    """Answers every GET with "ok"; the other benches' receivers build on it."""

    def do_GET(self):
        self.answer_ok()

    def answer_ok(self):
        self.send_response(200)
        self.send_header("Content-Length", "2")
        self.end_headers()
        self.wfile.write(b"ok")

    def log_message(self, *args):
        pass


def start_receiver():
    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Receiver)
    threading.Thread(target=server.serve_forever, daemon=True).start()
    return server


MEASURING_ADDRESS = "127.0.0.254"


def timed_get(port, target):
    """Seconds to a complete answer over a fresh connection; None when there is
    no answer within REQUEST_LIMIT_S."""
    start = time.monotonic()
    try:
        with socket.create_connection(("127.0.0.1", port), timeout=REQUEST_LIMIT_S,
                                      source_address=(MEASURING_ADDRESS, 0)) as sock:
            sock.sendall(("GET %s HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n"
                          % target).encode())
            answer = b""
            while True:
                chunk = sock.recv(65536)
                if not chunk:
                    break
                answer += chunk
    except OSError:
        return None
    if not answer.startswith(b"HTTP/1.1 200"):
        return None
    return time.monotonic() - start


class Holder:
    """Keeps `count` connections open; `trickle` sends one byte of a request head
    per second on each. Reopens what the server closes and records how long each
    closed connection had been held."""

    def __init__(self, port, count, trickle, addresses=0):
        self.port, self.count, self.trickle = port, count, trickle
        self.addresses = addresses
        self.opened = 0
        self.stop = False
        self.lifetimes = []
        self.lock = threading.Lock()
        self.thread = threading.Thread(target=self._run, daemon=True)
        self.thread.start()

    def _open(self):
        self.opened += 1
        source = ("127.0.0.%d" % (2 + self.opened % self.addresses), 0) if self.addresses else None
        sock = socket.create_connection(("127.0.0.1", self.port), source_address=source)
        sock.setblocking(False)
        return [sock, time.monotonic(), 0]

    def _run(self):
        held = [self._open() for _ in range(self.count)]
        head = b"GET / HTTP/1.1\r\nHost: 127.0.0.1\r\nX-Slow: " + b"a" * 100000
        last_trickle = time.monotonic()
        while not self.stop:
            now = time.monotonic()
            send = self.trickle and now - last_trickle >= 1.0
            if send:
                last_trickle = now
            for index, entry in enumerate(held):
                sock, opened, sent = entry
                closed = False
                try:
                    if send:
                        sock.send(head[sent:sent + 1])
                        entry[2] += 1
                    if sock.recv(65536) == b"":
                        closed = True
                except BlockingIOError:
                    pass
                except OSError:
                    closed = True
                if closed:
                    sock.close()
                    with self.lock:
                        self.lifetimes.append(now - opened)
                    held[index] = self._open()
            time.sleep(0.05)
        for sock, _, _ in held:
            sock.close()

    def close(self):
        self.stop = True
        self.thread.join()


def summary(samples):
    answered = sorted(s for s in samples if s is not None)
    missing = len(samples) - len(answered)
    if not answered:
        return "no answer in %d requests" % len(samples)
    cut = lambda q: answered[min(len(answered) - 1, int(q * len(answered)))] * 1000
    text = "p50 %.1f ms, p90 %.1f ms, max %.1f ms" % (cut(0.5), cut(0.9), answered[-1] * 1000)
    if missing:
        text += ", %d of %d unanswered within %d s" % (missing, len(samples), REQUEST_LIMIT_S)
    return text


def measure(port, samples, label):
    health = [timed_get(port, "/health") for _ in range(samples)]
    page = [timed_get(port, "/") for _ in range(samples)]
    push = [timed_get(port, "/input0?set=bench%d" % i) for i in range(samples)]
    print("%-34s health: %s" % (label, summary(health)))
    print("%-34s page: %s" % ("", summary(page)))
    print("%-34s push: %s" % ("", summary(push)))
    sys.stdout.flush()


def run_wrk(port):
    try:
        result = subprocess.run(["wrk", "-t2", "-c32", "-d5s", "http://127.0.0.1:%d/" % port],
                                capture_output=True, text=True, timeout=60)
    except (OSError, subprocess.TimeoutExpired) as error:
        return "wrk failed: %s" % error
    rate = re.search(r"Requests/sec:\s+([\d.]+)", result.stdout)
    errors = re.search(r"Socket errors:.*", result.stdout)
    return "%s requests/s%s" % (rate.group(1) if rate else "?",
                                (", " + errors.group(0)) if errors else "")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("binary")
    parser.add_argument("--idle", type=int, default=100)
    parser.add_argument("--addresses", type=int, default=0)
    parser.add_argument("--samples", type=int, default=30)
    parser.add_argument("--wrk", action="store_true")
    parser.add_argument("--idle-only", action="store_true", help="skip the slowloris round")
    args = parser.parse_args()
    print("load average at start: %.2f" % os.getloadavg()[0])
    receiver = start_receiver()
    with tempfile.TemporaryDirectory() as folder:
        with open(os.path.join(folder, "load.ini"), "w") as config:
            config.write("[Input0]\ntype=push\ntext0=line=0\n[Output0]\nformat0=%%text0%%\n"
                         "Url0=http://127.0.0.1:%d/p?v=%%format0%%\n" % receiver.server_address[1])
        program = Program(os.path.abspath(args.binary), folder)
        wait_for(lambda: program.port("http") != 0, 15)
        port = program.port("http")
        if port == 0:
            print("the program did not start")
            return 1
        measure(port, args.samples, "nothing else connected")
        rounds = ((False, "idle"),) if args.idle_only else ((False, "idle"), (True, "slowloris"))
        for trickle, name in rounds:
            holder = Holder(port, args.idle, trickle, args.addresses)
            time.sleep(1.0)
            label = "%d %s connections held" % (args.idle, name)
            if args.addresses:
                label += " from %d addresses" % args.addresses
            measure(port, args.samples, label)
            if args.wrk and not trickle:
                print("%-34s wrk -c32 on /: %s" % ("", run_wrk(port)))
            time.sleep(6.0)
            holder.close()
            with holder.lock:
                lifetimes = list(holder.lifetimes)
            if lifetimes:
                print("%-34s server closed %d, held for median %.1f s"
                      % ("", len(lifetimes), statistics.median(lifetimes)))
            else:
                print("%-34s server closed none" % "")
        print("resident memory: %d kB" % program.rss_kb())
        program.stop()
    receiver.shutdown()
    return 0


if __name__ == "__main__":
    sys.exit(main())
