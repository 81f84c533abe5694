// The pipe and TCP outputs against a real viewer on loopback (a Unix socket and 127.0.0.1).
#include <grp.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <mutex>
#include <thread>

#include "logging/lg_log_center.h"
#include "logging/lg_pipe_protocol.h"
#include "logging/lg_protocol_factory.h"
#include "logging/lg_session.h"
#include "logging/lg_tcp_protocol.h"
#include "logging/lg_test_viewer.h"
#include "tests/deadline.h"
#include "tests/scoped_env.h"
#include "tests/temp_folder.h"

namespace parlevo::logging {
namespace {

using testing::DecodedPacket;
using testing::TestViewer;

std::string UniquePipeName() {
  static std::atomic<int> counter{0};
  return "lgtest-" + std::to_string(::getpid()) + "-" + std::to_string(counter++);
}

class NetworkProtocolsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // The pipe sockets' folder, as systemd makes it for the service (mode 0700).
    runtime_ =
        std::make_unique<testing_support::TScopedEnv>("RUNTIME_DIRECTORY", run_.path().c_str());
    RegisterLibraryProtocols();
    center_.SetOnError([this](TLogCenter&, const std::exception& e) {
      std::lock_guard lock(lock_);
      errors_.push_back(e.what());
    });
  }
  std::vector<std::string> Errors() {
    std::lock_guard lock(lock_);
    return errors_;
  }
  // Logs a method with a message inside; the viewer should see 3 entries and 2 flows.
  void LogMethod(const std::string& name) {
    session_.EnterMethod(TLgLevel::Message, name);
    session_.LogMessage("inside " + name);
    session_.LeaveMethod(TLgLevel::Message, name);
  }
  static void ExpectMethod(const std::vector<DecodedPacket>& packets, const std::string& name) {
    std::vector<std::string> seen;
    for (const auto& p : packets) {
      if (p.IsEntry()) seen.push_back("entry " + std::to_string(p.entry_type) + " " + p.title);
      if (p.IsFlow()) seen.push_back("flow " + std::to_string(p.entry_type) + " " + p.title);
    }
    const std::vector<std::string> expected = {"entry 1 " + name, "flow 0 " + name,
                                               "entry 100 inside " + name, "entry 2 " + name,
                                               "flow 1 " + name};
    EXPECT_EQ(seen, expected);
  }

  static std::vector<DecodedPacket> AfterHeader(const TestViewer& viewer) {
    std::vector<DecodedPacket> packets = viewer.Packets();
    EXPECT_TRUE(!packets.empty() && packets.front().IsHeader());
    if (!packets.empty()) packets.erase(packets.begin());
    return packets;
  }

  testing_support::TTempFolder run_{"lgrun"};
  std::unique_ptr<testing_support::TScopedEnv> runtime_;
  std::mutex lock_;
  std::vector<std::string> errors_;
  TLogCenter center_{"viewer-test"};
  TLgSession& session_ = center_.AddSession("Main", true);
};

TEST_F(NetworkProtocolsTest, PipeWithoutViewerLogsNothingThenConnectsWhenOneAppears) {
  const std::string name = UniquePipeName();
  center_.SetConnections("pipe(pipename=" + name + ", reconnect=true)");
  center_.Enable();
  EXPECT_EQ(Errors().size(), 1u);  // the first connect reports that no one serves the pipe
  session_.LogMessage("nobody listens");
  EXPECT_EQ(Errors().size(), 1u);  // reconnect attempts stay quiet

  auto viewer = TestViewer::OnUnixSocket(LgPipePath(name));
  LogMethod("Run");
  ASSERT_TRUE(viewer->WaitForPackets(6));
  const auto packets = viewer->Packets();
  ASSERT_TRUE(packets.front().IsHeader());
  EXPECT_EQ(packets.front().content,
            "hostname=" + center_.HostName() + "\r\nappname=viewer-test\r\n");
  ExpectMethod({packets.begin() + 1, packets.end()}, "Run");
  EXPECT_EQ(packets[1].session_name, "Main");
  EXPECT_EQ(packets[1].app_name, "viewer-test");
  EXPECT_EQ(viewer->ClientGreetings(), std::vector<std::string>{"Parlevo logging library 1.0"});
}

TEST_F(NetworkProtocolsTest, PipeSurvivesTheViewerGoingAwayAndComingBack) {
  const std::string name = UniquePipeName();
  auto viewer = TestViewer::OnUnixSocket(LgPipePath(name));
  center_.SetConnections("pipe(pipename=" + name + ", reconnect=true)");
  center_.Enable();
  LogMethod("First");
  ASSERT_TRUE(viewer->WaitForPackets(6));
  viewer->Stop();
  session_.LogMessage("lost while the viewer is away");
  EXPECT_FALSE(Errors().empty());

  auto again = TestViewer::OnUnixSocket(LgPipePath(name));
  LogMethod("Second");
  ASSERT_TRUE(again->WaitForPackets(6));
  ExpectMethod(AfterHeader(*again), "Second");
}

TEST_F(NetworkProtocolsTest, AsynchronousPipeDeliversFromItsOwnThread) {
  const std::string name = UniquePipeName();
  auto viewer = TestViewer::OnUnixSocket(LgPipePath(name));
  center_.SetConnections("pipe(pipename=" + name + ", async.enabled=true, async.throttle=false)");
  EXPECT_TRUE(center_.IsMultiThreaded());
  center_.Enable();
  LogMethod("Async");
  ASSERT_TRUE(viewer->WaitForPackets(6));
  ExpectMethod(AfterHeader(*viewer), "Async");
  center_.Disable();
  EXPECT_TRUE(Errors().empty());
}

TEST_F(NetworkProtocolsTest, PipeGreetingWithoutLineFeedFailsTheConnect) {
  const std::string name = UniquePipeName();
  auto viewer = TestViewer::OnUnixSocket(LgPipePath(name),
                                         TestViewer::Behaviour::GreetingWithoutLineFeedThenClose);
  TLgOutput<TLgPipeProtocol> protocol;
  protocol.Initialize("pipename=" + name);
  try {
    protocol.Connect();
    FAIL() << "connected without a greeting line";
  } catch (const ELgProtocolError& e) {
    EXPECT_STREQ(e.what(), "Pipe connection has been unexpectedly closed");
    EXPECT_EQ(e.ProtocolName(), "pipe");
  }
}

TEST_F(NetworkProtocolsTest, ASilentViewerCannotHoldTheLoggingThread) {
  const std::string name = UniquePipeName();
  auto viewer = TestViewer::OnUnixSocket(LgPipePath(name), TestViewer::Behaviour::Silent);
  TLgOutput<TLgPipeProtocol> protocol;
  protocol.SetIoTimeout(100);
  protocol.Initialize("pipename=" + name);
  EXPECT_THROW(protocol.Connect(), ELgProtocolError);  // returns, with an error
  EXPECT_FALSE(protocol.Connected());
}

TEST_F(NetworkProtocolsTest, TcpDeliversAndSurvivesTheViewerComingBack) {
  auto viewer = TestViewer::OnTcp(0);
  const uint16_t port = viewer->Port();
  center_.SetConnections("tcp(host=localhost, port=" + std::to_string(port) + ", reconnect=true)");
  center_.Enable();
  LogMethod("Tcp");
  ASSERT_TRUE(viewer->WaitForPackets(6));
  ASSERT_TRUE(viewer->Packets().front().IsHeader());
  ExpectMethod(AfterHeader(*viewer), "Tcp");
  EXPECT_TRUE(Errors().empty());

  viewer->Stop();
  session_.LogMessage("no answer comes");
  EXPECT_FALSE(Errors().empty());  // the missing answer (or the reset) is reported

  auto again = TestViewer::OnTcp(port);
  LogMethod("Again");
  ASSERT_TRUE(again->WaitForPackets(6));
  ExpectMethod(AfterHeader(*again), "Again");
}

TEST_F(NetworkProtocolsTest, TcpShortAnswerAndRefusedConnection) {
  auto viewer = TestViewer::OnTcp(0, TestViewer::Behaviour::AnswerOneByteThenClose);
  TLgOutput<TLgTcpProtocol> protocol;
  protocol.Initialize("port=" + std::to_string(viewer->Port()));
  EXPECT_EQ(protocol.Host(), "127.0.0.1");
  try {
    protocol.Connect();
    FAIL() << "a one-byte answer was taken";
  } catch (const ELgProtocolError& e) {
    EXPECT_STREQ(e.what(), "Socket connection has been unexpectedly closed");
  }
  const uint16_t port = viewer->Port();
  viewer.reset();
  TLgOutput<TLgTcpProtocol> refused;
  refused.Initialize("port=" + std::to_string(port));
  try {
    refused.Connect();
    FAIL() << "connected to a closed port";
  } catch (const ELgProtocolError& e) {
    EXPECT_EQ(std::string(e.what()), LgSysErrorMessage(ECONNREFUSED));
  }
}

TEST_F(NetworkProtocolsTest, TcpTimeoutsAreSetOnEveryNewSocket) {
  auto viewer = TestViewer::OnTcp(0);
  TLgTcpClient client("127.0.0.1", viewer->Port());
  auto receive_timeout = [&] {
    timeval tv{};
    socklen_t length = sizeof tv;
    ::getsockopt(client.Handle(), SOL_SOCKET, SO_RCVTIMEO, &tv, &length);
    return tv.tv_sec * 1000 + tv.tv_usec / 1000;
  };
  for (int round = 0; round < 2; ++round) {
    client.Connect(5000);
    client.SetTimeout(700);
    EXPECT_EQ(receive_timeout(), 700) << "round " << round;
    EXPECT_THROW(client.Connect(5000), ELogCenterError);  // already connected
    client.Disconnect();
  }
  EXPECT_THROW(client.SetTimeout(1), ELogCenterError);  // no socket
  EXPECT_THROW(client.Send("x", 1), ELogCenterError);
}

// Seconds since began, for the bounds below.
double Since(std::chrono::steady_clock::time_point began) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
}

TLgPacketPtr BigEntry(int number) {
  auto entry = std::make_shared<TLgLogEntry>(TLgLogEntryType::Message, TLgViewerId::Title);
  entry->SetTitle("entry " + std::to_string(number) + " " + std::string(1000, 'x'));
  return entry;
}

TEST_F(NetworkProtocolsTest, PipeSocketsLiveInTheServicesOwnFolder) {
  EXPECT_EQ(LgPipeFolder(), run_.path().string());
  EXPECT_EQ(LgPipePath("logcenter"), (run_.path() / "logcenter").string());
  {
    testing_support::TScopedEnv unset("RUNTIME_DIRECTORY", nullptr);
    EXPECT_EQ(LgPipeFolder(), "/tmp/logcenter-" + std::to_string(::geteuid()));
  }
  // A folder others may write to is closed again before anything is sent there.
  ::chmod(run_.path().c_str(), 0777);
  auto viewer = TestViewer::OnUnixSocket(LgPipePath("open"));
  TLgOutput<TLgPipeProtocol> protocol;
  protocol.Initialize("pipename=open");
  protocol.Connect();
  struct stat st {};
  ASSERT_EQ(::stat(run_.path().c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0700u);
  EXPECT_TRUE(viewer->WaitForPackets(1));
  for (const char* name : {"../escape", "a/b", ".."}) {
    TLgOutput<TLgPipeProtocol> bad;
    bad.Initialize(std::string("pipename=\"") + name + "\"");
    EXPECT_THROW(bad.Connect(), ELgProtocolError) << name;
  }
}

TEST_F(NetworkProtocolsTest, AViewerGroupOpensTheFolderToItsMembers) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to give the folder another group";
  auto viewer = TestViewer::OnUnixSocket(LgPipePath("grouped"));
  TLgOutput<TLgPipeProtocol> protocol;
  protocol.Initialize("pipename=grouped, group=nogroup");
  EXPECT_EQ(protocol.Group(), "nogroup");
  protocol.Connect();
  EXPECT_TRUE(viewer->WaitForPackets(1));
  struct stat st {};
  ASSERT_EQ(::stat(run_.path().c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0770u);
  const group* nogroup = ::getgrnam("nogroup");
  ASSERT_NE(nogroup, nullptr);
  EXPECT_EQ(st.st_gid, nogroup->gr_gid);
  TLgOutput<TLgPipeProtocol> unknown;
  unknown.Initialize("pipename=grouped, group=no-such-group-here");
  try {
    unknown.Connect();
    FAIL() << "connected for a group that does not exist";
  } catch (const ELgProtocolError& e) {
    EXPECT_STREQ(e.what(), "No group \"no-such-group-here\"");
  }
}

TEST_F(NetworkProtocolsTest, PipeFolderOfAnotherUserGetsNothing) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to hand the folder to another user";
  auto viewer = TestViewer::OnUnixSocket(LgPipePath("squatted"));
  ASSERT_EQ(::chown(run_.path().c_str(), 65534, 65534), 0);  // nobody's, made before the service
  TLgOutput<TLgPipeProtocol> protocol;
  protocol.Initialize("pipename=squatted");
  try {
    protocol.Connect();
    FAIL() << "sent to a folder of another user";
  } catch (const ELgProtocolError& e) {
    EXPECT_NE(std::string(e.what()).find("not a folder of the service's user"), std::string::npos)
        << e.what();
  }
  EXPECT_EQ(viewer->Connections(), 0);
}

TEST_F(NetworkProtocolsTest, AGreetingIsBoundedInLengthAndInTime) {
  testing_support::TWatchdog dog("greetings that never end");
  auto endless =
      TestViewer::OnUnixSocket(LgPipePath("endless"), TestViewer::Behaviour::EndlessGreeting);
  TLgOutput<TLgPipeProtocol> first;
  first.Initialize("pipename=endless");
  try {
    first.Connect();
    FAIL() << "an endless greeting was taken";
  } catch (const ELgProtocolError& e) {
    EXPECT_STREQ(e.what(), "Line too long");
  }

  // One byte every 20 ms would restart a limit per read for ever; the line has one limit.
  auto dribbled =
      TestViewer::OnUnixSocket(LgPipePath("dribbled"), TestViewer::Behaviour::DribbledGreeting);
  TLgOutput<TLgPipeProtocol> second;
  second.SetIoTimeout(300);
  second.Initialize("pipename=dribbled");
  const auto began = std::chrono::steady_clock::now();
  EXPECT_THROW(second.Connect(), ELgProtocolError);
  EXPECT_LT(Since(began), 2.0);

  auto tcp = TestViewer::OnTcp(0, TestViewer::Behaviour::DribbledGreeting);
  TLgOutput<TLgTcpProtocol> third;
  third.Initialize("timeout=300, port=" + std::to_string(tcp->Port()));
  const auto tcp_began = std::chrono::steady_clock::now();
  EXPECT_THROW(third.Connect(), ELgProtocolError);
  EXPECT_LT(Since(tcp_began), 2.0);
}

TEST_F(NetworkProtocolsTest, LimitWaitsWakesAWriterBlockedOnAStalledViewer) {
  testing_support::TWatchdog dog("a synchronous writer blocked on a frozen viewer");
  for (const bool tcp : {false, true}) {
    auto viewer =
        tcp ? TestViewer::OnTcp(0, TestViewer::Behaviour::StopReading)
            : TestViewer::OnUnixSocket(LgPipePath("frozen"), TestViewer::Behaviour::StopReading);
    std::unique_ptr<TLgProtocolBase> protocol;
    if (tcp) {
      auto t = std::make_unique<TLgOutput<TLgTcpProtocol>>();
      t->Initialize("timeout=60000, port=" + std::to_string(viewer->Port()));
      protocol = std::move(t);
    } else {
      auto p = std::make_unique<TLgOutput<TLgPipeProtocol>>();
      p->SetIoTimeout(60000);
      p->Initialize("pipename=frozen");
      protocol = std::move(p);
    }
    std::atomic<bool> failed{false};
    std::thread writer([&] {
      try {
        // TCP waits for the answer to its log header; pipe packets fill the socket's buffer.
        protocol->Connect();
        for (int i = 0; i < 10000; ++i) protocol->WritePacket(BigEntry(i));
      } catch (const ELgProtocolError&) {
        failed = true;
      }
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(300));  // blocked by now
    const auto began = std::chrono::steady_clock::now();
    protocol->LimitWaits(began + std::chrono::milliseconds(200));
    writer.join();
    EXPECT_LT(Since(began), 2.0) << (tcp ? "tcp" : "pipe");
    EXPECT_TRUE(failed) << (tcp ? "tcp" : "pipe");
    protocol->Disconnect();
  }
}

TEST_F(NetworkProtocolsTest, AStalledOutputCostsAReadingOneNothing) {
  testing_support::TWatchdog dog("a reading viewer beside a frozen one");
  auto frozen = TestViewer::OnUnixSocket(LgPipePath("frozen"), TestViewer::Behaviour::StopReading);
  auto reading = TestViewer::OnUnixSocket(LgPipePath("reading"));
  // The reading output makes the producer wait for room rather than drop, so it must get every
  // entry; the frozen one drops its own.
  center_.SetConnections(
      "pipe(pipename=frozen, async.enabled=true, async.throttle=false, async.queue=64), "
      "pipe(pipename=reading, async.enabled=true, async.throttle=true, async.queue=64)");
  center_.Enable();
  ASSERT_TRUE(frozen->WaitForConnections(1));
  constexpr int kEntries = 2000;  // about 2 MB, far beyond what the frozen socket buffers
  const auto began = std::chrono::steady_clock::now();
  for (int i = 0; i < kEntries; ++i)
    session_.LogMessage(std::to_string(i) + std::string(1000, 'y'));
  ASSERT_TRUE(reading->WaitForEntries(kEntries));
  // Well within the frozen output's 5-second write limit: nothing waited for it.
  EXPECT_LT(Since(began), 4.0);
  const auto entries = reading->Entries();
  for (int i = 0; i < kEntries; ++i) {
    ASSERT_EQ(entries[i].title.substr(0, std::to_string(i).size()), std::to_string(i));
  }
  const auto stop = std::chrono::steady_clock::now();
  center_.Disable();
  EXPECT_LT(Since(stop), 2.0);
}

TEST_F(NetworkProtocolsTest, TenStalledOutputsStopTogether) {
  testing_support::TWatchdog dog("ten frozen viewers at stop");
  for (const bool async : {true, false}) {
    std::vector<std::unique_ptr<TestViewer>> viewers;
    std::string connections;
    const int count = async ? 10 : 5;
    for (int i = 0; i < count; ++i) {
      const std::string name = "frozen" + std::to_string(i);
      viewers.push_back(
          TestViewer::OnUnixSocket(LgPipePath(name), TestViewer::Behaviour::StopReading));
      connections += (i ? ", " : "") + std::string("pipe(pipename=") + name +
                     (async ? ", async.enabled=true, async.throttle=false)" : ")");
    }
    center_.SetConnections(connections);
    center_.Enable();
    for (auto& viewer : viewers) ASSERT_TRUE(viewer->WaitForConnections(1));
    // Synchronous outputs: a request thread is blocked on the first frozen viewer meanwhile.
    std::thread logger([&] {
      for (int i = 0; i < (async ? 3000 : 400); ++i) {
        session_.LogMessage(std::to_string(i) + std::string(1000, 'z'));
      }
    });
    if (async) logger.join();
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    const auto began = std::chrono::steady_clock::now();
    center_.LimitWaits(began + TLogCenter::kStopGrace);
    center_.Disable();
    EXPECT_LT(Since(began), 2.0) << (async ? "asynchronous" : "synchronous");
    if (!async) logger.join();
    EXPECT_LT(Since(began), 2.5) << "the logging thread is free again";
    center_.SetConnections("mem()");
    center_.Enable();  // the next round starts from a clean state
    center_.Disable();
  }
}

}  // namespace
}  // namespace parlevo::logging
