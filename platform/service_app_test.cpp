#include "platform/service_app.h"
#include "tests/deadline.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace parlevo {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

// Records every event; when given a pipe, also writes each one as a line to it (for a forked
// child whose parent follows the events).
class RecordingService : public TService {
 public:
  explicit RecordingService(int sink = -1) : sink_(sink) {}

  std::function<void(RecordingService&, TServiceThread&)> execute = [](RecordingService& self,
                                                                       TServiceThread& thread) {
    while (!thread.Terminated()) thread.ProcessRequests(true);
  };
  bool start_result = true;
  bool stop_result = true;
  bool fail_create = false;

  std::string_view Name() const override { return "ZyntParlevo"; }
  std::string_view DisplayName() const override { return "Orvalen Parlevo for ZyntWare"; }

  void ServiceCreate() override {
    Record("create");
    if (fail_create) throw std::runtime_error("create broke");
  }
  void ServiceStart(bool& started) override {
    EXPECT_TRUE(started);
    Record("start");
    started = start_result;
  }
  void ServiceExecute(TServiceThread& thread) override {
    Record("execute");
    execute(*this, thread);
  }
  void ServiceStop(bool& stopped) override {
    EXPECT_TRUE(stopped);
    Record("stop");
    stopped = stop_result;
  }
  void ServicePause(bool& paused) override { Record("pause"); }
  void ServiceContinue(bool& continued) override { Record("continue"); }
  void ServiceShutdown() override { Record("shutdown"); }
  void ServiceDestroy() override { Record("destroy"); }

  void Record(const std::string& event) {
    std::lock_guard lock(mutex_);
    events_.push_back(event);
    if (sink_ >= 0) {
      std::string line = event + "\n";
      (void)!::write(sink_, line.data(), line.size());
    }
  }
  std::vector<std::string> Events() const {
    std::lock_guard lock(mutex_);
    return events_;
  }

 private:
  int sink_;
  mutable std::mutex mutex_;
  std::vector<std::string> events_;
};

using Events = std::vector<std::string>;

TServiceOptions RunOptions() {
  TServiceOptions options;
  options.command = TServiceCommand::kRun;
  options.home = "/opt/zyntparlevo";
  options.executable = "/opt/zyntparlevo/zyntparlevo";
  return options;
}

class ScopedEnv {
 public:
  ScopedEnv(const char* name, const char* value) : name_(name) {
    const char* old = std::getenv(name);
    if (old) saved_ = old;
    if (value) {
      ::setenv(name, value, 1);
    } else {
      ::unsetenv(name);
    }
  }
  ~ScopedEnv() {
    if (saved_) {
      ::setenv(name_, saved_->c_str(), 1);
    } else {
      ::unsetenv(name_);
    }
  }

 private:
  const char* name_;
  std::optional<std::string> saved_;
};

class TempDir {
 public:
  TempDir() {
    std::string pattern = (fs::temp_directory_path() / "parlevo-service-XXXXXX").string();
    path_ = ::mkdtemp(pattern.data());
  }
  ~TempDir() {
    std::error_code ec;
    fs::remove_all(path_, ec);
  }
  const fs::path& path() const { return path_; }

 private:
  fs::path path_;
};

TCommandLineResult Parse(std::vector<const char*> args) {
  args.insert(args.begin(), "zyntparlevo");
  return ParseServiceCommandLine(static_cast<int>(args.size()), args.data());
}

TEST(ServiceCommandLine, CommandsAndOptions) {
  const fs::path self = fs::read_symlink("/proc/self/exe");

  TCommandLineResult run = Parse({});
  ASSERT_TRUE(run.options) << run.error;
  EXPECT_EQ(run.options->command, TServiceCommand::kRun);
  EXPECT_EQ(run.options->executable, self);
  EXPECT_EQ(run.options->home, self.parent_path());
  EXPECT_FALSE(run.options->home_given);
  EXPECT_FALSE(run.options->registry_file);

  for (const char* arg : {"install", "/install", "/INSTALL"}) {
    TCommandLineResult r = Parse({arg});
    ASSERT_TRUE(r.options) << arg;
    EXPECT_EQ(r.options->command, TServiceCommand::kInstall) << arg;
  }
  for (const char* arg : {"uninstall", "/uninstall"}) {
    TCommandLineResult r = Parse({arg});
    ASSERT_TRUE(r.options) << arg;
    EXPECT_EQ(r.options->command, TServiceCommand::kUninstall) << arg;
  }

  TCommandLineResult with = Parse({"--home", "/srv/parlevo", "install", "--registry=conf.reg"});
  ASSERT_TRUE(with.options) << with.error;
  EXPECT_EQ(with.options->command, TServiceCommand::kInstall);
  EXPECT_EQ(with.options->home, fs::path("/srv/parlevo"));
  EXPECT_TRUE(with.options->home_given);
  EXPECT_EQ(with.options->registry_file, fs::current_path() / "conf.reg");
  TCommandLineResult relative = Parse({"--home=inst"});
  ASSERT_TRUE(relative.options);
  EXPECT_EQ(relative.options->home, fs::current_path() / "inst");

  EXPECT_NE(Parse({"--port"}).error.find("unknown argument \"--port\""), std::string::npos);
  EXPECT_NE(Parse({"start"}).error.find("unknown argument"), std::string::npos);
  EXPECT_NE(Parse({"--home"}).error.find("needs a value"), std::string::npos);
  EXPECT_NE(Parse({"--registry="}).error.find("needs a value"), std::string::npos);
  EXPECT_NE(Parse({"install", "uninstall"}).error.find("only one command"), std::string::npos);
}

TEST(ServiceCommandLine, RefusedArgumentsGiveUsageAndExitCode2) {
  bool made = false;
  const char* argv[] = {"zyntparlevo", "--verbose"};
  ::testing::internal::CaptureStderr();
  int rc = ServiceMain(2, argv, [&](const TServiceOptions&) {
    made = true;
    return std::make_unique<RecordingService>();
  });
  std::string err = ::testing::internal::GetCapturedStderr();
  EXPECT_EQ(rc, kServiceExitUsage);
  EXPECT_FALSE(made);
  EXPECT_NE(err.find("unknown argument \"--verbose\""), std::string::npos) << err;
  EXPECT_NE(err.find("usage: zyntparlevo [install | uninstall]"), std::string::npos) << err;
}

TEST(ServiceRequests, QueueRunsInOrderAndIgnoresRepeats) {
  RecordingService service;
  TServiceThread thread(service);
  // Nothing pending and the deadline passed: returns at once.
  thread.ProcessRequestsUntil(std::chrono::steady_clock::now() - 1s);
  thread.ProcessRequests(false);
  EXPECT_TRUE(service.Events().empty());

  thread.PostRequest(TServiceRequest::kContinue);  // not paused: ignored
  thread.PostRequest(TServiceRequest::kPause);
  thread.PostRequest(TServiceRequest::kPause);  // already paused: ignored
  thread.PostRequest(TServiceRequest::kContinue);
  thread.ProcessRequests(false);
  EXPECT_EQ(service.Events(), (Events{"pause", "continue"}));
  EXPECT_FALSE(thread.Paused());

  service.stop_result = false;  // a refused stop leaves the service running
  thread.PostRequest(TServiceRequest::kStop);
  thread.ProcessRequestsFor(0s);
  EXPECT_FALSE(thread.Terminated());
  service.stop_result = true;
  thread.PostRequest(TServiceRequest::kPause);
  thread.PostRequest(TServiceRequest::kStop);      // stopping while paused works
  thread.PostRequest(TServiceRequest::kContinue);  // after the stop: dropped
  thread.ProcessRequests(true);
  EXPECT_TRUE(thread.Terminated());
  thread.PostRequest(TServiceRequest::kPause);
  thread.ProcessRequests(true);  // terminated: no waiting
  EXPECT_EQ(service.Events(), (Events{"pause", "continue", "stop", "pause", "stop"}));
}

TEST(ServiceRequests, AWaitingLoopWakesWhenARequestArrives) {
  testing_support::TWatchdog dog("the request loop waking for a posted request");
  RecordingService service;
  TServiceThread thread(service);
  std::jthread poster([&] { thread.PostRequest(TServiceRequest::kShutdown); });
  // Would sit for an hour if the arriving request did not wake it.
  while (!thread.Terminated()) thread.ProcessRequestsFor(1h);
  EXPECT_EQ(service.Events(), Events{"shutdown"});
}

TEST(ServiceRun, EventsInOrderWithSignalsToTheProcess) {
  testing_support::TWatchdog dog("the service run driven by signals");
  RecordingService service;
  service.execute = [](RecordingService& self, TServiceThread& thread) {
    // Each wait is an hour long: it only returns because the signal's request woke it.
    ::kill(::getpid(), SIGUSR1);
    thread.ProcessRequestsFor(1h);
    self.Record("woke");
    ::kill(::getpid(), SIGUSR1);  // paused already: ignored, but still wakes the loop
    thread.ProcessRequestsFor(1h);
    self.Record("woke");
    ::kill(::getpid(), SIGUSR2);
    thread.ProcessRequestsFor(1h);
    self.Record("woke");
    ::kill(::getpid(), SIGINT);
    while (!thread.Terminated()) thread.ProcessRequestsFor(1h);
  };
  EXPECT_EQ(RunService(service, RunOptions()), kServiceExitOk);
  EXPECT_EQ(service.Events(), (Events{"create", "start", "execute", "pause", "woke", "woke",
                                      "continue", "woke", "stop", "destroy"}));
}

TEST(ServiceRun, SignalsFromOutsideDriveAForkedService) {
  int pipe_fds[2];
  ASSERT_EQ(::pipe(pipe_fds), 0);
  pid_t pid = ::fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    ::close(pipe_fds[0]);
    RecordingService service(pipe_fds[1]);
    ::_exit(RunService(service, RunOptions()));
  }
  ::close(pipe_fds[1]);
  testing_support::TWatchdog dog("the forked service and its events", {pid});
  FILE* events = ::fdopen(pipe_fds[0], "r");
  ASSERT_NE(events, nullptr);
  std::vector<std::string> seen;
  auto next = [&]() -> std::string {
    char line[64];
    if (std::fgets(line, sizeof line, events) == nullptr) return "<end>";
    std::string s(line);
    if (!s.empty() && s.back() == '\n') s.pop_back();
    seen.push_back(s);
    return s;
  };
  // Each signal goes out once the previous one has been served: the kernel hands pending
  // signals over by number, not in the order they were sent.
  EXPECT_EQ(next(), "create");
  EXPECT_EQ(next(), "start");
  EXPECT_EQ(next(), "execute");
  ::kill(pid, SIGUSR1);
  EXPECT_EQ(next(), "pause");
  ::kill(pid, SIGUSR2);
  EXPECT_EQ(next(), "continue");
  ::kill(pid, SIGTERM);
  EXPECT_EQ(next(), "stop");
  EXPECT_EQ(next(), "destroy");
  EXPECT_EQ(next(), "<end>");
  std::fclose(events);
  int status = 0;
  ASSERT_EQ(::waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), kServiceExitOk);
}

TEST(ServiceRun, FailuresStillEndWithDestroy) {
  {
    RecordingService service;
    service.start_result = false;
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(RunService(service, RunOptions()), kServiceExitFailure);
    EXPECT_NE(::testing::internal::GetCapturedStderr().find("did not start"), std::string::npos);
    EXPECT_EQ(service.Events(), (Events{"create", "start", "destroy"}));
  }
  {
    RecordingService service;
    service.fail_create = true;
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(RunService(service, RunOptions()), kServiceExitFailure);
    EXPECT_NE(::testing::internal::GetCapturedStderr().find("create broke"), std::string::npos);
    EXPECT_EQ(service.Events(), (Events{"create", "destroy"}));
  }
  {
    RecordingService service;
    service.execute = [](RecordingService&, TServiceThread&) {
      throw std::runtime_error("loop broke");
    };
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(RunService(service, RunOptions()), kServiceExitFailure);
    EXPECT_NE(::testing::internal::GetCapturedStderr().find("execute failed: loop broke"),
              std::string::npos);
    EXPECT_EQ(service.Events(), (Events{"create", "start", "execute", "destroy"}));
  }
}

TEST(ServiceInstall, WritesAndRemovesTheSystemdUnit) {
  TempDir units;
  ScopedEnv dir("ZYNTPARLEVO_SYSTEMD_DIR", units.path().c_str());
  ScopedEnv registry("ZYNTPARLEVO_REGISTRY", nullptr);
  const fs::path unit = units.path() / "zyntparlevo.service";

  TServiceOptions options = RunOptions();
  options.command = TServiceCommand::kInstall;
  options.executable = "/opt/zynt parlevo/zyntparlevo";
  options.home = "/opt/zynt parlevo";
  options.home_given = true;
  options.registry_file = "/etc/zynt%parlevo/\"conf\".reg";
  {
    RecordingService service;
    ::testing::internal::CaptureStdout();
    EXPECT_EQ(RunService(service, options), kServiceExitOk);
    ::testing::internal::GetCapturedStdout();
    EXPECT_EQ(service.Events(), (Events{"create", "destroy"}));
  }
  std::ifstream in(unit);
  std::stringstream text;
  text << in.rdbuf();
  EXPECT_EQ(text.str(),
            "[Unit]\n"
            "Description=Orvalen Parlevo for ZyntWare\n"
            "After=network.target\n"
            "\n"
            "[Service]\n"
            "Type=simple\n"
            "ExecStart=\"/opt/zynt parlevo/zyntparlevo\" --home \"/opt/zynt parlevo\" "
            "--registry \"/etc/zynt%%parlevo/\\\"conf\\\".reg\"\n"
            "Restart=on-failure\n"
            "KillSignal=SIGTERM\n"
            "AmbientCapabilities=CAP_NET_BIND_SERVICE\n"
            "CapabilityBoundingSet=CAP_NET_BIND_SERVICE\n"
            "LimitNOFILE=65536\n"
            "TasksMax=16384\n"
            "\n"
            "[Install]\n"
            "WantedBy=multi-user.target\n");

  options.command = TServiceCommand::kUninstall;
  {
    RecordingService service;
    ::testing::internal::CaptureStdout();
    EXPECT_EQ(RunService(service, options), kServiceExitOk);
    ::testing::internal::GetCapturedStdout();
    EXPECT_EQ(service.Events(), (Events{"create", "destroy"}));
  }
  EXPECT_FALSE(fs::exists(unit));
  {
    RecordingService service;
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(RunService(service, options), kServiceExitFailure);
    EXPECT_NE(::testing::internal::GetCapturedStderr().find("is not installed"), std::string::npos);
    EXPECT_EQ(service.Events(), (Events{"create", "destroy"}));
  }
}

TEST(ServiceInstall, PlainOptionsAndARegistryNamedByTheEnvironment) {
  TempDir units;
  ScopedEnv dir("ZYNTPARLEVO_SYSTEMD_DIR", units.path().c_str());
  const fs::path unit = units.path() / "zyntparlevo.service";
  auto exec_start = [&] {
    std::ifstream in(unit);
    std::string line;
    while (std::getline(in, line)) {
      if (line.rfind("ExecStart=", 0) == 0) return line;
    }
    return std::string("<none>");
  };
  TServiceOptions options = RunOptions();
  options.command = TServiceCommand::kInstall;
  RecordingService service;
  ::testing::internal::CaptureStdout();
  {
    ScopedEnv registry("ZYNTPARLEVO_REGISTRY", nullptr);
    EXPECT_EQ(RunService(service, options), kServiceExitOk);
    EXPECT_EQ(exec_start(), "ExecStart=/opt/zyntparlevo/zyntparlevo");
  }
  {
    // The service will not see the installer's environment.
    ScopedEnv registry("ZYNTPARLEVO_REGISTRY", "/etc/parlevo.reg");
    EXPECT_EQ(RunService(service, options), kServiceExitOk);
    EXPECT_EQ(exec_start(), "ExecStart=/opt/zyntparlevo/zyntparlevo --registry /etc/parlevo.reg");
  }
  ::testing::internal::GetCapturedStdout();

  // A unit folder that cannot be written: a failure with the reason, and destroy still runs.
  ScopedEnv missing("ZYNTPARLEVO_SYSTEMD_DIR", (units.path() / "no" / "such").c_str());
  RecordingService failing;
  ::testing::internal::CaptureStderr();
  EXPECT_EQ(RunService(failing, options), kServiceExitFailure);
  EXPECT_NE(::testing::internal::GetCapturedStderr().find("install failed"), std::string::npos);
  EXPECT_EQ(failing.Events(), (Events{"create", "destroy"}));
}

}  // namespace
}  // namespace parlevo
