#include "logging/lg_scheduler.h"
#include "tests/deadline.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

namespace parlevo::logging {
namespace {

// Runs commands only while the gate is open; records what it ran.
class GatedTarget : public TLgSchedulerTarget {
 public:
  void RunCommand(const TLgSchedulerCommand& command) override {
    std::unique_lock lock(lock_);
    ++waiting_;
    changed_.notify_all();
    changed_.wait(lock, [&] { return open_; });
    --waiting_;
    ran_.push_back(command.action == TLgSchedulerAction::WritePacket
                       ? static_cast<TLgLogEntry&>(*command.packet).Title()
                       : "cmd" + std::to_string(static_cast<int>(command.action)));
    if (fail_after_run_) failed_ = true;
    changed_.notify_all();
  }
  bool Failed() const override { return failed_; }

  void Open() {
    std::lock_guard lock(lock_);
    open_ = true;
    changed_.notify_all();
  }
  void WaitUntilWorkerWaits() {
    std::unique_lock lock(lock_);
    changed_.wait(lock, [&] { return waiting_ > 0; });
  }
  std::vector<std::string> Ran() {
    std::lock_guard lock(lock_);
    return ran_;
  }
  std::atomic<bool> failed_{false};
  std::atomic<bool> fail_after_run_{false};

 private:
  std::mutex lock_;
  std::condition_variable changed_;
  bool open_ = false;
  int waiting_ = 0;
  std::vector<std::string> ran_;
};

TLgSchedulerCommandPtr Packet(const std::string& title, size_t extra = 0) {
  auto entry = std::make_shared<TLgLogEntry>(TLgLogEntryType::Message, TLgViewerId::Title);
  entry->SetTitle(title + std::string(extra, ' '));
  auto command = std::make_shared<TLgSchedulerCommand>();
  command->action = TLgSchedulerAction::WritePacket;
  command->packet = entry;
  return command;
}

TLgSchedulerCommandPtr Command(TLgSchedulerAction action) {
  auto command = std::make_shared<TLgSchedulerCommand>();
  command->action = action;
  return command;
}

// Each packet below: 48 + 2 characters of title = 50 bytes, 62 in the queue.
constexpr int64_t kQueued = 62;

TEST(SchedulerTest, RefusesBeforeStartAfterStopAndWhenTooLarge) {
  GatedTarget target;
  target.Open();
  TLgScheduler scheduler(target, 1024, false);
  EXPECT_FALSE(scheduler.Schedule(Packet("p0")));
  scheduler.Start();
  EXPECT_FALSE(scheduler.Schedule(Packet("big", 2000)));
  EXPECT_TRUE(scheduler.Schedule(Packet("p1")));
  scheduler.Stop();
  EXPECT_FALSE(scheduler.Schedule(Packet("p2")));
  EXPECT_EQ(target.Ran(), std::vector<std::string>{"p1"});
}

TEST(SchedulerTest, WithoutThrottleTheOldestPacketsAreDroppedAndTheQueueStaysBounded) {
  testing_support::TWatchdog dog("the gated scheduler worker");
  GatedTarget target;
  TLgScheduler scheduler(target, 1024, false);
  scheduler.Start();
  ASSERT_TRUE(scheduler.Schedule(Packet("p0")));
  target.WaitUntilWorkerWaits();  // p0 is being written; the rest must queue
  for (int i = 1; i <= 40; ++i) {
    ASSERT_TRUE(scheduler.Schedule(Packet(i < 10 ? "p" + std::to_string(i) : std::to_string(i))));
    EXPECT_LE(scheduler.QueueSize(), 1024);
  }
  const int kept = static_cast<int>(1024 / kQueued);  // 16
  EXPECT_EQ(scheduler.QueueCount(), kept);
  target.Open();
  scheduler.Stop();
  const auto ran = target.Ran();
  ASSERT_EQ(ran.size(), static_cast<size_t>(kept + 1));
  EXPECT_EQ(ran.front(), "p0");
  EXPECT_EQ(ran[1], std::to_string(40 - kept + 1));  // the newest survive, in order
  EXPECT_EQ(ran.back(), "40");
}

TEST(SchedulerTest, TrimmingNeverDropsConnectDisconnectOrDispatch) {
  testing_support::TWatchdog dog("the gated scheduler worker");
  GatedTarget target;
  TLgScheduler scheduler(target, 3 * kQueued, false);
  scheduler.Start();
  ASSERT_TRUE(scheduler.Schedule(Command(TLgSchedulerAction::Connect)));
  target.WaitUntilWorkerWaits();
  scheduler.Schedule(Packet("p1"));
  scheduler.Schedule(Command(TLgSchedulerAction::Disconnect));
  scheduler.Schedule(Packet("p2"));
  scheduler.Schedule(Packet("p3"));
  scheduler.Schedule(Packet("p4"));  // makes room by dropping p1
  scheduler.Schedule(Packet("p5"));  // and p2
  target.Open();
  scheduler.Stop();
  EXPECT_EQ(target.Ran(), (std::vector<std::string>{"cmd0", "cmd2", "p3", "p4", "p5"}));
}

TEST(SchedulerTest, WithThrottleTheProducerWaitsAndNothingIsDropped) {
  testing_support::TWatchdog dog("the throttled producer and the gated worker");
  GatedTarget target;
  TLgScheduler scheduler(target, 4 * kQueued, true);
  scheduler.Start();
  ASSERT_TRUE(scheduler.Schedule(Packet("p0")));
  target.WaitUntilWorkerWaits();
  std::atomic<int> scheduled{0};
  std::thread producer([&] {
    for (int i = 1; i <= 9; ++i) {
      scheduler.Schedule(Packet("p" + std::to_string(i)));
      ++scheduled;
    }
  });
  while (scheduled.load() < 4) std::this_thread::yield();  // the queue is full now
  EXPECT_LE(scheduler.QueueSize(), 4 * kQueued);
  EXPECT_LT(scheduled.load(), 9);  // the worker is held, so the producer cannot be done
  target.Open();
  producer.join();
  scheduler.Stop();
  EXPECT_EQ(target.Ran().size(), 10u);
  EXPECT_EQ(target.Ran().back(), "p9");
}

TEST(SchedulerTest, ThrottleGivesWayToDroppingWhenTheProtocolHasFailed) {
  testing_support::TWatchdog dog("the gated scheduler worker");
  GatedTarget target;
  target.failed_ = true;
  TLgScheduler scheduler(target, 2 * kQueued, true);
  scheduler.Start();
  scheduler.Schedule(Packet("p0"));
  target.WaitUntilWorkerWaits();
  for (int i = 1; i <= 5; ++i) scheduler.Schedule(Packet("p" + std::to_string(i)));  // no wait
  EXPECT_EQ(scheduler.QueueCount(), 2);
  target.Open();
}

TEST(SchedulerTest, StoppingWithAFailedProtocolAbandonsTheQueue) {
  testing_support::TWatchdog dog("the stop of a gated scheduler");
  GatedTarget target;
  TLgScheduler scheduler(target, 1024, false);
  scheduler.Start();
  scheduler.Schedule(Packet("p0"));
  target.WaitUntilWorkerWaits();
  for (int i = 1; i <= 5; ++i) scheduler.Schedule(Packet("p" + std::to_string(i)));
  target.fail_after_run_ = true;
  std::thread stopper([&] { scheduler.Stop(); });
  // Stop is requested before the worker goes on; let it go once the request is in.
  while (scheduler.Schedule(Packet("late"))) {
  }
  target.Open();
  stopper.join();
  // p0 ran before the stop; the first command run after it fails the protocol and ends all.
  EXPECT_LE(target.Ran().size(), 2u);
  EXPECT_EQ(scheduler.QueueCount(), 0);
}

TEST(SchedulerTest, BoundedStopGivesUpOnAStuckWorkerAndDropsTheQueue) {
  GatedTarget target;
  TLgScheduler scheduler(target, 100 * kQueued, false);
  scheduler.Start();
  ASSERT_TRUE(scheduler.Schedule(Packet("p0")));
  target.WaitUntilWorkerWaits();
  for (int i = 1; i < 5; ++i) ASSERT_TRUE(scheduler.Schedule(Packet("p" + std::to_string(i))));
  int overdue_calls = 0;
  // Stands for waking a blocked socket call: the command under way ends.
  scheduler.StopBy(std::chrono::steady_clock::now() + std::chrono::milliseconds(50), [&] {
    ++overdue_calls;
    target.Open();
  });
  EXPECT_EQ(overdue_calls, 1);
  EXPECT_EQ(target.Ran(), std::vector<std::string>{"p0"});
  EXPECT_EQ(scheduler.QueueCount(), 0);
}

TEST(SchedulerTest, BoundedStopWithAWorkerInTimeWritesEverything) {
  GatedTarget target;
  target.Open();
  TLgScheduler scheduler(target, 100 * kQueued, false);
  scheduler.Start();
  for (int i = 0; i < 40; ++i) ASSERT_TRUE(scheduler.Schedule(Packet("p" + std::to_string(i))));
  bool overdue = false;
  scheduler.StopBy(std::chrono::steady_clock::now() + std::chrono::seconds(30),
                   [&] { overdue = true; });
  EXPECT_FALSE(overdue);
  EXPECT_EQ(target.Ran().size(), 40u);
}

}  // namespace
}  // namespace parlevo::logging
