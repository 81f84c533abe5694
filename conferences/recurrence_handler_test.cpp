#include "conferences/recurrence_handler.h"

#include <pthread.h>

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <stdexcept>
#include <string>

#include "conferences/recurrence_test_support.h"

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

TEST_F(RecurrenceHandlerScan, TheDefaultHandlerExtendsEverySeries) {
  // A series starting today, so that the real clock finds it current.
  const std::string today = FormatISODate(Now());
  const std::string id = AddSeriesRow({{"Daily", "1"},
                                       {"DailyInterval", "1"},
                                       {"startdate", today},
                                       {"enddate", today},
                                       {"starttime", today + " 23:00:00"},
                                       {"endtime", today + " 23:30:00"}});
  { TRecurrenceHandler handler; }
  EXPECT_EQ(SeriesDays(id).size(), 10u);
  // As a worker of the service.
  std::unique_ptr<IServiceWorker> worker = std::make_unique<TRecurrenceHandler>();
  worker.reset();
  EXPECT_EQ(SeriesDays(id).size(), 10u);
}

}  // namespace
}  // namespace parlevo
