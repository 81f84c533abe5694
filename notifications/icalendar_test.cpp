#include "notifications/icalendar.h"

#include <gtest/gtest.h>

#include <cctype>
#include <optional>

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
      "ORGANIZER;CN=\"Max Muster\":MAILTO:max@example.de",
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
      "ORGANIZER;CN=\"Max Muster\":MAILTO:max@example.de",
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

// A reader's view of one unfolded content line: name *(";" param) ":" value. Parameter values
// are split at unquoted "," as a reader does; nullopt when the line breaks the grammar.
struct TContentLine {
  std::string name;
  std::vector<std::pair<std::string, std::vector<std::string>>> params;
  std::string value;
};

bool IsControl(char c) {
  const auto u = static_cast<unsigned char>(c);
  return (u < 0x20 && c != '\t') || u == 0x7F;
}

std::optional<TContentLine> ParseContentLine(std::string_view line) {
  TContentLine out;
  size_t i = 0;
  const auto token = [&] {
    const size_t start = i;
    while (i < line.size() &&
           (std::isalnum(static_cast<unsigned char>(line[i])) || line[i] == '-')) {
      ++i;
    }
    return std::string(line.substr(start, i - start));
  };
  out.name = token();
  if (out.name.empty()) return std::nullopt;
  while (i < line.size() && line[i] == ';') {
    ++i;
    std::string name = token();
    if (name.empty() || i >= line.size() || line[i] != '=') return std::nullopt;
    std::vector<std::string> values;
    do {
      ++i;  // "=" or ","
      std::string value;
      if (i < line.size() && line[i] == '"') {
        const size_t close = line.find('"', i + 1);
        if (close == std::string_view::npos) return std::nullopt;
        value = std::string(line.substr(i + 1, close - i - 1));
        i = close + 1;
      } else {
        while (i < line.size() && std::string_view(";:,\"").find(line[i]) == std::string::npos) {
          value += line[i++];
        }
      }
      for (char c : value) {
        if (IsControl(c)) return std::nullopt;
      }
      values.push_back(std::move(value));
    } while (i < line.size() && line[i] == ',');
    out.params.emplace_back(std::move(name), std::move(values));
  }
  if (i >= line.size() || line[i] != ':') return std::nullopt;
  out.value = std::string(line.substr(i + 1));
  return out;
}

// A TEXT value decoded by its own grammar: only "\\", "\;", "\,", "\n" and "\N" may follow a
// backslash; "," and ";" must be escaped; no control character but the tab.
std::optional<std::string> DecodeText(std::string_view text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '\\') {
      if (++i == text.size()) return std::nullopt;
      const char e = text[i];
      if (e == 'n' || e == 'N') {
        out += '\n';
      } else if (e == '\\' || e == ';' || e == ',') {
        out += e;
      } else {
        return std::nullopt;
      }
    } else if (c == ';' || c == ',' || IsControl(c)) {
      return std::nullopt;
    } else {
      out += c;
    }
  }
  return out;
}

const std::vector<std::string>* Param(const TContentLine& line, std::string_view name) {
  for (const auto& [key, values] : line.params) {
    if (key == name) return &values;
  }
  return nullptr;
}

TEST(CalendarText, EscapedTextDecodesToTheOriginal) {
  for (const std::string text : {"", "plain", "Raum; A, \"B\"", "Q1, Plan; \"Budget\": Zahlen",
                                 "C:\\new\\;,", "\\\\", "a;;b,,c",
                                 "Gr\xC3\xBC\xC3\x9F"
                                 "e\tTab",
                                 "<p style=\"a: b; c: d\">&auml;, &szlig;</p>"}) {
    const std::string escaped = EscapeCalendarText(text);
    EXPECT_EQ(DecodeText(escaped), text) << escaped;
  }
  EXPECT_EQ(EscapeCalendarText("Raum; A, \"B\""), "Raum\\; A\\, \"B\"");
  // Every line break becomes "\n"; other control characters cannot stand in a text value.
  EXPECT_EQ(DecodeText(EscapeCalendarText("a\r\nb\rc\nd\r\n\r\ne")), "a\nb\nc\nd\n\ne");
  EXPECT_EQ(DecodeText(EscapeCalendarText(std::string("a\x01"
                                                      "b\x7F"
                                                      "c\0d",
                                                      7))),
            "a b c d");
}

TEST(CalendarText, QuotedParameterHoldsNoQuoteOrControl) {
  EXPECT_EQ(QuoteCalendarParameter("Max Muster, Jr."), "\"Max Muster, Jr.\"");
  EXPECT_EQ(QuoteCalendarParameter("Bei\"spiel, Erika; Anna"), "\"Beispiel, Erika; Anna\"");
  EXPECT_EQ(QuoteCalendarParameter("A\r\nB\x7F:\tC"), "\"AB:\tC\"");
  EXPECT_EQ(QuoteCalendarParameter("\"\""), "\"\"");
}

TEST(Calendar, HostileNamesAndTextsReadBackWhole) {
  TCalendarEvent e = Invitation();
  e.subject = "Einladung \"Q1, Plan; \"Budget\": Zahlen\" in \"Raum; A, \"B\"\" \xC3\xBC";
  e.organiser = "Max Muster, Jr.";
  e.attendees = {"Bei\"spiel|Erika; Anna|erika@example.de", "M\xC3\xBCller|J\xC3\xBCrgen|j@x.de",
                 "Line\r\nBreak|Tab\tby|l@x.de"};
  e.description = "<p style=\"font: 10pt Arial, sans-serif;\">&auml;\r\nC:\\Pfad</p>";
  e.conference_id = "42";
  const std::vector<std::string> lines = BuildCalendarLines(e);

  std::vector<std::string> attendees;
  std::optional<std::string> organiser, summary, description, uid, location;
  for (const auto& text : lines) {
    const auto line = ParseContentLine(text);
    ASSERT_TRUE(line) << text;
    if (line->name == "ORGANIZER") {
      const auto* cn = Param(*line, "CN");
      ASSERT_TRUE(cn && cn->size() == 1u) << text;
      organiser = cn->front();
      EXPECT_EQ(line->value, "MAILTO:max@example.de");
    } else if (line->name == "ATTENDEE") {
      const auto* cn = Param(*line, "CN");
      ASSERT_TRUE(cn && cn->size() == 1u) << text;
      attendees.push_back(cn->front() + " <" + line->value + ">");
    } else if (line->name == "SUMMARY") {
      summary = DecodeText(line->value);
    } else if (line->name == "DESCRIPTION" && line->value != "REMINDER") {
      description = DecodeText(line->value);
    } else if (line->name == "UID") {
      uid = DecodeText(line->value);
    } else if (line->name == "LOCATION") {
      location = DecodeText(line->value);
    }
  }
  EXPECT_EQ(organiser, "Max Muster, Jr.");
  EXPECT_EQ(attendees, (std::vector<std::string>{"Beispiel, Erika; Anna <MAILTO:erika@example.de>",
                                                 "M\xC3\xBCller, J\xC3\xBCrgen <MAILTO:j@x.de>",
                                                 "LineBreak, Tab\tby <MAILTO:l@x.de>"}));
  EXPECT_EQ(summary, e.subject);
  EXPECT_EQ(description, "<p style=\"font: 10pt Arial, sans-serif;\">&auml;\nC:\\Pfad</p>");
  EXPECT_EQ(uid, "OrvalenZyntParlevo42");
  EXPECT_EQ(location, "");

  // Folded for the wire, every physical line stays within 75 octets and unfolds to the same lines.
  const std::string wire = JoinCalendarLines(lines);
  std::vector<std::string> unfolded;
  size_t pos = 0;
  while (pos <= wire.size()) {
    size_t end = wire.find("\r\n", pos);
    if (end == std::string::npos) end = wire.size();
    const std::string physical = wire.substr(pos, end - pos);
    EXPECT_LE(physical.size(), 75u) << physical;
    if (!physical.empty() && physical[0] == ' ') {
      unfolded.back() += physical.substr(1);
    } else {
      unfolded.push_back(physical);
    }
    pos = end + 2;
  }
  EXPECT_EQ(unfolded, lines);
}

TEST(Calendar, LatinOneBytesOfOldRowsBecomeUtf8) {
  TCalendarEvent e = Invitation();
  e.attendees = {"M\xFCller|J\xFCrgen|j@x.de"};
  EXPECT_EQ(BuildCalendarLines(e)[26],
            "ATTENDEE;ROLE=REQ-PARTICIPANT;PARTSTAT=NEEDS-ACTION;RSVP=TRUE;CN=\"M\xC3\xBCller, "
            "J\xC3\xBCrgen\":MAILTO:j@x.de");
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
