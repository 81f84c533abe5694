#include "platform/service_app.h"

#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <fmt/format.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <stdexcept>
#include <string>
#include <thread>

#include "platform/service_unit.h"

namespace parlevo {
namespace {

void Report(std::string_view message) {
  std::fputs(fmt::format("{}\n", message).c_str(), stderr);
  std::fflush(stderr);
}

std::string ExceptionText(std::exception_ptr error) {
  try {
    std::rethrow_exception(error);
  } catch (const std::exception& e) {
    return e.what();
  } catch (...) {
    return "unknown exception";
  }
}

// Runs one event; an exception is reported with the event's name and turns into false.
template <typename Event>
bool CallEvent(const TService& service, std::string_view event, Event&& call) {
  try {
    call();
    return true;
  } catch (...) {
    Report(fmt::format("{}: {} failed: {}", service.Name(), event,
                       ExceptionText(std::current_exception())));
    return false;
  }
}

class FileDescriptor {
 public:
  explicit FileDescriptor(int fd) : fd_(fd) {}
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;
  ~FileDescriptor() {
    if (fd_ >= 0) ::close(fd_);
  }
  int get() const { return fd_; }

 private:
  int fd_;
};

// Blocks the control signals in the calling thread (threads started later inherit that) and
// receives them through a signalfd, so that no work ever runs inside a signal handler.
class ControlSignals {
 public:
  ControlSignals() {
    sigemptyset(&set_);
    for (int sig : {SIGTERM, SIGINT, SIGUSR1, SIGUSR2}) sigaddset(&set_, sig);
    int rc = ::pthread_sigmask(SIG_BLOCK, &set_, &old_mask_);
    if (rc != 0)
      throw std::runtime_error(fmt::format("cannot block signals: {}", std::strerror(rc)));
    fd_ = ::signalfd(-1, &set_, SFD_CLOEXEC | SFD_NONBLOCK);
    if (fd_ < 0) {
      int err = errno;
      ::pthread_sigmask(SIG_SETMASK, &old_mask_, nullptr);
      throw std::runtime_error(fmt::format("cannot receive signals: {}", std::strerror(err)));
    }
  }
  ControlSignals(const ControlSignals&) = delete;
  ControlSignals& operator=(const ControlSignals&) = delete;
  ~ControlSignals() {
    // Signals that arrived after the end must not take their default action (ending the
    // process) once the mask is restored.
    const timespec zero{};
    while (::sigtimedwait(&set_, nullptr, &zero) > 0) {
    }
    ::close(fd_);
    ::pthread_sigmask(SIG_SETMASK, &old_mask_, nullptr);
  }

  int fd() const { return fd_; }

  // The next pending control signal, or 0.
  int Next() {
    signalfd_siginfo info{};
    for (;;) {
      ssize_t n = ::read(fd_, &info, sizeof info);
      if (n == static_cast<ssize_t>(sizeof info)) return static_cast<int>(info.ssi_signo);
      if (n < 0 && errno == EINTR) continue;
      return 0;
    }
  }

 private:
  sigset_t set_{};
  sigset_t old_mask_{};
  int fd_ = -1;
};

std::optional<TServiceRequest> RequestOfSignal(int sig) {
  switch (sig) {
    case SIGTERM:
    case SIGINT:
      return TServiceRequest::kStop;
    case SIGUSR1:
      return TServiceRequest::kPause;
    case SIGUSR2:
      return TServiceRequest::kContinue;
    default:
      return std::nullopt;
  }
}

// Start and execute on the service thread; the calling thread turns signals into requests until
// the service thread is done.
int RunServiceThread(TService& service, ControlSignals& signals) {
  TServiceThread thread(service);
  FileDescriptor done(::eventfd(0, EFD_CLOEXEC));
  if (done.get() < 0) {
    Report(fmt::format("{}: cannot create an event: {}", service.Name(), std::strerror(errno)));
    return kServiceExitFailure;
  }
  int result = kServiceExitFailure;
  std::jthread worker([&] {
    bool started = true;
    if (!CallEvent(service, "start", [&] { service.ServiceStart(started); })) {
      result = kServiceExitFailure;
    } else if (!started) {
      Report(fmt::format("{}: the service did not start", service.Name()));
      result = kServiceExitFailure;
    } else {
      result = CallEvent(service, "execute", [&] { service.ServiceExecute(thread); })
                   ? kServiceExitOk
                   : kServiceExitFailure;
    }
    uint64_t one = 1;
    while (::write(done.get(), &one, sizeof one) < 0 && errno == EINTR) {
    }
  });

  pollfd fds[2] = {{signals.fd(), POLLIN, 0}, {done.get(), POLLIN, 0}};
  for (;;) {
    int n = ::poll(fds, 2, -1);
    if (n < 0) {
      if (errno == EINTR) continue;
      // Without signals the service can no longer be stopped; wait for it to end by itself.
      Report(fmt::format("{}: cannot wait for signals: {}", service.Name(), std::strerror(errno)));
      break;
    }
    if (fds[0].revents != 0) {
      while (int sig = signals.Next()) {
        if (auto request = RequestOfSignal(sig)) thread.PostRequest(*request);
      }
    }
    if (fds[1].revents != 0) break;
  }
  worker.join();
  return result;
}

}  // namespace

// ---- control requests --------------------------------------------------------------------------

void TServiceThread::PostRequest(TServiceRequest request) {
  {
    std::lock_guard lock(mutex_);
    if (terminated_) return;
    queue_.push_back(request);
  }
  arrived_.notify_all();
}

bool TServiceThread::Terminated() const {
  std::lock_guard lock(mutex_);
  return terminated_;
}

bool TServiceThread::Paused() const {
  std::lock_guard lock(mutex_);
  return paused_;
}

void TServiceThread::ProcessRequests(bool wait) {
  Process(std::nullopt, wait);
}

void TServiceThread::ProcessRequestsFor(std::chrono::steady_clock::duration max_wait) {
  Process(std::chrono::steady_clock::now() + max_wait, true);
}

void TServiceThread::ProcessRequestsUntil(std::chrono::steady_clock::time_point deadline) {
  Process(deadline, true);
}

void TServiceThread::Process(std::optional<std::chrono::steady_clock::time_point> deadline,
                             bool wait) {
  std::unique_lock lock(mutex_);
  auto ready = [this] { return !queue_.empty() || terminated_; };
  if (wait) {
    if (deadline) {
      arrived_.wait_until(lock, *deadline, ready);
    } else {
      arrived_.wait(lock, ready);
    }
  }
  while (!queue_.empty() && !terminated_) {
    TServiceRequest request = queue_.front();
    queue_.pop_front();
    lock.unlock();
    Handle(request);
    lock.lock();
  }
  // What arrives after the end has nobody left to serve it.
  if (terminated_) queue_.clear();
}

void TServiceThread::Handle(TServiceRequest request) {
  auto set = [this](bool& field, bool value) {
    std::lock_guard lock(mutex_);
    field = value;
  };
  switch (request) {
    case TServiceRequest::kStop: {
      bool stopped = true;
      if (CallEvent(service_, "stop", [&] { service_.ServiceStop(stopped); }) && stopped) {
        set(terminated_, true);
      }
      break;
    }
    case TServiceRequest::kShutdown:
      // The system goes down whatever the event does.
      CallEvent(service_, "shutdown", [&] { service_.ServiceShutdown(); });
      set(terminated_, true);
      break;
    case TServiceRequest::kPause: {
      if (Paused()) break;
      bool paused = true;
      if (CallEvent(service_, "pause", [&] { service_.ServicePause(paused); }) && paused) {
        set(paused_, true);
      }
      break;
    }
    case TServiceRequest::kContinue: {
      if (!Paused()) break;
      bool continued = true;
      if (CallEvent(service_, "continue", [&] { service_.ServiceContinue(continued); }) &&
          continued) {
        set(paused_, false);
      }
      break;
    }
  }
}

// ---- the program -------------------------------------------------------------------------------

void IgnoreFileSizeLimitSignal() {
  // A write beyond the file size limit (RLIMIT_FSIZE) then fails with EFBIG, which the log
  // outputs and the database report like any failed write, instead of ending the process.
  struct sigaction action {};
  action.sa_handler = SIG_IGN;
  sigemptyset(&action.sa_mask);
  ::sigaction(SIGXFSZ, &action, nullptr);
}

int RunService(TService& service, const TServiceOptions& options) {
  std::optional<ControlSignals> signals;
  if (options.command == TServiceCommand::kRun) {
    try {
      signals.emplace();
    } catch (const std::exception& e) {
      Report(fmt::format("{}: {}", service.Name(), e.what()));
      return kServiceExitFailure;
    }
  }
  int result = kServiceExitFailure;
  if (CallEvent(service, "create", [&] { service.ServiceCreate(); })) {
    switch (options.command) {
      case TServiceCommand::kRun:
        result = RunServiceThread(service, *signals);
        break;
      case TServiceCommand::kInstall:
        result =
            CallEvent(service, "install",
                      [&] { InstallServiceUnit(service.Name(), service.DisplayName(), options); })
                ? kServiceExitOk
                : kServiceExitFailure;
        break;
      case TServiceCommand::kUninstall:
        result = CallEvent(service, "uninstall",
                           [&] { UninstallServiceUnit(service.Name(), service.DisplayName()); })
                     ? kServiceExitOk
                     : kServiceExitFailure;
        break;
    }
  }
  if (!CallEvent(service, "destroy", [&] { service.ServiceDestroy(); })) {
    result = kServiceExitFailure;
  }
  return result;
}

int ServiceMain(
    int argc, const char* const* argv,
    const std::function<std::unique_ptr<TService>(const TServiceOptions&)>& make_service) {
  std::string_view program = argc > 0 ? argv[0] : "zyntparlevo";
  IgnoreFileSizeLimitSignal();
  TCommandLineResult parsed = ParseServiceCommandLine(argc, argv);
  if (!parsed.options) {
    Report(fmt::format("{}: {}\n{}", program, parsed.error, ServiceUsage(program)));
    return kServiceExitUsage;
  }
  std::unique_ptr<TService> service;
  try {
    service = make_service(*parsed.options);
  } catch (const std::exception& e) {
    Report(fmt::format("{}: {}", program, e.what()));
    return kServiceExitFailure;
  }
  if (!service) {
    Report(fmt::format("{}: no service object was made", program));
    return kServiceExitFailure;
  }
  return RunService(*service, *parsed.options);
}

}  // namespace parlevo
