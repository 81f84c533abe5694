#include "webservice/language_files.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <random>
#include <stdexcept>

namespace parlevo {
namespace {

namespace fs = std::filesystem;

class LanguageFiles : public ::testing::Test {
 protected:
  void SetUp() override {
    install_ = fs::temp_directory_path() /
               ("parlevo-lang-" + std::to_string(std::random_device{}()) + "-" +
                ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::create_directories(install_);
  }
  void TearDown() override { fs::remove_all(install_); }

  void Write(const std::string& code, const std::string& bytes) {
    const fs::path folder = install_ / "Templates" / code / "language";
    fs::create_directories(folder);
    std::ofstream(folder / "language.xml", std::ios::binary) << bytes;
  }

  fs::path install_;
};

TEST_F(LanguageFiles, TranslatesCodesInEachEncoding) {
  Write("ger",
        "<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?>\r\n<language>\r\n<translation>"
        "<ger>Deutsch</ger><eng>Englisch</eng><fra>Franz\xf6sisch</fra></translation>\r\n"
        "<mail><price>5 \x80</price></mail></language>");
  Write("eng",
        "<?xml version='1.0' encoding='windows-1252'?><l><translation><ger>German</ger>"
        "<eng>\x93"
        "English\x94</eng></translation></l>");
  Write("fra",
        "\xEF\xBB\xBF<?xml version=\"1.0\" encoding=\"UTF-8\"?><l><translation>"
        "<fra>Fran\xc3\xa7"
        "ais</fra></translation></l>");
  Write("ita", "<l><translation><ita>Italiano \xe2\x82\xac</ita></translation></l>");

  EXPECT_EQ(TranslateLanguageCode(install_, "eng", "ger"), "Englisch");
  EXPECT_EQ(TranslateLanguageCode(install_, "ENG", "ger"), "Englisch");
  EXPECT_EQ(TranslateLanguageCode(install_, "fra", "ger"), "Franz\u00f6sisch");
  EXPECT_EQ(TranslateLanguageCode(install_, "eng", "eng"),
            "\u201c"
            "English\u201d");
  EXPECT_EQ(TranslateLanguageCode(install_, "fra", "fra"),
            "Fran\u00e7"
            "ais");
  EXPECT_EQ(TranslateLanguageCode(install_, "ita", "ita"), "Italiano \u20ac");

  pugi::xml_document doc;
  LoadLanguageFile(doc, install_, "ger");
  EXPECT_EQ(LookupLanguageKey(doc, "mail.price"), "5 \u20ac");
  EXPECT_EQ(LookupLanguageKey(doc, "Mail.Price"), "5 \u20ac");
  EXPECT_EQ(LookupLanguageKey(doc, ""), "");
}

TEST_F(LanguageFiles, MissingKeyIsEmptyAndFileUnchanged) {
  const std::string bytes = "<l><translation><ger>Deutsch</ger></translation></l>";
  Write("ger", bytes);
  EXPECT_EQ(TranslateLanguageCode(install_, "swe", "ger"), "");
  std::ifstream in(install_ / "Templates/ger/language/language.xml", std::ios::binary);
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), bytes);
}

TEST_F(LanguageFiles, ReadsTheWholeTextAsUtf8) {
  Write("ger", "<?xml version=\"1.0\" encoding=\"iso-8859-1\"?>\n<l>\n<a>\xe4</a>\n</l>\n");
  EXPECT_EQ(ReadLanguageFileText(install_, "ger"),
            "<?xml version=\"1.0\" encoding=\"iso-8859-1\"?>\n<l>\n<a>\u00e4</a>\n</l>\n");
}

TEST_F(LanguageFiles, FolderNamesMatchWithoutRegardToCase) {
  Write("ENG", "<l><translation><eng>English</eng></translation></l>");
  EXPECT_EQ(TranslateLanguageCode(install_, "eng", "eng"), "English");
  ASSERT_TRUE(LanguageFilePath(install_, "Eng").has_value());
}

TEST_F(LanguageFiles, MissingBrokenOrForeignFilesFail) {
  EXPECT_THROW(TranslateLanguageCode(install_, "eng", "swe"), std::runtime_error);
  Write("bad", "<l><translation><eng>x</translation></l>");
  EXPECT_THROW(TranslateLanguageCode(install_, "eng", "bad"), std::runtime_error);
  Write("u16", "\xFF\xFE<\0l\0/\0>\0");
  EXPECT_THROW(ReadLanguageFileText(install_, "u16"), std::runtime_error);
  Write("koi", "<?xml version=\"1.0\" encoding=\"KOI8-R\"?><l/>");
  EXPECT_THROW(ReadLanguageFileText(install_, "koi"), std::runtime_error);
}

TEST_F(LanguageFiles, CodesThatCouldLeaveTheFolderAreRefused) {
  Write("ger", "<l><translation><eng>English</eng></translation></l>");
  // A file outside Templates that a crafted code would otherwise reach.
  fs::create_directories(install_ / "language");
  std::ofstream(install_ / "language" / "language.xml")
      << "<l><translation><eng>x</eng></translation></l>";
  for (const char* code : {"..", "../ger", "ger/..", "", "ger ", "g\u00e9r", "a.b", "..\\ger"}) {
    EXPECT_FALSE(IsValidLanguageCode(code)) << code;
    EXPECT_FALSE(LanguageFilePath(install_, code).has_value()) << code;
    EXPECT_THROW(TranslateLanguageCode(install_, "eng", code), std::runtime_error) << code;
  }
  EXPECT_TRUE(IsValidLanguageCode("pt-BR"));
  EXPECT_TRUE(IsValidLanguageCode("en_GB2"));
}

// A link planted in Templates/ must not hand out a file from elsewhere; links that stay inside
// (a language sharing another's file, or a whole Templates folder placed elsewhere) still work.
TEST_F(LanguageFiles, LinksLeadingOutOfTemplatesAreNotFollowed) {
  Write("ger", "<l><translation><eng>Englisch</eng></translation></l>");
  const fs::path outside = install_ / "secret.xml";
  std::ofstream(outside) << "<l><translation><eng>secret</eng></translation></l>";
  fs::create_directories(install_ / "Templates" / "evil" / "language");
  fs::create_symlink(outside, install_ / "Templates" / "evil" / "language" / "language.xml");
  fs::create_directory_symlink(install_, install_ / "Templates" / "loop");
  EXPECT_FALSE(LanguageFilePath(install_, "evil").has_value());
  EXPECT_THROW(ReadLanguageFileText(install_, "evil"), std::runtime_error);
  EXPECT_THROW(TranslateLanguageCode(install_, "eng", "evil"), std::runtime_error);

  fs::create_directories(install_ / "Templates" / "deu" / "language");
  fs::create_symlink(install_ / "Templates" / "ger" / "language" / "language.xml",
                     install_ / "Templates" / "deu" / "language" / "language.xml");
  EXPECT_EQ(TranslateLanguageCode(install_, "eng", "deu"), "Englisch");

  const fs::path moved = install_ / "elsewhere";
  fs::rename(install_ / "Templates", moved);
  fs::create_directory_symlink(moved, install_ / "Templates");
  EXPECT_EQ(TranslateLanguageCode(install_, "eng", "ger"), "Englisch");
  EXPECT_FALSE(LanguageFilePath(install_, "evil").has_value());
}

}  // namespace
}  // namespace parlevo
