#!/usr/bin/python3
# The service's targets inside the test container, on 127.0.0.1:
#   answering port: answers every request "200 OK" and appends its request line's
#                   target to <log dir>/answered;
#   silent port:    reads the request, appends its target to <log dir>/held, and
#                   never answers (the connection stays open until this ends).
# Usage: quillrade-test-peers <answering port> <silent port> <log dir>
import os
import socket
import sys
import threading

held = []


def request_target(connection):
    data = b""
    while b"\r\n\r\n" not in data:
        chunk = connection.recv(4096)
        if not chunk:
            break
        data += chunk
    parts = data.split(b"\r\n", 1)[0].split(b" ")
    return parts[1].decode("latin-1") if len(parts) >= 2 else ""


def record(path, target):
    with open(path, "a") as log:
        log.write(target + "\n")


def serve(port, log_path, answer):
    listener = socket.socket()
    listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    listener.bind(("127.0.0.1", port))
    listener.listen(16)
    while True:
        connection, _ = listener.accept()
        target = request_target(connection)
        record(log_path, target)
        if answer:
            connection.sendall(b"HTTP/1.1 200 OK\r\nContent-Length: 0\r\nConnection: close\r\n\r\n")
            connection.close()
        else:
            held.append(connection)


def main():
    answering, silent, log_dir = int(sys.argv[1]), int(sys.argv[2]), sys.argv[3]
    os.makedirs(log_dir, exist_ok=True)
    threading.Thread(target=serve, args=(silent, log_dir + "/held", False), daemon=True).start()
    serve(answering, log_dir + "/answered", True)


main()
