#!/usr/bin/env python3
"""A TCP relay between the cache server and the object store that counts what the store sent.

    counting_proxy.py UPSTREAM_PORT STATE_DIR [BYTES_PER_SECOND]

Listens on 127.0.0.1 (port written to STATE_DIR/port), relays every connection to
127.0.0.1:UPSTREAM_PORT, and keeps STATE_DIR/count up to date with two numbers: the bytes the
store sent and the HTTP responses it began (status lines seen). With BYTES_PER_SECOND it paces
what it relays from the store, so a transfer takes long enough to be interrupted.
"""
import os
import socket
import sys
import threading
import time

upstream_port = int(sys.argv[1])
state = sys.argv[2]
rate = int(sys.argv[3]) if len(sys.argv) > 3 else 0
lock = threading.Lock()
total = [0, 0]


def publish():
    tmp = os.path.join(state, "count.tmp")
    with open(tmp, "w") as f:
        f.write("%d %d\n" % (total[0], total[1]))
    os.replace(tmp, os.path.join(state, "count"))


def pump(src, dst, counted):
    started = time.monotonic()
    sent = 0
    try:
        while True:
            data = src.recv(65536)
            if not data:
                break
            if counted:
                with lock:
                    total[0] += len(data)
                    total[1] += data.count(b"HTTP/1.1 ")
                    publish()
                if rate:
                    sent += len(data)
                    ahead = sent / rate - (time.monotonic() - started)
                    if ahead > 0:
                        time.sleep(ahead)
            dst.sendall(data)
    except OSError:
        pass
    for s in (src, dst):
        try:
            s.shutdown(socket.SHUT_RDWR)
        except OSError:
            pass


def serve(client):
    try:
        up = socket.create_connection(("127.0.0.1", upstream_port))
    except OSError:
        client.close()
        return
    for a, b, counted in ((client, up, False), (up, client, True)):
        threading.Thread(target=pump, args=(a, b, counted), daemon=True).start()


def main():
    listener = socket.socket()
    listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    listener.bind(("127.0.0.1", 0))
    listener.listen(64)
    with lock:
        publish()
    tmp = os.path.join(state, "port.tmp")
    with open(tmp, "w") as f:
        f.write("%d\n" % listener.getsockname()[1])
    os.replace(tmp, os.path.join(state, "port"))
    while True:
        client, _ = listener.accept()
        serve(client)


main()
