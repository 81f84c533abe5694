#include "service/database.h"
#include "tests/deadline.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <set>
#include <thread>

namespace parlevo {
namespace {

using ::testing::HasSubstr;

TEST(ConnectionString, BuiltFromTheInstallPath) {
  EXPECT_EQ(GetConnectionString("/opt/zyntparlevo/"),
            "Provider=Microsoft.Jet.OLEDB.4.0;Data Source=/opt/zyntparlevo/Database/"
            "conference.mdb;Mode=ReadWrite|Share Deny None;Persist Security Info=False");
  EXPECT_EQ(GetConnectionString("/opt/zyntparlevo"), GetConnectionString("/opt/zyntparlevo/"));
  EXPECT_EQ(GetConnectionString(""), "");
  EXPECT_EQ(db::DataSourceOf(GetConnectionString("/srv/p")), "/srv/p/Database/conference.mdb");
}

class Database : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/parlevo-access-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
    connstr_ = GetConnectionString(dir_);
    std::filesystem::create_directories(dir_ + "/Database");
    db::CreateDatabaseFile(DatabasePath(dir_));
    Run("CREATE TABLE rooms (name TEXT, directdial TEXT, pin TEXT)", false);
    Run("CREATE TABLE members (ID COUNTER PRIMARY KEY NOT NULL, name TEXT, email TEXT)", false);
  }
  void TearDown() override {
    db::CloseIdleConnections();
    std::filesystem::remove_all(dir_);
  }

  bool Run(const std::string& sql, bool is_select, std::string* error = nullptr) {
    std::unique_ptr<TADOQuery> query;
    std::string msg;
    const bool ok = ConnectToADODB(query, connstr_, sql, is_select, msg);
    if (error) *error = msg;
    return ok;
  }

  std::string dir_;
  std::string connstr_;
};

TEST_F(Database, OutcomesOfStatements) {
  std::unique_ptr<TADOQuery> query;
  std::string error;
  EXPECT_TRUE(ConnectToADODB(query, connstr_, "INSERT INTO [rooms] VALUES (\"R\", \"100\", \"1\")",
                             false, error));
  EXPECT_EQ(error, "");

  // A select without rows succeeds; the caller finds the end at once.
  EXPECT_TRUE(ConnectToADODB(query, connstr_, "SELECT * FROM rooms WHERE pin=\"2\"", true, error));
  ASSERT_NE(query, nullptr);
  EXPECT_TRUE(query->Eof());

  // An update that matches no row fails without a message.
  EXPECT_FALSE(ConnectToADODB(query, connstr_,
                              "UPDATE [rooms] SET name=\"X\",  pin=\"1\" WHERE directdial=\"999\"",
                              false, error));
  EXPECT_EQ(error, "");
  EXPECT_NE(query, nullptr) << "no failure of the engine: the caller releases the query";

  // A syntax error fails with the engine's message and leaves no query.
  EXPECT_TRUE(ConnectToADODB(query, connstr_, "Select * FROM [rooms]", true, error));
  EXPECT_FALSE(ConnectToADODB(query, connstr_, "SELECT * FORM rooms", true, error));
  EXPECT_EQ(error, "near \"FORM\": syntax error");
  EXPECT_EQ(query, nullptr);

  // Definitions report no changed row.
  error.clear();
  EXPECT_FALSE(ConnectToADODB(query, connstr_, "CREATE TABLE t (a INT)", false, error));
  EXPECT_EQ(error, "");

  EXPECT_FALSE(Run("SELECT Nz(a) FROM t", true, &error));
  EXPECT_EQ(error, "Undefined function 'Nz' in expression.");
}

TEST_F(Database, ABadConnectionStringFailsClearly) {
  std::unique_ptr<TADOQuery> query = std::make_unique<TADOQuery>();
  std::string error;
  EXPECT_FALSE(ConnectToADODB(query, "", "SELECT * FROM rooms", true, error));
  EXPECT_THAT(error, HasSubstr("connection string is empty"));
  EXPECT_EQ(query, nullptr);
  EXPECT_FALSE(ConnectToADODB(query, "Provider=X;Mode=Read", "SELECT * FROM rooms", true, error));
  EXPECT_THAT(error, HasSubstr("no database file"));
  EXPECT_FALSE(
      ConnectToADODB(query, GetConnectionString(dir_ + "/elsewhere"), "SELECT 1", true, error));
  EXPECT_THAT(error, HasSubstr("Could not find file"));
}

TEST_F(Database, TheTableTest) {
  EXPECT_TRUE(TableExistsADO(connstr_, "rooms"));  // empty, but there
  EXPECT_FALSE(TableExistsADO(connstr_, "SchemaVersion"));
  EXPECT_FALSE(TableExistsADO("", "rooms"));
  EXPECT_EQ(CurrentConnectionString(), "");
}

TEST_F(Database, TheKeyOfTheInsertJustExecuted) {
  std::unique_ptr<TADOQuery> query;
  std::string error;
  int id = -1;
  EXPECT_FALSE(GetAutoWert(query, id, error));
  EXPECT_THAT(error, HasSubstr("No query"));
  for (int expected = 1; expected <= 2; ++expected) {
    ASSERT_TRUE(ConnectToADODB(query, connstr_,
                               "INSERT INTO [members] ([name],[email]) VALUES(\"A\", \"a@x\")",
                               false, error));
    ASSERT_TRUE(GetAutoWert(query, id, error)) << error;
    EXPECT_EQ(id, expected);
    FreeADOQuery(query);
    EXPECT_EQ(query, nullptr);
    FreeADOQuery(query);  // twice is harmless
  }
}

// Request threads and the worker threads use the file at the same time, each statement on a
// connection of its own.
TEST_F(Database, ManyThreadsAtOnceLoseNothing) {
  testing_support::TWatchdog dog("the concurrent inserting threads");
  constexpr int kThreads = 32;
  constexpr int kInsertsPerThread = 25;
  std::vector<std::vector<int>> keys(kThreads);
  std::vector<std::string> errors(kThreads);
  std::atomic<int> ready{0};
  {
    std::vector<std::jthread> threads;
    for (int t = 0; t < kThreads; ++t) {
      threads.emplace_back([&, t] {
        ++ready;
        while (ready.load() < kThreads) std::this_thread::yield();
        for (int i = 0; i < kInsertsPerThread; ++i) {
          std::unique_ptr<TADOQuery> query;
          std::string error;
          const std::string name = "t" + std::to_string(t);
          if (!ConnectToADODB(query, connstr_,
                              "INSERT INTO [members] ([name],[email]) VALUES(\"" + name + "\", \"" +
                                  std::to_string(i) + "\")",
                              false, error)) {
            errors[t] += "insert: " + error + "; ";
            continue;
          }
          int id = 0;
          if (!GetAutoWert(query, id, error)) errors[t] += "key: " + error + "; ";
          keys[t].push_back(id);
          if (!ConnectToADODB(query, connstr_,
                              "SELECT count(*) as n FROM [members] WHERE name=\"" + name + "\"",
                              true, error)) {
            errors[t] += "select: " + error + "; ";
          } else if (query->FieldByName("n").AsInteger() != i + 1) {
            errors[t] += "count " + query->FieldByName("n").AsString() + "; ";
          }
          FreeADOQuery(query);
        }
      });
    }
  }
  std::set<int> all;
  for (int t = 0; t < kThreads; ++t) {
    EXPECT_EQ(errors[t], "") << "thread " << t;
    all.insert(keys[t].begin(), keys[t].end());
  }
  EXPECT_EQ(all.size(), static_cast<size_t>(kThreads * kInsertsPerThread));
  std::unique_ptr<TADOQuery> query;
  std::string error;
  ASSERT_TRUE(ConnectToADODB(query, connstr_, "SELECT count(*) as n FROM members", true, error));
  EXPECT_EQ(query->FieldByName("n").AsInteger(), kThreads * kInsertsPerThread);
}

}  // namespace
}  // namespace parlevo
