// The test fixture of the database layer's tests: a new, empty database file in a folder of its
// own, removed again with every engine handle kept for it.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <string_view>

#include "platform/db.h"

namespace parlevo::db {

class DbFile : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/parlevo-db-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
    path_ = dir_ + "/conference.mdb";
    connstr_ = "Provider=Microsoft.Jet.OLEDB.4.0;Data Source=" + path_ +
               ";Mode=ReadWrite|Share Deny None;Persist Security Info=False";
    CreateDatabaseFile(path_);
  }
  void TearDown() override {
    CloseIdleConnections();
    std::filesystem::remove_all(dir_);
  }

  int64_t Exec(std::string_view sql) {
    TADOQuery q;
    q.Connection().Open(connstr_);
    return q.ExecSQL(sql);
  }

  std::unique_ptr<TADOQuery> Open(std::string_view sql) {
    auto q = std::make_unique<TADOQuery>();
    q->Connection().Open(connstr_);
    q->Open(sql);
    return q;
  }

  std::string ErrorOf(std::string_view sql) {
    try {
      Exec(sql);
    } catch (const DbError& e) {
      return e.what();
    }
    return "(no error)";
  }

  void CreateMembers() {
    Exec(
        "CREATE TABLE members (ID COUNTER PRIMARY KEY NOT NULL, name TEXT(255), email TEXT, "
        "born DATE, vip BIT, visits INT)");
  }

  std::string dir_;
  std::string path_;
  std::string connstr_;
};

}  // namespace parlevo::db
