#include "logging/lg_file_protocol.h"

#include <fmt/format.h>
#include <gtest/gtest.h>

#include <sys/resource.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "logging/lg_test_viewer.h"
#include "logging/lg_text_protocol.h"

namespace parlevo::logging {
namespace {

namespace fs = std::filesystem;

std::string ReadFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

TLgPacketPtr Entry(const std::string& title, TLgLevel level = TLgLevel::Message) {
  auto entry = std::make_shared<TLgLogEntry>(TLgLogEntryType::Message, TLgViewerId::Title);
  entry->SetTitle(title);
  entry->SetLevel(level);
  entry->SetTimestamp(EncodeDate(2024, 1, 2) + EncodeTime(3, 4, 5, 6));
  return entry;
}

std::vector<std::string> Titles(const std::string& bytes) {
  EXPECT_EQ(bytes.substr(0, 4), "LOGF");
  std::vector<std::string> titles;
  for (const auto& p : testing::DecodePackets(std::string_view(bytes).substr(4))) {
    titles.push_back(p.title);
  }
  return titles;
}

class FileProtocolTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() /
           ("lgfile-" + std::to_string(::getpid()) + "-" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(dir_);
    fs::create_directories(dir_);
  }
  void TearDown() override { fs::remove_all(dir_); }

  std::string Path(const std::string& name) const { return (dir_ / name).string(); }
  std::vector<std::string> Listing() const {
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(dir_)) names.push_back(e.path().filename());
    std::sort(names.begin(), names.end());
    return names;
  }
  // A clock the test moves by hand.
  TLgFileProtocol::UtcClock Clock() {
    return [this] { return now_; };
  }

  fs::path dir_;
  TDateTime now_ = EncodeDate(2024, 3, 1) + EncodeTime(23, 59, 58, 0);
};

TEST_F(FileProtocolTest, WritesABinaryLogAndAppendsWithoutASecondHeader) {
  {
    TLgOutput<TLgFileProtocol> protocol;
    EXPECT_EQ(protocol.FileName(), "log.lgf");
    protocol.Initialize("filename=\"" + Path("log.lgf") + "\"");
    protocol.Connect();
    protocol.WritePacket(Entry("one"));
    EXPECT_EQ(Titles(ReadFile(Path("log.lgf"))), std::vector<std::string>{"one"});  // flushed
  }
  {
    TLgOutput<TLgFileProtocol> protocol;
    protocol.Initialize("filename=\"" + Path("log.lgf") + "\", append=true");
    protocol.Connect();
    protocol.WritePacket(Entry("two"));
  }
  EXPECT_EQ(Titles(ReadFile(Path("log.lgf"))), (std::vector<std::string>{"one", "two"}));
  {
    TLgOutput<TLgFileProtocol> protocol;  // without append the file starts again
    protocol.Initialize("filename=\"" + Path("log.lgf") + "\"");
    protocol.Connect();
    protocol.WritePacket(Entry("three"));
  }
  EXPECT_EQ(Titles(ReadFile(Path("log.lgf"))), std::vector<std::string>{"three"});
}

TEST_F(FileProtocolTest, MaxSizeAloneKeepsTheTwoNewestParts) {
  TLgOutput<TLgFileProtocol> protocol;
  protocol.SetClock(Clock());
  protocol.Initialize("filename=\"" + Path("log.lgf") + "\", maxsize=1");
  EXPECT_EQ(protocol.MaxParts(), 2);
  protocol.Connect();
  const std::string title(400, 't');  // 454 bytes a packet: two fit into a part of 1 KB
  for (int i = 0; i < 7; ++i) {
    protocol.WritePacket(Entry(title));
    now_ += EncodeTime(0, 0, 1, 0);
  }
  protocol.Disconnect();
  // Parts of 2, 2, 2 and 1 packets were written; the two newest remain.
  EXPECT_EQ(Listing(), (std::vector<std::string>{"log-2024-03-02-00-00-02.lgf",
                                                 "log-2024-03-02-00-00-04.lgf"}));
  EXPECT_EQ(Titles(ReadFile(Path("log-2024-03-02-00-00-02.lgf"))).size(), 2u);
  EXPECT_EQ(Titles(ReadFile(Path("log-2024-03-02-00-00-04.lgf"))).size(), 1u);
}

TEST_F(FileProtocolTest, APacketLargerThanMaxSizeStartsANewPartAndIsNotWritten) {
  TLgOutput<TLgFileProtocol> protocol;
  protocol.SetClock(Clock());
  protocol.Initialize("filename=\"" + Path("log.lgf") + "\", maxsize=1, maxparts=0");
  protocol.Connect();
  protocol.WritePacket(Entry("small"));
  protocol.WritePacket(Entry(std::string(2000, 'x')));
  protocol.WritePacket(Entry("after"));
  protocol.Disconnect();
  // Same second: the second part gets an "a".
  EXPECT_EQ(Listing(), (std::vector<std::string>{"log-2024-03-01-23-59-58.lgf",
                                                 "log-2024-03-01-23-59-58a.lgf"}));
  EXPECT_EQ(Titles(ReadFile(Path("log-2024-03-01-23-59-58.lgf"))),
            std::vector<std::string>{"small"});
  EXPECT_EQ(Titles(ReadFile(Path("log-2024-03-01-23-59-58a.lgf"))),
            std::vector<std::string>{"after"});
}

TEST_F(FileProtocolTest, DailyRotationAfterMidnightAndAppendContinuesTheNewestPart) {
  {
    TLgOutput<TLgFileProtocol> protocol;
    protocol.SetClock(Clock());
    protocol.Initialize("filename=\"" + Path("log.lgf") + "\", rotate=daily");
    protocol.Connect();
    protocol.WritePacket(Entry("before"));
    now_ += EncodeTime(0, 0, 1, 0);  // 23:59:59, same day
    protocol.WritePacket(Entry("still"));
    now_ += EncodeTime(0, 0, 2, 0);  // next day
    protocol.WritePacket(Entry("after"));
  }
  EXPECT_EQ(Listing(), (std::vector<std::string>{"log-2024-03-01-23-59-58.lgf",
                                                 "log-2024-03-02-00-00-01.lgf"}));
  EXPECT_EQ(Titles(ReadFile(Path("log-2024-03-01-23-59-58.lgf"))),
            (std::vector<std::string>{"before", "still"}));
  {
    TLgOutput<TLgFileProtocol> protocol;
    protocol.SetClock(Clock());
    protocol.Initialize("filename=\"" + Path("log.lgf") + "\", rotate=daily, append=true");
    protocol.Connect();
    protocol.WritePacket(Entry("continued"));
  }
  EXPECT_EQ(Titles(ReadFile(Path("log-2024-03-02-00-00-01.lgf"))),
            (std::vector<std::string>{"after", "continued"}));
}

TEST_F(FileProtocolTest, OnlyRealPartsOfTheSameBaseNameAreCountedOrDeleted) {
  for (const char* name : {"log-2024-01-01-00-00-00.lgf", "log-2024-13-01-00-00-00.lgf",
                           "log-x-2024-01-01-00-00-00.lgf", "log-2024-01-01-00-00-00b.lgf",
                           "log-2024-01-01-00-00-00.txt", "log-9999-99-99-99-99-99.lgf",
                           "log-2024-02-30-00-00-00.lgf", "log-2024-01-01-00-00-00a.lgf"}) {
    std::ofstream(Path(name)) << "x";
  }
  const auto parts = TLgFileHelper::ListFiles(Path("log.lgf"));
  ASSERT_EQ(parts.size(), 2u);
  EXPECT_EQ(fs::path(parts[0]).filename(), "log-2024-01-01-00-00-00.lgf");
  EXPECT_EQ(fs::path(parts[1]).filename(), "log-2024-01-01-00-00-00a.lgf");
  TLgFileHelper::DeleteFiles(Path("log.lgf"), 0);
  EXPECT_EQ(Listing().size(), 6u);
  EXPECT_THROW(TLgFileHelper::GetFileDate(Path("log.lgf"), Path("log-2024-13-01-00-00-00.lgf")),
               ELgProtocolError);
}

TEST_F(FileProtocolTest, BufferHoldsPacketsUntilItOverflows) {
  TLgOutput<TLgFileProtocol> protocol;
  protocol.Initialize("filename=\"" + Path("b.lgf") + "\", buffer=1");
  protocol.Connect();
  protocol.WritePacket(Entry(std::string(400, 'a')));
  protocol.WritePacket(Entry(std::string(400, 'b')));
  EXPECT_EQ(ReadFile(Path("b.lgf")), "LOGF");  // 908 bytes held of 1024
  protocol.WritePacket(Entry(std::string(400, 'c')));
  EXPECT_EQ(Titles(ReadFile(Path("b.lgf"))).size(), 3u);
  protocol.WritePacket(Entry("d"));
  protocol.Disconnect();  // flushes the rest
  EXPECT_EQ(Titles(ReadFile(Path("b.lgf"))).size(), 4u);
}

TEST_F(FileProtocolTest, BacklogWithoutKeepOpenAppendsOnEveryReopen) {
  TLgOutput<TLgFileProtocol> protocol;
  protocol.Initialize("filename=\"" + Path("f.lgf") + "\", backlog.enabled=true");
  protocol.Connect();
  protocol.WritePacket(Entry("m1"));
  protocol.WritePacket(Entry("e1", TLgLevel::Error));
  protocol.WritePacket(Entry("m2"));
  protocol.WritePacket(Entry("e2", TLgLevel::Error));
  protocol.Disconnect();
  EXPECT_EQ(Titles(ReadFile(Path("f.lgf"))), (std::vector<std::string>{"m1", "e1", "m2", "e2"}));
}

TEST_F(FileProtocolTest, AFailedOpenIsReportedAsTheProtocolsError) {
  TLgOutput<TLgFileProtocol> protocol;
  protocol.Initialize("filename=\"/dev/full\"");
  try {
    protocol.Connect();
    FAIL() << "the header could not have been written";
  } catch (const ELgProtocolError& e) {
    EXPECT_EQ(std::string(e.what()), LgSysErrorMessage(ENOSPC));
    EXPECT_EQ(e.ProtocolName(), "file");
  }
  EXPECT_FALSE(protocol.Connected());
  EXPECT_TRUE(protocol.Failed());
}

TEST_F(FileProtocolTest, AFailedFinalFlushIsReportedOnceAndEverythingIsReleased) {
  // A file size limit makes the write of the held bytes fail (EFBIG instead of a signal).
  struct Limit {
    Limit() {
      ::getrlimit(RLIMIT_FSIZE, &saved);
      previous = std::signal(SIGXFSZ, SIG_IGN);
      rlimit low = saved;
      low.rlim_cur = 100;
      ::setrlimit(RLIMIT_FSIZE, &low);
    }
    ~Limit() {
      ::setrlimit(RLIMIT_FSIZE, &saved);
      std::signal(SIGXFSZ, previous);
    }
    rlimit saved{};
    void (*previous)(int) = nullptr;
  };
  TLgOutput<TLgFileProtocol> protocol;
  protocol.Initialize("filename=\"" + Path("limited.lgf") + "\", buffer=64");
  {
    Limit limit;
    protocol.Connect();
    protocol.WritePacket(Entry(std::string(400, 'x')));  // held in the buffer
    try {
      protocol.Disconnect();
      FAIL() << "the lost bytes were not reported";
    } catch (const ELgProtocolError& e) {
      EXPECT_EQ(std::string(e.what()), LgSysErrorMessage(EFBIG));
    }
    EXPECT_FALSE(protocol.Connected());
    EXPECT_NO_THROW(protocol.Disconnect());  // nothing left to fail
  }
  const std::string written = ReadFile(Path("limited.lgf"));
  EXPECT_EQ(written.substr(0, 4), "LOGF");
  EXPECT_LE(written.size(), 100u);
}

TEST_F(FileProtocolTest, EncryptedFileDecryptsWithStandardAes) {
  {
    TLgOutput<TLgFileProtocol> protocol;
    protocol.Initialize("filename=\"" + Path("e.lgf") +
                        "\", encrypt=true, key=secret, append=true");
    EXPECT_FALSE(protocol.Append());
    protocol.Connect();
    protocol.WritePacket(Entry("hidden one"));
    protocol.WritePacket(Entry("hidden two"));
  }
  const std::string bytes = ReadFile(Path("e.lgf"));
  ASSERT_GT(bytes.size(), 20u);
  EXPECT_EQ(bytes.substr(0, 4), "LOGE");
  EXPECT_EQ((bytes.size() - 20) % 16, 0u);
  EXPECT_EQ(bytes.find("hidden"), std::string::npos);
  std::string iv;
  for (size_t i = 4; i < 20; ++i) iv += fmt::format("{:02x}", static_cast<uint8_t>(bytes[i]));
  std::ofstream(Path("cipher.bin"), std::ios::binary) << bytes.substr(20);
  // "secret" as UTF-8, filled up with zero bytes to 16.
  const std::string command =
      "openssl enc -d -aes-128-cbc -K 73656372657400000000000000000000 -iv " + iv + " -in " +
      Path("cipher.bin") + " -out " + Path("plain.lgf");
  ASSERT_EQ(std::system(command.c_str()), 0);
  EXPECT_EQ(Titles(ReadFile(Path("plain.lgf"))),
            (std::vector<std::string>{"hidden one", "hidden two"}));
}

TEST_F(FileProtocolTest, EncryptionWithoutAKeyFailsToConnect) {
  TLgOutput<TLgFileProtocol> protocol;
  protocol.Initialize("filename=\"" + Path("e.lgf") + "\", encrypt=true");
  try {
    protocol.Connect();
    FAIL() << "connected without a key";
  } catch (const ELgProtocolError& e) {
    EXPECT_STREQ(e.what(), "No encryption key");
    EXPECT_EQ(e.ProtocolOptions().find("key"), std::string::npos);
  }
}

TEST_F(FileProtocolTest, TextFilesStartWithOneByteOrderMark) {
  for (int round = 0; round < 2; ++round) {
    TLgOutput<TLgTextProtocol> protocol;
    protocol.Initialize("filename=\"" + Path("t.txt") +
                        "\", append=true, pattern=\"%level%: %title%\"");
    protocol.Connect();
    protocol.WritePacket(Entry("round " + std::to_string(round)));
    auto flow = std::make_shared<TLgProcessFlow>(TLgProcessFlowType::EnterMethod);
    protocol.WritePacket(flow);  // no line for it
  }
  EXPECT_EQ(ReadFile(Path("t.txt")), "\xEF\xBB\xBFMessage: round 0\r\nMessage: round 1\r\n");
  TLgOutput<TLgTextProtocol> text;
  EXPECT_EQ(text.FileName(), "log.txt");
  EXPECT_THROW(text.Initialize("encrypt=true"), ELogCenterError);
}

// While it lasts, writes past the given file size fail with EFBIG, SIGXFSZ being ignored as the
// service ignores it.
class FileSizeLimit {
 public:
  explicit FileSizeLimit(rlim_t bytes) {
    ::getrlimit(RLIMIT_FSIZE, &saved_);
    previous_ = std::signal(SIGXFSZ, SIG_IGN);
    rlimit low = saved_;
    low.rlim_cur = bytes;
    ::setrlimit(RLIMIT_FSIZE, &low);
  }
  ~FileSizeLimit() {
    ::setrlimit(RLIMIT_FSIZE, &saved_);
    std::signal(SIGXFSZ, previous_);
  }
  FileSizeLimit(const FileSizeLimit&) = delete;
  FileSizeLimit& operator=(const FileSizeLimit&) = delete;

 private:
  rlimit saved_{};
  void (*previous_)(int) = nullptr;
};

TEST_F(FileProtocolTest, AReconnectAfterAFailedWriteContinuesAfterTheLastWholeRecord) {
  for (const bool text : {false, true}) {
    const std::string path = Path(text ? "full.txt" : "full.lgf");
    std::unique_ptr<TLgFileProtocol> protocol;
    if (text) {
      protocol = std::make_unique<TLgOutput<TLgTextProtocol>>();
    } else {
      protocol = std::make_unique<TLgOutput<TLgFileProtocol>>();
    }
    protocol->Initialize("filename=\"" + path + "\", reconnect=true, reconnect.interval=1s" +
                         (text ? ", pattern=\"%title%\"" : ""));
    int64_t now = 0;
    protocol->SetTickSource([&] { return now; });
    protocol->Connect();
    std::vector<std::string> kept;
    {
      // Entries of about 100 bytes against a limit that falls inside one of them.
      FileSizeLimit limit(3050);
      for (int i = 0; i < 100; ++i) {
        const std::string title = "early " + std::to_string(i) + " " + std::string(90, 'e');
        try {
          protocol->WritePacket(Entry(title));
          kept.push_back(title);
        } catch (const ELgProtocolError& e) {
          EXPECT_EQ(std::string(e.what()), LgSysErrorMessage(EFBIG));
          break;
        }
      }
      ASSERT_LT(kept.size(), 100u);
      EXPECT_TRUE(protocol->Failed());
      protocol->WritePacket(Entry("dropped"));  // within the reconnect interval: no attempt
    }
    now += 1000;  // the interval has passed, and there is room again
    protocol->WritePacket(Entry("after"));
    protocol->Disconnect();
    kept.push_back("after");
    const std::string bytes = ReadFile(path);
    if (text) {
      std::string lines = "\xEF\xBB\xBF";
      for (const auto& title : kept) lines += title + "\r\n";
      EXPECT_EQ(bytes, lines);
    } else {
      EXPECT_EQ(Titles(bytes), kept);  // decodes whole: no torn record in the middle
    }
  }
}

TEST(FileRotaterTest, PeriodValues) {
  TLgFileRotater rotater;
  const TDateTime wednesday = EncodeDate(2024, 1, 3) + EncodeTime(5, 0, 0, 0);
  rotater.SetMode(TLgFileRotate::Hourly);
  EXPECT_EQ(rotater.ComputeTimeValue(wednesday),
            static_cast<int32_t>(EncodeDate(2024, 1, 3)) * 24 + 5);
  rotater.SetMode(TLgFileRotate::Weekly);
  EXPECT_EQ(rotater.ComputeTimeValue(wednesday), static_cast<int32_t>(EncodeDate(2024, 1, 1)));
  EXPECT_EQ(rotater.ComputeTimeValue(EncodeDate(2024, 1, 7)),
            static_cast<int32_t>(EncodeDate(2024, 1, 1)));
  rotater.SetMode(TLgFileRotate::Monthly);
  EXPECT_EQ(rotater.ComputeTimeValue(wednesday), 2024 * 12 + 1);
  rotater.Initialize(wednesday);
  EXPECT_FALSE(rotater.Update(EncodeDate(2024, 1, 31)));
  EXPECT_TRUE(rotater.Update(EncodeDate(2024, 2, 1)));
}

}  // namespace
}  // namespace parlevo::logging
