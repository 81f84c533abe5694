#!/usr/bin/python3
"""The log outputs of the real program zyntparlevo against a hostile world: the file size limit
(prlimit) under a `text` and a `file` output, a frozen pipe viewer beside a reading one, ten
frozen viewers, a socket placed by another user, a viewer whose greeting never ends, and
synchronous outputs with a frozen viewer. In every case the PBX's PIN lookups keep answering and
SIGTERM ends the program with exit code 0 within 2 s.

Usage: log_outputs_e2e_test.py PROGRAM DIST HARNESS_DIR
"""
import os
import shutil
import socket
import struct
import subprocess
import sys
import tempfile
import threading
import time
import unittest

peers = None  # stalled_peers_e2e_test: program start and stop, stalled viewers
conf = None

STOP_LIMIT = 2.0
SCALE = float(os.environ.get("PARLEVO_TEST_TIME_SCALE", "1"))
FILE_SIZE_LIMIT = 300000
ENTRY = 4  # packet type of a log entry


def entry_title(body):
    """The title of a log entry's body (binary log format)."""
    app, session, title = struct.unpack_from("<III", body, 8)
    start = 48 + app + session
    return body[start:start + title].decode("utf-8", "replace")


def decode_frames(data):
    """(type, body) of every frame; raises ValueError on a torn frame."""
    frames, at = [], 0
    while at < len(data):
        if at + 6 > len(data):
            raise ValueError("torn frame header at %d of %d" % (at, len(data)))
        kind, size = struct.unpack_from("<HI", data, at)
        if at + 6 + size > len(data):
            raise ValueError("torn frame body at %d of %d" % (at, len(data)))
        frames.append((kind, data[at + 6:at + 6 + size]))
        at += 6 + size
    return frames


def titles_of_frames(frames):
    return [entry_title(body) for kind, body in frames if kind == ENTRY]


class Viewer:
    """A log viewer on a Unix socket. "read" greets, reads the client's greeting line and decodes
    every packet; "stop-reading" greets and then reads nothing; "endless-greeting" sends greeting
    bytes without a line end for as long as the client takes them."""

    def __init__(self, path, behaviour):
        self.behaviour = behaviour
        self.listener = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        self.listener.bind(path)
        self.listener.listen(16)
        self.lock = threading.Lock()
        self.titles = []
        self.connections = []
        self.stopped = False
        threading.Thread(target=self._accept, daemon=True).start()

    def _accept(self):
        while True:
            try:
                conn, _ = self.listener.accept()
            except OSError:
                return
            with self.lock:
                self.connections.append(conn)
            threading.Thread(target=self._serve, args=(conn,), daemon=True).start()

    def _serve(self, conn):
        try:
            if self.behaviour == "endless-greeting":
                chunk = b"x" * 4096
                while not self.stopped:
                    conn.sendall(chunk)
                return
            conn.sendall(b"Test log viewer 1.0\r\n")
            if self.behaviour == "stop-reading":
                return
            stream = conn.makefile("rb")
            stream.readline()  # the client's greeting
            while True:
                frame = stream.read(6)
                if len(frame) < 6:
                    return
                kind, size = struct.unpack("<HI", frame)
                body = stream.read(size)
                if len(body) < size:
                    return
                if kind == ENTRY:
                    with self.lock:
                        self.titles.append(entry_title(body))
        except OSError:
            return

    def close(self):
        self.stopped = True
        self.listener.close()
        with self.lock:
            for conn in self.connections:
                conn.close()


# A viewer run as another user: serves the socket it is given, accepts every connection, greets,
# and prints how many connections came and how many bytes they sent when stdin closes.
FOREIGN_VIEWER = r"""
import socket, sys, threading
listener = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
listener.bind(sys.argv[1])
listener.listen(16)
counts = {"connections": 0, "bytes": 0}
lock = threading.Lock()
def serve(conn):
    try:
        conn.sendall(b"Viewer 1.0\r\n")
        while True:
            chunk = conn.recv(65536)
            if not chunk:
                return
            with lock:
                counts["bytes"] += len(chunk)
    except OSError:
        return
def accept():
    while True:
        conn, _ = listener.accept()
        with lock:
            counts["connections"] += 1
        threading.Thread(target=serve, args=(conn,), daemon=True).start()
threading.Thread(target=accept, daemon=True).start()
print("ready", flush=True)
sys.stdin.read()
with lock:
    print("connections=%d bytes=%d" % (counts["connections"], counts["bytes"]), flush=True)
"""


def rss_kb(pid):
    with open("/proc/%d/status" % pid, encoding="ascii") as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    return 0


class LogOutputs(unittest.TestCase):
    def setUp(self):
        self.run_dir = tempfile.TemporaryDirectory()  # mode 0700, as systemd makes it
        self.viewers = []
        self.services = []
        self.wrapper = None

    def tearDown(self):
        for service in self.services:
            if service.front.process is not None:
                service.front.process.kill()
                service.front.process.wait()
                service.front.folder.cleanup()
        for viewer in self.viewers:
            viewer.close()
        self.run_dir.cleanup()
        if self.wrapper:
            conf.front_module.PROGRAM = self.real_program
            os.unlink(self.wrapper)

    def viewer(self, name, behaviour):
        viewer = Viewer(os.path.join(self.run_dir.name, name), behaviour)
        self.viewers.append(viewer)
        return viewer

    def under_file_size_limit(self, limit):
        """Starts the programs of this test under prlimit --fsize."""
        self.real_program = conf.front_module.PROGRAM
        fd, self.wrapper = tempfile.mkstemp(suffix=".sh")
        with os.fdopen(fd, "w") as f:
            f.write('#!/bin/sh\nexec prlimit --fsize=%d:unlimited -- "%s" "$@"\n'
                    % (limit, self.real_program))
        os.chmod(self.wrapper, 0o755)
        conf.front_module.PROGRAM = self.wrapper

    def start(self, connections, home_files=None):
        """The program with logging on through `connections` ("{home}" stands for its install
        folder); (service, seconds until its port opened)."""
        lgc = "enabled = true\nlevel = debug\nconnections = %s\n" % connections

        def templates(target):
            home = os.path.dirname(target)
            shutil.copytree(os.path.join(peers.DIST, "Templates"), target)
            with open(os.path.join(home, "ZyntParlevo.lgc"), "w") as f:
                f.write(lgc.replace("{home}", home))

        values = {"Language": "ger"}
        began = time.monotonic()
        front = conf.front_module.RunningFront(
            values, templates=templates, environment={"RUNTIME_DIRECTORY": self.run_dir.name})
        opened = time.monotonic() - began
        service = conf.Service.__new__(conf.Service)
        service.front, service.client = front, front.client()
        service.db = os.path.join(front.home, "Database", "conference.mdb")
        self.services.append(service)
        return service, opened

    def lookups(self, service, count, seconds, limit=None):
        """count PIN lookups spread over seconds; each must answer within limit."""
        limit = limit or peers.LOOKUP_LIMIT
        slowest = 0.0
        for i in range(count):
            began = time.monotonic()
            service.client.service.GetConferenceIDFromMemberPIN(str(100000 + i))
            took = time.monotonic() - began
            slowest = max(slowest, took)
            time.sleep(max(0.0, seconds / count - took))
        self.assertLess(slowest, limit)
        return slowest

    def stop(self, service, after_exit=None):
        code, seconds = peers.stop_seconds(service, after_exit)
        self.assertEqual(code, 0)
        self.assertLess(seconds, STOP_LIMIT)
        return seconds

    def lookups_until(self, service, condition, seconds):
        deadline = time.monotonic() + seconds
        i = 0
        while not condition():
            self.assertLess(time.monotonic(), deadline, "the condition never held")
            began = time.monotonic()
            service.client.service.GetConferenceIDFromMemberPIN(str(200000 + i))
            self.assertLess(time.monotonic() - began, peers.LOOKUP_LIMIT)
            i += 1

    def check_file_output_at_the_limit(self, output, file_name):
        """The output fills its file to the size limit, keeps failing and reconnecting while
        lookups go on, and once the limit is lifted continues the file after its last whole
        record: nothing written before is lost, nothing torn is left."""
        self.under_file_size_limit(FILE_SIZE_LIMIT)
        service, _ = self.start('%s(filename="{home}/%s", reconnect=true, reconnect.interval=1s)'
                                % (output, file_name))
        path = os.path.join(service.front.home, file_name)
        self.lookups_until(service, lambda: os.path.getsize(path) > FILE_SIZE_LIMIT - 2000, 60)
        # At the limit: writes fail with EFBIG (no SIGXFSZ), reconnects every second.
        self.lookups(service, 60, 3.0)
        self.assertLessEqual(os.path.getsize(path), FILE_SIZE_LIMIT)
        # The database is under the same kind of limit: with one below the size of its journal,
        # a write fails as an error and the process lives on.
        pid = str(service.front.process.pid)
        subprocess.run(["prlimit", "--pid", pid, "--fsize=20000:unlimited"], check=True)
        answers = []
        for i in range(5):
            answers.append(conf.envelope_of(service.call(
                "addRaum", "<Name>%s</Name><Durchwahl>%d</Durchwahl>"
                % (conf.b64("Raum %d" % i), 7000 + i)))[0])
        self.assertIsNone(service.front.process.poll())
        self.assertNotEqual(answers, [0] * 5, "no database write met the limit")
        self.lookups(service, 20, 1.0)
        subprocess.run(["prlimit", "--pid", pid, "--fsize=unlimited:unlimited"], check=True)
        self.lookups_until(service, lambda: os.path.getsize(path) > FILE_SIZE_LIMIT + 20000, 60)
        with open(path, "rb") as f:
            before_stop = f.read()
        after = {}

        def read_after_exit():
            with open(path, "rb") as f:
                after["data"] = f.read()

        self.stop(service, read_after_exit)
        self.assertEqual(after["data"][:len(before_stop)], before_stop)
        return after["data"], answers

    def test_text_output_under_a_file_size_limit(self):
        data, answers = self.check_file_output_at_the_limit("text", "trace.txt")
        self.assertTrue(data.startswith(b"\xef\xbb\xbf"))
        self.assertEqual(data.count(b"\xef\xbb\xbf"), 1)
        lines = data[3:].split(b"\r\n")
        self.assertEqual(lines[-1], b"")  # ends with a whole line
        self.assertIn(b"TZyntParlevo::ServiceCreate: v", b"".join(lines[:4]))
        print("database writes under the limit answered %s" % sorted(set(answers)),
              file=sys.stderr)

    def test_file_output_keeps_its_entries_across_reconnects(self):
        data, _ = self.check_file_output_at_the_limit("file", "trace.lgf")
        self.assertEqual(data[:4], b"LOGF")
        titles = titles_of_frames(decode_frames(data[4:]))  # raises on a torn record
        self.assertIn("TZyntParlevo::ServiceCreate", titles[:3])
        self.assertGreater(len(titles), 1000)

    def test_a_frozen_viewer_costs_a_reading_one_nothing(self):
        self.viewer("frozen", "stop-reading")
        reading = self.viewer("reading", "read")
        shipped = "reconnect=true, reconnect.interval=1s, async.enabled=true, " \
                  "async.throttle=false, async.queue=1024"
        service, opened = self.start(
            "pipe(pipename=frozen, %s), pipe(pipename=reading, %s), "
            'file(filename="{home}/reference.lgf")' % (shipped, shipped))
        self.assertLess(opened, 3.0)
        # Light load: what the reading viewer alone would take in full.
        self.lookups(service, 150, 6.0)
        path = os.path.join(service.front.home, "reference.lgf")
        reference = {}
        def read_reference():
            with open(path, "rb") as f:
                reference["data"] = f.read()

        self.stop(service, read_reference)
        expected = titles_of_frames(decode_frames(reference["data"][4:]))
        deadline = time.monotonic() + 5
        while time.monotonic() < deadline and len(reading.titles) < len(expected):
            time.sleep(0.05)
        with reading.lock:
            got = list(reading.titles)
        self.assertGreater(len(expected), 1000)
        self.assertEqual(got, expected)

    def test_ten_frozen_viewers(self):
        connections = []
        viewers = []
        for i in range(10):
            viewers.append(self.viewer("frozen%d" % i, "stop-reading"))
            connections.append("pipe(pipename=frozen%d, reconnect=true, reconnect.interval=1s, "
                               "async.enabled=true, async.throttle=false, async.queue=1024)" % i)
        service, opened = self.start(", ".join(connections))
        self.assertLess(opened, 3.0)
        deadline = time.monotonic() + 10
        while time.monotonic() < deadline and not all(v.connections for v in viewers):
            time.sleep(0.05)
        self.assertTrue(all(v.connections for v in viewers))
        self.lookups(service, 200, 8.0)
        seconds = self.stop(service)
        print("stop with ten frozen viewers: %.2f s" % seconds, file=sys.stderr)

    def test_a_socket_placed_by_another_user_gets_nothing(self):
        if os.geteuid() != 0:
            self.skipTest("needs root to run a viewer as nobody")
        # nobody serves a socket where it may, which then lands in the service's folder.
        outside = tempfile.mkdtemp()
        os.chmod(outside, 0o777)
        try:
            foreign = subprocess.Popen(
                ["/usr/bin/python3", "-c", FOREIGN_VIEWER, os.path.join(outside, "logcenter")],
                stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True, user="nobody",
                group="nogroup")
            try:
                self.assertEqual(foreign.stdout.readline().strip(), "ready")
                os.rename(os.path.join(outside, "logcenter"),
                          os.path.join(self.run_dir.name, "logcenter"))
                service, _ = self.start("pipe(reconnect=true, reconnect.interval=1s)")
                self.lookups(service, 60, 3.0)
                self.stop(service)
            finally:
                report, _ = foreign.communicate("", timeout=30)
        finally:
            shutil.rmtree(outside)
        counts = dict(word.split("=") for word in report.split())
        self.assertGreater(int(counts["connections"]), 0, "the output never tried")
        self.assertEqual(int(counts["bytes"]), 0, "the trace reached another user's viewer")

    def test_a_greeting_without_end(self):
        for connections in (
                "pipe(pipename=endless, reconnect=true, reconnect.interval=1s, "
                "async.enabled=true, async.throttle=false, async.queue=1024)",
                "pipe(pipename=endless, reconnect=true, reconnect.interval=1s)"):
            viewer = self.viewer("endless", "endless-greeting")
            service, opened = self.start(connections)
            self.assertLess(opened, 3.0, connections)
            self.lookups(service, 20, 1.0)
            before = rss_kb(service.front.process.pid)
            self.lookups(service, 200, 10.0)
            grown = rss_kb(service.front.process.pid) - before
            self.assertGreater(len(viewer.connections), 3, "no reconnects: " + connections)
            # Instrumented builds spend memory of their own on every request.
            self.assertLess(grown, 16 * 1024 * SCALE, connections)
            print("endless greeting, %d connections, resident memory grew %d KB"
                  % (len(viewer.connections), grown), file=sys.stderr)
            self.stop(service)
            viewer.close()
            self.viewers.remove(viewer)
            os.unlink(os.path.join(self.run_dir.name, "endless"))

    def test_synchronous_outputs_with_a_frozen_viewer(self):
        for kind in ("pipe", "tcp"):
            if kind == "pipe":
                self.viewer("frozen", "stop-reading")
                connections = "pipe(pipename=frozen, reconnect=true, reconnect.interval=1s)"
            else:
                tcp_viewer = peers.StalledViewer("stop-reading")
                self.viewers.append(tcp_viewer)
                connections = ("tcp(port=%d, timeout=3000, reconnect=true, "
                               "reconnect.interval=1s)" % tcp_viewer.port)
            service, _ = self.start(connections)
            # Request threads log through the frozen viewer themselves: a lookup waits up to the
            # output's write limit, then the output fails and tries again a second later.
            current = {"since": None, "answered": 0, "slowest": 0.0}
            done = threading.Event()

            def lookups():
                while not done.is_set():
                    current["since"] = time.monotonic()
                    try:
                        service.client.service.GetConferenceIDFromMemberPIN("4711")
                    except Exception:  # the stop may close the connection instead
                        return
                    current["slowest"] = max(current["slowest"],
                                             time.monotonic() - current["since"])
                    current["since"] = None
                    current["answered"] += 1

            worker = threading.Thread(target=lookups)
            worker.start()
            try:
                deadline = time.monotonic() + 60
                while time.monotonic() < deadline:
                    since = current["since"]
                    if since is not None and time.monotonic() - since > 0.5 \
                            and current["answered"] > 0:
                        break
                    time.sleep(0.01)
                self.assertLess(time.monotonic(), deadline, "no lookup waited on the viewer")
                seconds = self.stop(service)  # with a lookup blocked on the frozen viewer
            finally:
                done.set()
                worker.join(timeout=30)
            # Answered meanwhile, none held beyond the output's write limit (and a reconnect).
            self.assertLess(current["slowest"], 8.0)
            print("synchronous %s output: %d lookups answered, slowest %.1f s, stop %.2f s"
                  % (kind, current["answered"], current["slowest"], seconds), file=sys.stderr)


def main():
    global peers, conf
    sys.path.insert(0, sys.argv[3])
    import stalled_peers_e2e_test
    import conferences_e2e_test
    peers = stalled_peers_e2e_test
    conf = conferences_e2e_test.load_harness(*sys.argv[1:4])
    peers.conf, peers.DIST, peers.HARNESS_DIR = conf, sys.argv[2], sys.argv[3]
    del sys.argv[1:4]
    unittest.main(verbosity=2)


if __name__ == "__main__":
    main()
