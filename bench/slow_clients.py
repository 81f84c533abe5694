#!/usr/bin/python3
"""Hostile load for the load scripts, by hand: holds COUNT connections to 127.0.0.1:PORT from the
loopback addresses 127.0.0.3 to 127.0.0.6 in turn, each sending one byte of a request head every
INTERVAL seconds and connecting again at the next byte whenever the server closes it, for SECONDS
seconds. Prints how many times the server cut a connection off.

    slow_clients.py PORT COUNT SECONDS [INTERVAL]
"""
import resource
import selectors
import socket
import sys
import time

port, count, seconds = int(sys.argv[1]), int(sys.argv[2]), float(sys.argv[3])
interval = float(sys.argv[4]) if len(sys.argv) > 4 else 1.0
soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
resource.setrlimit(resource.RLIMIT_NOFILE, (min(hard, count + 256), hard))

HEAD = b"GET /slow HTTP/1.1\r\nHost: h\r\n" + b"X-Pad: " + b"a" * 4096
selector = selectors.DefaultSelector()
cut = 0


def connect(i):
    sock = socket.socket()
    sock.setblocking(False)
    sock.bind(("127.0.0.%d" % (3 + i % 4), 0))
    sock.connect_ex(("127.0.0.1", port))
    selector.register(sock, selectors.EVENT_READ, [0, i])
    return sock


held = [connect(i) for i in range(count)]
gone = []
end = time.monotonic() + seconds
next_byte = time.monotonic()
while time.monotonic() < end:
    for key, _ in selector.select(timeout=0.05):
        sock = key.fileobj
        try:
            data = sock.recv(4096)
        except OSError:
            data = b""
        if not data:
            cut += 1
            selector.unregister(sock)
            sock.close()
            gone.append(key.data[1])
    if time.monotonic() >= next_byte:
        next_byte += interval
        for i in gone:
            held[i] = connect(i)
        gone = []
        for sock in held:
            state = selector.get_key(sock).data
            try:
                sock.send(HEAD[state[0] % len(HEAD):state[0] % len(HEAD) + 1])
                state[0] += 1
            except OSError:
                pass
print("slow clients: cut off %d times" % cut)
