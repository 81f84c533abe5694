#include "logging/lg_clock.h"

#include <gtest/gtest.h>

#include <cmath>

namespace parlevo::logging {
namespace {

TEST(ClockTest, StandardResolutionIsTheLocalWallClock) {
  const TDateTime before = parlevo::Now();
  const TDateTime now = TLgClock::Now(TLgResolution::Standard);
  const TDateTime after = parlevo::Now();
  EXPECT_LE(before, now);
  EXPECT_LE(now, after);
}

TEST(ClockTest, HighResolutionNeverGoesBackAndIsWholeMilliseconds) {
  TDateTime previous = TLgClock::Now(TLgResolution::High);
  for (int i = 0; i < 100000; ++i) {
    const TDateTime next = TLgClock::Now(TLgResolution::High);
    ASSERT_GE(next, previous);
    previous = next;
  }
  const double ms = previous * 86400000.0;
  EXPECT_NEAR(ms, std::round(ms), 1e-3);
  // Calibrated against the wall clock: the same day, to the minute.
  EXPECT_NEAR(previous, parlevo::Now(), 1.0 / 1440);
  EXPECT_GT(TLgClock::Resolution(), 0);
}

}  // namespace
}  // namespace parlevo::logging
