#!/usr/bin/env python3
"""Load on the status channels: wrk against the status page and against a push
path while TCP console clients stream (one of them never reading), plus hostile
HTTP clients (silent, 1 MB header, disconnect mid-response). Reports requests per
second and latency percentiles, checks that the page keeps answering, that the
program's memory stays bounded and that every accepted push was queued.

Usage: bench/status_load.py PATH/TO/quillrade [--seconds S]
Everything runs on 127.0.0.1.
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


def wait_for(predicate, seconds):
    end = time.time() + seconds
    while time.time() < end:
        if predicate():
            return True
        time.sleep(0.05)
    return False


class Program:
    def __init__(self, binary, folder):
        self.output = []
        self.lock = threading.Lock()
        self.process = subprocess.Popen(
            [binary, "run", "ini_file=" + os.path.join(folder, "load.ini")], cwd=folder,
            stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
        threading.Thread(target=self._read, daemon=True).start()

    def _read(self):
        for line in self.process.stdout:
            with self.lock:
                self.output.append(line.decode("latin-1"))

    def text(self):
        with self.lock:
            return "".join(self.output)

    def port(self, scheme):
        match = re.search(r" \* %s://127\.0\.0\.1:(\d+)" % scheme, self.text())
        return int(match.group(1)) if match else 0

    def rss_kb(self):
        with open("/proc/%d/status" % self.process.pid) as status:
            for line in status:
                if line.startswith("VmRSS:"):
                    return int(line.split()[1])
        return 0

    def stop(self):
        self.process.stdin.write(b"\x1b")
        self.process.stdin.flush()
        return self.process.wait(timeout=30)


def console_reader(port, stop, counts, index):
    with socket.create_connection(("127.0.0.1", port)) as client:
        client.settimeout(0.5)
        while not stop.is_set():
            try:
                data = client.recv(65536)
            except socket.timeout:
                continue
            if not data:
                return
            counts[index] += len(data)


def page_latency(port):
    start = time.time()
    with socket.create_connection(("127.0.0.1", port), timeout=5) as client:
        client.sendall(b"GET / HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n")
        data = b""
        while True:
            chunk = client.recv(65536)
            if not chunk:
                break
            data += chunk
    return time.time() - start, data.startswith(b"HTTP/1.1 200 OK")


def hostile_clients(port, stop):
    """Keeps one silent client, one 1 MB header and one early disconnect going."""
    silent = socket.create_connection(("127.0.0.1", port))
    def big_header():
        while not stop.is_set():
            try:
                with socket.create_connection(("127.0.0.1", port), timeout=5) as client:
                    client.sendall(b"GET / HTTP/1.1\r\nX-Big: " + b"a" * (1 << 20) + b"\r\n\r\n")
                    client.recv(1024)
            except OSError:
                pass
    def disconnect_mid_response():
        while not stop.is_set():
            try:
                with socket.create_connection(("127.0.0.1", port), timeout=5) as client:
                    client.sendall(b"GET / HTTP/1.1\r\nHost: x\r\n\r\n")
                    client.recv(100)
            except OSError:
                pass
    threads = [threading.Thread(target=big_header, daemon=True),
               threading.Thread(target=disconnect_mid_response, daemon=True)]
    for thread in threads:
        thread.start()
    return silent, threads


def run_wrk(url, seconds):
    result = subprocess.run(["wrk", "-t2", "-c16", "-d%ds" % seconds, "--latency", url],
                            capture_output=True, text=True)
    out = result.stdout
    rate = re.search(r"Requests/sec:\s+([\d.]+)", out)
    non2xx = re.search(r"Non-2xx or 3xx responses: (\d+)", out)
    total = re.search(r"(\d+) requests in", out)
    percentiles = dict(re.findall(r"\s+(50|90|99)%\s+([\d.]+\w+)", out))
    return {"rate": float(rate.group(1)) if rate else 0.0,
            "total": int(total.group(1)) if total else 0,
            "non2xx": int(non2xx.group(1)) if non2xx else 0,
            "p": percentiles}


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("binary")
    parser.add_argument("--seconds", type=int, default=10)
    args = parser.parse_args()
    folder = tempfile.mkdtemp(prefix="qr_load_")
    with open(os.path.join(folder, "load.ini"), "w") as ini:
        ini.write("[Input0]\ntype=push\ntext0=line=0\n[Output0]\nformat0=%text0%\n")
    program = Program(args.binary, folder)
    if not wait_for(lambda: program.port("http") and program.port("telnet"), 10):
        print("program did not start:\n" + program.text())
        return 1
    http, telnet = program.port("http"), program.port("telnet")
    rss_start = program.rss_kb()

    stop = threading.Event()
    counts = [0, 0, 0]
    readers = [threading.Thread(target=console_reader, args=(telnet, stop, counts, i), daemon=True)
               for i in range(3)]
    for reader in readers:
        reader.start()
    never_reads = socket.create_connection(("127.0.0.1", telnet))
    silent, hostile = hostile_clients(http, stop)

    page = run_wrk("http://127.0.0.1:%d/" % http, args.seconds)
    push = run_wrk("http://127.0.0.1:%d/input0?set=load+text" % http, args.seconds)
    latencies = [page_latency(http) for _ in range(20)]
    rss_end = program.rss_kb()
    stop.set()
    silent.close()
    never_reads.close()

    accepted = push["total"] - push["non2xx"]
    output = program.text()
    queued = output.count("HTTP push /input0: load text\n")
    dropped = output.count("HTTP push /input0: queue full, text dropped\n")
    exit_code = program.stop()

    worst = max(latency for latency, _ in latencies)
    print("status page: %.0f req/s, latency p50 %s p90 %s p99 %s" %
          (page["rate"], page["p"].get("50"), page["p"].get("90"), page["p"].get("99")))
    print("push path:   %.0f req/s, latency p50 %s p90 %s p99 %s; %d answered 200, %d refused "
          "(503, queue full)" % (push["rate"], push["p"].get("50"), push["p"].get("90"),
                                 push["p"].get("99"), accepted, push["non2xx"]))
    print("pushes printed as queued: %d (accepted %d), printed as dropped: %d" %
          (queued - dropped, accepted, dropped))
    print("console clients received %s bytes" % counts)
    print("page under hostile clients: worst of 20 requests %.3f s, all 200: %s" %
          (worst, all(ok for _, ok in latencies)))
    print("resident memory: %.1f MB at start, %.1f MB after the load" %
          (rss_start / 1024.0, rss_end / 1024.0))
    print("exit code %d" % exit_code)
    ok = (all(ok for _, ok in latencies) and worst < 2.0 and queued - dropped == accepted and
          exit_code == 0 and rss_end < 64 * 1024)
    print("RESULT: %s" % ("ok" if ok else "FAILED"))
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
