#include "platform/jet_definition.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "platform/jet_test_support.h"

namespace parlevo::db {
namespace {

using ::testing::HasSubstr;

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

}  // namespace
}  // namespace parlevo::db
