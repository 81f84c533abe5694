#!/usr/bin/python3
"""Invitations and cancellations through the real SOAP port of the program zyntparlevo, delivered
to real peers on loopback: the SMTP servers and the DNS server of mail_peers.py. The program asks
that DNS server for the mail exchangers (ZYNTPARLEVO_DNS_SERVER); each received message is parsed
with Python's email package.

Usage: invitations_e2e_test.py PROGRAM DIST HARNESS_DIR
"""
import datetime
import email
import email.policy
import os
import select
import subprocess
import sys
import tempfile
import unittest

import icalendar

conf = None  # conferences_e2e_test, the harness of the action tests
HARNESS_DIR = None

SENDER = "konferenz@parlevo.test"
TZID = '"(GMT+01.00) Sarajevo/Warsaw/Zagreb"'


class MailPeers:
    """mail_peers.py with the given arguments; by default SMTP server "a" (MX of example.test) and
    "b", and other.test names a server that refuses connections first and "b" second."""

    DEFAULT_ARGS = ("--smtp", "a:ok", "--smtp", "b:ok", "--smtp", "down:refuse",
                    "--mx", "example.test=10:a", "--mx", "other.test=20:b,10:down")

    def __init__(self, *args):
        self.folder = tempfile.TemporaryDirectory()
        self.record = os.path.join(self.folder.name, "record.txt")
        open(self.record, "w").close()
        script = os.path.join(os.path.dirname(os.path.abspath(__file__)), "mail_peers.py")
        self.process = subprocess.Popen(
            ["/usr/bin/python3", script, "--record", self.record] + list(args or self.DEFAULT_ARGS),
            stdout=subprocess.PIPE, text=True)
        # Peers that hang before they are ready fail the test within a minute.
        ready, _, _ = select.select([self.process.stdout], [], [], 60)
        words = self.process.stdout.readline().split() if ready else []
        if not words or words[0] != "ready":
            self.stop()
            raise RuntimeError("mail peers did not start")
        self.dns_port = int(words[1])
        self.ip = dict(w.split("=", 1) for w in words[2:])

    def stop(self):
        self.process.terminate()
        self.process.wait(timeout=30)
        self.process.stdout.close()
        self.folder.cleanup()

    def clear(self):
        open(self.record, "w").close()

    def messages(self):
        """(server address, envelope sender, envelope recipients, parsed message) in order."""
        found, envelope = [], {}
        with open(self.record, encoding="ascii") as f:
            for line in f:
                event = line.split()
                if not event or event[0] not in ("MAIL", "RCPT", "MESSAGE"):
                    continue
                data = bytes.fromhex(event[2]) if event[2] != "-" else b""
                session = (event[1], event[3] if len(event) > 3 else "")
                if event[0] == "MAIL":
                    envelope[session] = (data.decode(), [])
                elif event[0] == "RCPT":
                    envelope[session][1].append(data.decode())
                elif event[0] == "MESSAGE":
                    sender, recipients = envelope[session]
                    message = email.message_from_bytes(data, policy=email.policy.default)
                    found.append((event[1], sender, recipients, message, data))
        return found


def calendar_lines(message):
    for part in message.walk():
        if part.get_content_type() == "text/calendar":
            text = part.get_payload(decode=True).decode("utf-8")
            # Long lines are folded: CR LF and one blank.
            return text.replace("\r\n ", "").split("\r\n")
    return None


class InvitationTests:
    """The tests; joined with the harness's ServiceTest once it is loaded."""

    def setUp(self):
        super().setUp()
        self.service.execute("DELETE FROM members")
        self.set_value("MailActivate", 1)
        self.set_value("MaxMembers", 30)
        self.peers.clear()

    def set_value(self, name, value):
        """Changes one value of the running program's registry file (it re-reads the file)."""
        path = self.service.front.registry
        with open(path, encoding="utf-8") as f:
            lines = [l.rstrip("\r\n") for l in f]
        line = '"%s"=dword:%08x' % (name, value)
        lines = [line if l.lower().startswith('"%s"=' % name.lower()) else l for l in lines]
        if line not in lines:
            lines.append(line)
        with open(path + ".new", "w", encoding="utf-8", newline="\r\n") as f:
            f.write("\n".join(lines) + "\n")
        os.replace(path + ".new", path)

    def room_and_conference(self, name="Planung Süd", room="Raum \"Ost\""):
        self.assertEqual(self.result("addRaum", "<Name>%s</Name><Durchwahl>100</Durchwahl>"
                                     % conf.b64(room)),
                         (0, "Konferenzraum erfolgreich angelegt"))
        start = datetime.datetime(2030, 6, 1, 8)
        return int(self.add_conference("100", name, start, start + datetime.timedelta(hours=1)))

    def invite(self, conference, name, firstname, address, host="false", language="ger",
               company=""):
        self.assertEqual(self.result("inviteOne", (
            "<durchwahl>100</durchwahl><KonferenzID>%d</KonferenzID><gastgeber>%s</gastgeber>"
            "<anrede>Frau</anrede><titel>%s</titel><name>%s</name><vorname>%s</vorname>"
            "<email>%s</email><firma>%s</firma><projekt></projekt><mobil></mobil>"
            "<minzeit>01.06.2030 10:00:00</minzeit><maxzeit>01.06.2030 11:30:00</maxzeit>"
            "<listenonly>false</listenonly><languagecode>%s</languagecode>"
            "<membersvisible>true</membersvisible>"
            % (conference, host, conf.b64(""), conf.b64(name), conf.b64(firstname), address,
               conf.b64(company), language))), (0, "Teilnehmer erfolgreich angelegt"))
        return self.service.rows("SELECT MAX(ID) FROM members")[0][0]

    def mailed(self, conference):
        return dict(self.service.rows("SELECT memberID, email FROM conferenceMembers WHERE "
                                      "conferenceID = ?", (conference,)))

    def send_invite(self, conference, members, mark="-"):
        entries = "".join("<Teilnehmer><TeilnehmerID>%s</TeilnehmerID><KonferenzID>%s"
                          "</KonferenzID><invite>%s</invite></Teilnehmer>"
                          % (m, conference, mark) for m in members)
        return conf.parse(self.call("SendInviteMail", entries))

    def test_SendInviteMail_delivers_one_invitation_per_member(self):
        conference = self.room_and_conference()
        host = self.invite(conference, "Host", "Karl", "host@example.test", host="true")
        anna = self.invite(conference, "Bauer", "Anna", "anna@example.test", company="Acme")
        otto = self.invite(conference, "Orth", "Otto", "otto@other.test")
        root = self.send_invite(conference, [anna, otto])
        self.assertEqual((root.findtext("valid/flag"), root.findtext("valid/count"),
                          root.findtext("result")), ("0", "0", "EMail(s) erfolgreich verschickt"))
        self.assertEqual(self.mailed(conference), {host: 0, anna: -1, otto: -1})

        messages = self.peers.messages()
        self.assertEqual([(ip, sender, rcpt) for ip, sender, rcpt, _, _ in messages],
                         [(self.peers.ip["a"], "FROM:<host@example.test>",
                           ["TO:<anna@example.test>"]),
                          # The exchanger of preference 10 refuses; the one of 20 takes it.
                          (self.peers.ip["b"], "FROM:<host@example.test>",
                           ["TO:<otto@other.test>"])])
        pins = dict(self.service.rows("SELECT memberID, pin FROM conferenceMembers"))
        subject = 'Einladung zur Telefonkonferenz "Planung Süd" am 01.06.2030 um 10:00 Uhr'
        for (_, _, _, message, raw), member, address in zip(messages, [anna, otto],
                                                             ["anna@example.test",
                                                              "otto@other.test"]):
            self.assertEqual(message["subject"], subject)
            self.assertEqual(message["to"], address)
            self.assertIn("host@example.test", message["from"])
            self.assertEqual(message["content-class"], "urn:content-classes:calendarmessage")
            self.assertEqual(message.get_content_type(), "multipart/alternative")
            parts = message.get_payload()
            raw_types = [next(v for k, v in p.raw_items() if k.lower() == "content-type")
                         for p in parts]
            # The plain-text template follows the HTML one in name order and is left out.
            self.assertEqual(raw_types, ['text/html;charset="iso-8859-1"',
                                         'text/calendar;method=REQUEST;name="invitation.ics";'
                                         'charset="utf-8"'])
            html = parts[0].get_payload(decode=True).decode("iso-8859-1")
            self.assertIn("Frau", html)
            self.assertIn(pins[member], html)
            self.assertIn('"Raum "Ost""', html)
            self.assertIn("Karl Host", html)
            self.assertEqual(message.defects, [])

            lines = calendar_lines(message)
            self.assertEqual(lines[:4], ["BEGIN:VCALENDAR", "VERSION:2.0", "METHOD:REQUEST",
                                         "PRODID:Orvalen Parlevo for ZyntWare"])
            self.assertEqual(lines[-2:], ["END:VEVENT", "END:VCALENDAR"])
            self.assertIn("DTSTART;TZID=%s:20300601T100000" % TZID, lines)
            self.assertIn("DTEND;TZID=%s:20300601T113000" % TZID, lines)
            self.assertIn("SUMMARY:" + subject, lines)
            self.assertIn("UID:OrvalenZyntParlevo%d" % conference, lines)
            self.assertIn('ORGANIZER;CN="Karl Host":MAILTO:host@example.test', lines)
            attendees = [l for l in lines if l.startswith("ATTENDEE")]
            self.assertEqual(attendees, [
                'ATTENDEE;ROLE=REQ-PARTICIPANT;PARTSTAT=NEEDS-ACTION;RSVP=TRUE;CN="Bauer, Anna"'
                ':MAILTO:anna@example.test',
                'ATTENDEE;ROLE=REQ-PARTICIPANT;PARTSTAT=NEEDS-ACTION;RSVP=TRUE;CN="Orth, Otto"'
                ':MAILTO:otto@other.test'])
            for fixed in ("STATUS:CONFIRMED", "PRIORITY:5", "SEQUENCE:0", "LOCATION:", "CLASS:",
                          "X-MICROSOFT-CDO-BUSYSTATUS:BUSY", "X-MICROSOFT-CDO-APPT-SEQUENCE:0",
                          "BEGIN:VTIMEZONE", "TZID:(GMT+01.00) Sarajevo/Warsaw/Zagreb"):
                self.assertIn(fixed, lines)
            stamps = {l.split(":", 1)[1] for l in lines
                      if l.split(":", 1)[0] in ("DTSTAMP", "CREATED", "LAST-MODIFIED")}
            self.assertEqual(len(stamps), 1)
            self.assertRegex(stamps.pop(), r"^\d{8}T\d{6}Z$")
            self.assertTrue(any(l.startswith("DESCRIPTION:") for l in lines))
            self.assertFalse(any(l.startswith("BEGIN:VALARM") for l in lines))
            for line in raw.split(b"\r\n"):
                self.assertLessEqual(len(line), 998)

        # Mailed members are not invited twice.
        self.peers.clear()
        root = self.send_invite(conference, [anna])
        self.assertEqual(root.findtext("result"), "Keine Teilnehmer gefunden")
        self.assertEqual(self.peers.messages(), [])

    def test_MaxMembers_refuses_an_excess_and_sends_nothing(self):
        conference = self.room_and_conference()
        members = [self.invite(conference, "M%d" % i, "V", "m%d@example.test" % i)
                   for i in range(4)]
        self.service.execute("UPDATE conferenceMembers SET email = -1 WHERE memberID IN (?, ?)",
                             members[:2])
        self.set_value("MaxMembers", 3)
        root = self.send_invite(conference, members[2:])
        self.assertEqual((root.findtext("valid/flag"), root.findtext("valid/count")), ("1", "1"))
        self.assertEqual(self.peers.messages(), [])
        self.assertEqual(self.mailed(conference)[members[3]], 0)
        # Exactly reaching the limit is allowed.
        root = self.send_invite(conference, members[2:3])
        self.assertEqual((root.findtext("valid/flag"), root.findtext("result")),
                         ("0", "EMail(s) erfolgreich verschickt"))
        self.assertEqual(len(self.peers.messages()), 1)

    def test_SendInviteMailAll_mails_every_member_not_mailed_yet(self):
        conference = self.room_and_conference()
        host = self.invite(conference, "Host", "Karl", "host@example.test", host="true")
        anna = self.invite(conference, "Bauer", "Anna", "anna@example.test")
        done = self.invite(conference, "Fertig", "Fritz", "fritz@example.test")
        self.service.execute("UPDATE conferenceMembers SET email = -1 WHERE memberID = ?",
                             (done,))
        root = conf.parse(self.call("SendInviteMailAll", "<KonferenzID>%d</KonferenzID>"
                                    % conference))
        self.assertEqual(root.findtext("result"), "EMail(s) erfolgreich verschickt")
        self.assertEqual(sorted(r for _, _, r, _, _ in self.peers.messages()),
                         [["TO:<anna@example.test>"], ["TO:<host@example.test>"]])
        self.assertEqual(self.mailed(conference), {host: -1, anna: -1, done: -1})
        self.peers.clear()
        root = conf.parse(self.call("SendInviteMailAll", "<KonferenzID>%d</KonferenzID>"
                                    % conference))
        self.assertEqual(root.findtext("result"), "EMail(s) erfolgreich verschickt")
        self.assertEqual(self.peers.messages(), [])

    def cancellations(self, expected_recipients):
        messages = self.peers.messages()
        self.assertEqual(sorted(r[0] for _, _, r, _, _ in messages),
                         sorted(["TO:<%s>" % a for a in expected_recipients]))
        for _, _, _, message, _ in messages:
            self.assertTrue(message["subject"].startswith(
                'Absage der Telefonkonferenz "Planung Süd" am 01.06.2030 um 10:00 Uhr'))
            lines = calendar_lines(message)
            self.assertIn("METHOD:CANCEL", lines)
            self.assertIn("STATUS:CANCELLED", lines)
            self.assertIn("PRIORITY:1", lines)
            self.assertIn("X-MICROSOFT-CDO-BUSYSTATUS:FREE", lines)
            self.assertIn('text/calendar;method=CANCEL;name="invitation.ics";charset="utf-8"',
                          [v for p in message.walk() for k, v in p.raw_items()
                           if k.lower() == "content-type"])
        return messages

    def test_DeleteKonfTeilnehmer_and_DeleteKonferenz_cancel_before_deleting(self):
        conference = self.room_and_conference()
        self.invite(conference, "Host", "Karl", "host@example.test", host="true")
        anna = self.invite(conference, "Bauer", "Anna", "anna@example.test")
        otto = self.invite(conference, "Orth", "Otto", "otto@example.test")
        never = self.invite(conference, "Nie", "Nora", "nora@example.test")
        self.service.execute("UPDATE conferenceMembers SET email = -1 WHERE memberID <> ?",
                             (never,))

        root = conf.parse(self.call("DeleteKonfTeilnehmer", "<KonferenzID>%d</KonferenzID>"
                                    "<TeilnehmerID>%d</TeilnehmerID>" % (conference, anna)))
        self.assertEqual(root.findtext("result"), "Konferenz-Teilnehmer gelöscht")
        self.assertIsNone(root.find("fehler"))
        (message,) = self.cancellations(["anna@example.test"])
        # Sent while her membership still stood: she is among the attendees.
        self.assertIn('ATTENDEE;ROLE=REQ-PARTICIPANT;PARTSTAT=NEEDS-ACTION;RSVP=TRUE;'
                      'CN="Bauer, Anna":MAILTO:anna@example.test', calendar_lines(message[3]))
        self.assertNotIn(anna, self.mailed(conference))

        self.peers.clear()
        self.assertEqual(self.result("DeleteKonferenz", "<KonferenzID>%d</KonferenzID>"
                                     % conference), (0, "Konferenz gelöscht"))
        messages = self.cancellations(["host@example.test", "otto@example.test"])
        for _, _, _, message, _ in messages:
            self.assertIn('ATTENDEE;ROLE=REQ-PARTICIPANT;PARTSTAT=NEEDS-ACTION;RSVP=TRUE;'
                          'CN="Orth, Otto":MAILTO:otto@example.test', calendar_lines(message))
        self.assertEqual(self.service.rows("SELECT COUNT(*) FROM conferences"), [(0,)])
        self.assertEqual(self.service.rows("SELECT COUNT(*) FROM conferenceMembers"), [(0,)])

    def test_mail_off_sends_nothing_and_marks_nothing(self):
        conference = self.room_and_conference()
        anna = self.invite(conference, "Bauer", "Anna", "anna@example.test")
        self.set_value("MailActivate", 0)
        answer = self.call("SendInviteMail", "<Teilnehmer><TeilnehmerID>%d</TeilnehmerID>"
                           "<KonferenzID>%d</KonferenzID><invite>-</invite></Teilnehmer>"
                           % (anna, conference))
        root = conf.parse(answer)
        self.assertIsNone(root.find("result"))
        self.assertNotIn("erfolgreich", answer)
        root = conf.parse(self.call("SendInviteMailAll", "<KonferenzID>%d</KonferenzID>"
                                    % conference))
        self.assertIsNone(root.find("result"))
        self.assertEqual(self.mailed(conference), {anna: 0})
        self.assertEqual(self.peers.messages(), [])

    def test_names_with_punctuation_reach_calendar_and_mail_readers_whole(self):
        room = 'Raum; A, "B"'
        title = 'Q1, Plan; "Budget": Zahlen für Köln'
        conference = self.room_and_conference(title, room=room)
        host = self.invite(conference, "Muster, Jr.", "Max", "max@example.test", host="true")
        erika = self.invite(conference, 'Bei"spiel', "Erika; Anna", "erika@example.test",
                            company='Acme, "Inc."')
        jurgen = self.invite(conference, "Müßig", "Jürgen, Dr.", "juergen@other.test")
        root = self.send_invite(conference, [host, erika, jurgen])
        self.assertEqual(root.findtext("result"), "EMail(s) erfolgreich verschickt")
        self.assertEqual(self.mailed(conference), {host: -1, erika: -1, jurgen: -1})

        messages = self.peers.messages()
        self.assertEqual(sorted(r[0] for _, _, r, _, _ in messages),
                         ["TO:<erika@example.test>", "TO:<juergen@other.test>",
                          "TO:<max@example.test>"])
        subject = 'Einladung zur Telefonkonferenz "%s" am 01.06.2030 um 10:00 Uhr' % title
        for _, sender, recipients, message, raw in messages:
            address = recipients[0][4:-1]
            self.assertEqual(sender, "FROM:<max@example.test>")
            self.assertEqual(message.defects, [])
            self.assertEqual(message["subject"], subject)
            # One address each in From and To, whatever the names hold.
            self.assertEqual([a.addr_spec for a in message["from"].addresses],
                             ["max@example.test"])
            self.assertEqual([a.addr_spec for a in message["to"].addresses], [address])
            for line in raw.split(b"\r\n"):
                self.assertLessEqual(len(line), 998)
            # The MIME structure is as for any invitation.
            self.assertEqual(message.get_content_type(), "multipart/alternative")
            parts = message.get_payload()
            self.assertEqual([next(v for k, v in p.raw_items() if k.lower() == "content-type")
                              for p in parts],
                             ['text/html;charset="iso-8859-1"',
                              'text/calendar;method=REQUEST;name="invitation.ics";'
                              'charset="utf-8"'])
            for part in parts:
                self.assertEqual(part.defects, [])
            html = parts[0].get_payload(decode=True).decode("iso-8859-1")
            self.assertIn('"%s"' % room, html)

            calendar = icalendar.Calendar.from_ical(parts[1].get_payload(decode=True))
            self.assertEqual(str(calendar["METHOD"]), "REQUEST")
            (event,) = calendar.walk("VEVENT")
            self.assertEqual(event.errors, [])
            organiser = event["ORGANIZER"]
            self.assertEqual((str(organiser), organiser.params["CN"]),
                             ("MAILTO:max@example.test", "Max Muster, Jr."))
            attendees = event.get("ATTENDEE")
            attendees = attendees if isinstance(attendees, list) else [attendees]
            # Every member but the host, with the name whole less the quote a parameter
            # cannot hold.
            self.assertEqual(sorted((a.params["CN"], str(a)) for a in attendees),
                             [("Beispiel, Erika; Anna", "MAILTO:erika@example.test"),
                              ("Müßig, Jürgen, Dr.", "MAILTO:juergen@other.test")])
            self.assertEqual(str(event["SUMMARY"]), subject)
            self.assertEqual(str(event["LOCATION"]), "")
            self.assertEqual(str(event["DESCRIPTION"]), html.replace("\r\n", "\n"))
            self.assertIn("Bitte w&auml;hlen Sie", str(event["DESCRIPTION"]))
            self.assertEqual(str(event["UID"]), "OrvalenZyntParlevo%d" % conference)
            self.assertEqual(event.decoded("DTSTART").strftime("%Y%m%dT%H%M%S"),
                             "20300601T100000")

    def test_language_without_templates_and_no_default_still_sends_the_calendar(self):
        # A language whose folder holds the language file but no mail templates, and no default
        # language to fall back to.
        language = self.service.front.path("Templates", "fra", "language")
        os.makedirs(language, exist_ok=True)
        with open(self.service.front.path("Templates", "ger", "language", "language.xml"),
                  "rb") as f:
            text = f.read()
        with open(os.path.join(language, "language.xml"), "wb") as f:
            f.write(text)
        defaults = self.service.rows('SELECT name, "default" FROM languageid')
        self.service.execute("DELETE FROM languageid")

        def restore():
            self.service.execute("DELETE FROM languageid")
            for row in defaults:
                self.service.execute('INSERT INTO languageid (name, "default") VALUES (?, ?)',
                                     row)
        self.addCleanup(restore)

        conference = self.room_and_conference()
        self.invite(conference, "Host", "Karl", "host@example.test", host="true")
        anna = self.invite(conference, "Bauer", "Anna", "anna@example.test", language="fra")
        root = self.send_invite(conference, [anna])
        self.assertEqual(root.findtext("result"), "EMail(s) erfolgreich verschickt")
        self.assertEqual(self.mailed(conference)[anna], -1)

        (message,) = [m for _, _, _, m, _ in self.peers.messages()]
        self.assertEqual(message["to"], "anna@example.test")
        self.assertEqual(message.defects, [])
        self.assertEqual(message["subject"],
                         'Einladung zur Telefonkonferenz "Planung Süd" am 01.06.2030 um 10:00 Uhr')
        # No text part: the calendar part alone, without a description.
        self.assertEqual(message.get_content_type(), "multipart/alternative")
        (part,) = message.get_payload()
        self.assertEqual(part.get_content_type(), "text/calendar")
        calendar = icalendar.Calendar.from_ical(part.get_payload(decode=True))
        (event,) = calendar.walk("VEVENT")
        self.assertEqual(event.errors, [])
        self.assertNotIn("DESCRIPTION", event)
        self.assertEqual(event["ATTENDEE"].params["CN"], "Bauer, Anna")

    def test_hostile_values_change_nothing_they_should_not(self):
        conference = self.room_and_conference('Plan "A"\r\nBcc: victim@example.test')
        evil = self.invite(conference, "Evil\r\nBcc: victim@example.test", "E\r\nX-Injected: 1",
                           "evil@example.test", host="true")
        # A language code that climbs out of the template folder.
        outside = self.service.front.path("evil")
        for folder in ("mail", "language"):
            os.makedirs(os.path.join(outside, folder))
        with open(os.path.join(outside, "mail", "mail.invite.html"), "w") as f:
            f.write("<p>OUTSIDE TEMPLATE</p>")
        with open(os.path.join(outside, "language", "language.xml"), "w") as f:
            f.write('<?xml version="1.0"?><language><general><mail><subjectinvite>OUTSIDE'
                    '</subjectinvite></mail></general></language>')
        climber = self.invite(conference, "Kletter", "Karl", "karl@example.test",
                              language="../evil")
        self.send_invite(conference, [evil, climber])
        root = self.send_invite(conference, ["%d OR 1=1" % climber])
        self.assertNotEqual(root.findtext("result"), "EMail(s) erfolgreich verschickt")
        messages = self.peers.messages()
        for ip, sender, recipients, message, raw in messages:
            self.assertEqual(len(recipients), 1)
            self.assertNotIn(b"victim", b"".join(r.encode() for r in recipients))
            self.assertNotIn("OUTSIDE", raw.decode("latin-1"))
            for name, value in message.items():
                self.assertNotIn("\n", str(value), name)
                self.assertNotEqual(name.lower(), "bcc")
                self.assertNotEqual(name.lower(), "x-injected")
            for line in calendar_lines(message) or []:
                if line.startswith(("SUMMARY", "ORGANIZER", "ATTENDEE")):
                    self.assertNotIn("\n", line)
        self.assertEqual([m[2] for m in messages], [["TO:<evil@example.test>"]])
        # Control characters in the subject became blanks.
        self.assertEqual(messages[0][3]["subject"], 'Einladung zur Telefonkonferenz "Plan "A"  '
                         'Bcc: victim@example.test" am 01.06.2030 um 10:00 Uhr')
        # No template or language file outside the template folder is used: the climber's
        # invitation is not sent (nor marked sent).
        self.assertEqual(self.mailed(conference), {evil: -1, climber: 0})
        # The stored names are as sent; nothing else changed.
        self.assertEqual(self.service.rows("SELECT name FROM members WHERE ID = ?", (evil,)),
                         [("Evil\r\nBcc: victim@example.test",)])
        self.assertEqual(self.service.rows("SELECT COUNT(*) FROM conferenceMembers"), [(2,)])


def main():
    global conf, HARNESS_DIR
    HARNESS_DIR = sys.argv[3]
    sys.path.insert(0, HARNESS_DIR)
    import conferences_e2e_test
    conf = conferences_e2e_test.load_harness(*sys.argv[1:4])
    del sys.argv[1:4]
    peers = MailPeers()
    try:
        service = conf.Service(
            {"MailActivate": 1, "MailOutlookActivate": 1, "MailSender": SENDER, "MaxMembers": 30,
             "SMSActivate": 0},
            environment={"ZYNTPARLEVO_DNS_SERVER": "127.0.0.1:%d" % peers.dns_port})

        class Invitations(InvitationTests, conf.ServiceTest):
            @classmethod
            def setUpClass(cls):
                cls.service, cls.peers = service, peers

            @classmethod
            def tearDownClass(cls):
                pass

        try:
            result = unittest.TextTestRunner(verbosity=2).run(
                unittest.defaultTestLoader.loadTestsFromTestCase(Invitations))
        finally:
            service.stop()
    finally:
        peers.stop()
    sys.exit(0 if result.wasSuccessful() else 1)


if __name__ == "__main__":
    main()
