#include "app/zynt_parlevo.h"

#include <algorithm>
#include <exception>
#include <filesystem>
#include <stdexcept>
#include <system_error>

#include "logging/lg_auto.h"
#include "platform/registry.h"
#include "service/check_registry.h"
#include "service/helpers.h"

namespace parlevo {
namespace {

using logging::MainSession;
using logging::TLgLevel;
using logging::TLgMethodScope;

constexpr const char* kWsdlAdminFile = "ZyntParlevo_WSDLADMIN.INI";
constexpr const char* kLoggingConfigurationFile = "ZyntParlevo.lgc";

// Runs one release step of ServiceDestroy with its log lines; a failure is logged, and the
// remaining steps still run.
template <typename Fn>
void DestroyStep(std::string_view what, Fn&& fn) {
  auto& session = MainSession();
  session.LogMessage("TZyntParlevo::ServiceDestroy: Free " + std::string(what));
  try {
    fn();
    session.LogMessage("TZyntParlevo::ServiceDestroy: -> OK");
  } catch (const std::exception& e) {
    session.LogException(e, "TZyntParlevo::ServiceDestroy");
  }
}

}  // namespace

uint16_t ReadServicePort() {
  auto& session = MainSession();
  try {
    TRegistry registry;
    registry.OpenKey(kParlevoRegistryKey, true);
    // Only the low 16 bits make a port, as the server takes them. Port 0 would let the system
    // pick any port, where no client could find the service.
    const uint32_t value = static_cast<uint32_t>(registry.ReadInteger("Port"));
    const auto port = static_cast<uint16_t>(value & 0xFFFFu);
    if (port == 0) {
      throw std::runtime_error("\"Port\" " + std::to_string(value) + " names no port");
    }
    return port;
  } catch (const std::exception& e) {
    session.LogException(e, "TZyntParlevo::ServiceCreate");
    return TZyntParlevo::kPortWhenUnreadable;
  }
}

TZyntParlevo::TZyntParlevo(TZyntParlevoParts parts) : parts_(std::move(parts)) {}

TZyntParlevo::~TZyntParlevo() = default;

void TZyntParlevo::ServiceCreate() {
  // The process's pseudo-random generator seeds itself from the operating system's randomness on
  // first use (platform/random.h), so there is nothing to seed here.
  logging::GlobalLogCenter().LoadConfiguration(ExeFolder() + kLoggingConfigurationFile);
  auto& session = MainSession();
  TLgMethodScope scope(session, "TZyntParlevo::ServiceCreate");
  session.LogMessage("TZyntParlevo::ServiceCreate: v" + GetAppVersion() + " started");

  try {
    const std::filesystem::path admin_file = std::filesystem::path(ExeFolder()) / kWsdlAdminFile;
    if (std::filesystem::exists(admin_file)) {
      session.LogMessage("TZyntParlevo::ServiceCreate: Delete ZyntParlevo_WSDLADMIN.INI");
      std::filesystem::remove(admin_file);
      session.LogMessage("TZyntParlevo::ServiceCreate: -> ZyntParlevo_WSDLADMIN.INI deleted");
    }
  } catch (const std::exception& e) {
    session.LogException(e, "TZyntParlevo::ServiceCreate");
  }

  session.LogMessage("TZyntParlevo::ServiceCreate: Create webserver");
  if (parts_.make_http_server) http_server_ = parts_.make_http_server();
  session.LogMessage("TZyntParlevo::ServiceCreate: -> created");

  session.LogMessage(
      "TZyntParlevo::ServiceCreate: Read Port from SOFTWARE\\Orvalen\\Parlevo for ZyntWare");
  port_ = ReadServicePort();
  if (http_server_) http_server_->SetDefaultPort(port_);

  checkRegistry(ExeFolder());
  if (parts_.update_db) {
    try {
      parts_.update_db();
    } catch (const std::exception& e) {
      // A failed upgrade leaves the schema where it stopped; the service starts all the same.
      session.LogException(e, "TZyntParlevo::ServiceCreate");
    }
  }
  session.LogMessage("TZyntParlevo::ServiceCreate: -> use port " + std::to_string(port_));
}

void TZyntParlevo::ServiceStart(bool& started) {
  TLgMethodScope scope(MainSession(), "TZyntParlevo::ServiceStart");
  started = true;
  SetServerActive(true);
  // The process-wide date and time formats are the defaults of FormatSettings, in force from the
  // first instruction of the program, so no thread can ever see others; nothing to set here.
}

void TZyntParlevo::ServiceExecute(TServiceThread& thread) {
  auto& session = MainSession();
  TLgMethodScope scope(session, "TZyntParlevo::ServiceExecute");
  session.LogMessage("TZyntParlevo::ServiceExecute: Activate webserver");
  SetServerActive(true);
  session.LogMessage("TZyntParlevo::ServiceExecute: -> activated");

  using Clock = std::chrono::steady_clock;
  StartWorker("SMS reminder", parts_.make_sms_reminder, sms_reminder_);
  Clock::time_point sms_retry{};
  if (parts_.make_sms_reminder && !sms_reminder_) sms_retry = Clock::now() + SmsReminderPeriod();

  // Waits on the control requests instead of polling, and starts a recurrence thread once per
  // period; the previous one is finished and joined first, so two never overlap.
  auto deadline = Clock::now() + parts_.recurrence_period;
  while (!thread.Terminated()) {
    const bool sms_missing = parts_.make_sms_reminder && !sms_reminder_;
    thread.ProcessRequestsUntil(sms_missing ? std::min(deadline, sms_retry) : deadline);
    if (thread.Terminated()) break;
    const auto now = Clock::now();
    if (sms_missing && now >= sms_retry) {
      StartWorker("SMS reminder", parts_.make_sms_reminder, sms_reminder_);
      sms_retry = now + SmsReminderPeriod();
    }
    if (now >= deadline) {
      deadline += parts_.recurrence_period;
      if (parts_.make_recurrence_handler) {
        recurrence_handler_.reset();
        session.LogMessage("TZyntParlevo::ServiceExecute: Start recurrence handler");
        StartWorker("recurrence handler", parts_.make_recurrence_handler, recurrence_handler_);
      }
    }
  }
}

void TZyntParlevo::StartWorker(std::string_view what,
                               const std::function<std::unique_ptr<IServiceWorker>()>& make,
                               std::unique_ptr<IServiceWorker>& slot) {
  if (!make) return;
  auto& session = MainSession();
  const std::string title = "TZyntParlevo::ServiceExecute: Start " + std::string(what);
  try {
    slot = make();
    return;
  } catch (const std::exception& e) {
    session.LogException(e, title);
    WriteDebugLog("[Main][ServiceExecute] Cannot start the " + std::string(what) + ": " + e.what() +
                  "; tried again after its period");
  } catch (...) {
    session.LogException(title);
    WriteDebugLog("[Main][ServiceExecute] Cannot start the " + std::string(what) +
                  "; tried again after its period");
  }
  slot.reset();
}

std::chrono::steady_clock::duration TZyntParlevo::SmsReminderPeriod() const {
  constexpr auto kDefault = std::chrono::minutes(1);
  if (!parts_.sms_reminder_period) return kDefault;
  try {
    return parts_.sms_reminder_period();
  } catch (const std::exception& e) {
    MainSession().LogException(e, "TZyntParlevo::ServiceExecute");
    return kDefault;
  }
}

void TZyntParlevo::ServiceStop(bool& stopped) {
  // Before the first log line: with synchronous log outputs, that line itself may otherwise
  // wait for a stalled log viewer.
  InterruptOutgoing();
  TLgMethodScope scope(MainSession(), "TZyntParlevo::ServiceStop");
  stopped = true;
  SetServerActive(false);
}

void TZyntParlevo::ServicePause(bool& paused) {
  TLgMethodScope scope(MainSession(), "TZyntParlevo::ServicePause");
  paused = true;
  SetServerActive(false);
}

void TZyntParlevo::ServiceContinue(bool& continued) {
  TLgMethodScope scope(MainSession(), "TZyntParlevo::ServiceContinue");
  continued = true;
  // A continued service that does not answer would be paused in all but name.
  SetServerActive(true);
}

void TZyntParlevo::ServiceShutdown() {
  InterruptOutgoing();  // first, as in ServiceStop
  TLgMethodScope scope(MainSession(), "TZyntParlevo::ServiceShutdown");
  SetServerActive(false);
}

void TZyntParlevo::ServiceDestroy() {
  TLgMethodScope scope(MainSession(), "TZyntParlevo::ServiceDestroy");
  DestroyStep("recurrence handler", [this] { recurrence_handler_.reset(); });
  DestroyStep("SMS reminder", [this] { sms_reminder_.reset(); });
  DestroyStep("webserver", [this] { http_server_.reset(); });
}

void TZyntParlevo::InterruptOutgoing() {
  if (!parts_.interrupt_outgoing) return;
  try {
    parts_.interrupt_outgoing();
  } catch (const std::exception& e) {
    MainSession().LogException(e, "TZyntParlevo::ServiceStop");
  }
}

void TZyntParlevo::SetServerActive(bool active) {
  if (http_server_) http_server_->SetActive(active);
}

}  // namespace parlevo
