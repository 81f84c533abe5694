// What the tests of the Jet statement translation share: the one SQLite text of a statement, and
// the message of a statement that cannot be translated.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <string_view>

#include "platform/db_translate.h"

namespace parlevo::db {

inline std::string Sql(std::string_view jet) {
  const Translation t = TranslateJetSql(jet);
  EXPECT_EQ(t.statements.size(), 1u);
  return t.statements.front();
}

inline std::string FailureOf(std::string_view jet) {
  try {
    TranslateJetSql(jet);
  } catch (const DbError& e) {
    return e.what();
  }
  return "(translated)";
}

}  // namespace parlevo::db
