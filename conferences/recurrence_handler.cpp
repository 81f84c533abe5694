#include "conferences/recurrence_handler.h"

#include <exception>
#include <string>

#include "conferences/recurrence_scan.h"
#include "logging/lg_auto.h"
#include "platform/thread_name.h"

namespace parlevo {
namespace {

using logging::MainSession;
using logging::TLgMethodScope;

}  // namespace

TRecurrenceHandler::TRecurrenceHandler() : TRecurrenceHandler(TRecurrenceHandlerOptions{}) {}

TRecurrenceHandler::TRecurrenceHandler(TRecurrenceHandlerOptions options)
    : TRecurrenceHandler([clock = std::move(options.clock)] {
        if (clock) {
          HandleRecurrencesAt("", clock());
        } else {
          HandleRecurrences("");
        }
      }) {}

TRecurrenceHandler::TRecurrenceHandler(std::function<void()> scan)
    : thread_([scan = std::move(scan)] { Execute(scan); }) {}

TRecurrenceHandler::~TRecurrenceHandler() = default;

void TRecurrenceHandler::Execute(const std::function<void()>& scan) noexcept {
  try {
    TLgMethodScope scope(MainSession(), "TRecurrenceHandler::Execute");
    SetCurrentThreadName(kRecurrenceThreadName);
    try {
      scan();
    } catch (const std::exception& e) {
      MainSession().LogException(e, "TRecurrenceHandler::Execute");
    } catch (...) {
      MainSession().LogException("TRecurrenceHandler::Execute");
    }
  } catch (...) {
    // Logging itself never throws; this only keeps the thread from ending the process.
  }
}

}  // namespace parlevo
