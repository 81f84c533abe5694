#include "notifications/mail_templates.h"

#include <gtest/gtest.h>

#include <fstream>
#include <regex>
#include <set>
#include <sstream>
#include <stdexcept>

#include "tests/temp_folder.h"

namespace parlevo {
namespace {

namespace fs = std::filesystem;

using testing_support::TTempFolder;

std::vector<std::string> Names(const TTemplateFiles& found) {
  std::vector<std::string> names;
  for (const auto& file : found.files) names.push_back(file.filename().string());
  return names;
}

TEST(TemplateTags, ReplacedFromTheSettingsList) {
  const TSettingsList settings({"PIN=04711", "firstname=Anna", "url=<a href=\"x\">x</a>"});
  EXPECT_EQ(ProduceTemplate("PIN: <#PIN>, <#pin encode=\"1\">, <#company>!", settings),
            "PIN: 04711, , !");
  EXPECT_EQ(ProduceTemplate("<#FirstName>/<#firstname encode=0>/<#url>", settings),
            "Anna/Anna/<a href=\"x\">x</a>");
  EXPECT_EQ(ProduceTemplate("<#PIN Encode=1>|<#PIN note=\"a > b\">|", settings), "|04711|");
  EXPECT_EQ(ProduceTemplate("<#decryptscript bk=1>", settings), "");
  // An unterminated tag stays as it is.
  EXPECT_EQ(ProduceTemplate("a <#PIN", settings), "a <#PIN");
  EXPECT_EQ(ProduceTemplate("<p>no tags</p>", settings), "<p>no tags</p>");
}

TEST(TemplateFiles, MaskMatchesWithoutRegardToCaseInNameOrder) {
  TTempFolder t;
  t.Write("ger/mail/b.invite.txt", "t");
  t.Write("ger/mail/A.Invite.html", "h");
  t.Write("ger/mail/x.disinvite.html", "d");
  t.Write("ger/mail/c.invite.dir/inner", "");
  const TTemplateFiles found = FindTemplateFiles(t.path(), "GER\\Mail\\*.invite.*");
  EXPECT_TRUE(found.use_mask);
  EXPECT_EQ(Names(found), (std::vector<std::string>{"A.Invite.html", "b.invite.txt"}));
  EXPECT_EQ(Names(FindTemplateFiles(t.path(), "ger/mail/*.disinvite.*")),
            (std::vector<std::string>{"x.disinvite.html"}));
}

TEST(TemplateFiles, FolderTakesItsBodyFiles) {
  TTempFolder t;
  t.Write("news/body.html", "h");
  t.Write("news/Body.txt", "t");
  t.Write("news/other.html", "o");
  const TTemplateFiles found = FindTemplateFiles(t.path(), "news");
  EXPECT_FALSE(found.use_mask);
  EXPECT_EQ(Names(found), (std::vector<std::string>{"body.html", "Body.txt"}));
}

TEST(TemplateFiles, MissingFolderGivesNoFiles) {
  TTempFolder t;
  EXPECT_TRUE(FindTemplateFiles(t.path(), "fra\\mail\\*.invite.*").files.empty());
}

TEST(TemplateFiles, NamesThatCouldLeaveTheTemplatesFolderAreRefused) {
  TTempFolder t;
  t.Write("ger/mail/a.invite.html", "h");
  EXPECT_THROW(FindTemplateFiles(t.path() / "ger", "..\\ger\\mail\\*.invite.*"),
               std::invalid_argument);
  EXPECT_THROW(FindTemplateFiles(t.path(), "ger\\..\\..\\etc\\*"), std::invalid_argument);
  EXPECT_THROW(FindTemplateFiles(t.path(), "/etc/*"), std::invalid_argument);
  EXPECT_THROW(FindTemplateFiles(t.path(), "g.r\\mail\\*"), std::invalid_argument);
  EXPECT_TRUE(IsValidLanguageCode("en_GB-x1"));
  EXPECT_FALSE(IsValidLanguageCode(""));
  EXPECT_FALSE(IsValidLanguageCode("ger "));
}

TEST(TemplateFiles, LinksToFilesOutsideTheTemplatesAreLeftOut) {
  TTempFolder t;
  t.Write("Templates/ger/mail/a.invite.html", "h");
  t.Write("Templates/ger/mail/shared/body.html", "b");
  t.Write("passwd", "root:x:0:0");
  const fs::path root = t.path() / "Templates";
  fs::create_symlink(t.path() / "passwd", root / "ger/mail/b.invite.html");
  fs::create_symlink(root / "ger/mail/a.invite.html", root / "ger/mail/c.invite.html");
  EXPECT_EQ(Names(FindTemplateFiles(root, "ger\\mail\\*.invite.*")),
            (std::vector<std::string>{"a.invite.html", "c.invite.html"}));
  // A linked folder that leads out gives nothing of what lies there.
  fs::create_directory_symlink(t.path(), root / "ger/mail/out");
  EXPECT_TRUE(FindTemplateFiles(root, "ger\\mail\\out\\*").files.empty());
  EXPECT_EQ(Names(FindTemplateFiles(root, "ger\\mail\\shared")),
            (std::vector<std::string>{"body.html"}));
}

// The templates an installation starts with: every language has all four kinds, and every tag
// they use is one the mail request carries.
TEST(ShippedTemplates, CompleteAndUsingOnlyRequestNames) {
  const fs::path root = fs::path(PARLEVO_SOURCE_DIR) / "dist" / "Templates";
  const std::set<std::string> request_names = {"host",
                                               "firstname",
                                               "address",
                                               "title",
                                               "name",
                                               "conferencename",
                                               "conferenceorganiser",
                                               "conferencedate",
                                               "conferencetime",
                                               "conferencetimeend",
                                               "conferenceid",
                                               "roomname",
                                               "directdial",
                                               "pin",
                                               "smstext",
                                               "memberlist",
                                               "url"};
  const std::regex tag("<#([A-Za-z]+)");
  for (const std::string language : {"ger", "eng"}) {
    std::set<std::string> used;
    for (const std::string kind :
         {"mail\\*.invite.*", "mail\\*.disinvite.*", "sms\\*.invite.*", "sms\\*.disinvite.*"}) {
      const TTemplateFiles found = FindTemplateFiles(root, language + "\\" + kind);
      ASSERT_FALSE(found.files.empty()) << language << " " << kind;
      // Without Lotus Notes a ".txt" template ends the list: the first must be something else.
      EXPECT_NE(found.files.front().extension(), ".txt") << language << " " << kind;
      for (const auto& file : found.files) {
        std::ifstream in(file);
        std::stringstream text;
        text << in.rdbuf();
        const std::string content = text.str();
        for (std::sregex_iterator it(content.begin(), content.end(), tag), end; it != end; ++it) {
          std::string name = (*it)[1];
          for (char& c : name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
          EXPECT_TRUE(request_names.count(name)) << file << ": " << name;
          used.insert(name);
        }
      }
    }
    for (const auto& name : request_names) {
      if (name == "conferenceid") continue;  // the calendar's UID, not a text for people
      EXPECT_TRUE(used.count(name)) << language << " never uses " << name;
    }
  }
}

}  // namespace
}  // namespace parlevo
