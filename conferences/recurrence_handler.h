// The background run that extends every series: one thread performs one scan (HandleRecurrences
// with no take-over list) and ends. The service starts one per period and owns it as a worker.
//
// Thread safety: construct and destroy on one thread (the service's). Destruction waits for the
// scan to end; the scan itself does not look at the stop request.
#pragma once

#include <functional>
#include <string>
#include <string_view>
#include <thread>

#include "platform/datetime.h"
#include "service/service_parts.h"

namespace parlevo {

struct TRecurrenceHandlerOptions {
  // The local date-time the scan takes as now, read when it begins. Empty: the system clock.
  std::function<TDateTime()> clock;
};

class TRecurrenceHandler : public IServiceWorker {
 public:
  // Start the thread running the scan over all series (on the system clock, or on the options').
  TRecurrenceHandler();
  explicit TRecurrenceHandler(TRecurrenceHandlerOptions options);
  // Starts the thread running `scan` in place of the scan over all series. scan must remain
  // callable until the thread ends.
  explicit TRecurrenceHandler(std::function<void()> scan);
  ~TRecurrenceHandler() override;
  TRecurrenceHandler(const TRecurrenceHandler&) = delete;
  TRecurrenceHandler& operator=(const TRecurrenceHandler&) = delete;

 private:
  // The thread body; nothing escapes it.
  static void Execute(const std::function<void()>& scan) noexcept;

  std::jthread thread_;
};

// The name the recurrence thread gives itself, cut to what the platform allows (15 characters,
// platform/thread_name.h).
inline constexpr const char* kRecurrenceThreadName = "RecurrenceHandler";

}  // namespace parlevo
