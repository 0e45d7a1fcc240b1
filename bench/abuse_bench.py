#!/usr/bin/env python3
"""Resident memory before and after mixed abuse of the status channels.

Starts the program in its console test mode with 100 tasks (50 push tasks, 50
plain text tasks), takes its resident memory once it is idle, then for
--seconds runs at the same time: push floods, pushes of 8 KB values, status
page and /tasks requests, configuration reloads every 5 s, and 300 held idle
connections. After the abuse it waits --rest seconds and takes the resident
memory again; the target is "after" within 25 % of "before".

Usage: bench/abuse_bench.py --binary PATH/TO/quillrade [--seconds S] [--rest S]
Everything runs on 127.0.0.1.
"""
import argparse
import os
import socket
import sys
import tempfile
import threading
import time

from status_idle import Holder, start_receiver
from status_load import Program, wait_for

TASKS = 100


def config_text(folder, receiver_port, generation):
    text = "; generation %d\n" % generation
    for i in range(TASKS):
        if i % 2 == 0:
            text += "[Input%d]\ntype=push\ntext0=line=0\n" % i
        else:
            text += "[Input%d]\nfile=%s\ntext0=line=0\n" % (i, os.path.join(folder, "in%d.txt" % i))
        text += ("[Output%d]\nformat0=%%text0%%\nUrl0=http://127.0.0.1:%d/t%d?v=%%format0%%\n"
                 % (i, receiver_port, i))
    return text


def get(port, target):
    try:
        with socket.create_connection(("127.0.0.1", port), timeout=10) as sock:
            sock.sendall(("GET %s HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n"
                          % target).encode())
            while sock.recv(65536):
                pass
    except OSError:
        pass


def status(pid, key):
    with open("/proc/%d/status" % pid) as lines:
        for line in lines:
            if line.startswith(key + ":"):
                return int(line.split()[1])
    return 0


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--binary", required=True)
    parser.add_argument("--seconds", type=int, default=120)
    parser.add_argument("--rest", type=int, default=10)
    args = parser.parse_args()
    print("load average at start: %.2f" % os.getloadavg()[0])
    receiver = start_receiver()
    receiver_port = receiver.server_address[1]
    with tempfile.TemporaryDirectory() as folder:
        for i in range(1, TASKS, 2):
            with open(os.path.join(folder, "in%d.txt" % i), "w") as out:
                out.write("start\n")
        config = os.path.join(folder, "load.ini")
        with open(config, "w") as out:
            out.write(config_text(folder, receiver_port, 0))
        program = Program(os.path.abspath(args.binary), folder)
        if not wait_for(lambda: program.port("http") != 0, 15):
            print("the program did not start")
            return 1
        port = program.port("http")
        pid = program.process.pid
        time.sleep(5)
        before = status(pid, "VmRSS")
        stop = threading.Event()

        def loop(work):
            n = 0
            while not stop.is_set():
                work(n)
                n += 1

        def flood(n):
            get(port, "/input%d?set=flood%d" % (2 * (n % 50), n))

        def big(n):
            get(port, "/input%d?set=%s" % (2 * (n % 50), "b" * 8000))

        def pages(n):
            get(port, "/" if n % 2 else "/tasks")

        def reload(n):
            time.sleep(5)
            with open(config, "w") as out:
                out.write(config_text(folder, receiver_port, n + 1))

        workers = [threading.Thread(target=loop, args=(work,), daemon=True)
                   for work in (flood, flood, big, pages, pages, reload)]
        for worker in workers:
            worker.start()
        holder = Holder(port, 300, False)
        time.sleep(args.seconds)
        stop.set()
        holder.close()
        for worker in workers:
            worker.join()
        during = status(pid, "VmHWM")
        time.sleep(args.rest)
        after = status(pid, "VmRSS")
        threads = status(pid, "Threads")
        print("resident memory before %.1f MB, after %.1f MB (%+.0f %%), peak %.1f MB, "
              "%d threads" % (before / 1024, after / 1024, (after - before) * 100.0 / before,
                              during / 1024, threads))
        met = after <= before * 1.25
        print("after within 25 %% of before: %s" % ("met" if met else "MISSED"))
        program.stop()
    receiver.shutdown()
    return 0 if met else 1


if __name__ == "__main__":
    sys.exit(main())
