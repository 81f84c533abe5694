#!/usr/bin/python3
"""The real program zyntparlevo against slow, idle and hostile clients on loopback: task and
descriptor limits, stalled request heads, oversized and compressed bodies, stop, pause and continue
with clients connected, odd paths, links out of the template folder and an unusable "Port". The
PIN lookup of the PBX comes from its own loopback address (127.0.0.2), as the PBX does from its
own host.

Usage: hostile_clients_e2e_test.py PATH/TO/zyntparlevo PATH/TO/dist [HARNESS_DIR]
"""
import http.client
import os
import pwd
import resource
import shutil
import signal
import socket
import sqlite3
import struct
import subprocess
import sys
import tempfile
import time
import unittest

# The configuration file and port helpers of the other end-to-end tests (this script's folder).
from webfront_e2e_test import free_port, write_registry

PROGRAM = None
# Pause and continue take milliseconds; the bound is the promise (a second), widened for
# sanitizer builds by PARLEVO_TEST_TIME_SCALE.
CONTROL_LIMIT = 1.0 * float(os.environ.get("PARLEVO_TEST_TIME_SCALE", "1"))
DIST = None
PBX_ADDRESS = "127.0.0.2"
PIN = "04711"

LOOKUP = ('<?xml version="1.0" encoding="utf-8"?><SOAP-ENV:Envelope '
          'xmlns:SOAP-ENV="http://schemas.xmlsoap.org/soap/envelope/"><SOAP-ENV:Body>'
          '<NS1:GetConferenceIDFromMemberPIN xmlns:NS1="urn:SOAPIntf-IZYNTConferenceService">'
          '<strMemberPIN>%s</strMemberPIN></NS1:GetConferenceIDFromMemberPIN>'
          '</SOAP-ENV:Body></SOAP-ENV:Envelope>')
GET_LANGUAGE = ('<?xml version="1.0" encoding="utf-8"?><SOAP-ENV:Envelope '
                'xmlns:SOAP-ENV="http://schemas.xmlsoap.org/soap/envelope/"><SOAP-ENV:Body>'
                '<NS1:GetLanguage xmlns:NS1="urn:SOAPIntf-IZYNTConferenceService">'
                '<languageCode>%s</languageCode></NS1:GetLanguage>'
                '</SOAP-ENV:Body></SOAP-ENV:Envelope>')


def connect(port, source="127.0.0.1", timeout=5):
    sock = socket.socket()
    sock.settimeout(timeout)
    # Closed with a reset, so that the many client ports do not linger in TIME_WAIT, where the
    # free ports that other tests pick could run into them.
    sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
    sock.bind((source, 0))
    sock.connect(("127.0.0.1", port))
    return sock


def accepts(port):
    # A SYN that meets the listener as it closes is dropped and sent again only a second later;
    # a short bound keeps that retry out of the timings (the caller polls again).
    with socket.socket() as sock:
        sock.settimeout(0.2)
        try:
            return sock.connect_ex(("127.0.0.1", port)) == 0
        except OSError:
            return False


def wait_until(condition, bound):
    until = time.monotonic() + bound
    while time.monotonic() < until:
        if condition():
            return True
        time.sleep(0.01)
    return condition()


def raise_own_descriptor_limit(wanted):
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    if soft < wanted:
        resource.setrlimit(resource.RLIMIT_NOFILE, (min(wanted, hard), hard))


def rss_kib(pid):
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    return 0


class Service:
    """zyntparlevo in a temporary install folder, started with `wrapper` in front (prlimit,
    setpriv) and owned by `user` when given. The database gets one conference with one member
    whose PIN is PIN before the run that the test uses."""

    def __init__(self, wrapper=(), user=None, port=None):
        self.folder = tempfile.TemporaryDirectory()
        self.home = self.folder.name
        self.registry = os.path.join(self.home, "registry.reg")
        self.wrapper = list(wrapper)
        self.user = user
        os.makedirs(os.path.join(self.home, "Frontend"))
        shutil.copytree(os.path.join(DIST, "Templates"), os.path.join(self.home, "Templates"))
        self.port = port if port is not None else free_port()
        write_registry(self.registry, {"Port": self.port, "InstallPath": self.home + "/",
                                       "Language": "ger"})
        self.process = None
        # The first run makes the database; the membership goes in while the program is down.
        self.start()
        self.stop()
        with sqlite3.connect(os.path.join(self.home, "Database", "conference.mdb")) as db:
            db.execute("INSERT INTO conferences (room, name, date, starttime, endtime) "
                       "VALUES ('100', 'Konferenz', 46088, 46088.41666, 46088.45833)")
            conference = db.execute("SELECT MAX(ID) FROM conferences").fetchone()[0]
            db.execute("INSERT INTO members (sex, title, name, firstname, email, sms, company, "
                       "project, language) VALUES ('Herr', '', 'Name', 'Vorname', "
                       "'m@example.org', '', 'Firma', '', 'ger')")
            member = db.execute("SELECT MAX(ID) FROM members").fetchone()[0]
            db.execute("INSERT INTO conferenceMembers VALUES (?, ?, 0, 0, 'ger', ?, '100', "
                       "46088.41666, 46088.45833, 0, 0, 0, 0, -1)", (member, conference, PIN))
        self.conference = conference
        self.start()

    def _own(self):
        if self.user is None:
            return
        entry = pwd.getpwnam(self.user)
        for root, dirs, files in os.walk(self.home):
            for name in [root] + [os.path.join(root, n) for n in dirs + files]:
                os.lchown(name, entry.pw_uid, entry.pw_gid)

    def start(self):
        # Another process may take the free port between the test and the program: try another.
        for attempt in range(3):
            self._own()
            self.process = subprocess.Popen(
                self.wrapper + [PROGRAM, "--home", self.home, "--registry", self.registry],
                stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
            if not wait_until(lambda: self.process.poll() is not None or accepts(self.port), 20):
                raise RuntimeError("zyntparlevo does not listen")
            if self.process.poll() is None:
                return
            error = self.process.stderr.read().decode()
            self.process.stderr.close()
            self.process = None
            if "cannot listen" not in error or attempt == 2:
                raise RuntimeError("zyntparlevo ended: %s" % error)
            self.port = free_port()
            write_registry(self.registry, {"Port": self.port, "InstallPath": self.home + "/",
                                           "Language": "ger"})

    def stop(self, bound=20):
        self.process.send_signal(signal.SIGTERM)
        code = self.process.wait(timeout=bound)
        self.process.stderr.close()
        self.process = None
        return code

    def close(self):
        if self.process is not None:
            self.process.kill()
            self.process.wait()
            self.process.stderr.close()
        self.folder.cleanup()

    def request(self, method, path, body=None, headers=None, source="127.0.0.1", timeout=5):
        conn = http.client.HTTPConnection("127.0.0.1", self.port, timeout=timeout,
                                          source_address=(source, 0))
        try:
            conn.request(method, path, body=body, headers=headers or {})
            answer = conn.getresponse()
            return answer.status, answer.read()
        finally:
            conn.close()

    def soap(self, envelope, source=PBX_ADDRESS, timeout=5):
        return self.request("POST", "/soap/IZYNTConferenceService", envelope.encode(),
                            {"Content-Type": "text/xml; charset=utf-8"}, source, timeout)

    def lookup(self, timeout=5):
        """The PIN lookup's answer text; asserts nothing itself."""
        status, body = self.soap(LOOKUP % PIN, timeout=timeout)
        return status, body.decode()

    def debug_log(self):
        with open(os.path.join(self.home, "debug", "log.txt"), encoding="utf-8",
                  errors="replace") as f:
            return f.read()


class Running(unittest.TestCase):
    service = None

    def tearDown(self):
        if self.service is not None:
            self.service.close()

    def assertLookupAnswers(self, bound=1.0):
        began = time.monotonic()
        status, text = self.service.lookup(timeout=bound + 4)
        took = time.monotonic() - began
        self.assertEqual(status, 200)
        self.assertIn("&lt;id&gt;%d&lt;/id&gt;" % self.service.conference, text)
        self.assertLess(took, bound)


class ResourceLimits(Running):
    @unittest.skipUnless(os.geteuid() == 0, "needs root to run the program as nobody")
    def test_task_limit_of_a_non_root_user_ends_nothing(self):
        self.service = Service(wrapper=["setpriv", "--reuid=nobody", "--regid=nogroup",
                                        "--clear-groups", "prlimit", "--nproc=100", "--"],
                               user="nobody")
        raise_own_descriptor_limit(2048)
        held = [connect(self.service.port) for _ in range(400)]
        try:
            # Every connection is in and idle; the service still answers and still runs.
            self.assertLookupAnswers(bound=2.0)
            self.assertIsNone(self.service.process.poll())
        finally:
            for sock in held:
                sock.close()
        self.assertEqual(self.service.stop(bound=5), 0)

    def test_slow_clients_under_a_descriptor_limit_leave_the_lookup_answered(self):
        self.service = Service(wrapper=["prlimit", "--nofile=1024", "--"])
        raise_own_descriptor_limit(4096)
        held = []
        try:
            for _ in range(1100):
                try:
                    sock = connect(self.service.port, timeout=2)
                    sock.send(b"G")
                    held.append(sock)
                except OSError:
                    pass  # refused beyond the share: that is the point
            self.assertLookupAnswers(bound=1.0)
            # The share of one address leaves room for the others, and the listener keeps going.
            time.sleep(0.3)
            self.assertLookupAnswers(bound=1.0)
        finally:
            for sock in held:
                sock.close()
        self.assertEqual(self.service.stop(bound=5), 0)


class Control(Running):
    def setUp(self):
        self.service = Service()

    def test_sigterm_with_an_idle_or_a_slow_client_ends_at_once(self):
        # The idle client had one answer and keeps its connection; the slow one is mid-head.
        idle = connect(self.service.port)
        idle.sendall(b"GET /x HTTP/1.1\r\nHost: h\r\n\r\n")
        self.assertTrue(idle.recv(1000).startswith(b"HTTP/1.1 200"))
        slow = connect(self.service.port)
        slow.send(b"GET /slow HTT")
        time.sleep(0.2)
        began = time.monotonic()
        self.assertEqual(self.service.stop(bound=5), 0)
        self.assertLess(time.monotonic() - began, 2.0)
        idle.close()
        slow.close()

    def test_pause_and_continue_with_a_slow_client_connected(self):
        slow = connect(self.service.port)
        slow.send(b"GET /slow HTT")
        time.sleep(0.05)
        began = time.monotonic()
        self.service.process.send_signal(signal.SIGUSR1)
        self.assertTrue(wait_until(lambda: not accepts(self.service.port), CONTROL_LIMIT))
        self.assertLess(time.monotonic() - began, CONTROL_LIMIT)
        # The paused service closed the client's connection too.
        slow.settimeout(1.0)
        self.assertEqual(slow.recv(100), b"")
        began = time.monotonic()
        self.service.process.send_signal(signal.SIGUSR2)
        self.assertTrue(wait_until(lambda: accepts(self.service.port), CONTROL_LIMIT))
        self.assertLess(time.monotonic() - began, CONTROL_LIMIT)
        self.assertLookupAnswers()
        slow.close()
        self.assertEqual(self.service.stop(bound=5), 0)

    def test_oversized_and_compressed_bodies_are_refused(self):
        # The body goes out in full, as a careless client sends it; the answer comes all the same.
        sock = connect(self.service.port, timeout=10)
        head = (b"POST /soap/IZYNTConferenceService HTTP/1.1\r\nHost: h\r\n"
                b"Content-Type: text/xml\r\nContent-Length: %d\r\n\r\n" % (64 << 20))
        sock.sendall(head)
        chunk = b"x" * (1 << 20)
        try:
            for _ in range(64):
                sock.sendall(chunk)
        except OSError:
            pass  # the service may stop reading once it has answered
        answer = sock.recv(200)
        sock.close()
        self.assertTrue(answer.startswith(b"HTTP/1.1 413"), answer)
        self.assertLess(rss_kib(self.service.process.pid), 100 * 1024)

        status, _ = self.service.request(
            "POST", "/soap/IZYNTConferenceService", b"\x1f\x8b" + b"\0" * 100,
            {"Content-Type": "text/xml", "Content-Encoding": "gzip"})
        self.assertEqual(status, 415)
        self.assertLookupAnswers()

    def test_every_path_reaches_the_front(self):
        status, body = self.service.request("GET", "/a%0ab.html")
        self.assertEqual((status, body), (200, b""))
        self.assertIn("Document requested: /a\nb.html", self.service.debug_log())

    def test_a_language_file_linked_out_of_the_templates_is_not_served(self):
        outside = os.path.join(self.service.home, "outside.xml")
        with open(outside, "w") as f:
            f.write("<secret>do not hand out</secret>")
        folder = os.path.join(self.service.home, "Templates", "evil", "language")
        os.makedirs(folder)
        os.symlink(outside, os.path.join(folder, "language.xml"))
        status, body = self.service.soap(GET_LANGUAGE % "evil")
        self.assertNotIn(b"do not hand out", body)
        self.assertEqual(status, 500)  # the SOAP fault of a missing language file
        status, body = self.service.soap(GET_LANGUAGE % "ger")
        self.assertEqual(status, 200)
        self.assertIn(b"translation", body)


class PortZero(unittest.TestCase):
    def test_port_zero_listens_on_83(self):
        folder = tempfile.TemporaryDirectory()
        try:
            registry = os.path.join(folder.name, "registry.reg")
            write_registry(registry, {"Port": 0, "InstallPath": folder.name + "/"})
            process = subprocess.Popen([PROGRAM, "--home", folder.name, "--registry", registry],
                                       stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                       stderr=subprocess.DEVNULL)
            try:
                self.assertTrue(wait_until(lambda: accepts(83), 10))
            finally:
                process.send_signal(signal.SIGTERM)
                self.assertEqual(process.wait(timeout=10), 0)
        finally:
            folder.cleanup()


def main():
    global PROGRAM, DIST
    PROGRAM, DIST = sys.argv[1], sys.argv[2]
    del sys.argv[1:4]
    unittest.main(verbosity=2)


if __name__ == "__main__":
    main()
