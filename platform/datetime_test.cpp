#include "platform/datetime.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <limits>

namespace parlevo {
namespace {

TEST(DateTime, DayNumbersMatchTheStoredForm) {
  EXPECT_EQ(EncodeDate(1899, 12, 30), 0);
  EXPECT_EQ(EncodeDate(1900, 1, 1), 2);
  EXPECT_EQ(EncodeDate(2026, 3, 7), 46088);
  EXPECT_EQ(EncodeDate(2000, 2, 29), 36585);
  EXPECT_FALSE(TryEncodeDate(2026, 2, 29).has_value());
  EXPECT_THROW(EncodeTime(24, 0, 0, 0), std::invalid_argument);

  CivilDateTime c = DecodeDateTime(46088.5 + 1.0 / 86400.0);
  EXPECT_EQ(c.year, 2026);
  EXPECT_EQ(c.month, 3);
  EXPECT_EQ(c.day, 7);
  EXPECT_EQ(c.hour, 12);
  EXPECT_EQ(c.second, 1);
  // A value a hair before midnight rounds to the next day, never to "24:00".
  c = DecodeDateTime(46088.999999999);
  EXPECT_EQ(c.day, 8);
  EXPECT_EQ(c.hour, 0);
  // Before the epoch the fraction still counts forward from midnight.
  c = DecodeDateTime(-1.25);
  EXPECT_EQ(c.day, 29);
  EXPECT_EQ(c.hour, 6);
}

TEST(DateTime, WeekdaysAndMonths) {
  EXPECT_EQ(DayOfWeek(EncodeDate(2026, 12, 8)), 3);  // a Tuesday
  EXPECT_EQ(DayOfWeek(0), 7);                        // 1899-12-30 was a Saturday
  EXPECT_EQ(IncMonth(EncodeDate(2026, 1, 31), 1), EncodeDate(2026, 2, 28));
  EXPECT_EQ(IncMonth(EncodeDate(2026, 12, 15), 1), EncodeDate(2027, 1, 15));
  EXPECT_EQ(IncMonth(EncodeDate(2026, 1, 15), -1), EncodeDate(2025, 12, 15));
  EXPECT_EQ(DaysInMonth(2024, 2), 29);
}

TEST(DateTime, PatternsOfTheServiceTexts) {
  FormatSettings fs;  // the process-wide defaults
  const TDateTime t = EncodeDate(2026, 3, 7) + EncodeTime(9, 5, 3, 42);
  EXPECT_EQ(FormatDateTime("ddd d. mmm. yyyy, hh:mm:ss: ", t, fs), "Sat 7. Mar. 2026, 09:05:03: ");
  EXPECT_EQ(DateTimeToStr(t, fs), "07.03.2026 09:05:03.042");
  EXPECT_EQ(DateTimeToStr(EncodeDate(2026, 3, 7), fs), "07.03.2026");
  EXPECT_EQ(FormatISODate(t), "2026-03-07");
  EXPECT_EQ(FormatISODateTime(t), "2026-03-07 09:05:03");
  EXPECT_EQ(FormatDateTime("h:nn am/pm", EncodeTime(15, 4, 0, 0), fs), "3:04 pm");
  EXPECT_EQ(FormatDateTime("hh:nn ampm", EncodeTime(0, 4, 0, 0), fs), "12:04 am");
  EXPECT_EQ(FormatDateTime("yyyy'mm'dd", t, fs), "2026mm07");
  EXPECT_EQ(FormatDateTime("dddd mmmm yy", t, fs), "Saturday March 26");
  EXPECT_EQ(FormatDateTime("c", t, fs), "07.03.2026 09:05:03.042");
}

TEST(DateTime, LocalAndUtcAgreeWithTheZone) {
  setenv("TZ", "Europe/Berlin", 1);
  tzset();
  const TDateTime summer = EncodeDate(2026, 7, 1) + EncodeTime(12, 0, 0, 0);
  const TDateTime winter = EncodeDate(2026, 1, 1) + EncodeTime(12, 0, 0, 0);
  EXPECT_EQ(LocalUtcOffsetMinutes(summer), 120);
  EXPECT_EQ(LocalUtcOffsetMinutes(winter), 60);
  EXPECT_NEAR(ZonedToLocal(summer - 2.0 / 24, 0).value(), summer, 1e-9);
  EXPECT_NEAR(ZonedToLocal(winter, 60).value(), winter, 1e-9);
  EXPECT_NEAR(Now() - NowUtc(), LocalUtcOffsetMinutes(Now()) / 1440.0, 1e-4);
  unsetenv("TZ");
  tzset();
}

TEST(DateTime, ZonedTimesOfTheFirstAndLastYearsKeepTheirDay) {
  setenv("TZ", "Europe/Berlin", 1);
  tzset();
  const TDateTime first = EncodeDate(1, 1, 1);
  const TDateTime last = EncodeDate(9999, 12, 31) + EncodeTime(23, 59, 59, 0);
  // Before 1893 Berlin kept its mean solar time, 53 minutes and 28 seconds ahead of UTC.
  const auto morning = ZonedToLocal(first, 0);
  ASSERT_TRUE(morning.has_value());
  EXPECT_EQ(FormatISODateTime(*morning), "0001-01-01 00:53:28");
  // Local time of the last UTC second lies in the year 10000: no date, never another day.
  EXPECT_FALSE(ZonedToLocal(last, 0).has_value());
  EXPECT_FALSE(ZonedToLocal(first, 120).has_value());  // 31 Dec of the year 0, 22:53 local
  const auto evening = ZonedToLocal(last, 120);
  ASSERT_TRUE(evening.has_value());
  EXPECT_EQ(FormatISODateTime(*evening), "9999-12-31 22:59:59");
  EXPECT_EQ(LocalUtcOffsetMinutes(last), 60);
  EXPECT_FALSE(ZonedToLocal(1e300, 0).has_value());
  // Before 1899-12-30 the fraction counts forward: an offset must move the day, not the sign.
  const auto before_epoch = ZonedToLocal(EncodeDateTime({1850, 6, 1, 6, 0, 0, 0}), -60);
  ASSERT_TRUE(before_epoch.has_value());
  EXPECT_EQ(FormatISODateTime(*before_epoch), "1850-06-01 07:53:28");

  setenv("TZ", "UTC", 1);
  tzset();
  EXPECT_EQ(ZonedToLocal(first, 0), first);
  EXPECT_EQ(ZonedToLocal(last, 0), last);
  EXPECT_FALSE(ZonedToLocal(first, 60).has_value());
  EXPECT_FALSE(ZonedToLocal(last, -60).has_value());
  unsetenv("TZ");
  tzset();
}

TEST(DateTime, DayNumberTextHasNoExponent) {
  EXPECT_EQ(DayNumberToText(46088.0), "46088");
  EXPECT_EQ(DayNumberToText(46088.5), "46088.5");
}

TEST(DateTime, ValuesBeyondTheCalendarAreClampedNotComputed) {
  EXPECT_TRUE(IsDayNumberInRange(EncodeDate(1, 1, 1)));
  EXPECT_TRUE(IsDayNumberInRange(EncodeDate(9999, 12, 31) + 0.75));
  EXPECT_TRUE(IsDayNumberInRange(-693593.5));  // 0001-01-01 12:00
  for (double v :
       {1e300, -1e300, 9.3e18, -9.3e18, 2958466.0, -693594.0,
        std::numeric_limits<double>::quiet_NaN(), std::numeric_limits<double>::infinity()}) {
    EXPECT_FALSE(IsDayNumberInRange(v)) << v;
    // Defined, bounded results instead of an overflowing conversion.
    const CivilDateTime c = DecodeDateTime(v);
    EXPECT_GE(c.year, 1) << v;
    EXPECT_LE(c.year, 9999) << v;
    EXPECT_FALSE(FormatISODate(v).empty());
  }
  EXPECT_EQ(DecodeDateTime(1e300).year, 9999);
  EXPECT_EQ(DecodeDateTime(-1e300).year, 1);
  // A plain day number beyond the calendar is no date-time text.
  EXPECT_FALSE(ParseDateTimeText("2958466").has_value());
  EXPECT_FALSE(ParseDateTimeText("-693594").has_value());
  EXPECT_TRUE(ParseDateTimeText("2958465.5").has_value());
}

}  // namespace
}  // namespace parlevo
