#include "front/http_worker_pool.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <mutex>
#include <vector>

namespace parlevo {
namespace {

using namespace std::chrono_literals;

TEST(HttpWorkerPool, RunsTasksOnItsThreadsAndNothingAfterStopping) {
  THttpWorkerPool pool;
  EXPECT_EQ(pool.Grow(3), 3u);
  EXPECT_EQ(pool.Grow(2), 3u);  // never shrinks

  // Three tasks that each wait for the others can only finish when they run side by side.
  std::atomic<int> arrived{0};
  std::promise<void> all_in;
  std::shared_future<void> gate = all_in.get_future().share();
  std::vector<std::future<void>> done;
  for (int i = 0; i < 3; ++i) {
    auto finished = std::make_shared<std::promise<void>>();
    done.push_back(finished->get_future());
    pool.Post([&, finished] {
      if (++arrived == 3) all_in.set_value();
      gate.wait();
      finished->set_value();
    });
  }
  for (auto& f : done) ASSERT_EQ(f.wait_for(10s), std::future_status::ready);

  pool.StopAndJoin();
  std::atomic<bool> ran{false};
  pool.Post([&] { ran = true; });
  EXPECT_EQ(pool.Grow(0), 0u);
  EXPECT_FALSE(ran);
}

}  // namespace
}  // namespace parlevo
