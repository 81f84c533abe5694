#include "conferences/recurrence_dates.h"

#include <gtest/gtest.h>

namespace parlevo {
namespace {

TEST(MonthDays, LeapYearsAndMonths) {
  EXPECT_EQ(MonthDays(2024, 2), 29);
  EXPECT_EQ(MonthDays(2100, 2), 28);
  EXPECT_EQ(MonthDays(2000, 2), 29);
  EXPECT_EQ(MonthDays(2026, 2), 28);
  EXPECT_EQ(MonthDays(2026, 4), 30);
  EXPECT_EQ(MonthDays(2026, 12), 31);
  EXPECT_EQ(MonthDays(2026, 13), 0);
}

TEST(IsWorkDay, MondayToFriday) {
  EXPECT_FALSE(IsWorkDay(EncodeDate(2026, 3, 7)));  // Saturday
  EXPECT_FALSE(IsWorkDay(EncodeDate(2026, 3, 8)));  // Sunday
  EXPECT_TRUE(IsWorkDay(EncodeDate(2026, 3, 9)));   // Monday
  EXPECT_TRUE(IsWorkDay(EncodeDate(2026, 3, 13) + 0.9));
  EXPECT_EQ(MondayBasedWeekDay(EncodeDate(2026, 3, 9)), 0);
  EXPECT_EQ(MondayBasedWeekDay(EncodeDate(2026, 3, 8)), 6);
}

TEST(SetDayClamped, StaysInTheMonthAndKeepsTheTime) {
  const TDateTime april = EncodeDate(2026, 4, 10) + EncodeTime(9, 30, 0, 0);
  EXPECT_EQ(FormatISODateTime(SetDayClamped(31, april)), "2026-04-30 09:30:00");
  EXPECT_EQ(FormatISODateTime(SetDayClamped(2, april)), "2026-04-02 09:30:00");
  EXPECT_EQ(FormatISODate(SetDayClamped(30, EncodeDate(2024, 2, 1))), "2024-02-29");
  EXPECT_EQ(FormatISODate(SetDayClamped(30, EncodeDate(2026, 2, 1))), "2026-02-28");
  EXPECT_EQ(FormatISODate(SetDayClamped(0, EncodeDate(2026, 2, 1))), "2026-02-28");
}

TEST(UnixSecondsOf, ReadsLocalValuesAsUtc) {
  EXPECT_EQ(UnixSecondsOf(EncodeDate(1970, 1, 1)), 0);
  EXPECT_EQ(UnixSecondsOf(EncodeDate(2026, 3, 7)), 1772841600);
  EXPECT_EQ(UnixSecondsOf(EncodeDate(2026, 3, 7) + EncodeTime(0, 0, 1, 0)), 1772841601);
}

TEST(XmlDateTimeText, OffsetsAndZulu) {
  const TDateTime t = EncodeDate(2026, 3, 7) + EncodeTime(10, 0, 0, 0);
  EXPECT_EQ(XmlDateTimeText(t, 60), "2026-03-07T10:00:00.000+01:00");
  EXPECT_EQ(XmlDateTimeText(t, 0), "2026-03-07T10:00:00.000Z");
  EXPECT_EQ(XmlDateTimeText(t + EncodeTime(0, 0, 0, 5), -330), "2026-03-07T10:00:00.005-05:30");
  // The text reads back to the same wall-clock time with the offset it names.
  const auto parsed = ParseDateTimeText(XmlDateTimeText(t, 120));
  ASSERT_TRUE(parsed);
  EXPECT_EQ(parsed->value, t);
  EXPECT_EQ(parsed->offset, 120);
}

}  // namespace
}  // namespace parlevo
