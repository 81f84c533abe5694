#include "logging/lg_clock.h"

#include <chrono>
#include <cmath>

namespace parlevo::logging {
namespace {

constexpr double kMicrosecondsPerDay = 86400000000.0;
constexpr double kMillisecondsPerDay = 86400000.0;

TDateTime RoundToMillisecond(TDateTime value) {
  return std::round(value * kMillisecondsPerDay) / kMillisecondsPerDay;
}

TDateTime Offset() {
  static const TDateTime offset = TLgClock::Calibrate();
  return offset;
}

}  // namespace

double TLgClock::Resolution() {
  using period = std::chrono::steady_clock::period;
  return static_cast<double>(period::den) / period::num / 1000000.0;
}

TDateTime TLgClock::Ticks() {
  const auto since = std::chrono::steady_clock::now().time_since_epoch();
  const double microseconds = std::chrono::duration<double, std::micro>(since).count();
  return microseconds / kMicrosecondsPerDay;
}

TDateTime TLgClock::Calibrate() {
  return ToLocalDateTime(std::chrono::system_clock::now()) - Ticks();
}

TDateTime TLgClock::Now(TLgResolution resolution) {
  if (resolution == TLgResolution::High && Available()) {
    return RoundToMillisecond(Ticks() + Offset());
  }
  return parlevo::Now();
}

}  // namespace parlevo::logging
