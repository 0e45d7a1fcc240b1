#!/usr/bin/env python3
"""The benchmarks' HTTP receiver on 127.0.0.1: records when each request target
arrives, answers 200 and closes.

The serving loop runs in a process of its own (this file run as a script), one
thread over a selector: nothing the benchmark does meanwhile (threads waiting on
locks, the interpreter lock) can delay a time stamp. CLOCK_MONOTONIC, which
time.monotonic() reads, is the same in every process, so its stamps compare
with the benchmark's. It can also go down (port bound but not listening, so
connections are refused) and come back.

Child protocol: it prints "port <n>", then "<stamp> <target>" per request, and
"down <stamp>" or "up <stamp>" once it has done so; it reads "down", "up" and
"quit" lines.
"""

import os
import selectors
import socket
import subprocess
import sys
import threading
import time

RESPONSE = b"HTTP/1.1 200 OK\r\nContent-Length: 2\r\nConnection: close\r\n\r\nok"


class Receiver:
    def __init__(self):
        self.proc = subprocess.Popen(
            [sys.executable, os.path.abspath(__file__)], stdin=subprocess.PIPE,
            stdout=subprocess.PIPE, bufsize=0)
        first = self.proc.stdout.readline().split()
        self.port = int(first[1])
        self.cond = threading.Condition()
        self.arrivals = {}  # target -> list of monotonic times
        self.count = 0
        self.done = {"down": [], "up": []}  # command -> monotonic times done
        self.reader = threading.Thread(target=self._read, daemon=True)
        self.reader.start()

    def base_url(self):
        return "http://127.0.0.1:%d" % self.port

    def _read(self):
        for line in self.proc.stdout:
            stamp, target = line.decode("latin-1").rstrip("\n").split(" ", 1)
            with self.cond:
                if stamp in self.done:
                    self.done[stamp].append(float(target))
                else:
                    self.arrivals.setdefault(target, []).append(float(stamp))
                    self.count += 1
                self.cond.notify_all()

    def _command(self, word):
        self.proc.stdin.write(word.encode() + b"\n")

    def _do(self, word):
        """Has the child do `word`; the monotonic time it was done."""
        with self.cond:
            known = len(self.done[word])
        self._command(word)
        if not self._wait(lambda: len(self.done[word]) > known, 10):
            sys.exit("the receiver did not do: " + word)
        with self.cond:
            return self.done[word][known]

    def _wait(self, predicate, timeout):
        deadline = time.monotonic() + timeout
        with self.cond:
            while not predicate():
                left = deadline - time.monotonic()
                if left <= 0:
                    return False
                self.cond.wait(left)
            return True

    def wait_target(self, target, timeout):
        """Arrival time of the first request for target, or None."""
        if not self._wait(lambda: target in self.arrivals, timeout):
            return None
        with self.cond:
            return self.arrivals[target][0]

    def wait_count(self, count, timeout):
        return self._wait(lambda: self.count >= count, timeout)

    def targets(self):
        with self.cond:
            return set(self.arrivals)

    def go_down(self):
        """Connections are refused from now on (the port stays ours)."""
        self._do("down")

    def come_back(self):
        """Listens again; returns the monotonic time it did."""
        return self._do("up")

    def close(self):
        try:
            self._command("quit")
        except OSError:
            pass
        self.proc.wait()


def listener(port):
    sock = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    for _ in range(50):
        try:
            sock.bind(("127.0.0.1", port))
            return sock
        except OSError:
            time.sleep(0.01)
    sys.exit("port %d could not be bound again" % port)


def serve():
    out = sys.stdout.buffer
    selector = selectors.DefaultSelector()
    sock = listener(0)
    sock.listen(256)
    sock.setblocking(False)
    port = sock.getsockname()[1]
    out.write(b"port %d\n" % port)
    out.flush()
    selector.register(sock, selectors.EVENT_READ, "listen")
    selector.register(sys.stdin.buffer, selectors.EVENT_READ, "command")

    def read(conn, pending):
        """Takes what arrived; True once the request was answered (or the
        client went), so the connection can be closed."""
        try:
            chunk = conn.recv(4096)
        except BlockingIOError:
            return False
        except OSError:
            return True
        if not chunk:
            return True
        pending += chunk
        if b"\r\n\r\n" not in pending:
            return False
        stamp = time.monotonic()
        line = bytes(pending).split(b"\r\n", 1)[0].split(b" ")
        target = line[1] if len(line) >= 3 else b"?"
        out.write(b"%.6f %s\n" % (stamp, target))
        out.flush()
        try:
            conn.sendall(RESPONSE)
        except OSError:
            pass
        return True

    while True:
        for key, _ in selector.select():
            if key.data == "listen":
                try:
                    conn, _ = sock.accept()
                except OSError:
                    continue
                conn.setblocking(False)
                pending = bytearray()
                # The request usually came with the connection: no second wake.
                if read(conn, pending):
                    conn.close()
                else:
                    selector.register(conn, selectors.EVENT_READ, pending)
            elif key.data == "command":
                word = sys.stdin.buffer.readline().strip()
                if word in (b"quit", b""):
                    return
                if word == b"down":
                    selector.unregister(sock)
                    sock.close()
                    sock = listener(port)
                elif word == b"up":
                    sock.listen(256)
                    sock.setblocking(False)
                    selector.register(sock, selectors.EVENT_READ, "listen")
                out.write(b"%s %.6f\n" % (word, time.monotonic()))
                out.flush()
            elif read(key.fileobj, key.data):
                selector.unregister(key.fileobj)
                key.fileobj.close()


if __name__ == "__main__":
    serve()
