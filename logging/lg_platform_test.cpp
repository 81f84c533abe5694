#include "logging/lg_platform.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <fstream>
#include <stdexcept>

namespace parlevo::logging {
namespace {

namespace fs = std::filesystem;

TEST(LgPlatform, PathPieces) {
  EXPECT_EQ(LgExtractFileExt("/var/log/log.lgf"), ".lgf");
  EXPECT_EQ(LgExtractFileExt("logs.d/file"), "");
  EXPECT_EQ(LgExtractFileExt("archive.tar.gz"), ".gz");
  EXPECT_EQ(LgChangeFileExt("log.lgf", ""), "log");
  EXPECT_EQ(LgChangeFileExt("logs.d/file", ".txt"), "logs.d/file.txt");
  EXPECT_EQ(LgChangeFileExt("/tmp/log.lgf", "-2026.lgf"), "/tmp/log-2026.lgf");
  EXPECT_EQ(LgExtractFileName("/opt/zyntparlevo/ZyntParlevo.lgc"), "ZyntParlevo.lgc");
  EXPECT_EQ(LgExtractFileName("plain"), "plain");
  EXPECT_EQ(LgExtractFilePath("/opt/zyntparlevo/ZyntParlevo.lgc"), "/opt/zyntparlevo/");
  EXPECT_EQ(LgExtractFilePath("plain"), "");
}

TEST(LgPlatform, Positions) {
  EXPECT_EQ(LgLastDelimiter("/.", "a/b.c/d"), 6);
  EXPECT_EQ(LgLastDelimiter("/", "abc"), 0);
  EXPECT_EQ(LgLastPos(".", "a.b.c"), 4);
  EXPECT_EQ(LgLastPos("x", "abc"), 0);
  EXPECT_EQ(LgLastPos("abcd", "abc"), 0);
  EXPECT_EQ(LgLastPos("abc", "abc"), 1);
  EXPECT_EQ(LgLastPos("abd", "abc"), 0);
  EXPECT_EQ(LgLastPos("", "abc"), 0);
}

TEST(LgPlatform, ReplaceAndSplit) {
  EXPECT_EQ(LgStringReplace("aaa", "aa", "b"), "ba");
  EXPECT_EQ(LgStringReplace("a-b-c", "-", "--"), "a--b--c");
  EXPECT_EQ(LgStringReplace("abc", "", "x"), "abc");
  EXPECT_EQ(LgStringReplace("", "a", "x"), "");
  EXPECT_EQ(LgStringReplace("Aa", "a", "x"), "Ax");

  std::vector<std::string> list = {"kept"};
  LgSplit("a--b", '-', list);
  EXPECT_EQ(list, (std::vector<std::string>{"kept", "a", "", "b"}));
  list.clear();
  LgSplit("", '-', list);
  EXPECT_TRUE(list.empty());
  LgSplit("-", '-', list);
  EXPECT_EQ(list, (std::vector<std::string>{"", ""}));
}

class LgPlatformFiles : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() /
           ("lg_platform_" + std::to_string(getpid()) + "_" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::create_directories(dir_);
  }
  void TearDown() override { fs::remove_all(dir_); }
  std::string Path(const std::string& name) const { return (dir_ / name).string(); }
  fs::path dir_;
};

TEST_F(LgPlatformFiles, CreateOpenAndDelete) {
  int error = -1;
  TLgFileHandle missing = LgCreateFile(Path("none.lgf"), TLgFileAccess::Read,
                                       TLgCreationDisposition::OpenExisting, error);
  EXPECT_FALSE(missing.Valid());
  EXPECT_EQ(error, ENOENT);
  EXPECT_EQ(LgSysErrorMessage(ENOENT), "No such file or directory");

  {
    TLgFileHandle f = LgCreateFile(Path("a.lgf"), TLgFileAccess::Write,
                                   TLgCreationDisposition::CreateAlways, error);
    ASSERT_TRUE(f.Valid());
    EXPECT_EQ(error, 0);
    ASSERT_EQ(::write(f.Get(), "LOGF", 4), 4);
  }
  EXPECT_EQ(fs::file_size(Path("a.lgf")), 4u);
  {
    // Opening an existing file for appending keeps its content.
    TLgFileHandle f = LgCreateFile(Path("a.lgf"), TLgFileAccess::Write,
                                   TLgCreationDisposition::OpenAlways, error);
    ASSERT_TRUE(f.Valid());
  }
  EXPECT_EQ(fs::file_size(Path("a.lgf")), 4u);
  {
    TLgFileHandle f = LgCreateFile(Path("a.lgf"), TLgFileAccess::Write,
                                   TLgCreationDisposition::CreateAlways, error);
    ASSERT_TRUE(f.Valid());
    // Moving hands the descriptor over; the source no longer closes it.
    TLgFileHandle moved = std::move(f);
    EXPECT_FALSE(f.Valid());
    EXPECT_TRUE(moved.Valid());
  }
  EXPECT_EQ(fs::file_size(Path("a.lgf")), 0u);

  EXPECT_TRUE(LgFileExists(Path("a.lgf")));
  EXPECT_TRUE(LgFileExists(dir_.string()));  // a folder counts too
  EXPECT_TRUE(LgDeleteFile(Path("a.lgf")));
  EXPECT_FALSE(LgFileExists(Path("a.lgf")));
  EXPECT_FALSE(LgDeleteFile(Path("a.lgf")));
}

TEST_F(LgPlatformFiles, FindFilesByPattern) {
  for (const char* name : {"log-2026-01-01-10-00-00.lgf", "log-2026-01-02-10-00-00.lgf", "log.lgf",
                           "log-x.txt", "other-1.lgf", "log-.lgf"}) {
    std::ofstream(dir_ / name) << "x";
  }
  std::vector<std::string> list;
  LgFindFiles(Path("log-*.lgf"), list);
  std::sort(list.begin(), list.end());
  EXPECT_EQ(list, (std::vector<std::string>{Path("log-.lgf"), Path("log-2026-01-01-10-00-00.lgf"),
                                            Path("log-2026-01-02-10-00-00.lgf")}));

  list.clear();
  LgFindFiles(Path("log-?.txt"), list);
  EXPECT_EQ(list, (std::vector<std::string>{Path("log-x.txt")}));

  list.clear();
  LgFindFiles(Path("*"), list);
  EXPECT_EQ(list.size(), 6u);  // never "." or ".."

  list.clear();
  LgFindFiles(Path("missing/*"), list);
  EXPECT_TRUE(list.empty());
}

TEST(LgPlatform, UtcClockIsCurrent) {
  TDateTime before = NowUtc();
  TDateTime now = LgNowUtc();
  TDateTime after = NowUtc();
  EXPECT_LE(before, now);
  EXPECT_LE(now, after);
}

TEST(LgPlatform, FormatIntegersAndStrings) {
  EXPECT_EQ(LgFormat("%s = %d", {"count", 7}), "count = 7");
  EXPECT_EQ(LgFormat("%d|%5d|%-5d|%.3d|%u", {-12, 42, 42, 7, 9u}), "-12|   42|42   |007|9");
  EXPECT_EQ(LgFormat("$%.8x", {0xBEEFu}), "$0000BEEF");
  EXPECT_EQ(LgFormat("%x", {int64_t{-1}}), "FFFFFFFFFFFFFFFF");
  EXPECT_EQ(LgFormat("%.2s|%6s|%-4s|", {"abc", "ab", "x"}), "ab|    ab|x   |");
  EXPECT_EQ(LgFormat("%1:s %0:s %s", {"a", "b"}), "b a b");
  EXPECT_EQ(LgFormat("%*d|%.*d", {4, 1, 3, 2}), "   1|002");
  EXPECT_EQ(LgFormat("100%%", {}), "100%");
  EXPECT_EQ(LgFormat("%p", {static_cast<const void*>(nullptr)}), "0000000000000000");
  EXPECT_EQ(LgFormat("%d", {std::numeric_limits<int64_t>::min()}), "-9223372036854775808");
}

TEST(LgPlatform, FormatNumbers) {
  EXPECT_EQ(LgFormat("%f", {1.5}), "1.50");
  EXPECT_EQ(LgFormat("%.1f", {-0.25}), "-0.2");
  EXPECT_EQ(LgFormat("%n", {1234567.891}), "1,234,567.89");
  EXPECT_EQ(LgFormat("%.0n", {-999.0}), "-999");
  EXPECT_EQ(LgFormat("%e", {1.0}), "1.00000000000000E+000");
  EXPECT_EQ(LgFormat("%.3e", {-12345.0}), "-1.23E+004");
  EXPECT_EQ(LgFormat("%g", {0.5}), "0.5");
  EXPECT_EQ(LgFormat("%g", {1e20}), "1E20");
  EXPECT_EQ(LgFormat("%g", {1.5e-7}), "1.5E-7");
}

TEST(LgPlatform, FormatRejectsMismatches) {
  try {
    LgFormat("%d", {"text"});
    FAIL() << "a string passed as a number";
  } catch (const std::invalid_argument& e) {
    EXPECT_STREQ(e.what(), "Format '%d' invalid or incompatible with argument");
  }
  EXPECT_THROW(LgFormat("%s %s", {"one"}), std::invalid_argument);
  EXPECT_THROW(LgFormat("%s", {1}), std::invalid_argument);
  EXPECT_THROW(LgFormat("%u", {-1}), std::invalid_argument);
  EXPECT_THROW(LgFormat("%q", {1}), std::invalid_argument);
  EXPECT_THROW(LgFormat("trailing %", {}), std::invalid_argument);
}

}  // namespace
}  // namespace parlevo::logging
