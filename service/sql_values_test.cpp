#include "service/sql_values.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "service/database.h"
#include "service/schema.h"

namespace parlevo {
namespace {

TEST(SqlValues, SlotsTakeOnlyWhatFitsThem) {
  EXPECT_EQ(SqlText("a\"b"), "\"a\"\"b\"");
  EXPECT_EQ(SqlText(""), "\"\"");

  EXPECT_EQ(SqlInt("5"), "5");
  EXPECT_EQ(SqlInt(" 12 "), "12");
  EXPECT_EQ(SqlInt("-1"), "-1");
  EXPECT_EQ(SqlInt("+007"), "7");
  EXPECT_EQ(SqlInt("-0"), "0");
  EXPECT_EQ(SqlInt("9223372036854775807"), "9223372036854775807");
  for (const char* bad : {"", " ", "-", "1 OR 1=1", "1.5", "0x10", "5;", "1e3",
                          "9223372036854775808", "99999999999999999999999"}) {
    EXPECT_FALSE(SqlInt(bad).has_value()) << bad;
  }

  EXPECT_EQ(SqlFlag("TRUE"), "true");
  EXPECT_EQ(SqlFlag("-1"), "true");
  EXPECT_EQ(SqlFlag("1"), "true");
  EXPECT_EQ(SqlFlag("False"), "false");
  EXPECT_EQ(SqlFlag(" 0 "), "false");
  for (const char* bad : {"", "yes", "2", "true OR 1=1", "Wahr"}) {
    EXPECT_FALSE(SqlFlag(bad).has_value()) << bad;
  }

  EXPECT_EQ(SqlLikeText("50%_a\\b\"*?#["), "\"50\\%\\_a\\\\b\"\"*?#[\"");
  EXPECT_EQ(SqlIntError("KonferenzID", "1 OR 1=1"),
            "Invalid value for KonferenzID: \"1 OR 1=1\" is not a whole number.");
  EXPECT_EQ(SqlFlagError("gastgeber", "maybe"),
            "Invalid value for gastgeber: \"maybe\" is not a flag (true or false).");
}

class SqlValuesInStatements : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/parlevo-values-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
    connstr_ = GetConnectionString(dir_);
    ASSERT_TRUE(UpdateDB(connstr_));
  }
  void TearDown() override {
    db::CloseIdleConnections();
    std::filesystem::remove_all(dir_);
  }

  bool Run(const std::string& sql, bool is_select, std::unique_ptr<TADOQuery>& query) {
    std::string error;
    const bool ok = ConnectToADODB(query, connstr_, sql, is_select, error);
    EXPECT_EQ(error, "") << sql;
    return ok;
  }

  int64_t Count(const std::string& where) {
    std::unique_ptr<TADOQuery> q;
    if (!Run("SELECT count(*) AS n FROM [members] WHERE " + where, true, q)) return -1;
    return q->FieldByName("n").AsInteger();
  }

  std::string dir_;
  std::string connstr_;
};

TEST_F(SqlValuesInStatements, TextsAreStoredExactlyAsSent) {
  const std::string values[] = {
      "\"",         "\"\"",         "'",          "x\" OR \"1\"=\"1",
      "a\", \"b",   "#2009-1-1#",   "[name]",     "back\\slash",
      "50 %",       "line\r\nnext", "Müller",     "-- ;DROP TABLE members",
      "@@IDENTITY", "name",         "  blanks  ", "?:$x"};
  std::unique_ptr<TADOQuery> q;
  for (const std::string& v : values) {
    ASSERT_TRUE(
        Run("INSERT INTO [members] ([name],[email]) VALUES(" + SqlText(v) + ", \"x\")", false, q))
        << v;
  }
  ASSERT_TRUE(Run("SELECT name FROM [members] ORDER BY ID", true, q));
  for (const std::string& v : values) {
    ASSERT_FALSE(q->Eof());
    EXPECT_EQ(q->FieldByName("name").AsString(), v);
    q->Next();
  }
  // Each one also finds itself, and only itself.
  for (const std::string& v : values) {
    EXPECT_EQ(Count("name=" + SqlText(v)), 1) << v;
  }
}

TEST_F(SqlValuesInStatements, LikeMatchesOnlyTheExactText) {
  const std::string values[] = {"a%", "ab", "a_c", "abc", "a\\c", "a*", "a?", "a#", "[a]", "a"};
  std::unique_ptr<TADOQuery> q;
  for (const std::string& v : values) {
    ASSERT_TRUE(Run("INSERT INTO [members] ([name]) VALUES(" + SqlText(v) + ")", false, q));
  }
  for (const std::string& v : values) {
    ASSERT_TRUE(Run("SELECT name FROM [members] WHERE name LIKE " + SqlLikeText(v), true, q));
    ASSERT_EQ(q->RecordCount(), 1u) << v;
    EXPECT_EQ(q->FieldByName("name").AsString(), v);
  }
}

TEST_F(SqlValuesInStatements, AnIdSlotTakesNoStatement) {
  std::unique_ptr<TADOQuery> q;
  for (int i = 0; i < 3; ++i) {
    ASSERT_TRUE(Run("INSERT INTO [members] ([name]) VALUES(\"m\")", false, q));
  }
  const std::string request_value = "1 OR 1=1";
  const auto id = SqlInt(request_value);
  ASSERT_FALSE(id.has_value());  // the statement is never built: nothing is deleted
  EXPECT_EQ(Count("1=1"), 3);
  // A whole number goes in and removes its row only.
  ASSERT_TRUE(Run("Delete FROM [members] WHERE ID=" + *SqlInt(" 2 "), false, q));
  EXPECT_EQ(Count("1=1"), 2);
  // A flag slot: only true or false reach the statement.
  ASSERT_TRUE(
      Run("UPDATE [members] SET HideFromAddressbook=" + *SqlFlag("-1") + " WHERE ID=1", false, q));
  EXPECT_EQ(Count("HideFromAddressbook=true"), 1);
}

}  // namespace
}  // namespace parlevo
