#include "service/action_statement.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/db_test_support.h"

namespace parlevo {
namespace {

class ActionStatement : public db::DbFile {
 protected:
  void SetUp() override {
    db::DbFile::SetUp();
    Exec("CREATE TABLE members (ID COUNTER PRIMARY KEY NOT NULL, name TEXT)");
  }

  std::vector<std::string> traced_;
};

TEST_F(ActionStatement, TracesEachStatementBeforeItRunsAndReportsTheOutcome) {
  TActionStatement statement(connstr_, [&](std::string_view sql) { traced_.emplace_back(sql); });
  ASSERT_TRUE(statement.Run("INSERT INTO [members] (name) VALUES (\"Erika\")", false));
  const TStatementValue<int> id = statement.AutoWert();
  ASSERT_TRUE(id) << id.message();
  EXPECT_GT(*id, 0);

  // No row changed: a failure without a message. A broken statement: the engine's message.
  const TStatementStatus none = statement.Run("DELETE FROM [members] WHERE ID=0", false);
  EXPECT_FALSE(none);
  EXPECT_EQ(none.message(), "");
  const TStatementStatus broken = statement.Run("SELECT FROM WHERE", true);
  EXPECT_FALSE(broken);
  EXPECT_NE(broken.message(), "");
  EXPECT_FALSE(statement.HasRows());

  ASSERT_TRUE(statement.Run("SELECT name FROM [members]", true));
  EXPECT_EQ(statement.Rows().FieldByName("name").AsString(), "Erika");
  EXPECT_EQ(traced_, (std::vector<std::string>{"INSERT INTO [members] (name) VALUES (\"Erika\")",
                                               "DELETE FROM [members] WHERE ID=0",
                                               "SELECT FROM WHERE", "SELECT name FROM [members]"}));
}

TEST_F(ActionStatement, FurtherStatementsShareTheFirstOnesConnection) {
  TActionStatement statement(connstr_, [&](std::string_view sql) { traced_.emplace_back(sql); });
  EXPECT_EQ(statement.RunOnSameConnection("SELECT 1", true).message(), "Not connected to database");
  ASSERT_TRUE(statement.Run("SELECT COUNT(*) AS n FROM [members]", true));
  statement.Rows().Connection().BeginTrans();
  ASSERT_TRUE(
      statement.RunOnSameConnection("INSERT INTO [members] (name) VALUES (\"Max\")", false));
  ASSERT_TRUE(statement.RunOnSameConnection("SELECT COUNT(*) AS n FROM [members]", true));
  EXPECT_EQ(statement.Rows().FieldByName("n").AsString(), "1");
  statement.Rows().Connection().RollbackTrans();
  statement.Release();
  EXPECT_FALSE(statement.HasRows());

  TActionStatement fresh(connstr_);
  ASSERT_TRUE(fresh.Run("SELECT COUNT(*) AS n FROM [members]", true));
  EXPECT_EQ(fresh.Rows().FieldByName("n").AsString(), "0");
  EXPECT_EQ(traced_.size(), 3u);  // the refused statement is not traced
}

TEST_F(ActionStatement, ATransactionKeepsOnlyWhatIsCommitted) {
  const auto count = [this] {
    TActionStatement fresh(connstr_);
    EXPECT_TRUE(fresh.Run("SELECT COUNT(*) AS n FROM [members]", true));
    return fresh.Rows().FieldByName("n").AsString();
  };
  {
    // Begun on a fresh connection; a failing statement keeps the transaction open for the
    // caller to decide, and releasing the query rolls back.
    TActionStatement statement(connstr_);
    ASSERT_TRUE(statement.BeginTransaction());
    ASSERT_TRUE(
        statement.RunOnSameConnection("INSERT INTO [members] (name) VALUES (\"A\")", false));
    const TStatementStatus broken = statement.RunOnSameConnection("SELECT FROM WHERE", true);
    EXPECT_FALSE(broken);
    EXPECT_NE(broken.message(), "");
    EXPECT_TRUE(statement.HasRows());
    EXPECT_TRUE(statement.Rows().Connection().InTransaction());
  }
  EXPECT_EQ(count(), "0");
  {
    // Begun on the connection of a select; committed work stays.
    TActionStatement statement(connstr_);
    ASSERT_TRUE(statement.Run("SELECT * FROM [members]", true));
    ASSERT_TRUE(statement.BeginTransaction());
    ASSERT_TRUE(
        statement.RunOnSameConnection("INSERT INTO [members] (name) VALUES (\"B\")", false));
    ASSERT_TRUE(statement.Commit());
  }
  EXPECT_EQ(count(), "1");
  TActionStatement unopened("");
  EXPECT_NE(unopened.BeginTransaction().message(), "");
  EXPECT_FALSE(unopened.HasRows());
  EXPECT_EQ(unopened.Commit().message(), "Not connected to database");
}

TEST_F(ActionStatement, NoConnectionTextFailsWithAMessage) {
  TActionStatement statement("");
  const TStatementStatus status = statement.Run("SELECT * FROM [members]", true);
  EXPECT_FALSE(status);
  EXPECT_NE(status.message(), "");
  EXPECT_FALSE(statement.AutoWert());
}

}  // namespace
}  // namespace parlevo
