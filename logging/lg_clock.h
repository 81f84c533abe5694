// The time source behind TLogCenter::Now: the local wall clock, or for the high resolution the
// monotonic clock calibrated once against the wall clock, so that successive stamps never go
// backwards even when the wall clock is set back. Readings are day numbers since 1899-12-30 in
// local time, rounded to the millisecond.
//
// Thread safety: every function may be called from any thread; the calibration happens once,
// on first use.
#pragma once

#include <cstdint>

#include "platform/datetime.h"

namespace parlevo::logging {

enum class TLgResolution : uint8_t { Standard, High };

class TLgClock {
 public:
  // Whether the monotonic clock can be read (always, with std::chrono).
  static bool Available() { return true; }
  // Monotonic ticks per microsecond.
  static double Resolution();
  // The monotonic time as a day count.
  static TDateTime Ticks();
  // The local wall-clock time minus Ticks().
  static TDateTime Calibrate();
  // Standard: the local wall-clock time. High: Ticks() plus the offset taken at the first call.
  static TDateTime Now(TLgResolution resolution);
};

}  // namespace parlevo::logging
