// The calendar part of invitation and cancellation mails: the iCalendar lines a calendar client
// shows as a meeting request or a meeting cancellation, folded and joined for the wire.
//
// Thread safety: pure functions; any thread may call them.
#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace parlevo {

struct TCalendarEvent {
  bool invite = true;  // METHOD:REQUEST; false: METHOD:CANCEL
  bool alarm = false;  // a reminder block (invitations only)
  int alarm_hours = 0;
  int alarm_minutes = 0;
  std::string date_begin;  // yyyymmdd
  std::string time_begin;  // hhmmss
  std::string date_end;
  std::string time_end;
  std::string subject;
  std::string conference_id;
  std::string organiser;                   // CN of the organiser
  std::string sender_address;              // MAILTO of the organiser
  std::vector<std::string> attendees;      // "name|firstname|email", in order
  std::optional<std::string> description;  // text of the first HTML body part
  std::string stamp;                       // time stamp of DTSTAMP, CREATED and LAST-MODIFIED
};

// UTC time stamp yyyymmdd "T" hhmmss "Z".
std::string FormatCalendarStamp(std::chrono::system_clock::time_point when);
// "TRIGGER:-PT" hours "H" minutes "M00S", each number with a "0" in front below 10.
std::string FormatAlarmTrigger(int hours, int minutes);
// A TEXT value as calendar readers take it whole: backslash, ";" and "," escaped with a backslash,
// each line break (CR LF, CR or LF) written as "\n", other control characters but the tab made
// blanks.
std::string EscapeCalendarText(std::string_view text);
// A parameter value (such as CN) in double quotes, so that ":", ";" and "," stay inside it; the
// quote character and control characters but the tab, which a quoted value cannot hold, are
// dropped.
std::string QuoteCalendarParameter(std::string_view value);
// Lines longer than 75 octets continue on lines that begin with a blank; a UTF-8 sequence is
// never split.
std::string FoldCalendarLine(std::string_view line);

// The calendar lines in their order, unfolded.
std::vector<std::string> BuildCalendarLines(const TCalendarEvent& event);
// The lines folded and joined with CR LF (no CR LF after the last).
std::string JoinCalendarLines(const std::vector<std::string>& lines);

}  // namespace parlevo
