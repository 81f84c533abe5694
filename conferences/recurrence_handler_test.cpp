#include "conferences/recurrence_handler.h"

#include <pthread.h>

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <stdexcept>
#include <string>

#include "conferences/recurrence_test_support.h"
#include "platform/thread_name.h"

namespace parlevo {
namespace {

TEST(RecurrenceHandler, RunsOneScanOnANamedThreadAndEnds) {
  std::atomic<int> scans{0};
  std::string name;
  std::thread::id scan_thread;
  {
    TRecurrenceHandler handler([&] {
      char buf[32] = {};
      pthread_getname_np(pthread_self(), buf, sizeof buf);
      name = buf;
      scan_thread = std::this_thread::get_id();
      ++scans;
    });
  }  // destruction waits for the scan
  EXPECT_EQ(scans.load(), 1);
  EXPECT_EQ(name, "RecurrenceHandl");
  EXPECT_NE(scan_thread, std::this_thread::get_id());
  EXPECT_EQ(PlatformThreadName("SMS"), "SMS");
}

TEST(RecurrenceHandler, NothingEscapesTheThread) {
  bool ran = false;
  {
    TRecurrenceHandler handler([&] {
      ran = true;
      throw std::runtime_error("scan failed");
    });
  }
  EXPECT_TRUE(ran);
  {
    TRecurrenceHandler handler([] { throw 42; });
  }
}

class RecurrenceHandlerScan : public testing_support::SeriesTest {};

TEST_F(RecurrenceHandlerScan, TheHandlerExtendsEverySeries) {
  // Late on the series' first day by the handler's clock, so that no midnight of the machine
  // changes what the scan finds.
  TRecurrenceHandlerOptions options;
  options.clock = [] { return EncodeDateTime({2091, 5, 20, 23, 59, 0, 0}); };
  const std::string id = AddSeriesRow({{"Daily", "1"},
                                       {"DailyInterval", "1"},
                                       {"startdate", "2091-05-20"},
                                       {"enddate", "2091-05-20"},
                                       {"starttime", "2091-05-20 23:00:00"},
                                       {"endtime", "2091-05-20 23:30:00"}});
  { TRecurrenceHandler handler(options); }
  const auto days = SeriesDays(id);
  ASSERT_EQ(days.size(), 10u);
  EXPECT_EQ(days.front(), "20.05.2091");
  EXPECT_EQ(days.back(), "29.05.2091");
  // As the service starts it, on the machine's clock: the series has its ten days ahead already.
  std::unique_ptr<IServiceWorker> worker = std::make_unique<TRecurrenceHandler>();
  worker.reset();
  EXPECT_EQ(SeriesDays(id).size(), 10u);
}

}  // namespace
}  // namespace parlevo
