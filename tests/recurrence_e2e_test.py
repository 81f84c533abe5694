#!/usr/bin/python3
"""Recurring series through the real SOAP port, as the front end calls them: a real SOAP client
(zeep) sends DoKonferenzAction requests to the program zyntparlevo on a free loopback port, with a
temporary install folder whose database the program made at start. Rows are checked in the
database file itself.

Usage: recurrence_e2e_test.py PROGRAM DIST HARNESS_DIR
"""
import base64
import datetime
import sys
import unittest

conf = None  # conferences_e2e_test, the room and conference harness

DAY_ZERO = datetime.date(1899, 12, 30)


def b64(text):
    return base64.b64encode(text.encode("cp1252")).decode("ascii")


def day_number(date):
    return (date - DAY_ZERO).days


def local_text(date, hour, minute=0):
    """An XML Schema dateTime of a local wall-clock time, with the local offset."""
    value = datetime.datetime(date.year, date.month, date.day, hour, minute).astimezone()
    return value.isoformat(timespec="seconds")


def series_fields(start, name="Jour fixe", interval="2", one_off=False, take_over=""):
    return ("<Durchwahl>100</Durchwahl><Name>%s</Name><Startzeit>%s</Startzeit>"
            "<Endzeit>%s</Endzeit><Datum>%s</Datum><EndDatum>%s</EndDatum>"
            "<PinHost>1234</PinHost><PinMember>2345</PinMember><PinListenOnly>3456"
            "</PinListenOnly><TakeOver>%s</TakeOver><Recurrence>"
            "<IsRecurrenceElement>%s</IsRecurrenceElement><Daily>1</Daily>"
            "<DailyInterval>%s</DailyInterval><DailyEveryWorkDay>0</DailyEveryWorkDay>"
            "<Weekly>0</Weekly><WeeklyInterval></WeeklyInterval><Monthly>0</Monthly>"
            "<MonthlyInterval>0</MonthlyInterval><MonthlyEveryX></MonthlyEveryX>"
            "<MonthlyWeekDay></MonthlyWeekDay></Recurrence>"
            % (b64(name), local_text(start, 22), local_text(start, 23), start.isoformat(),
               start.isoformat(), take_over, "0" if one_off else "1", interval))


def kind_fields(start, end, recurrence, name="Serie"):
    """A series request with the given <Recurrence> children (all other flags off)."""
    return ("<Durchwahl>100</Durchwahl><Name>%s</Name><Startzeit>%s</Startzeit>"
            "<Endzeit>%s</Endzeit><Datum>%s</Datum><EndDatum>%s</EndDatum><PinHost>1234"
            "</PinHost><PinMember>2345</PinMember><PinListenOnly>3456</PinListenOnly>"
            "<Recurrence><IsRecurrenceElement>1</IsRecurrenceElement><MonthlyInterval>1"
            "</MonthlyInterval>%s</Recurrence>"
            % (b64(name), local_text(start, 9), local_text(start, 10), start.isoformat(),
               end.isoformat(), recurrence))


class SeriesTests:
    """The tests; joined with the harness's ServiceTest once it is loaded."""

    def setUp(self):
        super().setUp()
        self.service.execute("DELETE FROM conferenceRecurrences")
        self.service.execute("DELETE FROM members")

    def last_series(self):
        return self.service.rows("SELECT MAX(RecurrenceId) FROM conferenceRecurrences")[0][0]

    def series_days(self, recurrence_id):
        return [int(r[0]) for r in self.service.rows(
            "SELECT [date] FROM conferences WHERE RecurrenceId = ? ORDER BY [date]",
            (recurrence_id,))]

    def test_add_get_update_delete(self):
        today = datetime.date.today()
        self.assertEqual(self.result("addRecurrence", series_fields(today)),
                         (0, "Konferenz erfolgreich angelegt"))
        first = self.last_series()
        self.assertEqual(self.series_days(first),
                         [day_number(today) + 2 * k for k in range(10)])
        rows = self.service.rows(
            "SELECT starttime - [date], endtime - [date], PinHost, PinMember, PinListenOnly, "
            "name, room FROM conferences WHERE RecurrenceId = ?", (first,))
        for start, end, pin_host, pin_member, pin_listen, name, room in rows:
            self.assertAlmostEqual(start, 22 / 24, places=5)
            self.assertAlmostEqual(end, 23 / 24, places=5)
            self.assertEqual((pin_host, pin_member, pin_listen, name, room),
                             (1234, 2345, 3456, "Jour fixe", "100"))

        root = conf.parse(self.call("getRecurrence", "<RecurrenceId>%d</RecurrenceId>" % first))
        self.assertEqual(
            [c.tag for c in root],
            ["id", "room", "name", "startdate", "enddate", "starttime", "endtime", "pinhost",
             "pinmember", "pinlistenonly", "isrecurrenceelement", "daily", "dailyinterval",
             "dailyeveryworkday", "weekly", "weeklyinterval", "weeklymonday", "weeklytuesday",
             "weeklywednesday", "weeklythursday", "weeklyfriday", "weeklysaturday",
             "weeklysunday", "monthly", "monthlyinterval", "result"])
        self.assertEqual(root.findtext("name"), "Jour fixe")
        self.assertEqual(root.findtext("startdate"), today.strftime("%d.%m.%Y"))
        self.assertEqual(root.findtext("starttime"), today.strftime("%d.%m.%Y") + " 22:00:00.000")
        self.assertEqual((root.findtext("daily"), root.findtext("weekly")), ("1", "0"))
        self.assertEqual(root.findtext("result/code"), "0")

        self.assertEqual(self.result("updateRecurrence", "<RecurrenceId>%d</RecurrenceId>%s"
                                     % (first, series_fields(today, "Neu", "3"))),
                         (0, "Serienkonferenz erfolgreich aktualisiert"))
        second = self.last_series()
        self.assertNotEqual(second, first)
        self.assertEqual(self.series_days(first), [])
        self.assertEqual(self.series_days(second),
                         [day_number(today) + 3 * k for k in range(10)])

        self.assertEqual(self.result("deleteRecurrence", "<recurrenceid>%d</recurrenceid>"
                                     % second), (0, "Serientermin erfolgreich gelöscht."))
        self.assertEqual(self.service.rows("SELECT COUNT(*) FROM conferenceRecurrences"), [(0,)])
        self.assertEqual(self.service.rows("SELECT COUNT(*) FROM conferences"), [(0,)])

    def dated_fields(self, datum, start, end, end_datum, name="Serie", interval="2"):
        """A daily series request with the four date texts as given."""
        return ("<Durchwahl>100</Durchwahl><Name>%s</Name><Startzeit>%s</Startzeit>"
                "<Endzeit>%s</Endzeit><Datum>%s</Datum><EndDatum>%s</EndDatum><PinHost>1234"
                "</PinHost><PinMember>2345</PinMember><PinListenOnly>3456</PinListenOnly>"
                "<Recurrence><IsRecurrenceElement>1</IsRecurrenceElement><Daily>1</Daily>"
                "<DailyInterval>%s</DailyInterval><MonthlyInterval>0</MonthlyInterval>"
                "</Recurrence>" % (b64(name), start, end, datum, end_datum, interval))

    def series_dates(self, recurrence_id):
        return self.service.rows(
            "SELECT startdate, enddate, starttime, endtime FROM conferenceRecurrences WHERE "
            "RecurrenceId = ?", (recurrence_id,))

    def test_a_series_read_goes_back_unchanged(self):
        # A front end reads a series and sends its texts back to change it.
        today = datetime.date.today()
        self.assertEqual(self.result("addRecurrence", series_fields(today))[0], 0)
        first = self.last_series()
        stored = self.series_dates(first)
        root = conf.parse(self.call("getRecurrence", "<RecurrenceId>%d</RecurrenceId>" % first))
        texts = {name: root.findtext(name)
                 for name in ("startdate", "enddate", "starttime", "endtime")}
        self.assertEqual(texts["starttime"], today.strftime("%d.%m.%Y") + " 22:00:00.000")
        self.assertEqual(self.result("updateRecurrence", "<RecurrenceId>%d</RecurrenceId>%s" % (
            first, self.dated_fields(texts["startdate"], texts["starttime"], texts["endtime"],
                                     texts["enddate"], "Neu", "3"))),
                         (0, "Serienkonferenz erfolgreich aktualisiert"))
        second = self.last_series()
        self.assertNotEqual(second, first)
        self.assertEqual(self.series_dates(second), stored)
        self.assertEqual(self.series_days(second), [day_number(today) + 3 * k for k in range(10)])
        for start, end, name in self.service.rows(
                "SELECT starttime - [date], endtime - [date], name FROM conferences WHERE "
                "RecurrenceId = ?", (second,)):
            self.assertAlmostEqual(start, 22 / 24, places=5)
            self.assertAlmostEqual(end, 23 / 24, places=5)
            self.assertEqual(name, "Neu")
        self.assertEqual(self.series_days(first), [])

    def test_listed_day_forms_store_the_iso_day_numbers(self):
        future = datetime.date(2030, 6, 3)
        listed = future.strftime("%d.%m.%Y")
        iso = future.isoformat()
        for fields in (self.dated_fields(iso, iso + "T09:00:00", iso + " 10:00:00", iso),
                       self.dated_fields(listed, listed + " 09:00:00",
                                         listed + " 10:00:00.000", listed)):
            self.assertEqual(self.result("addRecurrence", fields),
                             (0, "Konferenz erfolgreich angelegt"), fields)
        iso_id, listed_id = [r[0] for r in self.service.rows(
            "SELECT RecurrenceId FROM conferenceRecurrences ORDER BY RecurrenceId")]
        self.assertEqual(self.series_dates(listed_id), self.series_dates(iso_id))
        self.assertEqual(self.series_dates(iso_id),
                         [(day_number(future), day_number(future), day_number(future) + 9 / 24,
                           day_number(future) + 10 / 24)])
        self.assertEqual(self.series_days(listed_id), self.series_days(iso_id))
        self.assertEqual(len(self.series_days(iso_id)), 10)

    def test_no_series_id_touches_nothing(self):
        future = datetime.date(2030, 6, 3)
        single = self.add_conference("100", "Einzeln", datetime.datetime(2030, 6, 1, 8),
                                     datetime.datetime(2030, 6, 1, 9))
        self.service.execute("INSERT INTO conferenceMembers (memberID, conferenceID, email, sms)"
                             " VALUES (1, ?, 0, 0)", (int(single),))
        for action, element in (("deleteRecurrence", "recurrenceid"),
                                ("updateRecurrence", "RecurrenceId")):
            for bad in ("-1", "0"):
                code, text = self.result(action, "<%s>%s</%s>%s" % (
                    element, bad, element, series_fields(future)))
                self.assertEqual(code, -1, (action, bad))
                self.assertTrue(text, (action, bad))
        # A series that does not exist: the update stores nothing, the deletion still answers.
        self.assertEqual(self.result("updateRecurrence", "<RecurrenceId>4711</RecurrenceId>%s"
                                     % series_fields(future))[0], -1)
        self.assertEqual(self.result("deleteRecurrence", "<recurrenceid>4711</recurrenceid>"),
                         (0, "Serientermin erfolgreich gelöscht."))
        self.assertEqual(self.service.rows("SELECT COUNT(*) FROM conferenceRecurrences"), [(0,)])
        self.assertEqual(self.service.rows("SELECT ID FROM conferences"), [(int(single),)])
        self.assertEqual(self.service.rows("SELECT COUNT(*) FROM conferenceMembers"), [(1,)])

    def test_series_dates_must_be_dates(self):
        future = datetime.date(2030, 6, 3)
        for element, value in (("EndDatum", ""), ("Datum", " 5 "), ("Datum", "1899-12-31"),
                               ("Startzeit", "\r\n"), ("EndDatum", "2101-01-01"),
                               ("Datum", "31.12.1899"), ("Endzeit", "01.01.2101 10:00:00"),
                               ("Datum", "3.6"), ("Startzeit", "32.06.2030 09:00:00")):
            fields = series_fields(future)
            start = fields.index("<%s>" % element) + len(element) + 2
            end = fields.index("</%s>" % element)
            fields = fields[:start] + value + fields[end:]
            self.assertEqual(self.result("addRecurrence", fields),
                             (-1, "Ungültiges Datum: %s" % element), (element, value))
        self.assertEqual(self.service.rows("SELECT COUNT(*) FROM conferenceRecurrences"), [(0,)])
        self.assertEqual(self.service.rows("SELECT COUNT(*) FROM conferences"), [(0,)])

    def test_concurrent_updates_of_one_series_leave_one(self):
        import concurrent.futures
        today = datetime.date.today()
        self.assertEqual(self.result("addRecurrence", series_fields(today))[0], 0)
        first = self.last_series()
        update = "<RecurrenceId>%d</RecurrenceId>%s" % (first, series_fields(today, "Neu"))
        with concurrent.futures.ThreadPoolExecutor(2) as pool:
            codes = sorted(c for c, _ in pool.map(
                lambda _: self.result("updateRecurrence", update), range(2)))
        self.assertEqual(codes, [-1, 0])
        self.assertEqual(self.service.rows("SELECT COUNT(*) FROM conferenceRecurrences"), [(1,)])
        self.assertEqual(self.service.rows("SELECT COUNT(*) FROM conferences"), [(10,)])

    def test_dates_beyond_the_calendar_read_as_no_date(self):
        # Outside writers may put any number into a date column; no answer computes with it.
        self.service.execute("INSERT INTO members (name, email) VALUES ('Alpha', 'a@x.invalid')")
        member = self.service.rows("SELECT MAX(ID) FROM members")[0][0]
        for value in (1e300, -1e300, 9.3e18, -9.3e18, 2 ** 63 - 1, -2 ** 63):
            for table in ("conferences", "conferenceMembers", "conferenceMemberLog",
                          "conferenceRecurrences"):
                self.service.execute("DELETE FROM %s" % table)
            self.service.execute(
                "INSERT INTO conferences (room, name, [date], enddate, starttime, endtime, "
                "RecurrenceId) VALUES ('100', 'Fern', ?, ?, ?, ?, -1)", (value,) * 4)
            conference = self.service.rows("SELECT MAX(ID) FROM conferences")[0][0]
            self.service.execute(
                "INSERT INTO conferenceMembers (memberID, conferenceID, host, email, "
                "languagecode, pin, directdial, [min], [max], sms, present, listenOnly, kick, "
                "membersvisible) VALUES (?, ?, 0, 0, 'ger', '55555', '100', ?, ?, 0, 0, 0, 0, 0)",
                (member, conference, value, value))
            self.service.execute(
                "INSERT INTO conferenceMemberLog (conferenceID, memberID, [from], [to]) "
                "VALUES (?, ?, ?, ?)", (conference, member, value, value))
            self.service.execute(
                "INSERT INTO conferenceRecurrences (room, name, startdate, enddate, starttime, "
                "endtime, IsRecurrenceElement, Daily, DailyInterval) VALUES "
                "('100', 'Fern', ?, ?, ?, ?, 1, 1, 1)", (value,) * 4)
            series = self.last_series()

            listed = conf.parse(self.call("GetKonferenzen", "<Durchwahl>100</Durchwahl>"))
            entries = listed.findall("Liste")
            self.assertEqual([e.findtext("id") for e in entries], [str(conference)], value)
            for element in ("anfangszeit", "endzeit"):
                self.assertEqual(entries[0].findtext(element) or "", "", (value, element))

            people = conf.parse(self.call("GetKonfTeilnehmer", "<KonferenzID>%d</KonferenzID>"
                                          % conference)).findall("Liste")
            self.assertEqual([int(p.findtext("teilnehmerid")) for p in people], [member], value)
            for element in ("von", "bis"):
                self.assertEqual(people[0].findtext(element) or "", "", (value, element))

            root = conf.parse(self.call("getRecurrence",
                                        "<RecurrenceId>%d</RecurrenceId>" % series))
            for element in ("startdate", "enddate", "starttime", "endtime"):
                self.assertEqual(root.findtext(element) or "", "", (value, element))
        # Still the same process, still answering.
        self.assertEqual(self.result("addRaum", "<Name>%s</Name><Durchwahl>7</Durchwahl>"
                                     % b64("R"))[0], 0)

    def test_far_end_dates_add_only_the_horizon_and_nothing_past(self):
        today = datetime.date.today()
        far = datetime.date(2100, 12, 30)
        daily = "<Daily>1</Daily><DailyInterval>1</DailyInterval>"
        for start in (today, today - datetime.timedelta(days=400)):
            self.assertEqual(self.result("addRecurrence", kind_fields(start, far, daily))[0], 0)
        first, second = [r[0] for r in self.service.rows(
            "SELECT RecurrenceId FROM conferenceRecurrences ORDER BY RecurrenceId")]
        for series in (first, second):
            days = self.series_days(series)
            self.assertEqual(len(days), 10, series)
            # Days are counted when the request was sent; a scan after midnight starts later.
            self.assertGreaterEqual(min(days), day_number(today), series)
        # Every further request scans again: with ten ahead nothing is added.
        weekly = "<Weekly>1</Weekly><WeeklyInterval>1</WeeklyInterval><WeeklyMonday>1" \
                 "</WeeklyMonday><WeeklyThursday>1</WeeklyThursday>"
        monthly = "<Monthly>1</Monthly><MonthlyEveryX>1</MonthlyEveryX><MonthlyWeekDay>2" \
                  "</MonthlyWeekDay>"
        for recurrence in (weekly, monthly, daily):
            self.assertEqual(self.result("addRecurrence",
                                         kind_fields(today, far, recurrence))[0], 0)
        self.assertEqual(self.service.rows(
            "SELECT RecurrenceId, COUNT(*) FROM conferences GROUP BY RecurrenceId"),
            [(r[0], 10) for r in self.service.rows(
                "SELECT RecurrenceId FROM conferenceRecurrences ORDER BY RecurrenceId")])

    def test_first_dates_keep_to_the_start_and_the_selected_days(self):
        today = datetime.date.today()
        # Weekly, started nine days ago, only the weekday of the day after tomorrow selected.
        target = today + datetime.timedelta(days=2)
        flag = ("Monday", "Tuesday", "Wednesday", "Thursday", "Friday", "Saturday",
                "Sunday")[target.weekday()]
        started = today - datetime.timedelta(days=9)
        self.assertEqual(self.result("addRecurrence", kind_fields(
            started, started, "<Weekly>1</Weekly><WeeklyInterval>1</WeeklyInterval>"
            "<Weekly%s>1</Weekly%s>" % (flag, flag)))[0], 0)
        weekly = self.last_series()
        days = self.series_days(weekly)
        self.assertEqual(len(days), 10)
        self.assertGreaterEqual(days[0], day_number(today))
        for day in days:
            self.assertEqual((DAY_ZERO + datetime.timedelta(days=day)).weekday(),
                             target.weekday())
        # Monthly on the weekday of this month's first day, starting today: this month's
        # occurrence lies before today unless today is the first.
        first_of_month = today.replace(day=1)
        self.assertEqual(self.result("addRecurrence", kind_fields(
            today, today, "<Monthly>1</Monthly><MonthlyEveryX>1</MonthlyEveryX>"
            "<MonthlyWeekDay>%d</MonthlyWeekDay>" % first_of_month.weekday()))[0], 0)
        days = self.series_days(self.last_series())
        self.assertEqual(len(days), 10)
        self.assertGreaterEqual(days[0], day_number(today))
        # A start ahead, chosen by the caller, is used as it is although not selected.
        ahead = today + datetime.timedelta(days=3)
        self.assertEqual(self.result("addRecurrence", kind_fields(
            ahead, ahead, "<Weekly>1</Weekly><WeeklyInterval>1</WeeklyInterval>"
            "<Weekly%s>1</Weekly%s>" % (flag, flag)))[0], 0)
        self.assertEqual(self.series_days(self.last_series())[0], day_number(ahead))

    def test_one_off_element_takes_the_members_over(self):
        today = datetime.date.today()
        source = int(self.add_conference("100", "Quelle",
                                         datetime.datetime.now(datetime.timezone.utc),
                                         datetime.datetime.now(datetime.timezone.utc)))
        self.service.execute("INSERT INTO members (name, email) VALUES ('Alpha', 'a@x.invalid')")
        member = self.service.rows("SELECT MAX(ID) FROM members")[0][0]
        self.service.execute(
            "INSERT INTO conferenceMembers (memberID, conferenceID, host, email, languagecode, "
            "pin, directdial, sms, present, listenOnly, kick, membersvisible) VALUES "
            "(?, ?, -1, 0, 'ger', '12345', '100', 0, 0, -1, 0, 0)", (member, source))
        self.assertEqual(self.result("addRecurrence", series_fields(
            today, "Einmal", one_off=True, take_over=str(source))),
            (0, "Konferenz erfolgreich angelegt"))
        self.assertEqual(self.service.rows("SELECT COUNT(*) FROM conferenceRecurrences"), [(0,)])
        created = self.service.rows("SELECT MAX(ID) FROM conferences")[0][0]
        self.assertEqual(self.service.rows(
            "SELECT name, RecurrenceId, [date] FROM conferences WHERE ID = ?", (created,)),
            [("Einmal", -1, day_number(today))])
        self.assertEqual(self.service.rows(
            "SELECT memberID, host, listenOnly FROM conferenceMembers WHERE conferenceID = ?",
            (created,)), [(member, 0, -1)])


def main():
    global conf
    sys.path.insert(0, sys.argv[3])
    import conferences_e2e_test
    conf = conferences_e2e_test.load_harness(*sys.argv[1:4])
    del sys.argv[1:4]
    series = type("Series", (SeriesTests, conf.ServiceTest), {})
    result = unittest.TextTestRunner(verbosity=2).run(
        unittest.defaultTestLoader.loadTestsFromTestCase(series))
    sys.exit(0 if result.wasSuccessful() else 1)


if __name__ == "__main__":
    main()
