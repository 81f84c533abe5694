#include "platform/service_app.h"

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <spawn.h>
#include <sys/eventfd.h>
#include <sys/signalfd.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fmt/format.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <stdexcept>
#include <thread>
#include <vector>

extern char** environ;

namespace parlevo {
namespace {

namespace fs = std::filesystem;

bool EqualsNoCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) ==
                  std::tolower(static_cast<unsigned char>(y));
         });
}

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

// ---- systemd unit ------------------------------------------------------------------------------

std::string UnitFileName(const TService& service) {
  std::string name(service.Name());
  std::transform(name.begin(), name.end(), name.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return name + ".service";
}

// One word of ExecStart: quoted when needed; "%" and "$" would be expanded by systemd.
std::string UnitWord(std::string_view word) {
  if (word.find_first_of("\n\r") != std::string_view::npos) {
    throw std::runtime_error(fmt::format("\"{}\" holds a line break", word));
  }
  bool plain = !word.empty() && word.find_first_of(" \t\"'\\%$;") == std::string_view::npos;
  std::string out = plain ? "" : "\"";
  for (char c : word) {
    if (c == '%') {
      out += "%%";
    } else if (c == '$') {
      out += "$$";
    } else if (!plain && (c == '"' || c == '\\')) {
      out += '\\';
      out += c;
    } else {
      out += c;
    }
  }
  if (!plain) out += '"';
  return out;
}

std::string UnitText(const TService& service, const TServiceOptions& options) {
  std::vector<std::string> words = {options.executable.string()};
  if (options.home_given) {
    words.emplace_back("--home");
    words.push_back(options.home.string());
  }
  // A file named only by the environment at install time would be lost on the service's start,
  // which does not see that environment: name it on the command line.
  std::optional<fs::path> registry = options.registry_file;
  const char* env = std::getenv("ZYNTPARLEVO_REGISTRY");
  if (!registry && env != nullptr && *env != '\0') registry = fs::absolute(env);
  if (registry) {
    words.emplace_back("--registry");
    words.push_back(registry->string());
  }
  std::string exec;
  for (const std::string& w : words) {
    if (!exec.empty()) exec += ' ';
    exec += UnitWord(w);
  }
  std::string description(service.DisplayName());
  return fmt::format(
      "[Unit]\n"
      "Description={}\n"
      "After=network.target\n"
      "\n"
      "[Service]\n"
      "Type=simple\n"
      "ExecStart={}\n"
      "Restart=on-failure\n"
      "KillSignal=SIGTERM\n"
      "AmbientCapabilities=CAP_NET_BIND_SERVICE\n"
      "CapabilityBoundingSet=CAP_NET_BIND_SERVICE\n"
      // The HTTP front holds up to 8192 connections, one descriptor each, besides its files and
      // database; its threads are few, but the task limit stays above the connection bound.
      "LimitNOFILE=65536\n"
      "TasksMax=16384\n"
      "\n"
      "[Install]\n"
      "WantedBy=multi-user.target\n",
      description, exec);
}

struct UnitPlace {
  fs::path dir;
  bool seen_by_systemd;  // the default folder on a system that runs systemd
};

UnitPlace UnitFolder() {
  const char* env = std::getenv(std::string(kSystemdDirEnvVar).c_str());
  if (env != nullptr && *env != '\0') return {fs::path(env), false};
  std::error_code ec;
  return {fs::path(kDefaultSystemdDir), fs::is_directory("/run/systemd/system", ec)};
}

std::optional<fs::path> FindOnPath(std::string_view program) {
  const char* path = std::getenv("PATH");
  std::string_view dirs = path ? path : "/usr/bin:/bin:/usr/sbin:/sbin";
  while (!dirs.empty()) {
    size_t colon = dirs.find(':');
    std::string_view dir = dirs.substr(0, colon);
    fs::path candidate = fs::path(dir.empty() ? "." : dir) / program;
    if (::access(candidate.c_str(), X_OK) == 0) return candidate;
    if (colon == std::string_view::npos) break;
    dirs.remove_prefix(colon + 1);
  }
  return std::nullopt;
}

void RunSystemctl(const fs::path& systemctl, std::vector<std::string> args) {
  args.insert(args.begin(), systemctl.string());
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  pid_t pid = 0;
  int rc = ::posix_spawn(&pid, systemctl.c_str(), nullptr, nullptr, argv.data(), environ);
  if (rc != 0) {
    throw std::runtime_error(
        fmt::format("cannot start {}: {}", systemctl.string(), std::strerror(rc)));
  }
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) throw std::runtime_error("cannot wait for systemctl");
  }
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    std::string command;
    for (size_t i = 1; i < args.size(); ++i) command += " " + args[i];
    throw std::runtime_error(fmt::format("\"systemctl{}\" failed", command));
  }
}

void WriteUnitFile(const fs::path& file, const std::string& text) {
  fs::path temp = file;
  temp += ".tmp";
  {
    std::ofstream out(temp, std::ios::binary | std::ios::trunc);
    out << text;
    out.flush();
    if (!out) throw std::runtime_error(fmt::format("cannot write {}", temp.string()));
  }
  ::chmod(temp.c_str(), 0644);
  std::error_code ec;
  fs::rename(temp, file, ec);
  if (ec) {
    fs::remove(temp, ec);
    throw std::runtime_error(fmt::format("cannot write {}: {}", file.string(), ec.message()));
  }
}

void InstallUnit(const TService& service, const TServiceOptions& options) {
  UnitPlace place = UnitFolder();
  const fs::path file = place.dir / UnitFileName(service);
  WriteUnitFile(file, UnitText(service, options));
  std::optional<fs::path> systemctl =
      place.seen_by_systemd ? FindOnPath("systemctl") : std::nullopt;
  if (systemctl) {
    RunSystemctl(*systemctl, {"daemon-reload"});
    RunSystemctl(*systemctl, {"enable", UnitFileName(service)});
  }
  std::printf("%s installed as %s\n", std::string(service.DisplayName()).c_str(), file.c_str());
}

void UninstallUnit(const TService& service) {
  UnitPlace place = UnitFolder();
  const fs::path file = place.dir / UnitFileName(service);
  std::error_code ec;
  if (!fs::exists(file, ec)) {
    throw std::runtime_error(
        fmt::format("{} is not installed ({} does not exist)", service.Name(), file.string()));
  }
  std::optional<fs::path> systemctl =
      place.seen_by_systemd ? FindOnPath("systemctl") : std::nullopt;
  if (systemctl) RunSystemctl(*systemctl, {"disable", UnitFileName(service)});
  if (!fs::remove(file, ec) || ec) {
    throw std::runtime_error(fmt::format("cannot remove {}: {}", file.string(), ec.message()));
  }
  if (systemctl) RunSystemctl(*systemctl, {"daemon-reload"});
  std::printf("%s uninstalled (%s removed)\n", std::string(service.DisplayName()).c_str(),
              file.c_str());
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

// ---- command line ------------------------------------------------------------------------------

std::string ServiceUsage(std::string_view program) {
  return fmt::format(
      "usage: {} [install | uninstall] [--home DIR] [--registry FILE]\n"
      "  (no command)     run the service in the foreground\n"
      "  install          register the service as a systemd unit\n"
      "  uninstall        remove the systemd unit\n"
      "  --home DIR       folder of the service's files (default: the program's folder)\n"
      "  --registry FILE  configuration file (default: $ZYNTPARLEVO_REGISTRY, else\n"
      "                   registry.reg in the home folder)\n",
      program);
}

TCommandLineResult ParseServiceCommandLine(int argc, const char* const* argv) {
  TCommandLineResult result;
  TServiceOptions options;
  bool command_given = false;
  auto fail = [&](std::string message) {
    result.error = std::move(message);
    return result;
  };
  for (int i = 1; i < argc; ++i) {
    std::string_view arg = argv[i];
    std::string_view bare = (!arg.empty() && arg.front() == '/') ? arg.substr(1) : arg;
    if (EqualsNoCase(bare, "install") || EqualsNoCase(bare, "uninstall")) {
      if (command_given) return fail(fmt::format("\"{}\": only one command may be given", arg));
      command_given = true;
      options.command =
          EqualsNoCase(bare, "install") ? TServiceCommand::kInstall : TServiceCommand::kUninstall;
      continue;
    }
    std::optional<std::string_view> value;
    std::string_view option = arg;
    if (size_t eq = arg.find('='); arg.starts_with("--") && eq != std::string_view::npos) {
      option = arg.substr(0, eq);
      value = arg.substr(eq + 1);
    }
    if (option != "--home" && option != "--registry") {
      return fail(fmt::format("unknown argument \"{}\"", arg));
    }
    if (!value) {
      if (i + 1 >= argc) return fail(fmt::format("{} needs a value", option));
      value = argv[++i];
    }
    if (value->empty()) return fail(fmt::format("{} needs a value", option));
    if (option == "--home") {
      options.home = fs::absolute(*value);
      options.home_given = true;
    } else {
      options.registry_file = fs::absolute(*value);
    }
  }
  std::error_code ec;
  options.executable = fs::read_symlink("/proc/self/exe", ec);
  if (ec) return fail(fmt::format("cannot find the program's own path: {}", ec.message()));
  if (!options.home_given) options.home = options.executable.parent_path();
  result.options = std::move(options);
  return result;
}

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

// ---- the program
// ---------------------------------------------------------------------------------

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
        result = CallEvent(service, "install", [&] { InstallUnit(service, options); })
                     ? kServiceExitOk
                     : kServiceExitFailure;
        break;
      case TServiceCommand::kUninstall:
        result = CallEvent(service, "uninstall", [&] { UninstallUnit(service); })
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
