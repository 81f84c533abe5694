// The two records the series engine works on: one row of conferenceRecurrences (TRecurrence)
// and one row of conferences (TConference), and how each is read from a row whose columns come
// as text.
//
// Thread safety: the records are plain values; the loaders are pure apart from the row reader
// they are given, and may be called from any thread.
#pragma once

#include <cstdint>
#include <functional>
#include <stdexcept>
#include <string>
#include <string_view>

#include "platform/datetime.h"

namespace parlevo {

// A column value that cannot be converted to the type its record field needs.
class RecordConversionError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Which creator a series belongs to; the first matching flag wins.
enum class TRecurrenceKind { None, Daily, Weekly, Monthly, Unused };

struct TRecurrence {
  int32_t Id = 0;
  std::string Room;
  std::string Name;
  TDateTime StartDate = 0;
  TDateTime EndDate = 0;
  TDateTime StartTime = 0;
  TDateTime EndTime = 0;
  std::string PinHost;
  std::string PinMember;
  std::string PinListenOnly;
  bool IsRecurrenceElement = false;
  bool Daily = false;
  int32_t DailyInterval = 0;
  bool DailyEveryWorkDay = false;
  bool Weekly = false;
  int32_t WeeklyInterval = 0;
  bool WeeklyMonday = false;
  bool WeeklyTuesday = false;
  bool WeeklyWednesday = false;
  bool WeeklyThursday = false;
  bool WeeklyFriday = false;
  bool WeeklySaturday = false;
  bool WeeklySunday = false;
  bool Monthly = false;
  int32_t MonthlyInterval = 0;
  int32_t MonthlyEveryX = 0;
  int32_t MonthlyWeekDay = 0;

  TRecurrenceKind Kind() const;
  // The weekday flag of a DayOfWeek value (1 = Sunday .. 7 = Saturday).
  bool WeeklyFlag(int day_of_week) const;
  bool AnyWeekdayFlag() const;
};

struct TConference {
  int32_t Id = -1;
  std::string Room;
  std::string Name;
  TDateTime StartDate = 0;
  TDateTime EndDate = 0;
  TDateTime StartTime = 0;
  TDateTime EndTime = 0;
  int32_t RecurrenceId = -1;
  int32_t PinHost = -1;
  int32_t PinMember = -1;
  int32_t PinListenOnly = -1;
};

// The text of a column of the current row, looked up by name (without regard to case). May throw
// when the row has no such column.
using ColumnText = std::function<std::string(std::string_view column)>;

// Conversions of column texts. Integers: optional blanks around a decimal number that fits 32
// bits. Dates: a date-time text of the process-wide formats, an ISO text or a day number; a date
// read as a day drops its time of day. Each throws RecordConversionError naming the column.
int32_t ColumnTextToInteger(std::string_view column, std::string_view text);
TDateTime ColumnTextToDate(std::string_view column, std::string_view text);
TDateTime ColumnTextToDateTime(std::string_view column, std::string_view text);
// Flags: true exactly for the text "1".
bool ColumnTextToFlag(std::string_view text);

// Reads a series row. The integer columns of the kinds the series does not use (a weekly series'
// daily interval, say) never fail: empty or unreadable they read as 0. Throws
// RecordConversionError for a column the series needs that cannot be read.
TRecurrence LoadRecurrence(const ColumnText& column);

// Reads a conference row ("ID" must be a number; an empty series or PIN column reads as -1).
TConference LoadConference(const ColumnText& column);

}  // namespace parlevo
