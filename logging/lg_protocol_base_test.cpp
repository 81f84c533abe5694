#include "logging/lg_protocol_base.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "logging/lg_binary_format.h"
#include "tests/deadline.h"

namespace parlevo::logging {
namespace {

// Records what the base asks of it; connects and writes fail on request.
class ProbeProtocol final : public TLgProtocolBase {
 public:
  ProbeProtocol() { ProbeProtocol::LoadOptions(); }
  ~ProbeProtocol() override { Shutdown(); }
  std::string GetName() const override { return "probe"; }

  std::vector<std::string> Events() {
    std::lock_guard lock(lock_);
    return events_;
  }
  // Waits until the given number of events happened (asynchronous tests).
  void WaitForEvents(size_t count) {
    std::unique_lock lock(lock_);
    changed_.wait(lock, [&] { return events_.size() >= count; });
  }
  std::atomic<bool> fail_connect{false};
  std::atomic<bool> fail_write{false};
  std::thread::id writer_thread;

 protected:
  void InternalConnect() override {
    Record("connect");
    if (fail_connect) throw ELogCenterError("no peer");
  }
  void InternalDisconnect() override { Record("disconnect"); }
  void InternalWritePacket(const TLgPacketPtr& packet) override {
    writer_thread = std::this_thread::get_id();
    if (fail_write) throw ELogCenterError("write failed");
    if (packet->PacketType() == TLgPacketType::LogEntry) {
      Record("write " + static_cast<TLgLogEntry&>(*packet).Title());
    } else {
      Record("write other");
    }
  }

 private:
  void Record(std::string event) {
    std::lock_guard lock(lock_);
    events_.push_back(std::move(event));
    changed_.notify_all();
  }
  std::mutex lock_;
  std::condition_variable changed_;
  std::vector<std::string> events_;
};

TLgPacketPtr Entry(const std::string& title, TLgLevel level = TLgLevel::Message) {
  auto entry = std::make_shared<TLgLogEntry>(TLgLogEntryType::Message, TLgViewerId::Title);
  entry->SetTitle(title);
  entry->SetLevel(level);
  return entry;
}

TEST(ProtocolBaseTest, DefaultsBeforeAnyOptions) {
  ProbeProtocol protocol;
  EXPECT_EQ(protocol.FlushOn(), TLgLevel::Error);
  EXPECT_EQ(protocol.BacklogQueue(), 2097152);
  EXPECT_EQ(protocol.AsyncQueue(), 2097152);
  EXPECT_TRUE(protocol.AsyncThrottle());
  EXPECT_TRUE(protocol.KeepOpen());
  EXPECT_EQ(protocol.Caption(), "probe");
  EXPECT_EQ(protocol.Level(), TLgLevel::Debug);
}

TEST(ProtocolBaseTest, OldStyleBacklogOption) {
  ProbeProtocol off;
  off.Initialize("backlog=0");
  EXPECT_FALSE(off.BacklogEnabled());
  EXPECT_EQ(off.Options().GetStringValue("backlog.queue", ""), "0");
  ProbeProtocol on;
  on.Initialize("backlog=512, flushon=warning, keepopen=true");
  EXPECT_TRUE(on.BacklogEnabled());
  EXPECT_EQ(on.BacklogQueue(), 512 * 1024);
  EXPECT_EQ(on.FlushOn(), TLgLevel::Warning);
  EXPECT_TRUE(on.BacklogKeepOpen());
}

TEST(ProtocolBaseTest, UnknownOptionIsRejectedAndClearsTheOptions) {
  ProbeProtocol protocol;
  try {
    protocol.Initialize("level=error, colour=red");
    FAIL() << "accepted an unknown option";
  } catch (const ELogCenterError& e) {
    EXPECT_STREQ(e.what(), "Option \"colour\" not available for protocol \"probe\"");
  }
  EXPECT_EQ(protocol.Options().Count(), 0u);
}

TEST(ProtocolBaseTest, OptionsBuiltBackInTheirOrder) {
  ProbeProtocol protocol;
  protocol.Initialize("reconnect=true, reconnect.interval=1s, caption=\"my \"\"probe\"\"\"");
  EXPECT_EQ(protocol.BuildOptionsString(),
            "async.enabled=\"false\", async.clearondisconnect=\"false\", async.queue=\"2048\", "
            "async.throttle=\"true\", backlog.enabled=\"false\", backlog.flushon=\"error\", "
            "backlog.keepopen=\"false\", backlog.queue=\"2048\", level=\"debug\", "
            "reconnect=\"true\", reconnect.interval=\"1000\", caption=\"my \"\"probe\"\"\"");
}

TEST(ProtocolBaseTest, BacklogWithoutKeepOpenConnectsOncePerFlush) {
  ProbeProtocol protocol;
  protocol.Initialize("backlog.enabled=true");
  protocol.Connect();
  for (int i = 1; i <= 9; ++i) protocol.WritePacket(Entry("m" + std::to_string(i)));
  EXPECT_TRUE(protocol.Events().empty());
  protocol.WritePacket(Entry("e", TLgLevel::Error));
  std::vector<std::string> expected = {"connect"};
  for (int i = 1; i <= 9; ++i) expected.push_back("write m" + std::to_string(i));
  expected.push_back("write e");
  expected.push_back("disconnect");
  EXPECT_EQ(protocol.Events(), expected);
}

TEST(ProtocolBaseTest, UnknownLevelNeverFlushesAndDisconnectDropsTheBacklog) {
  ProbeProtocol protocol;
  protocol.Initialize("backlog.enabled=true, backlog.keepopen=true");
  protocol.Connect();
  protocol.WritePacket(Entry("u", TLgLevel::Unknown));
  EXPECT_EQ(protocol.BacklogCount(), 1);
  protocol.Disconnect();
  EXPECT_EQ(protocol.BacklogCount(), 0);
  EXPECT_EQ(protocol.Events(), (std::vector<std::string>{"connect", "disconnect"}));
}

TEST(ProtocolBaseTest, FailuresRaiseProtocolErrorsWithNameAndOptions) {
  ProbeProtocol protocol;
  protocol.Initialize("level=message");
  protocol.fail_write = true;
  protocol.Connect();
  try {
    protocol.WritePacket(Entry("x"));
    FAIL() << "no error";
  } catch (const ELgProtocolError& e) {
    EXPECT_STREQ(e.what(), "write failed");
    EXPECT_EQ(e.ProtocolName(), "probe");
    EXPECT_NE(e.ProtocolOptions().find("level=\"message\""), std::string::npos);
  }
  EXPECT_TRUE(protocol.Failed());
  EXPECT_FALSE(protocol.Connected());
  // Without reconnect a kept-open protocol drops packets until the next Connect.
  protocol.fail_write = false;
  protocol.WritePacket(Entry("dropped"));
  protocol.Connect();
  protocol.WritePacket(Entry("y"));
  EXPECT_EQ(protocol.Events(),
            (std::vector<std::string>{"connect", "disconnect", "connect", "write y"}));
}

TEST(ProtocolBaseTest, ReconnectWaitsForTheIntervalButNotForAQuietMoment) {
  ProbeProtocol protocol;
  int64_t now = 1000000;
  protocol.SetTickSource([&] { return now; });
  protocol.Initialize("reconnect=true, reconnect.interval=10s");
  protocol.fail_connect = true;
  EXPECT_THROW(protocol.Connect(), ELgProtocolError);
  const size_t after_failure = protocol.Events().size();
  // Steady logging during the interval makes no attempt...
  for (int i = 0; i < 100; ++i) {
    now += 99;
    protocol.WritePacket(Entry("lost"));
  }
  EXPECT_EQ(protocol.Events().size(), after_failure);
  // ...and does not postpone the attempt once the interval has passed.
  now = 1000000 + 10000;
  protocol.WritePacket(Entry("lost"));
  EXPECT_EQ(protocol.Events()[after_failure], "connect");
  EXPECT_TRUE(protocol.Failed());
  protocol.fail_connect = false;
  now += 9999;
  protocol.WritePacket(Entry("too early"));
  now += 1;
  protocol.WritePacket(Entry("back"));
  EXPECT_TRUE(protocol.Connected());
  EXPECT_EQ(protocol.Events().back(), "write back");
}

TEST(ProtocolBaseTest, AsynchronousModeWritesOnTheWorkerAndReportsThroughTheHandler) {
  testing_support::TWatchdog dog("the asynchronous writer and its error report");
  ProbeProtocol protocol;
  protocol.Initialize("async.enabled=true");
  std::mutex lock;
  std::condition_variable reported;
  std::vector<std::string> errors;
  protocol.SetOnError([&](TLgProtocol& sender, const std::exception& e) {
    std::lock_guard guard(lock);
    errors.push_back(sender.GetName() + ": " + e.what());
    reported.notify_all();
  });
  protocol.Connect();
  protocol.WritePacket(Entry("a"));
  protocol.WaitForEvents(2);
  EXPECT_NE(protocol.writer_thread, std::this_thread::get_id());
  protocol.fail_write = true;
  protocol.WritePacket(Entry("b"));  // does not raise here
  {
    std::unique_lock guard(lock);
    reported.wait(guard, [&] { return !errors.empty(); });
    EXPECT_EQ(errors.front(), "probe: write failed");
  }
  protocol.Disconnect();
  EXPECT_EQ(protocol.Events().front(), "connect");
  EXPECT_EQ(protocol.Events()[1], "write a");
}

// An error handler that disconnects the protocol runs on the protocol's own worker: the worker
// cannot wait for itself, must not be destroyed while it runs, and must be freed by someone else.
class SelfDisconnectTest : public ::testing::Test {
 protected:
  void SetUp() override {
    protocol_.Initialize("async.enabled=true, async.throttle=true, async.queue=1");
    protocol_.SetOnError([this](TLgProtocol& sender, const std::exception&) {
      protocol_.fail_write = false;  // one failure only: the packets behind it may pass
      sender.Disconnect();
      if (reconnect_in_handler_) sender.Connect();
      std::lock_guard lock(lock_);
      ++handled_;
      changed_.notify_all();
    });
  }
  void WaitHandled(int count) {
    std::unique_lock lock(lock_);
    changed_.wait(lock, [&] { return handled_ >= count; });
  }
  // Fails one write, with more packets queued behind it than the queue holds.
  void FailOneWrite() {
    protocol_.fail_write = true;
    for (int i = 0; i < 50; ++i) protocol_.WritePacket(Entry("queued " + std::to_string(i)));
    WaitHandled(1);
  }
  bool WroteAgain() {
    const auto events = protocol_.Events();
    return std::find(events.begin(), events.end(), "write again") != events.end();
  }

  testing_support::TWatchdog dog_{"a protocol disconnected from its own worker"};
  bool reconnect_in_handler_ = false;
  std::mutex lock_;
  std::condition_variable changed_;
  int handled_ = 0;
  ProbeProtocol protocol_;
};

TEST_F(SelfDisconnectTest, AnotherThreadConnectsAgainAndWritesThroughANewWorker) {
  protocol_.Connect();
  FailOneWrite();
  protocol_.WritePacket(Entry("dropped"));  // disconnected: nothing opens it again
  protocol_.Connect();                      // the new worker frees the stopped one first
  protocol_.WritePacket(Entry("again"));
  protocol_.Disconnect();
  EXPECT_TRUE(WroteAgain());
  const auto events = protocol_.Events();
  EXPECT_EQ(std::count(events.begin(), events.end(), "write dropped"), 0);
}

TEST_F(SelfDisconnectTest, TheHandlerConnectsAgainOnTheStoppingWorker) {
  reconnect_in_handler_ = true;
  protocol_.Connect();
  FailOneWrite();
  protocol_.WritePacket(Entry("again"));
  protocol_.Disconnect();
  EXPECT_TRUE(WroteAgain());
}

TEST_F(SelfDisconnectTest, DestroyingTheProtocolWaitsForTheStoppedWorker) {
  auto protocol = std::make_unique<ProbeProtocol>();
  protocol->Initialize("async.enabled=true");
  std::atomic<bool> handled{false};
  protocol->SetOnError([&](TLgProtocol& sender, const std::exception&) {
    sender.Disconnect();
    // Still running on the stopped worker while the owner destroys the protocol.
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    handled = true;
  });
  protocol->Connect();
  protocol->fail_write = true;
  protocol->WritePacket(Entry("fails"));
  while (protocol->Events().size() < 2) std::this_thread::yield();  // connect, then the reset
  protocol.reset();
  EXPECT_TRUE(handled);
}

}  // namespace
}  // namespace parlevo::logging
