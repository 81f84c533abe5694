#include "platform/datetime_parse.h"

#include <gtest/gtest.h>

namespace parlevo {
namespace {

TEST(DateTimeText, ParsesTheTextsClientsSend) {
  auto p = ParseDateTimeText("2026-03-07");
  ASSERT_TRUE(p);
  EXPECT_EQ(p->value, EncodeDate(2026, 3, 7));
  EXPECT_FALSE(p->has_time);

  p = ParseDateTimeText("2026-03-07T10:30:00.5+01:00");
  ASSERT_TRUE(p);
  EXPECT_EQ(*p->offset, 60);
  EXPECT_EQ(DecodeDateTime(p->value).millisecond, 500);

  p = ParseDateTimeText(" 07.03.2026 10:30 ");
  ASSERT_TRUE(p);
  EXPECT_EQ(p->value, EncodeDate(2026, 3, 7) + EncodeTime(10, 30, 0, 0));

  p = ParseDateTimeText("2026-03-07 10:30:00Z");
  ASSERT_TRUE(p);
  EXPECT_EQ(*p->offset, 0);

  p = ParseDateTimeText("10:30:15");
  ASSERT_TRUE(p);
  EXPECT_FALSE(p->has_date);
  EXPECT_EQ(p->value, EncodeTime(10, 30, 15, 0));

  p = ParseDateTimeText("46088.25");
  ASSERT_TRUE(p);
  EXPECT_EQ(p->value, 46088.25);

  for (const char* bad : {"", "2026-02-30", "31.02.2026", "tomorrow", "2026-03-07 25:00",
                          "07.03.2026x", "1 OR 1=1", "1e5"}) {
    EXPECT_FALSE(ParseDateTimeText(bad)) << bad;
  }
}

TEST(DateTimeText, FractionsAndZonesAreReadToTheirLimits) {
  auto p = ParseDateTimeText("\t2026-03-07t10:30:00,12345-0230\r\n");
  ASSERT_TRUE(p);
  EXPECT_EQ(DecodeDateTime(p->value).millisecond, 123);
  EXPECT_EQ(*p->offset, -150);
  p = ParseDateTimeText("07.03.2026   10:30:15.7");
  ASSERT_TRUE(p);
  EXPECT_EQ(DecodeDateTime(p->value).millisecond, 700);
  EXPECT_FALSE(p->offset);
  for (const char* bad : {"2026-03-07T10:30:00+24:00", "2026-03-07T10:30:00.", "10:30:", "1.5",
                          "07.03.26", "2026-03-07T"}) {
    EXPECT_FALSE(ParseDateTimeText(bad)) << bad;
  }
}

}  // namespace
}  // namespace parlevo
