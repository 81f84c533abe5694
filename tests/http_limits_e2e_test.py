#!/usr/bin/python3
"""The real program zyntparlevo against clients that try to take its memory or its connection
slots, or to smuggle a request past its framing, while the PBX (from 127.0.0.2) looks up a PIN:
endless chunk lines and trailers, many held large bodies, many clients of a large front-end file
that never read, one-byte connections from 250 loopback addresses reopened as they are closed, and
Transfer-Encoding values that leave the body's end in doubt. Memory is the program's resident set
(VmRSS of /proc/PID/status).

Usage: http_limits_e2e_test.py PATH/TO/zyntparlevo PATH/TO/dist HARNESS_DIR [TestClass]
       http_limits_e2e_test.py --attack PORT SECONDS CONNECTIONS   (the one-byte clients)
"""
import os
import selectors
import socket
import struct
import subprocess
import sys
import threading
import time
import unittest

import hostile_clients_e2e_test as hostile
from hostile_clients_e2e_test import Service, connect, raise_own_descriptor_limit, rss_kib

SCALE = float(os.environ.get("PARLEVO_TEST_TIME_SCALE", "1"))
LOOKUP_LIMIT = 0.1 * SCALE
RSS_LIMIT_KIB = 300 * 1024
# The addresses of the one-byte clients: 250 of them, none the PBX's.
ATTACK_ADDRESSES = ["127.0.0.%d" % x for x in range(3, 253)]


def sanitizer_memory_factor(pid):
    """How much more memory a sanitizer build of the program takes for the same work: the
    sanitizers keep shadow memory beside every byte the program touches (ThreadSanitizer several
    bytes per byte, AddressSanitizer one per eight, and freed blocks in quarantine)."""
    with open("/proc/%d/maps" % pid) as f:
        maps = f.read()
    if "libtsan" in maps:
        return 4
    if "libasan" in maps:
        return 2
    return 1


class Limits(hostile.Running):
    def lookups(self, count):
        """The times of count PIN lookups in a row; each must answer with the conference."""
        took = []
        for _ in range(count):
            began = time.monotonic()
            status, text = self.service.lookup(timeout=5 * SCALE)
            took.append(time.monotonic() - began)
            self.assertEqual(status, 200)
            self.assertIn("&lt;id&gt;%d&lt;/id&gt;" % self.service.conference, text)
        return sorted(took)

    def assertMemoryBelowLimit(self, what):
        pid = self.service.process.pid
        rss = rss_kib(pid)
        print("%s: RSS %d MiB" % (what, rss // 1024), file=sys.stderr)
        self.assertLess(rss, RSS_LIMIT_KIB * sanitizer_memory_factor(pid))


class MemoryBudget(Limits):
    def test_endless_chunk_lines_and_held_bodies(self):
        self.service = Service()
        raise_own_descriptor_limit(2048)
        port = self.service.port

        # Four chunked POSTs whose chunk extension or trailer section never ends; each keeps its
        # connection until the memory is measured.
        refused = []
        measured = threading.Event()

        def endless(start):
            sock = connect(port, timeout=10)
            sock.sendall(b"POST /soap/IZYNTConferenceService HTTP/1.1\r\nHost: h\r\n"
                         b"Transfer-Encoding: chunked\r\n\r\n" + start)
            filler = b"a" * 65536
            sent = 0
            until = time.monotonic() + 10
            try:
                while sent < (128 << 20) and time.monotonic() < until:
                    sock.sendall(filler)
                    sent += len(filler)
            except OSError:
                pass  # the service stopped reading
            measured.wait(60)
            try:
                refused.append(sock.recv(100))
            except OSError:
                refused.append(b"")
            sock.close()

        senders = [threading.Thread(target=endless, args=(start,))
                   for start in (b"1;", b"1;x=", b"0\r\nX-Trailer: ", b"0\r\nA: 1\r\nB")]
        for t in senders:
            t.start()

        # 300 connections each declare a body one byte under the 8 MiB limit.
        declared = (8 << 20) - 1
        head = (b"POST /soap/IZYNTConferenceService HTTP/1.1\r\nHost: h\r\n"
                b"Content-Type: text/xml\r\nContent-Length: %d\r\n\r\n" % declared)
        held = []
        for _ in range(300):
            sock = connect(port, timeout=10)
            sock.sendall(head)
            held.append(sock)
        time.sleep(0.5 * SCALE)
        unanswered = []
        busy = 0
        for sock in held:
            sock.setblocking(False)
            try:
                answer = sock.recv(100)
            except BlockingIOError:
                unanswered.append(sock)
                continue
            self.assertTrue(answer.startswith(b"HTTP/1.1 503"), answer)
            busy += 1
        # Those let in get their body all but its last byte, and keep it.
        body = b"x" * (1 << 20)
        # The senders of the endless lines are done (or the service holds what they sent).
        time.sleep(0.5)
        for sock in unanswered:
            sock.settimeout(10)
            for _ in range(7):
                sock.sendall(body)
            sock.sendall(body[:-2])
        print("held bodies: %d let in, %d refused with 503" % (len(unanswered), busy),
              file=sys.stderr)
        try:
            self.assertMemoryBelowLimit("4 endless chunked POSTs, 300 held 8 MiB bodies")
        finally:
            measured.set()
            for t in senders:
                t.join(30)
        self.assertLessEqual(len(unanswered), 8)  # 64 MiB of budget
        self.assertEqual(len(unanswered) + busy, 300)
        for answer in refused:
            self.assertTrue(answer.startswith(b"HTTP/1.1 413"), answer)
        self.lookups(5)
        self.assertMemoryBelowLimit("after the lookups")
        for sock in held:
            sock.close()
        self.assertEqual(self.service.stop(bound=5), 0)


class FrontendFile(Limits):
    def test_clients_of_a_large_file_that_never_read(self):
        self.service = Service()
        raise_own_descriptor_limit(2048)
        with open(os.path.join(self.service.home, "Frontend", "big.bin"), "wb") as f:
            f.write(os.urandom(4 << 20))
        clients = []
        for _ in range(500):
            sock = socket.socket()
            sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
            sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
            sock.settimeout(5)
            sock.connect(("127.0.0.1", self.service.port))
            sock.sendall(b"GET /big.bin HTTP/1.1\r\nHost: h\r\n\r\n")
            clients.append(sock)
        # Every request is under way: the first bytes of its answer wait in its socket.
        time.sleep(1.0)
        for sock in clients[:5]:
            self.assertTrue(sock.recv(12).startswith(b"HTTP/1.1 200"))
        self.assertMemoryBelowLimit("500 non-reading clients of a 4 MiB file")
        took = self.lookups(20)
        print("lookups: median %.1f ms, 19th of 20 %.1f ms" % (took[10] * 1000, took[18] * 1000),
              file=sys.stderr)
        self.assertLess(took[18], LOOKUP_LIMIT)
        self.assertMemoryBelowLimit("after the lookups")
        for sock in clients:
            sock.close()
        self.assertEqual(self.service.stop(bound=5), 0)


def attack(port, seconds, connections):
    """One-byte clients spread over ATTACK_ADDRESSES, each connection reopened as soon as the
    service closes it, until `seconds` have passed. Prints how many connections it opened."""
    raise_own_descriptor_limit(connections + 256)
    selector = selectors.DefaultSelector()
    opened = 0

    def open_one(address):
        nonlocal opened
        sock = socket.socket()
        sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
        sock.setblocking(False)
        sock.bind((address, 0))
        sock.connect_ex(("127.0.0.1", port))
        selector.register(sock, selectors.EVENT_WRITE, (address, False))
        opened += 1

    for i in range(connections):
        open_one(ATTACK_ADDRESSES[i % len(ATTACK_ADDRESSES)])
    until = time.monotonic() + seconds
    while time.monotonic() < until:
        for key, events in selector.select(timeout=0.1):
            sock = key.fileobj
            address, sent = key.data
            if not sent and events & selectors.EVENT_WRITE:
                try:
                    sock.send(b"G")
                    selector.modify(sock, selectors.EVENT_READ, (address, True))
                    continue
                except OSError:
                    pass
            # Closed, refused or answered: the slot is taken again at once.
            selector.unregister(sock)
            sock.close()
            open_one(address)
    print(opened, flush=True)


class SlowClients(Limits):
    def test_one_byte_connections_from_250_addresses_leave_the_lookup_answered(self):
        # The bound is what the descriptor limit leaves: 1024 - 128 = 896 connections.
        self.service = Service(wrapper=["prlimit", "--nofile=1024", "--"])
        raise_own_descriptor_limit(4096)
        # The attack lasts as long in sanitizer builds; only each lookup's bound widens.
        seconds = 12
        attacker = subprocess.Popen(
            [sys.executable, os.path.abspath(__file__), "--attack", str(self.service.port),
             str(seconds), "1000"], stdout=subprocess.PIPE)
        try:
            time.sleep(2)  # every slot is taken and the reopening is under way
            answered = 0
            attempts = 0
            until = time.monotonic() + seconds - 3
            while attempts < 100 and time.monotonic() < until:
                attempts += 1
                try:
                    status, text = self.service.lookup(timeout=2 * SCALE)
                    if status == 200 and ("&lt;id&gt;%d&lt;/id&gt;" % self.service.conference
                                          in text):
                        answered += 1
                except OSError:
                    pass
        finally:
            opened = attacker.communicate(timeout=seconds + 30)[0].decode().strip()
        print("lookups answered: %d of %d; one-byte connections opened: %s"
              % (answered, attempts, opened), file=sys.stderr)
        self.assertGreaterEqual(attempts, 40)
        self.assertGreater(int(opened), 2000)  # the bound was held and churned
        self.assertGreaterEqual(answered, 0.95 * attempts)
        self.assertEqual(self.service.stop(bound=5), 0)


class Deadlines(Limits):
    def test_requests_arriving_at_the_keep_alive_limit_run_only_with_their_answer(self):
        self.service = Service()
        raise_own_descriptor_limit(2048)
        # One at a time, so that each answer's time is known well.
        clients = []
        answered_at = []
        for _ in range(300):
            sock = connect(self.service.port)
            sock.sendall(b"GET /warm HTTP/1.1\r\nHost: h\r\n\r\n")
            self.assertTrue(sock.recv(4096).startswith(b"HTTP/1.1 200"))
            answered_at.append(time.monotonic())
            clients.append(sock)
        # Each next request reaches the service from 2 ms before to 2 ms after the 5 s that an
        # idle keep-alive connection is given.
        plan = sorted((answered_at[i] + 5.0 + (i % 81 - 40) / 20000, i) for i in range(300))
        for when, i in plan:
            time.sleep(max(0.0, when - time.monotonic()))
            try:
                clients[i].sendall(b"GET /probe-%d.html HTTP/1.1\r\nHost: h\r\n\r\n" % i)
            except OSError:
                pass  # closed in time: the request never runs
        answered = set()
        for i, sock in enumerate(clients):
            sock.settimeout(2)
            try:
                if sock.recv(4096).startswith(b"HTTP/1.1 200"):
                    answered.add(i)
            except OSError:
                pass
            sock.close()
        time.sleep(0.5)
        log = self.service.debug_log()
        handled = {i for i in range(300) if "Document requested: /probe-%d.html\n" % i in log}
        print("at the keep-alive limit: %d handled, %d answered" % (len(handled), len(answered)),
              file=sys.stderr)
        self.assertEqual(handled, answered)
        self.assertEqual(self.service.stop(bound=5), 0)


class Framing(Limits):
    def test_doubtful_transfer_encodings_run_no_second_request(self):
        self.service = Service()
        smuggled = b"GET /second-request.html HTTP/1.1\r\nHost: h\r\n\r\n"
        for coding in (b"identity", b"chunked, identity", b"gzip", b"xchunked"):
            sock = connect(self.service.port)
            sock.sendall(b"POST /soap/IZYNTConferenceService HTTP/1.1\r\nHost: h\r\n"
                         b"Content-Type: text/xml\r\nTransfer-Encoding: " + coding +
                         b"\r\n\r\n" + smuggled)
            answer = b""
            while True:
                data = sock.recv(4096)
                if not data:
                    break
                answer += data
            sock.close()
            self.assertRegex(answer, rb"^HTTP/1\.1 (400|501) ", coding)
            self.assertEqual(answer.count(b"HTTP/1.1"), 1, coding)
        self.lookups(1)
        self.assertNotIn("second-request", self.service.debug_log())
        self.assertEqual(self.service.stop(bound=5), 0)


def main():
    if sys.argv[1] == "--attack":
        attack(int(sys.argv[2]), float(sys.argv[3]), int(sys.argv[4]))
        return
    hostile.PROGRAM, hostile.DIST = sys.argv[1], sys.argv[2]
    del sys.argv[1:4]
    unittest.main(verbosity=2)


if __name__ == "__main__":
    main()
