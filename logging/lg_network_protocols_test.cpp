// The pipe and TCP outputs against a real viewer on loopback (a Unix socket and 127.0.0.1).
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <mutex>

#include "logging/lg_log_center.h"
#include "logging/lg_pipe_protocol.h"
#include "logging/lg_protocol_factory.h"
#include "logging/lg_session.h"
#include "logging/lg_tcp_protocol.h"
#include "logging/lg_test_viewer.h"

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
  TLgPipeProtocol protocol;
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
  TLgPipeProtocol protocol;
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
  TLgTcpProtocol protocol;
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
  TLgTcpProtocol refused;
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

}  // namespace
}  // namespace parlevo::logging
