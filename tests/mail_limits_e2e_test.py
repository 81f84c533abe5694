#!/usr/bin/python3
"""Mail and DNS peers that are slow in the ways the service's limits are about, against the real
program zyntparlevo and the loopback peers of mail_peers.py: a DNS server that truncates its
answers and never answers over TCP, two invitation requests for the same members at once, an SMS
gateway that takes 32 s to accept a message, a series deletion whose cancellations go to a silent
mail server beside a request on another series, and a mail server that answers EHLO after 6 s.
Each case checks that the PBX's PIN lookups keep answering meanwhile and that SIGTERM ends the
program with exit code 0 within 2 s. One program run per part, so that the parts run side by
side.

Usage: mail_limits_e2e_test.py PROGRAM DIST HARNESS_DIR PART
PART: dns, claims, sms, series or ehlo.
"""
import datetime
import os
import sys
import threading
import time
import unittest

conf = None  # conferences_e2e_test, the harness of the action tests
series = None  # recurrence_e2e_test, for its series requests
peers = None  # stalled_peers_e2e_test, for its stop
invitations = None  # invitations_e2e_test, for its mail peers
HARNESS_DIR = None

# Sanitizer builds run several times slower: their runs widen the upper bounds.
SCALE = float(os.environ.get("PARLEVO_TEST_TIME_SCALE", "1"))
STOP_LIMIT = 2.0 * SCALE
LOOKUP_LIMIT = 0.5 * SCALE
DAY_ZERO = datetime.datetime(1899, 12, 30)
SENT = "EMail(s) erfolgreich verschickt"
UNDER_WAY = "Einladung wird bereits versendet"


class Peers:
    """mail_peers.py with the given arguments, and what its record says."""

    def __init__(self, *args):
        self.peers = invitations.MailPeers(*args)
        self.record, self.dns_port, self.ip = self.peers.record, self.peers.dns_port, self.peers.ip

    def stop(self):
        self.peers.stop()

    def events(self, kind, at=None):
        with open(self.record, encoding="ascii") as f:
            found = [line.split() for line in f]
        return [e for e in found if e and e[0] == kind and (at is None or e[1] == at)]

    def recipients(self):
        """The envelope recipient of every message received, in order."""
        by_session, found = {}, []
        with open(self.record, encoding="ascii") as f:
            for line in f:
                e = line.split()
                if e and e[0] == "RCPT":
                    by_session[(e[1], e[3])] = bytes.fromhex(e[2]).decode()
                elif e and e[0] == "MESSAGE":
                    found.append(by_session[(e[1], e[3])])
        return found

    def wait_for(self, kind, count, limit=30):
        deadline = time.monotonic() + limit * SCALE
        while len(self.events(kind)) < count and time.monotonic() < deadline:
            time.sleep(0.02)
        return len(self.events(kind)) >= count


class LookupProbe:
    """Asks the PBX's PIN lookup every 50 ms on a client of its own until stopped; the slowest
    answer and the number of answers tell whether the lookups kept answering."""

    def __init__(self, test):
        self.client = test.service.front.client()
        self.times = []
        self.error = None
        self.stopped = threading.Event()
        self.thread = threading.Thread(target=self._run)
        self.thread.start()
        # A failing test ends the probe too.
        test.addCleanup(self.finish)

    def _run(self):
        while not self.stopped.is_set():
            began = time.monotonic()
            try:
                self.client.service.GetConferenceIDFromMemberPIN("99999")
            except Exception as e:  # a lookup that got no answer
                self.error = e
                return
            self.times.append(time.monotonic() - began)
            self.stopped.wait(0.05)

    def finish(self):
        """(answers, slowest answer in seconds, the error that ended the probe or None)."""
        if not self.stopped.is_set():
            self.stopped.set()
            self.thread.join()
            self.client.transport.session.close()
        return len(self.times), max(self.times, default=0.0), self.error


class MailLimitsTest(unittest.TestCase):
    """One program run with its peers; the test methods of a part use them in turn."""

    peers_args = ()
    registry = {}

    @classmethod
    def setUpClass(cls):
        cls.peers = Peers(*cls.peers_args)
        values = {"MailActivate": 1, "MailOutlookActivate": 1,
                  "MailSender": "konferenz@parlevo.test", "MaxMembers": 30, "SMSActivate": 0}
        values.update(cls.registry_values(cls.peers))
        try:
            cls.service = conf.Service(
                values, environment={"ZYNTPARLEVO_DNS_SERVER": "127.0.0.1:%d" % cls.peers.dns_port})
        except BaseException:
            cls.peers.stop()
            raise

    @classmethod
    def tearDownClass(cls):
        try:
            if cls.service.front.process is not None:
                cls.service.front.process.kill()
                cls.service.front.process.wait()
                cls.service.front.folder.cleanup()
        finally:
            cls.peers.stop()

    @classmethod
    def registry_values(cls, peers):
        return {}

    def call(self, action, fields=""):
        return self.service.call(action, fields)

    def timed_call(self, answers, key, action, fields):
        """Runs on a thread of its own: a fresh client, so that calls run side by side."""
        client = self.service.front.client()
        began = time.monotonic()
        try:
            answers[key] = (client.service.DoKonferenzAction(conf.request(action, fields)),
                            time.monotonic() - began)
        except Exception as e:  # what came instead of an answer
            answers[key] = (e, time.monotonic() - began)
        finally:
            client.transport.session.close()

    def set_values(self, **values):
        """Changes values of the running program's registry file (it re-reads the file)."""
        conf.front_module.set_registry_values(self.service.front.registry, values)

    def room(self, room):
        answer = conf.parse(self.call("addRaum", "<Name>%s</Name><Durchwahl>%s</Durchwahl>"
                                      % (conf.b64("Raum " + room), room)))
        self.assertEqual(answer.findtext("result/code"), "0")

    def conference(self, room):
        self.room(room)
        start = datetime.datetime(2030, 6, 1, 8)
        fields = ("<Durchwahl>%s</Durchwahl><Name>%s</Name><Datum>2030-06-01T00:00:00Z</Datum>"
                  "<Startzeit>%s</Startzeit><Endzeit>%s</Endzeit>"
                  % (room, conf.b64("Grenzen " + room), start.strftime("%Y-%m-%dT%H:%M:%SZ"),
                     (start + datetime.timedelta(hours=1)).strftime("%Y-%m-%dT%H:%M:%SZ")))
        return int(conf.parse(self.call("addKonferenz", fields)).findtext("id"))

    def member(self, room, conference, name, mobile=""):
        """A new member of the conference, not mailed yet; his ID."""
        answer = conf.parse(self.call("inviteOne", (
            "<durchwahl>%s</durchwahl><KonferenzID>%d</KonferenzID><gastgeber>false</gastgeber>"
            "<anrede>Frau</anrede><titel></titel><name>%s</name><vorname>%s</vorname>"
            "<email>%s@example.test</email><firma></firma><projekt></projekt><mobil>%s</mobil>"
            "<minzeit>01.06.2030 10:00:00</minzeit><maxzeit>01.06.2030 11:30:00</maxzeit>"
            "<listenonly>false</listenonly><languagecode>ger</languagecode>"
            "<membersvisible>true</membersvisible>"
            % (room, conference, conf.b64(name), conf.b64("Vorname"), name.lower(), mobile))))
        self.assertEqual(answer.findtext("result/code"), "0")
        return self.service.rows("SELECT MAX(ID) FROM members")[0][0]

    def invite_entry(self, conference, member):
        return ("<Teilnehmer><TeilnehmerID>%d</TeilnehmerID><KonferenzID>%d</KonferenzID>"
                "<invite>-</invite></Teilnehmer>" % (member, conference))

    def mailed(self, conference):
        return dict(self.service.rows("SELECT memberID, email FROM conferenceMembers WHERE "
                                      "conferenceID = ?", (conference,)))

    def side_by_side(self, calls):
        """Runs the (key, action, fields) calls at once; their (answer, seconds) by key."""
        answers = {}
        threads = [threading.Thread(target=self.timed_call, args=(answers,) + call)
                   for call in calls]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()
        return answers

    def stop_within_limit(self, after_exit=None):
        """SIGTERM: exit code 0 within the stop limit. after_exit runs before the folder goes."""
        code, seconds = peers.stop_seconds(self.service, after_exit)
        print("stop took %.2f s" % seconds, file=sys.stderr)
        self.assertEqual(code, 0)
        self.assertLess(seconds, STOP_LIMIT)

    def assert_lookups_answered(self, probe):
        count, slowest, error = probe.finish()
        self.assertIsNone(error)
        self.assertGreater(count, 0)
        self.assertLess(slowest, LOOKUP_LIMIT)


class Dns(MailLimitsTest):
    """A DNS server that answers UDP with the truncation bit and never answers the TCP connection
    the resolver then opens."""

    peers_args = ("--dns", "truncate-stall")

    def test_1_invitation_fails_in_time_and_stop_interrupts_the_next(self):
        conference = self.conference("501")
        first = self.member("501", conference, "Erste")
        second = self.member("501", conference, "Zweite")
        probe = LookupProbe(self)
        answers = self.side_by_side([("first", "SendInviteMail",
                                      self.invite_entry(conference, first))])
        answer, seconds = answers["first"]
        print("invitation over a stalled DNS answered after %.1f s" % seconds, file=sys.stderr)
        self.assertIsInstance(answer, str)
        self.assertNotIn("erfolgreich", answer)
        # The lookup's bound of 5 s over UDP and the TCP fallback, with room for the answer.
        self.assertGreater(seconds, 4.5)
        self.assertLess(seconds, 10 * SCALE)
        self.assertEqual(len(self.peers.events("DNS")), 1)
        self.assertEqual(len(self.peers.events("DNSTCP")), 1)
        self.assertEqual(self.mailed(conference)[first], 0)

        # A second invitation waits on the TCP connection when the service is told to stop.
        answers = {}
        sender = threading.Thread(target=self.timed_call, args=(
            answers, "second", "SendInviteMail", self.invite_entry(conference, second)))
        sender.start()
        self.assertTrue(self.peers.wait_for("DNSTCP", 2))
        self.assert_lookups_answered(probe)
        stored = {}
        self.stop_within_limit(lambda: stored.update(self.mailed(conference)))
        sender.join()
        interrupted, _ = answers["second"]
        # Answered, and as the failed send above was: not empty, not a success.
        self.assertIsInstance(interrupted, str)
        self.assertEqual(interrupted, answer)
        self.assertEqual(stored, {first: 0, second: 0})


class Claims(MailLimitsTest):
    """Requests that would send the same invitations at once; the mail server takes a moment
    for each message (EHLO answered after 0.2 s), so that the requests overlap."""

    peers_args = ("--smtp", "slow:slow-ehlo=0.2")

    @classmethod
    def registry_values(cls, peers):
        return {"MailServer": peers.ip["slow"]}

    def test_1_two_requests_at_once_send_each_invitation_once(self):
        conference = self.conference("601")
        members = [self.member("601", conference, "Mitglied%d" % i) for i in range(10)]
        probe = LookupProbe(self)
        all_request = "<KonferenzID>%d</KonferenzID>" % conference
        answers = self.side_by_side([("a", "SendInviteMailAll", all_request),
                                     ("b", "SendInviteMailAll", all_request)])
        results = sorted(conf.parse(a).findtext("result") for a, _ in answers.values())
        # One request sent them; the other answers what it found: nothing of its own was sent.
        self.assertIn(SENT, results)
        for result in results:
            self.assertIn(result, (SENT, UNDER_WAY, "Keine Teilnehmer gefunden"))
        expected = sorted("TO:<mitglied%d@example.test>" % i for i in range(10))
        self.assertEqual(sorted(self.peers.recipients()), expected)
        self.assertEqual(set(self.mailed(conference).values()), {-1})

        # Two invitations of one member at once: one mail.
        alone = self.member("601", conference, "Allein")
        entry = self.invite_entry(conference, alone)
        answers = self.side_by_side([("a", "SendInviteMail", entry),
                                     ("b", "SendInviteMail", entry)])
        results = sorted(conf.parse(a).findtext("result") for a, _ in answers.values())
        self.assertEqual(results.count(SENT), 1, results)
        self.assertIn(results[0] if results[1] == SENT else results[1],
                      (UNDER_WAY, "Keine Teilnehmer gefunden"))
        self.assertEqual(self.peers.recipients().count("TO:<allein@example.test>"), 1)
        self.assertEqual(self.mailed(conference)[alone], -1)
        self.assert_lookups_answered(probe)
        self.stop_within_limit()


def day_number(moment):
    return (moment - DAY_ZERO).total_seconds() / 86400


class Sms(MailLimitsTest):
    """An SMS gateway that takes the message and accepts it only after 32 s, within the
    10 minutes RFC 5321 gives a server for the end of the data; then one that never accepts."""

    peers_args = ("--smtp", "late:late-data-reply=32", "--smtp", "stall:stall-after-data")

    @classmethod
    def registry_values(cls, peers):
        return {"MailActivate": 0, "SMSActivate": 1, "SMSServer": peers.ip["late"],
                "SMSSender": "sms@parlevo.test", "SMSToExt": "@sms.example.test",
                "ReminderInterval": 1, "ReminderTime": 60}

    def due_member(self, conference, name, mobile):
        """A member whose invitation went out and whose window begins in 10 minutes."""
        member = self.member("701", conference, name, mobile)
        now = datetime.datetime.now()
        self.service.execute(
            "UPDATE conferenceMembers SET email = -1, sms = 0, min = ?, max = ? WHERE "
            "memberID = ?", (day_number(now + datetime.timedelta(minutes=10)),
                             day_number(now + datetime.timedelta(minutes=70)), member))
        return member

    def reminded(self, member):
        return self.service.rows("SELECT sms FROM conferenceMembers WHERE memberID = ?",
                                 (member,))[0][0]

    def test_1_late_gateway_gets_one_sms_and_stop_ends_a_waiting_one(self):
        conference = self.conference("701")
        probe = LookupProbe(self)
        anna = self.due_member(conference, "Anna", "0170111")
        self.assertTrue(self.peers.wait_for("MESSAGE", 1))
        # Accepted after 32 s: marked, and not sent again by the passes of every second.
        deadline = time.monotonic() + 45 * SCALE
        while self.reminded(anna) != -1 and time.monotonic() < deadline:
            time.sleep(0.2)
        self.assertEqual(self.reminded(anna), -1)
        time.sleep(3)
        self.assertEqual(self.peers.recipients(), ["TO:<0170111@sms.example.test>"])
        self.assertEqual(len(self.peers.events("CONNECT")), 1)

        # A gateway that never accepts: the stop ends the wait at once.
        self.set_values(SMSServer=self.peers.ip["stall"])
        otto = self.due_member(conference, "Otto", "0170222")
        self.assertTrue(self.peers.wait_for("MESSAGE", 2))
        self.assert_lookups_answered(probe)
        stored = {}
        self.stop_within_limit(lambda: stored.update(otto=self.reminded(otto)))
        self.assertEqual(stored, {"otto": 0})


class Series(MailLimitsTest):
    """A series whose members' cancellations go to a mail server that never greets."""

    peers_args = ("--smtp", "silent:silent")

    @classmethod
    def registry_values(cls, peers):
        return {"MailServer": peers.ip["silent"]}

    def last_series(self):
        return self.service.rows("SELECT MAX(RecurrenceId) FROM conferenceRecurrences")[0][0]

    def test_1_deleting_a_series_holds_no_other_series_request(self):
        self.room("100")
        today = datetime.date.today()
        self.assertEqual(conf.envelope_of(self.call(
            "addRecurrence", series.series_fields(today, "Mailserie")))[0], 0)
        doomed = self.last_series()
        first = self.service.rows("SELECT MIN(ID) FROM conferences WHERE RecurrenceId = ?",
                                  (doomed,))[0][0]
        for name in ("Eins", "Zwei"):
            self.member("100", first, name)
        self.service.execute("UPDATE conferenceMembers SET email = -1")
        probe = LookupProbe(self)

        answers = {}
        deleter = threading.Thread(target=self.timed_call, args=(
            answers, "delete", "deleteRecurrence", "<recurrenceid>%d</recurrenceid>" % doomed))
        deleter.start()
        # The first cancellation waits on the silent server.
        self.assertTrue(self.peers.wait_for("CONNECT", 1))
        self.timed_call(answers, "add", "addRecurrence",
                        series.series_fields(today, "Andere Serie", "3"))
        added, seconds = answers["add"]
        print("addRecurrence beside the deletion answered after %.2f s" % seconds,
              file=sys.stderr)
        self.assertEqual(conf.envelope_of(added)[:2], (0, "Konferenz erfolgreich angelegt"))
        self.assertLess(seconds, 1.0 * SCALE)
        other = self.last_series()
        self.assertEqual(self.service.rows(
            "SELECT COUNT(*) FROM conferences WHERE RecurrenceId = ?", (other,)), [(10,)])

        deleter.join()
        deleted, seconds = answers["delete"]
        self.assertEqual(conf.envelope_of(deleted)[:2], (0, "Serientermin erfolgreich gelöscht."))
        # Two cancellations, each ended by the connect limit of 5 s.
        self.assertGreater(seconds, 9.0)
        self.assertEqual(len(self.peers.events("CONNECT")), 2)
        self.assertEqual(self.service.rows(
            "SELECT COUNT(*) FROM conferences WHERE RecurrenceId = ?", (doomed,)), [(0,)])
        self.assertEqual(self.service.rows("SELECT COUNT(*) FROM conferenceMembers"), [(0,)])
        self.assert_lookups_answered(probe)
        self.stop_within_limit()


class Ehlo(MailLimitsTest):
    """A mail exchanger that greets at once and answers EHLO after 6 s: past the connect limit
    of 5 s, within the reply limit of 30 s."""

    peers_args = ("--smtp", "slow:slow-ehlo=6", "--mx", "example.test=10:slow")

    def test_1_late_ehlo_reply_is_waited_for(self):
        conference = self.conference("801")
        anna = self.member("801", conference, "Anna")
        probe = LookupProbe(self)
        answers = self.side_by_side([("invite", "SendInviteMail",
                                      self.invite_entry(conference, anna))])
        answer, seconds = answers["invite"]
        self.assertEqual(conf.parse(answer).findtext("result"), SENT)
        self.assertGreater(seconds, 5.5)
        self.assertEqual(self.peers.recipients(), ["TO:<anna@example.test>"])
        self.assertEqual(self.mailed(conference)[anna], -1)
        self.assert_lookups_answered(probe)
        self.stop_within_limit()


PARTS = {"dns": Dns, "claims": Claims, "sms": Sms, "series": Series, "ehlo": Ehlo}


def main():
    global conf, series, peers, invitations, HARNESS_DIR
    HARNESS_DIR = sys.argv[3]
    part = sys.argv[4]
    sys.path.insert(0, HARNESS_DIR)
    import conferences_e2e_test
    import recurrence_e2e_test
    import stalled_peers_e2e_test
    import invitations_e2e_test
    conf = conferences_e2e_test.load_harness(*sys.argv[1:4])
    series = recurrence_e2e_test
    peers = stalled_peers_e2e_test
    invitations = invitations_e2e_test
    del sys.argv[1:5]
    suite = unittest.defaultTestLoader.loadTestsFromTestCase(PARTS[part])
    result = unittest.TextTestRunner(verbosity=2).run(suite)
    sys.exit(0 if result.wasSuccessful() else 1)


if __name__ == "__main__":
    main()
