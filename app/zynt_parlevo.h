// The service object: what happens at create, start, execute, pause, continue, stop, shutdown
// and destroy, the port it listens on, and the worker threads its loop starts (the SMS reminder
// at once, the recurrence handler every 24 hours; a thread that cannot be started is tried again
// one period later, while the service goes on answering).
//
// Thread safety: the framework calls create and destroy on the main thread and the other events
// on the service thread, one at a time; the object's fields are touched by those calls only.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "platform/service_app.h"
#include "service/service_parts.h"

namespace parlevo {

// What the service object is made of. An empty factory means that part does not exist in this
// build of the program; the service runs without it.
struct TZyntParlevoParts {
  std::function<std::unique_ptr<IServiceHttpServer>()> make_http_server;
  std::function<std::unique_ptr<IServiceWorker>()> make_sms_reminder;
  std::function<std::unique_ptr<IServiceWorker>()> make_recurrence_handler;
  // Ends outgoing work a request may be waiting on (mail sends under way, waits for another
  // process's database lock), first thing at stop and shutdown, so that stopping the HTTP server
  // does not wait for a silent peer or a lock.
  std::function<void()> interrupt_outgoing;
  // Brings the database schema up to date; its outcome is only logged.
  std::function<void()> update_db;
  // Between two recurrence threads (the first starts one period after execution began).
  std::chrono::steady_clock::duration recurrence_period = std::chrono::hours(24);
  // The SMS reminder's own period, after which a reminder whose thread could not be started is
  // tried again. Empty, or when it throws: a minute.
  std::function<std::chrono::steady_clock::duration()> sms_reminder_period;
};

class TZyntParlevo : public TService {
 public:
  static constexpr uint16_t kPortWhenUnreadable = 83;

  explicit TZyntParlevo(TZyntParlevoParts parts);
  ~TZyntParlevo() override;

  std::string_view Name() const override { return "ZyntParlevo"; }
  std::string_view DisplayName() const override { return "Orvalen Parlevo for ZyntWare"; }

  void ServiceCreate() override;
  void ServiceStart(bool& started) override;
  void ServiceExecute(TServiceThread& thread) override;
  void ServiceStop(bool& stopped) override;
  void ServicePause(bool& paused) override;
  void ServiceContinue(bool& continued) override;
  void ServiceShutdown() override;
  void ServiceDestroy() override;

  // The port the HTTP server was given at create (0 before).
  uint16_t Port() const { return port_; }

 private:
  void SetServerActive(bool active);
  void InterruptOutgoing();
  // Starts a worker thread; when it cannot be started (the system may refuse a thread, as under
  // a task limit) the failure is logged and the slot stays empty, and the service goes on.
  void StartWorker(std::string_view what,
                   const std::function<std::unique_ptr<IServiceWorker>()>& make,
                   std::unique_ptr<IServiceWorker>& slot);
  std::chrono::steady_clock::duration SmsReminderPeriod() const;

  TZyntParlevoParts parts_;
  std::unique_ptr<IServiceHttpServer> http_server_;
  std::unique_ptr<IServiceWorker> sms_reminder_;
  std::unique_ptr<IServiceWorker> recurrence_handler_;
  uint16_t port_ = 0;
};

// Reads "Port" from the configuration key (creating the key when missing). A value that cannot
// be read gives 83 for this run; a larger value is cut to its low 16 bits, and one whose low 16
// bits are 0 counts as unreadable.
uint16_t ReadServicePort();

}  // namespace parlevo
