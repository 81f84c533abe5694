#include "conferences/recurrence.h"

#include <map>
#include <string>

#include <gtest/gtest.h>

#include "platform/ascii_text.h"

namespace parlevo {
namespace {

// A row as the database hands it out: every column as text, names without regard to case.
class Row {
 public:
  Row& Set(const std::string& column, std::string text) {
    values_[Lower(column)] = std::move(text);
    return *this;
  }
  ColumnText Reader() const {
    return [this](std::string_view column) {
      auto it = values_.find(Lower(std::string(column)));
      return it == values_.end() ? std::string() : it->second;
    };
  }

 private:
  static std::string Lower(const std::string& s) { return ToLowerAscii(s); }
  std::map<std::string, std::string> values_;
};

Row WeeklyRow() {
  Row row;
  row.Set("RecurrenceId", "12")
      .Set("room", "100")
      .Set("name", "Jour \"fixe\"")
      .Set("startdate", "02.03.2026")
      .Set("enddate", "02.03.2026")
      .Set("starttime", "02.03.2026 10:00:00.000")
      .Set("endtime", "02.03.2026 11:30:00.000")
      .Set("PinHost", "1234")
      .Set("PinMember", "2345")
      .Set("PinListenOnly", "3456")
      .Set("IsRecurrenceElement", "1")
      .Set("Daily", "0")
      .Set("DailyInterval", "")
      .Set("DailyEveryWorkDay", "0")
      .Set("Weekly", "1")
      .Set("WeeklyInterval", "2")
      .Set("WeeklyMonday", "1")
      .Set("WeeklyThursday", "1")
      .Set("Monthly", "0")
      .Set("MonthlyInterval", "")
      .Set("MonthlyEveryX", "")
      .Set("MonthlyWeekDay", "");
  return row;
}

TEST(LoadRecurrence, ReadsEveryColumnOfAWeeklySeries) {
  const Row row = WeeklyRow();
  const TRecurrence r = LoadRecurrence(row.Reader());
  EXPECT_EQ(r.Id, 12);
  EXPECT_EQ(r.Room, "100");
  EXPECT_EQ(r.Name, "Jour \"fixe\"");
  EXPECT_EQ(r.StartDate, EncodeDate(2026, 3, 2));
  EXPECT_EQ(FormatISODateTime(r.EndTime), "2026-03-02 11:30:00");
  EXPECT_EQ(r.PinMember, "2345");
  EXPECT_EQ(r.Kind(), TRecurrenceKind::Weekly);
  EXPECT_EQ(r.WeeklyInterval, 2);
  EXPECT_TRUE(r.WeeklyMonday);
  EXPECT_TRUE(r.WeeklyThursday);
  EXPECT_FALSE(r.WeeklyFriday);
  EXPECT_TRUE(r.WeeklyFlag(2));   // Monday
  EXPECT_FALSE(r.WeeklyFlag(1));  // Sunday
  // The empty columns of the kinds a weekly series does not use read as 0.
  EXPECT_EQ(r.DailyInterval, 0);
  EXPECT_EQ(r.MonthlyInterval, 0);
  EXPECT_EQ(r.MonthlyWeekDay, 0);
}

TEST(LoadRecurrence, EmptyNumberOfTheSeriesOwnKindFails) {
  Row row = WeeklyRow();
  row.Set("WeeklyInterval", "");
  EXPECT_THROW(LoadRecurrence(row.Reader()), RecordConversionError);
  row.Set("WeeklyInterval", "2").Set("Weekly", "0").Set("Monthly", "1");
  EXPECT_THROW(LoadRecurrence(row.Reader()), RecordConversionError);
  row.Set("MonthlyInterval", "1").Set("MonthlyEveryX", "2").Set("MonthlyWeekDay", "1");
  EXPECT_EQ(LoadRecurrence(row.Reader()).MonthlyEveryX, 2);
  // Daily on workdays does not use the interval.
  row.Set("Monthly", "0").Set("Daily", "1").Set("DailyEveryWorkDay", "1");
  EXPECT_EQ(LoadRecurrence(row.Reader()).DailyInterval, 0);
  row.Set("DailyEveryWorkDay", "0");
  EXPECT_THROW(LoadRecurrence(row.Reader()), RecordConversionError);
}

TEST(LoadRecurrence, FlagsAndKinds) {
  Row row = WeeklyRow();
  row.Set("Weekly", "-1");
  EXPECT_EQ(LoadRecurrence(row.Reader()).Kind(), TRecurrenceKind::Unused);
  row.Set("Weekly", "true");
  EXPECT_EQ(LoadRecurrence(row.Reader()).Kind(), TRecurrenceKind::Unused);
  // Not a repeating element: a one-off, whatever else is set.
  row.Set("Weekly", "1").Set("Daily", "1").Set("IsRecurrenceElement", "0");
  EXPECT_EQ(LoadRecurrence(row.Reader()).Kind(), TRecurrenceKind::None);
  row.Set("IsRecurrenceElement", "1");
  row.Set("DailyInterval", "1");
  EXPECT_EQ(LoadRecurrence(row.Reader()).Kind(), TRecurrenceKind::Daily);
}

TEST(LoadRecurrence, DatesHoldingATimeReadAsTheirDay) {
  Row row = WeeklyRow();
  row.Set("startdate", "02.03.2026 10:00:00.000").Set("enddate", "2026-06-30 23:59:00");
  const TRecurrence r = LoadRecurrence(row.Reader());
  EXPECT_EQ(r.StartDate, EncodeDate(2026, 3, 2));
  EXPECT_EQ(r.EndDate, EncodeDate(2026, 6, 30));
  // Times keep their date: they are the first occurrence.
  EXPECT_EQ(FormatISODateTime(r.StartTime), "2026-03-02 10:00:00");
}

TEST(LoadRecurrence, UnreadableRequiredColumnsFail) {
  Row row = WeeklyRow();
  row.Set("startdate", "");
  EXPECT_THROW(LoadRecurrence(row.Reader()), RecordConversionError);
  row = WeeklyRow();
  row.Set("RecurrenceId", "x");
  EXPECT_THROW(LoadRecurrence(row.Reader()), RecordConversionError);
  row = WeeklyRow();
  row.Set("starttime", "soon");
  EXPECT_THROW(LoadRecurrence(row.Reader()), RecordConversionError);
  // A one-off element needs no end date.
  row = WeeklyRow();
  row.Set("IsRecurrenceElement", "0").Set("enddate", "");
  EXPECT_EQ(LoadRecurrence(row.Reader()).EndDate, 0);
}

TEST(ColumnTextConversions, Integers) {
  EXPECT_EQ(ColumnTextToInteger("c", " 42 "), 42);
  EXPECT_EQ(ColumnTextToInteger("c", "-1"), -1);
  EXPECT_EQ(ColumnTextToInteger("c", "+3"), 3);
  // Padding is the blank and every control byte below it, a NUL included; nothing above it.
  EXPECT_EQ(ColumnTextToInteger("c", std::string("\x01\t7\r\n\x1f\0", 7)), 7);
  EXPECT_THROW(ColumnTextToInteger("c", "7\x7f"), RecordConversionError);
  EXPECT_THROW(ColumnTextToInteger("c", "4x"), RecordConversionError);
  EXPECT_THROW(ColumnTextToInteger("c", "99999999999"), RecordConversionError);
  EXPECT_THROW(ColumnTextToInteger("c", "-"), RecordConversionError);
  EXPECT_TRUE(ColumnTextToFlag("1"));
  EXPECT_FALSE(ColumnTextToFlag(" 1"));
  EXPECT_FALSE(ColumnTextToFlag("Wahr"));
}

TEST(LoadConference, ReadsRowAndEmptyColumns) {
  Row row;
  row.Set("ID", "15")
      .Set("room", "100")
      .Set("name", "Weekly")
      .Set("date", "09.03.2026")
      .Set("enddate", "")
      .Set("starttime", "09.03.2026 10:00:00.000")
      .Set("endtime", "09.03.2026 11:00:00.000")
      .Set("RecurrenceId", "")
      .Set("PinHost", "1234")
      .Set("PinMember", "")
      .Set("PinListenOnly", "99");
  const TConference c = LoadConference(row.Reader());
  EXPECT_EQ(c.Id, 15);
  EXPECT_EQ(c.StartDate, EncodeDate(2026, 3, 9));
  EXPECT_EQ(c.EndDate, 0);
  EXPECT_EQ(c.RecurrenceId, -1);
  EXPECT_EQ(c.PinHost, 1234);
  EXPECT_EQ(c.PinMember, -1);
  EXPECT_EQ(c.PinListenOnly, 99);
  row.Set("ID", "");
  EXPECT_THROW(LoadConference(row.Reader()), RecordConversionError);
}

}  // namespace
}  // namespace parlevo
