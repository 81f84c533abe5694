#include "platform/datetime.h"

#include <cctype>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <stdexcept>

#include "platform/ascii_text.h"

namespace parlevo {
namespace {

// Day number of 1970-01-01.
constexpr int64_t kUnixEpochDay = 25569;
// 0001-01-01 and the last millisecond of 9999-12-31.
constexpr double kFirstDayNumber = -693593.0;
constexpr double kLastDayNumber = 2958465.0 + (kMSecsPerDay - 1) / kMSecsPerDay;

constexpr const char* kShortDayNames[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
constexpr const char* kLongDayNames[] = {"Sunday",   "Monday", "Tuesday", "Wednesday",
                                         "Thursday", "Friday", "Saturday"};
constexpr const char* kShortMonthNames[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                            "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
constexpr const char* kLongMonthNames[] = {"January",   "February", "March",    "April",
                                           "May",       "June",     "July",     "August",
                                           "September", "October",  "November", "December"};

// Days since 1970-01-01 of a proleptic Gregorian date.
int64_t DaysFromCivil(int64_t y, unsigned m, unsigned d) {
  y -= m <= 2;
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const unsigned yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<int64_t>(doe) - 719468;
}

void CivilFromDays(int64_t z, int& y, int& m, int& d) {
  z += 719468;
  const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const unsigned doe = static_cast<unsigned>(z - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const int64_t yy = static_cast<int64_t>(yoe) + era * 400;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  d = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
  m = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
  y = static_cast<int>(yy + (m <= 2));
}

// Splits a day number into whole days and milliseconds of the day. Before 1899-12-30 the fraction
// still counts forward from midnight, as the stored form has it (-1.25 is 29.12.1899 06:00).
// A value outside the calendar's years is clamped first: converting it to an integer as it is
// would overflow.
void SplitDayNumber(TDateTime value, int64_t& day, int64_t& msec) {
  if (!IsDayNumberInRange(value)) {
    value = std::isnan(value) ? 0.0 : value < 0 ? kFirstDayNumber : kLastDayNumber;
  }
  double ipart = 0;
  double frac = std::modf(value, &ipart);
  day = static_cast<int64_t>(ipart);
  msec = std::llround(std::fabs(frac) * kMSecsPerDay);
  if (msec >= static_cast<int64_t>(kMSecsPerDay)) {
    msec -= static_cast<int64_t>(kMSecsPerDay);
    day += value < 0 ? -1 : 1;
  }
}

TDateTime CombineDayNumber(int64_t day, double time_fraction) {
  if (day >= 0) return static_cast<double>(day) + time_fraction;
  return static_cast<double>(day) - time_fraction;
}

// Milliseconds since 1970-01-01 of a day number (clamped to the calendar's years). Computed in
// 64-bit integers: the years 1 to 9999 lie far outside what the system clock's nanoseconds hold.
int64_t UnixMillisOf(TDateTime value) {
  int64_t day = 0;
  int64_t msec = 0;
  SplitDayNumber(value, day, msec);
  return (day - kUnixEpochDay) * 86400000 + msec;
}

TDateTime DayNumberOfUnixMillis(int64_t ms) {
  // Floor division so that times before 1970 land on the right day.
  int64_t days = ms / 86400000;
  int64_t rem = ms % 86400000;
  if (rem < 0) {
    rem += 86400000;
    --days;
  }
  return CombineDayNumber(days + kUnixEpochDay, static_cast<double>(rem) / kMSecsPerDay);
}

// Offset of local time from UTC, in milliseconds, at the given milliseconds since 1970.
int64_t LocalOffsetMillisAt(int64_t unix_ms) {
  const std::time_t secs =
      static_cast<std::time_t>(unix_ms >= 0 ? unix_ms / 1000 : (unix_ms - 999) / 1000);
  std::tm tm{};
  if (!localtime_r(&secs, &tm)) return 0;
  return static_cast<int64_t>(tm.tm_gmtoff) * 1000;
}

// Seconds since 1970 of a local date-time, the zone rules in force at that date applied.
std::time_t LocalSecondsOf(TDateTime local) {
  const CivilDateTime c = DecodeDateTime(local);
  std::tm tm{};
  tm.tm_year = c.year - 1900;
  tm.tm_mon = c.month - 1;
  tm.tm_mday = c.day;
  tm.tm_hour = c.hour;
  tm.tm_min = c.minute;
  tm.tm_sec = c.second;
  tm.tm_isdst = -1;
  return mktime(&tm);
}

std::string Pad(int value, int width) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "%0*d", width, value);
  return buf;
}

bool StartsWithNoCase(std::string_view text, size_t pos, std::string_view what) {
  return pos <= text.size() && StartsWithIgnoreCaseAscii(text.substr(pos), what);
}

void FormatInto(std::string& out, std::string_view pattern, TDateTime value,
                const FormatSettings& fs, int depth);

// Formats one pattern token run; `hour_last` tracks whether the previous letter token was an
// hour, which makes a following "m" mean minutes.
void FormatInto(std::string& out, std::string_view p, TDateTime value, const FormatSettings& fs,
                int depth) {
  if (depth > 2) return;  // patterns that refer to themselves end here
  const CivilDateTime c = DecodeDateTime(value);
  bool hour_last = false;
  // Whether the pattern carries an am/pm marker decides 12- or 24-hour clock for "h".
  bool twelve_hour = false;
  for (size_t i = 0; i < p.size(); ++i) {
    if (StartsWithNoCase(p, i, "am/pm") || StartsWithNoCase(p, i, "a/p") ||
        StartsWithNoCase(p, i, "ampm")) {
      twelve_hour = true;
      break;
    }
  }
  size_t i = 0;
  while (i < p.size()) {
    const char ch = p[i];
    const char lc = LowerAscii(ch);
    size_t run = 1;
    while (i + run < p.size() && LowerAscii(p[i + run]) == lc) ++run;
    switch (lc) {
      case '\'':
      case '"': {
        size_t end = p.find(ch, i + 1);
        if (end == std::string_view::npos) end = p.size();
        out.append(p.substr(i + 1, end - i - 1));
        i = end + 1;
        continue;
      }
      case '/':
        out.push_back(fs.DateSeparator);
        i += 1;
        continue;
      case ':':
        out.push_back(fs.TimeSeparator);
        i += 1;
        continue;
      case 'y':
        if (run <= 2)
          out += Pad(c.year % 100, 2);
        else
          out += Pad(c.year, 4);
        hour_last = false;
        break;
      case 'm':
        if (hour_last) {
          out += run == 1 ? std::to_string(c.minute) : Pad(c.minute, 2);
          if (run > 2) run = 2;
        } else if (run == 1) {
          out += std::to_string(c.month);
        } else if (run == 2) {
          out += Pad(c.month, 2);
        } else if (run == 3) {
          out += kShortMonthNames[c.month - 1];
        } else {
          out += kLongMonthNames[c.month - 1];
          run = 4;
        }
        hour_last = false;
        break;
      case 'd': {
        const int dow = DayOfWeek(value) - 1;
        if (run == 1) {
          out += std::to_string(c.day);
        } else if (run == 2) {
          out += Pad(c.day, 2);
        } else if (run == 3) {
          out += kShortDayNames[dow];
        } else if (run == 4) {
          out += kLongDayNames[dow];
        } else if (run == 5) {
          FormatInto(out, fs.ShortDateFormat, value, fs, depth + 1);
        } else {
          FormatInto(out, fs.LongDateFormat, value, fs, depth + 1);
          run = 6;
        }
        hour_last = false;
        break;
      }
      case 'h': {
        int h = c.hour;
        if (twelve_hour) {
          h %= 12;
          if (h == 0) h = 12;
        }
        if (run > 2) run = 2;
        out += run == 1 ? std::to_string(h) : Pad(h, 2);
        hour_last = true;
        break;
      }
      case 'n':
        if (run > 2) run = 2;
        out += run == 1 ? std::to_string(c.minute) : Pad(c.minute, 2);
        hour_last = false;
        break;
      case 's':
        if (run > 2) run = 2;
        out += run == 1 ? std::to_string(c.second) : Pad(c.second, 2);
        hour_last = false;
        break;
      case 'z':
        if (run >= 3) {
          out += Pad(c.millisecond, 3);
          run = 3;
        } else {
          out += std::to_string(c.millisecond);
          run = 1;
        }
        hour_last = false;
        break;
      case 't':
        if (run >= 2) {
          FormatInto(out, fs.LongTimeFormat, value, fs, depth + 1);
          run = 2;
        } else {
          FormatInto(out, fs.ShortTimeFormat, value, fs, depth + 1);
        }
        hour_last = false;
        break;
      case 'c':
        FormatInto(out, fs.ShortDateFormat, value, fs, depth + 1);
        if (TimeOf(value) != 0) {
          out.push_back(' ');
          FormatInto(out, fs.LongTimeFormat, value, fs, depth + 1);
        }
        run = 1;
        hour_last = false;
        break;
      case 'a':
        if (StartsWithNoCase(p, i, "am/pm")) {
          const bool pm = c.hour >= 12;
          std::string_view word = p.substr(pm ? i + 3 : i, 2);
          out.append(word);
          i += 5;
          continue;
        }
        if (StartsWithNoCase(p, i, "a/p")) {
          out.push_back(c.hour >= 12 ? p[i + 2] : p[i]);
          i += 3;
          continue;
        }
        if (StartsWithNoCase(p, i, "ampm")) {
          out += c.hour >= 12 ? fs.TimePMString : fs.TimeAMString;
          i += 4;
          continue;
        }
        out.push_back(ch);
        i += 1;
        continue;
      default:
        out.push_back(ch);
        i += 1;
        continue;
    }
    i += run;
  }
}

}  // namespace

bool IsLeapYear(int year) {
  return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
}

int DaysInMonth(int year, int month) {
  static constexpr int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (month < 1 || month > 12) return 0;
  return month == 2 && IsLeapYear(year) ? 29 : kDays[month - 1];
}

bool IsValidDate(int year, int month, int day) {
  return year >= 1 && year <= 9999 && month >= 1 && month <= 12 && day >= 1 &&
         day <= DaysInMonth(year, month);
}

bool IsValidTime(int hour, int minute, int second, int millisecond) {
  return hour >= 0 && hour < 24 && minute >= 0 && minute < 60 && second >= 0 && second < 60 &&
         millisecond >= 0 && millisecond < 1000;
}

std::optional<TDateTime> TryEncodeDate(int year, int month, int day) {
  if (!IsValidDate(year, month, day)) return std::nullopt;
  return static_cast<double>(DaysFromCivil(year, month, day) + kUnixEpochDay);
}

TDateTime EncodeDate(int year, int month, int day) {
  auto v = TryEncodeDate(year, month, day);
  if (!v) throw std::invalid_argument("Invalid argument to date encode");
  return *v;
}

TDateTime EncodeTime(int hour, int minute, int second, int millisecond) {
  if (!IsValidTime(hour, minute, second, millisecond))
    throw std::invalid_argument("Invalid argument to time encode");
  return (((hour * 60.0 + minute) * 60.0 + second) * 1000.0 + millisecond) / kMSecsPerDay;
}

TDateTime EncodeDateTime(const CivilDateTime& c) {
  return CombineDayNumber(static_cast<int64_t>(EncodeDate(c.year, c.month, c.day)),
                          EncodeTime(c.hour, c.minute, c.second, c.millisecond));
}

bool IsDayNumberInRange(TDateTime value) {
  // Before 1899-12-30 the fraction counts forward from midnight: -693593.5 is still 0001-01-01.
  return value > kFirstDayNumber - 1 && value < kLastDayNumber + 0.5 / kMSecsPerDay;
}

CivilDateTime DecodeDateTime(TDateTime value) {
  int64_t day = 0;
  int64_t msec = 0;
  SplitDayNumber(value, day, msec);
  CivilDateTime c;
  CivilFromDays(day - kUnixEpochDay, c.year, c.month, c.day);
  c.millisecond = static_cast<int>(msec % 1000);
  int64_t secs = msec / 1000;
  c.second = static_cast<int>(secs % 60);
  c.minute = static_cast<int>((secs / 60) % 60);
  c.hour = static_cast<int>(secs / 3600);
  return c;
}

TDateTime DateOf(TDateTime value) {
  int64_t day = 0;
  int64_t msec = 0;
  SplitDayNumber(value, day, msec);
  return static_cast<double>(day);
}

TDateTime TimeOf(TDateTime value) {
  int64_t day = 0;
  int64_t msec = 0;
  SplitDayNumber(value, day, msec);
  return static_cast<double>(msec) / kMSecsPerDay;
}

int DayOfWeek(TDateTime value) {
  int64_t day = static_cast<int64_t>(DateOf(value));
  // 1899-12-30 was a Saturday (7).
  int64_t r = (day + 6) % 7;
  if (r < 0) r += 7;
  return static_cast<int>(r) + 1;
}

TDateTime IncMonth(TDateTime value, int months) {
  CivilDateTime c = DecodeDateTime(value);
  int64_t total = static_cast<int64_t>(c.year) * 12 + (c.month - 1) + months;
  c.year = static_cast<int>(total / 12);
  c.month = static_cast<int>(total % 12) + 1;
  c.day = std::min(c.day, DaysInMonth(c.year, c.month));
  return CombineDayNumber(static_cast<int64_t>(EncodeDate(c.year, c.month, c.day)), TimeOf(value));
}

TDateTime ToUtcDateTime(std::chrono::system_clock::time_point tp) {
  return DayNumberOfUnixMillis(
      std::chrono::duration_cast<std::chrono::milliseconds>(tp.time_since_epoch()).count());
}

TDateTime ToLocalDateTime(std::chrono::system_clock::time_point tp) {
  const int64_t ms =
      std::chrono::duration_cast<std::chrono::milliseconds>(tp.time_since_epoch()).count();
  return DayNumberOfUnixMillis(ms + LocalOffsetMillisAt(ms));
}

TDateTime Now() {
  return ToLocalDateTime(std::chrono::system_clock::now());
}
TDateTime NowUtc() {
  return ToUtcDateTime(std::chrono::system_clock::now());
}

int LocalUtcOffsetMinutes(TDateTime local) {
  return static_cast<int>(LocalOffsetMillisAt(int64_t{LocalSecondsOf(local)} * 1000) / 60000);
}

std::optional<TDateTime> ZonedToLocal(TDateTime written, int offset_minutes) {
  if (!IsDayNumberInRange(written)) return std::nullopt;
  const int64_t utc_ms = UnixMillisOf(written) - int64_t{offset_minutes} * 60000;
  const TDateTime local = DayNumberOfUnixMillis(utc_ms + LocalOffsetMillisAt(utc_ms));
  if (!IsDayNumberInRange(local)) return std::nullopt;
  return local;
}

std::string FormatDateTime(std::string_view pattern, TDateTime value, const FormatSettings& fs) {
  std::string out;
  FormatInto(out, pattern, value, fs, 0);
  return out;
}

std::string FormatDateTime(std::string_view pattern, TDateTime value) {
  return FormatDateTime(pattern, value, ProcessFormats());
}

const FormatSettings& ProcessFormats() {
  static const FormatSettings formats;
  return formats;
}

std::string DateTimeToStr(TDateTime value, const FormatSettings& fs) {
  std::string out = FormatDateTime(fs.ShortDateFormat, value, fs);
  if (TimeOf(value) != 0) {
    out.push_back(' ');
    out += FormatDateTime(fs.LongTimeFormat, value, fs);
  }
  return out;
}
std::string DateTimeToStr(TDateTime value) {
  return DateTimeToStr(value, ProcessFormats());
}
std::string DateToStr(TDateTime value, const FormatSettings& fs) {
  return FormatDateTime(fs.ShortDateFormat, value, fs);
}
std::string DateToStr(TDateTime value) {
  return DateToStr(value, ProcessFormats());
}

FormatSettings ISODateFormat() {
  FormatSettings fs;
  fs.DateSeparator = '-';
  fs.ShortDateFormat = "yyyy-mm-dd";
  return fs;
}

FormatSettings ISODateTimeFormat() {
  FormatSettings fs;
  fs.DateSeparator = '-';
  fs.TimeSeparator = ':';
  fs.ShortDateFormat = "yyyy-mm-dd hh:nn:ss";
  return fs;
}

std::string FormatISODate(TDateTime value) {
  return FormatDateTime("yyyy-mm-dd", value, ISODateFormat());
}

std::string FormatISODateTime(TDateTime value) {
  return FormatDateTime("yyyy-mm-dd hh:nn:ss", value, ISODateTimeFormat());
}

std::string DayNumberToText(TDateTime value) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.10f", value);
  std::string s = buf;
  // Shortest form: drop trailing zeros and a trailing point.
  if (s.find('.') != std::string::npos) {
    while (!s.empty() && s.back() == '0') s.pop_back();
    if (!s.empty() && s.back() == '.') s.pop_back();
  }
  return s;
}

}  // namespace parlevo
