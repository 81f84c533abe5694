#include "front/soap_impl.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <stdexcept>

#include <pugixml.hpp>

#include "front/configuration.h"
#include "front/front_test_support.h"
#include "service/database.h"
#include "service/schema.h"
#include "service/sql_values.h"
#include "webservice/base64.h"

namespace parlevo {
namespace {

namespace fs = std::filesystem;

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

// A database file made as a new installation gets it (default language "ger"), brought to the
// current schema.
class SoapImplDatabaseTest : public SoapImplTest {
 protected:
  void SetUp() override {
    SoapImplTest::SetUp();
    WriteConfigString("InstallPath", home_.string() + "/");
    WriteConfigString("Language", "ger");
    connection_ = GetConnectionString(home_.string());
    ASSERT_TRUE(CreateDatabaseIfMissing(connection_));
    ASSERT_TRUE(UpdateDB(connection_));
  }
  void Run(const std::string& sql) {
    std::unique_ptr<TADOQuery> query;
    std::string error;
    ASSERT_TRUE(ConnectToADODB(query, connection_, sql, false, error)) << sql << ": " << error;
    FreeADOQuery(query);
  }
  int AddConference(const std::string& name) {
    std::unique_ptr<TADOQuery> query;
    std::string error;
    EXPECT_TRUE(ConnectToADODB(
        query, connection_,
        "INSERT INTO conferences (room, name) VALUES (\"100\", " + SqlText(name) + ")", false,
        error))
        << error;
    int id = 0;
    EXPECT_TRUE(GetAutoWert(query, id, error)) << error;
    FreeADOQuery(query);
    return id;
  }
  std::string connection_;
};

TEST_F(SoapImplDatabaseTest, LatestVersionIsTheGreatestSchemaVersion) {
  EXPECT_EQ(service_.getLatestVersion(),
            "<?xml version=\"1.0\" encoding=\"utf-8\"?><response><type>version</type>"
            "<latestVersion>2.30</latestVersion></response>");
}

TEST_F(SoapImplDatabaseTest, LatestVersionReportsADatabaseErrorAsWellFormedXml) {
  std::unique_ptr<TADOQuery> query;
  std::string error;
  ConnectToADODB(query, connection_, "DROP TABLE SchemaVersion", false, error);  // no row: false
  FreeADOQuery(query);
  ASSERT_FALSE(TableExistsADO(connection_, "SchemaVersion"));
  const std::string answer = service_.getLatestVersion();
  pugi::xml_document doc;
  ASSERT_TRUE(doc.load_string(answer.c_str())) << answer;
  EXPECT_STREQ(doc.child("response").child("result").child_value("code"), "1");
  EXPECT_STRNE(doc.child("response").child("result").child_value("description"), "");
}

TEST_F(SoapImplDatabaseTest, ConferenceOfAMemberPin) {
  const int sales = AddConference("Sales & <Ops> \"Q3\" M\xc3\xbcnchen");
  const int board = AddConference("Board");
  Run("INSERT INTO conferenceMembers (memberID, conferenceID, host, pin) VALUES (1, " +
      std::to_string(sales) + ", true, \"01234\")");
  Run("INSERT INTO conferenceMembers (memberID, conferenceID, host, pin) VALUES (2, " +
      std::to_string(board) + ", false, \"55555\")");
  EXPECT_EQ(service_.GetConferenceIDFromMemberPIN("01234"),
            "<?xml version=\"1.0\" encoding=\"utf-8\"?><response><id>" + std::to_string(sales) +
                "</id><host>1</host><conferenceName>" +
                Base64Encode("Sales & <Ops> \"Q3\" M\xc3\xbcnchen") +
                "</conferenceName></response>");
  EXPECT_NE(service_.GetConferenceIDFromMemberPIN("55555").find("<host>0</host>"),
            std::string::npos);
  EXPECT_EQ(service_.GetConferenceIDFromMemberPIN("99999"), "-1");
  EXPECT_EQ(service_.GetConferenceIDFromMemberPIN("1234"), "-1");  // leading zero matters
}

TEST_F(SoapImplDatabaseTest, PinsOtherThanDigitsNeverReachTheDatabase) {
  const int sales = AddConference("Sales");
  Run("INSERT INTO conferenceMembers (memberID, conferenceID, host, pin) VALUES (1, " +
      std::to_string(sales) + ", true, \"01234\")");
  for (const char* pin : {"", "01234\" OR \"1\"=\"1", "\" OR 1=1 --", " 01234", "0123a", "-1"}) {
    EXPECT_EQ(service_.GetConferenceIDFromMemberPIN(pin), "-1") << pin;
  }
}

TEST_F(SoapImplDatabaseTest, SharedPinAnswersTheFirstMembership) {
  const int first = AddConference("First");
  const int second = AddConference("Second");
  Run("INSERT INTO conferenceMembers (memberID, conferenceID, host, pin) VALUES (1, " +
      std::to_string(first) + ", false, \"11111\")");
  Run("INSERT INTO conferenceMembers (memberID, conferenceID, host, pin) VALUES (2, " +
      std::to_string(second) + ", false, \"11111\")");
  const std::string answer = service_.GetConferenceIDFromMemberPIN("11111");
  EXPECT_NE(answer.find("<id>" + std::to_string(first) + "</id>"), std::string::npos) << answer;
}

TEST_F(SoapImplDatabaseTest, TemplateLanguagesSortedWithoutGlobal) {
  fs::create_directories(home_ / "Templates/Global/language");
  fs::create_directories(home_ / "Templates/.svn");
  fs::rename(home_ / "Templates/eng", home_ / "Templates/ENG");
  WriteFile("Templates/aaa-empty/readme.txt", "no language file here");
  WriteFile("Templates/notes.txt", "a file, not a folder");
  const std::string head =
      "<?xml version=\"1.0\" encoding=\"iso-8859-1\"?><templatelanguages><type>"
      "GetTemplateLanguages</type>";
  EXPECT_EQ(service_.GetTemplateLanguages(),
            head +
                "<language><translation></translation><def></def><code>aaa-empty</code>"
                "</language>"
                "<language><translation>Englisch</translation><def>Englisch</def><code>eng"
                "</code></language>"
                "<language><translation>Deutsch</translation><def>Deutsch</def><code>ger</code>"
                "</language></templatelanguages>");

  // Another default language, one without a file, and none at all.
  Run("UPDATE languageid SET name=\"eng\" WHERE default=true");
  EXPECT_NE(service_.GetTemplateLanguages().find(
                "<translation>Deutsch</translation><def>German</def><code>ger</code>"),
            std::string::npos);
  Run("UPDATE languageid SET name=\"fra\" WHERE default=true");
  EXPECT_NE(service_.GetTemplateLanguages().find(
                "<translation>Deutsch</translation><def></def><code>ger</code>"),
            std::string::npos);
  Run("DELETE FROM languageid WHERE 1=1");
  EXPECT_NE(service_.GetTemplateLanguages().find(
                "<translation>Englisch</translation><def></def><code>eng</code>"),
            std::string::npos);
}

TEST_F(SoapImplDatabaseTest, TranslationsAreEscaped) {
  WriteFile("Templates/ger/language/language.xml",
            "<?xml version=\"1.0\" encoding=\"UTF-8\"?><language><translation>"
            "<ger>Deutsch &amp; mehr &lt;neu&gt;</ger></translation></language>");
  fs::remove_all(home_ / "Templates/eng");
  const std::string answer = service_.GetTemplateLanguages();
  pugi::xml_document doc;
  ASSERT_TRUE(doc.load_string(answer.c_str())) << answer;
  EXPECT_STREQ(doc.child("templatelanguages").child("language").child_value("translation"),
               "Deutsch & mehr <neu>");
}

}  // namespace
}  // namespace parlevo
