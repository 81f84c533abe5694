#include "platform/db_handle_pool.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>

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

}  // namespace
}  // namespace parlevo::db
