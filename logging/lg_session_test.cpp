#include "logging/lg_session.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>

#include <unistd.h>

#include "logging/lg_log_center.h"
#include "logging/lg_session_manager.h"
#include "logging/lg_test_support.h"

namespace parlevo::logging {
namespace {

using testing::CaptureLog;
using testing::FakeConfig;

class SessionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    testing::RegisterCaptureProtocol();
    CaptureLog::Instance().Reset();
    center_.SetConnections("capture()");
    center_.Enable();
  }

  static std::vector<std::shared_ptr<TLgLogEntry>> Entries() {
    return CaptureLog::Instance().Entries();
  }
  static std::shared_ptr<TLgLogEntry> OnlyEntry() {
    auto entries = Entries();
    EXPECT_EQ(entries.size(), 1u);
    return entries.empty() ? nullptr : entries[0];
  }
  static std::string DataText(const TLgLogEntry& entry) {
    std::string_view data = entry.Data();
    EXPECT_EQ(data.substr(0, 3), "\xEF\xBB\xBF");
    return std::string(data.substr(3));
  }

  TLogCenter center_{"app"};
  TLgSession& session_ = center_.AddSession("Main", true);
};

TEST(Session, RequiresAParent) {
  try {
    TLgSession session(nullptr, "x");
    FAIL();
  } catch (const ELogCenterError& e) {
    EXPECT_STREQ(e.what(), "AParent argument is not assigned");
  }
}

TEST_F(SessionTest, SessionLevelFiltersOperations) {
  session_.SetLevel(TLgLevel::Warning);
  session_.LogMessage("quiet");
  session_.LogDebug("quiet");
  session_.LogError("loud");
  auto entry = OnlyEntry();
  ASSERT_TRUE(entry);
  EXPECT_EQ(entry->LogEntryType(), TLgLogEntryType::Error);
  EXPECT_EQ(entry->ViewerId(), TLgViewerId::Title);
  EXPECT_EQ(entry->Title(), "loud");
}

TEST_F(SessionTest, ParentLevelSuppressesEntryAndProcessFlow) {
  center_.SetLevel(TLgLevel::Error);
  session_.EnterMethod(TLgLevel::Debug, "Run");
  session_.LeaveMethod(TLgLevel::Debug, "Run");
  EXPECT_TRUE(CaptureLog::Instance().Packets().empty());
}

TEST_F(SessionTest, InactiveSessionProducesNothing) {
  session_.SetActive(false);
  session_.LogError("x");
  EXPECT_TRUE(CaptureLog::Instance().Packets().empty());
}

TEST_F(SessionTest, EnterAndLeaveSendEntryThenFlow) {
  session_.EnterMethod(TLgLevel::Verbose, "Run");
  session_.LeaveMethod(TLgLevel::Verbose, "Run");
  const auto packets = CaptureLog::Instance().Packets();
  ASSERT_EQ(packets.size(), 4u);
  auto enter = std::dynamic_pointer_cast<TLgLogEntry>(packets[0].packet);
  auto enter_flow = std::dynamic_pointer_cast<TLgProcessFlow>(packets[1].packet);
  auto leave = std::dynamic_pointer_cast<TLgLogEntry>(packets[2].packet);
  auto leave_flow = std::dynamic_pointer_cast<TLgProcessFlow>(packets[3].packet);
  ASSERT_TRUE(enter && enter_flow && leave && leave_flow);
  EXPECT_EQ(enter->LogEntryType(), TLgLogEntryType::EnterMethod);
  EXPECT_EQ(enter->Level(), TLgLevel::Verbose);
  EXPECT_EQ(enter_flow->ProcessFlowType(), TLgProcessFlowType::EnterMethod);
  EXPECT_EQ(enter_flow->Title(), "Run");
  EXPECT_EQ(enter_flow->Level(), TLgLevel::Verbose);
  EXPECT_EQ(leave->LogEntryType(), TLgLogEntryType::LeaveMethod);
  EXPECT_EQ(leave_flow->ProcessFlowType(), TLgProcessFlowType::LeaveMethod);
  EXPECT_GT(enter->Timestamp(), 0);
}

TEST_F(SessionTest, MethodScopeLeavesOnEveryPath) {
  { TLgMethodScope scope(session_, "Scoped"); }
  const auto entries = Entries();
  ASSERT_EQ(entries.size(), 2u);
  EXPECT_EQ(entries[0]->LogEntryType(), TLgLogEntryType::EnterMethod);
  EXPECT_EQ(entries[1]->LogEntryType(), TLgLogEntryType::LeaveMethod);
}

TEST_F(SessionTest, ValueTitles) {
  session_.LogBoolean(TLgLevel::Debug, "x", false);
  session_.LogBoolean(TLgLevel::Debug, "y", true);
  session_.LogString(TLgLevel::Debug, "a", "b");
  session_.LogInteger("n", 7);
  session_.LogIntegerLevel(TLgLevel::Debug, "m", -12);
  session_.LogDateTime(TLgLevel::Debug, "d", EncodeDate(2024, 3, 5));
  session_.LogDateTime(TLgLevel::Debug, "t", EncodeDate(2024, 3, 5) + EncodeTime(13, 4, 5, 6));
  std::vector<std::string> titles;
  for (const auto& entry : Entries()) {
    EXPECT_EQ(entry->LogEntryType(), TLgLogEntryType::VariableValue);
    titles.push_back(entry->Title());
  }
  EXPECT_EQ(titles,
            (std::vector<std::string>{"x = False", "y = True", "a = 'b'", "n = 7", "m = -12",
                                      "d = 05.03.2024", "t = 05.03.2024 13:04:05.006"}));
}

TEST_F(SessionTest, OperationsWithoutLevelUseTheDefaultLevel) {
  center_.SetDefaultLevel(TLgLevel::Verbose);
  session_.SetLevel(TLgLevel::Message);
  session_.LogInteger("n", 1);
  session_.LogSeparator();
  EXPECT_TRUE(Entries().empty());
  center_.SetDefaultLevel(TLgLevel::Message);
  session_.LogSeparator();
  auto entry = OnlyEntry();
  ASSERT_TRUE(entry);
  EXPECT_EQ(entry->LogEntryType(), TLgLogEntryType::Separator);
  EXPECT_EQ(entry->ViewerId(), TLgViewerId::None);
  EXPECT_EQ(entry->Title(), "");
}

TEST_F(SessionTest, TextSourceAndListDataBlocks) {
  session_.LogText(TLgLevel::Debug, "text", "line1\nline2");
  session_.LogSql(TLgLevel::Debug, "query", "SELECT 1");
  session_.LogSource(TLgLevel::Debug, "page", TLgSourceId::Xml, "<a/>");
  session_.LogStringList(TLgLevel::Debug, "list", {"one", "two\r\nlines"});
  const auto entries = Entries();
  ASSERT_EQ(entries.size(), 4u);
  EXPECT_EQ(entries[0]->LogEntryType(), TLgLogEntryType::Text);
  EXPECT_EQ(entries[0]->ViewerId(), TLgViewerId::Data);
  EXPECT_EQ(DataText(*entries[0]), "line1\nline2");
  EXPECT_EQ(entries[1]->LogEntryType(), TLgLogEntryType::Source);
  EXPECT_EQ(entries[1]->ViewerId(), TLgViewerId::SqlSource);
  EXPECT_EQ(DataText(*entries[1]), "SELECT 1");
  EXPECT_EQ(entries[2]->ViewerId(), TLgViewerId::XmlSource);
  EXPECT_EQ(entries[3]->LogEntryType(), TLgLogEntryType::Text);
  EXPECT_EQ(entries[3]->ViewerId(), TLgViewerId::List);
  EXPECT_EQ(DataText(*entries[3]), "one\r\ntwo lines\r\n");
}

TEST_F(SessionTest, MissingListAndUnreadableFileBecomeInternalErrors) {
  session_.LogStringList(TLgLevel::Debug, "list", nullptr);
  session_.LogTextFile(TLgLevel::Debug, "file", "/nonexistent/dir/file.txt");
  const auto entries = Entries();
  ASSERT_EQ(entries.size(), 2u);
  EXPECT_EQ(entries[0]->LogEntryType(), TLgLogEntryType::InternalError);
  EXPECT_EQ(entries[0]->Title(), "LogStringList: AStrings argument is not assigned");
  EXPECT_EQ(entries[1]->LogEntryType(), TLgLogEntryType::InternalError);
  EXPECT_EQ(entries[1]->Title(), "LogCustomFile: No such file or directory");
}

TEST_F(SessionTest, TextFileIsSentAsItsBytes) {
  const auto path = std::filesystem::temp_directory_path() /
                    ("lg_session_test_" + std::to_string(::getpid()) + ".bin");
  std::ofstream(path, std::ios::binary) << std::string("a\0b", 3);
  session_.LogTextFile(TLgLevel::Debug, "file", path.string());
  std::filesystem::remove(path);
  auto entry = OnlyEntry();
  ASSERT_TRUE(entry);
  EXPECT_EQ(entry->ViewerId(), TLgViewerId::Data);
  EXPECT_EQ(entry->Data(), std::string_view("a\0b", 3));
}

class Widget {
 public:
  virtual ~Widget() = default;
};
class Button : public Widget {};

class Gauge : public TLgInspectable {
 public:
  void PublishProperties(TLgObjectProperties& p) const override {
    p.AddInteger("Width", 10);
    p.AddText("Caption", "a=b");
    p.AddBoolean("Visible", true);
    p.AddFloat("Ratio", 0.5);
    p.AddSet("Anchors", {"akLeft", "akTop"});
    p.AddEvent("OnClick");
    p.AddEvent("OnChange", this, "TForm", reinterpret_cast<const void*>(0x1234));
  }
};

TEST_F(SessionTest, InstanceMethodsUseTheRunTimeClassName) {
  Button button;
  const Widget* widget = &button;
  session_.EnterMethodInstance(TLgLevel::Debug, widget, "Click");
  const Widget* missing = nullptr;
  session_.LeaveMethodInstance(TLgLevel::Debug, missing, "Click");
  const auto packets = CaptureLog::Instance().Packets();
  ASSERT_EQ(packets.size(), 3u);  // entry and flow, then one internal error without flow
  EXPECT_EQ(std::dynamic_pointer_cast<TLgLogEntry>(packets[0].packet)->Title(), "Button.Click");
  EXPECT_EQ(std::dynamic_pointer_cast<TLgProcessFlow>(packets[1].packet)->Title(), "Button.Click");
  auto error = std::dynamic_pointer_cast<TLgLogEntry>(packets[2].packet);
  ASSERT_TRUE(error);
  EXPECT_EQ(error->LogEntryType(), TLgLogEntryType::InternalError);
  EXPECT_EQ(error->Title(), "LeaveMethod: AInstance argument is not assigned");
}

TEST_F(SessionTest, LogObjectListsSortedPropertiesAndEvents) {
  Gauge gauge;
  session_.LogObject(TLgLevel::Debug, "gauge", &gauge);
  auto entry = OnlyEntry();
  ASSERT_TRUE(entry);
  EXPECT_EQ(entry->LogEntryType(), TLgLogEntryType::Object);
  EXPECT_EQ(entry->ViewerId(), TLgViewerId::Inspector);
  char address[32];
  std::snprintf(address, sizeof address, "%08lX", reinterpret_cast<unsigned long>(&gauge));
  EXPECT_EQ(DataText(*entry), std::string("[Properties]\r\n"
                                          "Anchors=\\[akLeft,akTop\\]\r\n"
                                          "Caption=a\\=b\r\n"
                                          "Ratio=0.5\r\n"
                                          "Visible=True\r\n"
                                          "Width=10\r\n"
                                          "[Events]\r\n"
                                          "OnChange=(Object $") +
                                  address +
                                  " of class TForm, Method at address $00001234)\r\n"
                                  "OnClick=nil\r\n");
}

TEST_F(SessionTest, LogObjectArgumentErrors) {
  const Gauge* missing = nullptr;
  session_.LogObject(TLgLevel::Debug, "x", missing);
  Button plain;
  session_.LogObject(TLgLevel::Debug, "y", &plain);
  const auto entries = Entries();
  ASSERT_EQ(entries.size(), 2u);
  EXPECT_EQ(entries[0]->Title(), "LogObject: AInstance argument is not assigned");
  EXPECT_EQ(entries[1]->Title(), "LogObject: AInstance argument has no RTTI");
}

TEST_F(SessionTest, Exceptions) {
  session_.LogException(std::runtime_error("bad\r\nthing"), "Saving");
  session_.LogException(std::logic_error("plain"), "  ");
  session_.LogException("outside");
  try {
    throw std::out_of_range("range");
  } catch (...) {
    session_.LogException("Inside");
  }
  std::vector<std::string> titles;
  for (const auto& entry : Entries()) titles.push_back(entry->Title());
  EXPECT_EQ(titles,
            (std::vector<std::string>{"Saving: Exception runtime_error: bad thing",
                                      "Exception logic_error: plain",
                                      "LogException: There is no exception handled currently",
                                      "Inside: Exception out_of_range: range"}));
  EXPECT_EQ(Entries()[0]->LogEntryType(), TLgLogEntryType::Error);
  EXPECT_EQ(Entries()[2]->LogEntryType(), TLgLogEntryType::InternalError);
}

TEST_F(SessionTest, ColorsAreResolvedWhenEntriesAreBuilt) {
  session_.LogMessage("default");
  session_.SetColor(0x7F123456);
  session_.LogMessage("rgb");
  session_.SetColor(0xFF000018);  // a system colour reference (tooltip background)
  session_.LogMessage("system");
  const auto entries = Entries();
  ASSERT_EQ(entries.size(), 3u);
  EXPECT_EQ(entries[0]->Color(), kLgDefaultColor);
  EXPECT_EQ(entries[1]->Color(), 0x123456u);
  EXPECT_EQ(entries[2]->Color(), 0xE1FFFFu);
}

TEST(SessionManager, DefaultsReachOnlySessionsAddedLater) {
  TLogCenter center("app");
  TLgSession& early = center.AddSession("Early", true);
  center.Sessions().LoadConfiguration(FakeConfig{{"sessiondefaults.active", "false"},
                                                 {"sessiondefaults.level", "error"},
                                                 {"sessiondefaults.color", "0xFF0000"}});
  TLgSession& late = center.AddSession("Late", false);
  EXPECT_TRUE(early.Active());
  EXPECT_EQ(early.Level(), TLgLevel::Debug);
  EXPECT_FALSE(late.Active());
  EXPECT_EQ(late.Level(), TLgLevel::Error);
  EXPECT_EQ(late.Color(), 0x0000FFu);
  EXPECT_FALSE(late.IsStored());
  EXPECT_EQ(center.Sessions().Find("Late"), nullptr);
  EXPECT_EQ(center.Sessions().Count(), 2);
}

TEST(SessionManager, PerSessionKeysApplyByNameWithoutRegardToCase) {
  TLogCenter center("app");
  TLgSession& main = center.AddSession("Main", true);
  TLgSession& other = center.AddSession("Other", true);
  center.LoadConfiguration(FakeConfig{{"session.main.level", "warning"},
                                      {"SESSION.Main.Active", "false"},
                                      {"session.x", "ignored"},
                                      {"session.other.color", "0x00FF00"}});
  EXPECT_EQ(main.Level(), TLgLevel::Warning);
  EXPECT_FALSE(main.Active());
  EXPECT_EQ(main.Color(), kLgDefaultColor);  // no colour key for main
  EXPECT_EQ(other.Level(), TLgLevel::Debug);
  EXPECT_TRUE(other.Active());
  EXPECT_EQ(other.Color(), 0x00FF00u);
  EXPECT_EQ(center.Sessions().Find("x"), nullptr);

  // A session filed later under a configured name gets its settings when it is added; the
  // name table now finds the newer session.
  TLgSession& again = center.AddSession("MAIN", true);
  EXPECT_EQ(again.Level(), TLgLevel::Warning);
  EXPECT_EQ(center.Sessions().Find("main"), &again);
}

TEST(SessionManager, UnreadableValuesGiveTheDocumentedDefaults) {
  TLogCenter center("app");
  TLgSession& s = center.AddSession("s", true);
  s.SetLevel(TLgLevel::Error);
  s.SetColor(0x123456);
  center.Sessions().LoadConfiguration(
      FakeConfig{{"session.s.level", "loud"}, {"session.s.color", "red"}});
  EXPECT_EQ(s.Level(), TLgLevel::Debug);
  EXPECT_EQ(s.Color(), kLgDefaultColor);
}

}  // namespace
}  // namespace parlevo::logging
