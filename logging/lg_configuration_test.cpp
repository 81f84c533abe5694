#include "logging/lg_configuration.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace parlevo::logging {
namespace {

namespace fs = std::filesystem;

class ConfigurationTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() /
           ("lg_configuration_" + std::to_string(getpid()) + "_" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::create_directories(dir_);
  }
  void TearDown() override { fs::remove_all(dir_); }

  // Writes the bytes as the file and loads it into config_.
  void Load(const std::string& bytes) {
    const fs::path file = dir_ / "ZyntParlevo.lgc";
    std::ofstream(file, std::ios::binary) << bytes;
    config_.LoadFromFile(file.string());
  }

  fs::path dir_;
  TLgConfiguration config_;
};

TEST_F(ConfigurationTest, ReadsKeysInFileOrderWithCommentsAndDuplicates) {
  Load(
      "; logging of the conference service\r\n"
      "   ; an indented comment\n"
      "Connections = file(filename=\"/var/log/p.lgf\", append=true)\r\n"
      "\n"
      "no equals sign here\n"
      "enabled = false\r"
      "Level=Warning\n"
      "ENABLED = true ; comment\n"
      "  session.Main.color =  0xFF0000  \n"
      "empty =\n");
  EXPECT_EQ(config_.Keys(), (std::vector<std::string>{"Connections", "enabled", "Level",
                                                      "session.Main.color", "empty"}));
  ASSERT_EQ(config_.Count(), 5u);
  EXPECT_EQ(config_.Key(1), "enabled");
  // The later line wins; there is no comment syntax after a value.
  EXPECT_EQ(config_.ReadString("enabled", "x"), "true ; comment");
  EXPECT_FALSE(config_.ReadBoolean("enabled", true));
  EXPECT_EQ(config_.ReadString("connections", ""),
            "file(filename=\"/var/log/p.lgf\", append=true)");
  EXPECT_TRUE(config_.Contains("CONNECTIONS"));
  EXPECT_TRUE(config_.Contains("SESSION.main.COLOR"));
  EXPECT_EQ(config_.ReadColor("session.main.color", 0), 255u);
  EXPECT_EQ(config_.ReadLevel("level", TLgLevel::Debug), TLgLevel::Warning);
  EXPECT_FALSE(config_.Contains("no equals sign here"));
  EXPECT_FALSE(config_.Contains("; logging of the conference service"));
  // Present but empty: readers give their defaults.
  EXPECT_TRUE(config_.Contains("empty"));
  EXPECT_EQ(config_.ReadString("empty", "dflt"), "dflt");
  EXPECT_TRUE(config_.ReadBoolean("empty", true));
  EXPECT_EQ(config_.ReadLevel("empty", TLgLevel::Error), TLgLevel::Error);
}

TEST_F(ConfigurationTest, ReloadingDropsEarlierKeys) {
  Load("a = 1\nb = 2\n");
  Load("B = 3\n");
  EXPECT_FALSE(config_.Contains("a"));
  EXPECT_EQ(config_.Keys(), std::vector<std::string>{"B"});
  EXPECT_EQ(config_.ReadInteger("b", 0), 3);
}

TEST_F(ConfigurationTest, MissingFileRaisesAndKeepsTheContents) {
  Load("level = error\n");
  const std::string missing = (dir_ / "none.lgc").string();
  try {
    config_.LoadFromFile(missing);
    FAIL() << "a missing file loaded";
  } catch (const ELgLoadConfigurationError& e) {
    EXPECT_EQ(e.FileName(), missing);
    EXPECT_STREQ(e.what(), "No such file or directory");
  }
  EXPECT_EQ(config_.ReadLevel("level", TLgLevel::Debug), TLgLevel::Error);
  // A folder cannot be read as a file either.
  EXPECT_THROW(config_.LoadFromFile(dir_.string()), ELgLoadConfigurationError);
}

TEST_F(ConfigurationTest, TextEncodings) {
  Load("\xEF\xBB\xBFlevel = fatal\n");
  EXPECT_EQ(config_.Key(0), "level");
  EXPECT_EQ(config_.ReadLevel("level", TLgLevel::Debug), TLgLevel::Fatal);

  // UTF-16 with byte-order mark, both byte orders, with a character outside the basic plane.
  auto utf16 = [](const std::u16string& text, bool big_endian) {
    std::string bytes = big_endian ? "\xFE\xFF" : "\xFF\xFE";
    for (char16_t c : text) {
      char high = static_cast<char>(c >> 8), low = static_cast<char>(c & 0xFF);
      bytes += big_endian ? high : low;
      bytes += big_endian ? low : high;
    }
    return bytes;
  };
  Load(utf16(u"appname = Caf\u00e9 \U0001F600\r\nlevel = error", false));
  EXPECT_EQ(config_.ReadString("appname", ""), "Caf\xC3\xA9 \xF0\x9F\x98\x80");
  EXPECT_EQ(config_.ReadLevel("level", TLgLevel::Debug), TLgLevel::Error);
  Load(utf16(u"appname = Gr\u00fc\u00dfe", true));
  EXPECT_EQ(config_.ReadString("appname", ""),
            "Gr\xC3\xBC\xC3\x9F"
            "e");

  // Without a marker: UTF-8 when valid, else the single-byte code page of old files.
  Load(
      "appname = Gr\xC3\xBC\xC3\x9F"
      "e\n");
  EXPECT_EQ(config_.ReadString("appname", ""),
            "Gr\xC3\xBC\xC3\x9F"
            "e");
  Load(
      "appname = Gr\xFC\xDF"
      "e \x80\n");
  EXPECT_EQ(config_.ReadString("appname", ""),
            "Gr\xC3\xBC\xC3\x9F"
            "e \xE2\x82\xAC");
}

class LookupTableTest : public ::testing::Test {
 protected:
  TLgLookupTable table_;
};

TEST_F(LookupTableTest, PutAddAndCase) {
  table_.Put("Key", "One");
  table_.Add("KEY", "two");
  EXPECT_EQ(table_.GetStringValue("key", ""), "One");
  table_.Put("kEy", " Three ");
  EXPECT_EQ(table_.GetStringValue("KEY", ""), "Three");
  EXPECT_EQ(table_.Count(), 1u);
  EXPECT_EQ(table_.GetStringValue("absent", "dflt"), "dflt");
  table_.Clear();
  EXPECT_FALSE(table_.Contains("key"));
  EXPECT_EQ(table_.Count(), 0u);
}

TEST_F(LookupTableTest, Booleans) {
  for (const char* yes : {"true", "TRUE", "1", "Yes", " yes "}) {
    table_.Put("b", yes);
    EXPECT_TRUE(table_.GetBooleanValue("b", false)) << yes;
  }
  for (const char* no : {"false", "0", "on", "true ; comment", "y"}) {
    table_.Put("b", no);
    EXPECT_FALSE(table_.GetBooleanValue("b", true)) << no;
  }
  EXPECT_TRUE(table_.GetBooleanValue("absent", true));
}

TEST_F(LookupTableTest, Integers) {
  table_.Put("i", "42");
  EXPECT_EQ(table_.GetIntegerValue("i", -1), 42);
  table_.Put("i", "2147483647");
  EXPECT_EQ(table_.GetIntegerValue("i", -1), 2147483647);
  for (const char* bad : {"2147483648", "-5", "+5", "4 2", "0x10", "12a", "99999999999999999999"}) {
    table_.Put("i", bad);
    EXPECT_EQ(table_.GetIntegerValue("i", -1), -1) << bad;
  }
}

TEST_F(LookupTableTest, Levels) {
  const std::pair<const char*, TLgLevel> words[] = {
      {"debug", TLgLevel::Debug},     {"Verbose", TLgLevel::Verbose},
      {"MESSAGE", TLgLevel::Message}, {"Warning", TLgLevel::Warning},
      {" error ", TLgLevel::Error},   {"fatal", TLgLevel::Fatal}};
  for (const auto& [word, level] : words) {
    table_.Put("level", word);
    EXPECT_EQ(table_.GetLevelValue("level", TLgLevel::Unknown), level) << word;
  }
  for (const char* bad : {"warn", "3", "unknown", "info"}) {
    table_.Put("level", bad);
    EXPECT_EQ(table_.GetLevelValue("level", TLgLevel::Message), TLgLevel::Message) << bad;
  }
}

TEST_F(LookupTableTest, Sizes) {
  const std::pair<const char*, int64_t> sizes[] = {{"4 MB", 4194304},
                                                   {"10", 10240},
                                                   {"10kb", 10240},
                                                   {"2 gb", 2147483648},
                                                   {"1Mb", 1048576},
                                                   {"0", 0},
                                                   {"2147483647 GB", 2147483647LL * 1073741824LL}};
  for (const auto& [text, bytes] : sizes) {
    table_.Put("size", text);
    EXPECT_EQ(table_.GetSizeValue("size", 7), bytes) << text;
  }
  for (const char* bad : {"-1", "4 tb", "mb", "4 m b", "2147483648", "1.5mb"}) {
    table_.Put("size", bad);
    EXPECT_EQ(table_.GetSizeValue("size", 7), 7 * 1024) << bad;
  }
  EXPECT_EQ(table_.GetSizeValue("absent", 64), 65536);
}

TEST_F(LookupTableTest, Timespans) {
  const std::pair<const char*, int32_t> spans[] = {
      {"5m", 300000}, {"1s", 1000}, {"2", 2000}, {"1H", 3600000}, {"24d", 2073600000}};
  for (const auto& [text, ms] : spans) {
    table_.Put("t", text);
    EXPECT_EQ(table_.GetTimespanValue("t", 9), ms) << text;
  }
  // 25 days do not fit in 32 bits of milliseconds.
  for (const char* bad : {"25d", "-1s", "5 m", "5min", "s", "2147483648"}) {
    table_.Put("t", bad);
    EXPECT_EQ(table_.GetTimespanValue("t", 9), 9000) << bad;
  }
  EXPECT_EQ(table_.GetTimespanValue("absent", 1), 1000);
}

TEST_F(LookupTableTest, Colours) {
  const std::pair<const char*, uint32_t> colours[] = {
      {"0xFF0000", 0x0000FF}, {"0x00ff00", 0x00FF00}, {"&H0000FF", 0xFF0000},
      {"$123456", 0x563412},  {"0x80FF0000", 0xFF},   {"0x12345", 0x503412}};
  for (const auto& [text, colour] : colours) {
    table_.Put("c", text);
    EXPECT_EQ(table_.GetColorValue("c", 0xFF000005), colour) << text;
  }
  for (const char* bad : {"0x123", "0XFF0000", "&hFF0000", "FF0000", "0xGG0000", "0x", "0x1234"}) {
    table_.Put("c", bad);
    EXPECT_EQ(table_.GetColorValue("c", 0xFF000005), 0xFF000005u) << bad;
  }
}

TEST_F(LookupTableTest, RotateModesAndBytes) {
  const char* modes[] = {"none", "Hourly", "DAILY", "weekly", "monthly"};
  for (uint8_t i = 0; i < 5; ++i) {
    table_.Put("rotate", modes[i]);
    EXPECT_EQ(table_.GetRotateValue("rotate", 9), i) << modes[i];
  }
  table_.Put("rotate", "yearly");
  EXPECT_EQ(table_.GetRotateValue("rotate", 9), 9);

  table_.Put("key", "  secret  ");
  EXPECT_EQ(table_.GetBytesValue("key", 16),
            (std::vector<uint8_t>{'s', 'e', 'c', 'r', 'e', 't', 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
  table_.Put("key", "0123456789abcdefXYZ");
  EXPECT_EQ(table_.GetBytesValue("key", 16).size(), 16u);
  EXPECT_EQ(table_.GetBytesValue("key", 16).back(), 'f');
  table_.Put("key", "\xC3\xBC");  // one character, two bytes
  EXPECT_EQ(table_.GetBytesValue("key", 3), (std::vector<uint8_t>{0xC3, 0xBC, 0}));
  table_.Put("key", "   ");
  EXPECT_TRUE(table_.GetBytesValue("key", 16).empty());
  EXPECT_TRUE(table_.GetBytesValue("absent", 16).empty());
}

}  // namespace
}  // namespace parlevo::logging
