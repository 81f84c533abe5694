#include "front/mail_bound.h"

#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

namespace parlevo {
namespace {

using namespace std::chrono_literals;

TEST(MailBound, BeyondTheBoundRequestsWaitTheirTurnInOrderOrAreRefused) {
  TMailBound bound({.sending = 2, .waiting = 2, .wait = 10s});
  std::optional<TMailBound::TTurn> first = bound.Enter();
  std::optional<TMailBound::TTurn> second = bound.Enter();
  ASSERT_TRUE(first && second);

  std::vector<int> order;
  std::mutex order_mutex;
  const auto waiter = [&](int id) {
    return std::async(std::launch::async, [&, id] {
      auto turn = bound.Enter();
      if (!turn) return false;
      std::lock_guard lock(order_mutex);
      order.push_back(id);
      return true;
    });
  };
  auto third = waiter(3);
  std::this_thread::sleep_for(50ms);
  auto fourth = waiter(4);
  std::this_thread::sleep_for(50ms);
  // The waiting room is full: the next is refused at once.
  const auto began = std::chrono::steady_clock::now();
  EXPECT_FALSE(bound.Enter());
  EXPECT_LT(std::chrono::steady_clock::now() - began, 1s);

  first.reset();
  EXPECT_TRUE(third.get());
  EXPECT_TRUE(fourth.get());
  EXPECT_EQ(order, (std::vector<int>{3, 4}));
}

TEST(MailBound, AWaitThatRunsOutIsRefusedAndGivesUpItsPlace) {
  TMailBound bound({.sending = 1, .waiting = 1, .wait = 100ms});
  auto held = bound.Enter();
  ASSERT_TRUE(held);
  const auto began = std::chrono::steady_clock::now();
  EXPECT_FALSE(bound.Enter());
  EXPECT_GE(std::chrono::steady_clock::now() - began, 100ms);
  // Its place in the waiting room is free again; the turn comes when the holder leaves.
  auto later = std::async(std::launch::async, [&] { return bound.Enter().has_value(); });
  std::this_thread::sleep_for(20ms);
  held.reset();
  EXPECT_TRUE(later.get());
  EXPECT_EQ(bound.Sending(), 0u);
}

}  // namespace
}  // namespace parlevo
