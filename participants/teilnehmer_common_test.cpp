#include "participants/teilnehmer_common.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "participants/teilnehmer_test_support.h"
#include "platform/ascii_text.h"
#include "platform/random.h"

namespace parlevo::teilnehmer {
namespace {

TEST(FlagTexts, ReadFlagsBecomeLiteralsAndNullCountsAsFalse) {
  EXPECT_EQ(NormaliseFlagText("Wahr"), "-1");
  EXPECT_EQ(NormaliseFlagText("WAHR"), "-1");
  EXPECT_EQ(NormaliseFlagText("1"), "-1");
  EXPECT_EQ(NormaliseFlagText("-1"), "-1");
  EXPECT_EQ(NormaliseFlagText("Falsch"), "0");
  EXPECT_EQ(NormaliseFlagText("0"), "0");
  EXPECT_EQ(NormaliseFlagText(""), "0");
  EXPECT_EQ(NormaliseFlagText("vielleicht"), "vielleicht");
  EXPECT_EQ(FlagText(true), "-1");
  EXPECT_EQ(FlagText(false), "0");
}

TEST(FlagTexts, AttendanceStatusFromJoinAndLeave) {
  EXPECT_EQ(AttendanceStatus("", ""), "0");
  EXPECT_EQ(AttendanceStatus("", "07.03.2026"), "0");
  EXPECT_EQ(AttendanceStatus("07.03.2026 10:00:00.000", ""), "2");
  EXPECT_EQ(AttendanceStatus("07.03.2026 10:00:00.000", "07.03.2026 10:05:00.000"), "1");
}

TEST(Slots, OnlyWholeNumbersAndFlagsPass) {
  EXPECT_EQ(IntSlot("KonferenzID", " 42 "), "42");
  EXPECT_THROW(IntSlot("KonferenzID", "42 OR 1=1"), TRejectedValue);
  EXPECT_THROW(IntSlot("KonferenzID", ""), TRejectedValue);
  try {
    IntSlot("KonferenzID", "x");
    FAIL();
  } catch (const TRejectedValue& e) {
    EXPECT_THAT(e.what(), ::testing::HasSubstr("KonferenzID"));
  }
  EXPECT_EQ(FlagSlot("gastgeber", "TRUE"), "true");
  EXPECT_EQ(FlagSlot("gastgeber", "-1"), "true");
  EXPECT_EQ(FlagSlot("gastgeber", "0"), "false");
  EXPECT_THROW(FlagSlot("gastgeber", "true, pin=\"00000\""), TRejectedValue);
  EXPECT_TRUE(EqualsIgnoreCaseAscii("KonferenzIDVon", "konferenzidvon"));
  EXPECT_FALSE(EqualsIgnoreCaseAscii("KonferenzIDVon", "KonferenzID"));
}

using MemberPins = testing_support::MemberDatabaseTest;

TEST_F(MemberPins, FreePinsAreFiveDigitsAndNeverTaken) {
  SeedRandomForTesting(7);
  TActionTrace trace("Teilnehmer::Test");
  // Take the first PINs the seeded generator will offer, so the search must pass them by.
  std::vector<std::string> offered;
  for (int i = 0; i < 5; ++i) offered.push_back(GenerateRandomPin());
  SeedRandomForTesting(7);
  for (const std::string& pin : offered) {
    Exec("INSERT INTO [conferenceMembers] (memberID, conferenceID, pin) VALUES (1, 1, \"" + pin +
         "\")");
  }
  SeedRandomForTesting(7);
  const TStatementValue<std::string> pin = ChooseFreeMemberPin(trace);
  ASSERT_TRUE(pin) << pin.message();
  EXPECT_EQ(pin.value().size(), 5u);
  EXPECT_THAT(offered, ::testing::Not(::testing::Contains(*pin)));
}

}  // namespace
}  // namespace parlevo::teilnehmer
