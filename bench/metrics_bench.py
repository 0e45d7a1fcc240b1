#!/usr/bin/env python3
"""Measures what the observability counters and a scraper cost the main loop.

With 100 plain text tasks (task 0 changing, the others idle), each figure is
taken twice, without and with a scraper that fetches /metrics every 100 ms over
a fresh connection, as a Prometheus server with a short interval would:
  * pass time: CPU time of the main thread (/proc/<pid>/task/<tid>/schedstat) over
    20 s in which nothing changes, divided by the passes its 100 ms fallback
    makes meanwhile;
  * write -> request latency (p50, p99) for rewrites of task 0's file, spaced
    as in quillrade_bench.py;
  * the scraper's own figures: answer time (p50, p99) and body size.

The scraper runs in a process of its own (this file with --scrape), so its
work never delays the measuring script's time stamps. Standard library only;
every peer listens on 127.0.0.1.
"""

import argparse
import json
import os
import select
import shutil
import socket
import subprocess
import sys
import tempfile
import time

from http_receiver import Receiver
from quillrade_bench import (file_tasks_config, percentile, start, summarise,
                             write_latency_samples, write_whole)

TASKS = 100
SCRAPE_INTERVAL = 0.1
# The main thread's name as the kernel keeps it (cut to 15 bytes).
MAIN_THREAD_NAME = "Quillrade_MainC"


def fetch(port, target):
    """One GET over a fresh connection; the body."""
    with socket.create_connection(("127.0.0.1", port), timeout=5) as conn:
        conn.sendall(("GET %s HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n"
                      % target).encode())
        chunks = []
        while True:
            chunk = conn.recv(65536)
            if not chunk:
                break
            chunks.append(chunk)
    response = b"".join(chunks)
    return response[response.find(b"\r\n\r\n") + 4:]


def scrape(port):
    """The scraper process: /metrics every SCRAPE_INTERVAL until stdin closes,
    then one JSON line with its figures."""
    times, size, failed = [], 0, 0
    next_at = time.monotonic()
    while True:
        readable, _, _ = select.select([sys.stdin], [], [], 0)
        if readable and os.read(sys.stdin.fileno(), 1) == b"":
            break
        began = time.monotonic()
        try:
            size = len(fetch(port, "/metrics"))
            times.append(time.monotonic() - began)
        except OSError:  # no answer within 5 s: counted, and scraping goes on
            failed += 1
        next_at += SCRAPE_INTERVAL
        time.sleep(max(0.0, next_at - time.monotonic()))
    print(json.dumps({"n": len(times), "p50_ms": percentile(times, 0.5) * 1000,
                      "p99_ms": percentile(times, 0.99) * 1000, "bytes": size,
                      "failed": failed}))


def main_thread_cpu_seconds(pid):
    """Time the main thread spent on a CPU, from the scheduler's nanosecond
    count (the tick counts of stat are too coarse for a pass)."""
    for tid in os.listdir("/proc/%d/task" % pid):
        with open("/proc/%d/task/%s/comm" % (pid, tid)) as f:
            name = f.read().strip()
        if name == MAIN_THREAD_NAME:
            with open("/proc/%d/task/%s/schedstat" % (pid, tid)) as f:
                return int(f.read().split()[0]) / 1e9
    sys.exit("main thread not found")


def measure(binary, with_scraper, idle_seconds, changes):
    folder = tempfile.mkdtemp(prefix="quillrade-bench-")
    receiver = Receiver()
    scraper = None
    try:
        for i in range(TASKS):
            write_whole(os.path.join(folder, "in%d.txt" % i), "value %d\n" % i)
        program = start(binary, folder, file_tasks_config(receiver, TASKS), receiver, TASKS)
        if with_scraper:
            scraper = subprocess.Popen(
                [sys.executable, os.path.abspath(__file__), "--scrape", str(program.port("http"))],
                stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
        time.sleep(3.0)  # past the start-up reads and their content comparisons
        cpu_before = main_thread_cpu_seconds(program.proc.pid)
        wall_before = time.monotonic()
        time.sleep(idle_seconds)
        cpu = main_thread_cpu_seconds(program.proc.pid) - cpu_before
        passes = (time.monotonic() - wall_before) / 0.1
        samples = write_latency_samples(folder, receiver, changes)
        figures = {"pass_us": 1e6 * cpu / passes, "write": summarise(samples)}
        if scraper is not None:
            scraper.stdin.close()
            figures["scrape"] = json.loads(scraper.stdout.readline())
            scraper.wait()
            scraper = None
        program.stop()
        return figures
    finally:
        if scraper is not None:
            scraper.kill()
        receiver.close()
        shutil.rmtree(folder, ignore_errors=True)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--binary")
    parser.add_argument("--scrape", type=int, help=argparse.SUPPRESS)
    parser.add_argument("--changes", type=int, default=200)
    parser.add_argument("--idle-seconds", type=float, default=20.0)
    args = parser.parse_args()
    if args.scrape:
        scrape(args.scrape)
        return 0
    if not args.binary or not os.access(args.binary, os.X_OK):
        sys.exit("--binary must name the quillrade executable")
    binary = os.path.abspath(args.binary)
    print("cores: %d, load average: %s" % (os.cpu_count(), os.getloadavg()))
    for with_scraper in (False, True):
        figures = measure(binary, with_scraper, args.idle_seconds, args.changes)
        write = figures["write"]
        print("%s: main thread %.1f us of CPU per pass (%d tasks); write -> request "
              "n=%d p50=%.2f ms p99=%.2f ms max=%.1f ms"
              % ("with scraper   " if with_scraper else "without scraper", figures["pass_us"],
                 TASKS, write["n"], write["p50_ms"], write["p99_ms"], write["max_ms"]))
        if "scrape" in figures:
            scrape_figures = figures["scrape"]
            print("  scraper: %(n)d scrapes of /metrics, p50 %(p50_ms).2f ms, "
                  "p99 %(p99_ms).2f ms, %(bytes)d bytes, %(failed)d without an answer "
                  "within 5 s" % scrape_figures)
    return 0


if __name__ == "__main__":
    sys.exit(main())
