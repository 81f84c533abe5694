#include "platform/random.h"
#include "tests/deadline.h"

#include <gtest/gtest.h>

#include <array>
#include <stdexcept>
#include <thread>
#include <vector>

namespace parlevo {
namespace {

TEST(Random, DrawsStayInRangeAndCoverIt) {
  std::array<int, 10> seen{};
  for (int i = 0; i < 5000; ++i) {
    const int64_t v = RandomInt(0, 9);
    ASSERT_GE(v, 0);
    ASSERT_LE(v, 9);
    ++seen[v];
  }
  for (int count : seen) EXPECT_GT(count, 0);
  EXPECT_EQ(RandomInt(7, 7), 7);
  EXPECT_THROW(RandomInt(2, 1), std::invalid_argument);
}

TEST(Random, SeedingForTestsRepeatsTheSequence) {
  SeedRandomForTesting(42);
  std::vector<int64_t> first;
  for (int i = 0; i < 20; ++i) first.push_back(RandomInt(1000, 9998));
  SeedRandomForTesting(42);
  std::vector<int64_t> second;
  for (int i = 0; i < 20; ++i) second.push_back(RandomInt(1000, 9998));
  EXPECT_EQ(first, second);
}

TEST(Random, ConcurrentDrawsAreSafe) {
  std::vector<std::thread> threads;
  std::array<int64_t, 4> sums{};
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&sums, t] {
      for (int i = 0; i < 2000; ++i) sums[t] += RandomInt(0, 1);
    });
  }
  testing_support::JoinAllWithin(threads, "the drawing threads");
  for (int64_t s : sums) {
    EXPECT_GT(s, 0);
    EXPECT_LT(s, 2000);
  }
}

}  // namespace
}  // namespace parlevo
