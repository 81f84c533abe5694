#include "logging/lg_log_center.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <fstream>
#include <set>
#include <thread>
#include <type_traits>

#include "logging/lg_auto.h"
#include "logging/lg_test_support.h"

namespace parlevo::logging {
namespace {

using testing::CaptureLog;
using testing::FakeConfig;

class LogCenterTest : public ::testing::Test {
 protected:
  void SetUp() override {
    testing::RegisterCaptureProtocol();
    CaptureLog::Instance().Reset();
    center_.SetOnError([this](TLogCenter&, const std::exception& e) {
      std::lock_guard lock(errors_lock_);
      errors_.push_back(e.what());
    });
  }

  std::vector<std::string> Errors() {
    std::lock_guard lock(errors_lock_);
    return errors_;
  }
  static std::vector<std::string> Events() { return CaptureLog::Instance().Events(); }
  static size_t EntryCount(const std::string& caption = "capture") {
    return CaptureLog::Instance().Entries(caption).size();
  }

  // Declared before the center: its destructor still reports disconnect failures.
  std::mutex errors_lock_;
  std::vector<std::string> errors_;
  TLogCenter center_{"app.exe"};
  TLgSession& session_ = center_.AddSession("Test", true);
};

TEST_F(LogCenterTest, StartsDisabledWithDefaults) {
  EXPECT_FALSE(center_.Enabled());
  EXPECT_EQ(center_.AppName(), "app.exe");
  // The whole name the system reports, however long.
  char host_name[HOST_NAME_MAX + 1] = {};
  ASSERT_EQ(::gethostname(host_name, sizeof host_name - 1), 0);
  EXPECT_EQ(center_.HostName(), host_name);
  EXPECT_FALSE(center_.HostName().empty());
  EXPECT_EQ(center_.Level(), TLgLevel::Debug);
  EXPECT_EQ(center_.DefaultLevel(), TLgLevel::Message);
  EXPECT_EQ(center_.Resolution(), TLgResolution::Standard);
  EXPECT_EQ(center_.Connections(), "");
  EXPECT_EQ(center_.ProtocolCount(), 0);
  EXPECT_FALSE(center_.IsMultiThreaded());
}

TEST_F(LogCenterTest, DisabledCenterDeliversNothingAndConnectsNothing) {
  center_.SetConnections("capture()");
  EXPECT_EQ(center_.ProtocolCount(), 1);
  session_.LogError("e");
  session_.LogMessage("m");
  session_.EnterMethod(TLgLevel::Fatal, "Run");
  EXPECT_EQ(Events(), std::vector<std::string>{});

  center_.Enable();
  session_.LogMessage("now");
  center_.Disable();
  session_.LogError("gone");
  EXPECT_EQ(Events(),
            (std::vector<std::string>{"capture:connect", "capture:write", "capture:disconnect"}));
}

TEST_F(LogCenterTest, EntriesCarryNamesAndReachEveryProtocolInOrder) {
  center_.SetConnections("capture(caption=a), capture(caption=b)");
  center_.Enable();
  session_.LogWarning("careful");
  EXPECT_EQ(Events(), (std::vector<std::string>{"a:connect", "b:connect", "a:write", "b:write"}));
  const auto packets = CaptureLog::Instance().Packets();
  ASSERT_EQ(packets.size(), 2u);
  EXPECT_EQ(packets[0].packet, packets[1].packet);  // both write the same packet
  EXPECT_EQ(packets[0].app_name, "app.exe");
  EXPECT_EQ(packets[0].host_name, center_.HostName());
  const auto entry = CaptureLog::Instance().Entries("a").at(0);
  EXPECT_EQ(entry->AppName(), "app.exe");
  EXPECT_EQ(entry->HostName(), center_.HostName());
  EXPECT_EQ(entry->SessionName(), "Test");
  EXPECT_EQ(entry->Title(), "careful");
  EXPECT_EQ(entry->Level(), TLgLevel::Warning);
  EXPECT_FALSE(entry->ThreadSafe());
}

TEST_F(LogCenterTest, FailingProtocolDoesNotKeepTheNextFromThePacket) {
  center_.SetConnections("capture(caption=a, fail=write), capture(caption=b)");
  center_.Enable();
  session_.LogMessage("one");
  EXPECT_EQ(EntryCount("b"), 1u);
  EXPECT_EQ(Errors(), std::vector<std::string>{"a cannot write"});
}

TEST_F(LogCenterTest, FailingConnectAndDisconnectAreReportedPerProtocol) {
  center_.SetConnections("capture(caption=a, fail=connect), capture(caption=b, fail=disconnect)");
  center_.Enable();
  center_.Disable();
  EXPECT_EQ(Events(),
            (std::vector<std::string>{"a:connect", "b:connect", "a:disconnect", "b:disconnect"}));
  EXPECT_EQ(Errors(), (std::vector<std::string>{"a cannot connect", "b cannot disconnect"}));
}

TEST_F(LogCenterTest, ProtocolLevelOptionFiltersPackets) {
  center_.SetConnections("capture(caption=all), capture(caption=errors, level=error)");
  center_.Enable();
  session_.LogMessage("m");
  session_.LogError("e");
  EXPECT_EQ(EntryCount("all"), 2u);
  ASSERT_EQ(EntryCount("errors"), 1u);
  EXPECT_EQ(CaptureLog::Instance().Entries("errors")[0]->Title(), "e");
}

TEST_F(LogCenterTest, UnknownProtocolRemovesEveryProtocolAndRaisesToSetConnections) {
  static_assert(!std::is_base_of_v<ELogCenterError, ELgInvalidConnectionsError>);
  center_.SetConnections("capture(caption=old)");
  center_.Enable();
  try {
    center_.SetConnections("capture(caption=a), udp(), capture(caption=b)");
    FAIL() << "an unknown protocol must raise";
  } catch (const ELgInvalidConnectionsError& e) {
    EXPECT_STREQ(e.what(), "Protocol \"udp\" not found");
  }
  EXPECT_EQ(center_.ProtocolCount(), 0);
  EXPECT_EQ(center_.Connections(), "");
  EXPECT_TRUE(center_.Enabled());
  session_.LogError("nowhere");
  EXPECT_EQ(Events(), (std::vector<std::string>{"old:connect", "old:disconnect", "a:disconnect"}));
}

TEST_F(LogCenterTest, TryConnectionsReportsFailuresThroughDoError) {
  center_.SetConnections("capture(caption=kept)");
  EXPECT_FALSE(center_.TryConnections(""));
  EXPECT_EQ(center_.ProtocolCount(), 1);
  EXPECT_EQ(center_.Connections(), "capture(caption=kept)");

  EXPECT_FALSE(center_.TryConnections("capture(bogus=1)"));
  EXPECT_FALSE(center_.TryConnections("capture(caption=x"));
  EXPECT_EQ(center_.ProtocolCount(), 0);
  EXPECT_EQ(Errors(),
            (std::vector<std::string>{"Option \"bogus\" not available for protocol \"capture\"",
                                      "Missing \")\" at position 18"}));
  EXPECT_TRUE(center_.TryConnections("capture()"));
  EXPECT_EQ(center_.ProtocolCount(), 1);
}

TEST_F(LogCenterTest, ChangingConnectionsWhileEnabledSwitchesOutputsAtOnce) {
  center_.Enable();
  center_.SetConnections("capture(caption=a)");
  center_.SetConnections("capture(caption=b)");
  EXPECT_EQ(Events(), (std::vector<std::string>{"a:connect", "a:disconnect", "b:connect"}));
}

TEST_F(LogCenterTest, VariablesAreExpandedButConnectionsKeepsTheText) {
  center_.Variables().Put("name", "expanded");
  center_.SetConnections("capture(caption=$name$)");
  center_.Enable();
  EXPECT_EQ(center_.Connections(), "capture(caption=$name$)");
  EXPECT_EQ(Events(), std::vector<std::string>{"expanded:connect"});
}

TEST_F(LogCenterTest, AsynchronousProtocolMakesPacketsThreadSafe) {
  center_.SetConnections("capture(async=true)");
  EXPECT_TRUE(center_.IsMultiThreaded());
  center_.Enable();
  session_.LogMessage("shared");
  ASSERT_EQ(EntryCount(), 1u);
  EXPECT_TRUE(CaptureLog::Instance().Entries()[0]->ThreadSafe());
  center_.SetConnections("capture()");
  EXPECT_FALSE(center_.IsMultiThreaded());
}

TEST_F(LogCenterTest, FilterAndNotificationHandlers) {
  center_.SetConnections("capture()");
  center_.Enable();
  std::vector<std::string> seen;
  center_.SetOnFilter([](TLogCenter&, const TLgPacket& packet) {
    auto* entry = dynamic_cast<const TLgLogEntry*>(&packet);
    return entry && entry->Title() == "secret";
  });
  center_.SetOnLogEntry([&](TLogCenter&, const TLgLogEntry& e) { seen.push_back(e.Title()); });
  center_.SetOnProcessFlow(
      [&](TLogCenter&, const TLgProcessFlow& f) { seen.push_back("flow " + f.Title()); });
  session_.LogMessage("secret");
  session_.LogMessage("public");
  session_.EnterMethod(TLgLevel::Debug, "Run");
  EXPECT_EQ(seen, (std::vector<std::string>{"public", "Run", "flow Run"}));
  EXPECT_EQ(EntryCount(), 2u);
  ASSERT_EQ(CaptureLog::Instance().Flows().size(), 1u);
  EXPECT_EQ(CaptureLog::Instance().Flows()[0]->HostName(), center_.HostName());
}

TEST_F(LogCenterTest, ConfigurationEnablesOverExistingProtocolsWhenConnectionsAbsent) {
  center_.SetConnections("capture()");
  center_.LoadConfiguration(FakeConfig{{"enabled", "true"}});
  EXPECT_TRUE(center_.Enabled());
  EXPECT_EQ(center_.ProtocolCount(), 1);
  session_.LogMessage("hello");
  EXPECT_EQ(EntryCount(), 1u);
}

TEST_F(LogCenterTest, ConfigurationWithUnknownProtocolKeepsEnabledStateButNoProtocol) {
  center_.SetConnections("capture()");
  center_.LoadConfiguration(
      FakeConfig{{"connections", "capture(caption=first), nosuch()"}, {"enabled", "yes"}});
  EXPECT_TRUE(center_.Enabled());
  EXPECT_EQ(center_.ProtocolCount(), 0);
  EXPECT_EQ(Errors(), std::vector<std::string>{"Protocol \"nosuch\" not found"});
  session_.LogError("lost");
  EXPECT_EQ(CaptureLog::Instance().Packets().size(), 0u);
}

TEST_F(LogCenterTest, ConfigurationAppliesNamesLevelsAndDisabling) {
  center_.LoadConfiguration(FakeConfig{{"connections", "capture()"},
                                       {"enabled", "true"},
                                       {"appname", "Conference"},
                                       {"level", "warning"},
                                       {"defaultlevel", "error"}});
  EXPECT_EQ(center_.AppName(), "Conference");
  EXPECT_EQ(center_.Level(), TLgLevel::Warning);
  EXPECT_EQ(center_.DefaultLevel(), TLgLevel::Error);
  session_.LogMessage("below the global level");
  session_.LogInteger("n", 1);  // default level error
  ASSERT_EQ(EntryCount(), 1u);
  EXPECT_EQ(CaptureLog::Instance().Entries()[0]->AppName(), "Conference");

  center_.LoadConfiguration(FakeConfig{{"level", "nonsense"}, {"enabled", "false"}});
  EXPECT_EQ(center_.Level(), TLgLevel::Warning);  // unknown words keep the level
  EXPECT_FALSE(center_.Enabled());
  EXPECT_EQ(center_.ProtocolCount(), 1);  // absent connections keep the protocols
}

TEST_F(LogCenterTest, ManyThreadsLoggingAtOnceLoseNothing) {
  center_.SetConnections("capture()");
  center_.Enable();
  constexpr int kThreads = 8;
  constexpr int kEach = 200;
  {
    std::vector<std::jthread> threads;
    for (int t = 0; t < kThreads; ++t) {
      threads.emplace_back([this] {
        for (int i = 0; i < kEach; ++i) session_.LogIntegerLevel(TLgLevel::Debug, "i", i);
      });
    }
  }
  const auto entries = CaptureLog::Instance().Entries();
  ASSERT_EQ(entries.size(), static_cast<size_t>(kThreads * kEach));
  std::set<uint32_t> thread_ids;
  for (const auto& entry : entries) thread_ids.insert(entry->ThreadId());
  EXPECT_EQ(thread_ids.size(), static_cast<size_t>(kThreads));
}

TEST(GlobalLogCenter, StartsDisabledWithMainSessionAndExecutableName) {
  TLogCenter& center = GlobalLogCenter();
  EXPECT_EQ(&center, &GlobalLogCenter());
  EXPECT_EQ(center.AppName(), "parlevo_logging_tests");
  EXPECT_FALSE(center.Enabled());
  EXPECT_EQ(MainSession().Name(), "Main");
  EXPECT_TRUE(MainSession().IsStored());
  EXPECT_EQ(center.Sessions().Find("main"), &MainSession());
  MainSession().LogError("disabled: goes nowhere and does not raise");
}

}  // namespace
}  // namespace parlevo::logging

namespace parlevo::logging {
namespace {

TEST(LogCenterFile, ConfigurationFileIsReadAndAppliedAndAMissingOneChangesNothing) {
  TLogCenter center("app");
  std::vector<std::string> errors;
  center.SetOnError([&](TLogCenter&, const std::exception& e) { errors.push_back(e.what()); });
  const std::string missing = ::testing::TempDir() + "/no-such-file.lgc";
  center.LoadConfiguration(missing);
  EXPECT_FALSE(center.Enabled());
  ASSERT_EQ(errors.size(), 1u);

  const std::string file = ::testing::TempDir() + "/center-test.lgc";
  {
    std::ofstream out(file);
    out << "; comment\nenabled = true\nlevel = warning\nappname = Parlevo\n";
  }
  center.LoadConfiguration(file);
  EXPECT_TRUE(center.Enabled());
  EXPECT_EQ(center.Level(), TLgLevel::Warning);
  EXPECT_EQ(center.AppName(), "Parlevo");
  std::remove(file.c_str());
}

}  // namespace
}  // namespace parlevo::logging
