#include "platform/db_translate.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace parlevo::db {
namespace {

using ::testing::HasSubstr;

std::string Sql(std::string_view jet) {
  const Translation t = TranslateJetSql(jet);
  EXPECT_EQ(t.statements.size(), 1u);
  return t.statements.front();
}

std::string FailureOf(std::string_view jet) {
  try {
    TranslateJetSql(jet);
  } catch (const DbError& e) {
    return e.what();
  }
  return "(translated)";
}

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

TEST(JetTranslation, DefinitionsInTheEnginesTerms) {
  EXPECT_EQ(Sql("CREATE TABLE conferenceRecurrences (RecurrenceId COUNTER PRIMARY KEY NOT NULL, "
                "room TEXT, startdate DATE, Daily INT, flag BIT, Version TEXT(20), "
                "[from] DATETIME, n LONG INTEGER DEFAULT \"5\")"),
            "CREATE TABLE \"conferenceRecurrences\" (\"RecurrenceId\" INTEGER PRIMARY KEY "
            "AUTOINCREMENT NOT NULL, \"room\" TEXT COLLATE NOCASE, \"startdate\" DATE, \"Daily\" "
            "INT, \"flag\" BIT NOT NULL DEFAULT 0, \"Version\" TEXT(20) COLLATE NOCASE, \"from\" "
            "DATETIME, \"n\" LONG INTEGER DEFAULT '5')");

  Translation t = TranslateJetSql(
      "ALTER TABLE conferences ADD COLUMN RecurrenceId INT, COLUMN PinHost INT, COLUMN Flag BIT");
  EXPECT_EQ(t.kind, StatementKind::Alter);
  EXPECT_THAT(t.statements,
              ::testing::ElementsAre("ALTER TABLE \"conferences\" ADD COLUMN \"RecurrenceId\" INT",
                                     "ALTER TABLE \"conferences\" ADD COLUMN \"PinHost\" INT",
                                     "ALTER TABLE \"conferences\" ADD COLUMN \"Flag\" BIT NOT NULL "
                                     "DEFAULT 0"));
  EXPECT_EQ(Sql("ALTER TABLE [members] ADD COLUMN [language] TEXT(20)"),
            "ALTER TABLE \"members\" ADD COLUMN \"language\" TEXT(20) COLLATE NOCASE");
  EXPECT_EQ(Sql("ALTER TABLE SchemaVersion ALTER COLUMN Version TEXT(20)"),
            "SELECT \"Version\" FROM \"SchemaVersion\" LIMIT 0");
  EXPECT_EQ(Sql("ALTER TABLE conferenceRecurrences DROP COLUMN MonthlyDay"),
            "ALTER TABLE \"conferenceRecurrences\" DROP COLUMN \"MonthlyDay\"");
  EXPECT_THAT(FailureOf("ALTER TABLE t ADD COLUMN id COUNTER"), HasSubstr("counter"));
  EXPECT_THAT(FailureOf("ALTER TABLE t ADD CONSTRAINT pk PRIMARY KEY (a)"),
              HasSubstr("CONSTRAINT"));
}

TEST(JetTranslation, WhatCannotBeTranslatedFailsClearly) {
  EXPECT_EQ(FailureOf("DELETE FROM t WHERE a=1; DROP TABLE t"),
            "Characters found after end of SQL statement.");
  EXPECT_NO_THROW(TranslateJetSql("DELETE FROM t WHERE a=1;"));
  EXPECT_THAT(FailureOf("SELECT * FROM t WHERE a=?"), HasSubstr("'?'"));
  EXPECT_THAT(FailureOf("SELECT * FROM t WHERE a=:x"), HasSubstr("':'"));
  EXPECT_THAT(FailureOf("SELECT * FROM t WHERE a=$x"), HasSubstr("'$'"));
  EXPECT_THAT(FailureOf("SELECT a % 2 FROM t"), HasSubstr("'%'"));
  EXPECT_THAT(FailureOf("SELECT @x FROM t"), HasSubstr("'@'"));
  EXPECT_THAT(FailureOf("SELECT \"abc FROM t"), HasSubstr("unterminated text literal"));
  EXPECT_THAT(FailureOf("SELECT [abc FROM t"), HasSubstr("unterminated bracketed name"));
  EXPECT_THAT(FailureOf("SELECT (a FROM t"), HasSubstr("unbalanced"));
  EXPECT_THAT(FailureOf("PRAGMA writable_schema=1"), HasSubstr("not supported"));
  EXPECT_THAT(FailureOf("ATTACH DATABASE 'x' AS y"), HasSubstr("not supported"));
  EXPECT_EQ(FailureOf(std::string_view("SELECT \"a\0b\" FROM t", 20)),
            "The statement contains a NUL character.");
  EXPECT_EQ(FailureOf("   "), "The statement is empty.");
  EXPECT_EQ(Sql("SELECT 1 / * FROM t"), "SELECT ? / * FROM t");  // never a comment
}

}  // namespace
}  // namespace parlevo::db
