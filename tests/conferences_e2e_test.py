#!/usr/bin/python3
"""Rooms, conferences and PINs through the real SOAP port, as the front end calls them: a real
SOAP client (zeep) sends DoKonferenzAction requests to the program zyntparlevo, which runs on a
free loopback port with a temporary install folder and made its database at start. Rows are
checked in the database file itself.

Usage: conferences_e2e_test.py PROGRAM DIST HARNESS_DIR
The Service and ServiceTest classes are the harness of the other action tests too.
"""
import base64
import datetime
import os
import re
import shutil
import signal
import sqlite3
import sys
import time
import unittest
import xml.etree.ElementTree as ET

front_module = None


def b64(text):
    return base64.b64encode(text.encode("cp1252")).decode("ascii")


def unb64(text):
    return base64.b64decode(text).decode("cp1252")


def request(action, fields=""):
    return ('<?xml version="1.0" encoding="utf-8"?><Request><Action>%s</Action>%s</Request>'
            % (action, fields))


def local_offset_now():
    return datetime.timedelta(seconds=time.localtime().tm_gmtoff)


class Service:
    """One running program with its database; shared by the tests of a class. registry_values
    are added to "Language"="ger"; environment goes to the program."""

    def __init__(self, registry_values=None, environment=None):
        values = {"Language": "ger"}
        values.update(registry_values or {})
        self.front = front_module.RunningFront(values, environment=environment)
        self.client = self.front.client()
        self.db = os.path.join(self.front.home, "Database", "conference.mdb")

    def stop(self):
        self.front.stop()

    def call(self, action, fields=""):
        return self.client.service.DoKonferenzAction(request(action, fields))

    def rows(self, sql, args=()):
        with sqlite3.connect(self.db, timeout=30) as conn:
            return conn.execute(sql, args).fetchall()

    def execute(self, sql, args=()):
        with sqlite3.connect(self.db, timeout=30) as conn:
            conn.execute(sql, args)


def parse(answer):
    # The answer is text already; its declaration names the encoding of the original only.
    return ET.fromstring(re.sub(r"^<\?xml[^>]*\?>", "", answer))


class ServiceTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.service = Service()

    @classmethod
    def tearDownClass(cls):
        cls.service.stop()

    def setUp(self):
        for table in ("rooms", "conferences", "conferenceMembers", "conferenceMemberLog"):
            self.service.execute("DELETE FROM %s" % table)

    def call(self, action, fields=""):
        return self.service.call(action, fields)

    def result(self, action, fields=""):
        code, description, _ = envelope_of(self.call(action, fields))
        return code, description

    def add_conference(self, room, name, start_utc, end_utc, extra=""):
        fields = ("<Durchwahl>%s</Durchwahl><Name>%s</Name><Datum>%s</Datum><Startzeit>%s"
                  "</Startzeit><Endzeit>%s</Endzeit>%s"
                  % (room, b64(name), start_utc.strftime("%Y-%m-%dT00:00:00Z"),
                     start_utc.strftime("%Y-%m-%dT%H:%M:%SZ"),
                     end_utc.strftime("%Y-%m-%dT%H:%M:%SZ"), extra))
        answer = self.call("addKonferenz", fields)
        root = parse(answer)
        self.assertEqual(root.findtext("result/code"), "0", answer)
        return root.findtext("id")


def envelope_of(answer):
    root = parse(answer)
    return int(root.findtext("result/code")), root.findtext("result/description") or "", root


class Rooms(ServiceTest):
    def test_room_lifecycle_with_next_conference(self):
        self.assertEqual(self.result("addRaum", "<Name>%s</Name><Durchwahl>100</Durchwahl>"
                                                "<Pin>4711</Pin>" % b64("Raum \"Süd\"")),
                         (0, "Konferenzraum erfolgreich angelegt"))
        self.assertEqual(self.service.rows("SELECT name, directdial, pin FROM rooms"),
                         [("Raum \"Süd\"", "100", "4711")])
        now = datetime.datetime.now(datetime.timezone.utc).replace(microsecond=0)
        later = self.add_conference("100", "später", now + datetime.timedelta(hours=2),
                                    now + datetime.timedelta(hours=3))
        running = self.add_conference("100", "läuft", now - datetime.timedelta(hours=1),
                                      now + datetime.timedelta(hours=1))
        self.service.execute("INSERT INTO conferenceMembers (memberID, conferenceID) VALUES "
                             "(1, ?), (2, ?), (3, ?)", (int(running), int(running), int(later)))
        self.service.execute("INSERT INTO conferenceMemberLog (conferenceID, memberID) VALUES "
                             "(?, 1)", (int(running),))

        root = parse(self.call("GetRaeume"))
        self.assertEqual([c.tag for c in root], ["Liste", "result"])
        liste = root.find("Liste")
        self.assertEqual(unb64(liste.findtext("name")), "Raum \"Süd\"")
        nxt = liste.find("Next")
        self.assertEqual([c.tag for c in nxt], ["datum", "anfangszeit", "endzeit", "id",
                                               "nextconferencename", "nummembers", "aktuell"])
        self.assertEqual(nxt.findtext("id"), running)
        self.assertEqual(unb64(nxt.findtext("nextconferencename")), "läuft")
        self.assertEqual(nxt.findtext("nummembers"), "2")
        self.assertEqual(nxt.findtext("aktuell"), "true")

        self.assertEqual(self.result("UpdateRaum", "<Name>%s</Name><Durchwahl>100</Durchwahl>"
                                                   "<Pin>1</Pin>" % b64("Neu")),
                         (0, "Konferenzraum erfolgreich geändert"))
        self.assertEqual(self.result("UpdateRaum", "<Name>%s</Name><Durchwahl>999</Durchwahl>"
                                     % b64("X")), (-1, ""))
        self.assertEqual(self.service.rows("SELECT name, pin FROM rooms"), [("Neu", "1")])

        self.assertEqual(self.result("DeleteRaum", "<Durchwahl>100</Durchwahl>"),
                         (0, "Konferenzraum gelöscht"))
        for table in ("rooms", "conferences", "conferenceMembers", "conferenceMemberLog"):
            self.assertEqual(self.service.rows("SELECT COUNT(*) FROM %s" % table), [(0,)], table)
        root = parse(self.call("GetRaeume"))
        self.assertEqual([c.tag for c in root], ["result"])

    def test_hostile_direct_dials_change_nothing(self):
        self.call("addRaum", "<Name>%s</Name><Durchwahl>100</Durchwahl>" % b64("A"))
        self.call("addRaum", "<Name>%s</Name><Durchwahl>1%%</Durchwahl>" % b64("B"))
        self.add_conference("100", "fremd", datetime.datetime(2030, 1, 1, 10),
                            datetime.datetime(2030, 1, 1, 11))
        for dd in ('x" OR ""="', "1 OR 1=1", "%", "*", "#"):
            self.assertEqual(self.result("UpdateRaum", "<Name>%s</Name><Durchwahl>%s</Durchwahl>"
                                         % (b64("X"), dd.replace("&", "&amp;"))), (-1, ""), dd)
            self.assertEqual(self.result("DeleteRaum", "<Durchwahl>%s</Durchwahl>" % dd),
                             (-1, ""), dd)
            root = parse(self.call("GetKonferenzen", "<Durchwahl>%s</Durchwahl>" % dd))
            self.assertEqual(root.findall("Liste"), [], dd)
        self.assertEqual(sorted(self.service.rows("SELECT name FROM rooms")), [("A",), ("B",)])
        self.assertEqual(self.service.rows("SELECT COUNT(*) FROM conferences"), [(1,)])
        # The room "1%" has no conference although "100" would match it as a pattern.
        lists = parse(self.call("GetRaeume")).findall("Liste")
        self.assertEqual([l.find("Next") is not None for l in lists], [True, False])


    def test_a_deletion_failing_part_way_keeps_everything(self):
        self.assertEqual(self.result("addRaum", "<Name>%s</Name><Durchwahl>300</Durchwahl>"
                                     % b64("R"))[0], 0)
        conference = int(self.add_conference("300", "K", datetime.datetime(2030, 5, 1, 8),
                                             datetime.datetime(2030, 5, 1, 9)))
        self.service.execute("INSERT INTO conferenceMembers (memberID, conferenceID) VALUES "
                             "(1, ?), (2, ?)", (conference, conference))
        self.service.execute("INSERT INTO conferenceMemberLog (conferenceID, memberID) VALUES "
                             "(?, 1)", (conference,))
        tables = ("rooms", "conferences", "conferenceMembers", "conferenceMemberLog")
        before = {t: self.service.rows("SELECT * FROM %s" % t) for t in tables}
        # The room row is the last to go; an outside rule refuses it after the rest has gone.
        self.service.execute("CREATE TRIGGER keep_rooms BEFORE DELETE ON rooms "
                             "BEGIN SELECT RAISE(ABORT, 'rooms are kept'); END")
        try:
            code, _ = self.result("DeleteRaum", "<Durchwahl>300</Durchwahl>")
        finally:
            self.service.execute("DROP TRIGGER keep_rooms")
        self.assertEqual(code, -1)
        for table in tables:
            self.assertEqual(self.service.rows("SELECT * FROM %s" % table), before[table], table)
        # Without the rule the same request deletes it all.
        self.assertEqual(self.result("DeleteRaum", "<Durchwahl>300</Durchwahl>")[0], 0)
        for table in tables:
            self.assertEqual(self.service.rows("SELECT COUNT(*) FROM %s" % table), [(0,)], table)

    def test_a_direct_dial_without_room_loses_its_conferences(self):
        # Conferences whose room row is gone: steps before the room's own delete stay done, and
        # the answer is still -1 with no text for the missing room.
        kept = int(self.add_conference("500", "anderer Raum", datetime.datetime(2030, 5, 1, 8),
                                       datetime.datetime(2030, 5, 1, 9)))
        orphans = [int(self.add_conference("400", name, datetime.datetime(2030, 5, day, 8),
                                           datetime.datetime(2030, 5, day, 9)))
                   for name, day in (("A", 2), ("B", 3))]
        for conference in orphans + [kept]:
            self.service.execute("INSERT INTO conferenceMembers (memberID, conferenceID) VALUES "
                                 "(1, ?), (2, ?)", (conference, conference))
            self.service.execute("INSERT INTO conferenceMemberLog (conferenceID, memberID) "
                                 "VALUES (?, 1)", (conference,))
        self.assertEqual(self.result("DeleteRaum", "<Durchwahl>400</Durchwahl>"), (-1, ""))
        self.assertEqual(self.service.rows("SELECT ID FROM conferences"), [(kept,)])
        self.assertEqual(self.service.rows("SELECT DISTINCT conferenceID FROM conferenceMembers"),
                         [(kept,)])
        self.assertEqual(self.service.rows("SELECT conferenceID FROM conferenceMemberLog"),
                         [(kept,)])


class Conferences(ServiceTest):
    def test_add_converts_dates_and_answers_the_id(self):
        answer = self.call("addKonferenz",
                           "<Durchwahl>100</Durchwahl><Name>%s</Name><Datum>2009-12-31T00:00:00Z"
                           "</Datum><Startzeit>2009-12-31T22:30:00Z</Startzeit><Endzeit>"
                           "2009-12-31T23:30:00.000+01:00</Endzeit><PinHost>1234</PinHost>"
                           % b64("Silvester \"1\""))
        code, description, root = envelope_of(answer)
        self.assertEqual((code, description), (0, "Konferenz erfolgreich angelegt"))
        self.assertEqual([c.tag for c in root], ["result", "id"])
        offset = local_offset_now()
        start = datetime.datetime(2009, 12, 31, 22, 30) + offset
        end = datetime.datetime(2009, 12, 31, 23, 30) - datetime.timedelta(hours=1) + offset
        listed = parse(self.call("GetKonferenzen", "<Durchwahl>100</Durchwahl>")).find("Liste")
        self.assertEqual(listed.findtext("id"), root.findtext("id"))
        self.assertEqual(listed.findtext("anfangszeit"), start.strftime("%d.%m.%Y %H:%M:%S.000"))
        self.assertEqual(listed.findtext("endzeit"), end.strftime("%d.%m.%Y %H:%M:%S.000"))
        self.assertEqual(listed.findtext("recurrenceid"), "-1")
        self.assertEqual(unb64(listed.findtext("name")), "Silvester \"1\"")
        self.assertEqual(self.service.rows("SELECT enddate FROM conferences"), [(None,)])
        self.assertEqual(self.result("addKonferenz", "<Durchwahl>100</Durchwahl><Datum>morgen"
                                     "</Datum>"), (-1, "Ungültiges Datum: Datum"))
        self.assertEqual(self.service.rows("SELECT COUNT(*) FROM conferences"), [(1,)])

    def test_month_window_december_to_january(self):
        def add(name, y, m, d, hh):
            # Local times: the conversion adds the offset in force now to a UTC text.
            local = datetime.datetime(y, m, d, hh)
            self.add_conference("100", name, local - local_offset_now(),
                                local - local_offset_now() + datetime.timedelta(hours=1))
        add("Nov", 2009, 11, 30, 23)
        add("DezAnfang", 2009, 12, 1, 0)
        add("DezEnde", 2009, 12, 31, 23)
        add("Jan", 2010, 1, 1, 0)

        def names(monat, jahr):
            root = parse(self.call("GetKonferenzen", "<Durchwahl>100</Durchwahl><Monat>%s</Monat>"
                                   "<Jahr>%s</Jahr>" % (monat, jahr)))
            self.assertEqual(root.findtext("result/code"), "0")
            return [unb64(l.findtext("name")) for l in root.findall("Liste")]
        self.assertEqual(names("12", "2009"), ["DezAnfang", "DezEnde"])
        self.assertEqual(names("1", "2010"), ["Jan"])
        self.assertEqual(names("11", "2009"), ["Nov"])
        midnight = parse(self.call("GetKonferenzen", "<Durchwahl>100</Durchwahl><Monat>1</Monat>"
                                   "<Jahr>2010</Jahr>")).find("Liste")
        self.assertEqual(midnight.findtext("anfangszeit"), "01.01.2010 00:00:00")
        code, description, _ = envelope_of(self.call(
            "GetKonferenzen", "<Durchwahl>100</Durchwahl><Monat>1 OR 1=1</Monat><Jahr>2010</Jahr>"))
        self.assertEqual(code, -1)
        self.assertNotEqual(description, "")

    def test_update_and_delete(self):
        first = self.add_conference("100", "A", datetime.datetime(2030, 5, 1, 8),
                                    datetime.datetime(2030, 5, 1, 9),
                                    "<RecurrenceId>3</RecurrenceId>")
        second = self.add_conference("100", "B", datetime.datetime(2030, 5, 2, 8),
                                     datetime.datetime(2030, 5, 2, 9))
        self.service.execute("INSERT INTO conferenceMembers (memberID, conferenceID, email, sms)"
                             " VALUES (1, ?, -1, -1), (2, ?, -1, -1)", (int(first), int(second)))
        self.service.execute("INSERT INTO conferenceMemberLog (conferenceID, memberID) VALUES "
                             "(?, 1)", (int(first),))
        fields = ("<Durchwahl>200</Durchwahl><Name>%s</Name><Startzeit>2030-06-01 10:00:00"
                  "</Startzeit><Endzeit>2030-06-01 11:00:00</Endzeit><Datum>2030-06-01</Datum>"
                  "<PinHost>1</PinHost><PinMember>2</PinMember><PinListenOnly>3</PinListenOnly>"
                  % b64("Neu"))
        self.assertEqual(self.result("UpdateKonferenz", "<KonferenzID>%s</KonferenzID>%s"
                                     % (first, fields)), (0, "Konferenz erfolgreich geändert"))
        self.assertEqual(self.service.rows("SELECT room, name, RecurrenceId FROM conferences "
                                           "WHERE ID=?", (first,)), [("200", "Neu", -1)])
        self.assertEqual(self.service.rows("SELECT email, sms FROM conferenceMembers WHERE "
                                           "conferenceID=?", (first,)), [(0, 0)])
        self.assertEqual(self.result("UpdateKonferenz", "<KonferenzID>99999</KonferenzID>%s"
                                     % fields), (-1, ""))
        code, _ = self.result("UpdateKonferenz", "<KonferenzID>1 OR 1=1</KonferenzID>%s" % fields)
        self.assertEqual(code, -1)
        self.assertEqual(self.service.rows("SELECT COUNT(*) FROM conferences WHERE room='200'"),
                         [(1,)])

        self.assertEqual(self.result("DeleteKonferenz", "<KonferenzID>1 OR 1=1</KonferenzID>"),
                         (0, "Konferenz gelöscht"))
        self.assertEqual(self.service.rows("SELECT COUNT(*) FROM conferences"), [(2,)])
        self.assertEqual(self.result("DeleteKonferenz", "<KonferenzID>%s</KonferenzID>"
                                     "<KonferenzID>%s</KonferenzID>" % (first, second)),
                         (0, "Konferenz gelöscht"))
        self.assertEqual(self.service.rows("SELECT COUNT(*) FROM conferences"), [(0,)])
        self.assertEqual(self.service.rows("SELECT COUNT(*) FROM conferenceMembers"), [(0,)])
        # The attendance log stays.
        self.assertEqual(self.service.rows("SELECT COUNT(*) FROM conferenceMemberLog"), [(1,)])


    def test_list_without_month_in_id_order(self):
        # Ends in the reverse order of the IDs: the list still comes by ascending ID.
        ids = [int(self.add_conference("100", name, datetime.datetime(2030, 5, day, 8),
                                       datetime.datetime(2030, 5, day, 9)))
               for name, day in (("spät", 20), ("mittel", 10), ("früh", 1))]
        self.add_conference("101", "anderer Raum", datetime.datetime(2030, 4, 1, 8),
                            datetime.datetime(2030, 4, 1, 9))
        root = parse(self.call("GetKonferenzen", "<Durchwahl>100</Durchwahl>"))
        self.assertEqual(root.findtext("result/code"), "0")
        self.assertEqual([int(l.findtext("id")) for l in root.findall("Liste")], ids)
        # A direct dial matches without regard to case; the spellings still come by ID.
        spelled = [int(self.add_conference(room, "x", datetime.datetime(2030, 6, day, 8),
                                           datetime.datetime(2030, 6, day, 9)))
                   for room, day in (("AB", 9), ("ab", 5), ("Ab", 7), ("aB", 1))]
        root = parse(self.call("GetKonferenzen", "<Durchwahl>ab</Durchwahl>"))
        self.assertEqual([int(l.findtext("id")) for l in root.findall("Liste")], spelled)
        # The room list still finds the conference ending first.
        self.call("addRaum", "<Name>%s</Name><Durchwahl>100</Durchwahl>" % b64("R"))
        rooms = parse(self.call("GetRaeume")).findall("Liste")
        self.assertEqual([r.findtext("Next/id") for r in rooms], [str(ids[2])])

    def test_a_refused_conference_delete_keeps_that_conference_whole(self):
        refused = int(self.add_conference("100", "bleibt", datetime.datetime(2030, 5, 1, 8),
                                          datetime.datetime(2030, 5, 1, 9)))
        deleted = int(self.add_conference("100", "geht", datetime.datetime(2030, 5, 2, 8),
                                          datetime.datetime(2030, 5, 2, 9)))
        for conference in (refused, deleted):
            self.service.execute("INSERT INTO conferenceMembers (memberID, conferenceID) VALUES "
                                 "(1, ?), (2, ?)", (conference, conference))
        before = self.service.rows("SELECT * FROM conferenceMembers WHERE conferenceID = ?",
                                   (refused,))
        # The memberships go first; an outside rule refuses the conference row after them.
        self.service.execute("CREATE TRIGGER keep_conference BEFORE DELETE ON conferences "
                             "WHEN OLD.ID = %d BEGIN SELECT RAISE(ABORT, 'conference is kept'); "
                             "END" % refused)
        try:
            code, description = self.result(
                "DeleteKonferenz", "<KonferenzID>%d</KonferenzID><KonferenzID>%d</KonferenzID>"
                % (refused, deleted))
        finally:
            self.service.execute("DROP TRIGGER keep_conference")
        self.assertEqual(code, -1)
        self.assertIn("conference is kept", description)
        self.assertEqual(self.service.rows("SELECT ID FROM conferences"), [(refused,)])
        self.assertEqual(self.service.rows(
            "SELECT * FROM conferenceMembers WHERE conferenceID = ?", (refused,)), before)
        self.assertEqual(self.service.rows(
            "SELECT COUNT(*) FROM conferenceMembers WHERE conferenceID = ?", (deleted,)), [(0,)])
        # An ID without a row deletes nothing and is no failure.
        self.assertEqual(self.result("DeleteKonferenz", "<KonferenzID>99999</KonferenzID>"),
                         (0, "Konferenz gelöscht"))
        self.assertEqual(self.service.rows("SELECT COUNT(*) FROM conferences"), [(1,)])

    def test_update_refuses_what_is_no_date(self):
        first = self.add_conference("100", "A", datetime.datetime(2030, 5, 1, 8),
                                    datetime.datetime(2030, 5, 1, 9))
        self.service.execute("INSERT INTO conferenceMembers (memberID, conferenceID, email, sms)"
                             " VALUES (1, ?, -1, -1)", (int(first),))
        before = self.service.rows("SELECT * FROM conferences")
        members = self.service.rows("SELECT * FROM conferenceMembers")
        good = {"Startzeit": "2030-06-01 10:00:00", "Endzeit": "2030-06-01 11:00:00",
                "Datum": "2030-06-01"}
        for element in good:
            for bad in ("", "\r\n", " 5 ", "1899-12-30"):
                fields = dict(good, **{element: bad})
                text = "".join("<%s>%s</%s>" % (k, v, k) for k, v in fields.items())
                self.assertEqual(self.result(
                    "UpdateKonferenz", "<KonferenzID>%s</KonferenzID><Durchwahl>100</Durchwahl>"
                    "<Name>%s</Name>%s" % (first, b64("B"), text)),
                    (-1, "Ungültiges Datum: %s" % element), (element, bad))
        self.assertEqual(self.service.rows("SELECT * FROM conferences"), before)
        self.assertEqual(self.service.rows("SELECT * FROM conferenceMembers"), members)

    def test_a_year_that_is_not_four_digits(self):
        for jahr in (" 5 ", "99", "0999", "12345"):
            code, text = self.result("GetKonferenzen",
                                     "<Durchwahl>100</Durchwahl><Monat>3</Monat><Jahr>%s</Jahr>"
                                     % jahr)
            self.assertEqual((code, text), (-1, "Ungültiges Jahr: " + jahr))

    def test_next_conference_ignores_history_and_case(self):
        self.assertEqual(self.result("addRaum", "<name>%s</name><durchwahl>ab</durchwahl>"
                                     "<pin>1</pin>" % b64("R"))[0], 0)
        now = datetime.datetime.now(datetime.timezone.utc)
        self.add_conference("AB", "alt", now - datetime.timedelta(days=400),
                            now - datetime.timedelta(days=399))
        later = self.add_conference("Ab", "spaet", now + datetime.timedelta(days=5),
                                    now + datetime.timedelta(days=5, hours=2))
        soon = self.add_conference("ab", "bald", now + datetime.timedelta(days=2),
                                   now + datetime.timedelta(days=2, hours=1))
        root = parse(self.call("GetRaeume"))
        rooms = {l.findtext("durchwahl"): l for l in root.findall("Liste")}
        self.assertEqual(rooms["ab"].findtext("Next/id"), soon)
        self.service.execute("DELETE FROM conferences WHERE ID = ?", (int(soon),))
        root = parse(self.call("GetRaeume"))
        rooms = {l.findtext("durchwahl"): l for l in root.findall("Liste")}
        self.assertEqual(rooms["ab"].findtext("Next/id"), later)


    def test_answers_stay_well_formed_with_control_characters(self):
        # zeep refuses to send such characters, so the envelope is written here; the inner
        # request carries them as references, which its parser turns into the characters.
        def raw_call(inner):
            escaped = inner.replace("&", "&amp;").replace("<", "&lt;").replace(">", "&gt;")
            body = ('<?xml version="1.0" encoding="utf-8"?><SOAP-ENV:Envelope xmlns:SOAP-ENV='
                    '"http://schemas.xmlsoap.org/soap/envelope/"><SOAP-ENV:Body>'
                    '<NS1:DoKonferenzAction xmlns:NS1="urn:SOAPIntf-IZYNTConferenceService">'
                    '<Request>%s</Request></NS1:DoKonferenzAction></SOAP-ENV:Body>'
                    '</SOAP-ENV:Envelope>' % escaped).encode()
            status, _, data = self.service.front.request(
                "POST", "/soap/IZYNTConferenceService",
                {"Host": "127.0.0.1", "Content-Type": "text/xml; charset=utf-8",
                 "SOAPAction": '"urn:SOAPIntf-IZYNTConferenceService#DoKonferenzAction"'}, body)
            self.assertEqual(status, 200, data)
            # ElementTree's expat is a conforming parser: "&#01;" fails it as a raw \x01 does.
            envelope = ET.fromstring(data)
            answer = next(e for e in envelope.iter() if e.tag.endswith("return")).text or ""
            return parse(answer)

        conference = self.add_conference("100", "K", datetime.datetime(2030, 5, 1, 8),
                                         datetime.datetime(2030, 5, 1, 9))
        bad = "&#1;7&#31;&#x8;"
        for action, fields in (
                ("UpdateKonferenz", "<KonferenzID>%s</KonferenzID>" % bad),
                ("deleteKonferenz", "<konferenzid>%s</konferenzid>" % bad),
                ("GetKonfTeilnehmer", "<KonferenzID>%s</KonferenzID>" % bad),
                ("GetKonfTeilnehmerMobile", "<KonferenzID>%s</KonferenzID>" % bad),
                ("GetTeilnehmerLog", "<KonferenzID>%s</KonferenzID>" % bad),
                ("GetKonferenzen", "<Durchwahl>100</Durchwahl><Monat>%s</Monat><Jahr>2030"
                                   "</Jahr>" % bad),
                ("addRaum", "<Name>%s</Name><Durchwahl>%s</Durchwahl>" % (b64("R"), bad))):
            root = raw_call(request(action, fields))
            self.assertNotIn("\x01", ET.tostring(root, encoding="unicode"), action)
        # The room stored with its odd direct dial lists without breaking the answer.
        rooms = raw_call(request("GetRaeume")).findall("Liste")
        self.assertEqual([r.findtext("durchwahl") for r in rooms], ["?7??"])
        self.assertEqual(self.service.rows("SELECT COUNT(*) FROM conferences WHERE ID = ?",
                                           (int(conference),)), [(1,)])


class Pins(ServiceTest):
    def pin_answer(self, action):
        code, description, root = envelope_of(self.call(action))
        self.assertEqual((code, description), (0, "Pin erzeugt"))
        self.assertEqual([c.tag for c in root], ["result", "pin", "allpins"])
        return int(root.findtext("pin")), root.findtext("allpins") or ""

    def test_three_columns_with_the_list_rule(self):
        pin, allpins = self.pin_answer("getNextFreeHostPin")
        self.assertTrue(1000 <= pin <= 9998)
        self.assertEqual(allpins, "")
        self.service.execute("INSERT INTO conferences (room, PinHost, PinMember, PinListenOnly) "
                             "VALUES ('1', 1234, NULL, 7), ('1', NULL, 5, 7), ('1', 5678, 5, 7)")
        self.assertEqual(self.pin_answer("getNextFreeHostPin")[1], "1234;;5678")
        self.assertEqual(self.pin_answer("getNextFreeMemberPin")[1], "5")
        self.assertEqual(self.pin_answer("getNextFreeListenOnlyPin")[1], "7")
        for _ in range(30):
            pin, _ = self.pin_answer("getNextFreeHostPin")
            self.assertNotIn(pin, (1234, 5678, 9999))


class TraceEntries(unittest.TestCase):
    """The service's own log entries, read from a text output the test configures: one program
    started on a new database, two room deletions, stopped; the entries are read afterwards."""

    PATTERN = "%thread%|%level%|%logentrytype%|%title%"
    # The error entries the upgrade of a new database writes: the failed table test of
    # SchemaVersion as the database access logs it, the step guard's own line, the definition that
    # reports no row, each missing version and the 2.30 statements that change no row.
    UPGRADE_ERRORS = (
        ["no such table: SchemaVersion",
         "helpersConfEx::ConnectToADODB: Exception DbError: no such table: SchemaVersion",
         'Table "SchemaVersion" does not exist', ""] +
        ["DB is not in v" + v for v in ("2.00", "2.10", "2.21", "2.22")] +
        ["DB is not in v2.30", "", "Empty Error Message probably means that [language] already "
         "existed", ""])

    @classmethod
    def setUpClass(cls):
        def templates(target):
            shutil.copytree(os.path.join(front_module.DIST, "Templates"), target)
            home = os.path.dirname(target)
            cls.trace = os.path.join(home, "trace.txt")
            with open(os.path.join(home, "ZyntParlevo.lgc"), "w", encoding="utf-8") as f:
                f.write("enabled = true\nlevel = debug\nconnections = text(filename=%s, "
                        "pattern=%s)\n" % (cls.trace, cls.PATTERN))

        front = front_module.RunningFront({"Language": "ger"}, templates=templates)
        try:
            service = Service.__new__(Service)
            service.front, service.client = front, front.client()
            service.db = os.path.join(front.home, "Database", "conference.mdb")
            # A direct dial with a conference, its membership and stay, but no room row.
            conference = int(parse(service.call(
                "addKonferenz", "<Durchwahl>400</Durchwahl><Name>%s</Name><Datum>"
                "2030-01-01T00:00:00Z</Datum><Startzeit>2030-01-01T08:00:00Z</Startzeit>"
                "<Endzeit>2030-01-01T09:00:00Z</Endzeit>" % b64("K"))).findtext("id"))
            service.execute("INSERT INTO conferenceMembers (memberID, conferenceID) VALUES "
                            "(1, ?)", (conference,))
            service.execute("INSERT INTO conferenceMemberLog (conferenceID, memberID) VALUES "
                            "(?, 1)", (conference,))
            cls.missing_room = envelope_of(service.call("DeleteRaum",
                                                        "<Durchwahl>400</Durchwahl>"))[:2]
            service.call("addRaum", "<Name>%s</Name><Durchwahl>401</Durchwahl>" % b64("R"))
            service.execute("CREATE TRIGGER keep_rooms BEFORE DELETE ON rooms "
                            "BEGIN SELECT RAISE(ABORT, 'rooms are kept'); END")
            cls.refused = envelope_of(service.call("DeleteRaum", "<Durchwahl>401</Durchwahl>"))[:2]
            service.client.transport.session.close()
            front.process.send_signal(signal.SIGTERM)
            code = front.process.wait(timeout=front_module.WAIT_LIMIT)
            front.process = None
            if code != 0:
                raise RuntimeError("zyntparlevo ended with exit code %s" % code)
            with open(cls.trace, encoding="utf-8-sig") as f:
                cls.entries = [line.rstrip("\r\n").split("|", 3) for line in f]
        finally:
            front.stop()

    def action_entries(self, action):
        """The entries of each run of the action, in the thread that ran it."""
        runs = []
        for i, (thread, _, kind, title) in enumerate(self.entries):
            if kind == "EnterMethod" and title == action:
                run = []
                for entry in self.entries[i + 1:]:
                    if entry[0] != thread:
                        continue
                    if entry[2] == "LeaveMethod" and entry[3] == action:
                        break
                    run.append(entry)
                runs.append(run)
        return runs

    def test_a_first_start_logs_only_the_errors_the_upgrade_names(self):
        first_request = next(i for i, e in enumerate(self.entries)
                             if e[2] == "EnterMethod" and e[3].endswith("DoKonferenzAction"))
        errors = [e[3] for e in self.entries[:first_request] if e[1] == "Error"]
        self.assertEqual(errors, self.UPGRADE_ERRORS)

    def test_room_deletion_traces_every_statement(self):
        self.assertEqual(self.missing_room, (-1, ""))
        self.assertEqual(self.refused[0], -1)
        self.assertIn("rooms are kept", self.refused[1])
        missing, refused = self.action_entries("DeleteRaum")

        def calls(run):
            """Per ConnectToADODB call: its variable values and whether it was left."""
            found, current = [], None
            for _, level, kind, title in run:
                if kind == "EnterMethod" and title == "helpersConfEx::ConnectToADODB":
                    current = {"errors": []}
                    found.append(current)
                elif current is not None and kind == "VariableValue" and " = " in title:
                    name, value = title.split(" = ", 1)
                    current.setdefault(name, value)
                elif current is not None and kind == "Source" and title == "SQL":
                    current["SQL"] = True
                elif current is not None and level == "Error":
                    current["errors"].append(title)
                elif kind == "LeaveMethod" and title == "helpersConfEx::ConnectToADODB":
                    current["left"] = True
                    current = None
            return found

        # Select, memberships, stays, conferences, room: the room delete finds no row.
        traced = calls(missing)
        self.assertEqual([c.get("IsSelectStat") for c in traced],
                         ["True", "False", "False", "False", "False"])
        self.assertEqual([c.get("Result") for c in traced],
                         ["True", "True", "True", "True", "False"])
        for call in traced:
            self.assertTrue(call.get("left"), call)
            self.assertTrue(call.get("SQL"), call)
            self.assertTrue(call["ConnectStr"].startswith(
                "'Provider=Microsoft.Jet.OLEDB.4.0;Data Source="), call)
            self.assertEqual(call["ErrorMsg"], "''")
            self.assertEqual(call["errors"], [])
        # The refused room delete logs the database's message as an error in its call.
        traced = calls(refused)
        self.assertEqual([c.get("Result") for c in traced], ["True", "False", "False"])
        self.assertTrue(any("rooms are kept" in e for e in traced[-1]["errors"]), traced[-1])


def load_harness(program, dist, harness_dir):
    """Points the harness at the program; returns this module (for scripts that import it)."""
    global front_module
    os.environ["TZ"] = "Europe/Berlin"
    time.tzset()
    sys.path.insert(0, harness_dir)
    import webfront_e2e_test as harness
    harness.PROGRAM, harness.DIST = program, dist
    front_module = harness
    return sys.modules[__name__]


def main():
    load_harness(*sys.argv[1:4])
    del sys.argv[1:4]
    unittest.main(verbosity=2)


if __name__ == "__main__":
    main()
