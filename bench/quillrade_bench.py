#!/usr/bin/env python3
"""Measures the quillrade binary as a user runs it (console test mode).

Figures:
  * latency from a completed write of an input file to the request arriving at
    a receiver on 127.0.0.1 (p50, p99), and from a push request to the request;
  * idle CPU (percent of one core) and resident memory with 1 and 100 tasks;
  * requests per second on the status page under wrk while 100 tasks run.

Standard library only. Every peer listens on 127.0.0.1. Prints a table and the
targets each figure is held against; exits 1 when a target is missed.
"""

import argparse
import os
import random
import re
import shutil
import socket
import statistics
import subprocess
import sys
import tempfile
import threading
import time
import urllib.parse

from http_receiver import Receiver

TARGETS = {
    "write_p50_ms": 1.0,
    "write_p99_ms": 5.0,
    "push_p50_ms": 1.0,
    "push_p99_ms": 5.0,
    "idle_cpu_100_pct": 0.5,
    "rss_100_mb": 16.0,
    "page_rps": 5000.0,
}


class Program:
    """The binary in console test mode; its output is drained continuously."""

    def __init__(self, binary, folder, config):
        self.proc = subprocess.Popen(
            [binary, "run", "ini_file=" + config], cwd=folder,
            stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
            env=dict(os.environ, NO_COLOR="1"))
        self.cond = threading.Condition()
        self.output = ""
        self.reader = threading.Thread(target=self._read, daemon=True)
        self.reader.start()

    def _read(self):
        while True:
            chunk = self.proc.stdout.read1(65536)
            if not chunk:
                return
            with self.cond:
                # Only the head matters (ports); keep memory bounded.
                if len(self.output) < 1 << 20:
                    self.output += chunk.decode("latin-1")
                self.cond.notify_all()

    def wait_for(self, text, timeout):
        deadline = time.monotonic() + timeout
        with self.cond:
            while text not in self.output:
                left = deadline - time.monotonic()
                if left <= 0:
                    return False
                self.cond.wait(left)
            return True

    def port(self, scheme):
        match = re.search(r" \* %s://127\.0\.0\.1:(\d+)" % scheme, self.output)
        return int(match.group(1)) if match else 0

    def cpu_seconds(self):
        with open("/proc/%d/stat" % self.proc.pid) as f:
            fields = f.read().rsplit(")", 1)[1].split()
        ticks = int(fields[11]) + int(fields[12])  # utime + stime
        return ticks / os.sysconf("SC_CLK_TCK")

    def memory_kb(self, key):
        with open("/proc/%d/status" % self.proc.pid) as f:
            for line in f:
                if line.startswith(key + ":"):
                    return int(line.split()[1])
        return 0

    def stop(self):
        try:
            self.proc.stdin.write(b"\x1b")
            self.proc.stdin.flush()
            self.proc.wait(timeout=10)
        except (OSError, subprocess.TimeoutExpired):
            self.proc.kill()
            self.proc.wait()


def write_whole(path, content):
    """Writes a sibling file and renames it over path: the write is complete
    (closed) the moment the new name exists."""
    temporary = path + ".writing"
    with open(temporary, "w") as f:
        f.write(content)
    os.replace(temporary, path)


def overwrite(path, content):
    """Rewrites the file in place (from the start, then cut to size). Returns
    the monotonic time taken just before the close that completes the write: a
    reader may react before this thread runs again, and a rename would add the
    file system's flush of the new data to the figure."""
    fd = os.open(path, os.O_WRONLY | os.O_CREAT, 0o644)
    try:
        os.pwrite(fd, content.encode(), 0)
        os.ftruncate(fd, len(content))
    finally:
        completed = time.monotonic()
        os.close(fd)
    return completed


def start(binary, folder, config_text, receiver, startup_requests):
    config = os.path.join(folder, "bench.ini")
    write_whole(config, config_text)
    program = Program(binary, folder, config)
    if not program.wait_for("Running Indefinitely.", 30):
        program.stop()
        sys.exit("the program did not start:\n" + program.output)
    if startup_requests and not receiver.wait_count(startup_requests, 60):
        program.stop()
        sys.exit("the start-up requests did not arrive")
    return program


def file_tasks_config(receiver, count):
    sections = []
    for i in range(count):
        sections.append(
            "[Input%d]\nfile=in%d.txt\ntext0=line=0 trim=1\n"
            "[Output%d]\nformat0=%%text0%%\nUrl0=%s/t%d?v=%%format0%%\n"
            % (i, i, i, receiver.base_url(), i))
    return "[global]\nhttp_timeout_seconds=5\n" + "".join(sections)


def percentile(values, fraction):
    ordered = sorted(values)
    index = min(len(ordered) - 1, max(0, int(round(fraction * len(ordered) + 0.5)) - 1))
    return ordered[index]


def summarise(samples):
    return {
        "n": len(samples),
        "p50_ms": percentile(samples, 0.50) * 1000,
        "p99_ms": percentile(samples, 0.99) * 1000,
        "mean_ms": statistics.mean(samples) * 1000,
        "max_ms": max(samples) * 1000,
    }


def spaced_gap():
    """A pause before the next change: more than the per-task send ceiling of
    100 ms (so every change may go out at once), at a random phase of the 100 ms
    fallback pass."""
    return random.uniform(0.11, 0.2)


def write_latency_samples(folder, receiver, changes):
    """Rewrites task 0's input `changes` times, spaced; the seconds from each
    completed write to its request's arrival."""
    samples = []
    for i in range(changes):
        time.sleep(spaced_gap())
        value = "change %d" % i
        written = overwrite(os.path.join(folder, "in0.txt"), value + "\n")
        arrived = receiver.wait_target("/t0?v=" + urllib.parse.quote(value), 5)
        if arrived is None:
            sys.exit("change %d did not arrive" % i)
        samples.append(arrived - written)
    return samples


def measure_write_latency(binary, changes):
    folder = tempfile.mkdtemp(prefix="quillrade-bench-")
    receiver = Receiver()
    try:
        write_whole(os.path.join(folder, "in0.txt"), "start\n")
        program = start(binary, folder, file_tasks_config(receiver, 1), receiver, 1)
        samples = write_latency_samples(folder, receiver, changes)
        program.stop()
        return summarise(samples)
    finally:
        receiver.close()
        shutil.rmtree(folder, ignore_errors=True)


def send_push(port, text):
    with socket.create_connection(("127.0.0.1", port), timeout=5) as conn:
        conn.sendall(("GET /input0?set=%s HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n"
                      % urllib.parse.quote(text)).encode())
        while conn.recv(4096):
            pass


def measure_push_latency(binary, pushes):
    folder = tempfile.mkdtemp(prefix="quillrade-bench-")
    receiver = Receiver()
    try:
        config = ("[Input0]\ntype=push\ntext0=line=0\n[Output0]\nformat0=%%text0%%\n"
                  "Url0=%s/p?v=%%format0%%\n" % receiver.base_url())
        program = start(binary, folder, config, receiver, 0)
        port = program.port("http")
        samples = []
        for i in range(pushes):
            time.sleep(spaced_gap())
            value = "push%d" % i
            sent = time.monotonic()
            send_push(port, value)
            arrived = receiver.wait_target("/p?v=" + value, 5)
            if arrived is None:
                sys.exit("push %d did not arrive" % i)
            samples.append(arrived - sent)
        program.stop()
        return summarise(samples)
    finally:
        receiver.close()
        shutil.rmtree(folder, ignore_errors=True)


def run_wrk(port, seconds):
    wrk = shutil.which("wrk")
    if wrk is None:
        return None
    result = subprocess.run(
        [wrk, "-t2", "-c16", "-d%ds" % seconds, "http://127.0.0.1:%d/" % port],
        capture_output=True, text=True, check=False)
    match = re.search(r"Requests/sec:\s+([\d.]+)", result.stdout)
    return float(match.group(1)) if match else None


def measure_idle(binary, tasks, idle_seconds, wrk_seconds):
    folder = tempfile.mkdtemp(prefix="quillrade-bench-")
    receiver = Receiver()
    try:
        for i in range(tasks):
            write_whole(os.path.join(folder, "in%d.txt" % i), "value %d\n" % i)
        program = start(binary, folder, file_tasks_config(receiver, tasks), receiver, tasks)
        # Past the start-up and the content comparisons that follow each read for 2 s.
        time.sleep(3.0)
        cpu_before = program.cpu_seconds()
        wall_before = time.monotonic()
        time.sleep(idle_seconds)
        cpu = program.cpu_seconds() - cpu_before
        wall = time.monotonic() - wall_before
        figures = {
            "tasks": tasks,
            "idle_cpu_pct": 100.0 * cpu / wall,
            "rss_mb": program.memory_kb("VmRSS") / 1024.0,
            "peak_rss_mb": program.memory_kb("VmHWM") / 1024.0,
            # Most of the resident set is shared-library code; the heap, stacks
            # and other private memory are the anonymous part.
            "anon_mb": program.memory_kb("RssAnon") / 1024.0,
            "threads": program.memory_kb("Threads"),
        }
        if wrk_seconds > 0:
            figures["page_rps"] = run_wrk(program.port("http"), wrk_seconds)
            figures["rss_after_wrk_mb"] = program.memory_kb("VmRSS") / 1024.0
        program.stop()
        return figures
    finally:
        receiver.close()
        shutil.rmtree(folder, ignore_errors=True)


def report(checks):
    """Prints each (target, met) pair; 1 when one was missed, else 0."""
    missed = 0
    for name, ok in checks:
        print("%-40s %s" % (name, "met" if ok else "MISSED"))
        missed += 0 if ok else 1
    return 1 if missed else 0


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--binary", required=True)
    parser.add_argument("--changes", type=int, default=200)
    parser.add_argument("--idle-seconds", type=float, default=60.0)
    parser.add_argument("--wrk-seconds", type=int, default=10)
    args = parser.parse_args()
    args.binary = os.path.abspath(args.binary)
    if not os.access(args.binary, os.X_OK):
        sys.exit("not an executable: " + args.binary)

    print("cores: %d, load average: %s" % (os.cpu_count(), os.getloadavg()))
    write = measure_write_latency(args.binary, args.changes)
    print("write -> request: n=%(n)d p50=%(p50_ms).2f ms p99=%(p99_ms).2f ms "
          "mean=%(mean_ms).2f ms max=%(max_ms).1f ms" % write)
    push = measure_push_latency(args.binary, args.changes)
    print("push  -> request: n=%(n)d p50=%(p50_ms).2f ms p99=%(p99_ms).2f ms "
          "mean=%(mean_ms).2f ms max=%(max_ms).1f ms" % push)
    one = measure_idle(args.binary, 1, args.idle_seconds, 0)
    print("idle, %(tasks)d task: cpu=%(idle_cpu_pct).3f %% rss=%(rss_mb).1f MB "
          "peak=%(peak_rss_mb).1f MB anon=%(anon_mb).1f MB threads=%(threads)d" % one)
    hundred = measure_idle(args.binary, 100, args.idle_seconds, args.wrk_seconds)
    print("idle, %(tasks)d tasks: cpu=%(idle_cpu_pct).3f %% rss=%(rss_mb).1f MB "
          "peak=%(peak_rss_mb).1f MB anon=%(anon_mb).1f MB threads=%(threads)d" % hundred)
    rps = hundred.get("page_rps")
    print("status page under wrk (100 tasks): %s req/s, rss after=%.1f MB"
          % ("n/a (wrk missing)" if rps is None else "%.0f" % rps, hundred["rss_after_wrk_mb"]))
    print("idle measured over %.0f s" % args.idle_seconds)

    checks = [
        ("write p50 <= %.0f ms" % TARGETS["write_p50_ms"], write["p50_ms"] <= TARGETS["write_p50_ms"]),
        ("write p99 <= %.0f ms" % TARGETS["write_p99_ms"], write["p99_ms"] <= TARGETS["write_p99_ms"]),
        ("push p50 <= %.0f ms" % TARGETS["push_p50_ms"], push["p50_ms"] <= TARGETS["push_p50_ms"]),
        ("push p99 <= %.0f ms" % TARGETS["push_p99_ms"], push["p99_ms"] <= TARGETS["push_p99_ms"]),
        ("idle cpu (100 tasks) < %.1f %%" % TARGETS["idle_cpu_100_pct"],
         hundred["idle_cpu_pct"] < TARGETS["idle_cpu_100_pct"]),
        ("rss (100 tasks) < %.0f MB" % TARGETS["rss_100_mb"], hundred["rss_mb"] < TARGETS["rss_100_mb"]),
        ("status page >= %.0f req/s" % TARGETS["page_rps"], rps is not None and rps >= TARGETS["page_rps"]),
    ]
    return report(checks)


if __name__ == "__main__":
    sys.exit(main())
