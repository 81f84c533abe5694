#include "platform/jet_tokens.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "platform/jet_test_support.h"

namespace parlevo::db {
namespace {

using ::testing::HasSubstr;

TEST(JetTranslation, LiteralsBecomeParametersAndNeverColumns) {
  const Translation t = TranslateJetSql(
      "SELECT * FROM [members] WHERE name=\"name\" AND sex='He''s' AND title=\"a\"\"b\"");
  EXPECT_EQ(t.statements[0], "SELECT * FROM \"members\" WHERE name = ? AND sex = ? AND title = ?");
  ASSERT_EQ(t.parameters.size(), 3u);
  EXPECT_EQ(t.parameters[0].value, DbValue::Of(std::string("name")));
  EXPECT_EQ(t.parameters[1].value, DbValue::Of(std::string("He's")));
  EXPECT_EQ(t.parameters[2].value, DbValue::Of(std::string("a\"b")));
  EXPECT_FALSE(t.parameters[0].HasTarget());
}

TEST(JetTranslation, TextInsideLiteralsIsNeverTouched) {
  const Translation t = TranslateJetSql(
      "UPDATE [rooms] SET name=\"#2009-1-1# [x] TRUE @@IDENTITY; -- /*\" "
      "WHERE directdial=\"1\"");
  EXPECT_EQ(t.statements[0], "UPDATE \"rooms\" SET name = ? WHERE directdial = ?");
  EXPECT_EQ(t.parameters[0].value.text, "#2009-1-1# [x] TRUE @@IDENTITY; -- /*");
}

TEST(JetTranslation, DateLiteralsAreDayNumbers) {
  const Translation t = TranslateJetSql(
      "Select * FROM conferences WHERE starttime>=#2009-12-01# AND starttime<#2026-3-7# AND "
      "endtime<#12/31/2009 10:30#");
  ASSERT_EQ(t.parameters.size(), 3u);
  EXPECT_EQ(t.parameters[0].value, DbValue::Of(EncodeDate(2009, 12, 1)));
  EXPECT_EQ(t.parameters[1].value, DbValue::Of(46088.0));
  EXPECT_EQ(t.parameters[2].value, DbValue::Of(EncodeDate(2009, 12, 31) + 10.5 / 24));
  EXPECT_THAT(FailureOf("SELECT * FROM t WHERE d = #2009-13-01#"), HasSubstr("date"));
}

TEST(JetTokens, QuotesAndNamesAreReadWhole) {
  const std::vector<jet::Token> t = jet::Tokenize("[a b]=`c`&'it''s'\t#1/2/2003#\n.5e3 @@IDENTITY");
  ASSERT_EQ(t.size(), 8u);
  EXPECT_EQ(t[0].type, jet::TokType::Name);
  EXPECT_EQ(t[0].text, "a b");
  EXPECT_EQ(t[2].text, "c");
  EXPECT_EQ(t[3].text, "&");
  EXPECT_EQ(t[4].type, jet::TokType::Text);
  EXPECT_EQ(t[4].text, "it's");
  EXPECT_EQ(t[5].type, jet::TokType::Date);
  EXPECT_EQ(t[5].text, "1/2/2003");
  EXPECT_EQ(t[6].type, jet::TokType::Number);
  EXPECT_EQ(t[7].type, jet::TokType::Identity);
  EXPECT_TRUE(jet::IsWord({jet::TokType::Word, "sElEcT"}, "SELECT"));
  EXPECT_FALSE(jet::IsWord({jet::TokType::Name, "SELECT"}, "SELECT"));
  EXPECT_THROW(jet::Tokenize(std::string_view("a\0b", 3)), DbError);
  EXPECT_THROW(jet::Tokenize("'open"), DbError);
}

}  // namespace
}  // namespace parlevo::db
