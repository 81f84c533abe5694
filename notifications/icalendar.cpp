#include "notifications/icalendar.h"

#include <ctime>

#include <fmt/format.h>

#include "logging/lg_auto.h"
#include "notifications/mail_text.h"

namespace parlevo {

namespace {

constexpr std::string_view kTimeZone = "(GMT+01.00) Sarajevo/Warsaw/Zagreb";
constexpr size_t kMaxLineOctets = 75;

std::string TwoDigits(int value) {
  return value < 10 ? "0" + std::to_string(value) : std::to_string(value);
}

// A value that must stay on its logical line.
std::string OneLine(std::string_view text) {
  return mail::NeutraliseControls(text);
}

}  // namespace

std::string FormatCalendarStamp(std::chrono::system_clock::time_point when) {
  const std::time_t t = std::chrono::system_clock::to_time_t(when);
  std::tm utc{};
  gmtime_r(&t, &utc);
  return fmt::format("{:04}{:02}{:02}T{:02}{:02}{:02}Z", utc.tm_year + 1900, utc.tm_mon + 1,
                     utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec);
}

std::string FormatAlarmTrigger(int hours, int minutes) {
  return "TRIGGER:-PT" + TwoDigits(hours) + "H" + TwoDigits(minutes) + "M00S";
}

std::string EscapeCalendarText(std::string_view text) {
  std::string out;
  out.reserve(text.size() + text.size() / 8);
  for (size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    const auto u = static_cast<unsigned char>(c);
    if (c == '\\' || c == ';' || c == ',') {
      out += '\\';
      out += c;
    } else if (c == '\r') {
      out += "\\n";
      if (i + 1 < text.size() && text[i + 1] == '\n') ++i;
    } else if (c == '\n') {
      out += "\\n";
    } else if ((u < 0x20 && c != '\t') || u == 0x7F) {
      // A text value may hold no control character but the tab.
      out += ' ';
    } else {
      out += c;
    }
  }
  return out;
}

std::string QuoteCalendarParameter(std::string_view value) {
  std::string out = "\"";
  out.reserve(value.size() + 2);
  for (char c : value) {
    const auto u = static_cast<unsigned char>(c);
    // A quoted parameter value ends at the next quote and may hold no control character but the
    // tab; both are dropped rather than replaced, so a name reads as it was typed.
    if (c == '"' || (u < 0x20 && c != '\t') || u == 0x7F) continue;
    out += c;
  }
  out += '"';
  return out;
}

std::string FoldCalendarLine(std::string_view line) {
  std::string out;
  size_t limit = kMaxLineOctets;  // continuation lines spend one octet on the leading blank
  while (line.size() > limit) {
    size_t cut = limit;
    // Step back over UTF-8 continuation bytes so that the sequence moves whole to the next line.
    while (cut > 0 && (static_cast<unsigned char>(line[cut]) & 0xC0) == 0x80) --cut;
    if (cut == 0) cut = limit;
    out.append(line.substr(0, cut));
    out += "\r\n ";
    line.remove_prefix(cut);
    limit = kMaxLineOctets - 1;
  }
  out.append(line);
  return out;
}

namespace {

// One stored attendee "name|firstname|email" as its calendar line.
std::string AttendeeLine(const std::string& stored) {
  // Rows written by older installations may hold Latin-1 bytes; the part is labelled UTF-8.
  const std::string attendee = mail::SanitiseUtf8(stored);
  const size_t bar1 = attendee.find('|');
  const size_t bar2 = bar1 == std::string::npos ? std::string::npos : attendee.find('|', bar1 + 1);
  const std::string name = attendee.substr(0, bar1);
  const std::string firstname =
      bar1 == std::string::npos ? "" : attendee.substr(bar1 + 1, bar2 - bar1 - 1);
  const std::string email = bar2 == std::string::npos ? "" : attendee.substr(bar2 + 1);
  return "ATTENDEE;ROLE=REQ-PARTICIPANT;PARTSTAT=NEEDS-ACTION;RSVP=TRUE;CN=" +
         QuoteCalendarParameter(name + ", " + firstname) + ":MAILTO:" + OneLine(email);
}

}  // namespace

std::vector<std::string> BuildCalendarLines(const TCalendarEvent& e) {
  auto& log = logging::MainSession();
  std::vector<std::string> lines = {
      "BEGIN:VCALENDAR",
      "VERSION:2.0",
      e.invite ? "METHOD:REQUEST" : "METHOD:CANCEL",
      "PRODID:Orvalen Parlevo for ZyntWare",
  };
  log.LogMessage("TEMailDataModule.SendEMail: -> Refence timezone");
  for (std::string_view line : {
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
       }) {
    lines.emplace_back(line);
  }
  log.LogMessage("TEMailDataModule.SendEMail: -> Add appointment");
  lines.push_back("BEGIN:VEVENT");
  lines.push_back("DTSTAMP:" + e.stamp);
  lines.push_back(fmt::format("DTSTART;TZID=\"{}\":{}T{}", kTimeZone, OneLine(e.date_begin),
                              OneLine(e.time_begin)));
  lines.push_back("SUMMARY:" + EscapeCalendarText(e.subject));
  lines.push_back("UID:OrvalenZyntParlevo" + EscapeCalendarText(e.conference_id));
  lines.push_back("ORGANIZER;CN=" + QuoteCalendarParameter(e.organiser) +
                  ":MAILTO:" + OneLine(e.sender_address));
  for (const auto& stored : e.attendees) {
    std::string line = AttendeeLine(stored);
    log.LogMessage("ATTENDEE: " + line);
    lines.push_back(std::move(line));
  }
  lines.push_back("LOCATION:");
  lines.push_back(
      fmt::format("DTEND;TZID=\"{}\":{}T{}", kTimeZone, OneLine(e.date_end), OneLine(e.time_end)));
  if (e.description) lines.push_back("DESCRIPTION:" + EscapeCalendarText(*e.description));
  lines.push_back("SEQUENCE:0");
  lines.push_back(e.invite ? "PRIORITY:5" : "PRIORITY:1");
  lines.push_back("CLASS:");
  lines.push_back("CREATED:" + e.stamp);
  lines.push_back("LAST-MODIFIED:" + e.stamp);
  lines.push_back(e.invite ? "STATUS:CONFIRMED" : "STATUS:CANCELLED");
  lines.push_back("TRANSP:OPAQUE");
  lines.push_back(e.invite ? "X-MICROSOFT-CDO-BUSYSTATUS:BUSY" : "X-MICROSOFT-CDO-BUSYSTATUS:FREE");
  lines.push_back("X-MICROSOFT-CDO-INSTTYPE:0");
  lines.push_back(e.invite ? "X-MICROSOFT-CDO-INTENDEDSTATUS:BUSY"
                           : "X-MICROSOFT-CDO-INTENDEDSTATUS:FREE");
  lines.push_back("X-MICROSOFT-CDO-ALLDAYEVENT:FALSE");
  lines.push_back(e.invite ? "X-MICROSOFT-CDO-IMPORTANCE:1" : "X-MICROSOFT-CDO-IMPORTANCE:2");
  lines.push_back("X-MICROSOFT-CDO-OWNERAPPTID:1609332695");
  lines.push_back(e.invite ? "X-MICROSOFT-CDO-APPT-SEQUENCE:0" : "X-MICROSOFT-CDO-APPT-SEQUENCE:1");
  lines.push_back("X-MICROSOFT-CDO-ATTENDEE-CRITICAL-CHANGE:" + e.stamp);
  lines.push_back("X-MICROSOFT-CDO-OWNER-CRITICAL-CHANGE:" + e.stamp);
  if (e.invite && e.alarm) {
    log.LogMessage("TEMailDataModule.SendEMail: -> Add alarm");
    lines.push_back("BEGIN:VALARM");
    lines.push_back("ACTION:DISPLAY");
    lines.push_back("DESCRIPTION:REMINDER");
    lines.push_back(FormatAlarmTrigger(e.alarm_hours, e.alarm_minutes));
    log.LogMessage("TEMailDataModule.SendEMail:    -> Trigger: " + lines.back());
    lines.push_back("END:VALARM");
  }
  lines.push_back("END:VEVENT");
  lines.push_back("END:VCALENDAR");
  return lines;
}

std::string JoinCalendarLines(const std::vector<std::string>& lines) {
  std::string out;
  for (size_t i = 0; i < lines.size(); ++i) {
    if (i > 0) out += "\r\n";
    out += FoldCalendarLine(lines[i]);
  }
  return out;
}

}  // namespace parlevo
