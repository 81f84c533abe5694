#include "service/helpers.h"
#include "platform/datetime.h"
#include "tests/deadline.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <thread>
#include <vector>

namespace parlevo {
namespace {

namespace fs = std::filesystem;

class DebugLogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    home_ = fs::temp_directory_path() /
            ("parlevo-debuglog-" + std::to_string(::getpid()) + "-" +
             ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(home_);
    fs::create_directories(home_);
    saved_ = ExeFolder();
    SetExeFolder(home_.string());
  }
  void TearDown() override {
    SetExeFolder(saved_);
    fs::remove_all(home_);
  }
  std::string ReadLog() {
    std::ifstream in(home_ / "debug" / "log.txt", std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
  }
  fs::path home_;
  std::string saved_;
};

TEST_F(DebugLogTest, CreatedOnFirstUseAndAppendedAfter) {
  EXPECT_FALSE(fs::exists(home_ / "debug"));
  WriteDebugLog("[Main][Start] first");
  WriteDebugLog("second");
  const std::string log = ReadLog();
  const std::regex line(
      R"((Sun|Mon|Tue|Wed|Thu|Fri|Sat) \d{1,2}\. (Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec)\. \d{4}, \d\d:\d\d:\d\d: )");
  std::vector<std::string> lines;
  std::stringstream ss(log);
  for (std::string l; std::getline(ss, l);) lines.push_back(l);
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_TRUE(std::regex_search(lines[0], line)) << lines[0];
  EXPECT_NE(lines[0].find(": [Main][Start] first\r"), std::string::npos);
  EXPECT_NE(lines[1].find(": second\r"), std::string::npos);
}

// The stamp is reused within a second: every line must still carry the second it was written in,
// across the turn of a second.
TEST_F(DebugLogTest, EachLineCarriesTheSecondItWasWrittenIn) {
  const auto stamp = [] {
    FormatSettings fs;
    return FormatDateTime("ddd d. mmm. yyyy, hh:mm:ss: ", Now(), fs);
  };
  const std::string first = stamp();
  size_t written = 0;
  std::vector<std::pair<std::string, std::string>> windows;
  for (bool turned = false; !turned || windows.size() < written + 3;) {
    const std::string before = stamp();
    WriteDebugLog("line " + std::to_string(windows.size()));
    windows.emplace_back(before, stamp());
    if (!turned && windows.back().second != first) {
      turned = true;
      written = windows.size();
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  std::stringstream ss(ReadLog());
  size_t i = 0;
  for (std::string l; std::getline(ss, l); ++i) {
    ASSERT_LT(i, windows.size());
    const std::string written_stamp = l.substr(0, l.find(": line ") + 2);
    EXPECT_TRUE(written_stamp == windows[i].first || written_stamp == windows[i].second)
        << l << " written between " << windows[i].first << " and " << windows[i].second;
  }
  EXPECT_EQ(i, windows.size());
}

TEST_F(DebugLogTest, ConcurrentWritersKeepLinesWhole) {
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([t] {
      for (int i = 0; i < 200; ++i)
        WriteDebugLog("thread " + std::to_string(t) + " line " + std::string(100, 'x'));
    });
  }
  testing_support::JoinAllWithin(threads, "the concurrent helper calls");
  std::stringstream ss(ReadLog());
  int count = 0;
  for (std::string l; std::getline(ss, l);) {
    ++count;
    EXPECT_NE(l.find(std::string(100, 'x') + "\r"), std::string::npos);
  }
  EXPECT_EQ(count, 1600);
}

TEST_F(DebugLogTest, LongLinesAreCutAndMarked) {
  const std::string huge(6 * 1024 * 1024, 'x');
  WriteDebugLog(huge);
  // Two-byte characters: the cut falls on a character's start whatever the stamp's length.
  std::string umlauts;
  for (int i = 0; i < 3000; ++i) umlauts += "ä";
  WriteDebugLog(umlauts);
  WriteDebugLog("short");
  const std::string log = ReadLog();
  std::vector<std::string> lines;
  for (size_t begin = 0; begin < log.size();) {
    const size_t end = log.find("\r\n", begin);
    ASSERT_NE(end, std::string::npos);
    lines.push_back(log.substr(begin, end + 2 - begin));
    begin = end + 2;
  }
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[0].size(), kDebugLogLineLimit);
  EXPECT_TRUE(lines[0].ends_with("xx" + std::string(kDebugLogCutMark) + "6291456]\r\n"))
      << lines[0].substr(lines[0].size() - 60);
  EXPECT_LE(lines[1].size(), kDebugLogLineLimit);
  EXPECT_GE(lines[1].size(), kDebugLogLineLimit - 1);
  EXPECT_TRUE(lines[1].ends_with("ä" + std::string(kDebugLogCutMark) + "6000]\r\n"));
  EXPECT_TRUE(lines[2].ends_with(": short\r\n"));

  // A message that fits exactly is written whole.
  fs::remove(home_ / "debug" / "log.txt");
  const size_t stamp = lines[2].size() - std::string("short\r\n").size();
  const std::string fits(kDebugLogLineLimit - stamp - 2, 'y');
  WriteDebugLog(fits);
  const std::string whole = ReadLog();
  EXPECT_EQ(whole.size(), kDebugLogLineLimit);
  EXPECT_EQ(whole.find(kDebugLogCutMark), std::string::npos);
}

TEST_F(DebugLogTest, UnwritableFolderDoesNotRaise) {
  fs::create_directories(home_ / "debug");
  fs::create_directories(home_ / "debug" / "log.txt");  // a folder where the file should be
  EXPECT_NO_THROW(WriteDebugLog("lost"));
}

TEST(Helpers, GetTokenFields) {
  EXPECT_EQ(GetToken("a.b.c", ".", 2), "b");
  EXPECT_EQ(GetToken("a.b.c", ".", 1), "a");
  EXPECT_EQ(GetToken("a.b.c", ".", 5), "c");
  EXPECT_EQ(GetToken("abc", ".", 1), "abc");
  EXPECT_EQ(GetToken("abc", ".", 3), "abc");
  EXPECT_EQ(GetToken("a..c", ".", 2), "");
}

TEST(Helpers, VersionHasFourNumbers) {
  EXPECT_TRUE(std::regex_match(GetAppVersion(), std::regex(R"(\d+\.\d+\.\d+\.\d+)")))
      << GetAppVersion();
}

}  // namespace
}  // namespace parlevo
