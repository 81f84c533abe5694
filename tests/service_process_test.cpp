// Starts the real program in a fresh install folder and checks what it leaves there and how it
// answers the control signals.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <thread>

#include "logging/lg_test_viewer.h"
#include "platform/registry.h"
#include "service/check_registry.h"
#include "service/database.h"
#include "tests/scoped_env.h"

extern char** environ;

namespace parlevo {
namespace {

namespace fs = std::filesystem;

// A port nobody listens on right now.
uint16_t FreePort() {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
  socklen_t len = sizeof addr;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
  ::close(fd);
  return ntohs(addr.sin_port);
}

bool Accepts(uint16_t port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(port);
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  const bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
  ::close(fd);
  return ok;
}

// Waits until the port accepts (or refuses) connections; false when it never does.
bool WaitAccepts(uint16_t port, bool accepting) {
  for (int i = 0; i < 500; ++i) {
    if (Accepts(port) == accepting) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return false;
}

class ProgramTest : public ::testing::Test {
 protected:
  void SetUp() override {
    home_ = fs::temp_directory_path() /
            ("parlevo-e2e-" + std::to_string(::getpid()) + "-" +
             ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(home_);
    fs::create_directories(home_);
  }
  void TearDown() override {
    if (pid_ > 0) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
    fs::remove_all(home_);
  }

  void Start(std::vector<std::string> extra = {}) {
    std::vector<std::string> args = {PARLEVO_PROGRAM, "--home", home_.string(), "--registry",
                                     (home_ / "registry.reg").string()};
    args.insert(args.end(), extra.begin(), extra.end());
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    ASSERT_EQ(::posix_spawn(&pid_, argv[0], nullptr, nullptr, argv.data(), environ), 0);
  }

  // Waits for the program to end; -1 when it is still running after the bound.
  int WaitExit(std::chrono::milliseconds bound) {
    const auto until = std::chrono::steady_clock::now() + bound;
    while (std::chrono::steady_clock::now() < until) {
      int status = 0;
      const pid_t r = ::waitpid(pid_, &status, WNOHANG);
      if (r == pid_) {
        pid_ = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return -1;
  }

  // The program has finished creating once the configuration key holds every default.
  void WaitForDefaults() {
    for (int i = 0; i < 500; ++i) {
      try {
        TRegistry registry(home_ / "registry.reg");
        if (registry.OpenKeyReadOnly(kParlevoRegistryKey) && registry.GetValueNames().size() == 25)
          return;
      } catch (const ERegistryException&) {
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    FAIL() << "the program never wrote its defaults";
  }

  // Writes a configuration key that holds only "Port".
  uint16_t PresetPort() {
    const uint16_t port = FreePort();
    TRegistry registry(home_ / "registry.reg");
    registry.OpenKey(kParlevoRegistryKey, true);
    registry.WriteInteger("Port", port);
    return port;
  }

  fs::path home_;
  pid_t pid_ = -1;
};

TEST_F(ProgramTest, FreshHomeGetsItsConfigurationAndStopsOnSigterm) {
  Start();
  WaitForDefaults();
  // No "Port" could be read on this first start, so it listens on 83; the next start uses 81.
  EXPECT_TRUE(WaitAccepts(83, true));
  ASSERT_EQ(::kill(pid_, SIGTERM), 0);
  EXPECT_EQ(WaitExit(std::chrono::seconds(2)), 0);

  TRegistry registry(home_ / "registry.reg");
  ASSERT_TRUE(registry.OpenKeyReadOnly(kParlevoRegistryKey));
  const auto names = registry.GetValueNames();
  const auto defaults = RegistryDefaults(home_.string() + "/");
  ASSERT_EQ(names.size(), defaults.size());
  for (size_t i = 0; i < names.size(); ++i) {
    EXPECT_EQ(names[i], defaults[i].name);
    if (std::holds_alternative<int32_t>(defaults[i].data)) {
      EXPECT_EQ(registry.ReadInteger(names[i]), std::get<int32_t>(defaults[i].data)) << names[i];
    } else {
      EXPECT_EQ(registry.ReadString(names[i]), std::get<std::string>(defaults[i].data)) << names[i];
    }
  }
}

TEST_F(ProgramTest, KeyHoldingOnlyPortKeepsItAndGainsTheRest) {
  const uint16_t port = PresetPort();
  Start();
  WaitForDefaults();
  EXPECT_TRUE(WaitAccepts(port, true));
  ASSERT_EQ(::kill(pid_, SIGINT), 0);
  EXPECT_EQ(WaitExit(std::chrono::seconds(2)), 0);
  TRegistry registry(home_ / "registry.reg");
  ASSERT_TRUE(registry.OpenKeyReadOnly(kParlevoRegistryKey));
  EXPECT_EQ(registry.ReadInteger("Port"), port);
  EXPECT_EQ(registry.GetValueNames().front(), "Port");
  EXPECT_EQ(registry.GetValueNames().size(), 25u);
}

TEST_F(ProgramTest, PauseStopsServingAndContinueServesAgain) {
  const uint16_t port = PresetPort();
  Start();
  WaitForDefaults();
  ASSERT_TRUE(WaitAccepts(port, true));
  ASSERT_EQ(::kill(pid_, SIGUSR1), 0);
  EXPECT_TRUE(WaitAccepts(port, false));
  ASSERT_EQ(::kill(pid_, SIGUSR2), 0);
  EXPECT_TRUE(WaitAccepts(port, true));
  ASSERT_EQ(::kill(pid_, SIGTERM), 0);
  EXPECT_EQ(WaitExit(std::chrono::seconds(2)), 0);
}

// The logging configuration beside the program sends the service's own trace to a viewer, from
// the first step of create to the last step of destroy.
void ExpectTraceOfAWholeRun(logging::testing::TestViewer& viewer) {
  EXPECT_TRUE(viewer.WaitForTitle("TZyntParlevo::ServiceCreate"));
  EXPECT_TRUE(viewer.WaitForTitle("TZyntParlevo::ServiceExecute"));
}

TEST_F(ProgramTest, TraceReachesAViewerOnThePipe) {
  // The service's own socket folder, as systemd makes it for the unit's RuntimeDirectory=.
  const fs::path run = home_ / "run";
  fs::create_directory(run);
  fs::permissions(run, fs::perms::owner_all, fs::perm_options::replace);
  testing_support::TScopedEnv runtime("RUNTIME_DIRECTORY", run.c_str());
  const std::string pipe_name = "parlevo-e2e";
  auto viewer = logging::testing::TestViewer::OnUnixSocket((run / pipe_name).string());
  std::ofstream(home_ / "ZyntParlevo.lgc")
      << "enabled = true\nlevel = debug\nconnections = pipe(pipename=\"" << pipe_name
      << "\", reconnect=true, reconnect.interval=1s)\n";
  const uint16_t port = PresetPort();
  Start();
  ExpectTraceOfAWholeRun(*viewer);
  ASSERT_TRUE(WaitAccepts(port, true));
  ASSERT_EQ(::kill(pid_, SIGTERM), 0);
  EXPECT_EQ(WaitExit(std::chrono::seconds(2)), 0);
  EXPECT_TRUE(viewer->WaitForTitle("TZyntParlevo::ServiceDestroy: Free webserver"));
  EXPECT_TRUE(viewer->WaitForTitle("TZyntParlevo::ServiceDestroy: -> OK"));
}

TEST_F(ProgramTest, TraceReachesAViewerOnTcp) {
  auto viewer = logging::testing::TestViewer::OnTcp(0);
  std::ofstream(home_ / "ZyntParlevo.lgc")
      << "enabled = true\nconnections = tcp(host=\"127.0.0.1\", port=" << viewer->Port() << ")\n";
  PresetPort();
  Start();
  ExpectTraceOfAWholeRun(*viewer);
  ASSERT_EQ(::kill(pid_, SIGTERM), 0);
  EXPECT_EQ(WaitExit(std::chrono::seconds(2)), 0);
  ASSERT_FALSE(viewer->Packets().empty());
  EXPECT_EQ(viewer->Packets().front().type, 7);  // the log header comes first
}

TEST_F(ProgramTest, UnknownArgumentsAnswerUsageWithExitCode2) {
  Start({"--bogus"});
  EXPECT_EQ(WaitExit(std::chrono::seconds(5)), 2);
}

}  // namespace
}  // namespace parlevo
