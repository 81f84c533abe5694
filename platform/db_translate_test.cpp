#include "platform/db_translate.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "platform/jet_test_support.h"

namespace parlevo::db {
namespace {

using ::testing::HasSubstr;

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
