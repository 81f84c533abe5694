#include "conferences/action_query.h"

#include <gtest/gtest.h>

#include "conferences/conference_test_support.h"

namespace parlevo {
namespace {

using ActionQuery = testing_support::InstallFolderTest;

TEST_F(ActionQuery, RunsStatementsAndReadsTheNewKey) {
  TActionQuery query(connect_str_);
  std::string error;
  ASSERT_TRUE(query.Run("INSERT INTO [conferences] (room) VALUES (\"1\")", false, error)) << error;
  int id = 0;
  ASSERT_TRUE(query.AutoWert(id, error)) << error;
  EXPECT_EQ(std::to_string(id), Scalar("SELECT MAX(ID) FROM [conferences]"));
  // A change of no row fails without a message; a broken statement with the engine's.
  EXPECT_FALSE(query.Run("DELETE FROM [conferences] WHERE ID=0", false, error));
  EXPECT_EQ(error, "");
  EXPECT_FALSE(query.Run("SELECT FROM WHERE", true, error));
  EXPECT_NE(error, "");
  ASSERT_TRUE(query.Run("SELECT room FROM [conferences]", true, error));
  EXPECT_EQ(query.Rows().FieldByName("room").AsString(), "1");
}

TEST_F(ActionQuery, NoInstallPathGivesNoConnectionAndFailingStatements) {
  {
    TRegistry registry;
    ASSERT_TRUE(registry.OpenKey(kParlevoRegistryKey, false));
    registry.DeleteValue("InstallPath");
  }
  EXPECT_EQ(UseConnectionString(), "");
  EXPECT_EQ(CurrentConnectionString(), "");
  TActionQuery query(UseConnectionString());
  std::string error;
  EXPECT_FALSE(query.Run("SELECT * FROM [rooms]", true, error));
  EXPECT_NE(error, "");
}

}  // namespace
}  // namespace parlevo
