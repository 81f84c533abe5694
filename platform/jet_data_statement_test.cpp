#include "platform/jet_data_statement.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "platform/jet_test_support.h"

namespace parlevo::db {
namespace {

using ::testing::HasSubstr;

TEST(JetTranslation, NamesReservedBySqliteAreQuoted) {
  EXPECT_EQ(Sql("SELECT name FROM [languageid] WHERE default=true"),
            "SELECT name FROM \"languageid\" WHERE \"default\" = (-1)");
  EXPECT_EQ(Sql("SELECT [members].name, [conferenceMemberLog].from, conferenceMemberLog.to, "
                "conferenceMemberLog.FROM FROM `conferenceMemberLog`, [members]"),
            "SELECT \"members\".\"name\", \"conferenceMemberLog\".\"from\", "
            "conferenceMemberLog.\"to\", conferenceMemberLog.\"FROM\" FROM "
            "\"conferenceMemberLog\", \"members\"");
  EXPECT_EQ(Sql("SELECT conferenceMembers.* FROM conferenceMembers ORDER BY "
                "conferenceMembers.[memberID] ASC"),
            "SELECT conferenceMembers.* FROM conferenceMembers ORDER BY "
            "conferenceMembers.\"memberID\" ASC");
}

TEST(JetTranslation, JetFunctionsAndKeywords) {
  EXPECT_EQ(Sql("SELECT @@IDENTITY AS NewID"), "SELECT last_insert_rowid() AS NewID");
  const Translation t =
      TranslateJetSql("UPDATE members SET [language] = IIF(IsNull([language]),\"ger\",[language])");
  EXPECT_EQ(t.statements[0],
            "UPDATE members SET \"language\" = iif((-((\"language\") IS NULL)), ?, \"language\")");
  EXPECT_FALSE(t.parameters[0].HasTarget());  // an expression, not a value of its own
  EXPECT_EQ(Sql("DELETE * FROM conferenceRecurrences WHERE RecurrenceId = 5"),
            "DELETE FROM conferenceRecurrences WHERE RecurrenceId = ?");
  EXPECT_EQ(Sql("DELETE [t].* FROM t"), "DELETE FROM t");
  EXPECT_EQ(Sql("SELECT a & \"x\", b MOD 2, Count(*) as n, UCase(c) FROM t"),
            "SELECT a || ?, b % ?, count(*) as n, upper(c) FROM t");
  EXPECT_EQ(FailureOf("SELECT Nz(a, 0) FROM t"), "Undefined function 'Nz' in expression.");
  EXPECT_EQ(FailureOf("SELECT Date() FROM t"), "Undefined function 'Date' in expression.");
}

TEST(JetTranslation, TopBecomesLimit) {
  EXPECT_EQ(Sql("SELECT TOP 15  a FROM t WHERE x IS NULL"),
            "SELECT a FROM t WHERE x IS NULL LIMIT 15");
  EXPECT_EQ(Sql("SELECT TOP 0 a FROM t WHERE NOT x IS NULL ORDER BY   t.from DESC "),
            "SELECT a FROM t WHERE NOT x IS NULL ORDER BY t.\"from\" DESC LIMIT 0");
  EXPECT_EQ(Sql("SELECT DISTINCT TOP 3 a FROM t"), "SELECT DISTINCT a FROM t LIMIT 3");
  EXPECT_THAT(FailureOf("SELECT a FROM t WHERE b IN (SELECT TOP 1 b FROM u)"),
              HasSubstr("outermost SELECT"));
  EXPECT_THAT(FailureOf("SELECT TOP 10 PERCENT a FROM t"), HasSubstr("PERCENT"));
}

TEST(JetTranslation, NumbersAreValuesExceptColumnPositions) {
  const Translation t =
      TranslateJetSql("SELECT a, 46088.4166666667 FROM t WHERE 1=0 OR b=-3 ORDER BY 2, 1");
  EXPECT_EQ(t.statements[0], "SELECT a, ? FROM t WHERE ? = ? OR b = - ? ORDER BY 2, 1");
  EXPECT_EQ(t.parameters[0].value, DbValue::Of(46088.4166666667));
  EXPECT_EQ(t.parameters[1].value, DbValue::Of(int64_t{1}));
  EXPECT_EQ(t.parameters[3].value, DbValue::Of(int64_t{3}));
  // Jet has no comments: a doubled minus is two minus signs.
  EXPECT_EQ(Sql("SELECT 5--1 FROM t"), "SELECT ? - - ? FROM t");
}

TEST(JetTranslation, LikeMatchesWithEscapes) {
  EXPECT_EQ(Sql("SELECT * FROM [conferenceMembers] WHERE memberID LIKE \"7\" AND pin like \"1\""),
            "SELECT * FROM \"conferenceMembers\" WHERE memberID LIKE ? ESCAPE '\\' AND pin like ? "
            "ESCAPE '\\'");
  EXPECT_EQ(Sql("SELECT * FROM t WHERE a NOT LIKE b"), "SELECT * FROM t WHERE a NOT LIKE b");
  EXPECT_EQ(Sql("SELECT * FROM t WHERE (a LIKE \"x\") OR a LIKE \"y\" & c"),
            "SELECT * FROM t WHERE (a LIKE ? ESCAPE '\\') OR a LIKE ? || c");
}

TEST(JetTranslation, ValuesRememberTheColumnTheyAreWrittenInto) {
  Translation t = TranslateJetSql(
      "INSERT INTO [conferences] (room, name, [date]) VALUES (\"100\", \"A\", #2026-3-7#)");
  ASSERT_EQ(t.parameters.size(), 3u);
  EXPECT_EQ(t.parameters[2].table, "conferences");
  EXPECT_EQ(t.parameters[2].column, "date");

  t = TranslateJetSql(
      "INSERT INTO [conferenceMembers] VALUES (7, 12, true, false, \"ger\", "
      "NULL, -1, (1+2))");
  EXPECT_EQ(t.statements[0],
            "INSERT INTO \"conferenceMembers\" VALUES (?, ?, (-1), 0, ?, ?, ?, (? + ?))");
  ASSERT_EQ(t.parameters.size(), 7u);
  EXPECT_EQ(t.parameters[0].position, 0);
  EXPECT_EQ(t.parameters[2].position, 4);
  EXPECT_EQ(t.parameters[3].position, 5);
  EXPECT_TRUE(t.parameters[3].value.IsNull());
  EXPECT_EQ(t.parameters[4].position, 6);
  EXPECT_EQ(t.parameters[4].value, DbValue::Of(int64_t{-1}));
  EXPECT_FALSE(t.parameters[5].HasTarget());

  t = TranslateJetSql(
      "UPDATE [conferences] SET room=\"1\",  RecurrenceID=\"-1\", "
      "t.PinHost=-5, name=name WHERE ID=3");
  EXPECT_EQ(t.statements[0],
            "UPDATE \"conferences\" SET room = ?, RecurrenceID = ?, t.\"PinHost\" = ?, name = name "
            "WHERE ID = ?");
  EXPECT_EQ(t.parameters[1].column, "RecurrenceID");
  EXPECT_EQ(t.parameters[2].column, "PinHost");
  EXPECT_EQ(t.parameters[2].value, DbValue::Of(int64_t{-5}));
  EXPECT_FALSE(t.parameters[3].HasTarget());  // the WHERE value
}

}  // namespace
}  // namespace parlevo::db
