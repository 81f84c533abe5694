#include "platform/db_text_sizes.h"

#include <gtest/gtest.h>

#include <string>

#include "platform/db_test_support.h"

namespace parlevo::db {
namespace {

TEST(DeclaredTextSize, OnlySizedTextsHaveOne) {
  EXPECT_EQ(DeclaredTextSize("TEXT(255)"), 255);
  EXPECT_EQ(DeclaredTextSize("text ( 20 )"), 20);
  EXPECT_EQ(DeclaredTextSize("VARCHAR(50)"), 50);
  for (const char* none : {"TEXT", "MEMO", "INT(11)", "LONG INTEGER", "DATETIME", "TEXT(0)",
                           "TEXT(-1)", "TEXT(abc)", "TEXT(255", "TEXT(9999999999)", ""}) {
    EXPECT_FALSE(DeclaredTextSize(none).has_value()) << none;
  }
}

class TextSizes : public DbFile {
 protected:
  // The rows of the one-column select as texts.
  std::vector<std::string> Column(std::string_view sql) {
    std::vector<std::string> values;
    for (auto q = Open(sql); !q->Eof(); q->Next()) values.push_back(q->Fields(0).AsString());
    return values;
  }

  // The file as another writer, or an earlier version of the service, reaches it.
  void Outside(const std::string& sql) {
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(path_.c_str(), &db), SQLITE_OK);
    char* error = nullptr;
    const int rc = sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &error);
    outside_error_ = error ? error : "";
    sqlite3_free(error);
    sqlite3_close(db);
    if (rc == SQLITE_OK) outside_error_.clear();
  }

  std::string outside_error_;
};

TEST_F(TextSizes, LongerTextsAreRefusedWithJetsMessageHoweverTheyArrive) {
  Exec("CREATE TABLE rooms (name TEXT(5), directdial TEXT(3), note TEXT, visits INT)");
  const std::string too_small(kFieldTooSmall);
  EXPECT_EQ(Exec("INSERT INTO rooms (name, directdial) VALUES (\"12345\", \"100\")"), 1);
  // Characters count, not bytes.
  EXPECT_EQ(Exec("INSERT INTO rooms (name, directdial) VALUES (\"äöüßé\", \"\")"), 1);
  EXPECT_EQ(ErrorOf("INSERT INTO rooms (name) VALUES (\"123456\")"), too_small);
  EXPECT_EQ(ErrorOf("INSERT INTO rooms VALUES (\"\", \"1000\", \"\", 1)"), too_small);
  EXPECT_EQ(ErrorOf("INSERT INTO rooms (directdial) VALUES (1000)"), too_small);
  EXPECT_EQ(ErrorOf("INSERT INTO rooms (name) SELECT name & \"x\" FROM rooms"), too_small);
  EXPECT_EQ(ErrorOf("UPDATE rooms SET name=\"abcdef\" WHERE directdial=\"100\""), too_small);
  EXPECT_EQ(ErrorOf("UPDATE rooms SET name=name & name"), too_small);
  // A text without a size takes any length.
  EXPECT_EQ(Exec("UPDATE rooms SET note=\"" + std::string(10000, 'n') + "\""), 2);
  EXPECT_EQ(Column("SELECT name FROM rooms ORDER BY name"),
            (std::vector<std::string>{"12345", "äöüßé"}));

  // Another writer meets the same rule.
  Outside("INSERT INTO rooms (name) VALUES ('toolong')");
  EXPECT_EQ(outside_error_, too_small);
  EXPECT_EQ(Column("SELECT COUNT(*) FROM rooms"), (std::vector<std::string>{"2"}));

  // A column added later is held to its size; one dropped no longer is, and takes its rule along.
  Exec("ALTER TABLE rooms ADD COLUMN [language] TEXT(2), COLUMN extra TEXT(1)");
  EXPECT_EQ(ErrorOf("UPDATE rooms SET [language]=\"ger\""), too_small);
  EXPECT_EQ(Exec("ALTER TABLE rooms DROP COLUMN directdial"), 0);
  EXPECT_EQ(ErrorOf("UPDATE rooms SET name=\"123456\""), too_small);
  EXPECT_EQ(Exec("UPDATE rooms SET [language]=\"de\", visits=2"), 2);
}

TEST_F(TextSizes, AFileMadeWithoutTheRuleGetsItOnFirstUse) {
  // As an earlier version left it: the tables, with rows already too long, and no rule.
  Outside(
      "CREATE TABLE members (ID INTEGER PRIMARY KEY AUTOINCREMENT NOT NULL, name TEXT(4) "
      "COLLATE NOCASE, email TEXT COLLATE NOCASE);"
      "INSERT INTO members (name) VALUES ('already long')");
  ASSERT_EQ(outside_error_, "");
  EXPECT_EQ(Exec("INSERT INTO members (name) VALUES (\"Anna\")"), 1);
  EXPECT_EQ(ErrorOf("INSERT INTO members (name) VALUES (\"Annabel\")"),
            std::string(kFieldTooSmall));
  // What was stored before stays readable and changeable where the change keeps to the rule.
  EXPECT_EQ(Exec("UPDATE members SET email=\"a@example.test\""), 2);
  EXPECT_EQ(Column("SELECT name FROM members ORDER BY ID"),
            (std::vector<std::string>{"already long", "Anna"}));
}

TEST_F(TextSizes, ChecksFollowTheColumnsAndAreWrittenOnce) {
  Exec("CREATE TABLE a (x TEXT(3), y INT)");
  Exec("CREATE TABLE b (z TEXT)");
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open(path_.c_str(), &db), SQLITE_OK);
  EXPECT_TRUE(TextSizeCheckChanges(db).empty());
  // The rule of a table changed behind its back is found and made right again.
  ASSERT_EQ(sqlite3_exec(db, "DROP TRIGGER jet_text_size_update_a", nullptr, nullptr, nullptr),
            SQLITE_OK);
  EXPECT_EQ(TextSizeCheckChanges(db, "a").size(), 1u);
  EXPECT_TRUE(TextSizeCheckChanges(db, "b").empty());
  EXPECT_TRUE(EnsureTextSizeChecks(db));
  EXPECT_TRUE(TextSizeCheckChanges(db).empty());
  DropTextSizeChecks(db, "a");
  EXPECT_EQ(TextSizeCheckChanges(db).size(), 2u);
  sqlite3_close(db);

  // A read-only file takes no text at all: nothing to hold to a size, nothing written.
  ASSERT_EQ(sqlite3_open_v2(path_.c_str(), &db, SQLITE_OPEN_READONLY, nullptr), SQLITE_OK);
  EXPECT_FALSE(EnsureTextSizeChecks(db));
  EXPECT_EQ(TextSizeCheckChanges(db).size(), 2u);
  sqlite3_close(db);
}

}  // namespace
}  // namespace parlevo::db
