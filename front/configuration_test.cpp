#include "front/configuration.h"

#include <gtest/gtest.h>

#include "front/front_test_support.h"

namespace parlevo {
namespace {

using ConfigurationTest = InstallFolderTest;

TEST_F(ConfigurationTest, ValuesLiveUnderTheServiceKey) {
  EXPECT_EQ(ReadConfigString("Language"), "");  // a missing text reads as empty
  WriteConfigString("Language", "eng");
  EXPECT_EQ(ReadConfigString("LANGUAGE"), "eng");
  EXPECT_NE(ReadFile("registry.reg")
                .find("[HKEY_LOCAL_MACHINE\\SOFTWARE\\Orvalen\\Parlevo for "
                      "ZyntWare]"),
            std::string::npos);
}

TEST_F(ConfigurationTest, IntegerReadsFailOnMissingOrTextValues) {
  EXPECT_ANY_THROW(ReadConfigInteger("TimeShowMode"));
  WriteConfigString("TimeShowMode", "24");
  EXPECT_ANY_THROW(ReadConfigInteger("TimeShowMode"));
  TRegistry registry;
  registry.OpenKey(kConfigurationKey, true);
  registry.WriteInteger("TimeShowMode", 24);
  EXPECT_EQ(ReadConfigInteger("TimeShowMode"), 24);
}

}  // namespace
}  // namespace parlevo
