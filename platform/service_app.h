// The service framework in place of the Windows service control manager: the program's entry
// (command line in service_command_line.h, the systemd unit in service_unit.h), the order in which
// the service object's events are called, and the control requests that arrive as signals (SIGTERM
// and SIGINT stop, SIGUSR1 pauses, SIGUSR2 continues).
//
// Thread safety: RunService and ServiceMain run on the program's main thread, once at a time.
// Create and destroy are called on that thread; start, execute and the control events (stop,
// pause, continue, shutdown) on the service thread. TServiceThread::PostRequest may be called from
// any thread; its other members belong to the service thread.
#pragma once

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string_view>

#include "platform/service_command_line.h"

namespace parlevo {

inline constexpr int kServiceExitOk = 0;
inline constexpr int kServiceExitFailure = 1;
inline constexpr int kServiceExitUsage = 2;

enum class TServiceRequest { kStop, kPause, kContinue, kShutdown };

class TService;

// The service thread's side of the control requests. Requests queue up in the order they
// arrive and run their events when the execute event calls one of the ProcessRequests calls.
class TServiceThread {
 public:
  explicit TServiceThread(TService& service) : service_(service) {}
  TServiceThread(const TServiceThread&) = delete;
  TServiceThread& operator=(const TServiceThread&) = delete;

  // Runs the pending requests; with `wait`, first waits for one when none is pending (until
  // one arrives, however long that takes).
  void ProcessRequests(bool wait);
  // Waits at most `max_wait` for a request, then runs the pending ones. Returns as soon as a
  // request has run, so a loop can sleep until its next deadline and still stop at once.
  void ProcessRequestsFor(std::chrono::steady_clock::duration max_wait);
  void ProcessRequestsUntil(std::chrono::steady_clock::time_point deadline);
  // True once a stop (that the stop event accepted) or a shutdown has run: execute should return.
  bool Terminated() const;
  bool Paused() const;

  // Queues a request; any thread. Requests after termination are dropped.
  void PostRequest(TServiceRequest request);

 private:
  void Process(std::optional<std::chrono::steady_clock::time_point> deadline, bool wait);
  void Handle(TServiceRequest request);

  TService& service_;
  mutable std::mutex mutex_;
  std::condition_variable arrived_;
  std::deque<TServiceRequest> queue_;
  bool terminated_ = false;
  bool paused_ = false;
};

// The events of a service object. The var flags arrive set to true; an event sets its flag to
// false to refuse (a refused start ends the program with a failure, a refused stop or pause
// leaves the service as it was). An exception from an event is reported on stderr: from
// create, start or execute it ends the program with a failure; from stop, pause or continue it
// refuses the request.
class TService {
 public:
  virtual ~TService() = default;
  // The service name ("ZyntParlevo"); the unit file is its lower-case form + ".service".
  virtual std::string_view Name() const = 0;
  virtual std::string_view DisplayName() const = 0;

  // On every start of the program, also for install and uninstall; destroy follows it in
  // every case, also when create threw.
  virtual void ServiceCreate() = 0;
  virtual void ServiceStart(bool& started) = 0;
  // Runs until thread.Terminated(); calls thread.ProcessRequests... meanwhile.
  virtual void ServiceExecute(TServiceThread& thread) = 0;
  virtual void ServiceStop(bool& stopped) = 0;
  virtual void ServicePause(bool& paused) = 0;
  virtual void ServiceContinue(bool& continued) = 0;
  virtual void ServiceShutdown() = 0;
  virtual void ServiceDestroy() = 0;
};

// Runs the command of `options` with `service`: create, then either install/uninstall the systemd
// unit or run (start on the service thread; when started, execute until terminated), then
// destroy. Returns the exit code. For a run the control signals are blocked in the calling thread
// before create, so call it before any other thread exists: every thread started by the events
// then inherits the block and the signals reach the framework only.
int RunService(TService& service, const TServiceOptions& options);

// Makes writes past the process's file size limit fail with EFBIG instead of raising SIGXFSZ,
// whose default action ends the process. ServiceMain calls it first.
void IgnoreFileSizeLimitSignal();

// The whole program entry: parses the command line (usage on stderr and exit code 2 when
// refused), makes the service object from the options and runs it.
int ServiceMain(
    int argc, const char* const* argv,
    const std::function<std::unique_ptr<TService>(const TServiceOptions&)>& make_service);

}  // namespace parlevo
