#!/usr/bin/env python3
"""Change detection and delivery: quillrade side by side with an inotifywait +
curl shell script (bench/inotify_curl.sh) doing the same job.

Figures, for each of the two:
  * write -> request latency (p50, p99) for changes spaced more than 100 ms
    apart; for quillrade also push -> request;
  * final values lost over bursts of two quick rewrites (in place, by rename,
    truncate-then-write), on the ordinary file system and, where this machine
    can mount one (root, loop device), on ext4 with one-second timestamps;
  * a storm: one file rewritten as fast as a writer can for some seconds: CPU
    of the program meanwhile, and whether (and when) the final value arrives;
  * idle CPU and resident memory with 100 watched files.

Standard library only; uses the receiver and program driver of
quillrade_bench.py. Everything listens on 127.0.0.1. Exits 1 when one of
quillrade's targets is missed.
"""

import argparse
import os
import shutil
import subprocess
import sys
import tempfile
import threading
import time
import urllib.parse

import quillrade_bench as qb

TARGETS = {
    "p50_ms": 1.0,
    "p99_ms": 5.0,
    "lost": 0,
    "storm_cpu_pct": 50.0,
    "idle_cpu_100_pct": 0.5,
    "rss_100_mb": 16.0,
}
SCRIPT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "inotify_curl.sh")
# A burst's final value counts as lost when it has not arrived after this long.
LOST_AFTER_S = 5.0


class Script:
    """bench/inotify_curl.sh on a folder; CPU and memory are those of its whole
    process group (the shells, inotifywait, and the head and curl children
    already reaped)."""

    def __init__(self, folder, receiver):
        self.proc = subprocess.Popen(
            ["sh", SCRIPT, folder, receiver.base_url()], stdin=subprocess.DEVNULL,
            stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, start_new_session=True)
        # inotifywait says so on standard error once its watch is in place.
        for line in self.proc.stderr:
            if b"Watches established" in line:
                break
        threading.Thread(target=self._drain, daemon=True).start()

    def _drain(self):
        for _ in self.proc.stderr:
            pass

    def _group(self):
        pids = []
        for entry in os.listdir("/proc"):
            if not entry.isdigit():
                continue
            try:
                with open("/proc/%s/stat" % entry) as f:
                    fields = f.read().rsplit(")", 1)[1].split()
            except OSError:
                continue
            if int(fields[3]) == self.proc.pid:  # process group
                pids.append((entry, fields))
        return pids

    def cpu_seconds(self):
        ticks = 0
        for _, fields in self._group():
            ticks += sum(int(x) for x in fields[11:15])  # utime stime cutime cstime
        return ticks / os.sysconf("SC_CLK_TCK")

    def memory_kb(self, key):
        total = 0
        for pid, _ in self._group():
            try:
                with open("/proc/%s/status" % pid) as f:
                    for line in f:
                        if line.startswith(key + ":"):
                            total += int(line.split()[1])
            except OSError:
                pass
        return total

    def stop(self):
        try:
            os.killpg(self.proc.pid, 15)
        except OSError:
            pass
        self.proc.wait()


def quillrade(binary):
    def start(folder, receiver, files, config_folder):
        config = qb.file_tasks_config(receiver, files).replace(
            "file=in", "file=" + folder + "/in")
        return qb.start(binary, config_folder, config, receiver, 0)
    return start


def script():
    def start(folder, receiver, files, config_folder):
        return Script(folder, receiver)
    return start


def rewrite(path, content, how):
    if how == 0:
        qb.overwrite(path, content)
    elif how == 1:
        qb.write_whole(path, content)
    else:  # truncate, then write
        with open(path, "w") as f:
            f.write(content)


def target(index, value):
    return "/t%d?v=%s" % (index, urllib.parse.quote(value))


def prepare(folder, files):
    for i in range(files):
        qb.write_whole(os.path.join(folder, "in%d.txt" % i), "b0000z\n")


def wait_startup(program, receiver, files):
    """quillrade sends every file once at start; the script sends nothing."""
    if isinstance(program, qb.Program):
        for i in range(files):
            if receiver.wait_target(target(i, "b0000z"), 30) is None:
                sys.exit("the start-up requests did not arrive")


def run(starter, folder, files, body):
    """Starts the program on `files` inputs in `folder` (the configuration
    elsewhere), waits for its start-up requests, runs body(program, receiver)."""
    config_folder = tempfile.mkdtemp(prefix="quillrade-bench-")
    receiver = qb.Receiver()
    program = None
    try:
        prepare(folder, files)
        program = starter(folder, receiver, files, config_folder)
        return body(program, receiver)
    finally:
        if program is not None:
            program.stop()
        receiver.close()
        shutil.rmtree(config_folder, ignore_errors=True)


def write_latency(starter, folder, changes):
    def body(program, receiver):
        wait_startup(program, receiver, 1)
        samples = []
        for i in range(changes):
            time.sleep(qb.spaced_gap())
            value = "change-%d" % i
            written = qb.overwrite(os.path.join(folder, "in0.txt"), value + "\n")
            arrived = receiver.wait_target(target(0, value), 5)
            if arrived is None:
                sys.exit("change %d did not arrive" % i)
            samples.append(arrived - written)
        return qb.summarise(samples)
    return run(starter, folder, 1, body)


def lost_finals(starter, folder, bursts, files):
    """Bursts spread over `files` files, each file's bursts one after the other;
    returns (bursts, lost)."""
    per_file = max(1, bursts // files)

    def body(program, receiver):
        wait_startup(program, receiver, files)
        lost = [0]
        lock = threading.Lock()

        def writer(i):
            path = os.path.join(folder, "in%d.txt" % i)
            for burst in range(1, per_file + 1):
                how = (i + burst) % 3
                rewrite(path, "b%04da\n" % burst, how)
                rewrite(path, "b%04dz\n" % burst, how)
                if receiver.wait_target(target(i, "b%04dz" % burst), LOST_AFTER_S) is None:
                    with lock:
                        lost[0] += 1
        threads = [threading.Thread(target=writer, args=(i,)) for i in range(files)]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()
        return per_file * files, lost[0]
    return run(starter, folder, files, body)


def storm(starter, folder, seconds, final_wait):
    """Rewrites in0.txt flat out for `seconds`; returns (writes, CPU percent of
    the program during the storm, seconds from the last write to the final
    value's arrival or None)."""
    def body(program, receiver):
        wait_startup(program, receiver, 1)
        path = os.path.join(folder, "in0.txt")
        cpu_before = program.cpu_seconds()
        begin = time.monotonic()
        writes = 0
        # In place: the fastest way to rewrite (a rename or a truncation makes
        # the file system write the data out first).
        while time.monotonic() - begin < seconds:
            writes += 1
            rewrite(path, "s%d\n" % writes, 0)
        ended = time.monotonic()
        cpu = 100.0 * (program.cpu_seconds() - cpu_before) / (ended - begin)
        arrived = receiver.wait_target(target(0, "s%d" % writes), final_wait)
        return writes, cpu, None if arrived is None else arrived - ended
    return run(starter, folder, 1, body)


def idle(starter, folder, files, seconds):
    def body(program, receiver):
        wait_startup(program, receiver, files)
        time.sleep(3.0)  # past the content comparisons that follow each read
        cpu_before = program.cpu_seconds()
        wall_before = time.monotonic()
        time.sleep(seconds)
        cpu = 100.0 * (program.cpu_seconds() - cpu_before) / (time.monotonic() - wall_before)
        return cpu, program.memory_kb("VmRSS") / 1024.0
    return run(starter, folder, files, body)


class CoarseMount:
    """ext4 with 128-byte inodes (one-second timestamps) on a loop device."""

    def __init__(self):
        self.folder = tempfile.mkdtemp(prefix="quillrade-coarse-")
        self.image = self.folder + ".img"
        self.mounted = False
        self.reason = ""
        if os.geteuid() != 0:
            self.reason = "not root"
            return
        steps = [["truncate", "-s", "64M", self.image],
                 ["mkfs.ext4", "-q", "-F", "-I", "128", self.image],
                 ["mount", "-o", "loop", self.image, self.folder]]
        for step in steps:
            if subprocess.run(step, capture_output=True).returncode != 0:
                self.reason = " ".join(step[:2]) + " failed"
                return
        self.mounted = True

    def close(self):
        if self.mounted:
            subprocess.run(["umount", self.folder], capture_output=True)
        shutil.rmtree(self.folder, ignore_errors=True)
        if os.path.exists(self.image):
            os.remove(self.image)


def in_folder(parent, function, starter, *args):
    """function(starter, folder, *args) in a new folder under `parent` (a
    temporary folder when None), removed afterwards."""
    folder = tempfile.mkdtemp(prefix="quillrade-bench-in-", dir=parent)
    try:
        return function(starter, folder, *args)
    finally:
        shutil.rmtree(folder, ignore_errors=True)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--binary", required=True)
    parser.add_argument("--changes", type=int, default=200)
    parser.add_argument("--bursts", type=int, default=1000)
    parser.add_argument("--burst-files", type=int, default=10)
    parser.add_argument("--storm-seconds", type=float, default=10.0)
    parser.add_argument("--idle-seconds", type=float, default=60.0)
    parser.add_argument("--only", choices=["latency", "bursts", "storm", "idle"],
                        action="append", help="run only these parts (repeatable)")
    args = parser.parse_args()
    args.binary = os.path.abspath(args.binary)
    parts = set(args.only or ["latency", "bursts", "storm", "idle"])
    ours = quillrade(args.binary)
    theirs = script()
    checks = []
    print("cores: %d, load average: %s" % (os.cpu_count(), os.getloadavg()))

    if "latency" in parts:
        for name, starter in (("quillrade", ours), ("inotifywait+curl", theirs)):
            figures = in_folder(None, write_latency, starter, args.changes)
            print("%-17s write -> request: n=%d p50=%.2f ms p99=%.2f ms mean=%.2f ms max=%.1f ms"
                  % (name, figures["n"], figures["p50_ms"], figures["p99_ms"],
                     figures["mean_ms"], figures["max_ms"]))
            if starter is ours:
                checks.append(("write p50 <= %.0f ms" % TARGETS["p50_ms"],
                               figures["p50_ms"] <= TARGETS["p50_ms"]))
                checks.append(("write p99 <= %.0f ms" % TARGETS["p99_ms"],
                               figures["p99_ms"] <= TARGETS["p99_ms"]))
        push = qb.measure_push_latency(args.binary, args.changes)
        print("quillrade         push  -> request: n=%d p50=%.2f ms p99=%.2f ms mean=%.2f ms max=%.1f ms"
              % (push["n"], push["p50_ms"], push["p99_ms"], push["mean_ms"], push["max_ms"]))
        checks.append(("push p50 <= %.0f ms" % TARGETS["p50_ms"], push["p50_ms"] <= TARGETS["p50_ms"]))
        checks.append(("push p99 <= %.0f ms" % TARGETS["p99_ms"], push["p99_ms"] <= TARGETS["p99_ms"]))

    if "bursts" in parts:
        mount = CoarseMount()
        try:
            for name, starter in (("quillrade", ours), ("inotifywait+curl", theirs)):
                bursts, lost = in_folder(None, lost_finals, starter, args.bursts, args.burst_files)
                print("%-17s final values lost, fine timestamps: %d of %d" % (name, lost, bursts))
                if starter is ours:
                    checks.append(("0 lost (fine)", lost == 0))
                if not mount.mounted:
                    print("%-17s final values lost, 1 s timestamps: n/a (%s)" % (name, mount.reason))
                    continue
                bursts, lost = in_folder(mount.folder, lost_finals, starter, args.bursts,
                                                args.burst_files)
                print("%-17s final values lost, 1 s timestamps (ext4 -I 128): %d of %d"
                      % (name, lost, bursts))
                if starter is ours:
                    checks.append(("0 lost (1 s timestamps)", lost == 0))
        finally:
            mount.close()

    if "storm" in parts:
        for name, starter in (("quillrade", ours), ("inotifywait+curl", theirs)):
            writes, cpu, delay = in_folder(None, storm, starter, args.storm_seconds, 20.0)
            print("%-17s storm of %d rewrites in %.0f s: cpu %.1f %% of a core, final value %s"
                  % (name, writes, args.storm_seconds, cpu,
                     "after %.0f ms" % (delay * 1000) if delay is not None
                     else "NOT within 20 s"))
            if starter is ours:
                checks.append(("storm cpu < %.0f %%, final value arrives" % TARGETS["storm_cpu_pct"],
                               cpu < TARGETS["storm_cpu_pct"] and delay is not None))

    if "idle" in parts:
        for name, starter in (("quillrade", ours), ("inotifywait+curl", theirs)):
            cpu, rss = in_folder(None, idle, starter, 100, args.idle_seconds)
            print("%-17s idle, 100 files: cpu %.3f %% of a core, rss %.1f MB"
                  % (name, cpu, rss))
            if starter is ours:
                checks.append(("idle cpu (100 tasks) < %.1f %%" % TARGETS["idle_cpu_100_pct"],
                               cpu < TARGETS["idle_cpu_100_pct"]))
                checks.append(("rss (100 tasks) < %.0f MB" % TARGETS["rss_100_mb"],
                               rss < TARGETS["rss_100_mb"]))

    return qb.report(checks)


if __name__ == "__main__":
    sys.exit(main())
