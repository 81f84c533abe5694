#include "platform/db_values.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <limits>

namespace parlevo::db {
namespace {

class DbValues : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* tz = std::getenv("TZ");
    saved_tz_ = tz ? std::optional<std::string>(tz) : std::nullopt;
    setenv("TZ", "Europe/Berlin", 1);
    tzset();
  }
  void TearDown() override {
    if (saved_tz_) {
      setenv("TZ", saved_tz_->c_str(), 1);
    } else {
      unsetenv("TZ");
    }
    tzset();
  }
  std::optional<std::string> saved_tz_;
};

TEST_F(DbValues, DeclaredTypesNameTheKinds) {
  EXPECT_EQ(ClassifyDeclaredType("BIT"), FieldKind::Boolean);
  EXPECT_EQ(ClassifyDeclaredType("TEXT(20)"), FieldKind::Text);
  EXPECT_EQ(ClassifyDeclaredType("LONGTEXT"), FieldKind::Text);
  EXPECT_EQ(ClassifyDeclaredType("LONG INTEGER"), FieldKind::Integer);
  EXPECT_EQ(ClassifyDeclaredType("INTEGER"), FieldKind::Integer);
  EXPECT_EQ(ClassifyDeclaredType("DATE"), FieldKind::DateTime);
  EXPECT_EQ(ClassifyDeclaredType("datetime"), FieldKind::DateTime);
  EXPECT_EQ(ClassifyDeclaredType("DOUBLE"), FieldKind::Real);
  EXPECT_EQ(ClassifyDeclaredType(""), FieldKind::Unknown);
}

TEST_F(DbValues, DatesAreStoredAsLocalDayNumbers) {
  const auto text = [](std::string s) { return DbValue::Of(std::move(s)); };
  const TDateTime day = EncodeDate(2026, 3, 7);
  EXPECT_EQ(CoerceForColumn(text("07.03.2026"), FieldKind::DateTime), DbValue::Of(day));
  EXPECT_EQ(CoerceForColumn(text("07.03.2026 10:30"), FieldKind::DateTime),
            DbValue::Of(day + EncodeTime(10, 30, 0, 0)));
  EXPECT_EQ(CoerceForColumn(text("2026-03-07 10:30:15"), FieldKind::DateTime),
            DbValue::Of(day + EncodeTime(10, 30, 15, 0)));
  // A zone is converted to the local time (Berlin is one hour ahead in March).
  EXPECT_EQ(CoerceForColumn(text("2026-03-07T09:30:00.000Z"), FieldKind::DateTime),
            DbValue::Of(day + EncodeTime(10, 30, 0, 0)));
  EXPECT_EQ(CoerceForColumn(text("2026-03-07T10:30:00+01:00"), FieldKind::DateTime),
            DbValue::Of(day + EncodeTime(10, 30, 0, 0)));
  // At the ends of the calendar a zone keeps the day or refuses the value; Berlin's mean solar
  // time before 1893 was 53:28 ahead of UTC, which takes the last UTC second into the year 10000.
  EXPECT_EQ(CoerceForColumn(text("0001-01-01T00:00:00Z"), FieldKind::DateTime),
            DbValue::Of(EncodeDateTime({1, 1, 1, 0, 53, 28, 0})));
  EXPECT_EQ(CoerceForColumn(text("9999-12-31T23:00:00+01:00"), FieldKind::DateTime),
            DbValue::Of(EncodeDateTime({9999, 12, 31, 23, 0, 0, 0})));
  EXPECT_EQ(CoerceForColumn(text("9999-12-31T23:59:59"), FieldKind::DateTime),
            DbValue::Of(EncodeDateTime({9999, 12, 31, 23, 59, 59, 0})));
  EXPECT_EQ(CoerceForColumn(text("46088.5"), FieldKind::DateTime), DbValue::Of(46088.5));
  EXPECT_EQ(CoerceForColumn(DbValue::Of(int64_t{46088}), FieldKind::DateTime),
            DbValue::Of(46088.0));
  EXPECT_TRUE(CoerceForColumn(DbValue::Null(), FieldKind::DateTime).IsNull());
  // Blank texts are refused like any other non-date, never stored as "no date".
  for (const char* bad : {"", "  ", "\r\n", "tomorrow", "31.02.2026", "2026-03-07 25:00",
                          "07.03.26", "9999-12-31T23:59:59Z", "0001-01-01T00:00:00+02:00"}) {
    try {
      CoerceForColumn(text(bad), FieldKind::DateTime);
      ADD_FAILURE() << bad;
    } catch (const DbError& e) {
      EXPECT_STREQ(e.what(), "Data type mismatch in criteria expression.");
    }
  }
}

TEST_F(DbValues, IntegersAndFlagsAsJetStoresThem) {
  const auto text = [](std::string s) { return DbValue::Of(std::move(s)); };
  EXPECT_EQ(CoerceForColumn(text("-1"), FieldKind::Integer), DbValue::Of(int64_t{-1}));
  EXPECT_EQ(CoerceForColumn(text(" 42 "), FieldKind::Integer), DbValue::Of(int64_t{42}));
  EXPECT_EQ(CoerceForColumn(text("2.5"), FieldKind::Integer), DbValue::Of(int64_t{2}));
  EXPECT_TRUE(CoerceForColumn(DbValue::Null(), FieldKind::Integer).IsNull());
  for (const char* blank : {"", " ", "\t"}) {
    EXPECT_THROW(CoerceForColumn(text(blank), FieldKind::Integer), DbError) << blank;
    EXPECT_THROW(CoerceForColumn(text(blank), FieldKind::Real), DbError) << blank;
  }
  EXPECT_THROW(CoerceForColumn(text("1 OR 1=1"), FieldKind::Integer), DbError);
  EXPECT_THROW(CoerceForColumn(text("12abc"), FieldKind::Integer), DbError);

  EXPECT_EQ(CoerceForColumn(DbValue::Of(int64_t{1}), FieldKind::Boolean), DbValue::Of(int64_t{-1}));
  EXPECT_EQ(CoerceForColumn(DbValue::Of(int64_t{0}), FieldKind::Boolean), DbValue::Of(int64_t{0}));
  EXPECT_EQ(CoerceForColumn(text("True"), FieldKind::Boolean), DbValue::Of(int64_t{-1}));
  EXPECT_EQ(CoerceForColumn(text("falsch"), FieldKind::Boolean), DbValue::Of(int64_t{0}));
  EXPECT_EQ(CoerceForColumn(DbValue::Null(), FieldKind::Boolean), DbValue::Of(int64_t{0}));
  EXPECT_THROW(CoerceForColumn(text("maybe"), FieldKind::Boolean), DbError);

  // Text columns keep what was written, quotes and all.
  EXPECT_EQ(CoerceForColumn(text("  \"x\" "), FieldKind::Text), text("  \"x\" "));
}

TEST_F(DbValues, ReadsAsTheServiceExpectsThem) {
  const DbValue yes = DbValue::Of(int64_t{-1});
  EXPECT_EQ(ValueAsString(yes, FieldKind::Boolean), "Wahr");
  EXPECT_EQ(ValueAsString(DbValue::Of(int64_t{0}), FieldKind::Boolean), "Falsch");
  EXPECT_TRUE(ValueAsBoolean(yes, FieldKind::Boolean));
  EXPECT_TRUE(ValueAsBoolean(DbValue::Of(std::string("Wahr")), FieldKind::Text));

  const TDateTime t = EncodeDate(2026, 3, 7) + EncodeTime(9, 5, 3, 42);
  EXPECT_EQ(ValueAsString(DbValue::Of(t), FieldKind::DateTime), "07.03.2026 09:05:03.042");
  EXPECT_EQ(ValueAsString(DbValue::Of(46088.0), FieldKind::DateTime), "07.03.2026");
  // ISO texts written by the PBX side read the same.
  EXPECT_EQ(ValueAsString(DbValue::Of(std::string("2026-03-07 09:05:03")), FieldKind::DateTime),
            "07.03.2026 09:05:03.000");
  EXPECT_EQ(ValueAsDateTime(DbValue::Of(std::string("2026-03-07")), FieldKind::DateTime), 46088);
  EXPECT_EQ(ValueAsString(DbValue::Of(std::string("garbage")), FieldKind::DateTime), "garbage");
  EXPECT_THROW(ValueAsDateTime(DbValue::Of(std::string("garbage")), FieldKind::DateTime), DbError);

  EXPECT_EQ(ValueAsString(DbValue::Null(), FieldKind::DateTime), "");
  EXPECT_EQ(ValueAsString(DbValue::Null(), FieldKind::Boolean), "");
  EXPECT_EQ(ValueAsInteger(DbValue::Null(), FieldKind::Integer), 0);
  EXPECT_EQ(ValueAsString(DbValue::Of(int64_t{12}), FieldKind::Integer), "12");
  EXPECT_EQ(ValueAsString(DbValue::Of(1.5), FieldKind::Unknown), "1.5");
  EXPECT_EQ(ValueAsInteger(DbValue::Of(std::string(" 17")), FieldKind::Text), 17);
  try {
    ValueAsInteger(DbValue::Of(std::string("abc")), FieldKind::Text);
    ADD_FAILURE();
  } catch (const DbError& e) {
    EXPECT_STREQ(e.what(), "'abc' is not a valid integer value");
  }
}

TEST_F(DbValues, DatesBeyondTheCalendarReadAsNoDate) {
  const double huge[] = {1e300,
                         -1e300,
                         9.3e18,
                         -9.3e18,
                         9223372036854775807.0,
                         std::numeric_limits<double>::infinity(),
                         2958466.0,
                         -693594.5};
  for (double v : huge) {
    const DbValue stored = DbValue::Of(v);
    EXPECT_TRUE(IsNoValue(stored, FieldKind::DateTime)) << v;
    EXPECT_EQ(ValueAsString(stored, FieldKind::DateTime), "") << v;
    EXPECT_EQ(ValueAsDateTime(stored, FieldKind::DateTime), 0) << v;
    EXPECT_EQ(ValueAsInteger(stored, FieldKind::DateTime), 0) << v;
    // Read as a date from a computed column, which has no kind: no date either.
    EXPECT_EQ(ValueAsDateTime(stored, FieldKind::Unknown), 0) << v;
  }
  for (int64_t v : {std::numeric_limits<int64_t>::max(), std::numeric_limits<int64_t>::min(),
                    int64_t{9000000000000000000}, int64_t{2958466}, int64_t{-693594}}) {
    const DbValue stored = DbValue::Of(v);
    EXPECT_TRUE(IsNoValue(stored, FieldKind::DateTime)) << v;
    EXPECT_EQ(ValueAsString(stored, FieldKind::DateTime), "") << v;
    EXPECT_EQ(ValueAsDateTime(stored, FieldKind::DateTime), 0) << v;
    // The same number in a number column is a number.
    EXPECT_FALSE(IsNoValue(stored, FieldKind::Integer));
    EXPECT_EQ(ValueAsInteger(stored, FieldKind::Integer), v);
  }
  // The first and the last day of the calendar are dates.
  EXPECT_EQ(ValueAsString(DbValue::Of(int64_t{-693593}), FieldKind::DateTime), "01.01.0001");
  EXPECT_EQ(ValueAsString(DbValue::Of(2958465.5), FieldKind::DateTime), "31.12.9999 12:00:00.000");
  EXPECT_FALSE(IsNoValue(DbValue::Of(2958465.5), FieldKind::DateTime));
  // A huge number in a number column cannot be read as a whole number.
  EXPECT_THROW(ValueAsInteger(DbValue::Of(1e300), FieldKind::Integer), DbError);
}

}  // namespace
}  // namespace parlevo::db
