#!/usr/bin/python3
"""Peers that stall, against the real program zyntparlevo: log viewers that greet and then stop
reading or never greet at all (with the shipped logging configuration switched on), and mail
servers that never greet or never answer the end of a message (mail_peers.py). Neither may hold
the PBX's PIN lookups, other requests, the opening of the port, or the stop.

Usage: stalled_peers_e2e_test.py PROGRAM DIST HARNESS_DIR [viewers|mail]
"""
import datetime
import os
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time
import unittest

conf = None  # conferences_e2e_test, the harness of the action tests
HARNESS_DIR = None
DIST = None

# Bounds that tell a stall from an answer, with room for a loaded machine.
# A sanitizer build answers several times slower than the program that ships; its run scales
# the latency bound (not the stop bound) by PARLEVO_TEST_TIME_SCALE.
LOOKUP_LIMIT = 0.1 * float(os.environ.get("PARLEVO_TEST_TIME_SCALE", "1"))
STOP_LIMIT = 2.0


class StalledViewer:
    """Accepts connections and holds them: "stop-reading" sends the greeting line and then reads
    nothing more (a frozen viewer window), "silent" never sends anything."""

    def __init__(self, behaviour, unix_path=None):
        self.behaviour = behaviour
        if unix_path:
            self.listener = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
            self.listener.bind(unix_path)
        else:
            self.listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
            self.listener.bind(("127.0.0.1", 0))
            self.port = self.listener.getsockname()[1]
        self.listener.listen(16)
        self.connections = []
        threading.Thread(target=self._accept, daemon=True).start()

    def _accept(self):
        while True:
            try:
                conn, _ = self.listener.accept()
            except OSError:
                return
            if self.behaviour == "stop-reading":
                conn.sendall(b"Log viewer 1.0\r\n")
            self.connections.append(conn)

    def close(self):
        self.listener.close()
        for conn in self.connections:
            conn.close()


def shipped_logging(connections_change):
    """The shipped configuration, switched on, with its output pointed at a test peer."""
    with open(os.path.join(DIST, "ZyntParlevo.lgc"), encoding="utf-8") as f:
        text = f.read()
    assert "enabled = false" in text and "connections = pipe(" in text
    text = text.replace("enabled = false", "enabled = true")
    return text.replace("connections = pipe(", "connections = " + connections_change, 1)


def start_program(lgc_text, registry_values=None, environment=None):
    """(service, seconds until the port accepted)."""
    def templates(target):
        shutil.copytree(os.path.join(DIST, "Templates"), target)
        with open(os.path.join(os.path.dirname(target), "ZyntParlevo.lgc"), "w") as f:
            f.write(lgc_text)

    values = {"Language": "ger"}
    values.update(registry_values or {})
    began = time.monotonic()
    front = conf.front_module.RunningFront(values, templates=templates, environment=environment)
    opened = time.monotonic() - began
    service = conf.Service.__new__(conf.Service)
    service.front, service.client = front, front.client()
    service.db = os.path.join(front.home, "Database", "conference.mdb")
    return service, opened


def stop_seconds(service, after_exit=None):
    """Sends SIGTERM; (exit code, seconds until the process ended). after_exit runs before the
    install folder goes."""
    process = service.front.process
    # The client's idle keep-alive connection belongs to the HTTP front's own stop; it is closed
    # so that what is measured is the wait for the stalled peers.
    service.client.transport.session.close()
    began = time.monotonic()
    process.send_signal(signal.SIGTERM)
    try:
        code = process.wait(timeout=60)
        seconds = time.monotonic() - began
        if after_exit:
            after_exit()
    finally:
        service.front.process = None
        service.front.folder.cleanup()
    return code, seconds


class StalledViewers(unittest.TestCase):
    def lookups(self, service, count, seconds, slowest):
        for i in range(count):
            began = time.monotonic()
            service.client.service.GetConferenceIDFromMemberPIN(str(100000 + i))
            slowest.append(time.monotonic() - began)
            time.sleep(max(0.0, seconds / count - slowest[-1]))

    def test_stalled_viewers_hold_neither_lookups_nor_start_nor_stop(self):
        # The service's own socket folder, as systemd makes it for the unit's RuntimeDirectory=.
        run_dir = tempfile.TemporaryDirectory()
        pipe_name = "parlevo-stall"
        pipe_path = os.path.join(run_dir.name, pipe_name)
        tcp_viewer = StalledViewer("stop-reading")
        pipe_viewer = StalledViewer("stop-reading", unix_path=pipe_path)
        silent_viewer = StalledViewer("silent")
        runs = {}
        try:
            runs = {
                "tcp": start_program(shipped_logging(
                    "tcp(host=127.0.0.1, port=%d, " % tcp_viewer.port)),
                "pipe": start_program(shipped_logging("pipe(pipename=%s, " % pipe_name),
                                      environment={"RUNTIME_DIRECTORY": run_dir.name}),
                "silent": start_program(shipped_logging(
                    "tcp(host=127.0.0.1, port=%d, " % silent_viewer.port)),
            }
            for name, (_, opened) in runs.items():
                self.assertLess(opened, 3.0, name)
            # Both viewers were reached and then stalled: the outputs are blocked on them.
            deadline = time.monotonic() + 10
            while time.monotonic() < deadline and not (
                    tcp_viewer.connections and pipe_viewer.connections
                    and silent_viewer.connections):
                time.sleep(0.05)
            self.assertTrue(tcp_viewer.connections and pipe_viewer.connections
                            and silent_viewer.connections)

            times = {name: [] for name in runs}
            threads = [threading.Thread(target=self.lookups,
                                        args=(runs[name][0], 200 if name != "silent" else 20,
                                              20.0 if name != "silent" else 2.0, times[name]))
                       for name in runs]
            for thread in threads:
                thread.start()
            for thread in threads:
                thread.join()
            for name, seconds in times.items():
                self.assertEqual(len(seconds), 200 if name != "silent" else 20, name)
                self.assertLess(max(seconds), LOOKUP_LIMIT, name)

            for name, (service, _) in runs.items():
                code, seconds = stop_seconds(service)
                self.assertEqual(code, 0, name)
                self.assertLess(seconds, STOP_LIMIT, name)
        finally:
            for service, _ in runs.values():
                if service.front.process is not None:
                    service.front.process.kill()
                    service.front.process.wait()
                    service.front.folder.cleanup()
            tcp_viewer.close()
            pipe_viewer.close()
            silent_viewer.close()
            run_dir.cleanup()


class MailPeers:
    """mail_peers.py with a server that never greets ("silent") and one that takes a message and
    never answers its end ("stall")."""

    def __init__(self):
        self.folder = tempfile.TemporaryDirectory()
        self.record = os.path.join(self.folder.name, "record.txt")
        self.process = subprocess.Popen(
            ["/usr/bin/python3", os.path.join(HARNESS_DIR, "mail_peers.py"), "--record",
             self.record, "--smtp", "silent:silent", "--smtp", "stall:stall-after-data"],
            stdout=subprocess.PIPE, text=True)
        words = self.process.stdout.readline().split()
        if not words or words[0] != "ready":
            self.stop()
            raise RuntimeError("mail peers did not start")
        self.ip = dict(w.split("=", 1) for w in words[2:])

    def stop(self):
        self.process.terminate()
        self.process.wait(timeout=30)
        self.process.stdout.close()
        self.folder.cleanup()

    def count(self, kind):
        with open(self.record, encoding="ascii") as f:
            return sum(1 for line in f if line.split()[:1] == [kind])


class StalledMailServers(unittest.TestCase):
    failed_send_answer = None

    @classmethod
    def setUpClass(cls):
        cls.peers = MailPeers()
        cls.service, _ = start_program(
            "enabled = false\n",
            {"MailActivate": 1, "MailOutlookActivate": 1, "MailSender": "konferenz@parlevo.test",
             "MaxMembers": 30, "SMSActivate": 0})

    @classmethod
    def tearDownClass(cls):
        try:
            if cls.service.front.process is not None:
                cls.service.stop()
        finally:
            cls.peers.stop()

    def set_values(self, **values):
        """Changes values of the running program's registry file (it re-reads the file)."""
        conf.front_module.set_registry_values(self.service.front.registry, values)

    def conference_with_member(self, room, mailed):
        """A conference in a new room with one member; mailed marks the invitation as sent."""
        call = self.service.call
        conf.parse(call("addRaum", "<Name>%s</Name><Durchwahl>%s</Durchwahl>"
                        % (conf.b64("Raum " + room), room)))
        start = datetime.datetime(2030, 6, 1, 8)
        fields = ("<Durchwahl>%s</Durchwahl><Name>%s</Name><Datum>2030-06-01T00:00:00Z</Datum>"
                  "<Startzeit>%s</Startzeit><Endzeit>%s</Endzeit>"
                  % (room, conf.b64("Stau " + room), start.strftime("%Y-%m-%dT%H:%M:%SZ"),
                     (start + datetime.timedelta(hours=1)).strftime("%Y-%m-%dT%H:%M:%SZ")))
        conference = int(conf.parse(call("addKonferenz", fields)).findtext("id"))
        answer = conf.parse(call("inviteOne", (
            "<durchwahl>%s</durchwahl><KonferenzID>%d</KonferenzID><gastgeber>false</gastgeber>"
            "<anrede>Frau</anrede><titel></titel><name>%s</name><vorname>%s</vorname>"
            "<email>m%s@example.test</email><firma></firma><projekt></projekt><mobil></mobil>"
            "<minzeit>01.06.2030 10:00:00</minzeit><maxzeit>01.06.2030 11:30:00</maxzeit>"
            "<listenonly>false</listenonly><languagecode>ger</languagecode>"
            "<membersvisible>true</membersvisible>"
            % (room, conference, conf.b64("Bauer"), conf.b64("Anna"), room))))
        self.assertEqual(answer.findtext("result/code"), "0")
        member = self.service.rows("SELECT MAX(ID) FROM members")[0][0]
        if mailed:
            self.service.execute("UPDATE conferenceMembers SET email = -1 WHERE memberID = ?",
                                 (member,))
        return conference, member

    def timed_call(self, answers, key, action, fields):
        began = time.monotonic()
        try:
            answers[key] = (self.service.call(action, fields), time.monotonic() - began)
        except Exception as e:  # the test reads what came instead of an answer
            answers[key] = (e, time.monotonic() - began)

    def test_1_sends_to_a_silent_server_run_side_by_side(self):
        self.set_values(MailActivate=0)
        conferences = [self.conference_with_member(room, True)[0] for room in ("201", "202")]
        self.set_values(MailActivate=1, MailServer=self.peers.ip["silent"])
        answers = {}
        threads = [threading.Thread(target=self.timed_call, args=(
            answers, c, "DeleteKonferenz", "<KonferenzID>%d</KonferenzID>" % c))
            for c in conferences]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()
        for c in conferences:
            answer, seconds = answers[c]
            self.assertEqual(conf.envelope_of(answer)[:2], (0, "Konferenz gelöscht"))
            # The connect limit of 5 s, once: not one request after the other (10 s).
            self.assertLess(seconds, 8.5)
        self.assertEqual(self.service.rows("SELECT COUNT(*) FROM conferences WHERE ID IN (?, ?)",
                                           tuple(conferences)), [(0,)])

    def send_invite(self, answers, key, conference, member):
        self.timed_call(answers, key, "SendInviteMail",
                        "<Teilnehmer><TeilnehmerID>%d</TeilnehmerID><KonferenzID>%d</KonferenzID>"
                        "<invite>-</invite></Teilnehmer>" % (member, conference))

    def wait_for_messages(self, count):
        deadline = time.monotonic() + 30
        while self.peers.count("MESSAGE") < count and time.monotonic() < deadline:
            time.sleep(0.05)
        self.assertEqual(self.peers.count("MESSAGE"), count)

    def test_2_server_stalled_after_data_holds_only_its_own_request(self):
        self.set_values(MailActivate=0)
        conference, member = self.conference_with_member("203", False)
        self.set_values(MailActivate=1, MailServer=self.peers.ip["stall"])
        answers = {}
        sender = threading.Thread(target=self.send_invite,
                                  args=(answers, "invite", conference, member))
        sender.start()
        self.wait_for_messages(1)
        # Meanwhile the PBX and the front are answered at once.
        for action in ("getNextFreeHostPin", "getNextFreeMemberPin"):
            began = time.monotonic()
            self.assertEqual(conf.envelope_of(self.service.call(action))[0], 0)
            self.assertLess(time.monotonic() - began, 1.0)
        began = time.monotonic()
        self.service.client.service.GetConferenceIDFromMemberPIN("4711")
        self.assertLess(time.monotonic() - began, 1.0)
        sender.join()
        answer, seconds = answers["invite"]
        print("stalled-after-DATA send answered after %.1f s" % seconds, file=sys.stderr)
        # The reply limit of 30 s ended the send, well within the transaction limit of 60 s.
        self.assertGreater(seconds, 25)
        self.assertLess(seconds, 65)
        self.assertIsInstance(answer, str)
        self.assertNotIn("erfolgreich", answer)
        StalledMailServers.failed_send_answer = answer
        self.assertEqual(self.service.rows("SELECT email FROM conferenceMembers WHERE "
                                           "memberID = ?", (member,)), [(0,)])

    def test_3_stop_ends_a_stalled_send_as_failed(self):
        self.set_values(MailActivate=0)
        conference, member = self.conference_with_member("204", False)
        self.set_values(MailActivate=1, MailServer=self.peers.ip["stall"])
        before = self.peers.count("MESSAGE")
        answers = {}
        sender = threading.Thread(target=self.send_invite,
                                  args=(answers, "invite", conference, member))
        sender.start()
        self.wait_for_messages(before + 1)
        stored = {}

        def read_database():
            rows = self.service.rows
            stored["members"] = rows("SELECT memberID, email FROM conferenceMembers WHERE "
                                     "conferenceID = ?", (conference,))
            stored["conference"] = rows("SELECT COUNT(*) FROM conferences WHERE ID = ?",
                                        (conference,))

        code, seconds = stop_seconds(self.service, read_database)
        sender.join()
        self.assertEqual(code, 0)
        self.assertLess(seconds, STOP_LIMIT)
        answer, _ = answers["invite"]
        self.assertIsInstance(answer, str, "the request in progress got no answer")
        # The answer of a send that failed on its own (test 2).
        self.assertEqual(answer, StalledMailServers.failed_send_answer)
        # As after any failed send: the invitation is not marked sent, nothing else changed.
        self.assertEqual(stored, {"members": [(member, 0)], "conference": [(1,)]})


def main():
    global conf, HARNESS_DIR, DIST
    HARNESS_DIR = sys.argv[3]
    DIST = sys.argv[2]
    which = sys.argv[4] if len(sys.argv) > 4 else "all"
    sys.path.insert(0, HARNESS_DIR)
    import conferences_e2e_test
    conf = conferences_e2e_test.load_harness(*sys.argv[1:4])
    del sys.argv[1:5]
    loader = unittest.defaultTestLoader
    suite = unittest.TestSuite()
    if which in ("viewers", "all"):
        suite.addTests(loader.loadTestsFromTestCase(StalledViewers))
    if which in ("mail", "all"):
        suite.addTests(loader.loadTestsFromTestCase(StalledMailServers))
    result = unittest.TextTestRunner(verbosity=2).run(suite)
    sys.exit(0 if result.wasSuccessful() else 1)


if __name__ == "__main__":
    main()
