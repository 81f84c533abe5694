#!/usr/bin/python3
"""Members, memberships, participant lists and kick through the real SOAP port of the program
zyntparlevo, as the front end calls them (a real SOAP client, zeep). Attendance rows are written
into the database file as the PBX side writes them: dates as day numbers since 1899-12-30.

Usage: participants_e2e_test.py PROGRAM DIST HARNESS_DIR
"""
import datetime
import sys
import unittest

conf = None  # conferences_e2e_test, the harness of the action tests

DAY_ZERO = datetime.datetime(1899, 12, 30)
LIST_FIELDS = ["teilnehmerid", "konferenzid", "gastgeber", "anrede", "titel", "name", "vorname",
               "email", "mobil", "firma", "projekt", "anwesend", "pin", "durchwahl",
               "fruehestens", "spaetestens", "sms_gesendet", "mail_gesendet", "von", "bis",
               "status", "listenonly", "kick", "languagecode", "membersvisible"]


def day_number(moment):
    return (moment - DAY_ZERO).total_seconds() / 86400


def shown(moment):
    """A date-time as the lists write it."""
    return moment.strftime("%d.%m.%Y %H:%M:%S.000")


def member_fields(name, firstname, email, anrede="Herr", titel="", firma="", projekt="",
                  mobil="", sprache="ger"):
    b64 = conf.b64
    return ("<anrede>%s</anrede><titel>%s</titel><name>%s</name><vorname>%s</vorname>"
            "<email>%s</email><firma>%s</firma><projekt>%s</projekt><sprache>%s</sprache>"
            "<mobil>%s</mobil>" % (anrede, b64(titel), b64(name), b64(firstname), email,
                                   b64(firma), b64(projekt), b64(sprache), mobil))


def invite_fields(conference, name, firstname, email, host="false", room="100",
                  language="ger", listen_only="false", visible="true", anrede="Herr", titel="",
                  firma="", mobil=""):
    b64 = conf.b64
    return ("<durchwahl>%s</durchwahl><KonferenzID>%s</KonferenzID><gastgeber>%s</gastgeber>"
            "<anrede>%s</anrede><titel>%s</titel><name>%s</name><vorname>%s</vorname>"
            "<email>%s</email><firma>%s</firma><projekt></projekt><mobil>%s</mobil>"
            "<minzeit>01.06.2030 10:00:00</minzeit><maxzeit>01.06.2030 11:00:00</maxzeit>"
            "<listenonly>%s</listenonly><languagecode>%s</languagecode>"
            "<membersvisible>%s</membersvisible>"
            % (room, conference, host, anrede, b64(titel), b64(name), b64(firstname), email,
               b64(firma), mobil, listen_only, language, visible))


class ParticipantTests:
    """The tests; joined with the harness's ServiceTest once it is loaded."""

    def setUp(self):
        super().setUp()
        self.service.execute("DELETE FROM members")

    def conference(self, name="Konferenz", room="100"):
        start = datetime.datetime(2030, 6, 1, 8)
        return int(self.add_conference(room, name, start, start + datetime.timedelta(hours=1)))

    def member(self, name, firstname="Vorname", email=None, **extra):
        email = email or "%s@example.test" % name.lower()
        self.assertEqual(self.result("AddTeilnehmer", member_fields(name, firstname, email,
                                                                    **extra)),
                         (0, "Teilnehmer zur Konferenz hinzugefügt"))
        return self.service.rows("SELECT MAX(ID) FROM members")[0][0]

    def membership(self, member, conference, pin, language="ger", visible=-1, listen_only=0,
                   host=0):
        self.service.execute(
            "INSERT INTO conferenceMembers VALUES (?, ?, ?, 0, ?, ?, '100', NULL, NULL, 0, 0, ?, "
            "0, ?)", (member, conference, host, language, pin, listen_only, visible))

    def stay(self, member, conference, joined, left=None):
        """An attendance row as the PBX side writes it."""
        self.service.execute(
            "INSERT INTO conferenceMemberLog (conferenceID, memberID, [from], [to]) "
            "VALUES (?, ?, ?, ?)", (conference, member, day_number(joined),
                                    None if left is None else day_number(left)))

    def memberships(self, conference):
        return self.service.rows(
            "SELECT memberID, host, email, languagecode, pin, directdial, sms, present, "
            "listenOnly, kick, membersvisible FROM conferenceMembers WHERE conferenceID = ? "
            "ORDER BY memberID, languagecode", (conference,))

    # The address book.

    def test_member_added_listed_updated_and_deleted_with_memberships_and_log(self):
        first = self.member("Mueller", "Jörg", "jm@example.test", anrede="Herr", titel="Dr.",
                            firma="Acme, Inc.", projekt="Nord", mobil="0170 1")
        # Equal in name, first name and address without regard to letter case: no second row.
        self.member("MUELLER", "JöRG", "JM@Example.TEST")
        self.assertEqual(self.service.rows("SELECT COUNT(*) FROM members"), [(1,)])
        # A different address is a different member.
        other = self.member("Mueller", "Jörg", "jm2@example.test")
        self.assertNotEqual(first, other)

        root = conf.parse(self.call("GetTeilnehmer"))
        self.assertEqual(root.findtext("type"), "GetTeilnehmer")
        self.assertEqual(root.findtext("result/code"), "0")
        lists = root.findall("Liste")
        self.assertEqual([l.findtext("teilnehmerid") for l in lists], [str(first), str(other)])
        entry = lists[0]
        self.assertEqual([c.tag for c in entry],
                         ["teilnehmerid", "anrede", "titel", "name", "vorname", "email", "mobil",
                          "firma", "projekt", "hidefromaddressbook", "sprache"])
        self.assertEqual(
            (entry.findtext("anrede"), conf.unb64(entry.findtext("titel")),
             conf.unb64(entry.findtext("name")), conf.unb64(entry.findtext("vorname")),
             entry.findtext("email"), entry.findtext("mobil"),
             conf.unb64(entry.findtext("firma")), conf.unb64(entry.findtext("projekt")),
             entry.findtext("hidefromaddressbook"), entry.findtext("sprache")),
            ("Herr", "Dr.", "Mueller", "Jörg", "jm@example.test", "0170 1", "Acme, Inc.", "Nord",
             "0", "ger"))
        self.assertIsNone(conf.parse(self.call(
            "GetTeilnehmer", "<type>addressbookToOverview</type>")).find("type"))

        b64 = conf.b64
        self.assertEqual(self.result(
            "updateTeilnehmer",
            "<teilnehmerid>%d</teilnehmerid><anrede>Frau</anrede><titel>%s</titel><name>%s</name>"
            "<vorname>%s</vorname><email>new@example.test</email><firma>%s</firma><projekt>"
            "</projekt><mobil>0171</mobil><sprache>eng</sprache>"
            % (first, b64(""), b64("Schmidt"), b64("Anna"), b64("Firma \"X\""))),
            (0, "Teilnehmerdaten (Adressbuch) aktualisiert"))
        self.assertEqual(self.service.rows(
            "SELECT sex, title, name, firstname, email, sms, company, project, language FROM "
            "members WHERE ID = ?", (first,)),
            [("Frau", "", "Schmidt", "Anna", "new@example.test", "0171", "Firma \"X\"", "",
              "eng")])

        one, two = self.conference("Eins"), self.conference("Zwei")
        self.membership(first, one, "11111")
        self.membership(first, two, "22222")
        self.membership(other, one, "33333")
        self.stay(first, one, datetime.datetime(2030, 6, 1, 8, 5))
        self.stay(other, one, datetime.datetime(2030, 6, 1, 8, 6))
        self.assertEqual(self.result("DeleteTeilnehmer", "<TeilnehmerID>%d</TeilnehmerID>"
                                     % first), (0, "Konferenzteilnehmer gelöscht"))
        self.assertEqual(self.service.rows("SELECT ID FROM members"), [(other,)])
        self.assertEqual(self.service.rows("SELECT memberID FROM conferenceMembers"), [(other,)])
        self.assertEqual(self.service.rows("SELECT memberID FROM conferenceMemberLog"), [(other,)])
        # A member without rows anywhere is no error.
        self.assertEqual(self.result("DeleteTeilnehmer", "<TeilnehmerID>99999</TeilnehmerID>"),
                         (0, "Konferenzteilnehmer gelöscht"))

    # Memberships.

    def test_inviteOne_new_and_existing_member_duplicate_and_pin_lookup(self):
        room_conf = self.conference("Vertrieb & <Team> ä")
        known = self.member("Bekannt", "Karl", "karl@example.test")
        self.assertEqual(self.result("inviteOne", invite_fields(
            room_conf, "Neu", "Nina", "nina@example.test", host="true", titel="Prof.")),
            (0, "Teilnehmer erfolgreich angelegt"))
        new = self.service.rows("SELECT ID FROM members WHERE name = 'Neu'")[0][0]
        self.assertEqual(self.service.rows("SELECT title FROM members WHERE ID = ?", (new,)),
                         [("Prof.",)])
        # The known member, in another letter case: no new address-book row.
        self.assertEqual(self.result("inviteOne", invite_fields(
            room_conf, "BEKANNT", "karl", "Karl@Example.test", language="eng",
            listen_only="true")), (0, "Teilnehmer erfolgreich angelegt"))
        self.assertEqual(self.service.rows("SELECT COUNT(*) FROM members"), [(2,)])
        rows = self.memberships(room_conf)
        self.assertEqual([r[:4] + r[5:] for r in rows],
                         [(known, 0, 0, "eng", "100", 0, 0, -1, 0, -1),
                          (new, -1, 0, "ger", "100", 0, 0, 0, 0, -1)])
        pins = [r[4] for r in rows]
        for pin in pins:
            self.assertRegex(pin, r"^[0-9]{5}$")
        self.assertNotEqual(pins[0], pins[1])
        self.assertEqual(self.result("inviteOne", invite_fields(
            room_conf, "Bekannt", "Karl", "karl@example.test")),
            (-1, "Teilnehmer exisitert in der Konferenz bereits"))
        self.assertEqual(len(self.memberships(room_conf)), 2)

        name = conf.b64("Vertrieb & <Team> ä")
        for member, pin in zip([known, new], pins):
            host = "1" if member == new else "0"
            self.assertEqual(self.service.client.service.GetConferenceIDFromMemberPIN(pin),
                             '<?xml version="1.0" encoding="utf-8"?><response><id>%d</id>'
                             '<host>%s</host><conferenceName>%s</conferenceName></response>'
                             % (room_conf, host, name))

    def test_InviteKonfTeilnehmer_copies_from_two_conferences_without_duplicates(self):
        first = self.conference("Quelle 1", room="100")
        second = self.conference("Quelle 2", room="200")
        target = self.conference("Ziel", room="300")
        same, varies, only_second = self.member("Gleich"), self.member("Anders"), self.member("Z")
        self.membership(same, first, "10001")
        self.membership(same, second, "10002")
        self.membership(varies, first, "10003", language="eng")
        self.membership(varies, second, "10004", language="ger", listen_only=-1)
        self.membership(only_second, second, "10005", visible=0, host=-1)
        answer = self.result(
            "InviteKonfTeilnehmer",
            "<durchwahl>100</durchwahl><KonferenzID>%d</KonferenzID><minzeit>01.06.2030 08:00:00"
            "</minzeit><maxzeit>01.06.2030 09:00:00</maxzeit><KonferenzIDVon>%d</KonferenzIDVon>"
            "<konferenzidvon>%d</konferenzidvon>" % (target, first, second))
        self.assertEqual(answer, (0, "Teilnehmer eingeladen"))
        rows = self.memberships(target)
        # Copied members are never hosts; the room is the last source's.
        self.assertEqual([(r[0], r[1], r[3], r[5], r[8], r[10]) for r in rows],
                         [(same, 0, "ger", "200", 0, -1),
                          (varies, 0, "eng", "200", 0, -1),
                          (varies, 0, "ger", "200", -1, -1),
                          (only_second, 0, "ger", "200", 0, 0)])
        # PINs stay unique over all memberships.
        pins = [r[0] for r in self.service.rows("SELECT pin FROM conferenceMembers")]
        self.assertEqual(len(pins), len(set(pins)))
        # An unknown source conference: nothing inserted.
        code, _ = self.result("InviteKonfTeilnehmer", "<KonferenzID>%d</KonferenzID>"
                              "<KonferenzIDVon>99999</KonferenzIDVon>" % target)
        self.assertEqual(code, -999)
        self.assertEqual(len(self.memberships(target)), 4)

    # Lists with attendance.

    def test_lists_with_attendance_rows_of_the_pbx_side(self):
        conference = self.conference("Liste")
        never = self.member("Nie", titel="")
        present = self.member("Da", anrede="Frau", titel="Dr.", firma="Acme")
        left = self.member("Weg")
        self.membership(never, conference, "20001")
        self.membership(present, conference, "20002", host=-1)
        self.membership(left, conference, "20003", language="eng")
        self.service.execute("UPDATE conferenceMembers SET present = -1 WHERE memberID = ?",
                             (present,))
        t = datetime.datetime(2030, 6, 1, 8, 0, 0)
        m = datetime.timedelta(minutes=1)
        self.stay(present, conference, t + 1 * m, t + 5 * m)   # joined, left, back again
        self.stay(present, conference, t + 9 * m)
        self.stay(left, conference, t + 2 * m, t + 3 * m)
        self.stay(left, conference, t + 7 * m, t + 8 * m)

        root = conf.parse(self.call("GetKonfTeilnehmer", "<KonferenzID>%d</KonferenzID>"
                                    % conference))
        self.assertIsNone(root.find("result"))
        lists = root.findall("Liste")
        for entry in lists:
            self.assertEqual([c.tag for c in entry], LIST_FIELDS)
        got = sorted((int(l.findtext("teilnehmerid")), l.findtext("status"), l.findtext("von"),
                      l.findtext("bis") or "") for l in lists)
        self.assertEqual(got, sorted([
            (never, "0", "", ""),
            (present, "1", shown(t + 1 * m), shown(t + 5 * m)),
            (present, "2", shown(t + 9 * m), ""),
            (left, "1", shown(t + 2 * m), shown(t + 3 * m)),
            (left, "1", shown(t + 7 * m), shown(t + 8 * m))]))
        self.assertEqual([int(l.findtext("teilnehmerid")) for l in lists],
                         sorted(int(l.findtext("teilnehmerid")) for l in lists))
        entry = next(l for l in lists if int(l.findtext("teilnehmerid")) == present)
        self.assertEqual((entry.findtext("gastgeber"), entry.findtext("anwesend"),
                          entry.findtext("pin"), conf.unb64(entry.findtext("languagecode")),
                          conf.unb64(entry.findtext("titel")), entry.findtext("konferenzid")),
                         ("-1", "-1", "20002", "Deutsch", "Dr.", str(conference)))
        entry = next(l for l in lists if int(l.findtext("teilnehmerid")) == left)
        self.assertEqual(conf.unb64(entry.findtext("languagecode")), "Englisch")

        mobile = conf.parse(self.call("GetKonfTeilnehmerMobile", "<KonferenzID>%d</KonferenzID>"
                                      % conference)).findall("l")
        for entry in mobile:
            self.assertEqual([c.tag for c in entry], ["t", "k", "a", "f", "v", "s", "m"])
        self.assertEqual([(int(l.findtext("t")), l.findtext("s"), l.findtext("v")) for l in mobile],
                         [(never, "0", " - "),
                          (present, "2", shown(t + 9 * m) + " - "),
                          (left, "1", "%s - %s" % (shown(t + 7 * m), shown(t + 8 * m))),
                          (left, "1", "%s - %s" % (shown(t + 2 * m), shown(t + 3 * m))),
                          (present, "1", "%s - %s" % (shown(t + 1 * m), shown(t + 5 * m)))])
        self.assertEqual(conf.unb64(mobile[0].findtext("a")), "Herr  Nie")
        self.assertEqual(conf.unb64(mobile[1].findtext("a")), "Frau Dr. Da")
        self.assertEqual(conf.unb64(mobile[1].findtext("f")), "Acme")
        self.assertEqual(mobile[1].findtext("k"), str(conference))

        log = conf.parse(self.call("GetTeilnehmerLog", "<KonferenzID>%d</KonferenzID>"
                                   % conference))
        self.assertEqual(log.findtext("result/code"), "0")
        self.assertEqual(sorted((l.findtext("name"), l.findtext("von"), l.findtext("bis") or "")
                                for l in log.findall("Liste")),
                         sorted([("Da", shown(t + 1 * m), shown(t + 5 * m)),
                                 ("Da", shown(t + 9 * m), ""),
                                 ("Weg", shown(t + 2 * m), shown(t + 3 * m)),
                                 ("Weg", shown(t + 7 * m), shown(t + 8 * m))]))

        # An empty conference lists nothing; no code either.
        empty = self.conference("Leer")
        root = conf.parse(self.call("GetKonfTeilnehmer", "<KonferenzID>%d</KonferenzID>" % empty))
        self.assertEqual(list(root), [])

    def test_mobile_list_order_and_limit(self):
        conference = self.conference("Viele")
        t = datetime.datetime(2030, 6, 1, 8, 0, 0)
        members = [self.member("M%02d" % i) for i in range(20)]
        for i, member in enumerate(members):
            self.membership(member, conference, "3%04d" % i)
        # Five present, five left at different times, ten never joined.
        for i in range(5):
            self.stay(members[i], conference, t + datetime.timedelta(minutes=i))
        for i in range(5, 10):
            self.stay(members[i], conference, t + datetime.timedelta(minutes=i),
                      t + datetime.timedelta(minutes=30))
        mobile = conf.parse(self.call("GetKonfTeilnehmerMobile", "<KonferenzID>%d</KonferenzID>"
                                      % conference)).findall("l")
        statuses = [l.findtext("s") for l in mobile]
        self.assertEqual(statuses, ["0"] * 10 + ["2"] * 5)
        self.assertEqual(sorted(int(l.findtext("t")) for l in mobile[:10]), members[10:])

        # Fewer never-joined: the rest of the fifteen are the present, then those who left,
        # latest join first.
        for i in range(10, 18):
            self.stay(members[i], conference, t + datetime.timedelta(minutes=40 + i))
        mobile = conf.parse(self.call("GetKonfTeilnehmerMobile", "<KonferenzID>%d</KonferenzID>"
                                      % conference)).findall("l")
        self.assertEqual([l.findtext("s") for l in mobile], ["0"] * 2 + ["2"] * 13)
        for i in range(18, 20):
            self.stay(members[i], conference, t + datetime.timedelta(minutes=40 + i))
        self.service.execute("UPDATE conferenceMemberLog SET [to] = [from] + 0.01 WHERE "
                             "memberID IN (%s)" % ",".join(str(m) for m in members[10:]))
        mobile = conf.parse(self.call("GetKonfTeilnehmerMobile", "<KonferenzID>%d</KonferenzID>"
                                      % conference)).findall("l")
        self.assertEqual([l.findtext("s") for l in mobile], ["2"] * 5 + ["1"] * 10)
        self.assertEqual([int(l.findtext("t")) for l in mobile[5:]],
                         list(reversed(members[10:20])))

    # Changes of one membership.

    def test_update_kick_and_salutation(self):
        conference = self.conference("Aenderung")
        a, b, c = self.member("A"), self.member("B"), self.member("C")
        for member, pin in ((a, "40001"), (b, "40002"), (c, "40003")):
            self.membership(member, conference, pin)
        self.assertEqual(self.result(
            "updateKonfTeilnehmer",
            "<TeilnehmerID>%d</TeilnehmerID><KonferenzID>%d</KonferenzID><minzeit>01.06.2030 "
            "08:30:00</minzeit><maxzeit>01.06.2030 09:30:00</maxzeit><gastgeber>TRUE</gastgeber>"
            "<listenOnly>1</listenOnly><languagecode>eng</languagecode><membersvisible>false"
            "</membersvisible>" % (a, conference)), (0, "Teilnehmerdaten (Konferenz) aktualisiert"))
        rows = self.memberships(conference)
        self.assertEqual(rows[0], (a, -1, 0, "eng", "40001", "100", 0, 0, -1, 0, 0))
        start = self.service.rows("SELECT [min], [max] FROM conferenceMembers WHERE memberID = ?",
                                  (a,))[0]
        self.assertAlmostEqual(start[0], day_number(datetime.datetime(2030, 6, 1, 8, 30)), 6)
        self.assertAlmostEqual(start[1], day_number(datetime.datetime(2030, 6, 1, 9, 30)), 6)
        # No such membership.
        self.assertEqual(self.result(
            "updateKonfTeilnehmer", "<TeilnehmerID>99999</TeilnehmerID><KonferenzID>%d"
            "</KonferenzID><gastgeber>false</gastgeber><listenOnly>0</listenOnly>"
            "<minzeit>2030-06-01 08:30:00</minzeit><maxzeit>2030-06-01 09:30:00</maxzeit>"
            "<membersvisible>0</membersvisible>" % conference), (-1, ""))
        # Empty times are no times: refused, the membership keeps its window.
        self.assertEqual(self.result(
            "updateKonfTeilnehmer", "<TeilnehmerID>%d</TeilnehmerID><KonferenzID>%d"
            "</KonferenzID><gastgeber>false</gastgeber><listenOnly>0</listenOnly>"
            "<minzeit></minzeit><maxzeit></maxzeit><membersvisible>0</membersvisible>"
            % (a, conference)), (-1, "Data type mismatch in criteria expression."))
        self.assertEqual(self.service.rows(
            "SELECT [min], [max] FROM conferenceMembers WHERE memberID = ?", (a,))[0], start)

        self.assertEqual(self.result(
            "kickTeilnehmer",
            "<Teilnehmer><TeilnehmerID>%d</TeilnehmerID><KonferenzID>%d</KonferenzID></Teilnehmer>"
            "<Other><TeilnehmerID>%d</TeilnehmerID><KonferenzID>%d</KonferenzID></Other>"
            "<TEILNEHMER><teilnehmerid>%d</teilnehmerid><konferenzid>%d</konferenzid></TEILNEHMER>"
            % (a, conference, b, conference, c, conference)), (0, "Teilnehmer gekickt"))
        self.assertEqual([(r[0], r[9]) for r in self.memberships(conference)],
                         [(a, -1), (b, 0), (c, -1)])
        self.assertEqual(self.result("kickTeilnehmer"), (0, "Teilnehmer gekickt"))

        root = conf.parse(self.call("getSalutation", "<languagecode>ger</languagecode>"))
        self.assertEqual([c.tag for c in root], ["type", "Salutation"])
        self.assertEqual(root.findtext("type"), "getSalutation")
        self.assertEqual((root.findtext("Salutation/male"), root.findtext("Salutation/female")),
                         ("Herr", "Frau"))
        root = conf.parse(self.call("getSalutation", "<languagecode>eng</languagecode>"))
        self.assertEqual(root.findtext("Salutation/male"), "Mr.")
        for code in ("fr", "../ger", "ger/../../Templates/ger", ""):
            self.assertEqual(self.call("getSalutation", "<languagecode>%s</languagecode>" % code),
                             "error", code)

    def test_hostile_values_change_nothing(self):
        conference = self.conference("Fest")
        a, b = self.member("A"), self.member("B")
        self.membership(a, conference, "50001")
        self.membership(b, conference, "50002")
        before = self.service.rows("SELECT * FROM conferenceMembers ORDER BY memberID")
        members_before = self.service.rows("SELECT * FROM members ORDER BY ID")

        def unchanged():
            self.assertEqual(self.service.rows("SELECT * FROM conferenceMembers ORDER BY memberID"),
                             before)
            self.assertEqual(self.service.rows("SELECT * FROM members ORDER BY ID"),
                             members_before)

        for flag in ('true, pin="00000"', "-1 OR 1=1", "yes", "1; DELETE FROM members"):
            code, description = self.result(
                "updateKonfTeilnehmer",
                "<TeilnehmerID>%d</TeilnehmerID><KonferenzID>%d</KonferenzID><gastgeber>%s"
                "</gastgeber><listenOnly>0</listenOnly><membersvisible>0</membersvisible>"
                % (a, conference, flag.replace("&", "&amp;")))
            self.assertEqual(code, -1, flag)
            self.assertNotEqual(description, "", flag)
            unchanged()
        for ident in ("7 OR 1=1", "%d OR 1=1" % a, "1; DELETE FROM members", "", "0x1"):
            code, _ = self.result("kickTeilnehmer", "<Teilnehmer><TeilnehmerID>%s</TeilnehmerID>"
                                  "<KonferenzID>%d</KonferenzID></Teilnehmer>"
                                  % (ident, conference))
            self.assertEqual(code, -1, ident)
            code, _ = self.result("DeleteTeilnehmer", "<TeilnehmerID>%s</TeilnehmerID>" % ident)
            self.assertEqual(code, -1, ident)
            root = conf.parse(self.call("DeleteKonfTeilnehmer",
                                        "<KonferenzID>%d</KonferenzID><TeilnehmerID>%s"
                                        "</TeilnehmerID>" % (conference, ident)))
            self.assertNotEqual(root.findtext("result"), "Konferenz-Teilnehmer gelöscht", ident)
            root = conf.parse(self.call("GetKonfTeilnehmer", "<KonferenzID>%s</KonferenzID>"
                                        % ident))
            self.assertEqual(root.findall("Liste"), [], ident)
            self.assertTrue(root.findtext("result"), ident)
            code, _ = self.result("inviteOne", invite_fields(ident, "X", "Y", "x@example.test"))
            self.assertEqual(code, -999, ident)
            unchanged_members = self.service.rows("SELECT COUNT(*) FROM conferenceMembers")
            self.assertEqual(unchanged_members, [(2,)], ident)
        # inviteOne's failed inserts may leave the new member behind (as they always did), but no
        # membership changed.
        self.service.execute("DELETE FROM members WHERE name = 'X'")
        unchanged()

        # Texts are stored exactly as sent.
        hostile = 'O"Neil\'); DELETE FROM members; --'
        self.member(hostile, "\"Q\" ..\\/", "q@example.test", firma="<b>&amp;</b>")
        self.assertEqual(self.service.rows("SELECT name, firstname, company FROM members WHERE "
                                           "email = 'q@example.test'"),
                         [(hostile, "\"Q\" ..\\/", "<b>&amp;</b>")])
        self.assertEqual(self.service.rows("SELECT COUNT(*) FROM members"), [(3,)])


def main():
    global conf
    sys.path.insert(0, sys.argv[3])
    import conferences_e2e_test
    conf = conferences_e2e_test.load_harness(*sys.argv[1:4])
    del sys.argv[1:4]
    tests = type("Participants", (ParticipantTests, conf.ServiceTest), {})
    result = unittest.TextTestRunner(verbosity=2).run(
        unittest.defaultTestLoader.loadTestsFromTestCase(tests))
    sys.exit(0 if result.wasSuccessful() else 1)


if __name__ == "__main__":
    main()
