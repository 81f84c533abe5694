#include "webservice/front/soap_impl.h"

#include <gtest/gtest.h>

#include <stdexcept>

#include "webservice/front/configuration.h"
#include "webservice/front/front_test_support.h"

namespace parlevo {
namespace {

class SoapImplTest : public InstallFolderTest {
 protected:
  void SetUp() override {
    InstallFolderTest::SetUp();
    WriteFile("Templates/ger/language/language.xml",
              "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\r\n<language>\r\n  <translation>"
              "<ger>Deutsch</ger><eng>Englisch</eng></translation>\n</language>\r\n");
    WriteFile("Templates/eng/language/language.xml",
              "<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?>\n<language><translation>"
              "<ger>German</ger><eng>English</eng><fra>Fran\xe7"
              "ais</fra></translation>"
              "</language>\n");
  }
  void SetInteger(const char* name, int value) {
    TRegistry registry;
    registry.OpenKey(kConfigurationKey, true);
    registry.WriteInteger(name, value);
  }
  TZYNTConferenceService service_;
};

TEST_F(SoapImplTest, GetLanguageJoinsTheLinesOfTheFile) {
  const std::string german = service_.GetLanguage("ger");
  EXPECT_EQ(german,
            "<?xml version=\"1.0\" encoding=\"UTF-8\"?><language>  <translation><ger>Deutsch</ger>"
            "<eng>Englisch</eng></translation></language>");
  WriteConfigString("Language", "ger");
  EXPECT_EQ(service_.GetLanguage(""), german);
  EXPECT_NE(service_.GetLanguage("eng").find("Fran\xc3\xa7"
                                             "ais"),
            std::string::npos);
  EXPECT_NE(ReadFile("debug/log.txt").find("<eng>Englisch</eng>"), std::string::npos);
}

TEST_F(SoapImplTest, GetLanguageFailsWithoutAFile) {
  EXPECT_THROW(service_.GetLanguage("fra"), std::runtime_error);
  EXPECT_THROW(service_.GetLanguage("../ger"), std::runtime_error);
  EXPECT_THROW(service_.GetLanguage(""), std::runtime_error);  // no "Language" configured
}

TEST_F(SoapImplTest, TranslateLanguageCode) {
  EXPECT_EQ(service_.TranslateLanguageCode("eng", "ger"), "Englisch");
  EXPECT_EQ(service_.TranslateLanguageCode("ENG", "ger"), "Englisch");
  EXPECT_EQ(service_.TranslateLanguageCode("xx", "ger"), "");
  EXPECT_THROW(service_.TranslateLanguageCode("eng", "fra"), std::runtime_error);
  EXPECT_THROW(service_.TranslateLanguageCode("eng", "ger/.."), std::runtime_error);
  EXPECT_NE(ReadFile("debug/log.txt").find("Templates/ger/language/language.xml"),
            std::string::npos);
}

TEST_F(SoapImplTest, GetAmPmFollowsTimeShowMode) {
  const std::string missing =
      "<?xml version=\"1.0\" encoding=\"utf-8\"?><response><type>getAmPm</type><useAmPm>false"
      "</useAmPm><result><code>1</code><description>TimeShowMode missing in Registry. Start "
      "Config tool to fix this error.</description></result></response>";
  EXPECT_EQ(service_.getAmPm(), missing);
  SetInteger("TimeShowMode", 24);
  EXPECT_EQ(service_.getAmPm(),
            "<?xml version=\"1.0\" encoding=\"utf-8\"?><response><type>getAmPm</type><useAmPm>"
            "false</useAmPm><result><code>0</code></result></response>");
  SetInteger("TimeShowMode", 12);
  EXPECT_NE(service_.getAmPm().find("<useAmPm>true</useAmPm><result><code>0</code>"),
            std::string::npos);
  SetInteger("TimeShowMode", 0);
  EXPECT_NE(service_.getAmPm().find("<useAmPm>true</useAmPm>"), std::string::npos);
}

}  // namespace
}  // namespace parlevo
