// Date routines of the series engine: days of a month, workdays, a day setter that stays inside
// the month, the seconds arithmetic by which the end tests compare dates, and the XML Schema
// dateTime text in which internal requests carry dates.
//
// Thread safety: pure functions, callable from any thread.
#pragma once

#include <cstdint>
#include <string>

#include "platform/datetime.h"

namespace parlevo {

// Days of the month (1..12) of the year; February has 29 in leap years.
int MonthDays(uint16_t year, uint16_t month);

// Monday to Friday; public holidays are not considered.
bool IsWorkDay(TDateTime value);

// The date-time with the year, month and time of day of value and the given day; a day beyond
// the month's last (or 0) gives the month's last day.
TDateTime SetDayClamped(uint16_t day, TDateTime value);

// Seconds since 1970-01-01 of a stored local value read as if it were UTC.
int64_t UnixSecondsOf(TDateTime value);

// Monday-based weekday: 0 = Monday .. 6 = Sunday.
int MondayBasedWeekDay(TDateTime value);

// "yyyy-mm-ddThh:nn:ss.zzz" followed by "+hh:mm"/"-hh:mm" for the given offset east of UTC, or
// "Z" when the offset is zero.
std::string XmlDateTimeText(TDateTime value, int utc_offset_minutes);

}  // namespace parlevo
