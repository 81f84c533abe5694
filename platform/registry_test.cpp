#include "platform/registry.h"
#include "tests/deadline.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace parlevo {
namespace {

namespace fs = std::filesystem;

constexpr std::string_view kKey = "SOFTWARE\\Orvalen\\Parlevo for ZyntWare";
constexpr std::string_view kHeader = "Windows Registry Editor Version 5.00\r\n\r\n";

class TempDir {
 public:
  TempDir() {
    std::string pattern = (fs::temp_directory_path() / "parlevo-registry-XXXXXX").string();
    path_ = ::mkdtemp(pattern.data());
  }
  ~TempDir() {
    std::error_code ec;
    fs::remove_all(path_, ec);
  }
  const fs::path& path() const { return path_; }

 private:
  fs::path path_;
};

std::string ReadBytes(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

void WriteBytes(const fs::path& file, std::string_view bytes) {
  std::ofstream out(file, std::ios::binary | std::ios::trunc);
  out << bytes;
}

class RegistryFile : public ::testing::Test {
 protected:
  TempDir dir_;
  fs::path file_ = dir_.path() / "registry.reg";
};

TEST_F(RegistryFile, RoundTripsTextAndIntegersInTheExportFormat) {
  {
    TRegistry reg(file_);
    ASSERT_TRUE(reg.OpenKey(kKey, true));
    reg.WriteString("ExtServerURL", "localhost");
    reg.WriteInteger("Port", 81);
    reg.WriteString("InstallPath", "C:\\Program Files\\Parlevo\\ \"quoted\" \xC3\xA4");
    reg.WriteInteger("Negative", -2);
    reg.WriteString("Empty", "");
  }
  EXPECT_EQ(ReadBytes(file_),
            std::string(kHeader) +
                "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Orvalen\\Parlevo for ZyntWare]\r\n"
                "\"ExtServerURL\"=\"localhost\"\r\n"
                "\"Port\"=dword:00000051\r\n"
                "\"InstallPath\"=\"C:\\\\Program Files\\\\Parlevo\\\\ \\\"quoted\\\" \xC3\xA4\"\r\n"
                "\"Negative\"=dword:fffffffe\r\n"
                "\"Empty\"=\"\"\r\n"
                "\r\n");

  TRegistry reader(file_);
  ASSERT_TRUE(reader.OpenKeyReadOnly("Software\\Orvalen\\Parlevo for ZyntWare"));
  EXPECT_EQ(reader.ReadString("ExtServerURL"), "localhost");
  EXPECT_EQ(reader.ReadInteger("Port"), 81);
  EXPECT_EQ(reader.ReadString("InstallPath"), "C:\\Program Files\\Parlevo\\ \"quoted\" \xC3\xA4");
  EXPECT_EQ(reader.ReadInteger("Negative"), -2);
  EXPECT_TRUE(reader.ValueExists("Empty"));
  EXPECT_EQ(reader.ReadString("Empty"), "");
  EXPECT_THROW(reader.WriteInteger("Port", 1), ERegistryException);
  EXPECT_THROW(reader.WriteString("x", "a\r\nb"), ERegistryException);
}

TEST_F(RegistryFile, NamesAreCaseInsensitiveAndKeepTheirSpelling) {
  TRegistry reg(file_);
  ASSERT_TRUE(reg.OpenKey(kKey, true));
  reg.WriteString("SMStoExt", "");
  EXPECT_TRUE(reg.ValueExists("SMSToExt"));
  reg.WriteString("SMSTOEXT", "0049");
  EXPECT_EQ(reg.ReadString("smstoext"), "0049");
  EXPECT_EQ(reg.GetValueNames(), std::vector<std::string>{"SMStoExt"});
  EXPECT_NE(ReadBytes(file_).find("\"SMStoExt\"=\"0049\""), std::string::npos);
  EXPECT_TRUE(reg.DeleteValue("smsTOext"));
  EXPECT_FALSE(reg.DeleteValue("SMStoExt"));
  EXPECT_FALSE(reg.ValueExists("SMStoExt"));
}

TEST_F(RegistryFile, MissingAndMistypedValuesFailAsOnWindows) {
  WriteBytes(file_,
             std::string(kHeader) +
                 "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Orvalen\\Parlevo for ZyntWare]\r\n"
                 "\"Port\"=\"81\"\r\n\"MaxMembers\"=dword:0000001e\r\n\"Bin\"=hex:01,02\r\n");
  TRegistry reg(file_);
  ASSERT_TRUE(reg.OpenKeyReadOnly(kKey));
  EXPECT_EQ(reg.ReadString("MailServer"), "");
  EXPECT_FALSE(reg.ValueExists("MailServer"));
  try {
    reg.ReadInteger("Logging");
    ADD_FAILURE() << "a missing integer must not read";
  } catch (const ERegistryException& e) {
    EXPECT_NE(std::string(e.what()).find("\"Logging\""), std::string::npos) << e.what();
    EXPECT_NE(std::string(e.what()).find("does not exist"), std::string::npos) << e.what();
  }
  EXPECT_THROW(reg.ReadInteger("Port"), ERegistryException);       // text, not REG_DWORD
  EXPECT_THROW(reg.ReadString("MaxMembers"), ERegistryException);  // REG_DWORD, not text
  EXPECT_THROW(reg.ReadString("Bin"), ERegistryException);         // another type
  EXPECT_THROW(reg.ReadInteger("Bin"), ERegistryException);
  EXPECT_TRUE(reg.ValueExists("bin"));
  EXPECT_EQ(reg.ReadInteger("maxmembers"), 30);

  TRegistry closed(file_);
  EXPECT_THROW(closed.ReadString("Port"), ERegistryException);
}

TEST_F(RegistryFile, OpeningWithoutCreateLeavesAMissingKeyMissing) {
  TRegistry reg(file_);
  EXPECT_FALSE(reg.OpenKeyReadOnly(kKey));
  EXPECT_FALSE(reg.OpenKey(kKey, false));
  EXPECT_FALSE(fs::exists(file_));

  ASSERT_TRUE(reg.OpenKey("SOFTWARE\\Other", true));
  EXPECT_TRUE(fs::exists(file_));
  EXPECT_FALSE(reg.OpenKeyReadOnly(kKey));
  EXPECT_TRUE(reg.OpenKeyReadOnly("software"));  // a parent of an existing key exists
  ASSERT_TRUE(reg.OpenKey(kKey, true));
  EXPECT_TRUE(reg.GetValueNames().empty());
  EXPECT_EQ(ReadBytes(file_), std::string(kHeader) +
                                  "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Other]\r\n\r\n"
                                  "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Orvalen\\Parlevo for ZyntWare]"
                                  "\r\n\r\n");
}

TEST_F(RegistryFile, BatchWriteKeepsTheOrderAndNeverOverwrites) {
  std::vector<TRegistryValue> defaults = {
      {"ExtServerURL", std::string("localhost")},
      {"InstallPath", std::string("/opt/x/")},
      {"isLotusNotes", 0},
      {"language", std::string("ger")},
      {"MailActivate", 0},
      {"Port", 81},
      {"SMStoExt", std::string("")},
      {"TimeShowMode", 24},
  };
  TRegistry reg(file_);
  ASSERT_TRUE(reg.OpenKey(kKey, true));
  reg.WriteInteger("Port", 8080);
  reg.WriteString("language", "eng");
  std::vector<std::string> written = reg.WriteMissingValues(defaults);
  EXPECT_EQ(written, (std::vector<std::string>{"ExtServerURL", "InstallPath", "isLotusNotes",
                                               "MailActivate", "SMStoExt", "TimeShowMode"}));
  EXPECT_EQ(reg.ReadInteger("Port"), 8080);
  EXPECT_EQ(reg.ReadString("Language"), "eng");
  EXPECT_EQ(reg.GetValueNames(),
            (std::vector<std::string>{"Port", "language", "ExtServerURL", "InstallPath",
                                      "isLotusNotes", "MailActivate", "SMStoExt", "TimeShowMode"}));
  EXPECT_TRUE(reg.WriteMissingValues(defaults).empty());

  // A plain batch overwrites, again in one rewrite, keeping each value's place.
  reg.WriteValues(std::vector<TRegistryValue>{{"timeshowmode", 12}, {"Port", 81}});
  EXPECT_EQ(reg.GetValueNames().front(), "Port");
  EXPECT_EQ(reg.GetValueNames().back(), "TimeShowMode");
  EXPECT_EQ(reg.ReadInteger("TimeShowMode"), 12);

  // A batch holding one value the format cannot carry writes nothing.
  const std::string before = ReadBytes(file_);
  EXPECT_THROW(reg.WriteValues(std::vector<TRegistryValue>{{"A", 1}, {"B", std::string("x\ny")}}),
               ERegistryException);
  EXPECT_EQ(ReadBytes(file_), before);
}

TEST_F(RegistryFile, OtherKeysAndForeignValueTypesSurviveARewrite) {
  const std::string other =
      "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Other]\n"
      "\"Blob\"=hex:01,02,\\\n"
      "  03\n"
      ";  keep me\n\n";
  WriteBytes(file_, "Windows Registry Editor Version 5.00\n\n" + other +
                        "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Orvalen\\Parlevo for ZyntWare]\n"
                        "\"Multi\"=hex(7):41,00,00,00\n\"Port\"=dword:51\n\n"
                        "[HKEY_CURRENT_USER\\X]\n\"y\"=\"z\"\n");
  TRegistry reg(file_);
  ASSERT_TRUE(reg.OpenKey(kKey, true));
  reg.WriteInteger("port", 83);
  reg.WriteString("Language", "ger");
  std::string crlf_other = other;
  for (size_t pos = 0; (pos = crlf_other.find('\n', pos)) != std::string::npos; pos += 2) {
    crlf_other.replace(pos, 1, "\r\n");
  }
  EXPECT_EQ(ReadBytes(file_),
            std::string(kHeader) + crlf_other +
                "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Orvalen\\Parlevo for ZyntWare]\r\n"
                "\"Multi\"=hex(7):41,00,00,00\r\n\"Port\"=dword:00000053\r\n"
                "\"Language\"=\"ger\"\r\n\r\n"
                "[HKEY_CURRENT_USER\\X]\r\n\"y\"=\"z\"\r\n");
}

TEST_F(RegistryFile, Regedit4AndUtf16FilesAreReadAndRewrittenAsUtf8) {
  WriteBytes(file_,
             "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Orvalen\\Parlevo for ZyntWare]\n"
             "\"Port\"=dword:00001f90\n");
  {
    TRegistry reg(file_);
    ASSERT_TRUE(reg.OpenKeyReadOnly(kKey));
    EXPECT_EQ(reg.ReadInteger("Port"), 8080);
  }

  std::u16string wide =
      u"Windows Registry Editor Version 5.00\r\n\r\n"
      u"[HKEY_LOCAL_MACHINE\\SOFTWARE\\Orvalen\\Parlevo for ZyntWare]\r\n"
      u"\"MailSender\"=\"K\u00f6nig <k@example.org>\"\r\n\r\n";
  std::string bytes = "\xFF\xFE";
  for (char16_t c : wide) {
    bytes += static_cast<char>(c & 0xFF);
    bytes += static_cast<char>(c >> 8);
  }
  WriteBytes(file_, bytes);
  TRegistry reg(file_);
  ASSERT_TRUE(reg.OpenKey(kKey, false));
  EXPECT_EQ(reg.ReadString("MailSender"), "K\xC3\xB6nig <k@example.org>");
  reg.WriteInteger("Port", 81);
  EXPECT_EQ(ReadBytes(file_), std::string(kHeader) +
                                  "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Orvalen\\Parlevo for ZyntWare]"
                                  "\r\n\"MailSender\"=\"K\xC3\xB6nig <k@example.org>\"\r\n"
                                  "\"Port\"=dword:00000051\r\n\r\n");
}

TEST_F(RegistryFile, AMalformedFileIsReportedAndNeverOverwritten) {
  const std::string broken =
      "Windows Registry Editor Version 5.00\n\n"
      "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Orvalen\\Parlevo for ZyntWare]\n"
      "\"Port\"=dword:51\n"
      "\"MailHost\"=\"unterminated\n";
  WriteBytes(file_, broken);
  TRegistry reg(file_);
  try {
    reg.OpenKeyReadOnly(kKey);
    ADD_FAILURE() << "a malformed file must not open";
  } catch (const ERegistryException& e) {
    std::string message = e.what();
    EXPECT_NE(message.find(file_.string()), std::string::npos) << message;
    EXPECT_NE(message.find("line 5"), std::string::npos) << message;
  }
  EXPECT_THROW(reg.OpenKey(kKey, true), ERegistryException);
  EXPECT_EQ(ReadBytes(file_), broken);

  // Broken while a writer had it open: the write fails and the file stays as the editor left it.
  WriteBytes(file_, "Windows Registry Editor Version 5.00\n");
  ASSERT_TRUE(reg.OpenKey(kKey, true));
  WriteBytes(file_, broken);
  EXPECT_THROW(reg.WriteString("MailHost", "x"), ERegistryException);
  EXPECT_THROW(reg.ReadInteger("Port"), ERegistryException);
  EXPECT_EQ(ReadBytes(file_), broken);
}

TEST_F(RegistryFile, AnEditByHandIsSeenAtTheNextRead) {
  TRegistry reg(file_);
  ASSERT_TRUE(reg.OpenKey(kKey, true));
  reg.WriteInteger("Port", 81);
  EXPECT_EQ(reg.ReadInteger("Port"), 81);
  // Rewritten in place, same size, right after the last read.
  std::string text = ReadBytes(file_);
  text.replace(text.find("00000051"), 8, "00000053");
  WriteBytes(file_, text);
  EXPECT_EQ(reg.ReadInteger("Port"), 83);
  // Replaced by an editor that writes a new file.
  fs::path edited = dir_.path() / "edited";
  WriteBytes(edited, text + "\"Language\"=\"eng\"\r\n");
  fs::rename(edited, file_);
  EXPECT_EQ(reg.ReadString("language"), "eng");
  // A write after the edit keeps what the editor added.
  reg.WriteString("MailHost", "h");
  EXPECT_EQ(reg.ReadString("language"), "eng");
  EXPECT_EQ(reg.ReadInteger("Port"), 83);
  fs::remove(file_);
  EXPECT_FALSE(reg.ValueExists("Port"));
  EXPECT_EQ(reg.ReadString("language"), "");
}

TEST_F(RegistryFile, ReadersOfEachRequestSeeWritesAndEditsMadeElsewhere) {
  {
    TRegistry writer(file_);
    ASSERT_TRUE(writer.OpenKey(kKey, true));
    writer.WriteString("MailHost", "a");
  }
  // Fresh objects, as every request makes them, share what the process read last...
  auto read = [&] {
    TRegistry reader(file_);
    EXPECT_TRUE(reader.OpenKeyReadOnly(kKey));
    return reader.ReadString("MailHost");
  };
  EXPECT_EQ(read(), "a");
  EXPECT_EQ(read(), "a");
  // ...but never past a change, whoever made it.
  TRegistry other(file_);
  ASSERT_TRUE(other.OpenKey(kKey, true));
  other.WriteString("MailHost", "b");
  EXPECT_EQ(read(), "b");
  fs::path edited = dir_.path() / "edited";
  std::string text = ReadBytes(file_);
  text.replace(text.find("\"b\""), 3, "\"c\"");
  WriteBytes(edited, text);
  fs::rename(edited, file_);
  EXPECT_EQ(read(), "c");
}

TEST_F(RegistryFile, ThreadsWritingAtOnceLoseNothing) {
  constexpr int kThreads = 8;
  constexpr int kValues = 25;
  {
    std::vector<std::jthread> threads;
    for (int t = 0; t < kThreads; ++t) {
      threads.emplace_back([this, t] {
        TRegistry reg(file_);
        reg.OpenKey(kKey, true);
        for (int i = 0; i < kValues; ++i)
          reg.WriteInteger("T" + std::to_string(t) + "_" + std::to_string(i), i);
      });
    }
  }
  TRegistry reg(file_);
  ASSERT_TRUE(reg.OpenKeyReadOnly(kKey));
  EXPECT_EQ(reg.GetValueNames().size(), static_cast<size_t>(kThreads * kValues));
  for (int t = 0; t < kThreads; ++t) {
    for (int i = 0; i < kValues; ++i) {
      EXPECT_EQ(reg.ReadInteger("t" + std::to_string(t) + "_" + std::to_string(i)), i);
    }
  }
}

TEST_F(RegistryFile, ProcessesWritingAtOnceLoseNothing) {
  constexpr int kChildren = 3;
  constexpr int kValues = 30;
  std::vector<pid_t> children;
  for (int c = 0; c < kChildren; ++c) {
    pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      int rc = 0;
      try {
        TRegistry reg(file_);
        reg.OpenKey(kKey, true);
        for (int i = 0; i < kValues; ++i) {
          reg.WriteString("P" + std::to_string(c) + "_" + std::to_string(i), std::to_string(i));
        }
      } catch (...) {
        rc = 1;
      }
      ::_exit(rc);
    }
    children.push_back(pid);
  }
  testing_support::TWatchdog dog("the writing child processes", children);
  for (pid_t pid : children) {
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }
  TRegistry reg(file_);
  ASSERT_TRUE(reg.OpenKeyReadOnly(kKey));
  EXPECT_EQ(reg.GetValueNames().size(), static_cast<size_t>(kChildren * kValues));
  for (int c = 0; c < kChildren; ++c) {
    for (int i = 0; i < kValues; ++i) {
      EXPECT_EQ(reg.ReadString("P" + std::to_string(c) + "_" + std::to_string(i)),
                std::to_string(i));
    }
  }
}

TEST_F(RegistryFile, AWriterKilledMidWayLeavesTheOldFileWhole) {
  {
    TRegistry reg(file_);
    ASSERT_TRUE(reg.OpenKey(kKey, true));
    reg.WriteInteger("Port", 81);
    reg.WriteString("Language", "ger");
  }
  // What a writer killed between creating and renaming its temporary file leaves behind.
  const fs::path leftover = dir_.path() / "registry.reg.tmp.Ab12Cd";
  WriteBytes(leftover, "Windows Registry Editor Version 5.00\r\n[HKEY_LOC");

  // A child rewriting large values over and over, killed while it works.
  int ready[2];
  ASSERT_EQ(::pipe(ready), 0);
  pid_t pid = ::fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    ::close(ready[0]);
    TRegistry reg(file_);
    reg.OpenKey(kKey, true);
    const std::string big(1 << 20, 'x');
    for (int i = 0;; ++i) {
      reg.WriteString("Big" + std::to_string(i % 4), big);
      if (i == 0) {
        char c = 1;
        (void)!::write(ready[1], &c, 1);
      }
    }
  }
  ::close(ready[1]);
  testing_support::TWatchdog dog("the writer child and its first write", {pid});
  char c = 0;
  ASSERT_EQ(::read(ready[0], &c, 1), 1);
  ::close(ready[0]);
  ::kill(pid, SIGKILL);
  int status = 0;
  ASSERT_EQ(::waitpid(pid, &status, 0), pid);

  TRegistry reg(file_);
  ASSERT_TRUE(reg.OpenKey(kKey, false));
  EXPECT_EQ(reg.ReadInteger("Port"), 81);
  EXPECT_EQ(reg.ReadString("Language"), "ger");
  EXPECT_EQ(reg.ReadString("Big0").size(), size_t{1} << 20);
  // The lock died with the child; the next write goes through and clears the leftovers.
  reg.WriteInteger("Port", 82);
  EXPECT_EQ(reg.ReadInteger("Port"), 82);
  for (const auto& entry : fs::directory_iterator(dir_.path())) {
    EXPECT_EQ(entry.path().filename().string().find(".tmp."), std::string::npos) << entry.path();
  }
}

TEST(RegistryPath, OptionThenEnvironmentThenHomeFolder) {
  const char* saved = std::getenv("ZYNTPARLEVO_REGISTRY");
  std::string saved_value = saved ? saved : "";
  ::unsetenv("ZYNTPARLEVO_REGISTRY");
  EXPECT_EQ(ResolveRegistryFilePath(std::nullopt, "/opt/zyntparlevo"),
            fs::path("/opt/zyntparlevo/registry.reg"));
  ::setenv("ZYNTPARLEVO_REGISTRY", "/etc/parlevo.reg", 1);
  EXPECT_EQ(ResolveRegistryFilePath(std::nullopt, "/opt/zyntparlevo"),
            fs::path("/etc/parlevo.reg"));
  EXPECT_EQ(ResolveRegistryFilePath(fs::path("/srv/a.reg"), "/opt/zyntparlevo"),
            fs::path("/srv/a.reg"));
  EXPECT_EQ(ResolveRegistryFilePath(fs::path("rel.reg"), "/opt"), fs::current_path() / "rel.reg");
  if (saved) {
    ::setenv("ZYNTPARLEVO_REGISTRY", saved_value.c_str(), 1);
  } else {
    ::unsetenv("ZYNTPARLEVO_REGISTRY");
  }

  TempDir dir;
  SetRegistryFilePath(dir.path() / "conf.reg");
  EXPECT_EQ(RegistryFilePath(), dir.path() / "conf.reg");
  TRegistry reg;
  EXPECT_EQ(reg.FileName(), dir.path() / "conf.reg");
  ASSERT_TRUE(reg.OpenKey(kKey, true));
  EXPECT_TRUE(fs::exists(dir.path() / "conf.reg"));
}

}  // namespace
}  // namespace parlevo
