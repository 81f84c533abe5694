#include "conferences/recurrence.h"

#include <charconv>
#include <limits>

#include "platform/ascii_text.h"

namespace parlevo {
namespace {

// The blank and every control character below it: a column text read from another writer's file
// may be padded with any of them, and none is part of a number or a date.
constexpr char kPaddingBytes[] =
    "\x00\x01\x02\x03\x04\x05\x06\x07\x08\x09\x0a\x0b\x0c\x0d\x0e\x0f"
    "\x10\x11\x12\x13\x14\x15\x16\x17\x18\x19\x1a\x1b\x1c\x1d\x1e\x1f\x20";
constexpr std::string_view kPadding(kPaddingBytes, sizeof(kPaddingBytes) - 1);

[[noreturn]] void Fail(std::string_view column, std::string_view text, std::string_view what) {
  throw RecordConversionError("'" + std::string(text) + "' is not a valid " + std::string(what) +
                              " (column " + std::string(column) + ")");
}

// A number column that only some kinds of series use: the others read it as 0 whatever it holds.
int32_t OptionalInteger(const ColumnText& column, std::string_view name, bool needed) {
  const std::string text = column(name);
  if (needed) return ColumnTextToInteger(name, text);
  try {
    return ColumnTextToInteger(name, text);
  } catch (const RecordConversionError&) {
    return 0;
  }
}

int32_t IntegerOrMinusOne(const ColumnText& column, std::string_view name) {
  const std::string text = column(name);
  if (TrimAscii(text, kPadding).empty()) return -1;
  return ColumnTextToInteger(name, text);
}

}  // namespace

TRecurrenceKind TRecurrence::Kind() const {
  if (!IsRecurrenceElement) return TRecurrenceKind::None;
  if (Daily) return TRecurrenceKind::Daily;
  if (Weekly) return TRecurrenceKind::Weekly;
  if (Monthly) return TRecurrenceKind::Monthly;
  return TRecurrenceKind::Unused;
}

bool TRecurrence::WeeklyFlag(int day_of_week) const {
  switch (day_of_week) {
    case 1:
      return WeeklySunday;
    case 2:
      return WeeklyMonday;
    case 3:
      return WeeklyTuesday;
    case 4:
      return WeeklyWednesday;
    case 5:
      return WeeklyThursday;
    case 6:
      return WeeklyFriday;
    case 7:
      return WeeklySaturday;
    default:
      return false;
  }
}

bool TRecurrence::AnyWeekdayFlag() const {
  for (int d = 1; d <= 7; ++d) {
    if (WeeklyFlag(d)) return true;
  }
  return false;
}

int32_t ColumnTextToInteger(std::string_view column, std::string_view text) {
  std::string_view t = TrimAscii(text, kPadding);
  std::string_view digits = t;
  if (!digits.empty() && digits.front() == '+') digits.remove_prefix(1);
  int64_t value = 0;
  const auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
  if (digits.empty() || ec != std::errc() || end != digits.data() + digits.size() ||
      value < std::numeric_limits<int32_t>::min() || value > std::numeric_limits<int32_t>::max()) {
    Fail(column, text, "integer value");
  }
  return static_cast<int32_t>(value);
}

TDateTime ColumnTextToDate(std::string_view column, std::string_view text) {
  return DateOf(ColumnTextToDateTime(column, text));
}

TDateTime ColumnTextToDateTime(std::string_view column, std::string_view text) {
  const auto parsed = ParseDateTimeText(text);
  if (!parsed || !(parsed->has_date || parsed->has_time)) Fail(column, text, "date");
  return parsed->value;
}

bool ColumnTextToFlag(std::string_view text) {
  return text == "1";
}

TRecurrence LoadRecurrence(const ColumnText& column) {
  TRecurrence r;
  // The flags first: they decide which of the number columns the series needs.
  r.IsRecurrenceElement = ColumnTextToFlag(column("IsRecurrenceElement"));
  r.Daily = ColumnTextToFlag(column("Daily"));
  r.DailyEveryWorkDay = ColumnTextToFlag(column("DailyEveryWorkDay"));
  r.Weekly = ColumnTextToFlag(column("Weekly"));
  r.WeeklyMonday = ColumnTextToFlag(column("WeeklyMonday"));
  r.WeeklyTuesday = ColumnTextToFlag(column("WeeklyTuesday"));
  r.WeeklyWednesday = ColumnTextToFlag(column("WeeklyWednesday"));
  r.WeeklyThursday = ColumnTextToFlag(column("WeeklyThursday"));
  r.WeeklyFriday = ColumnTextToFlag(column("WeeklyFriday"));
  r.WeeklySaturday = ColumnTextToFlag(column("WeeklySaturday"));
  r.WeeklySunday = ColumnTextToFlag(column("WeeklySunday"));
  r.Monthly = ColumnTextToFlag(column("Monthly"));
  const TRecurrenceKind kind = r.Kind();

  r.Id = ColumnTextToInteger("RecurrenceId", column("RecurrenceId"));
  r.Room = column("room");
  r.Name = column("name");
  r.StartDate = ColumnTextToDate("startdate", column("startdate"));
  if (kind == TRecurrenceKind::None) {
    // A one-off element has no end; its conference lies on its start date.
    const std::string end = column("enddate");
    r.EndDate = TrimAscii(end, kPadding).empty() ? 0 : ColumnTextToDate("enddate", end);
  } else {
    r.EndDate = ColumnTextToDate("enddate", column("enddate"));
  }
  r.StartTime = ColumnTextToDateTime("starttime", column("starttime"));
  r.EndTime = ColumnTextToDateTime("endtime", column("endtime"));
  r.PinHost = column("PinHost");
  r.PinMember = column("PinMember");
  r.PinListenOnly = column("PinListenOnly");
  r.DailyInterval = OptionalInteger(column, "DailyInterval",
                                    kind == TRecurrenceKind::Daily && !r.DailyEveryWorkDay);
  r.WeeklyInterval = OptionalInteger(column, "WeeklyInterval", kind == TRecurrenceKind::Weekly);
  const bool monthly = kind == TRecurrenceKind::Monthly;
  r.MonthlyInterval = OptionalInteger(column, "MonthlyInterval", monthly);
  r.MonthlyEveryX = OptionalInteger(column, "MonthlyEveryX", monthly);
  r.MonthlyWeekDay = OptionalInteger(column, "MonthlyWeekDay", monthly);
  return r;
}

TConference LoadConference(const ColumnText& column) {
  TConference c;
  c.Id = ColumnTextToInteger("ID", column("ID"));
  c.Room = column("room");
  c.Name = column("name");
  c.StartDate = ColumnTextToDate("date", column("date"));
  const std::string end = column("enddate");
  c.EndDate = TrimAscii(end, kPadding).empty() ? 0 : ColumnTextToDate("enddate", end);
  c.StartTime = ColumnTextToDateTime("starttime", column("starttime"));
  c.EndTime = ColumnTextToDateTime("endtime", column("endtime"));
  c.RecurrenceId = IntegerOrMinusOne(column, "RecurrenceId");
  c.PinHost = IntegerOrMinusOne(column, "PinHost");
  c.PinMember = IntegerOrMinusOne(column, "PinMember");
  c.PinListenOnly = IntegerOrMinusOne(column, "PinListenOnly");
  return c;
}

}  // namespace parlevo
