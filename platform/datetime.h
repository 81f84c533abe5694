// Date-times as day numbers since 1899-12-30 (the fraction is the time of day), the form in which
// the database stores dates and the logging packets carry their time stamps, with conversion to
// and from the local calendar and the pattern formatting the service's texts are written in.
//
// Thread safety: every function is safe to call from any thread.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace parlevo {

using TDateTime = double;

inline constexpr double kMSecsPerDay = 86400000.0;

// A broken-down date and time; fields use calendar numbering (month 1..12, day 1..31).
struct CivilDateTime {
  int year = 1899;
  int month = 12;
  int day = 30;
  int hour = 0;
  int minute = 0;
  int second = 0;
  int millisecond = 0;

  bool operator==(const CivilDateTime&) const = default;
};

// The settings a date/time-to-text conversion uses. "/" in a pattern stands for the date
// separator and ":" for the time separator.
struct FormatSettings {
  char DateSeparator = '.';
  char TimeSeparator = ':';
  std::string LongDateFormat = "dddd dd of mmmm of yyyy";
  std::string ShortDateFormat = "dd.mm.yyyy";
  std::string ShortTimeFormat = "hh:nn:ss";
  std::string LongTimeFormat = "hh:nn:ss.zzz";
  std::string TimeAMString = "am";
  std::string TimePMString = "pm";
};

bool IsValidDate(int year, int month, int day);
bool IsValidTime(int hour, int minute, int second, int millisecond);
// Whether a day number lies within the years 1 to 9999, the dates the calendar routines handle.
// Outside (or not finite) it is no date: DecodeDateTime and its kin clamp such a value to that
// range rather than compute with it.
bool IsDayNumberInRange(TDateTime value);
// Day number of a calendar date; nullopt when the date does not exist.
std::optional<TDateTime> TryEncodeDate(int year, int month, int day);
// Throws std::invalid_argument when the date does not exist.
TDateTime EncodeDate(int year, int month, int day);
// Fraction of a day; throws std::invalid_argument for an invalid time.
TDateTime EncodeTime(int hour, int minute, int second, int millisecond);
TDateTime EncodeDateTime(const CivilDateTime& c);
// Rounded to the millisecond.
CivilDateTime DecodeDateTime(TDateTime value);
// The day part (midnight of the same day).
TDateTime DateOf(TDateTime value);
// The time part (fraction of the day, always >= 0).
TDateTime TimeOf(TDateTime value);
// 1 = Sunday ... 7 = Saturday.
int DayOfWeek(TDateTime value);
int DaysInMonth(int year, int month);
bool IsLeapYear(int year);
// Adds months the calendar way; the day is clipped to the end of the target month.
TDateTime IncMonth(TDateTime value, int months);

// Clock readings, rounded to the millisecond.
TDateTime Now();     // local time
TDateTime NowUtc();  // coordinated universal time
TDateTime ToLocalDateTime(std::chrono::system_clock::time_point tp);
TDateTime ToUtcDateTime(std::chrono::system_clock::time_point tp);
// Offset of local time from UTC, in minutes, in force at the given local date-time.
int LocalUtcOffsetMinutes(TDateTime local);
// The local date-time of a date-time written with its offset from UTC in minutes ("Z" is 0);
// nullopt when the written or the local one lies outside the years 1 to 9999.
std::optional<TDateTime> ZonedToLocal(TDateTime written, int offset_minutes);

// Formats with a pattern of the house's date/time pattern language: d dd ddd dddd ddddd dddddd,
// m mm mmm mmmm (minutes right after an hour), yy yyyy, h hh, n nn, s ss, z zzz, t tt, c,
// am/pm a/p ampm, "/" and ":" separators, and literal text in single or double quotes.
std::string FormatDateTime(std::string_view pattern, TDateTime value, const FormatSettings& fs);
std::string FormatDateTime(std::string_view pattern, TDateTime value);  // process-wide formats

// The process-wide formats: the defaults of FormatSettings, which nothing changes.
const FormatSettings& ProcessFormats();

// Short date, then a blank and the long time unless the time of day is midnight.
std::string DateTimeToStr(TDateTime value, const FormatSettings& fs);
std::string DateTimeToStr(TDateTime value);
std::string DateToStr(TDateTime value, const FormatSettings& fs);
std::string DateToStr(TDateTime value);

// "yyyy-mm-dd" and "yyyy-mm-dd hh:nn:ss", independent of the process-wide formats.
FormatSettings ISODateFormat();
FormatSettings ISODateTimeFormat();
std::string FormatISODate(TDateTime value);
std::string FormatISODateTime(TDateTime value);

// Day number text with "." as decimal separator and no exponent, as statements carry them.
std::string DayNumberToText(TDateTime value);

}  // namespace parlevo

// Reading date/time texts belongs to this header's face; it lives in a unit of its own.
#include "platform/datetime_parse.h"  // IWYU pragma: export
