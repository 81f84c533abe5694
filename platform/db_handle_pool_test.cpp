#include "platform/db_handle_pool.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <future>
#include <thread>

#include "platform/db_test_support.h"

namespace parlevo::db {
namespace {

using ::testing::HasSubstr;

TEST_F(DbFile, HandlesAreReusedUntilTheSchemaChanges) {
  FileState file(path_);
  std::unique_ptr<Handle> first = file.Checkout();
  sqlite3* const engine = first->db;
  file.Checkin(std::move(first));
  EXPECT_TRUE(file.HasIdle());

  std::unique_ptr<Handle> again = file.Checkout();
  EXPECT_EQ(again->db, engine);
  EXPECT_FALSE(file.HasIdle());

  // A handle of an older generation is neither kept nor handed out again.
  const uint64_t generation = file.SchemaChanged();
  EXPECT_GT(generation, again->generation);
  file.Checkin(std::move(again));
  EXPECT_FALSE(file.HasIdle());
  EXPECT_EQ(file.Checkout()->generation, generation);
}

TEST_F(DbFile, AHandleComesBackWithoutItsTransaction) {
  CreateMembers();
  FileState file(path_);
  std::unique_ptr<Handle> handle = file.Checkout();
  ASSERT_EQ(sqlite3_exec(handle->db, "BEGIN; DELETE FROM members;", nullptr, nullptr, nullptr),
            SQLITE_OK);
  file.Checkin(std::move(handle));
  handle = file.Checkout();
  EXPECT_TRUE(sqlite3_get_autocommit(handle->db));
}

TEST_F(DbFile, ColumnKindsAreKeptOnlyWhenAsked) {
  CreateMembers();
  FileState file(path_);
  std::unique_ptr<Handle> handle = file.Checkout();
  auto unkept = file.TableInfoFor(*handle, "Members", false);
  ASSERT_EQ(unkept->columns.size(), 6u);
  EXPECT_EQ(unkept->columns[1].first, "name");
  EXPECT_EQ(unkept->columns[3].second, FieldKind::DateTime);
  EXPECT_NE(file.TableInfoFor(*handle, "members", true), unkept);
  auto kept = file.TableInfoFor(*handle, "members", true);
  EXPECT_EQ(file.TableInfoFor(*handle, "MEMBERS", true), kept);
  // A table that does not exist has no kinds to keep.
  EXPECT_TRUE(file.TableInfoFor(*handle, "nothing", true)->columns.empty());
}

TEST_F(DbFile, AMissingFileIsNotCreated) {
  FileState file(dir_ + "/missing.mdb");
  try {
    file.Checkout();
    ADD_FAILURE();
  } catch (const DbError& e) {
    EXPECT_THAT(e.what(), HasSubstr("Could not find file '" + dir_ + "/missing.mdb'."));
  }
  EXPECT_FALSE(std::filesystem::exists(dir_ + "/missing.mdb"));
}

TEST_F(DbFile, AReplacedFileIsNeverConfusedWithTheOldOne) {
  CreateMembers();
  Exec("INSERT INTO members (name) VALUES (\"A\")");
  std::filesystem::remove(path_);
  std::filesystem::remove(path_ + "-wal");
  std::filesystem::remove(path_ + "-shm");
  try {
    Open("SELECT * FROM members");
    ADD_FAILURE();
  } catch (const DbError& e) {
    EXPECT_THAT(e.what(), HasSubstr("Could not find file"));
  }
  CreateDatabaseFile(path_);
  Exec("CREATE TABLE members (ID COUNTER PRIMARY KEY, name DATE)");
  EXPECT_THROW(Exec("INSERT INTO members (name) VALUES (\"A\")"), DbError);  // a date column now
  EXPECT_EQ(Open("SELECT * FROM members")->RecordCount(), 0u);
}

// Another process's write lock, as an administrator's shell holds it: a raw engine connection
// with an open write transaction.
class ForeignLock {
 public:
  explicit ForeignLock(const std::string& path) {
    EXPECT_EQ(sqlite3_open(path.c_str(), &db_), SQLITE_OK);
    EXPECT_EQ(sqlite3_exec(db_, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr), SQLITE_OK);
  }
  ~ForeignLock() { sqlite3_close(db_); }
  void Release() { sqlite3_exec(db_, "COMMIT", nullptr, nullptr, nullptr); }

 private:
  sqlite3* db_ = nullptr;
};

using std::chrono::steady_clock;

TEST_F(DbFile, AWriteWaitsForAShortForeignTransaction) {
  CreateMembers();
  ForeignLock lock(path_);
  auto release = std::async(std::launch::async, [&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    lock.Release();
  });
  EXPECT_EQ(Exec("INSERT INTO members (name) VALUES (\"A\")"), 1);
  release.get();
  // A later wait on the same (reused) handle has its full time again.
  ForeignLock again(path_);
  auto release_again = std::async(std::launch::async, [&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    again.Release();
  });
  EXPECT_EQ(Exec("INSERT INTO members (name) VALUES (\"B\")"), 1);
  release_again.get();
}

TEST_F(DbFile, AWriteGivesUpOnAForeignLockWithTheEnginesMessage) {
  CreateMembers();
  ForeignLock lock(path_);
  const auto began = steady_clock::now();
  EXPECT_THAT(ErrorOf("INSERT INTO members (name) VALUES (\"A\")"),
              HasSubstr("database is locked"));
  // The retries after the engine's own wait share its time: one wait, not several in a row.
  const auto waited = steady_clock::now() - began;
  EXPECT_GE(waited, kLockWait);
  EXPECT_LT(waited, 2 * kLockWait);
}

TEST_F(DbFile, AStopEndsLockWaitsAtOnce) {
  CreateMembers();
  Exec("INSERT INTO members (name) VALUES (\"kept\")");
  ForeignLock lock(path_);
  const auto waiting = [this](bool in_transaction) {
    return std::async(std::launch::async, [this, in_transaction] {
      const auto began = steady_clock::now();
      std::string error = "(no error)";
      try {
        TADOQuery q;
        q.Connection().Open(connstr_);
        if (in_transaction) q.Connection().BeginTrans();
        q.ExecSQL("INSERT INTO members (name) VALUES (\"late\")");
        if (in_transaction) q.Connection().CommitTrans();
      } catch (const DbError& e) {
        error = e.what();
      }
      return std::make_pair(error, steady_clock::now() - began);
    });
  };
  auto plain = waiting(false);
  auto transaction = waiting(true);
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  SetLockWaitsInterrupted(true);
  for (auto* write : {&plain, &transaction}) {
    const auto [error, waited] = write->get();
    EXPECT_THAT(error, HasSubstr("database is locked"));
    EXPECT_LT(waited, kLockWait / 2);
  }
  // Without a foreign lock, statements still run while waits are interrupted.
  lock.Release();
  EXPECT_EQ(Exec("UPDATE members SET visits = 1"), 1);
  SetLockWaitsInterrupted(false);
  auto rows = Open("SELECT name FROM members");
  ASSERT_EQ(rows->RecordCount(), 1u);
  EXPECT_EQ(rows->FieldByName("name").AsString(), "kept");
}

}  // namespace
}  // namespace parlevo::db
