#include "conferences/recurrence_dates.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>

#include "logging/lg_auto.h"

namespace parlevo {

int MonthDays(uint16_t year, uint16_t month) {
  static constexpr int kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (month < 1 || month > 12) return 0;
  const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
  const int days = month == 2 && leap ? 29 : kDays[month - 1];
  logging::MainSession().LogDebug("Tage: " + std::to_string(days));
  return days;
}

bool IsWorkDay(TDateTime value) {
  const int dow = DayOfWeek(value);  // 1 = Sunday, 7 = Saturday
  return dow >= 2 && dow <= 6;
}

TDateTime SetDayClamped(uint16_t day, TDateTime value) {
  const CivilDateTime c = DecodeDateTime(value);
  const int last = MonthDays(static_cast<uint16_t>(c.year), static_cast<uint16_t>(c.month));
  const int d = (day == 0 || day > last) ? last : day;
  return EncodeDate(c.year, c.month, d) + TimeOf(value);
}

int64_t UnixSecondsOf(TDateTime value) {
  // 25569 is the day number of 1970-01-01.
  return static_cast<int64_t>(std::llround((value - 25569.0) * 86400.0));
}

int MondayBasedWeekDay(TDateTime value) {
  return (DayOfWeek(value) + 5) % 7;
}

std::string XmlDateTimeText(TDateTime value, int utc_offset_minutes) {
  const CivilDateTime c = DecodeDateTime(value);
  char buf[64];
  std::snprintf(buf, sizeof buf, "%04d-%02d-%02dT%02d:%02d:%02d.%03d", c.year, c.month, c.day,
                c.hour, c.minute, c.second, c.millisecond);
  std::string out = buf;
  if (utc_offset_minutes == 0) return out + "Z";
  const int a = std::abs(utc_offset_minutes);
  std::snprintf(buf, sizeof buf, "%c%02d:%02d", utc_offset_minutes > 0 ? '+' : '-', a / 60, a % 60);
  return out + buf;
}

}  // namespace parlevo
