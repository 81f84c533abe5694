#include "notifications/icalendar.h"

#include <gtest/gtest.h>

namespace parlevo {
namespace {

TCalendarEvent Invitation() {
  TCalendarEvent e;
  e.invite = true;
  e.alarm = true;
  e.alarm_hours = 1;
  e.alarm_minutes = 30;
  e.date_begin = "20081224";
  e.time_begin = "093000";
  e.date_end = "20081224";
  e.time_end = "103000";
  e.subject = "Einladung";
  e.conference_id = "42";
  e.organiser = "Max Muster";
  e.sender_address = "max@example.de";
  e.attendees = {"Meier|Anna|anna@example.de", "Schulz|Bob|bob@example.de"};
  e.description = "<p>Hallo</p>";
  e.stamp = "20081201T080000Z";
  return e;
}

const std::vector<std::string> kTimeZoneBlock = {
    "BEGIN:VTIMEZONE",
    "TZID:(GMT+01.00) Sarajevo/Warsaw/Zagreb",
    "X-MICROSOFT-CDO-TZID:2",
    "BEGIN:STANDARD",
    "DTSTART:16010101T030000",
    "TZOFFSETFROM:+0200",
    "TZOFFSETTO:+0100",
    "RRULE:FREQ=YEARLY;WKST=MO;INTERVAL=1;BYMONTH=10;BYDAY=-1SU",
    "END:STANDARD",
    "BEGIN:DAYLIGHT",
    "DTSTART:16010101T020000",
    "TZOFFSETFROM:+0100",
    "TZOFFSETTO:+0200",
    "RRULE:FREQ=YEARLY;WKST=MO;INTERVAL=1;BYMONTH=3;BYDAY=-1SU",
    "END:DAYLIGHT",
    "END:VTIMEZONE",
};

TEST(Calendar, InvitationLines) {
  std::vector<std::string> expected = {"BEGIN:VCALENDAR", "VERSION:2.0", "METHOD:REQUEST",
                                       "PRODID:Orvalen Parlevo for ZyntWare"};
  expected.insert(expected.end(), kTimeZoneBlock.begin(), kTimeZoneBlock.end());
  const std::vector<std::string> event = {
      "BEGIN:VEVENT",
      "DTSTAMP:20081201T080000Z",
      "DTSTART;TZID=\"(GMT+01.00) Sarajevo/Warsaw/Zagreb\":20081224T093000",
      "SUMMARY:Einladung",
      "UID:OrvalenZyntParlevo42",
      "ORGANIZER;CN=Max Muster:MAILTO:max@example.de",
      "ATTENDEE;ROLE=REQ-PARTICIPANT;PARTSTAT=NEEDS-ACTION;RSVP=TRUE;CN=\"Meier, "
      "Anna\":MAILTO:anna@example.de",
      "ATTENDEE;ROLE=REQ-PARTICIPANT;PARTSTAT=NEEDS-ACTION;RSVP=TRUE;CN=\"Schulz, "
      "Bob\":MAILTO:bob@example.de",
      "LOCATION:",
      "DTEND;TZID=\"(GMT+01.00) Sarajevo/Warsaw/Zagreb\":20081224T103000",
      "DESCRIPTION:<p>Hallo</p>",
      "SEQUENCE:0",
      "PRIORITY:5",
      "CLASS:",
      "CREATED:20081201T080000Z",
      "LAST-MODIFIED:20081201T080000Z",
      "STATUS:CONFIRMED",
      "TRANSP:OPAQUE",
      "X-MICROSOFT-CDO-BUSYSTATUS:BUSY",
      "X-MICROSOFT-CDO-INSTTYPE:0",
      "X-MICROSOFT-CDO-INTENDEDSTATUS:BUSY",
      "X-MICROSOFT-CDO-ALLDAYEVENT:FALSE",
      "X-MICROSOFT-CDO-IMPORTANCE:1",
      "X-MICROSOFT-CDO-OWNERAPPTID:1609332695",
      "X-MICROSOFT-CDO-APPT-SEQUENCE:0",
      "X-MICROSOFT-CDO-ATTENDEE-CRITICAL-CHANGE:20081201T080000Z",
      "X-MICROSOFT-CDO-OWNER-CRITICAL-CHANGE:20081201T080000Z",
      "BEGIN:VALARM",
      "ACTION:DISPLAY",
      "DESCRIPTION:REMINDER",
      "TRIGGER:-PT01H30M00S",
      "END:VALARM",
      "END:VEVENT",
      "END:VCALENDAR",
  };
  expected.insert(expected.end(), event.begin(), event.end());
  EXPECT_EQ(BuildCalendarLines(Invitation()), expected);
}

TEST(Calendar, CancellationLinesAndNoAlarm) {
  TCalendarEvent e = Invitation();
  e.invite = false;
  e.attendees.clear();
  e.description.reset();
  const std::vector<std::string> lines = BuildCalendarLines(e);
  std::vector<std::string> tail(lines.begin() + 20, lines.end());
  const std::vector<std::string> expected = {
      "BEGIN:VEVENT",
      "DTSTAMP:20081201T080000Z",
      "DTSTART;TZID=\"(GMT+01.00) Sarajevo/Warsaw/Zagreb\":20081224T093000",
      "SUMMARY:Einladung",
      "UID:OrvalenZyntParlevo42",
      "ORGANIZER;CN=Max Muster:MAILTO:max@example.de",
      "LOCATION:",
      "DTEND;TZID=\"(GMT+01.00) Sarajevo/Warsaw/Zagreb\":20081224T103000",
      "SEQUENCE:0",
      "PRIORITY:1",
      "CLASS:",
      "CREATED:20081201T080000Z",
      "LAST-MODIFIED:20081201T080000Z",
      "STATUS:CANCELLED",
      "TRANSP:OPAQUE",
      "X-MICROSOFT-CDO-BUSYSTATUS:FREE",
      "X-MICROSOFT-CDO-INSTTYPE:0",
      "X-MICROSOFT-CDO-INTENDEDSTATUS:FREE",
      "X-MICROSOFT-CDO-ALLDAYEVENT:FALSE",
      "X-MICROSOFT-CDO-IMPORTANCE:2",
      "X-MICROSOFT-CDO-OWNERAPPTID:1609332695",
      "X-MICROSOFT-CDO-APPT-SEQUENCE:1",
      "X-MICROSOFT-CDO-ATTENDEE-CRITICAL-CHANGE:20081201T080000Z",
      "X-MICROSOFT-CDO-OWNER-CRITICAL-CHANGE:20081201T080000Z",
      "END:VEVENT",
      "END:VCALENDAR",
  };
  EXPECT_EQ(lines[2], "METHOD:CANCEL");
  EXPECT_EQ(tail, expected);
}

TEST(Calendar, AlarmOffHasNoBlockAndTriggerIsPadded) {
  TCalendarEvent e = Invitation();
  e.alarm = false;
  for (const auto& line : BuildCalendarLines(e)) EXPECT_NE(line, "BEGIN:VALARM");
  EXPECT_EQ(FormatAlarmTrigger(0, 5), "TRIGGER:-PT00H05M00S");
  EXPECT_EQ(FormatAlarmTrigger(12, 0), "TRIGGER:-PT12H00M00S");
}

TEST(Calendar, ValuesStayOnTheirLineAndDescriptionIsEscaped) {
  TCalendarEvent e = Invitation();
  e.subject = "Hallo\r\nATTENDEE:x";
  e.organiser = "Max\nMuster";
  e.sender_address = "max@example.de\r\nX:1";
  e.attendees = {"Mei\ner|An\rna|anna@example.de\n"};
  e.description = "Zeile 1\r\nZeile 2\nC:\\Pfad";
  const std::vector<std::string> lines = BuildCalendarLines(e);
  for (const auto& line : lines) {
    EXPECT_EQ(line.find_first_of("\r\n"), std::string::npos) << line;
  }
  EXPECT_EQ(lines[23], "SUMMARY:Hallo  ATTENDEE:x");
  EXPECT_EQ(lines[25], "ORGANIZER;CN=Max Muster:MAILTO:max@example.de  X:1");
  EXPECT_EQ(lines[26],
            "ATTENDEE;ROLE=REQ-PARTICIPANT;PARTSTAT=NEEDS-ACTION;RSVP=TRUE;CN=\"Mei er, An "
            "na\":MAILTO:anna@example.de ");
  EXPECT_EQ(lines[29], "DESCRIPTION:Zeile 1\\nZeile 2\\nC:\\\\Pfad");
}

TEST(Calendar, AttendeeLineWithMissingFields) {
  TCalendarEvent e = Invitation();
  e.attendees = {"Meier"};
  EXPECT_EQ(BuildCalendarLines(e)[26],
            "ATTENDEE;ROLE=REQ-PARTICIPANT;PARTSTAT=NEEDS-ACTION;RSVP=TRUE;CN=\"Meier, \":MAILTO:");
}

TEST(Calendar, FoldingKeepsUtf8SequencesWhole) {
  EXPECT_EQ(FoldCalendarLine(std::string(75, 'a')), std::string(75, 'a'));
  EXPECT_EQ(FoldCalendarLine(std::string(76, 'a')), std::string(75, 'a') + "\r\n a");
  EXPECT_EQ(FoldCalendarLine(std::string(75 + 74 + 1, 'a')),
            std::string(75, 'a') + "\r\n " + std::string(74, 'a') + "\r\n a");
  // "ü" (two octets) at octets 75 and 76 moves whole to the next line.
  const std::string line = std::string(74, 'a') + "\xC3\xBC" + "b";
  EXPECT_EQ(FoldCalendarLine(line), std::string(74, 'a') + "\r\n \xC3\xBC" + "b");
  const std::string joined = JoinCalendarLines({"A:1", std::string(80, 'x')});
  EXPECT_EQ(joined, "A:1\r\n" + std::string(75, 'x') + "\r\n xxxxx");
}

TEST(Calendar, StampIsUtc) {
  // 2008-12-24 08:30:05 UTC.
  const auto when = std::chrono::system_clock::time_point(std::chrono::seconds(1230107405));
  EXPECT_EQ(FormatCalendarStamp(when), "20081224T083005Z");
}

}  // namespace
}  // namespace parlevo
