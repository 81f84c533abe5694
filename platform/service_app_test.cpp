#include "platform/service_app.h"
#include "tests/deadline.h"
#include "tests/scoped_env.h"
#include "tests/temp_folder.h"

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

TEST(ServiceInstall, UnitCommandsRunBetweenCreateAndDestroy) {
  testing_support::TTempFolder units("parlevo-service");
  testing_support::TScopedEnv dir("ZYNTPARLEVO_SYSTEMD_DIR", units.path().c_str());
  const fs::path unit = units.path() / "zyntparlevo.service";
  TServiceOptions options = RunOptions();
  options.command = TServiceCommand::kInstall;
  {
    RecordingService service;
    ::testing::internal::CaptureStdout();
    EXPECT_EQ(RunService(service, options), kServiceExitOk);
    ::testing::internal::GetCapturedStdout();
    EXPECT_EQ(service.Events(), (Events{"create", "destroy"}));
  }
  EXPECT_TRUE(fs::exists(unit));

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

  // A unit folder that cannot be written: a failure with the reason, and destroy still runs.
  testing_support::TScopedEnv missing("ZYNTPARLEVO_SYSTEMD_DIR",
                                      (units.path() / "no" / "such").c_str());
  options.command = TServiceCommand::kInstall;
  RecordingService failing;
  ::testing::internal::CaptureStderr();
  EXPECT_EQ(RunService(failing, options), kServiceExitFailure);
  EXPECT_NE(::testing::internal::GetCapturedStderr().find("install failed"), std::string::npos);
  EXPECT_EQ(failing.Events(), (Events{"create", "destroy"}));
}

}  // namespace
}  // namespace parlevo
