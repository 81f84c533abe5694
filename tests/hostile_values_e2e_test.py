#!/usr/bin/python3
"""Hostile values through the real SOAP port of the program zyntparlevo: dates at the ends of the
calendar, texts longer than their columns (and what they would make of the debug log), envelopes
that are not valid in their encoding, and a task limit that another process of the service's user
has used up. Rows are checked in the database file itself.

Usage: hostile_values_e2e_test.py PROGRAM DIST HARNESS_DIR
"""
import http.client
import os
import subprocess
import sys
import time
import unittest

conf = None  # conferences_e2e_test, the harness of the action tests
hostile = None  # hostile_clients_e2e_test, for programs started under limits

# As Jet answers a text longer than its column.
FIELD_TOO_SMALL = ("The field is too small to accept the amount of data you attempted to add. "
                   "Try inserting or pasting less data.")
TIME_SCALE = float(os.environ.get("PARLEVO_TEST_TIME_SCALE", "1"))


class HostileValueTests:
    """The tests; joined with the harness's ServiceTest once it is loaded."""

    def setUp(self):
        super().setUp()
        self.service.execute("DELETE FROM members")

    def post(self, body, charset="utf-8"):
        conn = http.client.HTTPConnection("127.0.0.1", self.service.front.port, timeout=30)
        try:
            conn.request("POST", "/soap/IZYNTConferenceService", body,
                         {"Content-Type": "text/xml; charset=%s" % charset})
            answer = conn.getresponse()
            return answer.status, answer.read()
        finally:
            conn.close()

    def debug_log_size(self):
        return os.path.getsize(os.path.join(self.service.front.home, "debug", "log.txt"))

    def membership(self):
        conference = int(self.add_conference("100", "K", conf.datetime.datetime(2030, 6, 1, 8),
                                             conf.datetime.datetime(2030, 6, 1, 9)))
        self.service.execute("INSERT INTO members (name, email) VALUES ('M', 'm@example.test')")
        member = self.service.rows("SELECT MAX(ID) FROM members")[0][0]
        self.service.execute(
            "INSERT INTO conferenceMembers VALUES (?, ?, 0, 0, 'ger', '12345', '100', 47000.25, "
            "47000.5, 0, 0, 0, 0, -1)", (member, conference))
        return member, conference

    def update_window(self, member, conference, minzeit, maxzeit="2030-06-01T09:00:00Z",
                      languagecode="ger"):
        return self.result(
            "updateKonfTeilnehmer",
            "<TeilnehmerID>%d</TeilnehmerID><KonferenzID>%d</KonferenzID><minzeit>%s</minzeit>"
            "<maxzeit>%s</maxzeit><gastgeber>false</gastgeber><listenOnly>0</listenOnly>"
            "<languagecode>%s</languagecode><membersvisible>0</membersvisible>"
            % (member, conference, minzeit, maxzeit, languagecode))

    def listed_window(self, conference):
        entry = conf.parse(self.call("GetKonfTeilnehmer", "<KonferenzID>%d</KonferenzID>"
                                     % conference)).find("Liste")
        return entry.findtext("fruehestens"), entry.findtext("spaetestens")

    def test_dates_at_the_ends_of_the_calendar_keep_their_day_or_are_refused(self):
        member, conference = self.membership()
        stored = self.service.rows("SELECT [min], [max] FROM conferenceMembers")
        # The harness runs the program in Berlin, which kept its mean solar time (UTC+0:53:28)
        # before 1893. Local time of the last UTC second lies in the year 10000, and that of the
        # first second at +05:00 in the year 0: neither exists.
        cases = [("0001-01-01T00:00:00Z", "01.01.0001 00:53:28.000"),
                 ("0001-01-01T00:00:00", "01.01.0001"),
                 ("9999-12-31T20:00:00Z", "31.12.9999 21:00:00.000"),
                 ("9999-12-31T23:59:59Z", None),
                 ("9999-12-31T23:59:59.999+00:00", None),
                 ("0001-01-01T00:00:00+05:00", None)]
        for field in ("minzeit", "maxzeit"):
            for sent, shown in cases:
                window = {"minzeit": "2030-06-01T08:00:00Z", "maxzeit": "2030-06-01T09:00:00Z"}
                window[field] = sent
                code, description = self.update_window(member, conference, window["minzeit"],
                                                       window["maxzeit"])
                if shown is None:
                    self.assertEqual((code, description),
                                     (-1, "Data type mismatch in criteria expression."), sent)
                    self.assertEqual(self.service.rows(
                        "SELECT [min], [max] FROM conferenceMembers"), stored, sent)
                    continue
                self.assertEqual((code, description),
                                 (0, "Teilnehmerdaten (Konferenz) aktualisiert"), sent)
                listed = self.listed_window(conference)
                self.assertEqual(listed[0 if field == "minzeit" else 1], shown, sent)
                stored = self.service.rows("SELECT [min], [max] FROM conferenceMembers")
        # A new conference's dates at the ends of the calendar: the conference actions keep to
        # the years of conferences; the answer is whole either way.
        code, _, _ = conf.envelope_of(self.call(
            "addKonferenz", "<Durchwahl>100</Durchwahl><Name>%s</Name><Datum>9999-12-31T23:59:59Z"
            "</Datum><Startzeit>9999-12-31T23:59:59Z</Startzeit><Endzeit>0001-01-01T00:00:00Z"
            "</Endzeit>" % conf.b64("Ende")))
        self.assertIn(code, (0, -1))
        self.assertEqual(self.service.rows("SELECT COUNT(*) FROM conferences WHERE [date] > "
                                           "2958465.9999 OR [date] < -693594"), [(0,)])
        # The program is still there to answer.
        self.assertEqual(self.result("GetRaeume")[0], 0)

    def test_texts_longer_than_their_column_are_refused_and_the_debug_log_stays_small(self):
        b64 = conf.b64
        longest = "R" * 255
        self.assertEqual(self.result("addRaum", "<Name>%s</Name><Durchwahl>%s</Durchwahl><Pin>%s"
                                                "</Pin>" % (b64("N" * 256), "1", "1")),
                         (-1, FIELD_TOO_SMALL))
        self.assertEqual(self.result("addRaum", "<Name>%s</Name><Durchwahl>%s</Durchwahl>"
                                     % (b64("N"), "7" * (6 * 1024 * 1024))),
                         (-1, FIELD_TOO_SMALL))
        self.assertEqual(self.service.rows("SELECT COUNT(*) FROM rooms"), [(0,)])
        # Characters count, not bytes: 255 umlauts are 510 bytes and fit.
        self.assertEqual(self.result("addRaum", "<Name>%s</Name><Durchwahl>%s</Durchwahl><Pin>%s"
                                                "</Pin>" % (b64("ä" * 255), longest, "P" * 255)),
                         (0, "Konferenzraum erfolgreich angelegt"))
        self.assertEqual(self.service.rows("SELECT name, directdial, pin FROM rooms"),
                         [("ä" * 255, longest, "P" * 255)])
        # A change is held to the same sizes, and a refused one changes nothing.
        self.assertEqual(self.result("UpdateRaum", "<Name>%s</Name><Durchwahl>%s</Durchwahl>"
                                                   "<Pin>%s</Pin>" % (b64("x"), longest, "P" * 256)),
                         (-1, FIELD_TOO_SMALL))
        self.assertEqual(self.service.rows("SELECT name, pin FROM rooms"), [("ä" * 255, "P" * 255)])
        # The members' texts and the languages' 20 characters likewise.
        self.assertEqual(self.result("AddTeilnehmer",
                                     "<anrede>Herr</anrede><name>%s</name><vorname>%s</vorname>"
                                     "<email>%s@example.test</email><sprache>%s</sprache>"
                                     % (b64("N"), b64("V"), "e" * 250, b64("ger"))),
                         (-1, FIELD_TOO_SMALL))
        self.assertEqual(self.service.rows("SELECT COUNT(*) FROM members"), [(0,)])
        member, conference = self.membership()
        self.assertEqual(self.update_window(member, conference, "2030-06-01T08:00:00Z",
                                            languagecode="l" * 21), (-1, FIELD_TOO_SMALL))
        self.assertEqual(self.service.rows("SELECT languagecode FROM conferenceMembers"),
                         [("ger",)])

        # Every answer and query line of the room list carries the stored values.
        before = self.debug_log_size()
        for _ in range(50):
            self.assertEqual(self.result("GetRaeume")[0], 0)
        self.assertLess(self.debug_log_size(), 1024 * 1024)
        self.assertLess(self.debug_log_size() - before, 1024 * 1024)
        with open(os.path.join(self.service.front.home, "debug", "log.txt"), "rb") as f:
            longest_line = max(len(line) for line in f)
        self.assertLessEqual(longest_line, 4096)

    def test_an_envelope_not_valid_in_its_encoding_is_a_fault_and_stores_nothing(self):
        def envelope(direct_dial, declaration='<?xml version="1.0" encoding="UTF-8"?>'):
            request = (b"&lt;Request&gt;&lt;Action&gt;addRaum&lt;/Action&gt;&lt;Name&gt;" +
                       conf.b64("Raum").encode() + b"&lt;/Name&gt;&lt;Durchwahl&gt;" +
                       direct_dial + b"&lt;/Durchwahl&gt;&lt;/Request&gt;")
            return (declaration.encode() +
                    b'<SOAP-ENV:Envelope xmlns:SOAP-ENV="http://schemas.xmlsoap.org/soap/'
                    b'envelope/"><SOAP-ENV:Body><NS1:DoKonferenzAction xmlns:NS1="urn:SOAPIntf-'
                    b'IZYNTConferenceService"><Request>' + request + b"</Request>"
                    b"</NS1:DoKonferenzAction></SOAP-ENV:Body></SOAP-ENV:Envelope>")

        for body in (envelope(b"1\xff\xfe2"), envelope(b"1\xff\xfe2", ""),
                     envelope(b"\xc3\xa4\xc3"), envelope(b"\xed\xa0\x80")):
            status, answer = self.post(body)
            self.assertEqual(status, 500, body)
            self.assertIn(b"<faultcode>SOAP-ENV:Client</faultcode>", answer)
            self.assertIn(b"not valid UTF-8", answer)
        self.assertEqual(self.service.rows("SELECT COUNT(*) FROM rooms"), [(0,)])
        # The same bytes declared as Latin-1 are characters of it; well-formed UTF-8 is stored.
        status, answer = self.post(envelope(b"1\xff\xfe2", '<?xml version="1.0" '
                                            'encoding="ISO-8859-1"?>'), "iso-8859-1")
        self.assertEqual(status, 200, answer)
        status, answer = self.post(envelope("1ä2".encode()))
        self.assertEqual(status, 200, answer)
        self.assertEqual(sorted(self.service.rows("SELECT directdial FROM rooms")),
                         [("1ä2",), ("1ÿþ2",)])
        # Every stored text reads as UTF-8 to other readers.
        for (text,) in self.service.rows("SELECT directdial FROM rooms"):
            text.encode("utf-8")


HOLDER = """
import sys, threading
events = []
for _ in range(int(sys.argv[1])):
    event = threading.Event()
    threading.Thread(target=event.wait, daemon=True).start()
    events.append(event)
print("holding", flush=True)
for line in sys.stdin:
    for _ in range(int(line)):
        events.pop().set()
    print("released", flush=True)
"""


class TaskLimit(unittest.TestCase):
    """The service's user has a task limit that another process of the same user has used up
    all but a few tasks of: the HTTP front starts with fewer request threads, the SMS reminder's
    thread is refused. A user id of its own, without a name, keeps other runs of the suite out
    of the count."""

    LIMIT = 60
    # The holder's threads: with the holder itself 43 tasks, which leave the program 17. Its
    # first thread and the service thread take 2, the HTTP front's listener, one connection
    # thread and one worker 3; more connection threads (up to 16, which run the lookup lane too)
    # take what is left, and none remains for the reminder or more workers.
    HELD = 42

    @unittest.skipUnless(os.geteuid() == 0, "needs root to run the program as another user")
    def test_the_service_keeps_answering_and_starts_the_reminder_once_tasks_are_free(self):
        uid = 200000 + os.getpid() % 100000
        user = ["setpriv", "--reuid=%d" % uid, "--regid=65534", "--clear-groups"]

        class Service(hostile.Service):
            def _own(self):
                for root, dirs, files in os.walk(self.home):
                    for name in [root] + [os.path.join(root, n) for n in dirs + files]:
                        os.lchown(name, uid, 65534)

        service = Service(wrapper=user + ["prlimit", "--nproc=%d" % self.LIMIT, "--"])
        holder = None
        try:
            service.stop()
            hostile.write_registry(service.registry, {
                "Port": service.port, "InstallPath": service.home + "/", "Language": "ger",
                "ReminderInterval": 1, "SMSActivate": 0})
            holder = subprocess.Popen(user + ["/usr/bin/python3", "-c", HOLDER, str(self.HELD)],
                                      stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
            self.assertEqual(holder.stdout.readline().strip(), "holding")
            earlier_runs = len(service.debug_log())
            service.start()

            began = time.monotonic()
            answered = 0
            while time.monotonic() - began < 30:
                self.assertIsNone(service.process.poll(), "the service ended")
                status, text = service.lookup(timeout=5 * TIME_SCALE)
                self.assertEqual(status, 200)
                self.assertIn("&lt;id&gt;%d&lt;/id&gt;" % service.conference, text)
                answered += 1
                time.sleep(0.5)
            self.assertGreater(answered, 20)
            log = service.debug_log()[earlier_runs:]
            self.assertTrue("[Main][ServiceExecute] Cannot start the SMS reminder: " in log,
                            "the refused thread was not logged")
            self.assertFalse("SMS-Notification" in log, "the reminder ran all the same")

            # Tasks come free: the reminder starts at its next period (a second).
            holder.stdin.write("10\n")
            holder.stdin.flush()
            self.assertEqual(holder.stdout.readline().strip(), "released")
            self.assertTrue(hostile.wait_until(
                lambda: "[SMSReminder][Execute] SMS-Notification disabled" in
                service.debug_log()[earlier_runs:], 10 * TIME_SCALE), "the reminder did not start")
            status, _ = service.lookup(timeout=5 * TIME_SCALE)
            self.assertEqual(status, 200)
            self.assertEqual(service.stop(bound=20), 0)
        finally:
            if holder is not None:
                holder.kill()
                holder.wait()
                holder.stdin.close()
                holder.stdout.close()
            service.close()


def main():
    global conf, hostile
    sys.path.insert(0, sys.argv[3])
    import conferences_e2e_test
    import hostile_clients_e2e_test
    conf = conferences_e2e_test.load_harness(*sys.argv[1:4])
    hostile = hostile_clients_e2e_test
    hostile.PROGRAM, hostile.DIST = sys.argv[1], sys.argv[2]
    del sys.argv[1:4]
    loader = unittest.defaultTestLoader
    suite = unittest.TestSuite([
        loader.loadTestsFromTestCase(type("HostileValues", (HostileValueTests, conf.ServiceTest),
                                          {})),
        loader.loadTestsFromTestCase(TaskLimit)])
    result = unittest.TextTestRunner(verbosity=2).run(suite)
    sys.exit(0 if result.wasSuccessful() else 1)


if __name__ == "__main__":
    main()
