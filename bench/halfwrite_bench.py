#!/usr/bin/env python3
"""Requests that carry a half-written input file.

Starts the program in its console test mode with one plain text task whose
first line goes out as v=, then rewrites the input the ways ordinary writers do
and counts the requests whose value was never in the file whole (empty, since
every value written is non-empty):
  1. truncate, pause 20 ms, write, close: 30 rewrites 300 ms apart;
  2. the shell's `echo song-N > in.txt`: 20 rewrites 300 ms apart;
  3. 2000 rewrites as fast as Python's open("w") / write / close goes;
and the write -> request latency of rewrites by rename and by a writer that
closes at once (time from just before the close or the rename).

Usage: bench/halfwrite_bench.py --binary PATH/TO/quillrade
Everything runs on 127.0.0.1.
"""
import argparse
import http.server
import os
import statistics
import subprocess
import sys
import tempfile
import threading
import time

from status_idle import Receiver
from status_load import Program, wait_for


class Recorder(Receiver):
    values = []
    lock = threading.Lock()

    def do_GET(self):
        with Recorder.lock:
            Recorder.values.append((time.monotonic(), self.path.split("v=", 1)[-1]))
        self.answer_ok()


def taken():
    with Recorder.lock:
        values = list(Recorder.values)
        Recorder.values.clear()
    return values


def settle(seconds=1.5):
    time.sleep(seconds)
    return taken()


def report(label, values):
    empty = sum(1 for _, value in values if value == "")
    print("%-44s %3d empty of %4d requests" % (label, empty, len(values)))
    sys.stdout.flush()


def latency(path, how, count=60):
    samples = []
    for i in range(count):
        value = "%s%03d" % (how, i)
        taken()
        if how == "rename":
            with open(path + ".new", "w") as out:
                out.write(value + "\n")
            start = time.monotonic()
            os.rename(path + ".new", path)
        else:
            out = open(path, "w")
            out.write(value + "\n")
            out.flush()
            start = time.monotonic()
            out.close()
        arrived = None
        end = time.monotonic() + 3
        while arrived is None and time.monotonic() < end:
            for when, got in taken():
                if got == value:
                    arrived = when
            time.sleep(0.0005)
        if arrived is not None:
            samples.append((arrived - start) * 1000)
        time.sleep(0.15)
    samples.sort()
    print("%-44s p50 %.2f ms, p90 %.2f ms (%d of %d arrived)"
          % ("write -> request, " + how, statistics.median(samples),
             samples[int(0.9 * len(samples))], len(samples), count))


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--binary", required=True)
    args = parser.parse_args()
    print("load average at start: %.2f" % os.getloadavg()[0])
    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Recorder)
    threading.Thread(target=server.serve_forever, daemon=True).start()
    with tempfile.TemporaryDirectory() as folder:
        path = os.path.join(folder, "in.txt")
        with open(path, "w") as out:
            out.write("start\n")
        with open(os.path.join(folder, "load.ini"), "w") as config:
            config.write("[Input0]\nfile=%s\ntext0=line=0\n[Output0]\nformat0=%%text0%%\n"
                         "Url0=http://127.0.0.1:%d/p?v=%%format0%%\n"
                         % (path, server.server_address[1]))
        program = Program(os.path.abspath(args.binary), folder)
        if not wait_for(lambda: program.port("http") != 0, 15):
            print("the program did not start")
            return 1
        settle()
        for i in range(30):
            with open(path, "w") as out:
                time.sleep(0.02)
                out.write("title-%d\n" % i)
            time.sleep(0.3)
        report("truncate, 20 ms, write: 30 rewrites", settle())
        for i in range(20):
            subprocess.run("echo song-%d > %s" % (i, path), shell=True, check=True)
            time.sleep(0.3)
        report("echo song-N > in.txt: 20 rewrites", settle())
        for i in range(2000):
            with open(path, "w") as out:
                out.write("fast-%d\n" % i)
        report("2000 fast rewrites", settle())
        latency(path, "rename")
        latency(path, "close")
        program.stop()
    server.shutdown()
    return 0


if __name__ == "__main__":
    sys.exit(main())
