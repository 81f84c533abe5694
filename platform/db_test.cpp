#include "platform/db.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>

#include "platform/db_test_support.h"

namespace parlevo::db {
namespace {

using ::testing::HasSubstr;

TEST(DbConnectionString, NamesTheDataSource) {
  EXPECT_EQ(DataSourceOf("Provider=Microsoft.Jet.OLEDB.4.0;Data Source=/opt/z/Database/"
                         "conference.mdb;Mode=ReadWrite|Share Deny None;Persist Security "
                         "Info=False"),
            "/opt/z/Database/conference.mdb");
  EXPECT_EQ(DataSourceOf("data source = \"/a b/c.mdb\" ;"), "/a b/c.mdb");
  try {
    DataSourceOf("");
    ADD_FAILURE();
  } catch (const DbError& e) {
    EXPECT_THAT(e.what(), HasSubstr("connection string is empty"));
  }
  EXPECT_THROW(DataSourceOf("Provider=Microsoft.Jet.OLEDB.4.0;Mode=Read"), DbError);
  EXPECT_THROW(DataSourceOf("Data Source=;"), DbError);
}

TEST_F(DbFile, MissingFileFailsAsJetDoes) {
  TADOConnection c;
  try {
    c.Open("Data Source=" + dir_ + "/nothing.mdb");
    ADD_FAILURE();
  } catch (const DbError& e) {
    EXPECT_EQ(std::string(e.what()), "Could not find file '" + dir_ + "/nothing.mdb'.");
  }
  EXPECT_FALSE(c.Connected());
  EXPECT_THROW(CreateDatabaseFile(path_), DbError);  // exists already
}

TEST_F(DbFile, StatementsReportChangedRowsOnly) {
  CreateMembers();
  EXPECT_EQ(Exec("INSERT INTO members (name) VALUES (\"A\")"), 1);
  EXPECT_EQ(Exec("INSERT INTO members (name) VALUES (\"B\")"), 1);
  EXPECT_EQ(Exec("UPDATE members SET visits=3 WHERE name=\"nobody\""), 0);
  EXPECT_EQ(Exec("UPDATE members SET visits=3"), 2);
  // A definition after a data statement reports no rows, not the earlier count.
  EXPECT_EQ(Exec("ALTER TABLE members ADD COLUMN extra TEXT"), 0);
  EXPECT_EQ(Exec("SELECT * FROM members"), 0);  // not run as a data statement
  EXPECT_EQ(Exec("DELETE * FROM members WHERE name=\"A\""), 1);
  EXPECT_THAT(ErrorOf("UPDTE members SET visits=1"), HasSubstr("not supported"));
  EXPECT_EQ(ErrorOf("UPDATE members SET visits=1 WHERE WHERE"), "near \"WHERE\": syntax error");
  EXPECT_EQ(ErrorOf("UPDATE members SET [nope]=1"), "no such column: nope");
  EXPECT_THAT(ErrorOf("SELECT * FROM nowhere"), ::testing::StrEq("(no error)"));
  try {
    Open("SELECT * FROM nowhere");
    ADD_FAILURE();
  } catch (const DbError& e) {
    EXPECT_STREQ(e.what(), "no such table: nowhere");
  }
  EXPECT_THROW(Open("DELETE FROM members"), DbError);
}

TEST_F(DbFile, KeysComeFromTheInsertOfTheSameConnectionAndAreNeverReused) {
  CreateMembers();
  TADOQuery q;
  q.Connection().Open(connstr_);
  q.Open("SELECT @@IDENTITY AS NewID");
  EXPECT_EQ(q.FieldByName("NewID").AsInteger(), 0);  // nothing inserted on this connection
  for (int i = 1; i <= 3; ++i) {
    q.ExecSQL("INSERT INTO members (name) VALUES (\"x\")");
    q.Open("SELECT @@IDENTITY AS NewID");
    EXPECT_EQ(q.FieldByName("newid").AsInteger(), i);
  }
  q.ExecSQL("DELETE FROM members WHERE ID=3");
  q.ExecSQL("INSERT INTO members (name) VALUES (\"y\")");
  q.Open("SELECT @@IDENTITY AS NewID");
  EXPECT_EQ(q.FieldByName("NewID").AsInteger(), 4);
  // Another connection, perhaps reusing this engine handle later, starts without a key.
  q.Connection().Close();
  TADOQuery other;
  other.Connection().Open(connstr_);
  other.Open("SELECT @@IDENTITY AS NewID");
  EXPECT_EQ(other.FieldByName("NewID").AsInteger(), 0);
}

TEST_F(DbFile, ValuesKeepTheirKindsAndCompareAsJetDoes) {
  CreateMembers();
  // A value equal to a column name is a value; a doubled quote is one quote.
  Exec(
      "INSERT INTO members (name, email, born, vip, visits) VALUES (\"email\", \"A@B.example\", "
      "\"07.03.2026 10:30\", 1, NULL)");
  Exec("INSERT INTO members VALUES (NULL, \"say \"\"hi\"\"\", 'x@y', #2026-3-8#, false, 2)");
  auto q = Open("SELECT * FROM members WHERE name=\"email\"");
  ASSERT_EQ(q->RecordCount(), 1u);
  EXPECT_EQ(q->FieldByName("NAME").AsString(), "email");
  EXPECT_EQ(q->FieldByName("email").AsString(), "A@B.example");
  EXPECT_EQ(q->FieldByName("vip").AsString(), "Wahr");
  EXPECT_TRUE(q->FieldByName("vip").AsBoolean());
  EXPECT_EQ(q->FieldByName("born").AsString(), "07.03.2026 10:30:00.000");
  EXPECT_TRUE(q->FieldByName("visits").IsNull());
  EXPECT_EQ(q->FieldByName("visits").AsString(), "");
  try {
    q->FieldByName("nope");
    ADD_FAILURE();
  } catch (const DbError& e) {
    EXPECT_STREQ(e.what(), "Field 'nope' not found");
  }

  q = Open("SELECT name, born, vip FROM members WHERE email=\"a@b.EXAMPLE\" OR ID=2 ORDER BY ID");
  ASSERT_EQ(q->RecordCount(), 2u);  // text compares without regard to case
  q->Next();
  EXPECT_EQ(q->FieldByName("name").AsString(), "say \"hi\"");
  EXPECT_EQ(q->FieldByName("born").AsString(), "08.03.2026");
  EXPECT_EQ(q->FieldByName("vip").AsString(), "Falsch");
  q->Next();
  EXPECT_TRUE(q->Eof());
  EXPECT_THROW(q->FieldByName("name").AsString(), DbError);

  // Flags are -1, dates are day numbers: comparisons, ranges, MAX and ordering work.
  EXPECT_EQ(Open("SELECT * FROM members WHERE vip <> -1")->RecordCount(), 1u);
  EXPECT_EQ(Open("SELECT * FROM members WHERE vip=true")->RecordCount(), 1u);
  EXPECT_EQ(Open("SELECT * FROM members WHERE born>=46088.4 AND born<#2026-3-9#")->RecordCount(),
            2u);
  q = Open("SELECT MAX(born) AS latest FROM members");
  EXPECT_DOUBLE_EQ(q->FieldByName("latest").AsDateTime(), 46089);
  q = Open("SELECT name FROM members ORDER BY born DESC");
  EXPECT_EQ(q->FieldByName("name").AsString(), "say \"hi\"");
}

TEST_F(DbFile, AValueThatDoesNotFitChangesNothing) {
  CreateMembers();
  Exec("INSERT INTO members (name, born, visits) VALUES (\"A\", \"2026-03-07\", 1)");
  try {
    Exec("UPDATE members SET visits=5, born=\"next tuesday\" WHERE name=\"A\"");
    ADD_FAILURE();
  } catch (const DbError& e) {
    EXPECT_STREQ(e.what(), "Data type mismatch in criteria expression.");
  }
  EXPECT_THROW(Exec("INSERT INTO members (name, visits) VALUES (\"B\", \"many\")"), DbError);
  auto q = Open("SELECT * FROM members");
  ASSERT_EQ(q->RecordCount(), 1u);
  EXPECT_EQ(q->FieldByName("visits").AsInteger(), 1);
  EXPECT_EQ(q->FieldByName("born").AsDateTime(), 46088);
}

TEST_F(DbFile, AnEmptyTextIsNoDateOrNumberButNullIs) {
  CreateMembers();
  Exec("INSERT INTO members (name, born, visits) VALUES (\"A\", \"2026-03-07\", 1)");
  for (const char* sql : {"UPDATE members SET born=\"\" WHERE name=\"A\"",
                          "UPDATE members SET born=\" \" WHERE name=\"A\"",
                          "UPDATE members SET visits=\"\" WHERE name=\"A\"",
                          "INSERT INTO members (name, born) VALUES (\"B\", \"\")"}) {
    try {
      Exec(sql);
      ADD_FAILURE() << sql;
    } catch (const DbError& e) {
      EXPECT_STREQ(e.what(), "Data type mismatch in criteria expression.") << sql;
    }
  }
  EXPECT_EQ(Exec("UPDATE members SET born=NULL, visits=NULL WHERE name=\"A\""), 1);
  auto q = Open("SELECT * FROM members");
  ASSERT_EQ(q->RecordCount(), 1u);
  EXPECT_TRUE(q->FieldByName("born").IsNull());
  EXPECT_TRUE(q->FieldByName("visits").IsNull());
}

TEST_F(DbFile, RowsAreReadWholeSoTheWalkMayChangeThem) {
  CreateMembers();
  for (int i = 0; i < 5; ++i) Exec("INSERT INTO members (name, visits) VALUES (\"m\", 0)");
  auto q = Open("SELECT ID FROM members");
  TADOQuery writer;
  writer.Connection().Open(connstr_);
  int walked = 0;
  for (; !q->Eof(); q->Next(), ++walked) {
    EXPECT_EQ(writer.ExecSQL("UPDATE members SET visits=visits+1 WHERE ID=" +
                             q->FieldByName("ID").AsString()),
              1);
    writer.ExecSQL("INSERT INTO members (name, visits) VALUES (\"new\", 0)");
  }
  EXPECT_EQ(walked, 5);
  EXPECT_EQ(Open("SELECT count(*) AS n FROM members WHERE visits=1")->FieldByName("n").AsInteger(),
            5);
}

TEST_F(DbFile, ColumnsOfTheSameNameAnswerToTheirTable) {
  CreateMembers();
  Exec("CREATE TABLE conferenceMembers (memberID INT, email BIT, [min] DATETIME)");
  Exec("INSERT INTO members (name, email) VALUES (\"A\", \"a@x\")");
  Exec("INSERT INTO conferenceMembers VALUES (1, true, \"07.03.2026 10:00\")");
  auto q = Open(
      "SELECT conferenceMembers.*, members.* FROM conferenceMembers INNER JOIN members "
      "ON conferenceMembers.memberID = members.ID");
  EXPECT_EQ(q->FieldByName("conferenceMembers.email").AsString(), "Wahr");
  EXPECT_EQ(q->FieldByName("MEMBERS.EMAIL").AsString(), "a@x");
  EXPECT_EQ(q->FieldByName("email").AsString(), "Wahr");  // the first of that name
  EXPECT_EQ(q->FieldByName("min").AsString(), "07.03.2026 10:00:00.000");
  // Through parenthesised joins the columns keep their names too.
  Exec("CREATE TABLE conferences (ID COUNTER PRIMARY KEY, name TEXT)");
  Exec("INSERT INTO conferences (name) VALUES (\"C\")");
  q = Open(
      "SELECT conferenceMembers.*, members.* FROM conferences AS l RIGHT JOIN "
      "((conferenceMembers INNER JOIN conferences ON conferenceMembers.memberID = "
      "conferences.ID) INNER JOIN members ON conferenceMembers.memberID = members.ID) ON "
      "l.ID = conferenceMembers.memberID");
  EXPECT_EQ(q->FieldByName("ID").AsInteger(), 1);
  EXPECT_EQ(q->FieldByName("name").AsString(), "A");
  EXPECT_EQ(q->FieldByName("members.email").AsString(), "a@x");
  q = Open("SELECT [members].name AS memberName FROM [members]");
  EXPECT_EQ(q->FieldByName("memberName").AsString(), "A");
  EXPECT_EQ(q->FieldByName("members.name").AsString(), "A");
}

TEST_F(DbFile, DefinitionsOfSeveralColumnsAreAllOrNothing) {
  CreateMembers();
  EXPECT_THROW(Exec("ALTER TABLE members ADD COLUMN a INT, COLUMN name TEXT"), DbError);
  EXPECT_THROW(Open("SELECT a FROM members"), DbError);
  Exec("ALTER TABLE members ADD COLUMN a INT, COLUMN b BIT");
  Exec("INSERT INTO members (name) VALUES (\"A\")");
  auto q = Open("SELECT a, b FROM members");
  EXPECT_TRUE(q->FieldByName("a").IsNull());
  EXPECT_EQ(q->FieldByName("b").AsString(), "Falsch");  // a flag is never empty
  Exec("ALTER TABLE members ALTER COLUMN a TEXT(20)");  // sizes are not kept: nothing to do
  EXPECT_THROW(Exec("ALTER TABLE members ALTER COLUMN nope TEXT(20)"), DbError);
  Exec("ALTER TABLE members DROP COLUMN a");
  EXPECT_THROW(Open("SELECT a FROM members"), DbError);
  TADOConnection c;
  c.Open(connstr_);
  EXPECT_THAT(c.GetTableNames(), ::testing::ElementsAre("members"));
}

TEST_F(DbFile, ARolledBackDefinitionLeavesNoTrace) {
  CreateMembers();
  {
    TADOQuery q;
    q.Connection().Open(connstr_);
    q.Connection().BeginTrans();
    q.ExecSQL("ALTER TABLE members ADD COLUMN since DATE");
    q.ExecSQL("INSERT INTO members (name, since) VALUES (\"A\", \"07.03.2026\")");
    q.Connection().RollbackTrans();
    EXPECT_FALSE(q.Connection().InTransaction());
  }
  // The column comes back as text: what was known about the rolled-back one must not apply.
  Exec("ALTER TABLE members ADD COLUMN since TEXT");
  Exec("INSERT INTO members (name, since) VALUES (\"B\", \"soon\")");
  auto q = Open("SELECT * FROM members");
  ASSERT_EQ(q->RecordCount(), 1u);
  EXPECT_EQ(q->FieldByName("since").AsString(), "soon");

  // A connection closed inside its transaction rolls it back.
  {
    TADOQuery t;
    t.Connection().Open(connstr_);
    t.Connection().BeginTrans();
    t.ExecSQL("DELETE FROM members");
  }
  EXPECT_EQ(Open("SELECT * FROM members")->RecordCount(), 1u);
}

}  // namespace
}  // namespace parlevo::db
